// A file moved onto its final name (the window's pictures and thumbnails
// come out of the fetch-ahead staging folder this way) is committed as every
// other file is: its bytes reach the disk before the rename, the folder's
// entry after it. The calls are watched by wrapping the platform's own.
#include "core/Exceptions.h"
#include "core/FileUtils.h"

#include <algorithm>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::mutex CallsLock;
bool Watching = false;
std::vector<std::string> Calls;

std::string PathOfFd(int fd) {
    char target[4096];
    const ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string("?");
}

void Record(const std::string& call) {
    std::lock_guard<std::mutex> lock(CallsLock);
    if (Watching) Calls.push_back(call);
}

template <typename F> F Next(const char* name) {
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" int fdatasync(int fd) {
    Record("fdatasync " + PathOfFd(fd));
    return Next<int (*)(int)>("fdatasync")(fd);
}

extern "C" int fsync(int fd) {
    Record("fsync " + PathOfFd(fd));
    return Next<int (*)(int)>("fsync")(fd);
}

extern "C" int rename(const char* from, const char* to) noexcept {
    Record(std::string("rename ") + from + " " + to);
    return Next<int (*)(const char*, const char*)>("rename")(from, to);
}

namespace {

class DurableMoveTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Root = fs::temp_directory_path() / ("quillora-durable-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(Root);
        fs::create_directories(Root / "staging");
        fs::create_directories(Root / "album");
    }
    void TearDown() override {
        Watch(false);
        fs::remove_all(Root);
        if (!Other.empty()) fs::remove_all(Other);
    }
    static void Watch(bool on) {
        std::lock_guard<std::mutex> lock(CallsLock);
        Watching = on;
        if (on) Calls.clear();
    }
    static std::vector<std::string> Watched() {
        std::lock_guard<std::mutex> lock(CallsLock);
        return Calls;
    }
    static void Write(const fs::path& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    static std::string ReadAll(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    static std::vector<std::string> Names(const fs::path& folder) {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    fs::path Root, Other;
};

TEST_F(DurableMoveTest, BytesReachTheDiskBeforeTheNameAndTheFolderAfterIt) {
    struct TCase {
        const char* What;
        bool Existing; // a file of that name is there already
    };
    for (const TCase& c : {TCase{"a new name", false}, TCase{"over an older file", true}}) {
        SCOPED_TRACE(c.What);
        const fs::path staged = Root / "staging" / "f0", final = Root / "album" / "001.jpg";
        Write(staged, std::string(70000, 'p'));
        if (c.Existing) Write(final, "old");
        Watch(true);
        MoveFileOnto(staged.string(), final.string());
        const std::vector<std::string> calls = Watched();
        Watch(false);
        const std::vector<std::string> expected = {
            "fdatasync " + staged.string(),
            "rename " + staged.string() + " " + final.string(),
            "fsync " + (Root / "album").string(),
        };
        EXPECT_EQ(calls, expected);
        EXPECT_EQ(ReadAll(final), std::string(70000, 'p'));
        EXPECT_FALSE(fs::exists(staged));
        EXPECT_EQ(Names(Root / "album"), std::vector<std::string>{"001.jpg"});
        fs::remove(final);
    }
}

// /dev/shm is a file system of its own on Linux: a rename cannot cross to it.
TEST_F(DurableMoveTest, AcrossFileSystemsTheCopyIsCommittedAndNoTemporaryStays) {
    struct stat shm {
    }, root{};
    if (::stat("/dev/shm", &shm) != 0 || ::stat(Root.c_str(), &root) != 0 || shm.st_dev == root.st_dev)
        GTEST_SKIP() << "no second file system at /dev/shm";
    Other = fs::path("/dev/shm") / ("quillora-durable-" + std::to_string(::getpid()));
    fs::create_directories(Other);
    const fs::path staged = Root / "staging" / "f1", final = Other / "002.jpg";
    Write(staged, std::string(5000, 'q'));
    Watch(true);
    MoveFileOnto(staged.string(), final.string());
    const std::vector<std::string> calls = Watched();
    Watch(false);
    // The rename fails across the file systems; the copy is synced in the
    // destination's folder before it gets the name, and the folder last.
    ASSERT_GE(calls.size(), 4u);
    EXPECT_EQ(calls[1], "rename " + staged.string() + " " + final.string());
    bool copySynced = false;
    for (size_t k = 2; k + 1 < calls.size(); ++k)
        copySynced = copySynced || calls[k].rfind("fdatasync " + Other.string() + "/", 0) == 0;
    EXPECT_TRUE(copySynced);
    EXPECT_EQ(calls.back(), "fsync " + Other.string());
    EXPECT_EQ(ReadAll(final), std::string(5000, 'q'));
    EXPECT_FALSE(fs::exists(staged));
    EXPECT_EQ(Names(Other), std::vector<std::string>{"002.jpg"});
}

TEST_F(DurableMoveTest, AFinalNameThatCannotBeTakenKeepsTheStagedFileAndLeavesNothing) {
    struct TCase {
        const char* What;
        std::string Name;
        const char* Reason;
    };
    const TCase cases[] = {
        {"a folder of that name", "003.jpg", "Is a directory"},
        {"a name too long", std::string(300, 'n') + ".jpg", "File name too long"},
        {"a missing folder", "gone/004.jpg", "No such file or directory"},
    };
    fs::create_directories(Root / "album" / "003.jpg" / "inside");
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.What);
        const fs::path staged = Root / "staging" / "f2", final = Root / "album" / c.Name;
        Write(staged, "whole");
        try {
            MoveFileOnto(staged.string(), final.string());
            ADD_FAILURE() << "no error";
        } catch (const EFCreateError& e) {
            EXPECT_EQ(e.Message(), "Cannot create file \"" + final.string() + "\". " + c.Reason);
        }
        EXPECT_EQ(ReadAll(staged), "whole");
        EXPECT_EQ(Names(Root / "album"), std::vector<std::string>{"003.jpg"});
        EXPECT_TRUE(fs::is_directory(Root / "album" / "003.jpg" / "inside"));
    }
}

} // namespace
