// The pieces of quillora-get that decide without a server: waits, the
// archive, and the album file rules it shares with the window.

#include "Archive.h"
#include "GetHarness.h"
#include "Shown.h"
#include "catalogue/AlbumList.h"
#include "core/Exceptions.h"
#include "core/Gbk.h"
#include "download/AlbumFiles.h"
#include "transfer/PartFile.h"
#include "transfer/RetryPolicy.h"

#include <atomic>
#include <set>

TEST(GetArchive, SkipsRecordedAndSurvivesBrokenLines) {
    TScratch scratch;
    const std::string path = (scratch.Path() / "archive.txt").string();
    WriteWhole(
        path,
        "http://a/1.jpg\t100\nnot a record\nhttp://a/2.jpg\t\n\t5\nhttp://a/3.jpg\t7\r\nhttp://a/4.jpg\t12");
    {
        TArchive archive(path);
        EXPECT_TRUE(archive.Contains("http://a/1.jpg"));
        EXPECT_FALSE(archive.Contains("http://a/2.jpg")); // cut short: fetched again
        EXPECT_TRUE(archive.Contains("http://a/3.jpg"));
        // A last line without its line break may be a record cut short: it proves nothing.
        EXPECT_FALSE(archive.Contains("http://a/4.jpg"));
        archive.Record("http://a/5.jpg", 9);
        archive.Record("http://a/5.jpg", 9);           // once
        archive.Record("http://a/6.jpg\nhttp://x", 1); // would read back as two records
    }
    TArchive again(path);
    EXPECT_TRUE(again.Contains("http://a/5.jpg"));
    EXPECT_FALSE(again.Contains("http://a/6.jpg\nhttp://x"));
    EXPECT_FALSE(again.Contains("http://x"));
    EXPECT_EQ(again.Count(), 3u);
    // The cut-off line is gone; it neither joins nor becomes a record.
    EXPECT_EQ(ReadWhole(path).find("http://a/4.jpg"), std::string::npos);
    EXPECT_NE(ReadWhole(path).find("http://a/3.jpg\t7\r\nhttp://a/5.jpg\t9\n"), std::string::npos);
}

TEST(GetShown, ControlCharactersAreEscaped) {
    struct TCase {
        std::string Gbk;
        std::string Shown;
    } cases[] = {
        {"plain.jpg", "plain.jpg"},
        {"a\x1b[2Jb", "a\\x1B[2Jb"},
        {"line\r\nbreak\t", "line\\x0D\\x0Abreak\\x09"},
        {std::string("nul\0x", 5), "nul\\x00x"},
        {"del\x7f", "del\\x7F"},
        {Gbk("旅行"), "旅行"},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(Shown(c.Gbk), c.Shown) << c.Shown;
    EXPECT_TRUE(HasControlCharacter("a\x1b"));
    EXPECT_FALSE(HasControlCharacter(Gbk("旅行 a.jpg")));
}

TEST(GetArchive, UnwritableArchiveIsRefused) {
    TScratch scratch;
    EXPECT_THROW(TArchive((scratch.Path() / "no/such/folder/archive.txt").string()), EFOpenError);
}

TEST(AlbumFiles, WindowRules) {
    struct TCase {
        const char* Name;
        const char* Folder; // empty: refused
        const char* Description;
    } cases[] = {
        {"旅行", "d/Pic/旅行", "d/Pic/旅行/旅行.txt"},
        {"  家人 与 朋友  ", "d/Pic/家人 与 朋友", "d/Pic/家人 与 朋友/家人 与 朋友.txt"},
        {"   ", "d/Pic/", "d/Pic//.txt"},
        {"..", "", ""},
        {".", "", ""},
        {"a/../../escape", "", ""},
    };
    for (const TCase& c : cases) {
        const std::string name = Gbk(c.Name);
        if (*c.Folder == 0) {
            EXPECT_THROW(AlbumFilesFor("d/", name), EFCreateError) << c.Name;
            continue;
        }
        const TAlbumFiles files = AlbumFilesFor("d/", name);
        EXPECT_EQ(files.Folder, Gbk(c.Folder));
        EXPECT_EQ(files.DescriptionFile, Gbk(c.Description));
    }
    const TAlbumFiles album{"d/Pic/a", "d/Pic/a/a.txt"};
    EXPECT_EQ(PicturePath(album, "http://imgb1.x/a-01/IMG_1.jpg"), "d/Pic/a/IMG_1.jpg");
    EXPECT_EQ(PicturePath(album, "http://imgb1.x/a-01/ IMG_2.jpg \r\n"), "d/Pic/a/IMG_2.jpg");
    for (const char* url : {"http://imgb1.x/a-01/..", "http://imgb1.x/a-01/sub/x.jpg", "http://imgb1.x/a-01/",
                            "http://imgb1.x/a-01/."})
        EXPECT_THROW(PicturePath(album, url), EFCreateError) << url;
}

TEST(AlbumFiles, DescriptionWrittenByteForByte) {
    TScratch scratch;
    TPList album;
    album.Name = Gbk(" 风景 ");
    album.Desc = "\xc9\xbd\r\n \xff";
    const TAlbumFiles files = WriteAlbumFolder(FileNameToGbk(scratch.Path().string()) + "/", album);
    EXPECT_EQ(ReadWhole(scratch.Path() / "Pic/风景/风景.txt"), album.Desc);
    EXPECT_EQ(files.Folder, FileNameToGbk((scratch.Path() / "Pic/风景").string()));
}

// The workers convert file names at the same time; a shared converter state
// garbled names or crashed.
TEST(GetThreads, TextConversionsOnManyThreads) {
    const std::string gbk = Gbk("二〇二六年秋天的旅行/家人 与 朋友/风景.jpg");
    const std::string utf8 = "二〇二六年秋天的旅行/家人 与 朋友/风景.jpg";
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int k = 0; k < 3000; ++k)
                if (GbkToUtf8(gbk) != utf8 || Utf8ToGbk(utf8) != gbk) ++wrong;
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
}
