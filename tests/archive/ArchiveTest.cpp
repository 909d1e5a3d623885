// The archive library: SHA-256 against known digests, the text archive's
// rules, and the database as the programs open it: created, taken over from
// text, refused when it is something else, and never changed then.

#include "archive/PictureArchive.h"
#include "archive/Sha256.h"
#include "archive/TextArchive.h"
#include "core/Gbk.h"
#include "support/TestScratch.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string ReadWhole(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteWhole(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

class TScratch : public TTestScratch {
  public:
    TScratch() : TTestScratch("quillora-archive-") {}
};

// What the sqlite3 command says about a database (a peer, as users query it).
std::string Sqlite(const fs::path& db, const std::string& sql) {
    const std::string command = "sqlite3 '" + db.string() + "' \"" + sql + "\" 2>&1";
    std::string out;
    if (std::FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            out.append(buffer, n);
        ::pclose(pipe);
    }
    return out;
}

std::string Hex(const std::string& bytes) {
    TSha256 hash;
    hash.Update(bytes.data(), bytes.size());
    return hash.HexDigest();
}

TArchivedPicture Picture(const std::string& url, int64_t size) {
    TArchivedPicture p;
    p.Url = url;
    p.Account = "quillora";
    p.Album = "旅行";
    p.Path = "Pic/旅行/IMG_0001.jpg";
    p.Size = size;
    p.Sha256 = std::string(64, 'a');
    p.ETag = "\"abc\"";
    p.LastModified = "Sun, 01 Nov 2026 08:00:00 GMT";
    return p;
}

} // namespace

