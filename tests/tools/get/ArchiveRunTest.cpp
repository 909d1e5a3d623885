// quillora-get with its archive: what a run records, what a later run asks
// (nothing, or each picture conditionally with --refresh), --verify and
// --repair against a damaged tree, a text archive taken over, and archives
// it must refuse without harming anything.

#include "GetHarness.h"
#include "WireScript.h"
#include "archive/PictureArchive.h"
#include "archive/Sha256.h"

#include <map>
#include <sys/stat.h>

namespace {

const fs::path Landscape = "out/Pic/风景";

// The album "风景" of the sample account: file -> the bytes the service sends.
std::map<std::string, std::string> LandscapeFiles() {
    std::map<std::string, std::string> files;
    char name[32], asset[32];
    for (int k = 0; k < 10; ++k) {
        std::snprintf(name, sizeof name, "IMG_%04d.jpg", k + 1);
        std::snprintf(asset, sizeof asset, "photo-%02d.jpg", (31 + k - 1) % 40 + 1);
        files[name] = Asset(asset);
    }
    files["IMG_0011.png"] = Asset("photo-03.png");
    return files;
}

// The pictures under the album folder that are not the service's bytes, or missing.
std::string WrongPictures(const fs::path& folder) {
    std::string wrong;
    for (const auto& [name, bytes] : LandscapeFiles())
        if (ReadWhole(folder / name) != bytes) wrong += " " + name;
    return wrong;
}

std::string Sha256Of(const std::string& bytes) {
    TSha256 hash;
    hash.Update(bytes.data(), bytes.size());
    return hash.HexDigest();
}

std::vector<TArchivedPicture> Rows(const fs::path& db) {
    std::vector<TArchivedPicture> rows;
    TPictureArchive(db.string(), TPictureArchive::TMode::ReadOnly).ForEach([&](const TArchivedPicture& row) {
        rows.push_back(row);
    });
    return rows;
}

size_t PictureRequests(const std::vector<std::string>& lines) {
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
        return line.find(" imgb") != std::string::npos;
    }));
}

struct TFileId {
    ino_t Inode = 0;
    int64_t ModifiedNs = 0;
    bool operator==(const TFileId&) const = default;
};

TFileId IdOf(const fs::path& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return {st.st_ino, st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec};
}

const std::vector<std::string> Run{"--dest", "out", "--archive", "archive.db", "--album", "风景"};

std::vector<std::string> With(std::vector<std::string> more) {
    std::vector<std::string> args = Run;
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

} // namespace

// Every saved picture has its row: where it lies, its size, the SHA-256 of its
// bytes, the validators of its reply. A second run asks for no picture.
TEST(QuilloraGetArchive, RunRecordsEveryPictureAndRerunAsksNothing) {
    TScratch scratch;
    TServer server(scratch.Path(), {"--validators"});
    ASSERT_GT(server.Port(), 0);
    TGetRun first = RunGet(scratch.Path(), server, With({"quillora"}));
    ASSERT_EQ(first.Status, 0) << first.Err;
    const std::vector<TArchivedPicture> rows = Rows(scratch.Path() / "archive.db");
    ASSERT_EQ(rows.size(), 11u);
    for (const TArchivedPicture& row : rows) {
        const std::string name = row.Path.substr(row.Path.rfind('/') + 1);
        const std::string bytes = LandscapeFiles().at(name);
        EXPECT_EQ(row.Path, "Pic/风景/" + name);
        EXPECT_EQ(row.Account, "quillora");
        EXPECT_EQ(row.Album, "风景");
        EXPECT_EQ(row.Size, static_cast<int64_t>(bytes.size()));
        EXPECT_EQ(row.Sha256, Sha256Of(bytes)) << name;
        EXPECT_EQ(row.ETag.size(), 18u) << row.ETag;
        EXPECT_EQ(row.LastModified, "Sun, 01 Nov 2026 08:00:00 GMT");
        EXPECT_NE(row.Url.find("/quillora-04/" + name), std::string::npos);
    }
    server.ForgetRequests();
    TGetRun again = RunGet(scratch.Path(), server, With({"--json", "report.json", "quillora"}));
    ASSERT_EQ(again.Status, 0) << again.Err;
    EXPECT_EQ(PictureRequests(server.Requests()), 0u);
    EXPECT_EQ(again.Report["totals"]["skipped"], 11);
}

