// Files below the confined folder are never reached through a link: each
// call, resolved by openat2 and by the walk one component at a time, against
// a tree with links to a folder and a file outside it. What lies outside is
// never written, removed or read; what lies outside the confined folder is
// reached as before.

#include "core/ConfinedFiles.h"
#include "core/Exceptions.h"
#include "core/FileUtils.h"
#include "support/TestScratch.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// Every entry under a folder, links as themselves.
std::set<std::string> Tree(const fs::path& root) {
    std::set<std::string> names;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it)
        names.insert(fs::relative(it->path(), root).string());
    return names;
}

// dest/Pic/real/kept.txt; dest/Pic/link -> outside/; dest/Pic/file-link -> outside/secret.txt.
class ConfinedFiles : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        UseOpenat2(GetParam());
        fs::create_directories(Dest() / "Pic/real");
        fs::create_directories(Outside());
        WriteAll(Dest() / "Pic/real/kept.txt", "kept");
        WriteAll(Outside() / "secret.txt", "secret");
        WriteAll(Outside() / "victim.txt", "victim");
        fs::create_directory_symlink(Outside(), Dest() / "Pic/link");
        fs::create_symlink(Outside() / "secret.txt", Dest() / "Pic/file-link");
        SetConfinedFolder((Dest() / "").string());
    }
    void TearDown() override {
        SetConfinedFolder("");
        UseOpenat2(true);
    }
    fs::path Dest() const { return Scratch.Path() / "dest"; }
    fs::path Outside() const { return Scratch.Path() / "outside"; }
    std::string In(const std::string& rel) const { return (Dest() / rel).string(); }
    TTestScratch Scratch{"quillora-confined-"};
};

struct TCall {
    const char* Name;
    std::function<int()> Run;
    int Error; // 0: succeeds
};

} // namespace

TEST_P(ConfinedFiles, NoCallGoesThroughALinkBelowTheFolder) {
    struct stat st {};
    const std::vector<TCall> calls{
        {"create in a folder",
         [&]() { return OpenConfined(In("Pic/real/new.txt"), O_WRONLY | O_CREAT | O_EXCL, 0644); }, 0},
        {"read a file", [&]() { return OpenConfined(In("Pic/real/kept.txt"), O_RDONLY); }, 0},
        {"doubled slashes", [&]() { return OpenConfined(In("Pic//real/./kept.txt"), O_RDONLY); }, 0},
        {"create through a linked folder",
         [&]() { return OpenConfined(In("Pic/link/owned.txt"), O_WRONLY | O_CREAT, 0644); }, ELOOP},
        {"truncate through a linked folder",
         [&]() { return OpenConfined(In("Pic/link/victim.txt"), O_WRONLY | O_TRUNC); }, ELOOP},
        {"read a linked file", [&]() { return OpenConfined(In("Pic/file-link"), O_RDONLY); }, ELOOP},
        {"open a linked folder", [&]() { return OpenConfined(In("Pic/link"), O_RDONLY | O_DIRECTORY); },
         ELOOP},
        {"up and back", [&]() { return OpenConfined(In("Pic/real/../real/kept.txt"), O_RDONLY); }, EXDEV},
        {"stat through a link", [&]() { return StatConfined(In("Pic/link/secret.txt"), st, true); }, ELOOP},
        {"rename into a linked folder",
         [&]() { return RenameConfined(In("Pic/real/kept.txt"), In("Pic/link/kept.txt")); }, ELOOP},
        {"rename out of a linked folder",
         [&]() { return RenameConfined(In("Pic/link/secret.txt"), In("Pic/real/stolen.txt")); }, ELOOP},
        {"remove through a linked folder", [&]() { return UnlinkConfined(In("Pic/link/victim.txt")); },
         ELOOP},
        {"make a folder in a linked one", [&]() { return MakeFolderConfined(In("Pic/link/made"), 0755); },
         ELOOP},
        {"make a folder", [&]() { return MakeFolderConfined(In("Pic/real/made"), 0755); }, 0},
    };
    for (const TCall& call : calls) {
        SCOPED_TRACE(call.Name);
        errno = 0;
        const int result = call.Run();
        const int error = errno;
        if (result > 2) ::close(result); // an open's descriptor
        if (call.Error == 0)
            EXPECT_GE(result, 0) << std::strerror(error);
        else {
            EXPECT_EQ(result, -1);
            EXPECT_EQ(error, call.Error) << std::strerror(error);
        }
    }
    EXPECT_EQ(Tree(Outside()), (std::set<std::string>{"secret.txt", "victim.txt"}));
    EXPECT_EQ(ReadAll(Outside() / "victim.txt"), "victim");
    EXPECT_EQ(ReadAll(Outside() / "secret.txt"), "secret");
    EXPECT_EQ(ReadAll(Dest() / "Pic/real/kept.txt"), "kept");
}

