// quillora-get cut off at any moment (SIGKILL), run out of disk, or stopped
// while a server keeps it waiting: what carries a final name is whole, the
// archive names only whole files, and a later run ends with the server's tree.

#include "GetHarness.h"
#include "WireScript.h"
#include "archive/PictureArchive.h"
#include "archive/Sha256.h"
#include "support/ScriptedPeer.h"
#include "transfer/PartFile.h"

#include <map>
#include <random>
#include <set>
#include <sstream>

namespace {

// Album folder of each album of the sample account "quillora", by its id in the addresses.
const std::map<std::string, std::string> QuilloraFolders{
    {"quillora-01", "旅行"}, {"quillora-02", "家人 与 朋友"}, {"quillora-04", "风景"}};

// The asset the service sends for a picture of the account "quillora".
std::string QuilloraPicture(const std::string& album, const std::string& file) {
    const int number = std::stoi(file.substr(4, 4));
    const int first = album == "quillora-01" ? 1 : album == "quillora-02" ? 26 : 31;
    const int jpegs = album == "quillora-01" ? 25 : album == "quillora-02" ? 6 : 10;
    char asset[32];
    if (number > jpegs)
        std::snprintf(asset, sizeof asset, "photo-%02d.png", album == "quillora-04" ? 3 : number - jpegs);
    else
        std::snprintf(asset, sizeof asset, "photo-%02d.jpg", (first + number - 2) % 40 + 1);
    return Asset(asset);
}

struct TTreeCheck {
    std::string Wrong;   // final files that are not the server's bytes, archive lines naming no whole file
    size_t Parts = 0;    // temporary files
    size_t Pictures = 0; // whole pictures under their names
    size_t Rows = 0;     // of the archive
};

// The tree and the archive after a run that may have been cut off anywhere.
TTreeCheck CheckTree(const fs::path& out, const fs::path& archive) {
    TTreeCheck check;
    if (fs::exists(out / "Pic"))
        for (const auto& [id, folder] : QuilloraFolders) {
            if (!fs::exists(out / "Pic" / folder)) continue;
            for (const auto& e : fs::directory_iterator(out / "Pic" / folder)) {
                const std::string name = e.path().filename().string();
                if (name.rfind(".quillora-", 0) == 0) {
                    ++check.Parts;
                } else if (name.rfind("IMG_", 0) == 0) {
                    ++check.Pictures;
                    if (ReadWhole(e.path()) != QuilloraPicture(id, name))
                        check.Wrong += " incomplete:" + name;
                } else if (name != folder + ".txt") {
                    check.Wrong += " stray:" + name;
                }
            }
        }
    if (!fs::exists(archive)) return check;
    // Sound after any kill, as the sqlite3 command sees it.
    const fs::path said = archive.parent_path() / "integrity.txt";
    const std::string command = "sqlite3 '" + archive.string() + "' 'PRAGMA integrity_check' > '" + said.string() + "' 2>&1";
    if (std::system(command.c_str()) != 0 || ReadWhole(said) != "ok\n") check.Wrong += " archive:" + ReadWhole(said);
    TPictureArchive(archive.string(), TPictureArchive::TMode::ReadOnly).ForEach([&](const TArchivedPicture& row) {
        const std::string rest = row.Url.substr(row.Url.find("/quillora-0") + 1);
        const std::string id = rest.substr(0, rest.find('/'));
        const std::string file = rest.substr(rest.find('/') + 1);
        const fs::path path = out / "Pic" / QuilloraFolders.at(id) / file;
        const std::string bytes = fs::exists(path) ? ReadWhole(path) : std::string();
        TSha256 hash;
        hash.Update(bytes.data(), bytes.size());
        if (bytes != QuilloraPicture(id, file) || row.Size != static_cast<int64_t>(bytes.size()) ||
            row.Sha256 != hash.HexDigest() || row.Path != "Pic/" + QuilloraFolders.at(id) + "/" + file)
            check.Wrong += " archived-but-not-whole:" + file;
        ++check.Rows;
    });
    return check;
}

// The archive's rows as "path size sha256"; none when there is no archive.
std::vector<std::string> ArchivedRows(const fs::path& archive) {
    std::vector<std::string> rows;
    if (fs::exists(archive))
        TPictureArchive(archive.string(), TPictureArchive::TMode::ReadOnly).ForEach([&](const TArchivedPicture& row) {
            rows.push_back(row.Path + " " + std::to_string(row.Size) + " " + row.Sha256);
        });
    return rows;
}

} // namespace

