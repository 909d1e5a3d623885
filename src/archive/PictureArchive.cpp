#include "archive/PictureArchive.h"

#include "archive/TextArchive.h"
#include "core/FileUtils.h"
#include "core/Gbk.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// "QDLA" in the database header: the file is one of ours.
constexpr int ApplicationId = 0x51444C41;
constexpr int SchemaVersion = 1;
constexpr const char* SqliteMagic = "SQLite format 3";

// One b-tree keyed by the address (no rowid, no second index): a saved
// picture changes one page, so each commit adds little to the log.
constexpr const char* SchemaSql = "CREATE TABLE pictures ("
                                  " url TEXT PRIMARY KEY NOT NULL,"
                                  " account TEXT,"
                                  " album TEXT,"
                                  " path TEXT,"
                                  " size INTEGER NOT NULL,"
                                  " sha256 TEXT,"
                                  " etag TEXT,"
                                  " last_modified TEXT,"
                                  " saved_at TEXT) WITHOUT ROWID;";

constexpr const char* Columns = "url, account, album, path, size, sha256, etag, last_modified, saved_at";
constexpr const char* ColumnNames[] = {"url",    "account", "album",         "path",    "size",
                                       "sha256", "etag",    "last_modified", "saved_at"};
// Tables SQLite itself makes (ANALYZE): harmless to keep.
constexpr const char* SqliteOwnTables[] = {"sqlite_stat1", "sqlite_stat4"};

// A prepared statement, finalized however the scope is left.
struct TStatement {
    sqlite3_stmt* Handle = nullptr;
    ~TStatement() { sqlite3_finalize(Handle); }
};

