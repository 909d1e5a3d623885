// quillora-get's options for several accounts, album patterns, stalls, the
// configuration file and the version, end to end against the sample service.

#include "GetHarness.h"

#include <set>

namespace {

std::set<std::string> Pictures(const std::string& album, int n, const char* ext = "jpg") {
    std::set<std::string> files{"Pic/" + album + "/" + album + ".txt"};
    for (int k = 1; k <= n; ++k) {
        char name[32];
        std::snprintf(name, sizeof name, "IMG_%04d.%s", k, ext);
        files.insert("Pic/" + album + "/" + name);
    }
    return files;
}

std::set<std::string> Union(std::initializer_list<std::set<std::string>> sets) {
    std::set<std::string> all;
    for (const auto& s : sets)
        all.insert(s.begin(), s.end());
    return all;
}

std::set<std::string> Scenery() {
    auto files = Pictures("风景", 10);
    files.insert("Pic/风景/IMG_0011.png");
    return files;
}

// The report's accounts: name -> error ("" when it was looked up).
std::map<std::string, std::string> ReportAccounts(const nlohmann::json& report) {
    std::map<std::string, std::string> accounts;
    for (const auto& a : report["accounts"])
        accounts[a["name"]] = a.value("error", "");
    return accounts;
}

} // namespace

// Three accounts on the command line, one of them unknown, and --match
// across them: the albums that match come from every account that exists,
// the unknown one fails alone, and the report and exit status say so.
TEST(QuilloraGetOptions, SeveralAccountsWithMatch) {
    TScratch scratch;
    TServer server(scratch.Path(), {});
    ASSERT_GT(server.Port(), 0);
    TGetRun run = RunGet(scratch.Path(), server,
                         {"--dest", "out", "--json", "report.json", "--match", "风*", "--match", "同?",
                          "quillora", "nobody", "twins", "quillora"});
    EXPECT_EQ(run.Status, 1) << run.Err;
    EXPECT_NE(run.Err.find("quillora-get: account nobody: HTTP/1.1 404"), std::string::npos) << run.Err;
    EXPECT_EQ(FilesIn(scratch.Path() / "out"), Union({Scenery(), Pictures("同名", 2)}));
    EXPECT_EQ(ReportAccounts(run.Report),
              (std::map<std::string, std::string>{
                  {"quillora", ""}, {"nobody", "HTTP/1.1 404 Not Found"}, {"twins", ""}}));
    EXPECT_EQ(run.Report["account"], "quillora");
    ASSERT_EQ(run.Report["albums"].size(), 3u);
    EXPECT_EQ(run.Report["albums"][0]["account"], "quillora");
    EXPECT_EQ(run.Report["albums"][0]["index"], 4);
    EXPECT_EQ(run.Report["albums"][2]["account"], "twins");
    EXPECT_EQ(run.Report["totals"]["saved"], 13);
    EXPECT_EQ(run.Report["totals"]["accounts_failed"], 1);

    // Without the unknown account all is well; nothing is fetched twice.
    server.ForgetRequests();
    TGetRun again = RunGet(scratch.Path(), server,
                           {"--dest", "out", "--archive", "a.txt", "--match", "风*", "quillora", "twins"});
    EXPECT_EQ(again.Status, 0) << again.Err;
}