// A link at the end is answered as the link, never as what it points at.
TEST_P(ConfinedFiles, StatAnswersALinkAsItself) {
    struct stat st {};
    ASSERT_EQ(StatConfined(In("Pic/file-link"), st, true), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(StatConfined(In("Pic/real/kept.txt"), st, true), 0);
    EXPECT_EQ(st.st_size, 4);
}

// The helpers every file of the program goes through: a row "Pic/link/owned.txt"
// writes nothing outside, and says why.
TEST_P(ConfinedFiles, FileHelpersRefuseALinkedFolderWithAMessage) {
    try {
        SaveTextToFile("owned", In("Pic/link/owned.txt"));
        ADD_FAILURE() << "written";
    } catch (const EFCreateError& e) {
        EXPECT_EQ(e.Message(), "Cannot create file \"" + In("Pic/link/owned.txt") +
                                   "\". A symbolic link stands in its path; links below \"" +
                                   (Dest() / "").string() + "\" are not followed");
    }
    EXPECT_FALSE(MakeFolders(In("Pic/link/sub/deeper")));
    EXPECT_THROW(TFileStream(In("Pic/file-link"), TFileMode::fmOpenRead), EFOpenError);
    EXPECT_THROW(TFileStream(In("Pic/link/victim.txt"), TFileMode::fmCreate), EFCreateError);
    EXPECT_TRUE(RemoveUnlockedFile(In("Pic/file-link"))); // the link goes, its file stays
    EXPECT_EQ(Tree(Outside()), (std::set<std::string>{"secret.txt", "victim.txt"}));
    EXPECT_EQ(ReadAll(Outside() / "victim.txt"), "victim");
    // Inside, everything works as it always did.
    EXPECT_TRUE(MakeFolders(In("Pic/new/deeper")));
    SaveTextToFile("text", In("Pic/new/deeper/a.txt"));
    EXPECT_EQ(ReadAll(Dest() / "Pic/new/deeper/a.txt"), "text");
}

// The folder itself may be a link (the user's choice), and everything
// outside it is reached as the system reaches it.
TEST_P(ConfinedFiles, TheFolderItselfAndWhatLiesOutsideFollowLinks) {
    fs::create_directory_symlink(Dest(), Scratch.Path() / "dest-link");
    fs::create_directory_symlink(Outside(), Scratch.Path() / "outside-link");
    SetConfinedFolder((Scratch.Path() / "dest-link").string());
    SaveTextToFile("via link", (Scratch.Path() / "dest-link/Pic/real/b.txt").string());
    EXPECT_EQ(ReadAll(Dest() / "Pic/real/b.txt"), "via link");
    SaveTextToFile("outside", (Scratch.Path() / "outside-link/c.txt").string());
    EXPECT_EQ(ReadAll(Outside() / "c.txt"), "outside");
    EXPECT_THROW(SaveTextToFile("x", (Scratch.Path() / "dest-link/Pic/link/d.txt").string()), EFCreateError);
    EXPECT_FALSE(fs::exists(Outside() / "d.txt"));
}

INSTANTIATE_TEST_SUITE_P(Resolution, ConfinedFiles, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Openat2" : "Walk";
                         });
