// A recorded picture asked again (--refresh) with a part left beside it that
// is longer than the picture: the range finds nothing past the part (416),
// the part goes, and the whole picture, asked with the record's validators,
// comes back 304. The picture is unchanged: skipped as such, not a failed
// attempt, and no part is left.

#include "GetHarness.h"
#include "transfer/PartFile.h"

TEST(QuilloraGetRefresh, RestartedPartAnsweredUnchanged) {
    TScratch scratch;
    TServer server(scratch.Path(), {"--validators"});
    ASSERT_GT(server.Port(), 0);
    std::vector<std::string> args{"--dest", "out",       "--archive", "archive.db", "--album",
                                  "风景",   "--retries", "0",         "--json",     "report.json"};
    std::vector<std::string> first = args;
    first.push_back("quillora");
    ASSERT_EQ(RunGet(scratch.Path(), server, first).Status, 0);
    const fs::path folder = scratch.Path() / "out/Pic/风景";
    const std::string picture = ReadWhole(folder / "IMG_0001.jpg");
    ASSERT_FALSE(picture.empty());
    const fs::path part = folder / PartPathFor("IMG_0001.jpg");
    WriteLeftPart(part, std::string(picture.size() + 10, 'x'));

    server.ForgetRequests();
    args.insert(args.end(), {"--refresh", "quillora"});
    const TGetRun run = RunGet(scratch.Path(), server, args);
    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(run.Report["totals"]["unchanged"], 11) << run.Out;
    EXPECT_EQ(run.Report["totals"]["failed"], 0) << run.Out;
    bool found = false;
    for (const auto& p : run.Report["albums"][0]["pictures"]) {
        const std::string url = p["url"];
        if (url.size() < 13 || url.compare(url.size() - 13, 13, "/IMG_0001.jpg") != 0) continue;
        found = true;
        EXPECT_EQ(p["outcome"], "skipped");
        EXPECT_EQ(p["attempts"], 1);
    }
    EXPECT_TRUE(found);
    EXPECT_EQ(ReadWhole(folder / "IMG_0001.jpg"), picture);
    EXPECT_FALSE(fs::exists(part));
    size_t ranged = 0;
    for (const std::string& line : server.Requests())
        if (line.find("/IMG_0001.jpg bytes=" + std::to_string(picture.size() + 10) + "-") !=
            std::string::npos)
            ++ranged;
    EXPECT_EQ(ranged, 1u);
}