// A byte flipped in one picture, another deleted: --verify names both, ends
// with 1 and asks nothing of any server; --repair fetches just those two.
TEST(QuilloraGetArchive, VerifyNamesDamageWithoutRequestsThenRepairMendsIt) {
    TScratch scratch;
    TServer server(scratch.Path(), {});
    ASSERT_GT(server.Port(), 0);
    ASSERT_EQ(RunGet(scratch.Path(), server, With({"quillora"})).Status, 0);
    const fs::path folder = scratch.Path() / Landscape;
    std::string bytes = ReadWhole(folder / "IMG_0002.jpg");
    bytes[bytes.size() / 2] ^= 1;
    WriteWhole(folder / "IMG_0002.jpg", bytes);
    fs::remove(folder / "IMG_0005.jpg");
    server.ForgetRequests();

    TGetRun verify = RunGet(scratch.Path(), server,
                            {"--dest", "out", "--archive", "archive.db", "--verify", "--json", "report.json"});
    EXPECT_EQ(verify.Status, 1) << verify.Err;
    EXPECT_NE(verify.Out.find("changed Pic/风景/IMG_0002.jpg\n"), std::string::npos) << verify.Out;
    EXPECT_NE(verify.Out.find("missing Pic/风景/IMG_0005.jpg\n"), std::string::npos) << verify.Out;
    EXPECT_NE(verify.Out.find("verified 11 pictures"), std::string::npos) << verify.Out;
    EXPECT_NE(verify.Out.find("9 whole, 1 missing, 1 changed, 0 unreadable"), std::string::npos) << verify.Out;
    EXPECT_EQ(server.Requests().size(), 0u);
    EXPECT_EQ(verify.Report["verify"]["changed"][0]["path"], "Pic/风景/IMG_0002.jpg");
    EXPECT_EQ(verify.Report["verify"]["missing"][0]["path"], "Pic/风景/IMG_0005.jpg");
    EXPECT_EQ(verify.Report["verify"]["whole"], 9);

    TGetRun repair = RunGet(scratch.Path(), server, {"--dest", "out", "--archive", "archive.db", "--repair"});
    EXPECT_EQ(repair.Status, 0) << repair.Err;
    EXPECT_EQ(WrongPictures(folder), "");
    const std::vector<std::string> seen = server.Requests();
    EXPECT_EQ(seen.size(), 2u);
    EXPECT_EQ(PictureRequests(seen), 2u);

    TGetRun whole = RunGet(scratch.Path(), server, {"--dest", "out", "--archive", "archive.db", "--verify"});
    EXPECT_EQ(whole.Status, 0) << whole.Out << whole.Err;
    EXPECT_NE(whole.Out.find("11 whole, 0 missing, 0 changed, 0 unreadable"), std::string::npos) << whole.Out;
}

// The text archive of an earlier version: its pictures are not asked for,
// the text stays beside as FILE.v1, and the rows learn their files.
TEST(QuilloraGetArchive, TextArchiveTakenOver) {
    TScratch scratch;
    TServer server(scratch.Path(), {});
    ASSERT_GT(server.Port(), 0);
    TGetRun first = RunGet(scratch.Path(), server, {"--dest", "out", "--album", "风景", "--json", "report.json", "quillora"});
    ASSERT_EQ(first.Status, 0) << first.Err;
    std::string text;
    for (const auto& album : first.Report["albums"])
        for (const auto& p : album["pictures"])
            text += p["url"].get<std::string>() + "\t" + std::to_string(p["bytes"].get<int64_t>()) + "\n";
    WriteWhole(scratch.Path() / "archive.txt", text);
    server.ForgetRequests();

    TGetRun taken = RunGet(scratch.Path(), server, {"--dest", "out", "--archive", "archive.txt", "--album", "风景", "quillora"});
    ASSERT_EQ(taken.Status, 0) << taken.Err;
    EXPECT_EQ(PictureRequests(server.Requests()), 0u);
    EXPECT_EQ(ReadWhole(scratch.Path() / "archive.txt.v1"), text);
    const std::vector<TArchivedPicture> rows = Rows(scratch.Path() / "archive.txt");
    ASSERT_EQ(rows.size(), 11u);
    for (const TArchivedPicture& row : rows) {
        const std::string name = row.Path.substr(row.Path.rfind('/') + 1);
        EXPECT_EQ(row.Sha256, Sha256Of(LandscapeFiles()[name])) << row.Path;
    }
    TGetRun verify = RunGet(scratch.Path(), server, {"--dest", "out", "--archive", "archive.txt", "--verify"});
    EXPECT_EQ(verify.Status, 0) << verify.Out;
}

