#include "FetchOutput.h"

#include "core/Exceptions.h"
#include "core/Gbk.h"
#include "core/TextUtils.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// An output that only ever grows (standard output, a device, a pipe): it
// cannot seek or be resized, so the position is counted, and sizing ahead of a
// write is not needed there.
class TForwardStream : public TStream {
  public:
    TForwardStream(int fd, std::string name) : FHandle(fd), FName(std::move(name)) {}
    ~TForwardStream() override {
        if (FHandle != STDOUT_FILENO) ::close(FHandle);
    }
    int64_t Read(void*, int64_t) override { return 0; }
    int64_t Write(const void* buffer, int64_t count) override {
        const char* p = static_cast<const char*>(buffer);
        int64_t left = count;
        while (left > 0) {
            const ssize_t n = ::write(FHandle, p, static_cast<size_t>(left));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0)
                throw EWriteError(Format("Cannot write to %s. %s", FName.c_str(), std::strerror(errno)));
            p += n;
            left -= n;
        }
        FPosition += count;
        return count;
    }
    int64_t Seek(int64_t offset, TSeekOrigin origin) override {
        if (origin == TSeekOrigin::soCurrent && offset == 0) return FPosition;
        if (origin == TSeekOrigin::soBeginning && offset == FPosition) return FPosition;
        if (origin == TSeekOrigin::soEnd && offset == 0) return FPosition;
        throw EStreamError(FName + " cannot go back to bytes already written");
    }
    void SetSize(int64_t) override {}
    int64_t Size() override { return FPosition; }

  private:
    int FHandle;
    std::string FName;
    int64_t FPosition = 0;
};

std::string RealPath(const std::string& path) {
    std::unique_ptr<char, void (*)(void*)> real(::realpath(path.c_str(), nullptr), std::free);
    return real ? std::string(real.get()) : path;
}

bool IsProcessDescriptor(const std::string& path) {
    const std::string real = RealPath(path);
    return path.rfind("/dev/", 0) == 0 || path.rfind("/proc/", 0) == 0 || real.rfind("/proc/", 0) == 0;
}

} // namespace

TFetchOutput::TFetchOutput(const std::string& path) {
    if (path.empty() || path == "-") {
        FStream = std::make_unique<TForwardStream>(STDOUT_FILENO, "standard output");
        return;
    }
    struct stat st {};
    const bool exists = ::stat(path.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
        OpenForward(path);
        return;
    }
    // /dev/stdout and /proc/self/fd/N may lead to a regular file the shell
    // opened: write through it, as there is no folder of ours to rename in.
    if (exists && IsProcessDescriptor(path)) {
        OpenForward(path, O_APPEND);
        return;
    }
    // The file functions take names in the program's code page.
    auto file = std::make_unique<TAtomicFileStream>(FileNameToGbk(exists ? RealPath(path) : path));
    FFile = file.get();
    FStream = std::move(file);
}

void TFetchOutput::Finish() {
    if (FFile) FFile->Commit();
}

void TFetchOutput::OpenForward(const std::string& path, int flags) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | flags);
    if (fd < 0) RaiseCreateError(FileNameToGbk(path), errno);
    FStream = std::make_unique<TForwardStream>(fd, path);
}

void TReplySink::WriteHead(const std::string& statusLine, const std::string& headerText) {
    FOut.Seek(0, TSeekOrigin::soEnd);
    FOut.WriteText(statusLine + "\r\n" + headerText + "\r\n");
    FBase = FOut.Position();
}

int64_t TReplySink::Seek(int64_t offset, TSeekOrigin origin) {
    if (origin == TSeekOrigin::soBeginning) offset += FBase;
    return FOut.Seek(offset, origin) - FBase;
}