TEST(Sha256, KnownDigests) {
    struct TCase {
        std::string Bytes;
        const char* Digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(Hex(c.Bytes), c.Digest) << c.Bytes.size();
}

// Bytes hashed piece by piece as they arrive, a digest taken in between, and
// a reset: the same digests as the whole.
TEST(Sha256, PiecesResetAndDigestOnTheWay) {
    const std::string bytes = "The quick brown fox jumps over the lazy dog";
    TSha256 hash;
    hash.Update("junk", 4);
    hash.Reset();
    for (size_t k = 0; k < bytes.size(); k += 5) {
        hash.Update(bytes.data() + k, std::min<size_t>(5, bytes.size() - k));
        if (k == 10) {
            EXPECT_EQ(hash.HexDigest(), Hex(bytes.substr(0, 15)));
        }
    }
    EXPECT_EQ(hash.HexDigest(), "d7a8fbb307d7809469ca9abcb0082e4f8d5651e46d3cdb762d02d0bf37c9e592");
    EXPECT_EQ(hash.Bytes(), bytes.size());
}

TEST(Sha256, OfFile) {
    TScratch scratch;
    WriteWhole(scratch.Path() / "a", "abc");
    std::string digest;
    int64_t bytes = -1;
    int error = -1;
    ASSERT_TRUE(Sha256OfFile((scratch.Path() / "a").string(), digest, bytes, error));
    EXPECT_EQ(digest, Hex("abc"));
    EXPECT_EQ(bytes, 3);
    EXPECT_FALSE(Sha256OfFile((scratch.Path() / "none").string(), digest, bytes, error));
    EXPECT_EQ(error, ENOENT);
    EXPECT_FALSE(Sha256OfFile(scratch.Path().string(), digest, bytes, error)); // a folder
    EXPECT_EQ(error, EISDIR);
}

TEST(TextArchive, Rules) {
    struct TCase {
        std::string Text;
        std::string Records; // "url=size;" each
        bool IsArchive;
    } cases[] = {
        {"http://a/1.jpg\t100\n", "http://a/1.jpg=100;", true},
        {"http://a/1.jpg\t100\r\nhttp://a/2.jpg\t7\n", "http://a/1.jpg=100;http://a/2.jpg=7;", true},
        // A last line without its break may be "\t12" of "\t12345": it proves nothing.
        {"http://a/1.jpg\t100\nhttp://a/4.jpg\t12", "http://a/1.jpg=100;", true},
        {"http://a/4.jpg\t12", "", false},
        // No size, no address, a sign, letters, or more digits than a size has: no record.
        {"http://a/2.jpg\t\n\t5\nhttp://a/3.jpg\t-7\nhttp://a/5\t12x\nhttp://a/6\t1234567890123456789\n", "",
         false},
        // The size follows the last tab; an address with a tab in it was never ours.
        {"http://a/\t4\t5\nhttp://a/7.jpg\t9\n", "http://a/7.jpg=9;", true},
        {"not a record\nhttp://a/1.jpg\t1\n", "http://a/1.jpg=1;", true},
        {"# notes\nnothing here\n", "", false},
        {std::string("http://a/1.jpg\t1\n\0\n", 19), "", false},
        {"http://a/1.jpg\t1\nhttp://a/1.jpg\t2\n", "http://a/1.jpg=1;http://a/1.jpg=2;", true},
        {std::string(TextArchiveLineLimit + 10, 'x') + "\t1\nhttp://a/1.jpg\t3\n", "http://a/1.jpg=3;", true},
    };
    for (const TCase& c : cases) {
        std::istringstream in(c.Text);
        std::string records;
        const TTextArchiveSummary summary = ReadTextArchive(
            in, [&](const std::string& url, int64_t size) { records += url + "=" + std::to_string(size) + ";"; });
        EXPECT_EQ(records, c.Records) << c.Text.substr(0, 80);
        EXPECT_EQ(IsTextArchive(summary), c.IsArchive) << c.Text.substr(0, 80);
    }
}

TEST(PictureArchive, CreatedSavedFoundAndKept) {
    TScratch scratch;
    const fs::path db = scratch.Path() / "archive.db";
    {
        TPictureArchive archive(db.string());
        EXPECT_EQ(archive.Count(), 0u);
        EXPECT_FALSE(archive.Find("http://a/1.jpg"));
        archive.Save(Picture("http://a/1.jpg", 10));
        // Quotes and SQL in a value are values: every one is bound.
        archive.Save(Picture("http://a/'); DROP TABLE pictures; --", 11));
        TArchivedPicture again = Picture("http://a/1.jpg", 12);
        again.ETag.clear();
        archive.Save(again); // replaces the row
        EXPECT_EQ(archive.Count(), 2u);
    }
    TPictureArchive archive(db.string(), TPictureArchive::TMode::ReadOnly);
    const auto found = archive.Find("http://a/1.jpg");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->Size, 12);
    EXPECT_EQ(found->Album, "旅行");
    EXPECT_EQ(found->Path, "Pic/旅行/IMG_0001.jpg");
    EXPECT_EQ(found->ETag, "");
    EXPECT_EQ(found->SavedAt.size(), 20u) << found->SavedAt;
    EXPECT_TRUE(archive.Find("http://a/'); DROP TABLE pictures; --"));
    // As users see it with sqlite3: the table, the columns, NULL for what is not known.
    EXPECT_EQ(Sqlite(db, "SELECT url, size, etag IS NULL, length(sha256) FROM pictures ORDER BY url"),
              "http://a/'); DROP TABLE pictures; --|11|0|64\nhttp://a/1.jpg|12|1|64\n");
    EXPECT_EQ(Sqlite(db, "PRAGMA journal_mode"), "wal\n");
}

