// The pieces of quillora-get that decide without a server: waits, the
// archive, and the album file rules it shares with the window.

#include "Archive.h"
#include "GetHarness.h"
#include "Shown.h"
#include "catalogue/AlbumList.h"
#include "core/Exceptions.h"
#include "core/Gbk.h"
#include "download/AlbumFiles.h"
#include "transfer/PartFile.h"
#include "transfer/RetryPolicy.h"

#include <atomic>
#include <set>

// A text archive of an earlier version is taken over with the old reader's
// rules: a line cut short by a crash, or no record at all, names nothing.
TEST(GetArchive, TextArchiveTakenOverWithTheOldRules) {
    TScratch scratch;
    const std::string path = (scratch.Path() / "archive.txt").string();
    WriteWhole(
        path,
        "http://a/1.jpg\t100\nnot a record\nhttp://a/2.jpg\t\n\t5\nhttp://a/3.jpg\t7\r\nhttp://a/4.jpg\t12");
    TArchive archive(path, scratch.Path().string() + "/");
    TPictureArchive& db = archive.Database();
    EXPECT_TRUE(db.Find("http://a/1.jpg"));
    EXPECT_FALSE(db.Find("http://a/2.jpg")); // cut short: fetched again
    EXPECT_TRUE(db.Find("http://a/3.jpg"));
    // A last line without its line break may be a record cut short: it proves nothing.
    EXPECT_FALSE(db.Find("http://a/4.jpg"));
    EXPECT_EQ(db.Count(), 2u);
    EXPECT_TRUE(fs::exists(path + ".v1"));
}

// What a run does with each planned picture the archive knows.
TEST(GetArchive, DecidesWhatIsAskedAndHow) {
    TScratch scratch;
    const std::string dest = scratch.Path().string() + "/";
    TArchive archive((scratch.Path() / "a.db").string(), dest);
    WriteWhole(scratch.Path() / "whole.jpg", "12345");
    WriteWhole(scratch.Path() / "short.jpg", "123");
    for (const char* name : {"whole", "short", "gone"}) {
        TArchivedPicture row;
        row.Url = std::string("http://a/") + name;
        row.Path = std::string(name) + ".jpg";
        row.Size = 5;
        row.Sha256 = std::string(64, '0');
        row.ETag = "\"e\"";
        row.LastModified = "Sun, 01 Nov 2026 08:00:00 GMT";
        archive.Database().Save(row);
    }
    struct TCase {
        const char* Name;
        bool Refresh;
        TOutcome Outcome;
        bool Recorded;
        bool Conditional;
    } cases[] = {
        {"whole", false, TOutcome::Skipped, true, false},  // skipped without a request
        {"short", false, TOutcome::Pending, true, false},  // asked again, whatever the server's size
        {"gone", false, TOutcome::Pending, true, false},
        {"new", false, TOutcome::Pending, false, false},   // fetched as usual
        {"whole", true, TOutcome::Pending, true, true},    // asked whether it changed
        {"short", true, TOutcome::Pending, true, false},   // a 304 would keep a broken file
        {"new", true, TOutcome::Pending, false, false},
    };
    for (const TCase& c : cases) {
        std::vector<TPictureJob> jobs(1);
        jobs[0].Url = std::string("http://a/") + c.Name;
        jobs[0].Path = dest + c.Name + ".jpg";
        archive.Decide(jobs, c.Refresh);
        EXPECT_EQ(jobs[0].Outcome, c.Outcome) << c.Name << c.Refresh;
        EXPECT_EQ(jobs[0].Recorded, c.Recorded) << c.Name << c.Refresh;
        EXPECT_EQ(jobs[0].IfNoneMatch, c.Conditional ? "\"e\"" : "") << c.Name << c.Refresh;
        EXPECT_EQ(jobs[0].IfModifiedSince, c.Conditional ? "Sun, 01 Nov 2026 08:00:00 GMT" : "") << c.Name;
    }
}

