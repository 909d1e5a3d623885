#include "gallery/GalleryFolder.h"

#include "core/Exceptions.h"
#include "core/FileUtils.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string Join(const std::string& folder, const std::string& name) {
    return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
}

// A name this folder may hold: one entry, never "." or ".." (which would leave it).
bool IsEntryName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

[[noreturn]] void RaiseWriteError(const std::string& path, int error) {
    throw EFCreateError(
        Format("Cannot create file \"%s\". %s", path.c_str(), SystemErrorText(error).c_str()));
}

} // namespace

TGalleryFolder TGalleryFolder::OpenRoot(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        throw EFOpenError(
            Format("Cannot open folder \"%s\". %s", path.c_str(), SystemErrorText(errno).c_str()));
    return TGalleryFolder(fd, path);
}

TGalleryFolder::~TGalleryFolder() {
    if (FFd >= 0) ::close(FFd);
}

TGalleryFolder::TGalleryFolder(TGalleryFolder&& other) noexcept
    : FFd(other.FFd), FPath(std::move(other.FPath)) {
    other.FFd = -1;
}

std::optional<TGalleryFolder> TGalleryFolder::Sub(const std::string& name) const {
    if (!IsEntryName(name)) return std::nullopt;
    const int fd = ::openat(FFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    return TGalleryFolder(fd, Join(FPath, name));
}

TGalleryFolder TGalleryFolder::MakeSub(const std::string& name) const {
    if (!IsEntryName(name)) RaiseWriteError(Join(FPath, name), EINVAL);
    if (::mkdirat(FFd, name.c_str(), 0755) != 0 && errno != EEXIST) RaiseWriteError(Join(FPath, name), errno);
    std::optional<TGalleryFolder> folder = Sub(name);
    if (!folder) RaiseWriteError(Join(FPath, name), EEXIST); // a file or a link stands there
    return std::move(*folder);
}

std::optional<std::string> TGalleryFolder::ReadFile(const std::string& name, int64_t limit) const {
    if (!IsEntryName(name)) return std::nullopt;
    // Non-blocking: a FIFO planted at the name must not hold the run.
    const int fd = ::openat(FFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    std::optional<std::string> bytes;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= limit) {
        std::string data(static_cast<size_t>(st.st_size), '\0');
        size_t done = 0;
        for (ssize_t n; done < data.size() && (n = ::read(fd, &data[done], data.size() - done)) > 0;)
            done += static_cast<size_t>(n);
        data.resize(done); // a file that shrank meanwhile gives what it still held
        bytes = std::move(data);
    }
    ::close(fd);
    return bytes;
}

bool TGalleryFolder::HasFile(const std::string& name) const {
    struct stat st {};
    return IsEntryName(name) && ::fstatat(FFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISREG(st.st_mode);
}

void TGalleryFolder::WriteFile(const std::string& name, const std::string& bytes) const {
    const std::string path = Join(FPath, name);
    if (!IsEntryName(name)) RaiseWriteError(path, EINVAL);
    static thread_local std::mt19937_64 random{std::random_device{}()};
    const std::string temporary =
        Format(".quillora-gallery-%016llx.tmp", static_cast<unsigned long long>(random()));
    const int fd =
        ::openat(FFd, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) RaiseWriteError(path, errno);
    size_t done = 0;
    for (ssize_t n; done < bytes.size() && (n = ::write(fd, bytes.data() + done, bytes.size() - done)) > 0;)
        done += static_cast<size_t>(n);
    const int error = done < bytes.size() ? (errno ? errno : ENOSPC) : ::fdatasync(fd) != 0 ? errno : 0;
    ::close(fd);
    if (error == 0 && ::renameat(FFd, temporary.c_str(), FFd, name.c_str()) == 0) return;
    const int failure = error ? error : errno;
    ::unlinkat(FFd, temporary.c_str(), 0);
    RaiseWriteError(path, failure);
}

void TGalleryFolder::RemoveFile(const std::string& name) const {
    if (IsEntryName(name)) ::unlinkat(FFd, name.c_str(), 0);
}

std::vector<std::string> TGalleryFolder::Names() const {
    std::vector<std::string> names;
    const int fd = ::openat(FFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return names;
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return names;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
    return names;
}

void TGalleryFolder::Sync() const {
    ::fsync(FFd);
}
