#pragma once
// Paths beside the program, folders, cached-file search and byte-exact file
// writes. Paths are texts of the program's code page; "/" separates folders.

#include "core/Classes.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

// The folder of the running program, ending with "/".
std::string ProgramFolder();
void MakeFolder(const std::string& path);
bool MakeFolders(const std::string& path);
void FindFiles(const std::string& folder, const std::string& pattern, TStringList& list);
void RemoveFile(const std::string& path);
void SaveBytesToFile(TMemoryStream& buffer, const std::string& path);
void SaveTextToFile(const std::string& text, const std::string& path);
// Puts the complete file from onto path (replacing a file there) for good:
// CommitFileAs, or across file systems a copy committed the same way.
// EFCreateError names path.
void MoveFileOnto(const std::string& from, const std::string& path);

// A file that appears under its name whole or not at all: the bytes go to a
// hidden temporary file in the same folder, and Commit gives it the name for
// good (CommitFileAs), replacing a file there. Destroyed without Commit, it leaves nothing
// behind and an older file of that name stays as it was.
class TAtomicFileStream : public TStream {
  public:
    explicit TAtomicFileStream(const std::string& path);
    ~TAtomicFileStream() override;

    int64_t Read(void* buffer, int64_t count) override { return FFile->Read(buffer, count); }
    int64_t Write(const void* buffer, int64_t count) override { return FFile->Write(buffer, count); }
    int64_t Seek(int64_t offset, TSeekOrigin origin) override { return FFile->Seek(offset, origin); }
    void SetSize(int64_t newSize) override { FFile->SetSize(newSize); }
    void Commit();
    const std::string& TempPath() const { return FTempPath; }

  private:
    std::string FPath, FTempPath;
    std::unique_ptr<TFileStream> FFile;
};

// The one message for a file that cannot be created: EFCreateError
// "Cannot create file "<path>". <reason>" with the system's text for error.
[[noreturn]] void RaiseCreateError(const std::string& path, int error);
// Flushes the file's bytes to the disk; EInOutError naming the file when that fails.
void SyncFileData(const std::string& path);
// Flushes the folder's entries (a rename in it) to the disk.
void SyncFolder(const std::string& folder);
// Gives the complete file temporary the name path for good: its bytes reach
// the disk before the rename, the folder's entry after it, so that after a
// power loss path is either the old file or the whole new one.
// EFCreateError for path when the rename fails.
void CommitFileAs(const std::string& temporary, const std::string& path);

// The same for a file open on handle (the lock its writer holds on it stays
// held until the name is given): a writer that opened temporary just before
// the rename finds, once it has the lock, that the name is no longer this
// file, and never writes into the finished one.
void CommitFileAs(int handle, const std::string& temporary, const std::string& path);

// Opens path to write it, under an exclusive lock (flock), never through a
// link: a new file is created with O_EXCL | O_NOFOLLOW; an existing one
// (create false: only that) is taken when it is a plain file of one link,
// its lock is free, and once locked it is still the file at path. -1 with
// errno: EWOULDBLOCK when another writer holds it, EEXIST when something
// else (a link, a folder) stands at the name, else the system's error.
int OpenLockedForWriting(const std::string& path, bool create);
// Removes the file at path unless another writer holds its lock (a link or
// another entry that is no plain file is removed itself, never what it
// points at); false when it is held or cannot be removed.
bool RemoveUnlockedFile(const std::string& path);
// Raises EFCreateError "File name too long" for a path whose last name, as
// the file system stores it, is longer than its folder allows (or whose
// whole is longer than a path may be): such a file can never be created.
void CheckNameFits(const std::string& path);

// A name the service chose that may stand as one entry of a folder: not ".",
// "..", no "/" and no NUL once it is a file name on disk (empty only when
// allowed), so that nothing lands outside the folder it is joined to.
bool IsPlainFileName(const std::string& name, bool allowEmpty = false);
// Raises EFCreateError for path, as a name the file system rejects would.
[[noreturn]] void RaiseCannotCreate(const std::string& path);

// The path made absolute against the working folder.
std::string ExpandFileName(const std::string& path);
// The system's text for an error number, as the error messages quote it.
std::string SystemErrorText(int errorNumber);
// 64-bit FNV-1a of a name. Temporary and part file names on disk are made of
// it, so its value never changes.
uint64_t NameHash(std::string_view text);
