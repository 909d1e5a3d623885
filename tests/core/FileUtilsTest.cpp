#include "core/FileUtils.h"
#include "core/Classes.h"
#include "core/Exceptions.h"
#include "core/Gbk.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class FileUtilsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Root = fs::temp_directory_path() / ("quillora-files-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(Root);
        fs::create_directories(Root);
    }
    void TearDown() override { fs::remove_all(Root); }
    std::string P(const std::string& rel) const { return (Root / rel).string(); }
    static std::string ReadAll(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    fs::path Root;
};

} // namespace

TEST_F(FileUtilsTest, ProgramFolderEndsWithSeparatorAndHoldsTheProgram) {
    std::string folder = ProgramFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(folder.back(), '/');
    EXPECT_TRUE(fs::exists(fs::read_symlink("/proc/self/exe")));
    EXPECT_EQ(fs::path(folder) / fs::read_symlink("/proc/self/exe").filename(),
              fs::read_symlink("/proc/self/exe"));
}

TEST_F(FileUtilsTest, MakeFoldersCreatesParentsAndRejectsEmpty) {
    EXPECT_TRUE(MakeFolders(P("a/b/c/")));
    EXPECT_TRUE(fs::is_directory(P("a/b/c")));
    EXPECT_TRUE(MakeFolders(P("a/b/c"))); // existing
    EXPECT_TRUE(MakeFolders("ab"));       // shorter than three bytes
    EXPECT_TRUE(MakeFolders("/"));
    try {
        MakeFolders("");
        FAIL();
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.Message(), "Unable to create directory");
        EXPECT_EQ(e.ErrorCode, 3);
    }
    // A file in the way makes it fail without raising.
    std::ofstream(P("file")) << "x";
    EXPECT_FALSE(MakeFolders(P("file/sub")));
}

TEST_F(FileUtilsTest, MakeFolderIgnoresFailures) {
    MakeFolder(P("one"));
    MakeFolder(P("one"));
    MakeFolder(P("missing/two"));
    EXPECT_TRUE(fs::is_directory(P("one")));
    EXPECT_FALSE(fs::exists(P("missing")));
}

TEST_F(FileUtilsTest, FindFilesSearchesSubfoldersButNotHiddenOnes) {
    fs::create_directories(P("c/sub/deeper"));
    fs::create_directories(P("c/.hidden"));
    for (const char* f : {"c/x.jpg", "c/.dotfile", "c/noext", "c/sub/y.png", "c/sub/deeper/z", "c/.hidden/w"})
        std::ofstream(P(f)) << "x";
    TStringList list;
    FindFiles(P("c/"), "*.*", list);
    std::vector<std::string> got(list.begin(), list.end());
    std::sort(got.begin(), got.end());
    std::vector<std::string> want = {P("c/") + "/.dotfile", P("c/") + "/noext", P("c/") + "/sub/deeper/z",
                                     P("c/") + "/sub/y.png", P("c/") + "/x.jpg"};
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want);
    for (const auto& path : got)
        RemoveFile(path); // the doubled separator is fine for deleting
    EXPECT_FALSE(fs::exists(P("c/x.jpg")));
    EXPECT_TRUE(fs::is_directory(P("c/sub")));

    TStringList none;
    FindFiles(P("missing"), "*.*", none);
    EXPECT_EQ(none.Count(), 0);

    TStringList pngs;
    std::ofstream(P("c/a.png")) << "x";
    FindFiles(P("c"), "*.png", pngs);
    ASSERT_EQ(pngs.Count(), 1);
    EXPECT_EQ(pngs[0], P("c/a.png"));
}

TEST_F(FileUtilsTest, SavesAreByteExactAndReplace) {
    std::string bytes("line1\r\nline2\n\0\xFF", 15);
    SaveTextToFile(bytes, P("t.txt"));
    EXPECT_EQ(ReadAll(P("t.txt")), bytes);
    SaveTextToFile("", P("t.txt"));
    EXPECT_EQ(fs::file_size(P("t.txt")), 0u);

    TMemoryStream m;
    m.WriteText("abc");
    SaveBytesToFile(m, P("b.bin"));
    EXPECT_EQ(ReadAll(P("b.bin")), "abc");
    TMemoryStream empty;
    SaveBytesToFile(empty, P("b.bin"));
    EXPECT_EQ(fs::file_size(P("b.bin")), 0u);
}

