// quillora-get as a user meets it after a first copy with its archive:
// --verify and --repair say what they could not do, --checksums works from
// the archive alone, the configuration file's paths and repeated keys, the
// account in every message, and nothing left beside the archive. Each row:
// the command, its exit status and the exact first line it writes to
// standard error.

#include "GetHarness.h"

#include <sys/stat.h>

namespace {

const std::vector<std::string> Copy{"--dest", "out", "--archive", "archive.db"};

std::vector<std::string> With(std::vector<std::string> more) {
    std::vector<std::string> args = Copy;
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

std::string FirstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

struct TRow {
    const char* Name;
    std::vector<std::string> Args;
    int Status;
    std::string FirstError; // empty: nothing on standard error
};

void RunRows(const fs::path& folder, const TServer& server, const std::vector<TRow>& rows) {
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Name);
        const TGetRun run = RunGet(folder, server, row.Args);
        EXPECT_EQ(run.Status, row.Status) << run.Err;
        EXPECT_EQ(FirstLine(run.Err), row.FirstError) << run.Err;
    }
}

// The album 风景 of the sample account, copied with its archive; the empty
// album 空像册 beside it.
void FirstCopy(const fs::path& folder, const TServer& server) {
    const TGetRun run = RunGet(folder, server, With({"--album", "风景", "--album", "空像册", "quillora"}));
    ASSERT_EQ(run.Status, 0) << run.Err;
}

const fs::path Landscape = "out/Pic/风景";

} // namespace

TEST(QuilloraGetSaysWhatItDid, VerifyAndRepair) {
    TScratch scratch;
    TServer server(scratch.Path(), {});
    ASSERT_GT(server.Port(), 0);
    FirstCopy(scratch.Path(), server);
    RunRows(scratch.Path(), server,
            {
                {"the account copied", With({"--verify", "quillora"}), 0, ""},
                {"an account the archive does not hold", With({"--verify", "nobody"}), 1,
                 "quillora-get: account nobody: the archive holds no picture of this account"},
                {"one held, one not", With({"--verify", "quillora", "nobody"}), 1,
                 "quillora-get: account nobody: the archive holds no picture of this account"},
                {"repairing an account the archive does not hold", With({"--repair", "nobody"}), 1,
                 "quillora-get: account nobody: the archive holds no picture of this account"},
            });
    const fs::path folder = scratch.Path() / Landscape;
    fs::remove(folder / "IMG_0003.jpg");
    fs::create_directory(folder / "IMG_0003.jpg");
    fs::remove(folder / "IMG_0004.jpg");
    ASSERT_EQ(::mkfifo((folder / "IMG_0004.jpg").c_str(), 0644), 0);
    fs::remove(folder / "IMG_0005.jpg");
    const TGetRun repair = RunGet(scratch.Path(), server, With({"--repair"}));
    EXPECT_EQ(repair.Status, 1);
    EXPECT_EQ(TextLines(repair.Err),
              (std::vector<std::string>{
                  "quillora-get: account quillora: Pic/风景/IMG_0003.jpg not repaired: a folder stands where "
                  "the picture should be",
                  "quillora-get: account quillora: Pic/风景/IMG_0004.jpg not repaired: a FIFO stands where "
                  "the picture should be"}))
        << repair.Err;
    // What could be repaired was.
    EXPECT_TRUE(fs::is_regular_file(folder / "IMG_0005.jpg"));
}

// --checksums needs no account and no network: the archive names the
// folders and the digests. An album without a picture gets no file that
// sha256sum -c would refuse.
TEST(QuilloraGetSaysWhatItDid, ChecksumsFromTheArchiveAlone) {
    TScratch scratch;
    TServer server(scratch.Path(), {});
    ASSERT_GT(server.Port(), 0);
    FirstCopy(scratch.Path(), server);
    server.ForgetRequests();
    RunRows(scratch.Path(), server,
            {
                {"no account, no network", With({"--checksums", "--proxy", "127.0.0.1:9"}), 0, ""},
                {"no archive",
                 {"--dest", "out", "--checksums"},
                 2,
                 "quillora-get: --checksums needs --archive FILE"},
            });
    EXPECT_TRUE(server.Requests().empty());
    const fs::path folder = scratch.Path() / Landscape;
    const std::string command = "cd '" + folder.string() + "' && sha256sum --quiet -c SHA256SUMS";
    EXPECT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(TextLines(ReadWhole(folder / "SHA256SUMS")).size(), 11u);
    EXPECT_TRUE(fs::is_directory(scratch.Path() / "out/Pic/空像册"));
    EXPECT_FALSE(fs::exists(scratch.Path() / "out/Pic/空像册/SHA256SUMS"));
    // The run that copies writes none for the empty album either.
    const TGetRun copy =
        RunGet(scratch.Path(), server, With({"--checksums", "--album", "空像册", "quillora"}));
    EXPECT_EQ(copy.Status, 0) << copy.Err;
    EXPECT_FALSE(fs::exists(scratch.Path() / "out/Pic/空像册/SHA256SUMS"));
}

