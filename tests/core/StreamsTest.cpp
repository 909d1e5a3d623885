#include "core/Classes.h"
#include "core/Exceptions.h"

#include <cstdint>
#include <filesystem>
#include <gtest/gtest.h>

TEST(TMemoryStream, WritesReadsSeeksAndSizes) {
    TMemoryStream m;
    m.WriteText("hello");
    EXPECT_EQ(m.Size(), 5);
    EXPECT_EQ(m.Position(), 5);
    m.SetPosition(1);
    char buf[8] = {};
    EXPECT_EQ(m.Read(buf, 8), 4);
    EXPECT_STREQ(buf, "ello");
    m.SetSize(8); // grown bytes read as zero
    EXPECT_EQ(m.DataString(), std::string("hello\0\0\0", 8));
    m.SetSize(2);
    EXPECT_EQ(m.Position(), 2);
    EXPECT_EQ(m.DataString(), "he");
    m.SetPosition(10); // writing past the end fills the gap with zeros
    m.WriteText("x");
    EXPECT_EQ(m.DataString(), std::string("he\0\0\0\0\0\0\0\0x", 11));
    EXPECT_THROW(m.ReadBuffer(buf, 1), EReadError);
}

TEST(TStringStream, StartsAtTheBeginning) {
    TStringStream s("abc");
    EXPECT_EQ(s.Position(), 0);
    EXPECT_EQ(s.DataString(), "abc");
}

TEST(TFileStream, CreateReadAndFailures) {
    auto path = (std::filesystem::temp_directory_path() / ("qfs-" + std::to_string(::getpid()))).string();
    {
        TFileStream f(path, TFileMode::fmCreate);
        f.WriteText("0123456789");
        f.SetSize(4);
        EXPECT_EQ(f.Size(), 4);
    }
    TMemoryStream m;
    m.LoadFromFile(path);
    EXPECT_EQ(m.DataString(), "0123");
    std::filesystem::remove(path);
    EXPECT_THROW(TFileStream(path, TFileMode::fmOpenRead), EFOpenError);
    EXPECT_THROW(TFileStream("/", TFileMode::fmOpenRead), EFOpenError);
}

TEST(TMemoryStream, NegativePositionReadsAndWritesNothing) {
    TMemoryStream m;
    m.WriteText("abcdef");
    char buf[4] = {'x', 'x', 'x', 'x'};
    for (int64_t pos : {int64_t{-1}, int64_t{-4}, int64_t{-6}, int64_t{-7}, INT64_MIN / 2}) {
        m.SetPosition(pos);
        EXPECT_EQ(m.Read(buf, 4), 0) << pos;
        EXPECT_EQ(m.Write("zz", 2), 0) << pos;
        EXPECT_EQ(m.Position(), pos);
    }
    EXPECT_EQ(std::string(buf, 4), "xxxx");
    EXPECT_EQ(m.DataString(), "abcdef");
    m.SetPosition(-2);
    EXPECT_THROW(m.ReadBuffer(buf, 1), EReadError);
}

TEST(TFileStream, AFileThatIsMissingSaysWhichAndWhereAsAStandardException) {
    // What a test runner prints for an exception that escapes a test.
    try {
        TFileStream missing("/nonexistent-quillora/data/basn0g01.png", TFileMode::fmOpenRead);
        FAIL();
    } catch (const std::exception& e) {
        EXPECT_STREQ(
            e.what(),
            "Cannot open file \"/nonexistent-quillora/data/basn0g01.png\". No such file or directory");
    }
}

// Growth doubles, but never past a limit the stream was given: a body capped
// at 64 MiB must not hold 128 MiB the moment it nears the cap.
TEST(TMemoryStream, GrowthStopsAtItsCapacityLimit) {
    TMemoryStream stream;
    stream.LimitCapacity(1000);
    const std::string block(300, 'x');
    for (int k = 0; k < 3; ++k)
        stream.WriteText(block);
    EXPECT_EQ(stream.Capacity(), 1000);
    // What the caller writes is still written; only the reserve is bounded.
    stream.WriteText(block);
    EXPECT_EQ(stream.Size(), 1200);
    EXPECT_EQ(stream.Capacity(), 1200);
}