// SIGKILL at many random moments, each time run again: never an incomplete
// file under a final name or in the archive; in the end the server's tree,
// with no temporary file left.
TEST(QuilloraGetCrash, KilledAnywhereThenCompleted) {
    TScratch scratch;
    TServer server(scratch.Path(), {"--rate", "400000"});
    ASSERT_GT(server.Port(), 0);
    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> moment(0, 700), jobs(1, 4);
    const fs::path out = scratch.Path() / "out", archive = scratch.Path() / "archive.db";
    int kills = 0, midPicture = 0;
    for (; kills < 30; ++kills) {
        SCOPED_TRACE("seed " + std::to_string(seed) + ", kill " + std::to_string(kills));
        auto child = StartGet(scratch.Path(), server,
                              {"--dest", "out", "--archive", "archive.db", "-j",
                               std::to_string(jobs(random)), "--backoff", "10", "quillora"});
        // The random moment is the point of the test, not an ordering.
        std::this_thread::sleep_for(std::chrono::milliseconds(moment(random)));
        child->Signal(SIGKILL);
        child->Wait();
        const TTreeCheck check = CheckTree(out, archive);
        ASSERT_EQ(check.Wrong, "");
        if (check.Parts > 0) ++midPicture;
    }
    // How many kills cut a picture depends on the machine: a kill at a known
    // byte of a picture is KilledMidPictureLeavesAPartTheNextRunCompletes.
    std::printf("quillora-get killed %d times, %d of them in the middle of a picture\n", kills, midPicture);
    RecordProperty("Kills", kills);
    TGetRun last = RunGet(scratch.Path(), server, {"--dest", "out", "--archive", "archive.db", "quillora"});
    ASSERT_EQ(last.Status, 0) << last.Err;
    const TTreeCheck check = CheckTree(out, archive);
    EXPECT_EQ(check.Wrong, "");
    EXPECT_EQ(check.Parts, 0u);
    EXPECT_EQ(check.Pictures, 44u);
    EXPECT_EQ(check.Rows, 44u);
}

// Killed while a picture is cut at a known byte (the server sends that much
// and then nothing): the part holds what came, nothing carries the final
// name or is in the archive, and the next run completes the picture.
TEST(QuilloraGetCrash, KilledMidPictureLeavesAPartTheNextRunCompletes) {
    TScratch scratch;
    const std::string pic = Asset("photo-01.jpg");
    const size_t cut = 20000;
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(pic.size()) + "\r\n\r\n";
    const fs::path wire =
        WriteWire(scratch.Path(), {{"cut.jpg", {{head + pic.substr(0, cut), "keep"}, {Ok(pic)}}}});
    TServer server(scratch.Path(), {"--wire", wire.string()});
    ASSERT_GT(server.Port(), 0);
    const fs::path album = scratch.Path() / "out/Pic/线路", archive = scratch.Path() / "archive.db";
    const fs::path part = album / PartPathFor("cut.jpg");
    const std::vector<std::string> args{"--dest", "out", "--archive", "archive.db", "wire"};
    auto child = StartGet(scratch.Path(), server, args);
    ASSERT_TRUE(WaitUntil(
        [&] {
            std::error_code none;
            return fs::file_size(part, none) == cut;
        },
        std::chrono::seconds(60)))
        << "no part of " << cut << " bytes";
    child->Signal(SIGKILL);
    child->Wait();
    EXPECT_EQ(ReadWhole(part), pic.substr(0, cut));
    EXPECT_FALSE(fs::exists(album / "cut.jpg"));
    EXPECT_EQ(ArchivedRows(archive), std::vector<std::string>{});

    TGetRun next = RunGet(scratch.Path(), server, args);
    ASSERT_EQ(next.Status, 0) << next.Err;
    EXPECT_EQ(ReadWhole(album / "cut.jpg"), pic);
    EXPECT_FALSE(fs::exists(part));
    TSha256 hash;
    hash.Update(pic.data(), pic.size());
    EXPECT_EQ(ArchivedRows(archive),
              std::vector<std::string>{"Pic/线路/cut.jpg " + std::to_string(pic.size()) + " " + hash.HexDigest()});
}

