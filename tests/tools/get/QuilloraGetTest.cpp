// quillora-get end to end: the real program against the sample service and
// nginx, checked by the files it leaves, the requests the server saw, its
// exit status and its report.

#include "GetHarness.h"
#include "transfer/PartFile.h"

#include <algorithm>
#include <map>
#include <set>

namespace {

// Pictures compare without printing their bytes.
::testing::AssertionResult SameBytes(const std::string& got, const std::string& want) {
    if (got == want) return ::testing::AssertionSuccess();
    size_t k = 0;
    while (k < got.size() && k < want.size() && got[k] == want[k])
        ++k;
    return ::testing::AssertionFailure()
           << got.size() << " bytes, " << want.size() << " expected, first difference at " << k;
}

// Two trees of files; a failure names the files that differ.
::testing::AssertionResult SameTree(const std::map<std::string, std::string>& got,
                                    const std::map<std::string, std::string>& want) {
    std::string wrong;
    for (const auto& [name, bytes] : want) {
        auto it = got.find(name);
        if (it == got.end())
            wrong += " missing:" + name;
        else if (it->second != bytes)
            wrong += " differs:" + name;
    }
    for (const auto& [name, bytes] : got)
        if (!want.count(name)) wrong += " extra:" + name;
    if (wrong.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << wrong;
}

// What the window stores for the sample account "quillora": album folder ->
// (file -> the bytes the service serves for it).
std::map<std::string, std::map<std::string, std::string>> QuilloraAccountFiles() {
    std::map<std::string, std::map<std::string, std::string>> albums;
    auto pictures = [](int first, int n, std::vector<std::string> extra = {}) {
        std::map<std::string, std::string> files;
        int k = 0;
        for (; k < n; ++k) {
            char name[32], asset[32];
            std::snprintf(name, sizeof name, "IMG_%04d.jpg", k + 1);
            std::snprintf(asset, sizeof asset, "photo-%02d.jpg", (first + k - 1) % 40 + 1);
            files[name] = Asset(asset);
        }
        for (const std::string& png : extra) {
            char name[32];
            std::snprintf(name, sizeof name, "IMG_%04d.png", ++k);
            files[name] = Asset(png);
        }
        return files;
    };
    albums["旅行"] = pictures(1, 25);
    albums["旅行"]["旅行.txt"] =
        "\xb6\xfe\xa9\x96\xb6\xfe\xc1\xf9\xc4\xea\xc7\xef\xcc\xec\xb5\xc4\xc2\xc3\xd0\xd0."
        "\r\n\xb4\xd3\xbd\xad\xc4\xcf\xb5\xbd\xc8\xfb\xb1\xb1,\xd2\xbb\xc2\xb7\xd7\xdf"
        "\xd2\xbb\xc2\xb7\xc5\xc4.\r\n\xb9\xb2\xb6\xfe\xca\xae\xce\xe5\xd5\xc5.";
    albums["家人 与 朋友"] = pictures(26, 6, {"photo-01.png", "photo-02.png"});
    albums["家人 与 朋友"]["家人 与 朋友.txt"] =
        "  \xd6\xdc\xc4\xa9\xbe\xdb\xbb\xe1\xb5\xc4\xd5\xd5\xc6\xac  ";
    albums["空像册"]["空像册.txt"] = "\xbb\xb9\xc3\xbb\xd3\xd0\xc9\xcf\xb4\xab\xd5\xd5\xc6\xac";
    albums["风景"] = pictures(31, 10, {"photo-03.png"});
    albums["风景"]["风景.txt"] = "\xc9\xbd,\xcb\xae,\xd4\xc6,\xd4\xc2.";
    return albums;
}

// Every file under dest, relative, with its bytes.
std::map<std::string, std::string> FilesUnder(const fs::path& dest) {
    std::map<std::string, std::string> files;
    if (!fs::exists(dest)) return files;
    for (const auto& entry : fs::recursive_directory_iterator(dest))
        if (entry.is_regular_file())
            files[fs::relative(entry.path(), dest).string()] = ReadWhole(entry.path());
    return files;
}

std::map<std::string, std::string> Expected(const std::string& only = "") {
    std::map<std::string, std::string> files;
    for (const auto& [album, content] : QuilloraAccountFiles())
        if (only.empty() || album == only)
            for (const auto& [name, bytes] : content)
                files["Pic/" + album + "/" + name] = bytes;
    return files;
}

size_t CountRequests(const std::vector<std::string>& lines, const std::string& method,
                     const std::string& hostPart) {
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.rfind(method + " ", 0) == 0 && line.find(hostPart) != std::string::npos;
    }));
}

