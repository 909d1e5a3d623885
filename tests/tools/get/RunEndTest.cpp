// How a quillora-get run ends: its closing line counts what became of the
// pictures, the program's own messages read as one line, and a failure of
// the archive or the report ends the run as an error, never as an abort.

#include "GetHarness.h"
#include "archive/PictureArchive.h"
#include "support/ScriptedPeer.h"


namespace {

std::string LastLine(const std::string& text) {
    const std::vector<std::string> lines = TextLines(text);
    return lines.empty() ? std::string() : lines.back();
}

} // namespace

// The last line off a terminal, run after run in one folder: saved of all,
// then what was skipped and what failed; a lookup that failed is said as such.
TEST(QuilloraGetRunEnd, ClosingLineCountsTheRun) {
    TScratch scratch;
    TServer server(scratch.Path(), {});
    ASSERT_GT(server.Port(), 0);
    struct TCase {
        std::vector<std::string> Args;
        int Status;
        std::string Closing; // the whole line, or its head up to the bytes
        bool Whole;
    } cases[] = {
        {{"faults"}, 1, "7 of 8 pictures saved, 1 failed; ", false},
        {{"faults"}, 1, "0 of 8 pictures saved, 7 skipped, 1 failed; ", false},
        {{"--album", "1", "faults"}, 0, "0 of 3 pictures saved, 3 skipped; ", false},
        {{"nobody"}, 1, "The account could not be looked up; nothing was saved.", true},
        {{"nobody", "nobody2"}, 1, "No account could be looked up; nothing was saved.", true},
        {{"nobody", "faults"},
         1,
         "0 of 8 pictures saved, 7 skipped, 1 failed, 1 account not looked up; ",
         false},
        {{"--album", "9", "faults"},
         1,
         "0 of 0 pictures saved, 1 account without the album asked for; ",
         false},
    };
    for (const TCase& c : cases) {
        std::vector<std::string> args{"--dest", "out"};
        args.insert(args.end(), c.Args.begin(), c.Args.end());
        const TGetRun run = RunGet(scratch.Path(), server, args);
        const std::string what = c.Args.back() + " " + std::to_string(&c - cases);
        EXPECT_EQ(run.Status, c.Status) << what << "\n" << run.Err;
        const std::string last = LastLine(run.Out);
        if (c.Whole) {
            EXPECT_EQ(last, c.Closing) << what;
        } else {
            EXPECT_TRUE(StartsWith(last, c.Closing)) << what << ": " << last;
        }
        EXPECT_EQ(run.Out.find("/8 pictures"), std::string::npos) << what << "\n" << run.Out;
    }
}

// The program's own two-line texts are one line with their words, the host
// and proxy first and the Winsock frame in brackets; what a server sent
// keeps its control characters visible (see the hostile names).
TEST(QuilloraGetRunEnd, OwnMessagesOnOneLine) {
    TScratch scratch;
    TServer server(scratch.Path(), {});
    ASSERT_GT(server.Port(), 0);
    const std::string proxy = "127.0.0.1:" + std::to_string(ClosedLoopbackPort());
    const TGetRun run = RunGet(scratch.Path(), server,
                               {"--proxy", proxy, "--dest", "out", "--json", "report.json", "quillora"});
    EXPECT_EQ(run.Status, 1);
    const std::string text =
        "photo.quillora.example via proxy " + proxy + ": Connection refused (Socket Error # 10061)";
    EXPECT_EQ(run.Err, "quillora-get: account quillora: " + text + "\n");
    EXPECT_EQ(LastLine(run.Out), "The account could not be looked up; nothing was saved.");
    EXPECT_EQ(run.Report["accounts"][0]["error"], text);
}