void BindText(sqlite3_stmt* statement, int index, const std::string& text) {
    if (text.empty())
        sqlite3_bind_null(statement, index);
    else
        sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

std::string ColumnText(sqlite3_stmt* statement, int index) {
    const unsigned char* text = sqlite3_column_text(statement, index);
    return text ? std::string(reinterpret_cast<const char*>(text),
                              static_cast<size_t>(sqlite3_column_bytes(statement, index)))
                : std::string();
}

TArchivedPicture RowOf(sqlite3_stmt* statement) {
    TArchivedPicture p;
    p.Url = ColumnText(statement, 0);
    p.Account = ColumnText(statement, 1);
    p.Album = ColumnText(statement, 2);
    p.Path = ColumnText(statement, 3);
    p.Size = sqlite3_column_int64(statement, 4);
    p.Sha256 = ColumnText(statement, 5);
    p.ETag = ColumnText(statement, 6);
    p.LastModified = ColumnText(statement, 7);
    p.SavedAt = ColumnText(statement, 8);
    return p;
}

std::string UtcNow() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    gmtime_r(&now, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

// What the file at path is: missing (ENOENT in error), empty, a database, or something else.
enum class TFileKind { Missing, Empty, Database, Other };

TFileKind KindOfFile(const std::string& native, int& error) {
    struct stat st {};
    error = 0;
    if (::stat(native.c_str(), &st) != 0) {
        error = errno;
        return TFileKind::Missing;
    }
    if (!S_ISREG(st.st_mode)) {
        error = EISDIR;
        return TFileKind::Other;
    }
    if (st.st_size == 0) return TFileKind::Empty;
    char head[16] = {};
    std::ifstream in(native, std::ios::binary);
    in.read(head, sizeof head);
    if (!in) {
        if (in.gcount() == 0 && !in.eof()) error = EACCES;
        return TFileKind::Other;
    }
    return std::memcmp(head, SqliteMagic, 16) == 0 ? TFileKind::Database : TFileKind::Other;
}

} // namespace

namespace {

// The files SQLite keeps beside a database in WAL mode that were not there
// before it was opened. A read-only connection cannot remove them when it
// closes; a file refused on opening is left as it was found, neighbours included.
class TWalNeighbours {
  public:
    explicit TWalNeighbours(const std::string& native) : FWal(native + "-wal"), FShm(native + "-shm") {
        struct stat st {};
        FHadWal = ::lstat(FWal.c_str(), &st) == 0;
        FHadShm = ::lstat(FShm.c_str(), &st) == 0;
    }
    // Only an empty log: one with frames holds another connection's commits.
    void RemoveNew() const {
        struct stat st {};
        if (!FHadWal && ::lstat(FWal.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0)
            ::unlink(FWal.c_str());
        if (!FHadShm && ::lstat(FShm.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ::unlink(FShm.c_str());
    }

  private:
    std::string FWal, FShm;
    bool FHadWal = false, FHadShm = false;
};

} // namespace

TPictureArchive::TPictureArchive(const std::string& path, TMode mode) : FPath(path) {
    const TWalNeighbours neighbours(GbkToFileName(path));
    try {
        Open(mode);
    } catch (...) {
        sqlite3_finalize(FFind);
        sqlite3_finalize(FSave);
        sqlite3_close_v2(FDb);
        FDb = nullptr;
        neighbours.RemoveNew();
        throw;
    }
}

TPictureArchive::~TPictureArchive() {
    sqlite3_finalize(FFind);
    sqlite3_finalize(FSave);
    // The last connection folds the write-ahead log back into the file.
    sqlite3_close_v2(FDb);
}

void TPictureArchive::Raise(const char* what, int code, int systemError) {
    // The system's reason where there is one ("File too large", not "disk I/O error").
    int error = FDb ? sqlite3_system_errno(FDb) : 0;
    const int primary = code & 0xff;
    if (error == 0 && (primary == SQLITE_IOERR || primary == SQLITE_FULL) &&
        (systemError == EFBIG || systemError == ENOSPC || systemError == EDQUOT || systemError == EIO))
        error = systemError;
    const std::string reason = error != 0 ? SystemErrorText(error) : FDb ? sqlite3_errmsg(FDb) : sqlite3_errstr(code);
    if (primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB)
        throw EArchiveError(Format("The archive \"%s\" is damaged (%s); it is left as it is",
                                   ExpandFileName(FPath).c_str(), sqlite3_errstr(code)),
                            code);
    throw EArchiveError(Format("%s the archive \"%s\". %s", what, ExpandFileName(FPath).c_str(), reason.c_str()),
                        error != 0 ? error : code);
}

void TPictureArchive::Exec(const char* sql) {
    const int rc = sqlite3_exec(FDb, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) Raise("Cannot write to", rc);
}

void TPictureArchive::Open(TMode mode) {
    const std::string native = GbkToFileName(FPath);
    int error = 0;
    const TFileKind kind = KindOfFile(native, error);
    const bool writable = mode == TMode::ReadWrite;
    if (kind == TFileKind::Missing && (error != ENOENT || !writable))
        throw EArchiveError(Format("Cannot open the archive \"%s\". %s", ExpandFileName(FPath).c_str(),
                                   SystemErrorText(error).c_str()),
                            error);
    if (kind == TFileKind::Other && error != 0)
        throw EArchiveError(Format("Cannot open the archive \"%s\". %s", ExpandFileName(FPath).c_str(),
                                   SystemErrorText(error).c_str()),
                            error);
    if (kind == TFileKind::Other) {
        if (!writable)
            throw EArchiveError(Format("The archive \"%s\" is no database of quillora-get; run quillora-get "
                                       "once without --verify to take a text archive over",
                                       ExpandFileName(FPath).c_str()));
        TakeOverText();
    }
    // Reading a WAL database makes its -wal and -shm files, and only a
    // connection that may write removes them when it closes as the last one
    // (SQLite's lock tells it so; no guess of ours). So a file we may write
    // is opened for writing even to be read, query_only keeping every
    // statement from changing it.
    const int readFlags = ::access(native.c_str(), W_OK) == 0 ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY;
    const int flags =
        (writable ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : readFlags) | SQLITE_OPEN_FULLMUTEX;
    const int rc = sqlite3_open_v2(native.c_str(), &FDb, flags, nullptr);
    if (rc != SQLITE_OK) Raise("Cannot open", rc);
    if (!writable) Exec("PRAGMA query_only=ON");
    sqlite3_extended_result_codes(FDb, 1);
    // The file is input: no write to the schema by SQL, no function of a
    // schema (index, trigger, view) that could reach beyond the database.
    sqlite3_db_config(FDb, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    sqlite3_db_config(FDb, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
    sqlite3_db_config(FDb, SQLITE_DBCONFIG_ENABLE_TRIGGER, 0, nullptr);
    sqlite3_db_config(FDb, SQLITE_DBCONFIG_ENABLE_VIEW, 0, nullptr);
    Exec("PRAGMA trusted_schema=OFF");
    // Another process on the same archive waits its turn instead of failing at once.
    sqlite3_busy_timeout(FDb, 30000);
    if (writable && sqlite3_db_readonly(FDb, "main") == 1)
        throw EArchiveError(Format("Cannot write to the archive \"%s\". It is read-only",
                                   ExpandFileName(FPath).c_str()),
                            EACCES);
    if (!CheckSchema(writable)) return; // a read-only empty database: nothing recorded yet
    if (writable) {
        // One writer, each commit synced: a saved row survives a power loss.
        Exec("PRAGMA journal_mode=WAL");
        Exec("PRAGMA synchronous=FULL");
    }
    Prepare();
}

bool TPictureArchive::CheckSchema(bool writable) {
    // The header is read, and every page looked at, before anything is written.
    TStatement check;
    int rc = sqlite3_prepare_v2(FDb, "PRAGMA quick_check", -1, &check.Handle, nullptr);
    if (rc != SQLITE_OK) Raise("Cannot read", rc);
    rc = sqlite3_step(check.Handle);
    if (rc != SQLITE_ROW) Raise("Cannot read", rc);
    if (ColumnText(check.Handle, 0) != "ok")
        throw EArchiveError(Format("The archive \"%s\" is damaged (%s); it is left as it is",
                                   ExpandFileName(FPath).c_str(), ColumnText(check.Handle, 0).c_str()),
                            SQLITE_CORRUPT);
    TStatement info;
    rc = sqlite3_prepare_v2(FDb,
                            "SELECT (SELECT application_id FROM pragma_application_id),"
                            " (SELECT user_version FROM pragma_user_version),"
                            " (SELECT count(*) FROM sqlite_schema),"
                            " (SELECT count(*) FROM sqlite_schema WHERE type = 'table' AND name = 'pictures')",
                            -1, &info.Handle, nullptr);
    if (rc != SQLITE_OK) Raise("Cannot read", rc);
    rc = sqlite3_step(info.Handle);
    if (rc != SQLITE_ROW) Raise("Cannot read", rc);
    const int application = sqlite3_column_int(info.Handle, 0), version = sqlite3_column_int(info.Handle, 1);
    const int objects = sqlite3_column_int(info.Handle, 2), pictures = sqlite3_column_int(info.Handle, 3);
    if (objects == 0 && application == 0) {
        if (!writable) return false;
        CreateSchema();
        return true;
    }
    if (application != ApplicationId || pictures != 1)
        throw EArchiveError(Format("The archive \"%s\" is a database of another program; it is left as it is",
                                   ExpandFileName(FPath).c_str()));
    if (version > SchemaVersion)
        throw EArchiveError(Format("The archive \"%s\" was written by a later version of quillora-get; it is "
                                   "left as it is",
                                   ExpandFileName(FPath).c_str()));
    CheckObjects();
    return true;
}

void TPictureArchive::RefuseObject(const std::string& what) {
    throw EArchiveError(
        Format("The archive \"%s\" holds %s, which quillora-get never writes; it is left as it is",
               ExpandFileName(FPath).c_str(), what.c_str()));
}

void TPictureArchive::CheckObjects() {
    TStatement objects;
    int rc = sqlite3_prepare_v2(FDb, "SELECT type, name, tbl_name, sql FROM sqlite_schema ORDER BY rowid", -1,
                                &objects.Handle, nullptr);
    if (rc != SQLITE_OK) Raise("Cannot read", rc);
    while ((rc = sqlite3_step(objects.Handle)) == SQLITE_ROW) {
        const std::string type = ColumnText(objects.Handle, 0), name = ColumnText(objects.Handle, 1);
        const std::string table = ColumnText(objects.Handle, 2), sql = ColumnText(objects.Handle, 3);
        if (type == "table" && name == "pictures" && sql.rfind("CREATE TABLE ", 0) == 0) continue;
        if (type == "index" && table == "pictures") continue; // one a user made for queries of their own
        if (type == "table" && std::find(std::begin(SqliteOwnTables), std::end(SqliteOwnTables), name) !=
                                   std::end(SqliteOwnTables))
            continue;
        RefuseObject((type == "index" ? "an index" : "a " + type) + " \"" + name + "\"");
    }
    if (rc != SQLITE_DONE) Raise("Cannot read", rc);
    CheckColumns();
}

void TPictureArchive::CheckColumns() {
    TStatement columns;
    int rc = sqlite3_prepare_v2(FDb, "SELECT name, hidden FROM pragma_table_xinfo('pictures') ORDER BY cid",
                                -1, &columns.Handle, nullptr);
    if (rc != SQLITE_OK) Raise("Cannot read", rc);
    size_t k = 0;
    while ((rc = sqlite3_step(columns.Handle)) == SQLITE_ROW) {
        const std::string name = ColumnText(columns.Handle, 0);
        // A generated column is hidden: it would compute values of its own on every read.
        if (k >= std::size(ColumnNames) || name != ColumnNames[k] ||
            sqlite3_column_int(columns.Handle, 1) != 0)
            RefuseObject("a column \"" + name + "\" in its table pictures");
        ++k;
    }
    if (rc != SQLITE_DONE) Raise("Cannot read", rc);
    if (k != std::size(ColumnNames)) RefuseObject("a table pictures without all of its columns");
}

void TPictureArchive::CreateSchema() {
    Exec("BEGIN IMMEDIATE");
    try {
        Exec(SchemaSql);
        Exec(Format("PRAGMA application_id=%d; PRAGMA user_version=%d", ApplicationId, SchemaVersion).c_str());
        Exec("COMMIT");
    } catch (...) {
        sqlite3_exec(FDb, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

void TPictureArchive::Prepare() {
    const std::string find = std::string("SELECT ") + Columns + " FROM pictures WHERE url = ?1";
    int rc = sqlite3_prepare_v2(FDb, find.c_str(), -1, &FFind, nullptr);
    if (rc != SQLITE_OK) Raise("Cannot read", rc);
    if (sqlite3_db_readonly(FDb, "main") == 1) return;
    const std::string save = std::string("INSERT OR REPLACE INTO pictures (") + Columns +
                             ") VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)";
    rc = sqlite3_prepare_v2(FDb, save.c_str(), -1, &FSave, nullptr);
    if (rc != SQLITE_OK) Raise("Cannot write to", rc);
}

std::optional<TArchivedPicture> TPictureArchive::Find(const std::string& url) {
    std::lock_guard<std::mutex> guard(FLock);
    if (!FFind) return std::nullopt;
    sqlite3_reset(FFind);
    sqlite3_bind_text(FFind, 1, url.data(), static_cast<int>(url.size()), SQLITE_TRANSIENT);
    const int rc = sqlite3_step(FFind);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) Raise("Cannot read", rc);
    std::optional<TArchivedPicture> found;
    if (rc == SQLITE_ROW) found = RowOf(FFind);
    sqlite3_reset(FFind);
    return found;
}

void TPictureArchive::ForEach(const std::function<void(const TArchivedPicture&)>& each) {
    if (!FFind) return;
    TStatement all;
    const std::string sql = std::string("SELECT ") + Columns + " FROM pictures ORDER BY path, url";
    int rc = sqlite3_prepare_v2(FDb, sql.c_str(), -1, &all.Handle, nullptr);
    if (rc != SQLITE_OK) Raise("Cannot read", rc);
    while ((rc = sqlite3_step(all.Handle)) == SQLITE_ROW)
        each(RowOf(all.Handle));
    if (rc != SQLITE_DONE) Raise("Cannot read", rc);
}

void TPictureArchive::Save(const TArchivedPicture& picture) {
    std::lock_guard<std::mutex> guard(FLock);
    if (!FSave)
        throw EArchiveError(Format("Cannot write to the archive \"%s\". It is read-only",
                                   ExpandFileName(FPath).c_str()),
                            EACCES);
    sqlite3_reset(FSave);
    sqlite3_clear_bindings(FSave);
    BindText(FSave, 1, picture.Url);
    BindText(FSave, 2, picture.Account);
    BindText(FSave, 3, picture.Album);
    BindText(FSave, 4, picture.Path);
    sqlite3_bind_int64(FSave, 5, picture.Size);
    BindText(FSave, 6, picture.Sha256);
    BindText(FSave, 7, picture.ETag);
    BindText(FSave, 8, picture.LastModified);
    BindText(FSave, 9, picture.SavedAt.empty() ? UtcNow() : picture.SavedAt);
    // One statement outside a transaction is a transaction of its own,
    // committed (and, with synchronous=FULL, synced) when it is done.
    // SQLite does not always keep the reason of a failed write; errno, taken at once, does.
    errno = 0;
    const int rc = sqlite3_step(FSave);
    const int error = errno;
    if (rc != SQLITE_DONE) Raise("Cannot write to", rc, error);
    sqlite3_reset(FSave);
}

uint64_t TPictureArchive::Count() {
    std::lock_guard<std::mutex> guard(FLock);
    if (!FFind) return 0;
    TStatement count;
    int rc = sqlite3_prepare_v2(FDb, "SELECT count(*) FROM pictures", -1, &count.Handle, nullptr);
    if (rc != SQLITE_OK) Raise("Cannot read", rc);
    rc = sqlite3_step(count.Handle);
    if (rc != SQLITE_ROW) Raise("Cannot read", rc);
    return static_cast<uint64_t>(sqlite3_column_int64(count.Handle, 0));
}

namespace {

// Removes a file and what SQLite keeps beside it.
void RemoveDatabaseFiles(const std::string& native) {
    for (const char* suffix : {"", "-journal", "-wal", "-shm"})
        ::unlink((native + suffix).c_str());
}

} // namespace

// The text archive becomes a database beside it, which then takes its name;
// the text file stays as FILE.v1 (a second name of the same file, made
// before the rename, so that a crash anywhere leaves one of the two forms
// under the archive's name and the next run simply does it again).
void TPictureArchive::TakeOverText() {
    const std::string native = GbkToFileName(FPath);
    const std::string temporary = native + ".import.tmp";
    const std::string kept = GbkToFileName(TextArchiveKeptAs(FPath));
    RemoveDatabaseFiles(temporary);
    int rc = sqlite3_open_v2(temporary.c_str(), &FDb,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
    if (rc != SQLITE_OK) Raise("Cannot write to", rc);
    struct TCleanup {
        sqlite3*& Db;
        const std::string& Temporary;
        bool Done = false;
        ~TCleanup() {
            if (Done) return;
            sqlite3_close_v2(Db);
            Db = nullptr;
            RemoveDatabaseFiles(Temporary);
        }
    } cleanup{FDb, temporary};
    Exec("PRAGMA synchronous=FULL");
    CreateSchema();
    Exec("BEGIN IMMEDIATE");
    TStatement insert;
    rc = sqlite3_prepare_v2(FDb, "INSERT OR REPLACE INTO pictures (url, size) VALUES (?1, ?2)", -1,
                            &insert.Handle, nullptr);
    if (rc != SQLITE_OK) Raise("Cannot write to", rc);
    std::ifstream in(native, std::ios::binary);
    const TTextArchiveSummary summary = ReadTextArchive(in, [&](const std::string& url, int64_t size) {
        sqlite3_reset(insert.Handle);
        const std::string utf8 = GbkToUtf8(url);
        sqlite3_bind_text(insert.Handle, 1, utf8.data(), static_cast<int>(utf8.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int64(insert.Handle, 2, size);
        const int step = sqlite3_step(insert.Handle);
        if (step != SQLITE_DONE) Raise("Cannot write to", step);
    });
    if (in.bad())
        throw EArchiveError(Format("Cannot read the archive \"%s\". %s", ExpandFileName(FPath).c_str(),
                                   SystemErrorText(EIO).c_str()),
                            EIO);
    if (!IsTextArchive(summary))
        throw EArchiveError(Format("The archive \"%s\" is neither a database of quillora-get nor a text archive "
                                   "of earlier versions; it is left as it is",
                                   ExpandFileName(FPath).c_str()));
    Exec("COMMIT");
    sqlite3_finalize(insert.Handle);
    insert.Handle = nullptr;
    rc = sqlite3_close(FDb);
    FDb = nullptr;
    if (rc != SQLITE_OK)
        throw EArchiveError(Format("Cannot write to the archive \"%s\". %s", ExpandFileName(FPath).c_str(),
                                   sqlite3_errstr(rc)),
                            rc);
    struct stat a {}, b {};
    if (::link(native.c_str(), kept.c_str()) != 0) {
        const int error = errno;
        const bool same = error == EEXIST && ::stat(native.c_str(), &a) == 0 && ::stat(kept.c_str(), &b) == 0 &&
                          a.st_dev == b.st_dev && a.st_ino == b.st_ino;
        if (!same)
            throw EArchiveError(Format("Cannot keep the text archive as \"%s\". %s; it is left as it is",
                                       ExpandFileName(TextArchiveKeptAs(FPath)).c_str(),
                                       SystemErrorText(error).c_str()),
                                error);
    }
    CommitFileAs(FileNameToGbk(temporary), FPath);
    cleanup.Done = true;
    FTakenOver = summary.Records;
}