const nlohmann::json* FindPicture(const nlohmann::json& report, const std::string& urlEnd) {
    for (const auto& album : report["albums"])
        for (const auto& picture : album["pictures"]) {
            const std::string url = picture["url"];
            if (url.size() >= urlEnd.size() &&
                url.compare(url.size() - urlEnd.size(), urlEnd.size(), urlEnd) == 0)
                return &picture;
        }
    return nullptr;
}

class QuilloraGetAccount : public ::testing::TestWithParam<bool> {};

// The whole account, as the window stores it, from either server; then a
// second run that asks for no picture at all with an archive, and only for
// sizes without one.
TEST_P(QuilloraGetAccount, WholeAccountThenSkipsEverything) {
    TScratch scratch;
    TServer server(scratch.Path(), {}, GetParam());
    ASSERT_GT(server.Port(), 0);
    TGetRun first =
        RunGet(scratch.Path(), server, {"--dest", "out", "--json", "report.json", "-j", "3", "quillora"});
    ASSERT_EQ(first.Status, 0) << first.Err;
    EXPECT_TRUE(SameTree(FilesUnder(scratch.Path() / "out"), Expected()));
    EXPECT_EQ(first.Report["totals"]["saved"], 44);
    EXPECT_EQ(first.Report["totals"]["failed"], 0);
    EXPECT_EQ(first.Report["albums"].size(), 4u);
    EXPECT_EQ(first.Report["albums"][1]["name"], "家人 与 朋友");
    int64_t bytes = 0;
    for (const auto& [name, content] : Expected())
        if (name.find(".txt") == std::string::npos) bytes += static_cast<int64_t>(content.size());
    EXPECT_EQ(first.Report["totals"]["bytes_saved"], bytes);

    server.ForgetRequests();
    TGetRun sizes = RunGet(scratch.Path(), server, {"--dest", "out", "--archive", "archive.txt", "quillora"});
    ASSERT_EQ(sizes.Status, 0) << sizes.Err;
    std::vector<std::string> seen = server.Requests();
    EXPECT_EQ(CountRequests(seen, "GET", "imgb"), 0u);
    EXPECT_EQ(CountRequests(seen, "HEAD", "imgb"), 44u);

    server.ForgetRequests();
    TGetRun archived =
        RunGet(scratch.Path(), server,
               {"--dest", "out", "--archive", "archive.txt", "--json", "report.json", "quillora"});
    ASSERT_EQ(archived.Status, 0) << archived.Err;
    seen = server.Requests();
    EXPECT_EQ(CountRequests(seen, "GET", "imgb") + CountRequests(seen, "HEAD", "imgb"), 0u);
    EXPECT_EQ(archived.Report["totals"]["skipped"], 44);
    EXPECT_EQ(FilesUnder(scratch.Path() / "out").size(), Expected().size());
}