TEST(PictureArchive, TextArchiveTakenOverOnce) {
    TScratch scratch;
    const fs::path file = scratch.Path() / "archive.txt";
    const std::string text = "http://a/1.jpg\t100\nnot a record\nhttp://a/2.jpg\t7\r\nhttp://a/3.jpg\t12";
    WriteWhole(file, text);
    {
        TPictureArchive archive(file.string());
        EXPECT_EQ(archive.TakenOver(), 2u);
        EXPECT_EQ(archive.Count(), 2u);
        const auto one = archive.Find("http://a/1.jpg");
        ASSERT_TRUE(one);
        EXPECT_EQ(one->Size, 100);
        EXPECT_EQ(one->Path, "");   // a run names it
        EXPECT_EQ(one->Sha256, ""); // never seen
        EXPECT_FALSE(archive.Find("http://a/3.jpg"));
    }
    EXPECT_EQ(ReadWhole(scratch.Path() / "archive.txt.v1"), text);
    EXPECT_EQ(ReadWhole(file).substr(0, 16), std::string("SQLite format 3\0", 16));
    EXPECT_FALSE(fs::exists(scratch.Path() / "archive.txt.import.tmp"));
    TPictureArchive again(file.string());
    EXPECT_EQ(again.TakenOver(), 0u);
    EXPECT_EQ(again.Count(), 2u);
}

// A crash after the text file got its second name and before the database
// took the first: the next opening does it again.
TEST(PictureArchive, TakeOverCutOffIsDoneAgain) {
    TScratch scratch;
    const fs::path file = scratch.Path() / "archive.txt";
    WriteWhole(file, "http://a/1.jpg\t100\n");
    fs::create_hard_link(file, scratch.Path() / "archive.txt.v1");
    WriteWhole(scratch.Path() / "archive.txt.import.tmp", "half a database");
    TPictureArchive archive(file.string());
    EXPECT_EQ(archive.Count(), 1u);
    EXPECT_EQ(ReadWhole(scratch.Path() / "archive.txt.v1"), "http://a/1.jpg\t100\n");
}

// Whatever is refused stays byte for byte as it was, and nothing is left beside it.
TEST(PictureArchive, RefusedFilesAreLeftAlone) {
    TScratch scratch;
    const fs::path foreign = scratch.Path() / "foreign.db";
    Sqlite(foreign, "CREATE TABLE notes(x); INSERT INTO notes VALUES (1);");
    const fs::path good = scratch.Path() / "good.db";
    { TPictureArchive(good.string()).Save(Picture("http://a/1.jpg", 10)); }
    std::string damaged = ReadWhole(good);
    ASSERT_GE(damaged.size(), 8192u);
    for (size_t k = 4096; k < 8192; ++k) // the table's page
        damaged[k] = static_cast<char>(0x5a);
    struct TCase {
        const char* Name;
        std::string Bytes; // empty: as made above
        const char* Message;
        bool Kept = false; // a text archive in the way of .v1
    } cases[] = {
        {"picture.jpg", std::string("\xff\xd8\xff\xe0\0\x10JFIF\0", 11), "is neither a database of quillora-get nor a text archive"},
        {"notes.txt", "just some notes\nno tabs here\n", "is neither a database of quillora-get nor a text archive"},
        {"header-only.db", std::string("SQLite format 3\0", 16) + std::string(200, 'x'), "is damaged"},
        {"damaged.db", damaged, "is damaged"},
        {"foreign.db", "", "is a database of another program"},
        {"kept.txt", "http://a/1.jpg\t1\n", "Cannot keep the text archive as", true},
    };
    for (const TCase& c : cases) {
        const fs::path path = scratch.Path() / c.Name;
        if (!c.Bytes.empty()) WriteWhole(path, c.Bytes);
        if (c.Kept) WriteWhole(scratch.Path() / (std::string(c.Name) + ".v1"), "another file");
        const std::string before = ReadWhole(path);
        const auto listing = [&] {
            std::string names;
            for (const auto& e : fs::directory_iterator(scratch.Path()))
                names += e.path().filename().string() + " ";
            return names.size();
        };
        const size_t entries = listing();
        try {
            TPictureArchive archive(path.string());
            ADD_FAILURE() << c.Name << " was taken";
        } catch (const EArchiveError& e) {
            EXPECT_NE(e.Message().find(c.Message), std::string::npos) << c.Name << ": " << e.Message();
            EXPECT_NE(e.Message().find(c.Name), std::string::npos) << e.Message();
        }
        EXPECT_EQ(ReadWhole(path), before) << c.Name;
        EXPECT_EQ(listing(), entries) << c.Name;
    }
}