namespace {

size_t Occurrences(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

// An archive whose next row passes the file-size limit: pages of 64 KiB, so
// that the first row a run writes (a page into the write-ahead log) fails as
// on a full disk, while the pictures (all smaller) fit.
constexpr rlim_t ArchiveLimit = 65000;

void FillArchive(const fs::path& archive) {
    for (const char* suffix : {"", "-wal", "-shm"})
        fs::remove(archive.string() + suffix);
    TArchivedPicture kept;
    kept.Url = "http://kept.example/by-the-user.jpg";
    TPictureArchive(archive.string()).Save(kept);
    const std::string command = "sqlite3 '" + archive.string() +
                                "' 'PRAGMA journal_mode=DELETE; PRAGMA page_size=65536; VACUUM; "
                                "PRAGMA journal_mode=WAL' >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
}

} // namespace

// An archive that cannot be written ends the run with its message and exit
// 1, never an abort; the pictures keep their outcomes (a picture on the disk
// under its name is saved or skipped, not failed), and the report is written.
TEST(QuilloraGetRunEnd, UnwritableArchiveFailsTheRunNotThePictures) {
    TScratch scratch;
    TServer server(scratch.Path(), {});
    ASSERT_GT(server.Port(), 0);
    const fs::path archive = scratch.Path() / "archive.db";
    struct TCase {
        const char* Name;
        bool OnDiskBefore;
        const char* Outcome;
    } cases[] = {{"while skipping", true, "skipped"}, {"after the rename", false, "saved"}};
    for (const TCase& c : cases) {
        fs::remove_all(scratch.Path() / "out");
        if (c.OnDiskBefore) {
            ASSERT_EQ(RunGet(scratch.Path(), server, {"--dest", "out", "--album", "1", "faults"}).Status, 0);
        }
        FillArchive(archive);
        TGetLimits limits;
        limits.FileSize = ArchiveLimit;
        const TGetRun run = RunGet(
            scratch.Path(), server,
            {"--dest", "out", "--archive", "archive.db", "--json", "-", "-j", "2", "--album", "1", "faults"},
            limits);
        EXPECT_EQ(run.Status, 1) << c.Name << "\n" << run.Err;
        const std::string message =
            "quillora-get: Cannot write to the archive \"" + archive.string() + "\". File too large\n";
        EXPECT_EQ(Occurrences(run.Err, message), 1u) << c.Name << "\n" << run.Err;
        EXPECT_EQ(run.Err.find("terminate"), std::string::npos) << c.Name;
        const nlohmann::json report = nlohmann::json::parse(run.Out, nullptr, false);
        ASSERT_TRUE(report.is_object()) << c.Name << "\n" << run.Out;
        EXPECT_EQ(report["archive_error"],
                  "Cannot write to the archive \"" + archive.string() + "\". File too large");
        ASSERT_EQ(report["albums"][0]["pictures"].size(), 3u);
        for (const auto& picture : report["albums"][0]["pictures"]) {
            EXPECT_EQ(picture["outcome"], c.Outcome) << c.Name << " " << picture.dump();
            EXPECT_EQ(picture["attempts"], c.OnDiskBefore ? 0 : 1) << c.Name << " " << picture.dump();
            const std::string path = picture["path"];
            EXPECT_EQ(fs::file_size(path), picture["bytes"].get<uintmax_t>()) << path;
        }
        EXPECT_EQ(TPictureArchive(archive.string(), TPictureArchive::TMode::ReadOnly).Count(), 1u) << c.Name;
    }
}

// A report that cannot be written fails a run that otherwise succeeded.
// (Its folder is checked, and made, before the lookup: here the disk is
// full, as far as the report goes, once the run is done.)
TEST(QuilloraGetRunEnd, UnwritableReportFailsTheRun) {
    TScratch scratch;
    TServer server(scratch.Path(), {});
    ASSERT_GT(server.Port(), 0);
    TGetLimits limits;
    limits.FileSize = 200; // the album's description fits, the report does not
    const TGetRun toFile =
        RunGet(scratch.Path(), server,
               {"--dest", "out", "--json", "nosuch/report.json", "--album", "3", "quillora"}, limits);
    EXPECT_EQ(toFile.Status, 1) << toFile.Err;
    EXPECT_NE(toFile.Err.find("quillora-get: cannot write the report nosuch/report.json: "),
              std::string::npos)
        << toFile.Err;
    EXPECT_FALSE(fs::exists(scratch.Path() / "nosuch/report.json"));
    EXPECT_EQ(LastLine(toFile.Out).rfind("0 of 0 pictures saved; ", 0), 0u) << toFile.Out;

    // Standard output on a device that is always full.
    const fs::path err = scratch.Path() / "full-stderr.txt";
    TChild child({std::string(QUILLORA_BIN_DIR) + "/quillora-get", "--proxy", server.Proxy(), "--dest",
                  (scratch.Path() / "out").string(), "--json", "-", "--album", "1", "faults"},
                 "/dev/full", err);
    EXPECT_EQ(child.Wait(), 1) << ReadWhole(err);
    EXPECT_NE(ReadWhole(err).find(
                  "quillora-get: cannot write the report to standard output: No space left on device\n"),
              std::string::npos)
        << ReadWhole(err);
}

// A second Ctrl-C ends the program at once, even while the first one waits
// for a name lookup that never answers; without it the run would hang for
// good and the test with it.
TEST(QuilloraGetRunEnd, SecondInterruptEndsAStuckLookup) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a preloaded library cannot come before the sanitizer's runtime";
#endif
    TScratch scratch;
    TServer server(scratch.Path(), {});
    ASSERT_GT(server.Port(), 0);
    const fs::path notes = scratch.Path() / "out/resolver-notes";
    fs::create_directories(scratch.Path() / "out");
    ::setenv("LD_PRELOAD", QUILLORA_STUCK_RESOLVER, 1);
    ::setenv("QUILLORA_STUCK_NOTES", notes.c_str(), 1);
    // localhost and dotted quads are never looked up; this name is, and only
    // by the preloaded stand-in, never by a real resolver.
    ASSERT_TRUE(fs::exists(QUILLORA_STUCK_RESOLVER));
    auto child = StartGet(scratch.Path(), server,
                          {"--proxy", "quillora-stuck.invalid:8080", "--dest", "out", "quillora"});
    ::unsetenv("LD_PRELOAD");
    ::unsetenv("QUILLORA_STUCK_NOTES");
    ASSERT_TRUE(
        WaitUntil([&] { return ReadWhole(notes).find('l') != std::string::npos; }, std::chrono::seconds(30)));
    child->Signal(SIGINT);
    // The first stop may end an abandonable lookup by itself; otherwise its
    // handler woke the stuck one, and the second comes after it, not with it.
    WaitUntil([&] { return ReadWhole(notes).find('w') != std::string::npos; }, std::chrono::seconds(5));
    child->Signal(SIGINT);
    EXPECT_EQ(child->Wait(), 130);
}
