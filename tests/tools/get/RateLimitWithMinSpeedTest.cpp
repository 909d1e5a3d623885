// --limit-rate and --min-speed together: the limit's own pacing is no slow
// server. The share of the limit per worker is well below the minimum speed,
// so a watchdog that counted the pacing would give up on every picture.

#include "GetHarness.h"

TEST(QuilloraGetRates, LimitRateNeverCountsAsSlow) {
    TScratch scratch;
    TServer server(scratch.Path(), {});
    ASSERT_GT(server.Port(), 0);
    struct TCase {
        const char* Limit;
        const char* Jobs;
        const char* MinSpeed;
    } cases[] = {
        {"100k", "4", "40k"},  // 25k a worker
        {"100k", "1", "400k"}, // the minimum past the whole limit
    };
    for (const TCase& c : cases) {
        fs::remove_all(scratch.Path() / "out");
        const TGetRun run = RunGet(scratch.Path(), server,
                                   {"--dest", "out", "--json", "report.json", "--album", "风景",
                                    "--limit-rate", c.Limit, "-j", c.Jobs, "--min-speed", c.MinSpeed,
                                    "--min-speed-time", "1", "--retries", "0", "quillora"});
        EXPECT_EQ(run.Status, 0) << c.Limit << " " << c.MinSpeed << "\n" << run.Err;
        EXPECT_EQ(run.Err.find("Slower than"), std::string::npos) << run.Err;
        EXPECT_EQ(run.Report["totals"]["saved"], 11) << c.Limit;
    }
}