// A database of ours that someone added to: what the program never writes
// could run on every save (a trigger) or stand in for its table (a view), so
// the file is refused before anything is written, and left byte for byte,
// time and neighbours included, in either mode.
TEST(PictureArchive, CraftedSchemaIsRefusedAndLeftAlone) {
    TScratch scratch;
    struct TCase {
        const char* Name;
        const char* Sql;
        const char* Message; // empty: taken
    } cases[] = {
        {"trigger.db",
         "CREATE TRIGGER rewrite AFTER INSERT ON pictures BEGIN UPDATE pictures SET url = 'x'; END;",
         "holds a trigger \"rewrite\", which quillora-get never writes; it is left as it is"},
        {"view.db", "CREATE VIEW everything AS SELECT * FROM pictures;", "holds a view \"everything\""},
        {"table.db", "CREATE TABLE extra(x);", "holds a table \"extra\""},
        {"column.db", "ALTER TABLE pictures ADD COLUMN note TEXT;",
         "holds a column \"note\" in its table pictures"},
        {"generated.db", "ALTER TABLE pictures ADD COLUMN twice AS (size * 2);",
         "holds a column \"twice\" in its table pictures"},
        {"dropped.db", "ALTER TABLE pictures DROP COLUMN saved_at;",
         "holds a table pictures without all of its columns"},
        {"index-elsewhere.db", "CREATE TABLE t(x); CREATE INDEX tx ON t(x);", "holds a table \"t\""},
        {"index.db", "CREATE INDEX by_path ON pictures(path);", ""},
        {"analyzed.db", "ANALYZE;", ""},
    };
    const auto neighbours = [&] {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(scratch.Path()))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        const fs::path path = scratch.Path() / c.Name;
        { TPictureArchive(path.string()).Save(Picture("http://a/1.jpg", 10)); }
        ASSERT_EQ(Sqlite(path, c.Sql), "");
        fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::hours(48));
        const std::string before = ReadWhole(path);
        const auto time = fs::last_write_time(path);
        const std::vector<std::string> listed = neighbours();
        for (const auto mode : {TPictureArchive::TMode::ReadWrite, TPictureArchive::TMode::ReadOnly}) {
            try {
                TPictureArchive archive(path.string(), mode);
                EXPECT_STREQ(c.Message, "");
                EXPECT_EQ(archive.Find("http://a/1.jpg")->Size, 10);
            } catch (const EArchiveError& e) {
                EXPECT_NE(e.Message().find(std::string(c.Name) + "\" " + c.Message), std::string::npos)
                    << e.Message();
            }
            if (*c.Message == '\0') continue;
            EXPECT_EQ(ReadWhole(path), before);
            EXPECT_EQ(fs::last_write_time(path), time);
            EXPECT_EQ(neighbours(), listed);
        }
    }
}

TEST(PictureArchive, EmptyOrMissingFile) {
    TScratch scratch;
    WriteWhole(scratch.Path() / "empty", "");
    { TPictureArchive(( scratch.Path() / "empty").string()).Save(Picture("http://a/1.jpg", 1)); }
    EXPECT_EQ(TPictureArchive((scratch.Path() / "empty").string()).Count(), 1u);
    EXPECT_FALSE(fs::exists(scratch.Path() / "empty.v1"));
    // Read only, nothing is made.
    EXPECT_THROW(TPictureArchive((scratch.Path() / "none").string(), TPictureArchive::TMode::ReadOnly),
                 EArchiveError);
    EXPECT_FALSE(fs::exists(scratch.Path() / "none"));
    EXPECT_THROW(TPictureArchive((scratch.Path() / "no/folder/a.db").string()), EArchiveError);
}