// --input-file from a file and from standard input: comments and blank lines
// are left out, accounts also named on the command line are taken once.
TEST(QuilloraGetOptions, InputFileAndStandardInput) {
    TScratch scratch;
    TServer server(scratch.Path(), {});
    ASSERT_GT(server.Port(), 0);
    WriteWhole(scratch.Path() / "accounts.txt",
               "# the accounts to copy\n\n  twins  \n#quillora\nempty\ntwins\n");
    TGetRun run = RunGet(scratch.Path(), server,
                         {"--dest", "out", "--json", "report.json", "--input-file", "accounts.txt", "twins"});
    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(FilesIn(scratch.Path() / "out"), Pictures("同名", 2));
    EXPECT_EQ(ReportAccounts(run.Report), (std::map<std::string, std::string>{{"twins", ""}, {"empty", ""}}));
    EXPECT_EQ(run.Report["accounts"][0]["name"], "twins");
    EXPECT_EQ(run.Report["accounts"][0]["albums"], 2);

    const std::string command = "printf 'partnames\\n# twins\\n' | '" + std::string(QUILLORA_BIN_DIR) +
                                "/quillora-get' --proxy " + server.Proxy() + " --dest piped --input-file -";
    const fs::path cwd = fs::current_path();
    fs::current_path(scratch.Path());
    TChild child({"sh", "-c", command}, scratch.Path() / "stdout.txt", scratch.Path() / "stderr.txt");
    fs::current_path(cwd);
    EXPECT_EQ(child.Wait(), 0) << ReadWhole(scratch.Path() / "stderr.txt");
    EXPECT_EQ(
        FilesIn(scratch.Path() / "piped"),
        (std::set<std::string>{"Pic/部分/部分.txt", "Pic/部分/IMG_0002.jpg.part", "Pic/部分/IMG_0002.jpg"}));

    TGetRun missing = RunGet(scratch.Path(), server, {"--dest", "out", "--input-file", "none.txt"});
    EXPECT_EQ(missing.Status, 2);
    EXPECT_NE(missing.Err.find("--input-file: cannot read"), std::string::npos) << missing.Err;
    TGetRun blank = RunGet(scratch.Path(), server, {"--dest", "out", "--input-file", "/dev/null"});
    EXPECT_EQ(blank.Status, 2);
}

// --album and --match together; a pattern that matches nothing copies
// nothing, and says so.
TEST(QuilloraGetOptions, AlbumAndMatchTogether) {
    TScratch scratch;
    TServer server(scratch.Path(), {});
    ASSERT_GT(server.Port(), 0);
    TGetRun run =
        RunGet(scratch.Path(), server,
               {"--dest", "out", "--album", "空像册", "--match", "[风]?", "--match", "家人*", "quillora"});
    EXPECT_EQ(run.Status, 0) << run.Err;
    auto family = Pictures("家人 与 朋友", 6);
    family.insert({"Pic/家人 与 朋友/IMG_0007.png", "Pic/家人 与 朋友/IMG_0008.png"});
    EXPECT_EQ(FilesIn(scratch.Path() / "out"), Union({Scenery(), family, {"Pic/空像册/空像册.txt"}}));

    TGetRun none = RunGet(scratch.Path(), server, {"--dest", "none", "--match", "nothing*", "quillora"});
    EXPECT_EQ(none.Status, 1) << none.Err;
    EXPECT_EQ(none.Err, "quillora-get: no album matches --match nothing* (see --list)\n");
    EXPECT_TRUE(FilesIn(scratch.Path() / "none").empty());
}

// A picture that only trickles fails after --min-speed-time and is retried;
// the others are saved.
TEST(QuilloraGetOptions, MinSpeedGivesUpOnATrickle) {
    TScratch scratch;
    TServer server(scratch.Path(), {});
    ASSERT_GT(server.Port(), 0);
    TGetRun run = RunGet(scratch.Path(), server,
                         {"--dest", "out", "--json", "report.json", "--min-speed", "1k", "--min-speed-time",
                          "1", "--retries", "1", "--backoff", "10", "trickle"});
    EXPECT_EQ(run.Status, 1) << run.Err;
    const auto& pictures = run.Report["albums"][0]["pictures"];
    ASSERT_EQ(pictures.size(), 2u);
    EXPECT_EQ(pictures[0]["outcome"], "failed");
    EXPECT_EQ(pictures[0]["attempts"], 2);
    EXPECT_NE(pictures[0]["message"].get<std::string>().find("Slower than 1024 bytes a second for 1 seconds"),
              std::string::npos)
        << pictures[0];
    EXPECT_EQ(pictures[1]["outcome"], "saved");
    // No clock bound: the trickle goes on until the client gives up, so
    // without the give-up the run outlasts RunGet's wait and the status is wrong.
}

