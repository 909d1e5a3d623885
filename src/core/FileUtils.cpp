#include "core/FileUtils.h"

#include "core/Classes.h"
#include "core/ConfinedFiles.h"
#include "core/Exceptions.h"
#include "core/Gbk.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <memory>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string Native(const std::string& path) {
    return GbkToFileName(path);
}

bool IsFolder(const std::string& path) {
    struct stat st {};
    return StatConfined(path, st, true) == 0 && S_ISDIR(st.st_mode);
}

// A link is an entry of its own folder, whatever it points at: a search that
// went through it would hand a cache clean-up the files of some other folder.
bool IsFolderNotLink(const std::string& path) {
    struct stat st {};
    return ::lstat(Native(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

std::string ProgramFolder() {
    char buffer[PATH_MAX + 1];
    ssize_t n = ::readlink("/proc/self/exe", buffer, PATH_MAX);
    if (n <= 0) return "./";
    std::string path = FileNameToGbk(std::string(buffer, static_cast<size_t>(n)));
    return path.substr(0, path.rfind('/') + 1);
}

void MakeFolder(const std::string& path) {
    ::mkdir(Native(path).c_str(), 0755);
}

bool MakeFolders(const std::string& path) {
    if (path.empty()) throw EInOutError("Unable to create directory", 3);
    std::string dir = path;
    if (dir.back() == '/') dir.pop_back();
    if (dir.size() < 3 || IsFolder(dir)) return true;
    std::string parent = dir.substr(0, dir.rfind('/') + 1);
    if (parent == dir) return true;
    if (parent.empty()) // a relative name in the working folder
        return ::mkdir(Native(dir).c_str(), 0755) == 0;
    return MakeFolders(parent) && MakeFolderConfined(dir, 0755) == 0;
}

void FindFiles(const std::string& folder, const std::string& pattern, TStringList& list) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(Native(folder).c_str()), ::closedir);
    if (!dir) return;
    std::string nativePattern = Native(pattern);
    // "*.*" is the classic pattern for every file, with or without a dot.
    bool all = pattern == "*.*" || pattern == "*";
    std::vector<std::string> folders;
    while (dirent* entry = ::readdir(dir.get())) {
        std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        std::string path = folder + "/" + FileNameToGbk(name);
        if (IsFolderNotLink(path)) {
            // Dot folders are the hidden ones here and are not searched.
            if (name[0] != '.') folders.push_back(path);
        } else if (all || ::fnmatch(nativePattern.c_str(), name.c_str(), FNM_PERIOD) == 0) {
            list.Add(path);
        }
    }
    dir.reset();
    for (const std::string& sub : folders)
        FindFiles(sub, pattern, list);
}

void RemoveFile(const std::string& path) {
    UnlinkConfined(path);
}

void RaiseCreateError(const std::string& path, int error) {
    throw EFCreateError(Format("Cannot create file \"%s\". %s", ExpandFileName(path).c_str(),
                               ConfinedErrorText(path, error).c_str()));
}

uint64_t NameHash(std::string_view text) {
    uint64_t hash = 14695981039346656037ull; // FNV-1a
    for (unsigned char c : text)
        hash = (hash ^ c) * 1099511628211ull;
    return hash;
}

namespace {

[[noreturn]] void RaiseSyncError(const std::string& path, int error) {
    throw EInOutError(Format("Cannot write \"%s\" to the disk. %s", ExpandFileName(path).c_str(),
                             SystemErrorText(error).c_str()),
                      error);
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

// The temporary file of path, open and locked. A short name of its own (the
// final name plus a suffix could pass what the file system allows), and the
// same every time: a write cut off by a kill leaves a file that the next
// write of the same name takes over, instead of one that stays for ever. The
// lock tells a live writer's file from a dead one's; a writer that finds the
// name held takes a name of its own.
int OpenTempBeside(const std::string& path, std::string& temp) {
    const std::string folder = path.substr(0, path.rfind('/') + 1);
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx",
                  static_cast<unsigned long long>(NameHash(path.substr(folder.size()))));
    temp = folder + ".quillora-" + hex + ".tmp";
    // Emptied only once it is ours alone: locked, and still the file at its name.
    int fd = OpenLockedForWriting(temp, true);
    if (fd >= 0 && ::ftruncate(fd, 0) == 0) return fd;
    if (fd >= 0) ::close(fd);
    if (fd < 0 && errno != EWOULDBLOCK && errno != EEXIST) RaiseCreateError(path, errno);
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0;; ++attempt) {
        temp = folder + ".quillora-" + std::to_string(::getpid()) + "-" + std::to_string(++counter) + ".tmp";
        fd = OpenConfined(temp, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0644);
        if (fd >= 0) return fd;
        if (errno != EEXIST || attempt == 100) RaiseCreateError(path, errno);
    }
}

} // namespace

TAtomicFileStream::TAtomicFileStream(const std::string& path) : FPath(path) {
    FFile = std::make_unique<TFileStream>(OpenTempBeside(path, FTempPath));
}

TAtomicFileStream::~TAtomicFileStream() {
    // Removed while still locked, so that it is never another writer's by then.
    if (!FTempPath.empty()) UnlinkConfined(FTempPath);
    FFile.reset();
}

void TAtomicFileStream::Commit() {
    // Renamed while still locked: a writer that came after us takes another name.
    if (::fdatasync(FFile->Handle()) != 0) RaiseSyncError(FTempPath, errno);
    if (RenameConfined(FTempPath, FPath) != 0) RaiseCreateError(FPath, errno);
    FTempPath.clear();
    FFile.reset();
    SyncFolder(FolderOf(FPath));
}