// --refresh asks about every recorded picture with its validators; a 304
// leaves the file alone. One picture changed on the server: only it is
// fetched again and replaced, and its row follows.
TEST(QuilloraGetArchive, RefreshAsksConditionallyAndReplacesOnlyTheChanged) {
    TScratch scratch;
    const fs::path changed = scratch.Path() / "changed.txt";
    TServer server(scratch.Path(), {"--validators", "--changed-file", changed.string()});
    ASSERT_GT(server.Port(), 0);
    ASSERT_EQ(RunGet(scratch.Path(), server, With({"quillora"})).Status, 0);
    const fs::path folder = scratch.Path() / Landscape;
    std::map<std::string, TFileId> before;
    for (const auto& [name, bytes] : LandscapeFiles())
        before[name] = IdOf(folder / name);

    server.ForgetRequests();
    TGetRun same = RunGet(scratch.Path(), server, With({"--refresh", "--json", "report.json", "quillora"}));
    ASSERT_EQ(same.Status, 0) << same.Err;
    std::vector<std::string> seen = server.Requests();
    EXPECT_EQ(PictureRequests(seen), 11u);
    for (const std::string& line : seen)
        if (line.find(" imgb") != std::string::npos) {
            EXPECT_EQ(line.rfind("GET ", 0), 0u) << line;
            EXPECT_NE(line.find(" - \""), std::string::npos) << line; // no range, the ETag
        }
    for (const auto& [name, id] : before)
        EXPECT_TRUE(IdOf(folder / name) == id) << name << " was written again";
    EXPECT_EQ(same.Report["totals"]["unchanged"], 11);
    EXPECT_EQ(same.Report["totals"]["updated"], 0);

    WriteWhole(changed, "/quillora-04/IMG_0003.jpg\n");
    server.ForgetRequests();
    TGetRun one = RunGet(scratch.Path(), server, With({"--refresh", "--json", "report.json", "quillora"}));
    ASSERT_EQ(one.Status, 0) << one.Err;
    EXPECT_EQ(PictureRequests(server.Requests()), 11u);
    EXPECT_EQ(one.Report["totals"]["unchanged"], 10);
    EXPECT_EQ(one.Report["totals"]["updated"], 1);
    EXPECT_EQ(one.Report["totals"]["new"], 0);
    std::string now = LandscapeFiles()["IMG_0003.jpg"];
    now.back() = static_cast<char>(now.back() ^ 0xff);
    EXPECT_EQ(ReadWhole(folder / "IMG_0003.jpg"), now);
    for (const auto& [name, id] : before)
        if (name != "IMG_0003.jpg") {
            EXPECT_TRUE(IdOf(folder / name) == id) << name << " was written again";
        }
    for (const TArchivedPicture& row : Rows(scratch.Path() / "archive.db"))
        if (row.Path == "Pic/风景/IMG_0003.jpg") {
            EXPECT_EQ(row.Sha256, Sha256Of(now));
            EXPECT_EQ(row.LastModified, "Mon, 02 Nov 2026 08:00:00 GMT");
        }
    // The file changed on the disk for --verify is the server's new one, recorded as such.
    EXPECT_EQ(RunGet(scratch.Path(), server, {"--dest", "out", "--archive", "archive.db", "--verify"}).Status, 0);
}