namespace {

// HOME for the runs of one test: a scratch folder, never the user's.
class THomeFor {
  public:
    explicit THomeFor(const fs::path& home) {
        if (const char* old = std::getenv("HOME")) FOld = old;
        fs::create_directories(home);
        ::setenv("HOME", home.c_str(), 1);
    }
    ~THomeFor() { ::setenv("HOME", FOld.c_str(), 1); }
    THomeFor(const THomeFor&) = delete;
    THomeFor& operator=(const THomeFor&) = delete;

  private:
    std::string FOld;
};

} // namespace

TEST(QuilloraGetSaysWhatItDid, ConfigurationFile) {
    TScratch scratch;
    TServer server(scratch.Path(), {});
    ASSERT_GT(server.Port(), 0);
    const THomeFor home(scratch.Path() / "home");
    WriteWhole(scratch.Path() / "tilde.conf", "dest = ~/Albums\narchive = \"~/Albums/archive.db\"\n");
    WriteWhole(scratch.Path() / "twice.conf", "jobs = 2\n# a note\njobs = 3\n");
    WriteWhole(scratch.Path() / "twice-list.conf", "album = [\"1\"]\nquiet = true\nalbum = \"2\"\n");
    WriteWhole(scratch.Path() / "tilde-user.conf", "dest = ~nobody/Albums\n");
    RunRows(scratch.Path(), server,
            {
                {"~/ is the home folder", {"--config", "tilde.conf", "--album", "风景", "quillora"}, 0, ""},
                {"a key given twice",
                 {"--config", "twice.conf", "quillora"},
                 2,
                 "quillora-get: twice.conf:3: \"jobs\" is given twice, first at twice.conf:1"},
                {"a list given again",
                 {"--config", "twice-list.conf", "quillora"},
                 2,
                 "quillora-get: twice-list.conf:3: \"album\" is given twice, first at twice-list.conf:1"},
                {"~name is no home of ours",
                 {"--config", "tilde-user.conf", "--album", "空像册", "quillora"},
                 0,
                 ""},
            });
    EXPECT_EQ(FilesIn(scratch.Path() / "home/Albums/Pic/风景").size(), 12u);
    EXPECT_TRUE(fs::is_regular_file(scratch.Path() / "home/Albums/archive.db"));
    EXPECT_FALSE(fs::exists(scratch.Path() / "~"));
    EXPECT_TRUE(fs::is_directory(scratch.Path() / "~nobody/Albums/Pic/空像册"));
}

