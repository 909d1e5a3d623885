// The window's lookup and download of a 500-picture account through a relay
// that breaks a few per cent of connections and replies (chaos_relay.py).
// The window asks once and shows the first failure in its box; whatever it
// left under a picture's name must still be the whole picture, nothing
// temporary may stay, and a lookup and download through a clean relay then
// leave the service's pictures and nothing else.

#include "catalogue/FakeCommandHost.h"
#include "catalogue/LookupAlbums.h"
#include "download/DownloadAlbums.h"
#include "download/PythonPeer.h"
#include "http/ClientSettings.h"

#include <map>
#include <optional>

namespace {

const std::string Account = "chaos500";

// The program reaches the service through port as its proxy.
class TThrough {
  public:
    // A busy machine may hold a healthy reply up for most of a second.
    explicit TThrough(int port, int readTimeoutMs = 2000) {
        ::setenv("http_proxy", ("http://127.0.0.1:" + std::to_string(port)).c_str(), 1);
        ::unsetenv("no_proxy");
        ::unsetenv("QUILLORA_CONNECTIONS");
        // Shorter than the relay's stalls (4 s), which must reach it.
        SetClientReadTimeout(readTimeoutMs);
    }
    ~TThrough() {
        ::unsetenv("http_proxy");
        SetClientReadTimeout(0);
    }
};

using TTree = std::map<std::string, std::optional<std::string>>;

// The service's bytes of every file of the account, by its path under the data folder.
TTree ExpectedTree(const fs::path& folder) {
    const fs::path exportDir = folder / "export";
    const std::string command = "python3 '" + TestSource("tests/support/chaos_run.py") +
                                "' --bin . --count 500 " + "--export-only '" + exportDir.string() + "'";
    TTree tree;
    if (std::system(command.c_str()) != 0) return tree;
    std::ifstream in(exportDir / "tree.tsv");
    for (std::string line; std::getline(in, line);) {
        const size_t tab = line.find('\t');
        const std::string source = line.substr(tab + 1);
        tree[line.substr(0, tab)] =
            source.empty() ? std::nullopt : std::optional(TFakeCommandHost::ReadFile(FileNameToGbk(source)));
    }
    return tree;
}

// A lookup then a download of every album, as the window runs them; the
// message of the failure that ended them, empty when none did.
std::string LookUpAndDownload(const TDataRoot& root) {
    TFakeCommandHost host(root.Tmp(), root.Pic());
    host.Account = Account;
    try {
        LookupAlbums(host);
        if (!host.Warnings.empty()) return host.Warnings.front();
        DownloadAlbums(host);
    } catch (const Exception& e) {
        return e.Message().empty() ? "(a failure without a message)" : e.Message();
    }
    return {};
}

// Every file under the picture folder, relative to the data folder.
std::vector<std::string> PictureFiles(const TDataRoot& root) {
    std::vector<std::string> files;
    for (const std::string& file : root.Files())
        if (file.rfind("Pic/", 0) == 0) files.push_back(file);
    return files;
}

// Every file under the picture folder is one of the account's, whole.
void ExpectOnlyWholePictures(const TDataRoot& root, const TTree& tree, const std::string& after) {
    for (const std::string& file : PictureFiles(root)) {
        const auto expected = tree.find(file);
        if (expected == tree.end()) {
            ADD_FAILURE() << "left behind after \"" << after << "\": " << file;
        } else if (expected->second) {
            EXPECT_TRUE(TFakeCommandHost::ReadFile(FileNameToGbk((root.Path / file).string())) ==
                        *expected->second)
                << file << " is not whole after \"" << after << "\"";
        }
    }
}

} // namespace

TEST(ChaosDownload, WhatTheWindowLeavesIsWholeAndACleanRunEndsTheJob) {
    ::setenv("QUILLORA_SAMPLE_CHAOS", "500", 1);
    TDataRoot scratch;
    const TTree tree = ExpectedTree(scratch.Path);
    ASSERT_EQ(tree.size(), 505u) << "the account could not be exported";
    TPythonPeer service("tools/sample-service/service.py", {}, scratch.Path);
    ::unsetenv("QUILLORA_SAMPLE_CHAOS");
    ASSERT_GT(service.Port(), 0);
    for (const std::string seed : {"1", "2", "3", "4"}) {
        SCOPED_TRACE("seed " + seed);
        TDataRoot root;
        {
            TPythonPeer relay(
                "tests/support/chaos_relay.py",
                {"--upstream", std::to_string(service.Port()), "--seed", seed, "--stall-seconds", "4"},
                root.Path);
            ASSERT_GT(relay.Port(), 0);
            const TThrough through(relay.Port());
            const std::string failure = LookUpAndDownload(root);
            // What ended the window's run, for the log: it asks once, so some fault usually does.
            std::printf("seed %s: %zu files, then \"%s\"\n", seed.c_str(), PictureFiles(root).size(),
                        GbkToUtf8(failure).c_str());
            ExpectOnlyWholePictures(root, tree, failure);
        }
        const TThrough through(service.Port());
        EXPECT_EQ(LookUpAndDownload(root), "");
        EXPECT_EQ(PictureFiles(root).size(), tree.size());
        ExpectOnlyWholePictures(root, tree, "the clean run");
    }
}

// Replies that only come slowly, and kept connections closed while idle,
// cost the window nothing: it asks once, and that once must do.
TEST(ChaosDownload, SlowRepliesAndIdleClosesCostNothing) {
    ::setenv("QUILLORA_SAMPLE_CHAOS", "500", 1);
    TDataRoot scratch;
    const TTree tree = ExpectedTree(scratch.Path);
    ASSERT_EQ(tree.size(), 505u) << "the account could not be exported";
    TPythonPeer service("tools/sample-service/service.py", {}, scratch.Path);
    ::unsetenv("QUILLORA_SAMPLE_CHAOS");
    ASSERT_GT(service.Port(), 0);
    for (const std::string faults : {"trickle", "idle_close", "delay_head"}) {
        SCOPED_TRACE(faults);
        TDataRoot root;
        TPythonPeer relay("tests/support/chaos_relay.py",
                          {"--upstream", std::to_string(service.Port()), "--seed", "1", "--rate", "0.2",
                           "--faults", faults},
                          root.Path);
        ASSERT_GT(relay.Port(), 0);
        const TThrough through(relay.Port(), 5000);
        EXPECT_EQ(GbkToUtf8(LookUpAndDownload(root)), "");
        EXPECT_EQ(PictureFiles(root).size(), tree.size());
        ExpectOnlyWholePictures(root, tree, faults);
    }
}
