// A name lookup that never answers (a resolver that is down), preloaded into
// quillora-get by its stop tests. It notes in the file QUILLORA_STUCK_NOTES
// names an "l" when a lookup began and a "w" each time a signal's handler
// woke it, and waits again.

#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

struct addrinfo;

namespace {

void Note(char c) {
    const char* file = std::getenv("QUILLORA_STUCK_NOTES");
    if (!file) return;
    const int fd = ::open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    [[maybe_unused]] const ssize_t n = ::write(fd, &c, 1);
    ::close(fd);
}

} // namespace

extern "C" int getaddrinfo(const char*, const char*, const addrinfo*, addrinfo**) {
    Note('l');
    for (;;) {
        ::pause();
        Note('w');
    }
}