// The configuration file gives options, the command line wins, --config
// picks another file; a file that cannot be used is a usage error.
TEST(QuilloraGetOptions, ConfigFileThenCommandLine) {
    TScratch scratch;
    TServer server(scratch.Path(), {});
    ASSERT_GT(server.Port(), 0);
    fs::create_directories(scratch.Path() / "xdg/quillora-get");
    WriteWhole(scratch.Path() / "xdg/quillora-get/config",
               "# defaults\ndest = \"fromconfig\"\nalbum = [\"风景\"]\njson = \"report.json\"\njobs = 2\n");
    WriteWhole(scratch.Path() / "other.conf", "album = \"3\"\ndest = \"other\"\n");
    WriteWhole(scratch.Path() / "bad.conf", "bogus = 1\n");
    ::setenv("XDG_CONFIG_HOME", (scratch.Path() / "xdg").c_str(), 1);

    TGetRun fromFile = RunGet(scratch.Path(), server, {"quillora"});
    EXPECT_EQ(fromFile.Status, 0) << fromFile.Err;
    EXPECT_EQ(FilesIn(scratch.Path() / "fromconfig"), Scenery());
    EXPECT_EQ(fromFile.Report["totals"]["saved"], 11);

    TGetRun overridden = RunGet(scratch.Path(), server, {"--album", "3", "--dest", "cli", "quillora"});
    EXPECT_EQ(overridden.Status, 0) << overridden.Err;
    EXPECT_EQ(FilesIn(scratch.Path() / "cli"), (std::set<std::string>{"Pic/空像册/空像册.txt"}));
    EXPECT_EQ(overridden.Report["totals"]["albums"], 1); // json still from the file

    TGetRun other = RunGet(scratch.Path(), server, {"--config", "other.conf", "quillora"});
    EXPECT_EQ(other.Status, 0) << other.Err;
    EXPECT_EQ(FilesIn(scratch.Path() / "other"), (std::set<std::string>{"Pic/空像册/空像册.txt"}));
    EXPECT_TRUE(other.Report.is_null()); // the default file was not read

    for (const char* file : {"bad.conf", "missing.conf"}) {
        TGetRun bad = RunGet(scratch.Path(), server, {"--config", file, "--dest", "bad", "quillora"});
        EXPECT_EQ(bad.Status, 2) << file;
        EXPECT_FALSE(fs::exists(scratch.Path() / "bad")) << file;
    }
    ::unsetenv("XDG_CONFIG_HOME");
}

TEST(QuilloraGetOptions, VersionAndListOfSeveralAccounts) {
    TScratch scratch;
    TServer server(scratch.Path(), {});
    ASSERT_GT(server.Port(), 0);
    TGetRun version = RunGet(scratch.Path(), server, {"--version"});
    EXPECT_EQ(version.Status, 0);
    EXPECT_EQ(version.Out.rfind("quillora-get (QuilloraDownLoad) ", 0), 0u) << version.Out;
    TGetRun list = RunGet(scratch.Path(), server, {"--list", "twins", "empty"});
    EXPECT_EQ(list.Status, 0) << list.Err;
    EXPECT_EQ(list.Out, "# twins\n1\t同名\t2\tfirst\n2\t同名\t2\tsecond\n# empty\n");
    for (const char* rate : {"--limit-rate", "--min-speed"}) {
        TGetRun bad = RunGet(scratch.Path(), server, {rate, "fast", "quillora"});
        EXPECT_EQ(bad.Status, 2) << rate;
        EXPECT_NE(bad.Err.find("is no rate"), std::string::npos) << bad.Err;
    }
}