// An archive that cannot serve: a clear message, exit 1, the file as it was,
// and no album folder made.
TEST(QuilloraGetArchive, ArchivesThatCannotServeEndTheRunCleanly) {
    TScratch scratch;
    TServer server(scratch.Path(), {});
    ASSERT_GT(server.Port(), 0);
    ASSERT_EQ(RunGet(scratch.Path(), server, {"--dest", "good", "--archive", "good.db", "--album", "风景", "quillora"}).Status, 0);
    std::string damaged = ReadWhole(scratch.Path() / "good.db");
    for (size_t k = 4096; k < 8192 && k < damaged.size(); ++k) // the table's page
        damaged[k] = 'Z';
    struct TCase {
        const char* Name;
        std::string Bytes;
        const char* Message;
        bool ReadOnly = false;
    } cases[] = {
        {"damaged.db", damaged, "is damaged"},
        {"picture.jpg", Asset("photo-01.jpg"), "is neither a database of quillora-get nor a text archive"},
        {"readonly.db", ReadWhole(scratch.Path() / "good.db"), "It is read-only", true},
    };
    for (const TCase& c : cases) {
        const fs::path file = scratch.Path() / c.Name;
        WriteWhole(file, c.Bytes);
        if (c.ReadOnly) fs::permissions(file, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
        TGetLimits limits;
        limits.NoOverride = true;
        TGetRun run = RunGet(scratch.Path(), server, {"--dest", "out", "--archive", c.Name, "quillora"}, limits);
        EXPECT_EQ(run.Status, 1) << c.Name << run.Err;
        EXPECT_NE(run.Err.find(c.Message), std::string::npos) << c.Name << ": " << run.Err;
        EXPECT_NE(run.Err.find(c.Name), std::string::npos) << run.Err;
        EXPECT_EQ(ReadWhole(file), c.Bytes) << c.Name;
        EXPECT_FALSE(fs::exists(scratch.Path() / "out/Pic")) << c.Name;
        EXPECT_FALSE(fs::exists(scratch.Path() / (std::string(c.Name) + ".v1"))) << c.Name;
    }
}

// The archive's file reaches the size limit (a full disk) in the middle of
// the run: the run ends with 1 and says so; the database stays sound and
// names only whole files; a run with room completes tree and archive.
TEST(QuilloraGetArchive, FullDiskLeavesASoundArchive) {
    TScratch scratch;
    TServer server(scratch.Path(), {});
    ASSERT_GT(server.Port(), 0);
    TGetLimits limits;
    limits.FileSize = 80000; // every picture fits; the write-ahead log of 25 rows does not
    const std::vector<std::string> args{"--dest", "out", "--archive", "archive.db", "--album", "旅行", "quillora"};
    TGetRun full = RunGet(scratch.Path(), server, args, limits);
    EXPECT_EQ(full.Status, 1) << full.Err;
    EXPECT_NE(full.Err.find("Cannot write to the archive"), std::string::npos) << full.Err;
    const fs::path db = scratch.Path() / "archive.db";
    const std::string check = "sqlite3 '" + db.string() + "' 'PRAGMA integrity_check' > '" +
                              (scratch.Path() / "check.txt").string() + "' 2>&1";
    ASSERT_EQ(std::system(check.c_str()), 0);
    EXPECT_EQ(ReadWhole(scratch.Path() / "check.txt"), "ok\n");
    const std::vector<TArchivedPicture> rows = Rows(db);
    EXPECT_GT(rows.size(), 0u);
    EXPECT_LT(rows.size(), 25u);
    for (const TArchivedPicture& row : rows)
        EXPECT_EQ(Sha256Of(ReadWhole(scratch.Path() / "out" / row.Path)), row.Sha256) << row.Path;

    TGetRun roomy = RunGet(scratch.Path(), server, args);
    EXPECT_EQ(roomy.Status, 0) << roomy.Err;
    EXPECT_EQ(Rows(db).size(), 25u);
    TGetRun verify = RunGet(scratch.Path(), server, {"--dest", "out", "--archive", "archive.db", "--verify"});
    EXPECT_EQ(verify.Status, 0) << verify.Out;
    EXPECT_NE(verify.Out.find("25 whole"), std::string::npos) << verify.Out;
}

// SHA256SUMS in the album folder, as sha256sum -c reads it.
TEST(QuilloraGetArchive, ChecksumsReadBySha256sum) {
    TScratch scratch;
    TServer server(scratch.Path(), {});
    ASSERT_GT(server.Port(), 0);
    ASSERT_EQ(RunGet(scratch.Path(), server, With({"--checksums", "quillora"})).Status, 0);
    const fs::path folder = scratch.Path() / Landscape;
    std::string expected;
    for (const auto& [name, bytes] : LandscapeFiles())
        expected += Sha256Of(bytes) + "  " + name + "\n";
    EXPECT_EQ(ReadWhole(folder / "SHA256SUMS"), expected);
    const std::string command = "cd '" + folder.string() + "' && sha256sum --quiet -c SHA256SUMS";
    EXPECT_EQ(std::system(command.c_str()), 0);
}

TEST(QuilloraGetArchive, OptionsThatNeedAnArchive) {
    TScratch scratch;
    TServer server(scratch.Path(), {});
    struct TCase {
        std::vector<std::string> Args;
        const char* Message;
    } cases[] = {
        {{"--verify"}, "--verify needs --archive FILE"},
        {{"--repair"}, "--repair needs --archive FILE"},
        {{"--refresh", "quillora"}, "--refresh needs --archive FILE"},
        {{"--checksums", "quillora"}, "--checksums needs --archive FILE"},
        {{"--verify", "--refresh", "--archive", "a.db"}, "one at a time"},
        {{"--verify", "--archive", "none.db"}, "Cannot open the archive"},
    };
    for (const TCase& c : cases) {
        std::vector<std::string> args{"--dest", "out"};
        args.insert(args.end(), c.Args.begin(), c.Args.end());
        TGetRun run = RunGet(scratch.Path(), server, args);
        EXPECT_EQ(run.Status, std::string(c.Message) == "Cannot open the archive" ? 1 : 2) << c.Message;
        EXPECT_NE(run.Err.find(c.Message), std::string::npos) << run.Err;
        EXPECT_FALSE(fs::exists(scratch.Path() / "none.db"));
    }
    EXPECT_EQ(server.Requests().size(), 0u);
}

namespace {

// Runs SQL on a database with the sqlite3 command, as a user editing the archive would.
void EditArchive(const fs::path& folder, const fs::path& db, const std::string& sql) {
    WriteWhole(folder / "edit.sql", sql);
    const std::string command = "sqlite3 '" + db.string() + "' < '" + (folder / "edit.sql").string() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << sql;
    fs::remove(folder / "edit.sql");
}

std::string Outcome(const nlohmann::json& report, const std::string& urlEnd) {
    for (const auto& album : report["albums"])
        for (const auto& p : album["pictures"]) {
            const std::string url = p["url"];
            if (url.size() >= urlEnd.size() &&
                url.compare(url.size() - urlEnd.size(), urlEnd.size(), urlEnd) == 0)
                return std::string(p["outcome"]) + " " + p.value("message", std::string());
        }
    return "absent";
}

} // namespace

// The archive is input: --repair fetches only the service's own addresses,
// and a row whose folder is a link out of --dest is neither read nor
// written through it. The damage that is real is mended all the same.
TEST(QuilloraGetArchive, CraftedRowsAreRefusedAndNothingLeavesTheDestination) {
    TScratch scratch;
    TServer server(scratch.Path(), {});
    ASSERT_GT(server.Port(), 0);
    ASSERT_EQ(RunGet(scratch.Path(), server, With({"quillora"})).Status, 0);
    const fs::path outside = scratch.Path() / "outside";
    fs::create_directories(outside);
    WriteWhole(outside / "IMG_0002.jpg", "not a picture of the service");
    fs::create_directory_symlink(outside, scratch.Path() / "out/Pic/link");
    const std::string port = std::to_string(server.Port());
    const std::string local = "http://127.0.0.1:" + port + "/quillora-04/IMG_0001.jpg";
    EditArchive(
        scratch.Path(), scratch.Path() / "archive.db",
        "INSERT INTO pictures (url, path, size) VALUES"
        " ('" +
            local +
            "', 'Pic/风景/local.jpg', 5),"
            " ('http://imgb1.photo.quillora.example:8080/x.jpg', 'Pic/风景/port.jpg', 5),"
            " ('ftp://imgb1.photo.quillora.example/x.jpg', 'Pic/风景/ftp.jpg', 5),"
            " ('http://user@imgb1.photo.quillora.example/x.jpg', 'Pic/风景/user.jpg', 5),"
            " ('http://photo.quillora.example.evil.example/x.jpg', 'Pic/风景/suffix.jpg', 5);"
            "UPDATE pictures SET path = 'Pic/link/IMG_0002.jpg' WHERE path = 'Pic/风景/IMG_0002.jpg';");
    fs::remove(scratch.Path() / Landscape / "IMG_0005.jpg");
    server.ForgetRequests();

    TGetRun repair =
        RunGet(scratch.Path(), server,
               {"--dest", "out", "--archive", "archive.db", "--repair", "--json", "report.json"});
    EXPECT_EQ(repair.Status, 1) << repair.Err;
    const std::string host =
        "Address refused: its host is not one of the service's (photo.quillora.example and "
        "the names under it)";
    EXPECT_EQ(Outcome(repair.Report, "127.0.0.1:" + port + "/quillora-04/IMG_0001.jpg"), "failed " + host);
    EXPECT_EQ(Outcome(repair.Report, ":8080/x.jpg"),
              "failed Address refused: the service is reached on the default port only");
    EXPECT_EQ(Outcome(repair.Report, "ftp://imgb1.photo.quillora.example/x.jpg"),
              "failed Address refused: only http:// and https:// addresses of the service are fetched");
    EXPECT_EQ(Outcome(repair.Report, "//user@imgb1.photo.quillora.example/x.jpg"), "failed " + host);
    EXPECT_EQ(Outcome(repair.Report, "evil.example/x.jpg"), "failed " + host);
    EXPECT_EQ(Outcome(repair.Report, "/IMG_0005.jpg"), "saved ");
    EXPECT_NE(repair.Err.find("picture " + local + ": " + host), std::string::npos) << repair.Err;
    EXPECT_NE(repair.Out.find("unreadable Pic/link/IMG_0002.jpg\n"), std::string::npos) << repair.Out;
    // One request: the picture that was really missing.
    const std::vector<std::string> seen = server.Requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_NE(seen[0].find("/quillora-04/IMG_0005.jpg"), std::string::npos) << seen[0];
    EXPECT_EQ(FilesIn(outside), (std::set<std::string>{"IMG_0002.jpg"}));
    EXPECT_EQ(ReadWhole(outside / "IMG_0002.jpg"), "not a picture of the service");
    for (const char* name : {"local.jpg", "port.jpg", "ftp.jpg", "user.jpg", "suffix.jpg"})
        EXPECT_FALSE(fs::exists(scratch.Path() / Landscape / name)) << name;
}

// A folder of the tree that is a link out of --dest is never written through.
TEST(QuilloraGetArchive, AnAlbumFolderThatIsALinkIsNotWrittenThrough) {
    TScratch scratch;
    TServer server(scratch.Path(), {});
    ASSERT_GT(server.Port(), 0);
    const fs::path outside = scratch.Path() / "outside";
    fs::create_directories(outside);
    fs::create_directories(scratch.Path() / "out/Pic");
    fs::create_directory_symlink(outside, scratch.Path() / Landscape);
    TGetRun run = RunGet(scratch.Path(), server, With({"--json", "report.json", "quillora"}));
    EXPECT_EQ(run.Status, 1) << run.Err;
    EXPECT_NE(run.Err.find("A symbolic link stands in its path; links below \"" +
                           (scratch.Path() / "out/").string() + "\" are not followed"),
              std::string::npos)
        << run.Err;
    EXPECT_EQ(FilesIn(outside), std::set<std::string>{});
    EXPECT_EQ(PictureRequests(server.Requests()), 0u);
}

// A picture named SHA256SUMS is never replaced by the checksums: its folder
// gets none, says why, and the run ends with 1; sha256sum -c keeps its name
// everywhere else.
TEST(QuilloraGetArchive, ChecksumsNeverReplaceAPictureOfThatName) {
    TScratch scratch;
    const fs::path wire = WriteWire(scratch.Path(), {{"a.jpg", {{Ok("picture a"), "keep"}}},
                                                     {"SHA256SUMS", {{Ok("a picture named so"), "keep"}}}});
    TServer server(scratch.Path(), {"--wire", wire.string()});
    ASSERT_GT(server.Port(), 0);
    TGetRun run =
        RunGet(scratch.Path(), server, {"--dest", "out", "--archive", "archive.db", "--checksums", "wire"});
    EXPECT_EQ(run.Status, 1) << run.Err;
    const fs::path album = scratch.Path() / "out/Pic/线路";
    EXPECT_EQ(ReadWhole(album / "SHA256SUMS"), "a picture named so");
    EXPECT_EQ(ReadWhole(album / "a.jpg"), "picture a");
    EXPECT_NE(run.Err.find("quillora-get: SHA256SUMS is not written in \"" + album.string() +
                           "/\": a picture there has that name\n"),
              std::string::npos)
        << run.Err;
}