void SyncFileData(const std::string& path) {
    const int fd = OpenConfined(path, O_RDONLY);
    if (fd < 0) RaiseSyncError(path, errno);
    const int result = ::fdatasync(fd);
    const int error = errno;
    ::close(fd);
    if (result != 0) RaiseSyncError(path, error);
}

void SyncFolder(const std::string& folder) {
    const int fd = OpenConfined(folder, O_RDONLY | O_DIRECTORY);
    if (fd < 0) RaiseSyncError(folder, errno);
    const int result = ::fsync(fd);
    const int error = errno;
    ::close(fd);
    // Some file systems cannot sync a folder (EINVAL); the rename stands anyway.
    if (result != 0 && error != EINVAL) RaiseSyncError(folder, error);
}

namespace {

// CommitFileAs, answering the rename's error number instead of raising it.
int TryCommitFileAs(const std::string& temporary, const std::string& path) {
    SyncFileData(temporary);
    if (RenameConfined(temporary, path) != 0) return errno;
    SyncFolder(FolderOf(path));
    return 0;
}

} // namespace

void CommitFileAs(const std::string& temporary, const std::string& path) {
    if (const int error = TryCommitFileAs(temporary, path)) RaiseCreateError(path, error);
}

void CommitFileAs(int handle, const std::string& temporary, const std::string& path) {
    if (::fdatasync(handle) != 0) RaiseSyncError(temporary, errno);
    if (RenameConfined(temporary, path) != 0) RaiseCreateError(path, errno);
    SyncFolder(FolderOf(path));
}

namespace {

// Whether the open file is the plain file of one link that path names now.
// -1: it is not at path any more; 0: something else is there; 1: it is.
int IsFileAtName(int fd, const std::string& path) {
    struct stat held {
    }, named{};
    if (::fstat(fd, &held) != 0 || StatConfined(path, named, false) != 0) return -1;
    if (held.st_dev != named.st_dev || held.st_ino != named.st_ino) return -1;
    return S_ISREG(held.st_mode) && held.st_nlink == 1 ? 1 : 0;
}

} // namespace

int OpenLockedForWriting(const std::string& path, bool create) {
    // A few tries: each failed one saw the name change hands in between.
    for (int attempt = 0; attempt < 8; ++attempt) {
        int fd = -1;
        if (create) fd = OpenConfined(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0644);
        if (fd < 0 && (!create || errno == EEXIST)) fd = OpenConfined(path, O_RDWR | O_NOFOLLOW);
        if (fd < 0) {
            if (errno == ENOENT && create) continue; // removed between the two opens
            if (errno == ELOOP || errno == EISDIR || errno == ENXIO) errno = EEXIST;
            return -1;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            ::close(fd);
            errno = error;
            return -1;
        }
        const int at = IsFileAtName(fd, path);
        if (at == 1) return fd;
        ::close(fd);
        if (at == 0) {
            errno = EEXIST;
            return -1;
        }
    }
    errno = EWOULDBLOCK;
    return -1;
}

bool RemoveUnlockedFile(const std::string& path) {
    const int fd = OpenLockedForWriting(path, false);
    if (fd < 0) {
        if (errno == ENOENT) return true;
        // Not a plain file of ours: the entry goes, whatever it points at stays.
        if (errno == EEXIST) return UnlinkConfined(path) == 0 || errno == ENOENT;
        return false;
    }
    // Removed while locked: a writer that opened it meanwhile finds it gone once it has the lock.
    const bool removed = UnlinkConfined(path) == 0;
    ::close(fd);
    return removed;
}

void CheckNameFits(const std::string& path) {
    const std::string native = Native(path);
    const size_t slash = native.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string(".") : native.substr(0, slash + 1);
    long nameMax = ::pathconf(folder.c_str(), _PC_NAME_MAX);
    if (nameMax <= 0) nameMax = NAME_MAX;
    const size_t name = native.size() - (slash == std::string::npos ? 0 : slash + 1);
    if (name > static_cast<size_t>(nameMax) || native.size() >= PATH_MAX)
        RaiseCreateError(path, ENAMETOOLONG);
}

void SaveBytesToFile(TMemoryStream& buffer, const std::string& path) {
    TAtomicFileStream file(path);
    file.WriteBuffer(buffer.Memory(), buffer.Size());
    file.Commit();
}

void MoveFileOnto(const std::string& from, const std::string& path) {
    // The same commit as every other file's: after a power loss path is the
    // old file or the whole new one, never a name over missing bytes.
    const int error = TryCommitFileAs(from, path);
    if (error == 0) return;
    if (error != EXDEV) RaiseCreateError(path, error);
    {
        TFileStream source(from, TFileMode::fmOpenRead);
        TAtomicFileStream target(path);
        target.CopyFrom(source, 0);
        target.Commit();
    }
    UnlinkConfined(from);
}

void SaveTextToFile(const std::string& text, const std::string& path) {
    TAtomicFileStream file(path);
    file.WriteBuffer(text.data(), static_cast<int64_t>(text.size()));
    file.Commit();
}

bool IsPlainFileName(const std::string& name, bool allowEmpty) {
    if (name.empty()) return allowEmpty;
    std::string native = GbkToFileName(name);
    return native != "." && native != ".." && native.find('/') == std::string::npos &&
           native.find('\0') == std::string::npos;
}

void RaiseCannotCreate(const std::string& path) {
    RaiseCreateError(path, EINVAL);
}

std::string ExpandFileName(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    char cwd[PATH_MAX];
    if (!::getcwd(cwd, sizeof cwd)) return path;
    return FileNameToGbk(cwd) + "/" + path;
}

// The text comes in the locale's encoding (UTF-8 here) and joins messages of the program's code page.
std::string SystemErrorText(int errorNumber) {
    return Utf8ToGbk(std::strerror(errorNumber));
}
