#include "core/ConfinedFiles.h"

#include "core/Exceptions.h"
#include "core/FileUtils.h"
#include "core/Gbk.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

#if __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#endif

namespace {

std::mutex FolderLock;
std::string Folder; // native, ending with "/"; empty: none

#if defined(SYS_openat2) && defined(RESOLVE_BENEATH)
std::atomic<bool> TryOpenat2{true};
#else
std::atomic<bool> TryOpenat2{false};
#endif

std::string FolderNow() {
    const std::lock_guard<std::mutex> guard(FolderLock);
    return Folder;
}

// A descriptor closed however the scope is left.
struct TFd {
    int Fd = -1;
    ~TFd() {
        if (Fd >= 0) ::close(Fd);
    }
};

// The path below the confined folder (native, without leading "/"), and the
// folder; none when the path is not strictly below it.
std::optional<std::string> RelativePart(const std::string& native, std::string& folder) {
    folder = FolderNow();
    if (folder.empty() || native.size() <= folder.size() || native.compare(0, folder.size(), folder) != 0)
        return std::nullopt;
    std::string relative = native.substr(folder.size());
    relative.erase(0, relative.find_first_not_of('/'));
    while (!relative.empty() && relative.back() == '/')
        relative.pop_back();
    if (relative.empty()) return std::nullopt;
    return relative;
}

std::vector<std::string> Components(const std::string& relative) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t slash = relative.find('/', start);
        const std::string part = relative.substr(start, slash - start);
        if (!part.empty() && part != ".") parts.push_back(part);
        if (slash == std::string::npos) return parts;
        start = slash + 1;
    }
}

// The folder at name in dir, never a link: O_PATH with O_NOFOLLOW opens a
// link itself, which fstat then tells from a folder.
int OpenFolderStep(int dir, const std::string& name) {
    if (name == "..") {
        errno = EXDEV;
        return -1;
    }
    const int fd = ::openat(dir, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) return fd;
    const int error = S_ISLNK(st.st_mode) ? ELOOP : ENOTDIR;
    ::close(fd);
    errno = error;
    return -1;
}