TEST(GetShown, ControlCharactersAreEscaped) {
    struct TCase {
        std::string Gbk;
        std::string Shown;
    } cases[] = {
        {"plain.jpg", "plain.jpg"},
        {"a\x1b[2Jb", "a\\x1B[2Jb"},
        {"line\r\nbreak\t", "line\\x0D\\x0Abreak\\x09"},
        {std::string("nul\0x", 5), "nul\\x00x"},
        {"del\x7f", "del\\x7F"},
        {Gbk("旅行"), "旅行"},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(Shown(c.Gbk), c.Shown) << c.Shown;
    EXPECT_TRUE(HasControlCharacter("a\x1b"));
    EXPECT_FALSE(HasControlCharacter(Gbk("旅行 a.jpg")));
}

TEST(GetArchive, UnwritableArchiveIsRefused) {
    TScratch scratch;
    EXPECT_THROW(TArchive((scratch.Path() / "no/such/folder/archive.txt").string(), scratch.Path().string() + "/"),
                 EArchiveError);
}

TEST(AlbumFiles, WindowRules) {
    struct TCase {
        const char* Name;
        const char* Folder; // empty: refused
        const char* Description;
    } cases[] = {
        {"旅行", "d/Pic/旅行", "d/Pic/旅行/旅行.txt"},
        {"  家人 与 朋友  ", "d/Pic/家人 与 朋友", "d/Pic/家人 与 朋友/家人 与 朋友.txt"},
        {"   ", "d/Pic/", "d/Pic//.txt"},
        {"..", "", ""},
        {".", "", ""},
        {"a/../../escape", "", ""},
    };
    for (const TCase& c : cases) {
        const std::string name = Gbk(c.Name);
        if (*c.Folder == 0) {
            EXPECT_THROW(AlbumFilesFor("d/", name), EFCreateError) << c.Name;
            continue;
        }
        const TAlbumFiles files = AlbumFilesFor("d/", name);
        EXPECT_EQ(files.Folder, Gbk(c.Folder));
        EXPECT_EQ(files.DescriptionFile, Gbk(c.Description));
    }
    const TAlbumFiles album{"d/Pic/a", "d/Pic/a/a.txt"};
    EXPECT_EQ(PicturePath(album, "http://imgb1.x/a-01/IMG_1.jpg"), "d/Pic/a/IMG_1.jpg");
    EXPECT_EQ(PicturePath(album, "http://imgb1.x/a-01/ IMG_2.jpg \r\n"), "d/Pic/a/IMG_2.jpg");
    for (const char* url : {"http://imgb1.x/a-01/..", "http://imgb1.x/a-01/sub/x.jpg", "http://imgb1.x/a-01/",
                            "http://imgb1.x/a-01/."})
        EXPECT_THROW(PicturePath(album, url), EFCreateError) << url;
}

TEST(AlbumFiles, DescriptionWrittenByteForByte) {
    TScratch scratch;
    TPList album;
    album.Name = Gbk(" 风景 ");
    album.Desc = "\xc9\xbd\r\n \xff";
    const TAlbumFiles files = WriteAlbumFolder(FileNameToGbk(scratch.Path().string()) + "/", album);
    EXPECT_EQ(ReadWhole(scratch.Path() / "Pic/风景/风景.txt"), album.Desc);
    EXPECT_EQ(files.Folder, FileNameToGbk((scratch.Path() / "Pic/风景").string()));
}

// The workers convert file names at the same time; a shared converter state
// garbled names or crashed.
TEST(GetThreads, TextConversionsOnManyThreads) {
    const std::string gbk = Gbk("二〇二六年秋天的旅行/家人 与 朋友/风景.jpg");
    const std::string utf8 = "二〇二六年秋天的旅行/家人 与 朋友/风景.jpg";
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int k = 0; k < 3000; ++k)
                if (GbkToUtf8(gbk) != utf8 || Utf8ToGbk(utf8) != gbk) ++wrong;
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
}