TEST_F(FileUtilsTest, CreateFailureNamesTheAbsolutePathAndSystemText) {
    try {
        SaveTextToFile("x", P("missing/f.txt"));
        FAIL();
    } catch (const EFCreateError& e) {
        EXPECT_EQ(e.Message(),
                  "Cannot create file \"" + P("missing/f.txt") + "\". No such file or directory");
    }
    fs::current_path(Root);
    try {
        SaveTextToFile("x", "nope/f.txt");
        FAIL();
    } catch (const EFCreateError& e) {
        EXPECT_EQ(e.Message(), "Cannot create file \"" + fs::current_path().string() +
                                   "/nope/f.txt\". No such file or directory");
    }
}

TEST_F(FileUtilsTest, GbkNamesBecomeUtf8OnDisk) {
    std::string name = Gbk("旅行");
    ASSERT_EQ(name, "\xC2\xC3\xD0\xD0");
    SaveTextToFile("d", P("") + name + ".txt");
    EXPECT_TRUE(fs::exists(Root / "旅行.txt"));
    TStringList list;
    FindFiles(P(""), "*.txt", list);
    ASSERT_EQ(list.Count(), 1);
    EXPECT_EQ(list[0], P("") + "/" + name + ".txt");
}

TEST_F(FileUtilsTest, PlainFileNamesStayInsideTheirFolder) {
    for (const char* bad : {".", "..", "a/b", "/abs", "../x.jpg", "x/"})
        EXPECT_FALSE(IsPlainFileName(bad)) << bad;
    EXPECT_FALSE(IsPlainFileName(std::string("a\0b", 3)));
    EXPECT_FALSE(IsPlainFileName(""));
    EXPECT_TRUE(IsPlainFileName("", true));
    const std::vector<std::string> good = {"a.jpg", "...", "..a", Gbk("旅行"), "a\\b", "\xC2\xFF"};
    for (const std::string& name : good)
        EXPECT_TRUE(IsPlainFileName(name)) << name;
    try {
        RaiseCannotCreate(P("x/../y"));
        FAIL();
    } catch (const EFCreateError& e) {
        EXPECT_EQ(e.Message(), "Cannot create file \"" + P("x/../y") + "\". Invalid argument");
    }
}

TEST_F(FileUtilsTest, LinksInASearchedFolderAreListedNotFollowed) {
    fs::create_directories(P("cache"));
    fs::create_directories(P("elsewhere/inner"));
    std::ofstream(P("elsewhere/keep.jpg")) << "x";
    std::ofstream(P("elsewhere/inner/keep2.jpg")) << "x";
    std::ofstream(P("cache/a.jpg")) << "x";
    fs::create_directory_symlink(P("elsewhere"), P("cache/to-folder"));
    fs::create_symlink(P("elsewhere/keep.jpg"), P("cache/to-file.jpg"));
    fs::create_symlink(P("nowhere"), P("cache/dangling"));
    TStringList list;
    FindFiles(P("cache"), "*.*", list);
    std::vector<std::string> got(list.begin(), list.end());
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::string>{P("cache") + "/a.jpg", P("cache") + "/dangling",
                                             P("cache") + "/to-file.jpg", P("cache") + "/to-folder"}));
    for (const auto& path : got)
        RemoveFile(path);
    EXPECT_TRUE(fs::is_empty(P("cache")));
    EXPECT_TRUE(fs::exists(P("elsewhere/keep.jpg")));
    EXPECT_TRUE(fs::exists(P("elsewhere/inner/keep2.jpg")));
}

