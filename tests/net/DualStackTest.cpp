// Names of either family and both, connected by their real lookups in a
// network and mount namespace of a child process: loopback up, a few more
// addresses on it, some of them blackholed by an nftables rule that drops
// their SYNs without a word, and an /etc/hosts of the test's own. No name
// leaves the machine; every peer is a listener inside the namespace.
#include "NetTestUtil.h"
#include "net/IdConnectRace.h"
#include "net/IdException.h"
#include "net/IdIOHandlerSocket.h"
#include "support/ChildReport.h"
#include "support/LoopbackListener.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int NoNamespace = 77;

// The system's default order puts IPv6 first; a case that needs the IPv4
// address first says so in the namespace's gai.conf, as users who prefer
// IPv4 do. So each blackholed address below is the one tried first.
const char* const Hosts = "::1 v6only.test\n"
                          "2001:db8::dead blackholed6.test\n"
                          "127.0.0.1 blackholed6.test\n"
                          "10.10.10.10 blackholed4.test\n"
                          "fd00::2 blackholed4.test\n"
                          "::1 refused.test\n"
                          "127.0.0.1 refused.test\n"
                          "2001:db8::99 unreachable.test\n"
                          "127.0.0.1 unreachable.test\n";

const char* const Setup = "ip link set lo up && ip addr add 2001:db8::dead/128 dev lo && "
                          "ip addr add fd00::2/128 dev lo && ip addr add 10.10.10.10/32 dev lo && "
                          "ip -6 route add unreachable 2001:db8::99/128 && nft -f %s";

const char* const Rules = "table inet quillora {\n"
                          "  chain input {\n"
                          "    type filter hook input priority 0;\n"
                          "    ip6 daddr 2001:db8::dead meta l4proto tcp drop\n"
                          "    ip daddr 10.10.10.10 meta l4proto tcp drop\n"
                          "  }\n"
                          "}\n";

// A file of text that vanishes once it is bind-mounted over target (or used).
bool WriteTemporary(const std::string& text, std::string& path) {
    char name[] = "/tmp/quillora-dualstack-XXXXXX";
    const int fd = ::mkstemp(name);
    if (fd < 0) return false;
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    path = name;
    return written;
}

bool MountText(const std::string& text, const char* target) {
    std::string path;
    const bool mounted =
        WriteTemporary(text, path) && ::mount(path.c_str(), target, nullptr, MS_BIND, nullptr) == 0;
    ::unlink(path.c_str());
    return mounted;
}

// The child's namespace; false when the system gives none (it needs root,
// iproute2, nftables and the system's /etc/gai.conf to mount over).
bool EnterDualStackNamespace(bool preferIPv4) {
    if (::unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) return false;
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
    // The address order of the case, whatever this machine's gai.conf says;
    // no name server, so an unknown name fails here and goes nowhere.
    if (!MountText(preferIPv4 ? "precedence ::ffff:0:0/96 100\n" : "", "/etc/gai.conf")) return false;
    if (!MountText(Hosts, "/etc/hosts") || !MountText("nameserver 127.0.0.1\n", "/etc/resolv.conf"))
        return false;
    std::string rules;
    if (!WriteTemporary(Rules, rules)) return false;
    char command[512];
    std::snprintf(command, sizeof command, Setup, rules.c_str());
    const std::string quiet = std::string(command) + " >/dev/null 2>&1";
    const bool ready = std::system(quiet.c_str()) == 0;
    ::unlink(rules.c_str());
    return ready;
}

struct TCase {
    const char* Host;
    const char* Listen; // the address a listener is on, or "" for none
    int Timeout;
    std::string Expected; // the winner's address, or what is raised
    bool PreferIPv4 = false;
};