// The walk for kernels without openat2: every component below root opened in turn.
int WalkBeneath(int root, const std::string& relative, int flags, mode_t mode) {
    const std::vector<std::string> parts = Components(relative);
    if (parts.empty()) return ::openat(root, ".", flags | O_CLOEXEC, mode);
    TFd held;
    int at = root;
    for (size_t k = 0; k + 1 < parts.size(); ++k) {
        const int next = OpenFolderStep(at, parts[k]);
        if (next < 0) return -1;
        if (held.Fd >= 0) ::close(held.Fd);
        held.Fd = at = next;
    }
    if (parts.back() == "..") {
        errno = EXDEV;
        return -1;
    }
    if ((flags & O_PATH) && (flags & O_DIRECTORY)) return OpenFolderStep(at, parts.back());
    const int fd = ::openat(at, parts.back().c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
    // O_DIRECTORY meets a link as "not a folder": said as the link it is.
    struct stat st {};
    if (fd < 0 && errno == ENOTDIR && ::fstatat(at, parts.back().c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(st.st_mode))
        errno = ELOOP;
    return fd;
}

int OpenBeneath(int root, const std::string& relative, int flags, mode_t mode) {
    // ".." is refused whether or not it would stay inside: both ways of
    // resolving then answer alike.
    for (const std::string& part : Components(relative))
        if (part == "..") {
            errno = EXDEV;
            return -1;
        }
#if defined(SYS_openat2) && defined(RESOLVE_BENEATH)
    if (TryOpenat2.load()) {
        open_how how{};
        // No O_NOFOLLOW: with it an O_PATH open would answer a link itself
        // instead of refusing it as RESOLVE_NO_SYMLINKS does.
        how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
        how.mode = (flags & (O_CREAT | O_TMPFILE)) ? mode : 0;
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
        const long fd = ::syscall(SYS_openat2, root, relative.c_str(), &how, sizeof how);
        if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) return static_cast<int>(fd);
        // ENOSYS: an older kernel, for good. EPERM may be a container's
        // filter that does not know the call, or the file's own answer: the
        // walk then says which.
        if (errno == ENOSYS) TryOpenat2.store(false);
    }
#endif
    return WalkBeneath(root, relative, flags, mode);
}

int OpenFolderRoot(const std::string& folder) {
    return ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

// The folder holding a path, held open, and the path's last name in it. For
// a path outside the confined folder: the working folder and the whole path.
class TParentFolder {
  public:
    explicit TParentFolder(const std::string& path) : FLeaf(GbkToFileName(path)) {
        std::string folder;
        const std::optional<std::string> relative = RelativePart(FLeaf, folder);
        if (!relative) return;
        const size_t slash = relative->rfind('/');
        FLeaf = relative->substr(slash == std::string::npos ? 0 : slash + 1);
        const std::string parent = slash == std::string::npos ? std::string(".") : relative->substr(0, slash);
        if (FLeaf == "." || FLeaf == "..") {
            FError = EXDEV;
            return;
        }
        TFd root{OpenFolderRoot(folder)};
        FHeld.Fd = root.Fd < 0 ? -1 : OpenBeneath(root.Fd, parent, O_PATH | O_DIRECTORY, 0);
        if (FHeld.Fd < 0) FError = errno;
        FConfined = true;
    }
    // -1 with errno set when the folder could not be reached.
    int Fd() const {
        if (FError != 0) errno = FError;
        return FError != 0 ? -1 : FConfined ? FHeld.Fd : AT_FDCWD;
    }
    const char* Leaf() const { return FLeaf.c_str(); }
    bool Confined() const { return FConfined; }

  private:
    std::string FLeaf;
    TFd FHeld;
    bool FConfined = false;
    int FError = 0;
};

} // namespace

void SetConfinedFolder(const std::string& folder) {
    std::string native = folder.empty() ? std::string() : GbkToFileName(ExpandFileName(folder));
    while (native.size() > 1 && native.back() == '/')
        native.pop_back();
    if (!native.empty() && native != "/") native += '/';
    const std::lock_guard<std::mutex> guard(FolderLock);
    Folder = native;
}

std::string ConfinedFolder() {
    return FileNameToGbk(FolderNow());
}

bool IsBelowConfinedFolder(const std::string& path) {
    std::string folder;
    return RelativePart(GbkToFileName(path), folder).has_value();
}

int OpenConfined(const std::string& path, int flags, mode_t mode) {
    const std::string native = GbkToFileName(path);
    std::string folder;
    const std::optional<std::string> relative = RelativePart(native, folder);
    if (!relative) return ::open(native.c_str(), flags | O_CLOEXEC, mode);
    TFd root{OpenFolderRoot(folder)};
    if (root.Fd < 0) return -1;
    return OpenBeneath(root.Fd, *relative, flags, mode);
}

int StatConfined(const std::string& path, struct stat& st, bool followLink) {
    const TParentFolder parent(path);
    const int dir = parent.Fd();
    if (dir == -1) return -1;
    const int flags = parent.Confined() || !followLink ? AT_SYMLINK_NOFOLLOW : 0;
    return ::fstatat(dir, parent.Leaf(), &st, flags);
}

int RenameConfined(const std::string& from, const std::string& to) {
    const TParentFolder source(from), target(to);
    if (!source.Confined() && !target.Confined()) return ::rename(source.Leaf(), target.Leaf());
    const int a = source.Fd();
    if (a == -1) return -1;
    const int b = target.Fd();
    if (b == -1) return -1;
    return ::renameat(a, source.Leaf(), b, target.Leaf());
}

int UnlinkConfined(const std::string& path) {
    const TParentFolder parent(path);
    const int dir = parent.Fd();
    return dir == -1 ? -1 : ::unlinkat(dir, parent.Leaf(), 0);
}

int MakeFolderConfined(const std::string& path, mode_t mode) {
    const TParentFolder parent(path);
    const int dir = parent.Fd();
    return dir == -1 ? -1 : ::mkdirat(dir, parent.Leaf(), mode);
}

std::string ConfinedErrorText(const std::string& path, int error) {
    if ((error == ELOOP || error == EXDEV) && IsBelowConfinedFolder(path))
        return Format("A symbolic link stands in its path; links below \"%s\" are not followed",
                      ConfinedFolder().c_str());
    return SystemErrorText(error);
}

void UseOpenat2(bool use) {
#if defined(SYS_openat2) && defined(RESOLVE_BENEATH)
    TryOpenat2.store(use);
#else
    (void)use;
#endif
}
