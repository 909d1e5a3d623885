// https to a name whose only address is IPv6: in a network and mount
// namespace of a child process whose /etc/hosts gives the service's host
// name ::1 alone, the client connects over IPv6 and checks the certificate
// against that name. No name leaves the machine.
#include "http/IdHTTP.h"
#include "net/IdException.h"
#include "net/IdSSLIOHandlerSocket.h"
#include "support/ChildReport.h"
#include "support/SilentNameServer.h"
#include "support/TestPki.h"
#include "support/TlsPeer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

#if defined(__SANITIZE_THREAD__)
#define QUILLORA_FORK_THREADS_UNSUPPORTED 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QUILLORA_FORK_THREADS_UNSUPPORTED 1
#endif
#endif

const std::string Reply = "HTTP/1.1 200 OK\r\nContent-Length: 6\r\nConnection: close\r\n\r\nover 6";

bool HostsGiveOnlyIPv6() {
    if (::unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) return false;
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
    char hosts[] = "/tmp/quillora-hosts-XXXXXX";
    const int fd = ::mkstemp(hosts);
    if (fd < 0) return false;
    const char text[] = "::1 photo.quillora.example\n";
    const bool written = ::write(fd, text, sizeof text - 1) == static_cast<ssize_t>(sizeof text - 1);
    ::close(fd);
    const bool mounted = written && ::mount(hosts, "/etc/hosts", nullptr, MS_BIND, nullptr) == 0;
    ::unlink(hosts);
    return mounted && std::system("ip link set lo up >/dev/null 2>&1") == 0;
}

// The child's run: the body fetched, or what was raised, goes to report.
[[noreturn]] void FetchOverIPv6(int report) {
    if (!HostsGiveOnlyIPv6()) std::_Exit(NoNamespaceExit);
    std::string result;
    try {
        TTlsPeer peer(TestPki().Good, {Reply}, "::1");
        TIdHTTP client;
        client.ReadTimeout = 5000;
        std::string connected;
        client.OnStatus = [&](TIdComponent*, TIdStatus status, const std::string& text) {
            if (status == hsConnecting) connected = text;
        };
        client.UseTlsTransport(std::make_shared<const TIdSSLContext>(TIdSSLSettings{TestPki().CAFile, true}));
        TMemoryStream body;
        client.FetchToStream("https://photo.quillora.example:" + std::to_string(peer.Port()) + "/", body);
        result = connected + " " + body.DataString();
    } catch (const Exception& e) {
        result = std::string(e.ClassName()) + ": " + e.Message();
    }
    (void)!::write(report, result.data(), result.size());
    std::_Exit(0);
}

} // namespace

TEST(DualStackHttps, ANameWithOnlyAnIPv6Address) {
#ifdef QUILLORA_FORK_THREADS_UNSUPPORTED
    GTEST_SKIP() << "ThreadSanitizer runs no threads in a forked child";
#endif
    bool skipped = false;
    const std::string result = ReportOfChild(FetchOverIPv6, skipped, NoNamespaceExit);
    if (skipped) GTEST_SKIP() << "no private network namespace here (needs root)";
    EXPECT_EQ(result, "Connecting to ::1. over 6");
}