TEST_F(FileUtilsTest, AFileAppearsWholeOrNotAtAll) {
    std::ofstream(P("old.jpg")) << "old";
    {
        TAtomicFileStream half(P("old.jpg"));
        half.WriteText("half of the new bytes");
        EXPECT_EQ(ReadAll(P("old.jpg")), "old"); // not yet
        EXPECT_TRUE(fs::exists(half.TempPath()));
    } // dropped without Commit, as when a fetch fails halfway
    {
        TAtomicFileStream half(P("new.jpg"));
        half.WriteText("partial");
    }
    EXPECT_EQ(ReadAll(P("old.jpg")), "old");
    EXPECT_FALSE(fs::exists(P("new.jpg")));
    EXPECT_EQ(std::distance(fs::directory_iterator(Root), fs::directory_iterator()), 1);

    // A link under the final name is replaced, never written through.
    std::ofstream(P("outside.txt")) << "outside";
    fs::create_symlink(P("outside.txt"), P("link.txt"));
    SaveTextToFile("inside", P("link.txt"));
    EXPECT_FALSE(fs::is_symlink(P("link.txt")));
    EXPECT_EQ(ReadAll(P("link.txt")), "inside");
    EXPECT_EQ(ReadAll(P("outside.txt")), "outside");

    // A folder in the way fails with the final name and leaves no temporary file.
    fs::create_directories(P("taken/sub"));
    try {
        SaveTextToFile("x", P("taken"));
        FAIL();
    } catch (const EFCreateError& e) {
        EXPECT_EQ(e.Message().rfind("Cannot create file \"" + P("taken") + "\". ", 0), 0u) << e.Message();
    }
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(Root))
        names.insert(e.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"link.txt", "old.jpg", "outside.txt", "taken"}));
}

// A writer killed half way leaves its temporary file; the next write of the
// same name takes it over, so nothing stays behind for ever. A live writer's
// file is never taken: a second writer of the same name uses its own.
TEST_F(FileUtilsTest, TemporaryFilesOfDeadWritersAreTakenOverLiveOnesAreNot) {
    std::string stale;
    {
        TAtomicFileStream first(P("desc.txt"));
        stale = first.TempPath();
        TAtomicFileStream second(P("desc.txt"));
        EXPECT_NE(second.TempPath(), first.TempPath());
        second.WriteText("second");
        second.Commit();
    }
    EXPECT_EQ(ReadAll(P("desc.txt")), "second");
    std::ofstream(stale) << "left by a writer that was killed";
    SaveTextToFile("third", P("desc.txt"));
    EXPECT_EQ(ReadAll(P("desc.txt")), "third");
    EXPECT_EQ(std::distance(fs::directory_iterator(Root), fs::directory_iterator()), 1);
}

namespace {

// What stands at a name before a writer asks for it.
enum class TPlanted { Nothing, PlainFile, Symlink, HardLink, Folder, Locked };

} // namespace

// A writer's own name is taken only when it is a plain file of one link that
// nobody holds: never through a link (the file it points at stays as it
// was), never a folder, never a file another writer has locked.
TEST_F(FileUtilsTest, LockedOpeningNeverGoesThroughALinkOrAHeldFile) {
    struct TCase {
        TPlanted Planted;
        bool Create;
        int Errno; // 0: opened
    } cases[] = {
        {TPlanted::Nothing, true, 0},          {TPlanted::Nothing, false, ENOENT},
        {TPlanted::PlainFile, true, 0},        {TPlanted::PlainFile, false, 0},
        {TPlanted::Symlink, true, EEXIST},     {TPlanted::Symlink, false, EEXIST},
        {TPlanted::HardLink, true, EEXIST},    {TPlanted::Folder, true, EEXIST},
        {TPlanted::Locked, true, EWOULDBLOCK}, {TPlanted::Locked, false, EWOULDBLOCK},
    };
    for (const TCase& c : cases) {
        const std::string what =
            std::to_string(static_cast<int>(c.Planted)) + (c.Create ? " create" : " open");
        fs::remove_all(Root);
        fs::create_directories(Root);
        std::ofstream(P("victim")) << "precious";
        const std::string name = P(".quillora-x.part");
        int holder = -1;
        switch (c.Planted) {
        case TPlanted::Nothing:
            break;
        case TPlanted::PlainFile:
            std::ofstream(name) << "left";
            break;
        case TPlanted::Symlink:
            fs::create_symlink(P("victim"), name);
            break;
        case TPlanted::HardLink:
            fs::create_hard_link(P("victim"), name);
            break;
        case TPlanted::Folder:
            fs::create_directory(name);
            break;
        case TPlanted::Locked:
            std::ofstream(name) << "being written";
            holder = ::open(name.c_str(), O_RDWR | O_CLOEXEC);
            ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0) << what;
            break;
        }
        errno = 0;
        const int fd = OpenLockedForWriting(name, c.Create);
        const int error = errno;
        if (c.Errno == 0) {
            ASSERT_GE(fd, 0) << what << ": " << std::strerror(error);
            EXPECT_EQ(::write(fd, "new", 3), 3) << what;
            ::close(fd);
        } else {
            EXPECT_EQ(fd, -1) << what;
            EXPECT_EQ(error, c.Errno) << what << ": " << std::strerror(error);
        }
        EXPECT_EQ(ReadAll(P("victim")), "precious") << what;
        if (holder >= 0) ::close(holder);
    }
}

