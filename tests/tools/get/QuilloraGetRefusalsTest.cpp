// quillora-get when something is wrong with what it is asked: account names
// that cannot be a home page's path, a faulty configuration file, albums
// that are not there or that get no folder, folders and files that cannot
// be written. Each is said on standard error, before any request it spares.

#include "GetHarness.h"

#include <set>

namespace {

// Runs the program in folder with XDG_CONFIG_HOME there, so that no
// configuration of the user's is read.
TGetRun RunIn(const fs::path& folder, const TServer& server, std::vector<std::string> args) {
    ::setenv("XDG_CONFIG_HOME", (folder / "xdg").c_str(), 1);
    TGetRun run = RunGet(folder, server, std::move(args));
    ::unsetenv("XDG_CONFIG_HOME");
    return run;
}

} // namespace

// A name that cannot be the path of a home page is refused before any
// request, naming the account and the character; the run does nothing.
TEST(QuilloraGetRefusals, AccountNamesCheckedBeforeAnyRequest) {
    TScratch scratch;
    TServer server(scratch.Path(), {});
    ASSERT_GT(server.Port(), 0);
    struct TCase {
        std::string Account, Message;
    };
    const std::vector<TCase> cases{
        {"quillora#x", "quillora-get: account \"quillora#x\": \"#\" cannot be part of an account name\n"},
        {"quillora?x=1", "quillora-get: account \"quillora?x=1\": \"?\" cannot be part of an account name\n"},
        {"quillora x", "quillora-get: account \"quillora x\": a blank cannot be part of an account name\n"},
        {"a/b", "quillora-get: account \"a/b\": \"/\" cannot be part of an account name\n"},
        {"a\tb", "quillora-get: account \"a\\x09b\": \"\\x09\" cannot be part of an account name\n"},
        {"a%zz",
         "quillora-get: account \"a%zz\": \"%\" cannot be part of an account name unless it starts an "
         "escape (%41)\n"},
        {"a%4", "quillora-get: account \"a%4\": \"%\" cannot be part of an account name unless it starts an "
                "escape (%41)\n"},
    };
    for (const TCase& c : cases)
        for (const bool list : {true, false}) {
            SCOPED_TRACE(c.Account + (list ? " --list" : ""));
            std::vector<std::string> args{"--dest", "out", c.Account};
            if (list) args.insert(args.begin(), "--list");
            const TGetRun run = RunIn(scratch.Path(), server, args);
            EXPECT_EQ(run.Status, 2);
            EXPECT_EQ(run.Err, c.Message);
            EXPECT_EQ(run.Out, "");
        }
    EXPECT_TRUE(server.Requests().empty());
    EXPECT_FALSE(fs::exists(scratch.Path() / "out"));

    // An escape is part of the path as it is.
    const TGetRun escaped = RunIn(scratch.Path(), server, {"--list", "a%41"});
    EXPECT_EQ(escaped.Status, 1);
    EXPECT_EQ(server.Requests(), std::vector<std::string>{"GET photo.quillora.example /a%41 - -"});
}

// In --input-file only whole lines are comments: a "#" later in a line is
// part of the account's name, which is then refused.
TEST(QuilloraGetRefusals, InputFileCommentsAreWholeLines) {
    TScratch scratch;
    TServer server(scratch.Path(), {});
    ASSERT_GT(server.Port(), 0);
    WriteWhole(scratch.Path() / "accounts.txt",
               "# the accounts\n  # indented, still a comment\nempty # trailing\n");
    const TGetRun run = RunIn(scratch.Path(), server, {"--input-file", "accounts.txt"});
    EXPECT_EQ(run.Status, 2);
    EXPECT_EQ(run.Err,
              "quillora-get: account \"empty # trailing\": a blank cannot be part of an account name\n");
    EXPECT_TRUE(server.Requests().empty());

    WriteWhole(scratch.Path() / "accounts.txt", "# the accounts\n  # indented\nempty\n");
    const TGetRun fine =
        RunIn(scratch.Path(), server, {"--input-file", "accounts.txt", "--json", "report.json"});
    EXPECT_EQ(fine.Status, 0) << fine.Err;
    ASSERT_EQ(fine.Report["accounts"].size(), 1u);
    EXPECT_EQ(fine.Report["accounts"][0]["name"], "empty");
}