// A file-size limit stands in for a full disk: the pictures that do not fit
// fail by name, none is left cut short under its name or in the archive, and
// a run with room continues them.
TEST(QuilloraGetCrash, DiskFullFailsThePictureOnly) {
    TScratch scratch;
    TServer server(scratch.Path(), {});
    ASSERT_GT(server.Port(), 0);
    TGetLimits limits;
    limits.FileSize = 50000;
    TGetRun full = RunGet(
        scratch.Path(), server,
        {"--dest", "out", "--archive", "archive.db", "--json", "-", "--album", "风景", "quillora"}, limits);
    EXPECT_EQ(full.Status, 1) << full.Err;
    const fs::path out = scratch.Path() / "out", archive = scratch.Path() / "archive.db";
    TTreeCheck check = CheckTree(out, archive);
    EXPECT_EQ(check.Wrong, "");
    nlohmann::json report = nlohmann::json::parse(full.Out, nullptr, false);
    ASSERT_TRUE(report.is_object()) << full.Out;
    int failed = 0;
    for (const auto& p : report["albums"][0]["pictures"]) {
        const std::string url = p["url"], file = url.substr(url.rfind('/') + 1);
        const bool fits = QuilloraPicture("quillora-04", file).size() <= 50000;
        EXPECT_EQ(p["outcome"], fits ? "saved" : "failed") << file;
        if (fits) continue;
        ++failed;
        EXPECT_NE(p["message"].get<std::string>().find("File too large"), std::string::npos) << p.dump();
        EXPECT_EQ(p["attempts"], 1);
        EXPECT_FALSE(fs::exists(out / "Pic/风景" / file)) << file;
        EXPECT_FALSE(TPictureArchive(archive.string(), TPictureArchive::TMode::ReadOnly).Find(url)) << file;
        EXPECT_NE(full.Err.find("album 风景: picture " + url + ": Cannot write"), std::string::npos)
            << full.Err;
    }
    EXPECT_GT(failed, 0);
    EXPECT_EQ(check.Rows, check.Pictures);

    TGetRun roomy = RunGet(scratch.Path(), server,
                           {"--dest", "out", "--archive", "archive.db", "--album", "风景", "quillora"});
    EXPECT_EQ(roomy.Status, 0) << roomy.Err;
    check = CheckTree(out, archive);
    EXPECT_EQ(check.Wrong, "");
    EXPECT_EQ(check.Parts, 0u);
    EXPECT_EQ(check.Pictures, 11u);
}

// SIGTERM while a worker waits on a silent server: the wait is cut at once
// (long before the read time-out), the workers end, the report is written.
// The stall and the read time-out are ten minutes, far past the test's own
// time-out: a stop that did not wake the worker hangs the test instead of
// passing late, so no clock is read.
TEST(QuilloraGetCrash, StopWakesWorkerWaitingOnServer) {
    TScratch scratch;
    TServer server(scratch.Path(), {"--stall-seconds", "600"});
    ASSERT_GT(server.Port(), 0);
    auto child = StartGet(scratch.Path(), server,
                          // One worker: the first picture is saved before the stalled one is asked for.
                          {"--dest", "out", "--json", "report.json", "--timeout", "600", "-j", "1", "stall"});
    ASSERT_TRUE(WaitUntil(
        [&] {
            for (const std::string& line : server.Requests())
                if (line.find("stall.jpg") != std::string::npos) return true;
            return false;
        },
        std::chrono::seconds(20)));
    child->Signal(SIGTERM);
    TGetRun run = FinishGet(scratch.Path(), *child);
    EXPECT_EQ(run.Status, 130) << run.Err;
    ASSERT_TRUE(run.Report.is_object()) << run.Err;
    EXPECT_TRUE(run.Report["interrupted"].get<bool>());
    EXPECT_EQ(run.Report["totals"]["saved"], 1);
    EXPECT_EQ(run.Report["totals"]["interrupted"], 1);
    EXPECT_FALSE(fs::exists(scratch.Path() / "out/Pic/卡住/stall.jpg"));
}

// SIGTERM while the account's home page is awaited from a silent server:
// the lookup is cut at once too, not at its read time-out (ten minutes, past
// the test's time-out, as above).
TEST(QuilloraGetCrash, StopWakesTheLookup) {
    TScratch scratch;
    TServer unused(scratch.Path(), {});
    TScriptedPeer silent({TPeerStep::ReadUntil("\r\n\r\n"), TPeerStep::Stall()}, 600000);
    auto child = StartGet(scratch.Path(), unused,
                          {"--proxy", "127.0.0.1:" + std::to_string(silent.Port()), "--dest", "out", "--json",
                           "report.json", "--timeout", "600", "quillora"});
    ASSERT_TRUE(silent.WaitReached(0, 1, 20000));
    child->Signal(SIGTERM);
    TGetRun run = FinishGet(scratch.Path(), *child);
    EXPECT_EQ(run.Status, 130) << run.Err;
    ASSERT_TRUE(run.Report.is_object()) << run.Err;
    EXPECT_TRUE(run.Report["interrupted"].get<bool>());
    silent.Stop();
}
