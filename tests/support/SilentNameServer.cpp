#include "support/SilentNameServer.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool LoopbackUp() {
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return false;
    ifreq request{};
    std::strcpy(request.ifr_name, "lo");
    bool up = ::ioctl(s, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    up = up && ::ioctl(s, SIOCSIFFLAGS, &request) == 0;
    ::close(s);
    return up;
}

int SilentServer() {
    const int server = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(53);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (server >= 0 && ::bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
        return server;
    if (server >= 0) ::close(server);
    return -1;
}

// Bind-mounted over /etc/resolv.conf; the file itself is gone at once.
bool NameOnlyTheSilentServer() {
    char conf[] = "/tmp/quillora-resolv-XXXXXX";
    const int fd = ::mkstemp(conf);
    if (fd < 0) return false;
    const char text[] = "nameserver 127.0.0.1\noptions timeout:30 attempts:5\n";
    const bool written = ::write(fd, text, sizeof text - 1) == static_cast<ssize_t>(sizeof text - 1);
    ::close(fd);
    const bool mounted = written && ::mount(conf, "/etc/resolv.conf", nullptr, MS_BIND, nullptr) == 0;
    ::unlink(conf);
    return mounted;
}

} // namespace

int EnterSilentNameServerNamespace() {
    if (::unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) return -1;
    // Nothing mounted here reaches the machine's own mount table.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 || !LoopbackUp()) return -1;
    const int server = SilentServer();
    if (server < 0 || !NameOnlyTheSilentServer()) return -1;
    return server;
}