// A faulty line of the configuration file names the file and the line; the
// run does nothing. --help and --version do not read the file, and
// --config /dev/null skips it.
TEST(QuilloraGetRefusals, ConfigurationFaultsNameFileAndLine) {
    TScratch scratch;
    TServer server(scratch.Path(), {});
    ASSERT_GT(server.Port(), 0);
    const fs::path config = scratch.Path() / "xdg/quillora-get/config";
    fs::create_directories(config.parent_path());
    struct TCase {
        std::string Text, Message;
    };
    const std::string at = config.string() + ":";
    const std::vector<TCase> cases{
        {"# mine\njbos = 8\n", at + "2: there is no option --jbos (see --help)"},
        {"jobs = 100\n", at + "1: --jobs: Value 100 not in range 1 to 64"},
        {"jobs = \"8\n", at + "1: the quotes are not closed"},
        {"\n\ndest\n", at + "3: not \"name = value\""},
        {"[get]\ndest = \"x\"\n", at + "1: sections are not used; write name = value"},
        {"album = [\"1\", \"2\"\n", at + "1: the list has no closing ]"},
        {"dest = \"a\" \"b\"\n", at + "1: more than one value; a list is written [\"a\", \"b\"]"},
        {"limit-rate = fast\n", at + "1: --limit-rate: \"fast\" is no rate (a number, maybe with k or M)"},
        {"list = true\n", at + "1: --list is for the command line only"},
        {"proxy = \"ftp://x\"\n", at + "1: --proxy: "},
        {"quiet = maybe\n", at + "1: "},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Text);
        WriteWhole(config, c.Text);
        const TGetRun run = RunIn(scratch.Path(), server, {"--dest", "out", "quillora"});
        EXPECT_EQ(run.Status, 2);
        EXPECT_TRUE(StartsWith(run.Err, "quillora-get: " + c.Message)) << run.Err;
        EXPECT_EQ(std::count(run.Err.begin(), run.Err.end(), '\n'), 1) << run.Err;

        const TGetRun help = RunIn(scratch.Path(), server, {"--help"});
        EXPECT_EQ(help.Status, 0);
        EXPECT_TRUE(StartsWith(help.Out, "usage: quillora-get [options] ACCOUNT..."))
            << help.Out.substr(0, 80);
        const TGetRun version = RunIn(scratch.Path(), server, {"--version"});
        EXPECT_EQ(version.Status, 0);
        EXPECT_TRUE(StartsWith(version.Out, "quillora-get (QuilloraDownLoad) ")) << version.Out;
        const TGetRun skipped = RunIn(scratch.Path(), server, {"--config", "/dev/null", "--list", "twins"});
        EXPECT_EQ(skipped.Status, 0) << skipped.Err;
    }
    EXPECT_FALSE(fs::exists(scratch.Path() / "out"));
    EXPECT_EQ(server.Requests().size(), 2 * cases.size()); // the --list twins runs only

    // A good file still works, the command line winning.
    WriteWhole(config, "# defaults\njobs = 2 # two\nquiet = true\nalbum = [\"3\"]\ndest = 'fromconfig'\n");
    const TGetRun good = RunIn(scratch.Path(), server, {"--dest", "cli", "quillora"});
    EXPECT_EQ(good.Status, 0) << good.Err;
    EXPECT_EQ(good.Out, "");
    EXPECT_EQ(FilesIn(scratch.Path() / "cli"), (std::set<std::string>{"Pic/空像册/空像册.txt"}));
}

