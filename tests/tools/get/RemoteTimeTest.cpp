// The server's time on the files quillora-get saves: a reply's Last-Modified
// becomes the picture's modification time, a resumed picture included; a
// reply without one, or with one that is no date, leaves the time of
// writing, as does --no-remote-time. --refresh sets the new version's time,
// and --verify does not judge times.

#include "GetHarness.h"
#include "WireScript.h"
#include "transfer/PartFile.h"

#include <ctime>
#include <sys/stat.h>

namespace {

constexpr int64_t Nov1st2026 = 1793520000; // Sun, 01 Nov 2026 08:00:00 GMT
constexpr int64_t Nov2nd2026 = Nov1st2026 + 86400;
constexpr int64_t Written = -1; // the time of writing, not the server's

int64_t ModifiedAt(const fs::path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_mtim.tv_sec) : -2;
}

std::string Whole(const std::string& body, const std::string& headers) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + headers + "\r\n" +
           body;
}

struct TTimeCase {
    const char* Name;
    std::string Headers;
    int64_t Time;
};

class RemoteTime : public ::testing::Test {
  protected:
    TScratch Scratch;
    std::string Body = Asset("photo-01.jpg");
    fs::path Album() const { return Scratch.Path() / "out/Pic/线路"; }
    TGetRun Run(const std::vector<TWirePicture>& pictures, std::vector<std::string> extra = {}) {
        const fs::path wire = WriteWire(Scratch.Path(), pictures);
        Server = std::make_unique<TServer>(Scratch.Path(), std::vector<std::string>{"--wire", wire.string()});
        EXPECT_GT(Server->Port(), 0);
        std::vector<std::string> args{"--dest", "out", "--json", "report.json", "--retries", "0", "-v"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back("wire");
        return RunGet(Scratch.Path(), *Server, args);
    }
    // The file has the time the case asks for: the server's, or one of this run's.
    void ExpectTime(const std::string& name, int64_t expected, int64_t runStart) {
        const int64_t time = ModifiedAt(Album() / name);
        if (expected == Written) {
            EXPECT_GE(time, runStart - 1) << name;
            EXPECT_LE(time, static_cast<int64_t>(std::time(nullptr)) + 1) << name;
        } else {
            EXPECT_EQ(time, expected) << name;
        }
    }
    std::unique_ptr<TServer> Server;
};

const std::vector<TTimeCase> Cases = {
    {"gmt.jpg", "Last-Modified: Sun, 01 Nov 2026 08:00:00 GMT\r\n", Nov1st2026},
    {"zone.jpg", "Last-Modified: Sun, 01 Nov 2026 16:00:00 +0800\r\n", Nov1st2026},
    {"rfc850.jpg", "Last-Modified: Monday, 02-Nov-26 08:00:00 GMT\r\n", Nov2nd2026},
    {"asctime.jpg", "Last-Modified: Mon Nov  2 08:00:00 2026\r\n", Nov2nd2026},
    {"epoch.jpg", "Last-Modified: Thu, 01 Jan 1970 00:00:00 GMT\r\n", 0},
    {"none.jpg", "", Written},
    {"empty.jpg", "Last-Modified: \r\n", Written},
    {"words.jpg", "Last-Modified: yesterday\r\n", Written},
    {"feb31.jpg", "Last-Modified: Sat, 31 Feb 2026 08:00:00 GMT\r\n", Written},
    {"hour25.jpg", "Last-Modified: Sun, 01 Nov 2026 25:00:00 GMT\r\n", Written},
    {"year0.jpg", "Last-Modified: Sun, 01 Nov 99999 08:00:00 GMT\r\n", Written},
};

std::vector<TWirePicture> CasePictures(const std::string& body) {
    std::vector<TWirePicture> pictures;
    for (const TTimeCase& c : Cases)
        pictures.push_back({c.Name, {{Whole(body, c.Headers)}}});
    return pictures;
}

} // namespace