// The child's whole run for one case: what it found goes to report as
// "<winner or raised>|<ms>|<attempts>|<descriptors left over>".
[[noreturn]] void ConnectInNamespace(const TCase& c, int report) {
    if (!EnterDualStackNamespace(c.PreferIPv4)) std::_Exit(NoNamespace);
    std::string result;
    try {
        std::unique_ptr<TLoopbackListener> listener;
        int port = 0;
        {
            TLoopbackListener probe("127.0.0.1"); // a port free on loopback
            port = probe.Port();
        }
        if (*c.Listen != '\0') listener = std::make_unique<TLoopbackListener>(c.Listen, port);
        const int before = OpenDescriptors();
        TIdTCPClient client;
        client.Host = c.Host;
        client.Port = port;
        int attempts = 0;
        client.OnStatus = [&](TIdComponent*, TIdStatus status, const std::string&) {
            attempts += status == hsConnecting;
        };
        const auto start = Clock::now();
        const std::string raised = Raised([&] { client.Connect(c.Timeout); });
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        result =
            raised.empty() ? static_cast<TIdIOHandlerSocket*>(client.IOHandler())->Binding()->PeerIP : raised;
        client.Disconnect();
        result += "|" + std::to_string(took) + "|" + std::to_string(attempts) + "|" +
                  std::to_string(OpenDescriptors() - before);
    } catch (const std::exception& e) {
        result = std::string("the child failed: ") + e.what();
    }
    (void)!::write(report, result.data(), result.size());
    std::_Exit(0);
}

// The child's report, or "" with skipped set when it found no namespace.
std::string RunInChild(const TCase& c, bool& skipped) {
    return ReportOfChild([&c](int report) { ConnectInNamespace(c, report); }, skipped, NoNamespace);
}

std::vector<std::string> Fields(const std::string& report) {
    std::vector<std::string> fields;
    size_t from = 0;
    for (size_t bar; (bar = report.find('|', from)) != std::string::npos; from = bar + 1)
        fields.push_back(report.substr(from, bar - from));
    fields.push_back(report.substr(from));
    return fields;
}

} // namespace

// A blackholed first address costs the attempt delay, not the time-out: the
// connect falls back to the other family well within it. The time bound is
// loose on purpose (a busy machine stretches it); the measured figure is printed.
TEST(DualStack, NamesOfEitherFamilyAndBoth) {
    const std::string refused = "Socket Error # 10061\r\nConnection refused.";
    const TCase cases[] = {
        {"v6only.test", "::1", -1, "::1"},
        {"v6only.test", "::1", 5000, "::1"},
        {"blackholed6.test", "127.0.0.1", 60000, "127.0.0.1"},
        {"blackholed6.test", "127.0.0.1", -1, "127.0.0.1"},
        {"blackholed4.test", "fd00::2", 60000, "fd00::2", true},
        {"blackholed4.test", "fd00::2", -1, "fd00::2", true},
        {"refused.test", "", -1, "EIdSocketError: " + refused},
        {"refused.test", "", 5000, "EIdConnectException: " + refused},
        // An unreachable address says less than the other's refusal.
        {"unreachable.test", "", -1, "EIdSocketError: " + refused},
        // Both blackholed: the time-out ends the whole race.
        {"blackholed6.test", "", 800, "EIdConnectTimeout: Connect timed out."},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(std::string(c.Host) + ", timeout " + std::to_string(c.Timeout));
        bool skipped = false;
        const std::string report = RunInChild(c, skipped);
        if (skipped)
            GTEST_SKIP() << "no private network namespace with iproute2 and nftables here (needs root)";
        const std::vector<std::string> fields = Fields(report);
        ASSERT_EQ(fields.size(), 4u) << report;
        EXPECT_EQ(fields[0], c.Expected);
        const long took = std::stol(fields[1]);
        std::printf("%s (timeout %d): %s after %ld ms, %s attempts\n", c.Host, c.Timeout,
                    fields[0].substr(0, fields[0].find('\r')).c_str(), took, fields[2].c_str());
        EXPECT_LT(took, 10000);
        // The losing attempts were closed: nothing is left of the connect.
        EXPECT_EQ(fields[3], "0");
        if (std::string(c.Host).rfind("blackholed", 0) == 0) {
            EXPECT_EQ(fields[2], "2"); // the blackholed address, then the one that answered
            EXPECT_GE(took, TIdConnectRace::AttemptDelay - 10);
        }
    }
}