// --album and --match choose in each account. An account without an album
// --album names is an error of its own; nothing chosen anywhere is said;
// the name --list shows chooses the album; albums of one name are all chosen.
TEST(QuilloraGetRefusals, AlbumsChosenPerAccount) {
    TScratch scratch;
    TServer server(scratch.Path(), {});
    ASSERT_GT(server.Port(), 0);
    struct TCase {
        std::vector<std::string> Args;
        int Status;
        std::string Err;
        size_t Saved;
    };
    const std::vector<TCase> cases{
        {{"--album", "旅行", "quillora", "faults"},
         1,
         "quillora-get: account faults: No album \"旅行\" (see --list)\n",
         25},
        {{"--album", "9", "twins"}, 1, "quillora-get: account twins: No album \"9\" (see --list)\n", 0},
        {{"--match", "zzz*", "quillora", "twins"},
         1,
         "quillora-get: no album matches --match zzz* (see --list)\n",
         0},
        {{"--match", "zzz*", "--match", "q?", "empty"},
         1,
         "quillora-get: no album matches --match zzz*, q? (see --list)\n",
         0},
        {{"--album", "坏%FF名", "badname"}, 0, "", 2},
        {{"--album", "同名", "twins"}, 0, "", 2},
        {{"--album", "1", "twins"}, 0, "", 2},
    };
    for (size_t k = 0; k < cases.size(); ++k) {
        const TCase& c = cases[k];
        SCOPED_TRACE(testing::PrintToString(c.Args));
        std::vector<std::string> args{"-q", "--json", "report.json", "--dest", "out" + std::to_string(k)};
        args.insert(args.end(), c.Args.begin(), c.Args.end());
        const TGetRun run = RunIn(scratch.Path(), server, args);
        EXPECT_EQ(run.Status, c.Status);
        EXPECT_EQ(run.Err, c.Err);
        EXPECT_EQ(run.Report["totals"]["saved"], c.Saved);
    }
    // Both albums of one name in one folder: of two pictures with one file
    // name, the later album's stays.
    EXPECT_EQ(FilesIn(scratch.Path() / "out5"),
              (std::set<std::string>{"Pic/同名/同名.txt", "Pic/同名/IMG_0001.jpg", "Pic/同名/IMG_0002.jpg"}));
    EXPECT_EQ(ReadWhole(scratch.Path() / "out5/Pic/同名/IMG_0001.jpg"), Asset("photo-03.jpg"));
    EXPECT_EQ(ReadWhole(scratch.Path() / "out5/Pic/同名/同名.txt"), "second");
    EXPECT_TRUE(FilesIn(scratch.Path() / "out2").empty());
}

// A name that gets no folder fails alone, before its picture list is asked for.
TEST(QuilloraGetRefusals, AlbumNamesWithoutAFolderOfTheirOwn) {
    TScratch scratch;
    TServer server(scratch.Path(), {});
    ASSERT_GT(server.Port(), 0);
    const TGetRun run =
        RunIn(scratch.Path(), server, {"-q", "--dest", "out", "--json", "report.json", "hostile"});
    EXPECT_EQ(run.Status, 1);
    EXPECT_NE(run.Err.find(": The album's name is blank: it names no folder of its own\n"), std::string::npos)
        << run.Err;
    EXPECT_EQ(FilesIn(scratch.Path() / "out"),
              (std::set<std::string>{"Pic/正常/正常.txt", "Pic/正常/IMG_0001.jpg"}));
    EXPECT_EQ(server.Requests(),
              (std::vector<std::string>{"GET photo.quillora.example /hostile - -",
                                        "GET photo.quillora.example /album/hostile/list.js - -",
                                        "GET photo.quillora.example /album/hostile/pics-04.js - -",
                                        "GET imgb4.photo.quillora.example /hostile-04/IMG_0001.jpg - -"}));
    EXPECT_EQ(run.Report["totals"]["albums_failed"], 3);
}