TEST_F(RemoteTime, EachPictureTakesItsReplysDateWhenItIsOne) {
    const int64_t start = std::time(nullptr);
    const TGetRun run = Run(CasePictures(Body));
    ASSERT_EQ(run.Status, 0) << run.Err << run.Out;
    for (const TTimeCase& c : Cases) {
        EXPECT_EQ(ReadWhole(Album() / c.Name), Body) << c.Name;
        ExpectTime(c.Name, c.Time, start);
    }
    // A date that cannot be read is said with -v, and named.
    EXPECT_NE(run.Out.find("Last-Modified \"yesterday\" is no date"), std::string::npos) << run.Out;
    EXPECT_EQ(FilesIn(Album()).size(), Cases.size() + 1); // the pictures and the description, no part
}

TEST_F(RemoteTime, NoRemoteTimeKeepsTheTimeOfWriting) {
    const int64_t start = std::time(nullptr);
    const TGetRun run = Run(CasePictures(Body), {"--no-remote-time"});
    ASSERT_EQ(run.Status, 0) << run.Err << run.Out;
    for (const TTimeCase& c : Cases)
        ExpectTime(c.Name, Written, start);
}

// The rest of a picture comes in a 206 whose Last-Modified the whole file takes.
TEST_F(RemoteTime, AResumedPictureTakesTheTimeOfTheReplyThatCompletedIt) {
    fs::create_directories(Album());
    const size_t half = Body.size() / 2;
    WriteLeftPart(Album() / PartPathFor("resumed.jpg"), Body.substr(0, half));
    const std::string rest = Body.substr(half);
    const std::string partial =
        "HTTP/1.1 206 Partial Content\r\nContent-Length: " + std::to_string(rest.size()) +
        "\r\nContent-Range: bytes " + std::to_string(half) + "-" + std::to_string(Body.size() - 1) + "/" +
        std::to_string(Body.size()) + "\r\nLast-Modified: Sun, 01 Nov 2026 08:00:00 GMT\r\n\r\n" + rest;
    const TGetRun run = Run({{"resumed.jpg", {{partial}}}});
    ASSERT_EQ(run.Status, 0) << run.Err << run.Out;
    EXPECT_EQ(ReadWhole(Album() / "resumed.jpg"), Body);
    EXPECT_EQ(ModifiedAt(Album() / "resumed.jpg"), Nov1st2026);
    EXPECT_FALSE(fs::exists(Album() / PartPathFor("resumed.jpg")));
    ASSERT_EQ(run.Report["albums"][0]["pictures"].size(), 1u);
    EXPECT_EQ(run.Report["albums"][0]["pictures"][0]["resumed"], true) << run.Report.dump();
}

// The sample service's own dates, through the archive: a refreshed picture
// takes its new version's date, the unchanged ones keep theirs, and a time
// changed by hand is no fault for --verify.
TEST(QuilloraGetRemoteTime, RefreshSetsTheNewVersionsTimeAndVerifyLeavesTimesAlone) {
    TScratch scratch;
    const fs::path changed = scratch.Path() / "changed.txt";
    TServer server(scratch.Path(), {"--validators", "--changed-file", changed.string()});
    ASSERT_GT(server.Port(), 0);
    const std::vector<std::string> args{"--dest", "out", "--archive", "archive.db", "--album", "风景"};
    std::vector<std::string> first = args;
    first.push_back("quillora");
    ASSERT_EQ(RunGet(scratch.Path(), server, first).Status, 0);
    const fs::path folder = scratch.Path() / "out/Pic/风景";
    size_t pictures = 0;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.path().extension() != ".txt") {
            ++pictures;
            EXPECT_EQ(ModifiedAt(entry.path()), Nov1st2026) << entry.path();
        }
    EXPECT_EQ(pictures, 11u);

    WriteWhole(changed, "/quillora-04/IMG_0003.jpg\n");
    std::vector<std::string> refresh = args;
    refresh.insert(refresh.end(), {"--refresh", "quillora"});
    ASSERT_EQ(RunGet(scratch.Path(), server, refresh).Status, 0);
    EXPECT_EQ(ModifiedAt(folder / "IMG_0003.jpg"), Nov2nd2026);
    EXPECT_EQ(ModifiedAt(folder / "IMG_0001.jpg"), Nov1st2026);

    fs::last_write_time(folder / "IMG_0001.jpg", fs::file_time_type::clock::now());
    const TGetRun checked =
        RunGet(scratch.Path(), server, {"--dest", "out", "--archive", "archive.db", "--verify"});
    EXPECT_EQ(checked.Status, 0) << checked.Out << checked.Err;
}