// Every error names its account, in a run of one account too, and a name the
// file system cannot take is said in words.
TEST(QuilloraGetSaysWhatItDid, EveryErrorNamesItsAccount) {
    TScratch scratch;
    TServer server(scratch.Path(), {});
    ASSERT_GT(server.Port(), 0);
    FirstCopy(scratch.Path(), server);
    fs::remove(scratch.Path() / Landscape / "IMG_0001.jpg");
    const std::string edit = "sqlite3 '" + (scratch.Path() / "archive.db").string() +
                             "' \"UPDATE pictures SET url = 'http://elsewhere.example/IMG_0001.jpg' "
                             "WHERE path = 'Pic/风景/IMG_0001.jpg'\"";
    ASSERT_EQ(std::system(edit.c_str()), 0);
    RunRows(
        scratch.Path(), server,
        {
            {"a picture that fails",
             {"--dest", "a", "--retries", "0", "--album", "缺图", "faults"},
             1,
             "quillora-get: account faults: album 缺图: picture "
             "http://imgb2.photo.quillora.example/faults-02/missing-404.jpg: HTTP/1.1 404 Not Found"},
            {"an album named ..",
             {"--dest", "b", "hostile"},
             1,
             "quillora-get: account hostile: album ..: album name \"..\" cannot be a folder name"},
            {"an album --album names that is not there",
             {"--dest", "c", "--album", "nowhere", "quillora"},
             1,
             "quillora-get: account quillora: No album \"nowhere\" (see --list)"},
            {"a picture --repair refuses", With({"--repair"}), 1,
             "quillora-get: account quillora: album 风景: picture http://elsewhere.example/IMG_0001.jpg: "
             "Address refused: its host is not one of the service's (photo.quillora.example and the names "
             "under it)"},
        });
    EXPECT_FALSE(fs::exists(scratch.Path() / "b/Pic/...txt"));
}

// After any run the archive stands alone: its -wal and -shm are folded back
// and removed, as SQLite does when the last connection closes cleanly.
TEST(QuilloraGetSaysWhatItDid, NothingLeftBesideTheArchive) {
    TScratch scratch;
    TServer server(scratch.Path(), {"--validators"});
    ASSERT_GT(server.Port(), 0);
    const std::vector<std::string> archive{"--dest", "out", "--archive", "db/archive.db"};
    const auto with = [&](std::vector<std::string> more) {
        std::vector<std::string> args = archive;
        args.insert(args.end(), more.begin(), more.end());
        return args;
    };
    const struct {
        const char* Name;
        std::vector<std::string> Args;
        int Status;
    } runs[] = {
        {"a copy", with({"--album", "风景", "quillora"}), 0},
        {"--verify", with({"--verify"}), 0},
        {"--verify of an account not there", with({"--verify", "nobody"}), 1},
        {"--refresh", with({"--refresh", "--album", "风景", "quillora"}), 0},
        {"--repair", with({"--repair"}), 0},
        {"--checksums alone", with({"--checksums"}), 0},
        {"--gallery alone", with({"--gallery"}), 0},
    };
    for (const auto& run : runs) {
        SCOPED_TRACE(run.Name);
        const TGetRun done = RunGet(scratch.Path(), server, run.Args);
        EXPECT_EQ(done.Status, run.Status) << done.Err;
        EXPECT_EQ(FilesIn(scratch.Path() / "db"), std::set<std::string>{"archive.db"});
    }
}

// --refresh's closing line counts what the report counts: pictures saved
// again and pictures the server said were the same.
TEST(QuilloraGetSaysWhatItDid, RefreshClosingLineCountsUpdatedAndUnchanged) {
    TScratch scratch;
    const fs::path changed = scratch.Path() / "changed.txt";
    TServer server(scratch.Path(), {"--validators", "--changed-file", changed.string()});
    ASSERT_GT(server.Port(), 0);
    FirstCopy(scratch.Path(), server);
    const auto closing = [&](const TGetRun& run) {
        const std::vector<std::string> lines = TextLines(run.Out);
        const std::string last = lines.empty() ? "" : lines.back();
        return last.substr(0, last.find(';'));
    };
    const std::vector<std::string> refresh = With({"--refresh", "--album", "风景", "quillora"});
    const TGetRun same = RunGet(scratch.Path(), server, refresh);
    EXPECT_EQ(same.Status, 0) << same.Err;
    EXPECT_EQ(closing(same), "0 of 11 pictures saved, 11 skipped (0 updated, 11 unchanged)") << same.Out;
    WriteWhole(changed, "/quillora-04/IMG_0003.jpg\n");
    const TGetRun one = RunGet(scratch.Path(), server, refresh);
    EXPECT_EQ(one.Status, 0) << one.Err;
    EXPECT_EQ(closing(one), "1 of 11 pictures saved, 10 skipped (1 updated, 10 unchanged)") << one.Out;
    // A copy without --refresh says nothing of either.
    const TGetRun plain = RunGet(scratch.Path(), server, With({"--album", "风景", "quillora"}));
    EXPECT_EQ(closing(plain), "0 of 11 pictures saved, 11 skipped") << plain.Out;
}