INSTANTIATE_TEST_SUITE_P(Servers, QuilloraGetAccount, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Nginx" : "SampleService"; });

// A file of another size than the server's is fetched again.
TEST(QuilloraGet, FileOfAnotherSizeIsFetchedAgain) {
    TScratch scratch;
    TServer server(scratch.Path(), {});
    ASSERT_GT(server.Port(), 0);
    ASSERT_EQ(RunGet(scratch.Path(), server, {"--dest", "out", "--album", "风景", "quillora"}).Status, 0);
    const fs::path picture = scratch.Path() / "out/Pic/风景/IMG_0003.jpg";
    WriteWhole(picture, "short");
    server.ForgetRequests();
    ASSERT_EQ(RunGet(scratch.Path(), server, {"--dest", "out", "--album", "4", "quillora"}).Status, 0);
    EXPECT_TRUE(SameBytes(ReadWhole(picture), Asset("photo-33.jpg")));
    EXPECT_EQ(CountRequests(server.Requests(), "GET", "imgb"), 1u);
}

// SIGINT in the middle of an album: exit 130, a report, no incomplete file
// under a final name; the next run continues the parts with Range requests.
TEST(QuilloraGet, InterruptedRunResumesWithRanges) {
    TScratch scratch;
    TServer server(scratch.Path(), {"--validators", "--rate", "250000"});
    ASSERT_GT(server.Port(), 0);
    auto child = StartGet(scratch.Path(), server,
                          {"--dest", "out", "--album", "1", "--json", "report.json", "quillora"});
    const fs::path album = scratch.Path() / "out/Pic/旅行";
    ASSERT_TRUE(WaitUntil(
        [&] {
            if (!fs::exists(album)) return false;
            for (const auto& e : fs::directory_iterator(album))
                if (e.path().extension() == ".part" && fs::file_size(e.path()) > 0) return true;
            return false;
        },
        std::chrono::seconds(20)));
    child->Signal(SIGINT);
    TGetRun stopped = FinishGet(scratch.Path(), *child);
    ASSERT_EQ(stopped.Status, 130) << stopped.Err;
    EXPECT_TRUE(stopped.Report["interrupted"].get<bool>());
    EXPECT_GT(stopped.Report["totals"]["interrupted"].get<int>(), 0);
    const auto expected = Expected("旅行");
    int parts = 0;
    for (const auto& [name, bytes] : FilesUnder(scratch.Path() / "out")) {
        if (name.size() > 5 && name.substr(name.size() - 5) == ".part") {
            ++parts;
            continue;
        }
        EXPECT_TRUE(SameBytes(bytes, expected.at(name))) << name << " is under its final name but incomplete";
    }
    EXPECT_GT(parts, 0);

    server.ForgetRequests();
    TGetRun resumed = RunGet(scratch.Path(), server,
                             {"--dest", "out", "--album", "旅行", "--json", "report.json", "quillora"});
    ASSERT_EQ(resumed.Status, 0) << resumed.Err;
    EXPECT_TRUE(SameTree(FilesUnder(scratch.Path() / "out"), expected));
    size_t ranged = 0;
    for (const std::string& line : server.Requests())
        if (line.find("bytes=") != std::string::npos) ++ranged;
    EXPECT_GE(ranged, static_cast<size_t>(parts > 0 ? 1 : 0));
    int resumedInReport = 0;
    for (const auto& p : resumed.Report["albums"][0]["pictures"])
        if (p.value("resumed", false)) ++resumedInReport;
    EXPECT_EQ(static_cast<size_t>(resumedInReport), ranged);
}

// 429 and 503 with Retry-After (seconds, then a date), a reset mid-body
// continued by range, and a server that ignores Range under a stale part.
TEST(QuilloraGet, FlakyServerIsRetriedPolitely) {
    TScratch scratch;
    TServer server(scratch.Path(), {"--validators"});
    ASSERT_GT(server.Port(), 0);
    fs::create_directories(scratch.Path() / "out/Pic/不稳定");
    const fs::path stalePart = scratch.Path() / "out/Pic/不稳定" / PartPathFor("norange.jpg");
    WriteLeftPart(stalePart, std::string(1000, 'x'));
    TGetRun run = RunGet(scratch.Path(), server,
                         {"--dest", "out", "--backoff", "10", "--json", "report.json", "-j", "2", "flaky"});
    ASSERT_EQ(run.Status, 0) << run.Err;
    for (const char* name : {"busy429.jpg", "burst503.jpg", "norange.jpg"})
        EXPECT_TRUE(SameBytes(ReadWhole(scratch.Path() / "out/Pic/不稳定" / name), Asset("photo-01.jpg")))
            << name;
    EXPECT_TRUE(SameBytes(ReadWhole(scratch.Path() / "out/Pic/不稳定/reset.jpg"), Asset("large-01.jpg")));
    EXPECT_FALSE(fs::exists(stalePart));
    // A back-off of 10 ms alone would be over at once: the waits are the server's.
    EXPECT_GE(run.Seconds, 1.0);
    struct TCase {
        const char* Url;
        int Attempts;
        bool Resumed;
    } cases[] = {{"busy429.jpg", 2, false},
                 {"burst503.jpg", 3, false},
                 {"reset.jpg", 2, true},
                 {"norange.jpg", 1, false}};
    for (const TCase& c : cases) {
        const nlohmann::json* p = FindPicture(run.Report, c.Url);
        ASSERT_NE(p, nullptr) << c.Url;
        EXPECT_EQ((*p)["outcome"], "saved") << c.Url;
        EXPECT_EQ((*p)["attempts"], c.Attempts) << c.Url;
        EXPECT_EQ(p->value("resumed", false), c.Resumed) << c.Url;
    }
    const std::vector<std::string> seen = server.Requests();
    // The reset came after some whole pieces had been stored: only the rest is asked for.
    EXPECT_EQ(CountRequests(seen, "GET", "/reset.jpg bytes="), 1u);
    EXPECT_EQ(CountRequests(seen, "GET", "/reset.jpg -"), 1u);
    EXPECT_EQ(CountRequests(seen, "GET", "/norange.jpg bytes=1000-"), 1u);
}

// Retry-After is honoured only up to --max-wait; without retries a refusal fails the picture only.
TEST(QuilloraGet, RetryWaitsAreCappedAndRetriesCounted) {
    TScratch scratch;
    // Refusals that ask for ten minutes: without the cap the run outlasts
    // RunGet's wait and fails on its status, with no clock to read.
    TServer server(scratch.Path(), {"--retry-after", "600"});
    ASSERT_GT(server.Port(), 0);
    TGetRun capped =
        RunGet(scratch.Path(), server, {"--dest", "a", "--backoff", "10", "--max-wait", "0.1", "flaky"});
    EXPECT_EQ(capped.Status, 0) << capped.Err;

    TServer fresh(scratch.Path() / "second", {});
    TGetRun none =
        RunGet(scratch.Path(), fresh, {"--dest", "b", "--retries", "0", "--json", "report.json", "flaky"});
    EXPECT_EQ(none.Status, 1);
    EXPECT_NE(none.Err.find(
                  "album 不稳定: picture http://imgb1.photo.quillora.example/flaky-01/busy429.jpg: HTTP/1.1 "
                  "429"),
              std::string::npos)
        << none.Err;
    EXPECT_EQ(none.Report["totals"]["failed"], 3); // 429, 503 and the reset
    EXPECT_EQ(none.Report["totals"]["saved"], 3);
    EXPECT_FALSE(fs::exists(scratch.Path() / "b/Pic/不稳定/busy429.jpg"));
    EXPECT_FALSE(fs::exists(scratch.Path() / "b/Pic/不稳定" / PartPathFor("busy429.jpg")));
    // A picture cut off by a reset keeps what came, for the next run to continue.
    EXPECT_GT(fs::file_size(scratch.Path() / "b/Pic/不稳定" / PartPathFor("reset.jpg")), 0u);
}

// Names that would leave the album folder are refused; the other pictures
// are saved, a 404 is not retried and leaves nothing, the report says so.
TEST(QuilloraGet, HostileNamesRefusedOthersSaved) {
    TScratch scratch;
    TServer server(scratch.Path(), {});
    ASSERT_GT(server.Port(), 0);
    TGetRun run = RunGet(scratch.Path(), server, {"--dest", "out", "--json", "report.json", "badnames"});
    EXPECT_EQ(run.Status, 1);
    const std::map<std::string, std::string> expected{{"Pic/坏文件名/IMG_0001.jpg", Asset("photo-01.jpg")},
                                                      {"Pic/坏文件名/IMG_0004.jpg", Asset("photo-02.jpg")},
                                                      {"Pic/坏文件名/坏文件名.txt", "hostile picture names"}};
    EXPECT_TRUE(SameTree(FilesUnder(scratch.Path() / "out"), expected));
    std::set<std::string> top;
    for (const auto& e : fs::directory_iterator(scratch.Path()))
        top.insert(e.path().filename().string());
    EXPECT_EQ(top, (std::set<std::string>{"out", "server", "stdout.txt", "stderr.txt"}));
    for (const char* url : {"/badnames-01/..", "/badnames-01/sub/escape.jpg"}) {
        const nlohmann::json* p = FindPicture(run.Report, url);
        ASSERT_NE(p, nullptr) << url;
        EXPECT_EQ((*p)["outcome"], "failed");
        EXPECT_NE((*p)["message"].get<std::string>().find("Cannot create file"), std::string::npos);
        EXPECT_NE(run.Err.find(std::string("picture http://imgb1.photo.quillora.example") + url),
                  std::string::npos);
    }
    const nlohmann::json* missing = FindPicture(run.Report, "missing-404.jpg");
    ASSERT_NE(missing, nullptr);
    EXPECT_EQ((*missing)["message"], "HTTP/1.1 404 Not Found");
    EXPECT_EQ((*missing)["attempts"], 1);
    EXPECT_EQ(run.Report["totals"]["failed"], 3);
    EXPECT_EQ(run.Report["totals"]["saved"], 2);
    EXPECT_EQ(CountRequests(server.Requests(), "GET", "missing-404"), 1u);
}

// Album names that would leave Pic/ cost their album only; so does a blank
// name, which would put its pictures loose into Pic/ and its description
// into the hidden Pic/.txt.
TEST(QuilloraGet, HostileAlbumNamesRefusedOthersSaved) {
    TScratch scratch;
    TServer server(scratch.Path(), {});
    ASSERT_GT(server.Port(), 0);
    TGetRun run = RunGet(scratch.Path(), server, {"--dest", "out", "--json", "report.json", "hostile"});
    EXPECT_EQ(run.Status, 1);
    const std::map<std::string, std::string> expected{{"Pic/正常/正常.txt", "fine"},
                                                      {"Pic/正常/IMG_0001.jpg", Asset("photo-04.jpg")}};
    EXPECT_TRUE(SameTree(FilesUnder(scratch.Path() / "out"), expected));
    EXPECT_EQ(run.Report["totals"]["albums_failed"], 3);
    EXPECT_EQ(run.Report["totals"]["saved"], 1);
    EXPECT_EQ(run.Report["albums"][1]["error"], "album name \"a/../../escape\" cannot be a folder name");
    EXPECT_NE(run.Err.find("quillora-get: account hostile: album a/../../escape: album name "
                           "\"a/../../escape\" cannot be a folder name\n"),
              std::string::npos)
        << run.Err;
}

// Two albums of one name share a folder: the later album's files stay, as
// when the window saves them one after another, and no file is written by
// two workers at once.
TEST(QuilloraGet, AlbumsOfOneNameEndAsTheLaterOne) {
    TScratch scratch;
    TServer server(scratch.Path(), {});
    ASSERT_GT(server.Port(), 0);
    TGetRun run =
        RunGet(scratch.Path(), server, {"--dest", "out", "--json", "report.json", "-j", "4", "twins"});
    EXPECT_EQ(run.Status, 0) << run.Err;
    const std::map<std::string, std::string> expected{{"Pic/同名/同名.txt", "second"},
                                                      {"Pic/同名/IMG_0001.jpg", Asset("photo-03.jpg")},
                                                      {"Pic/同名/IMG_0002.jpg", Asset("photo-04.jpg")}};
    EXPECT_TRUE(SameTree(FilesUnder(scratch.Path() / "out"), expected));
    EXPECT_EQ(run.Report["totals"]["saved"], 2);
    EXPECT_EQ(run.Report["totals"]["skipped"], 2);
    EXPECT_EQ(run.Report["albums"][0]["pictures"][0]["message"], "the same file as a later picture");
    EXPECT_EQ(CountRequests(server.Requests(), "GET", "twins-01/IMG"), 0u);
}

// A picture called "IMG_0002.jpg.part" is saved first; the next picture,
// IMG_0002.jpg, must neither continue it nor remove it.
TEST(QuilloraGet, PictureNamedLikeAPartIsNoPart) {
    TScratch scratch;
    TServer server(scratch.Path(), {});
    ASSERT_GT(server.Port(), 0);
    TGetRun run = RunGet(scratch.Path(), server, {"--dest", "out", "-j", "1", "partnames"});
    EXPECT_EQ(run.Status, 0) << run.Err;
    const std::map<std::string, std::string> expected{{"Pic/部分/部分.txt", "part names"},
                                                      {"Pic/部分/IMG_0002.jpg.part", Asset("photo-02.jpg")},
                                                      {"Pic/部分/IMG_0002.jpg", Asset("photo-01.jpg")}};
    EXPECT_TRUE(SameTree(FilesUnder(scratch.Path() / "out"), expected));
    EXPECT_EQ(CountRequests(server.Requests(), "GET", "bytes="), 0u);
}

// Usage errors end with 2 before anything is written; an album the account
// does not have is the account's error (1), and nothing is written either.
TEST(QuilloraGet, UsageErrors) {
    TScratch scratch;
    TServer server(scratch.Path(), {});
    ASSERT_GT(server.Port(), 0);
    const std::vector<std::pair<std::vector<std::string>, int>> cases{
        {{"--dest", "out"}, 2},                                     // no account
        {{"--dest", "out", "--album", "没有", "quillora"}, 1},      // no such album
        {{"--dest", "out", "--album", "9", "quillora"}, 1},         // no such index
        {{"--dest", "out", "-j", "0", "quillora"}, 2},              // no workers
        {{"--dest", "out", "--bogus", "quillora"}, 2},              // unknown option
        {{"--dest", "out", "--proxy", "ftp://x:1", "quillora"}, 2}, // not a proxy
    };
    for (const auto& [args, status] : cases) {
        TGetRun run = RunGet(scratch.Path(), server, args);
        EXPECT_EQ(run.Status, status) << args[2];
        EXPECT_FALSE(run.Err.empty());
        EXPECT_FALSE(fs::exists(scratch.Path() / "out/Pic/旅行"));
    }
    TGetRun list = RunGet(scratch.Path(), server, {"--list", "quillora"});
    EXPECT_EQ(list.Status, 0);
    EXPECT_EQ(list.Out, "1\t旅行\t25\t二〇二六年秋天的旅行.\n2\t家人 与 朋友\t8\t  周末聚会的照片  "
                        "\n3\t空像册\t0\t还没有上传照片\n"
                        "4\t风景\t11\t山,水,云,月.\n");
}

} // namespace
