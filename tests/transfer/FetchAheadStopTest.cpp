// A fetch ahead given up while its workers wait for name lookups that never
// answer (a silent name server): the waiting command leaves, the object goes,
// and its workers are joined at once instead of after the lookups. The lookup
// is one the test holds, so no name is really looked up.

#include "core/Exceptions.h"
#include "http/BoundedFetch.h"
#include "net/IdResolver.h"
#include "support/HeldLookup.h"
#include "support/Watchdog.h"
#include "transfer/FetchAhead.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <string>
#include <thread>

namespace {

namespace fs = std::filesystem;

class FetchAheadStop : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "quillora-ahead-stop-XXXXXX").string();
        Folder = ::mkdtemp(pattern.data());
        for (const char* name : {"http_proxy", "HTTP_PROXY", "no_proxy", "NO_PROXY"})
            ::unsetenv(name);
        Held.Install();
    }
    void TearDown() override {
        Held.ReleaseAndRestore();
        fs::remove_all(Folder);
    }
    int Started() { return static_cast<int>(Held.Started()); }
    THeldLookup Held{THeldLookup::TryAgain()};
    fs::path Folder;
};

} // namespace

TEST_F(FetchAheadStop, GivingUpDuringNameLookupsJoinsTheWorkersAtOnce) {
    struct TCase {
        int Connections;
        int Lookups; // the lookups under way when the command gives up
    };
    for (const TCase c : {TCase{1, 1}, TCase{4, 4}}) {
        SCOPED_TRACE(c.Connections);
        const int before = Started();
        std::string raised;
        WithinMilliseconds(60000, "the fetch ahead given up during name lookups", [&] {
            TFetchAhead fetches(c.Connections, Folder.string() + "/");
            std::vector<size_t> jobs;
            for (int k = 0; k < 6; ++k)
                jobs.push_back(
                    fetches.Add("http://img" + std::to_string(k) + ".photos.example/p.jpg", FileReplyLimit));
            try {
                fetches.Take(jobs[0], [&] {
                    if (Started() - before >= c.Lookups) throw EAbort("Operation aborted");
                });
            } catch (const EAbort& e) {
                raised = e.Message();
            }
        });
        EXPECT_EQ(raised, "Operation aborted");
        // No staging folder stays behind.
        EXPECT_TRUE(fs::is_empty(Folder));
    }
}