// Removing a writer's own name: a plain file only when nobody holds it; a
// link or a folder standing there goes itself, what it points at stays.
TEST_F(FileUtilsTest, RemovingAnUnlockedFileSparesHeldOnesAndLinkTargets) {
    std::ofstream(P("victim")) << "precious";
    fs::create_symlink(P("victim"), P("link.part"));
    EXPECT_TRUE(RemoveUnlockedFile(P("link.part")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(P("link.part"))));
    EXPECT_EQ(ReadAll(P("victim")), "precious");

    std::ofstream(P("held.part")) << "being written";
    const int holder = ::open(P("held.part").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    EXPECT_FALSE(RemoveUnlockedFile(P("held.part")));
    EXPECT_TRUE(fs::exists(P("held.part")));
    ::close(holder);
    EXPECT_TRUE(RemoveUnlockedFile(P("held.part")));
    EXPECT_FALSE(fs::exists(P("held.part")));
    EXPECT_TRUE(RemoveUnlockedFile(P("never.part")));
}

// A link planted at a file's temporary name: the file is written whole all
// the same, and the link's target is not touched.
TEST_F(FileUtilsTest, AtomicFileNeverWritesThroughALinkAtItsTemporaryName) {
    std::ofstream(P("victim")) << "precious";
    std::string temporary;
    {
        TAtomicFileStream probe(P("desc.txt"));
        temporary = probe.TempPath();
    }
    fs::create_symlink(P("victim"), temporary);
    SaveTextToFile("described", P("desc.txt"));
    EXPECT_EQ(ReadAll(P("desc.txt")), "described");
    EXPECT_EQ(ReadAll(P("victim")), "precious");
}

// A name longer than a folder may hold fails as the file system would say,
// before anything is written; one at the limit passes.
TEST_F(FileUtilsTest, NamesTooLongAreRefusedBeforeAnyWrite) {
    EXPECT_NO_THROW(CheckNameFits(P(std::string(255, 'n'))));
    try {
        CheckNameFits(P(std::string(256, 'n')));
        ADD_FAILURE() << "a 256-byte name passed";
    } catch (const EFCreateError& e) {
        EXPECT_NE(e.Message().find("\". File name too long"), std::string::npos) << e.Message();
    }
    // 86 Chinese characters are 172 bytes of GBK but 258 of UTF-8 on the disk.
    std::string gbk;
    for (int k = 0; k < 86; ++k)
        gbk += "\xd6\xd0";
    EXPECT_THROW(CheckNameFits(P("") + gbk), EFCreateError);
}

// Temporary and part files carry this hash in their names: the published
// FNV-1a vectors pin it, so names left by an earlier build are found again.
TEST(NameHash, IsFnv1aOf64Bits) {
    struct TCase {
        std::string Text;
        uint64_t Hash;
    } cases[] = {
        {"", 0xcbf29ce484222325ull},
        {"a", 0xaf63dc4c8601ec8cull},
        {"foobar", 0x85944171f73967e8ull},
        {"\xb2\xbb\xce\xc8.jpg", 0xd005ab7e863097e1ull},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(NameHash(c.Text), c.Hash) << c.Text;
}
