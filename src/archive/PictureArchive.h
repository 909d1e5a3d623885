#pragma once
// The archive of saved pictures: a SQLite database with one row per picture
// (its address, where it lies under the destination folder, its size, the
// SHA-256 of its bytes and the validators of the reply it came in). A row
// is written, in a transaction of its own, only once its picture is whole
// under its final name on the disk. Every statement is prepared, every value
// bound. Several threads may save at once; one connection writes.
//
// The table, for users of the sqlite3 command (see docs/archive.md):
//   pictures(url TEXT PRIMARY KEY, account, album, path, size, sha256, etag,
//            last_modified, saved_at)

#include "core/Exceptions.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

// The archive cannot be opened, read or written, or holds what the program
// never writes; the message names the file.
class EArchiveError : public EInOutError {
  public:
    explicit EArchiveError(std::string message, int errorCode = 0)
        : EInOutError(std::move(message), errorCode) {}
    const char* ClassName() const override { return "EArchiveError"; }
};

// Texts are UTF-8 as they stand in the database; empty ones are stored as NULL.
struct TArchivedPicture {
    std::string Url;
    std::string Account, Album;
    std::string Path; // relative to the destination folder; empty for a record taken over from a text archive
    int64_t Size = 0;
    std::string Sha256; // lower-case hex; empty when the bytes were never seen
    std::string ETag, LastModified;
    std::string SavedAt; // UTC, "2026-12-07T21:04:05Z"; set by Save when empty
};

class TPictureArchive {
  public:
    enum class TMode { ReadWrite, ReadOnly };
    // path is a text of the program's code page. ReadWrite: a missing file
    // is created, a text archive of earlier versions taken over (kept as
    // path + ".v1"); anything else is refused and left as it is.
    explicit TPictureArchive(const std::string& path, TMode mode = TMode::ReadWrite);
    ~TPictureArchive();
    TPictureArchive(const TPictureArchive&) = delete;
    TPictureArchive& operator=(const TPictureArchive&) = delete;

    std::optional<TArchivedPicture> Find(const std::string& url);
    // Every row, by path (rows without a path first).
    void ForEach(const std::function<void(const TArchivedPicture&)>& each);
    // Adds or replaces the row of picture.Url, committed before it returns.
    void Save(const TArchivedPicture& picture);
    uint64_t Count();
    // Records taken over from a text archive when it was opened (0: none).
    uint64_t TakenOver() const { return FTakenOver; }
    const std::string& Path() const { return FPath; }

    // The name a taken-over text archive is kept under.
    static std::string TextArchiveKeptAs(const std::string& path) { return path + ".v1"; }

  private:
    void Open(TMode mode);
    // False for an empty database opened read-only (it has no table yet).
    bool CheckSchema(bool writable);
    // Refuses what the program never writes (triggers, views, other tables,
    // other columns): a crafted file could run code of its own on every save.
    void CheckObjects();
    void CheckColumns();
    [[noreturn]] void RefuseObject(const std::string& what);
    void CreateSchema();
    void TakeOverText();
    void Prepare();
    // systemError: errno right after the failing call (used when SQLite kept none).
    [[noreturn]] void Raise(const char* what, int code, int systemError = 0);
    void Exec(const char* sql);

    std::string FPath;
    std::mutex FLock;
    sqlite3* FDb = nullptr;
    sqlite3_stmt* FFind = nullptr;
    sqlite3_stmt* FSave = nullptr;
    uint64_t FTakenOver = 0;
};