// Folders and files that cannot be written are a usage error before the
// lookup; the folders above the archive and the report are made.
TEST(QuilloraGetRefusals, FoldersCheckedBeforeTheLookup) {
    TScratch scratch;
    TServer server(scratch.Path(), {});
    ASSERT_GT(server.Port(), 0);
    WriteWhole(scratch.Path() / "afile", "x");
    fs::create_directories(scratch.Path() / "afolder");
    const std::string base = (scratch.Path() / "afile").string();
    struct TCase {
        std::vector<std::string> Args;
        std::string Err;
    };
    const std::vector<TCase> cases{
        {{"--dest", "afile"}, "quillora-get: --dest: \"" + base + "\" is a file, not a folder\n"},
        {{"--dest", "afile/sub"}, "quillora-get: --dest: \"" + base + "\" is a file, not a folder\n"},
        {{"--archive", "afile/saved.txt"}, "quillora-get: --archive: \"afile\" is a file, not a folder\n"},
        {{"--archive", "afolder"}, "quillora-get: --archive: \"afolder\" is a folder\n"},
        {{"--json", "afolder/"}, "quillora-get: --json: \"afolder\" is a folder\n"},
        {{"--json", "afile/sub/r.json"}, "quillora-get: --json: \"afile\" is a file, not a folder\n"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.Args));
        std::vector<std::string> args = c.Args;
        args.push_back("quillora");
        const TGetRun run = RunIn(scratch.Path(), server, args);
        EXPECT_EQ(run.Status, 2);
        EXPECT_EQ(run.Err, c.Err);
    }
    EXPECT_TRUE(server.Requests().empty());

    const TGetRun made = RunIn(scratch.Path(), server,
                               {"-q", "--dest", "d/e", "--archive", "a/b/saved.txt", "--json",
                                "r/s/report.json", "--album", "3", "quillora"});
    EXPECT_EQ(made.Status, 0) << made.Err;
    EXPECT_TRUE(fs::is_regular_file(scratch.Path() / "a/b/saved.txt"));
    EXPECT_TRUE(fs::is_regular_file(scratch.Path() / "r/s/report.json"));
    EXPECT_TRUE(fs::is_regular_file(scratch.Path() / "d/e/Pic/空像册/空像册.txt"));
}

// A re-run says what it skipped in its closing line alone (each picture
// with -v); --list of an account without albums says so.
TEST(QuilloraGetRefusals, SkippedPicturesInOneLineAndEmptyLists) {
    TScratch scratch;
    TServer server(scratch.Path(), {});
    ASSERT_GT(server.Port(), 0);
    ASSERT_EQ(RunIn(scratch.Path(), server, {"-q", "--dest", "out", "twins"}).Status, 0);
    const TGetRun again = RunIn(scratch.Path(), server, {"--dest", "out", "twins"});
    EXPECT_EQ(again.Status, 0) << again.Err;
    // Four pictures, two of them the earlier album's of the same files.
    EXPECT_TRUE(StartsWith(again.Out, "0 of 4 pictures saved, 4 skipped; ")) << again.Out;
    EXPECT_EQ(std::count(again.Out.begin(), again.Out.end(), '\n'), 1) << again.Out;
    const TGetRun verbose = RunIn(scratch.Path(), server, {"-v", "--dest", "out", "twins"});
    for (const char* line : {"skipped 同名/IMG_0001.jpg (", "skipped 同名/IMG_0002.jpg ("})
        EXPECT_NE(verbose.Out.find(line), std::string::npos) << verbose.Out;
    EXPECT_EQ(std::count(verbose.Out.begin(), verbose.Out.end(), '\n'), 3) << verbose.Out;

    const TGetRun list = RunIn(scratch.Path(), server, {"--list", "empty"});
    EXPECT_EQ(list.Status, 0);
    EXPECT_EQ(list.Out, "");
    EXPECT_EQ(list.Err, "quillora-get: account empty has no albums\n");
}
