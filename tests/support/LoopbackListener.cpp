#include "support/LoopbackListener.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace {

socklen_t MakeAddress(const std::string& text, int port, sockaddr_storage& storage) {
    storage = {};
    if (text.find(':') != std::string::npos) {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(storage);
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(static_cast<uint16_t>(port));
        if (::inet_pton(AF_INET6, text.c_str(), &v6.sin6_addr) != 1)
            throw std::runtime_error("bad address " + text);
        return sizeof v6;
    }
    auto& v4 = reinterpret_cast<sockaddr_in&>(storage);
    v4.sin_family = AF_INET;
    v4.sin_port = htons(static_cast<uint16_t>(port));
    if (::inet_pton(AF_INET, text.c_str(), &v4.sin_addr) != 1)
        throw std::runtime_error("bad address " + text);
    return sizeof v4;
}

} // namespace

TLoopbackListener::TLoopbackListener(const std::string& address, int port) : FAddress(address) {
    sockaddr_storage storage;
    socklen_t length = MakeAddress(address, port, storage);
    FListener = ::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int on = 1;
    if (storage.ss_family == AF_INET6) ::setsockopt(FListener, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    // A test listens again on the port it just closed.
    ::setsockopt(FListener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    // Room for the connects of a test; Fill() takes the rest.
    if (FListener < 0 || ::bind(FListener, reinterpret_cast<sockaddr*>(&storage), length) != 0 ||
        ::listen(FListener, 8) != 0 ||
        ::getsockname(FListener, reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
        if (FListener >= 0) ::close(FListener);
        throw std::runtime_error("cannot listen on " + address + " port " + std::to_string(port));
    }
    FPort = ntohs(storage.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(storage).sin6_port
                                                : reinterpret_cast<sockaddr_in&>(storage).sin_port);
}

TLoopbackListener::~TLoopbackListener() {
    for (int fd : FFillers)
        ::close(fd);
    ::close(FListener);
}

void TLoopbackListener::Fill() {
    sockaddr_storage storage;
    const socklen_t length = MakeAddress(FAddress, FPort, storage);
    // Connects complete until the queue is full; the first that stays
    // pending shows that it is.
    for (int i = 0; i < 64; ++i) {
        const int fd = ::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) break;
        FFillers.push_back(fd);
        ::connect(fd, reinterpret_cast<sockaddr*>(&storage), length);
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, 200) == 0) return;
    }
    throw std::runtime_error("the accept queue on " + FAddress + " never filled");
}

void TLoopbackListener::Drain() {
    for (int fd : FFillers)
        ::close(fd);
    FFillers.clear();
    for (int fd; (fd = ::accept4(FListener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;)
        ::close(fd);
}

int OpenDescriptors() {
    DIR* folder = ::opendir("/proc/self/fd");
    if (folder == nullptr) return -1;
    int count = 0;
    while (const dirent* entry = ::readdir(folder))
        if (entry->d_name[0] != '.') ++count;
    ::closedir(folder);
    return count - 1; // the folder's own
}
