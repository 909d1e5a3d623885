// Closing the window while the view command waits for a name lookup that
// never answers (a silent name server): the command ends at once with the
// silent EAbort, the fetch's worker is joined, and the lookup's own thread
// ends by itself once its lookup returns. The lookup is one the test holds,
// so no name is really looked up.

#include "FakeCommandHost.h"
#include "catalogue/LookupAlbums.h"
#include "net/IdResolver.h"
#include "support/HeldLookup.h"
#include "support/Watchdog.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <thread>

namespace {

class LookupStop : public ::testing::Test {
  protected:
    void SetUp() override {
        ClearAlbumList();
        // Straight to the service, as without a proxy: its name is looked up.
        for (const char* name : {"http_proxy", "HTTP_PROXY", "no_proxy", "NO_PROXY"})
            ::unsetenv(name);
        Held.Install();
    }
    void TearDown() override { Held.ReleaseAndRestore(); }
    std::vector<std::string> HostsAskedFor() { return Held.Hosts(); }
    THeldLookup Held{THeldLookup::TryAgain()};
    TDataRoot Root;
    TFakeCommandHost Host{Root.Tmp(), Root.Pic()};
};

} // namespace

TEST_F(LookupStop, ClosingDuringTheHomePagesNameLookupEndsTheCommand) {
    for (const char* connections : {"0", "4"}) {
        SCOPED_TRACE(std::string("QUILLORA_CONNECTIONS=") + connections);
        ::setenv("QUILLORA_CONNECTIONS", connections, 1);
        TFakeCommandHost host(Root.Tmp(), Root.Pic());
        const size_t before = HostsAskedFor().size();
        host.OnEvents = [&] {
            if (HostsAskedFor().size() > before) host.Closed = true;
        };
        bool aborted = false;
        WithinMilliseconds(60000, "the view command closed during a name lookup", [&] {
            try {
                LookupAlbums(host);
            } catch (const EAbort&) {
                aborted = true;
            }
        });
        ::unsetenv("QUILLORA_CONNECTIONS");
        EXPECT_TRUE(aborted);
        EXPECT_GE(host.Waits, 1);
        EXPECT_EQ(HostsAskedFor(), std::vector<std::string>(before + 1, "photo.quillora.example"));
        // Nothing of the fetch stays in the cache folder.
        EXPECT_TRUE(Root.Files().empty());
    }
}
