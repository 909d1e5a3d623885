// quillora-get against servers that misbehave on the wire: the sample
// service plays raw replies scripted here. A file takes its final name only
// when it is byte-exact; everything else is absent, leaves no part that
// cannot be continued, and nothing is written outside --dest.

#include "GetHarness.h"
#include "WireScript.h"
#include "core/Gbk.h"
#include "transfer/PartFile.h"

#include <cerrno>
#include <map>
#include <set>

namespace {

std::string Chunked(const std::string& body, const std::string& sizeFormat, const std::string& extra = "") {
    std::string out = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n" + extra + "\r\n";
    for (size_t k = 0; k < body.size(); k += 7000) {
        const std::string piece = body.substr(k, 7000);
        char size[64];
        std::snprintf(size, sizeof size, sizeFormat.c_str(), piece.size());
        out += std::string(size) + "\r\n" + piece + "\r\n";
    }
    return out + "0\r\n\r\n";
}

const nlohmann::json* PictureEntry(const nlohmann::json& report, const std::string& name) {
    for (const auto& album : report["albums"])
        for (const auto& picture : album["pictures"]) {
            const std::string url = picture["url"];
            if (url.size() >= name.size() && url.compare(url.size() - name.size(), name.size(), name) == 0)
                return &picture;
        }
    return nullptr;
}

std::string PartName(const std::string& name) {
    return PartPathFor(name); // no folder: the bare temporary name
}

class HostileWire : public ::testing::Test {
  protected:
    TScratch Scratch;
    fs::path Album() const { return Scratch.Path() / "out/Pic/线路"; }
    TGetRun Run(const std::vector<TWirePicture>& pictures, std::vector<std::string> extra = {},
                TGetLimits limits = {}) {
        const fs::path wire = WriteWire(Scratch.Path(), pictures);
        Server = std::make_unique<TServer>(Scratch.Path(), std::vector<std::string>{"--wire", wire.string()});
        EXPECT_GT(Server->Port(), 0);
        std::vector<std::string> args{"--dest", "out", "--json", "report.json", "--backoff", "1"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back("wire");
        TGetRun run = RunGet(Scratch.Path(), *Server, args, limits);
        // Nothing outside --dest but what the test and the service put there.
        std::set<std::string> top;
        for (const auto& e : fs::directory_iterator(Scratch.Path()))
            top.insert(e.path().filename().string());
        EXPECT_EQ(top, (std::set<std::string>{"out", "server", "stdout.txt", "stderr.txt", "wire.json"}));
        return run;
    }
    size_t Requests(const std::string& pathPart) const {
        size_t n = 0;
        for (const std::string& line : Server->Requests())
            if (line.find(pathPart) != std::string::npos) ++n;
        return n;
    }
    std::unique_ptr<TServer> Server;
};

struct TCase {
    const char* Name;
    std::vector<TReply> Replies;
    bool Saved;
    int Attempts;
};

} // namespace

// One run of many scripted pictures: each is saved byte-exact or fails and
// leaves nothing behind.
TEST_F(HostileWire, FramingCases) {
    const std::string pic = Asset("photo-01.jpg");
    const std::string head200 = "HTTP/1.1 200 OK\r\n";
    const std::vector<TCase> cases{
        {"plain.jpg", {{Ok(pic)}}, true, 1},
        {"chunked-and-length.jpg",
         {{Chunked(pic, "%zx", "Content-Length: " + std::to_string(pic.size()) + "\r\n")}},
         true,
         1},
        {"chunk-extension.jpg", {{Chunked(pic, "%zx;q=1")}}, true, 1},
        {"chunk-zeros.jpg", {{Chunked(pic, "%010zx")}}, true, 1},
        {"chunk-zz.jpg",
         {{head200 + "Transfer-Encoding: chunked\r\n\r\nzz\r\n" + pic + "\r\n0\r\n\r\n"}},
         false,
         1},
        {"chunk-huge.jpg", {{head200 + "Transfer-Encoding: chunked\r\n\r\nffffff\r\n" + pic}}, false, 2},
        {"two-lengths.jpg",
         {{head200 + "Content-Length: 100\r\nContent-Length: " + std::to_string(pic.size()) + "\r\n\r\n" +
           pic}},
         false,
         1},
        {"length-2g.jpg", {{head200 + "Content-Length: 2147483748\r\n\r\n" + pic.substr(0, 100)}}, false, 1},
        {"length-5g.jpg", {{head200 + "Content-Length: 5000000000\r\n\r\n" + pic.substr(0, 100)}}, false, 1},
        {"unasked-206.jpg", {{Partial(pic, 0, 9999, std::to_string(pic.size()))}}, false, 1},
        {"no-length.jpg", {{head200 + "Connection: close\r\n\r\n" + pic}}, false, 1},
        {"early-hints.jpg", {{"HTTP/1.1 103 Early Hints\r\nLink: </a.css>\r\n\r\n" + Ok(pic)}}, true, 1},
        {"stray-location.jpg", {{Ok(pic, "Location: http://127.0.0.1:9/elsewhere\r\n")}}, true, 1},
        {"cut-then-rest.jpg",
         {{head200 + "Content-Length: " + std::to_string(pic.size()) + "\r\n\r\n" + pic.substr(0, 20000)},
          {Partial(pic, 20000, pic.size() - 1, std::to_string(pic.size()))}},
         true,
         2},
        {"not-modified.jpg", {{"HTTP/1.1 304 Not Modified\r\n\r\n", "keep"}}, false, 1},
        {"no-content.jpg", {{"HTTP/1.1 204 No Content\r\n\r\n"}}, false, 1},
        {"reason.jpg", {{"HTTP/1.1 404 Not\x1b[2J Found\r\nContent-Length: 0\r\n\r\n"}}, false, 1},
        // Chunked is not the last coding: refused, as the body would keep it.
        {"chunked-identity-cut.jpg",
         {{head200 + "Transfer-Encoding: chunked, identity\r\n\r\n" + pic.substr(0, 12000)}},
         false,
         1},
        // Two lines are one list: chunked is the last coding, the chunks are taken off.
        {"two-codings.jpg",
         {{head200 + "Transfer-Encoding: identity\r\n" + Chunked(pic, "%zx").substr(head200.size())}},
         true,
         1},
        {"chunked-twice.jpg", {{Chunked(pic, "%zx", "Transfer-Encoding: chunked\r\n")}}, false, 1},
        // A coding the program cannot take off (it never asks for one) would
        // be saved as the picture: refused, never asked again.
        {"gzip.jpg",
         {{head200 + "Transfer-Encoding: gzip\r\nContent-Length: " + std::to_string(pic.size()) + "\r\n\r\n" +
           pic}},
         false,
         1},
        {"gzip-chunked.jpg",
         {{head200 + "Transfer-Encoding: gzip\r\n" + Chunked(pic, "%zx").substr(head200.size())}},
         false,
         1},
        // A head a reader could take two ways: a bare CR, a line without a colon.
        {"bare-cr.jpg",
         {{head200 + "X-A: 1\rContent-Length: 100\r\nContent-Length: " + std::to_string(pic.size()) +
           "\r\n\r\n" + pic}},
         false,
         1},
        {"no-colon.jpg", {{head200 + "Content-Length 100\r\n" + Ok(pic).substr(head200.size())}}, false, 1},
        {"blank-colon.jpg", {{Chunked(pic, "%zx", "Content-Length : 100\r\n")}}, false, 1},
        {"plus-status.jpg",
         {{"HTTP/1.1 +200 OK\r\nContent-Length: 100\r\n\r\n" + pic.substr(0, 100)}},
         false,
         1},
    };
    std::vector<TWirePicture> pictures;
    for (const TCase& c : cases)
        pictures.push_back({c.Name, c.Replies});
    // Two pictures whose names are each other's old temporary names.
    const std::string other = Asset("photo-02.jpg");
    pictures.push_back({"p.jpg", {{Ok(pic)}}});
    pictures.push_back({"p.jpg.part", {{Ok(other)}}});
    TGetRun run = Run(pictures, {"-j", "3", "--retries", "1"});
    EXPECT_EQ(run.Status, 1) << run.Err;
    std::set<std::string> expected{"Pic/线路/线路.txt", "Pic/线路/p.jpg", "Pic/线路/p.jpg.part"};
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        const nlohmann::json* p = PictureEntry(run.Report, c.Name);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ((*p)["outcome"], c.Saved ? "saved" : "failed") << p->dump();
        EXPECT_EQ((*p)["attempts"], c.Attempts) << p->dump();
        if (c.Saved) {
            EXPECT_EQ(ReadWhole(Album() / c.Name), pic);
            expected.insert(std::string("Pic/线路/") + c.Name);
        }
    }
    EXPECT_EQ(ReadWhole(Album() / "p.jpg"), pic);
    EXPECT_EQ(ReadWhole(Album() / "p.jpg.part"), other);
    // Failed pictures leave no file, not even a part, unless it can be
    // continued: a body cut short (here a chunked one) is the start of the picture.
    expected.insert("Pic/线路/" + PartName("chunk-huge.jpg"));
    EXPECT_EQ(FilesIn(Scratch.Path() / "out"), expected);
    // Escaped on the terminal and in the report; the raw byte nowhere.
    EXPECT_EQ(run.Err.find('\x1b'), std::string::npos);
    EXPECT_NE(run.Err.find("HTTP/1.1 404 Not\\x1B[2J Found"), std::string::npos) << run.Err;
    const nlohmann::json* reason = PictureEntry(run.Report, "reason.jpg");
    ASSERT_NE(reason, nullptr);
    EXPECT_EQ((*reason)["message"], "HTTP/1.1 404 Not\\x1B[2J Found");
    EXPECT_EQ((*PictureEntry(run.Report, "gzip-chunked.jpg"))["message"],
              "Transfer coding gzip is not supported");
    EXPECT_EQ((*PictureEntry(run.Report, "bare-cr.jpg"))["message"],
              "Reply refused: its header line \"X-A: 1\\rContent-Length: 100\" holds a bare CR");
}

// A server that sends a reply nobody asked for after the first: read as the
// next picture's reply it would shift every later picture by one. The kept
// connection holding it is retired before the next request, at no cost.
TEST_F(HostileWire, UnrequestedReplyShiftsNoPicture) {
    const std::vector<TWirePicture> pictures{
        {"1.jpg", {{Ok("picture one") + Ok("picture one again"), "keep"}}},
        {"2.jpg", {{Ok("picture two"), "keep"}}},
        {"3.jpg", {{Ok("picture three"), "keep"}}},
    };
    TGetRun run = Run(pictures, {"-j", "1", "--retries", "0"});
    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(ReadWhole(Album() / "1.jpg"), "picture one");
    EXPECT_EQ(ReadWhole(Album() / "2.jpg"), "picture two");
    EXPECT_EQ(ReadWhole(Album() / "3.jpg"), "picture three");
    for (const char* name : {"1.jpg", "2.jpg", "3.jpg"}) {
        EXPECT_EQ((*PictureEntry(run.Report, name))["attempts"], 1) << name;
        EXPECT_EQ(Requests(std::string("/") + name), 1u) << name;
    }
}

// A resumed range that does not reach the end of the picture, or does not
// say how long it is, is not saved: the picture starts again.
TEST_F(HostileWire, ShortOrUnboundedRangeRestarts) {
    const std::string pic = Asset("photo-01.jpg");
    const size_t n = pic.size();
    fs::create_directories(Album());
    const std::vector<TWirePicture> pictures{
        {"short.jpg", {{Partial(pic, 1000, n - 2, std::to_string(n))}, {Ok(pic)}}},
        {"star.jpg", {{Partial(pic, 1000, n - 1, "*")}, {Ok(pic)}}},
        {"elsewhere.jpg", {{Partial(pic, 500, n - 1, std::to_string(n))}, {Ok(pic)}}},
        {"exact.jpg", {{Partial(pic, 1000, n - 1, std::to_string(n))}}},
    };
    for (const TWirePicture& p : pictures)
        WriteLeftPart(Album() / PartName(p.Name), pic.substr(0, 1000));
    TGetRun run = Run(pictures, {"-j", "2", "--retries", "0"});
    EXPECT_EQ(run.Status, 0) << run.Err;
    for (const TWirePicture& p : pictures) {
        EXPECT_EQ(ReadWhole(Album() / p.Name), pic) << p.Name;
        EXPECT_FALSE(fs::exists(Album() / PartName(p.Name))) << p.Name;
    }
    EXPECT_EQ(Requests("/short.jpg bytes=1000-"), 1u);
    EXPECT_EQ(Requests("/short.jpg -"), 1u);
    EXPECT_EQ(PictureEntry(run.Report, "exact.jpg")->value("resumed", false), true);
    EXPECT_EQ(PictureEntry(run.Report, "short.jpg")->value("resumed", false), false);
}

// A kept connection that the server closes without a word, as the next
// request goes out, costs no retry: the request goes again on a new one.
TEST_F(HostileWire, StaleKeptConnectionIsAskedAgain) {
    const std::string pic = Asset("photo-01.jpg");
    const std::vector<TWirePicture> pictures{
        {"resumed.jpg", {{Partial(pic, 1000, pic.size() - 1, std::to_string(pic.size())), "keep"}}},
        {"first.jpg", {{Ok(pic), "keep"}}},
        {"second.jpg", {{"", "silent"}, {Ok(pic), "keep"}}},
        {"third.jpg", {{"", "silent"}, {"", "silent"}, {Ok(pic), "keep"}}},
    };
    fs::create_directories(Album());
    WriteLeftPart(Album() / PartName("resumed.jpg"), pic.substr(0, 1000));
    TGetRun run = Run(pictures, {"-j", "1", "--retries", "0"});
    EXPECT_EQ(ReadWhole(Album() / "resumed.jpg"), pic);
    // The next request on the kept connection carries its own head, not the range before it.
    EXPECT_EQ(Requests("/resumed.jpg bytes=1000-"), 1u);
    EXPECT_EQ(Requests("/first.jpg -"), 1u);
    // The second silent close in a row is a failure of its own.
    EXPECT_EQ(run.Status, 1) << run.Err;
    EXPECT_EQ(ReadWhole(Album() / "first.jpg"), pic);
    EXPECT_EQ(ReadWhole(Album() / "second.jpg"), pic);
    EXPECT_EQ((*PictureEntry(run.Report, "second.jpg"))["attempts"], 1);
    EXPECT_EQ((*PictureEntry(run.Report, "third.jpg"))["outcome"], "failed");
    EXPECT_FALSE(fs::exists(Album() / "third.jpg"));
    EXPECT_EQ(Requests("/second.jpg"), 2u);
    EXPECT_EQ(Requests("/third.jpg"), 2u);
}

// Addresses and names the program refuses itself: no request, no retry,
// nothing on the disk, the control characters escaped.
TEST_F(HostileWire, RefusedLocallyWithoutRequests) {
    const std::string pic = Asset("photo-01.jpg");
    const std::vector<TWirePicture> pictures{
        {"", {{Ok(pic)}}, "b1/wire-01/split\r\nX-Injected: 1.jpg"},
        {"", {{Ok(pic)}}, "b1/wire-01/esc\x1b[31mred.jpg"},
        {"", {{Ok(pic)}}, "b1:99999/wire-01/port.jpg"},
        {"", {{Ok(pic)}}, "b1/wire-01/" + PartName("x.jpg")},
        {"fine.jpg", {{Ok(pic)}}},
    };
    TGetRun run = Run(pictures, {"--retries", "3"});
    EXPECT_EQ(run.Status, 1) << run.Err;
    EXPECT_EQ(FilesIn(Scratch.Path() / "out"),
              (std::set<std::string>{"Pic/线路/线路.txt", "Pic/线路/fine.jpg"}));
    EXPECT_EQ(run.Report["totals"]["failed"], 4);
    for (const auto& p : run.Report["albums"][0]["pictures"])
        if (p["outcome"] == "failed") {
            EXPECT_LE(p["attempts"].get<int>(), 1) << p.dump();
        }
    EXPECT_EQ(Requests("wire-01/"), 1u);
    EXPECT_EQ(run.Err.find('\x1b'), std::string::npos);
    EXPECT_EQ(run.Err.find("\r"), std::string::npos);
    EXPECT_NE(run.Err.find("esc\\x1B[31mred.jpg"), std::string::npos) << run.Err;
}

// Refused replies with huge bodies, four at once: the bodies are not kept.
TEST_F(HostileWire, RefusedBodiesTakeNoMemory) {
    std::vector<TWirePicture> pictures;
    for (int k = 0; k < 4; ++k)
        pictures.push_back(
            {"big-404-" + std::to_string(k) + ".jpg",
             {{"HTTP/1.1 404 Not Found\r\nContent-Length: 60000000\r\n\r\n", "close", 60000000}}});
    TGetRun run = Run(pictures, {"-j", "4", "--retries", "0"});
    EXPECT_EQ(run.Status, 1) << run.Err;
    EXPECT_EQ(run.Report["totals"]["failed"], 4);
    RecordProperty("PeakKb", std::to_string(run.PeakKb));
    std::printf("peak memory with four 60 MB refused bodies: %ld KB\n", run.PeakKb);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' own memory hides the program's";
#endif
    EXPECT_LT(run.PeakKb, 40 * 1024);
}

// A name from the server with a control character never names a folder.
TEST(HostileWireNames, AlbumNameWithControlCharacterIsRefused) {
    TScratch scratch;
    const std::string pic = Asset("photo-01.jpg");
    const fs::path wire = WriteWire(scratch.Path(), {{"a.jpg", {{Ok(pic)}}}}, "bad\x1b]0;title\x07name");
    TServer server(scratch.Path(), {"--wire", wire.string()});
    ASSERT_GT(server.Port(), 0);
    TGetRun run = RunGet(scratch.Path(), server, {"--dest", "out", "--json", "report.json", "wire"});
    EXPECT_EQ(run.Status, 1);
    EXPECT_TRUE(FilesIn(scratch.Path() / "out").empty());
    EXPECT_FALSE(fs::exists(scratch.Path() / "out/Pic") && !fs::is_empty(scratch.Path() / "out/Pic"));
    EXPECT_EQ(run.Err.find('\x1b'), std::string::npos);
    EXPECT_NE(run.Err.find("bad\\x1B]0;title\\x07name"), std::string::npos) << run.Err;
    EXPECT_EQ(run.Report["albums"][0]["name"], "bad\\x1B]0;title\\x07name");
}

// The report is written also when the run ends at the account's lookup.
TEST(HostileWireNames, ReportWrittenWhenLookupFails) {
    TScratch scratch;
    TServer server(scratch.Path(), {});
    ASSERT_GT(server.Port(), 0);
    TGetRun run = RunGet(scratch.Path(), server, {"--dest", "out", "--json", "report.json", "nobody"});
    EXPECT_EQ(run.Status, 1);
    ASSERT_TRUE(run.Report.is_object()) << run.Err;
    EXPECT_EQ(run.Report["account"], "nobody");
    EXPECT_EQ(run.Report["accounts"][0]["error"], "HTTP/1.1 404 Not Found");
    EXPECT_EQ(run.Report["albums"].size(), 0u);
    EXPECT_FALSE(run.Report["interrupted"].get<bool>());
}

// 1500 picture hosts behind one proxy, with 1024 descriptors: the
// connections go to the proxy, a few per worker, not one per host.
TEST_F(HostileWire, ManyPictureHostsFewDescriptors) {
    std::vector<TWirePicture> pictures;
    for (int k = 1; k <= 1500; ++k) {
        const std::string name = "IMG_" + std::to_string(k) + ".jpg";
        pictures.push_back({"",
                            {{Ok("picture " + std::to_string(k)), "keep"}},
                            "h" + std::to_string(k) + "/wire-01/" + name});
    }
    TGetLimits limits;
    limits.OpenFiles = 1024;
    TGetRun run = Run(pictures, {"-j", "8", "--retries", "0", "-q"}, limits);
    EXPECT_EQ(run.Status, 0) << run.Err.substr(0, 2000);
    EXPECT_EQ(run.Report["totals"]["saved"], 1500);
    EXPECT_EQ(ReadWhole(Album() / "IMG_1500.jpg"), "picture 1500");
}

// The same for the size check of a file already there: a kept connection
// closed unanswered does not make the picture fetched again.
TEST_F(HostileWire, StaleKeptConnectionOnSizeCheck) {
    const std::string pic = Asset("photo-01.jpg");
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(pic.size()) + "\r\n\r\n";
    fs::create_directories(Album());
    for (const char* name : {"a.jpg", "b.jpg"})
        WriteWhole(Album() / name, pic);
    TGetRun run = Run({{"a.jpg", {{head, "keep"}}}, {"b.jpg", {{"", "silent"}, {head, "keep"}}}},
                      {"-j", "1", "--retries", "0"});
    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(run.Report["totals"]["skipped"], 2);
    size_t heads = 0, gets = 0;
    for (const std::string& line : Server->Requests()) {
        if (line.find("/b.jpg") == std::string::npos) continue;
        heads += line.rfind("HEAD ", 0) == 0;
        gets += line.rfind("GET ", 0) == 0;
    }
    EXPECT_EQ(heads, 2u);
    EXPECT_EQ(gets, 0u);
}

// A picture list that runs to the close far past the 64 MiB a page may
// hold: the album fails by name, and the memory stays near the cap, not a
// multiple of it.
TEST(HostileWireNames, OversizedPageStopsAtItsCap) {
    TScratch scratch;
    const fs::path wire = WriteWire(
        scratch.Path(), {{"a.jpg", {{Ok("x")}}}}, "线路",
        {{"/album/wire/pics-01.js", {{"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n", "close", 100000000}}}});
    TServer server(scratch.Path(), {"--wire", wire.string()});
    ASSERT_GT(server.Port(), 0);
    TGetRun run = RunGet(scratch.Path(), server, {"--dest", "out", "--json", "report.json", "wire"});
    EXPECT_EQ(run.Status, 1);
    EXPECT_NE(run.Err.find("album 线路: "), std::string::npos) << run.Err;
    EXPECT_EQ(run.Report["totals"]["albums_failed"], 1);
    std::printf("peak memory with a 100 MB picture list: %ld KB\n", run.PeakKb);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' own memory hides the program's";
#endif
    // The cap once, and the half-size buffer it grew from while it is copied.
    EXPECT_LT(run.PeakKb, 110 * 1024);
}

// A picture name longer than the file system holds is refused before any
// byte is fetched: no request, no part that could never be finished.
TEST_F(HostileWire, NameTooLongIsRefusedBeforeAnyRequest) {
    const std::string pic = Asset("photo-01.jpg");
    const std::string longName = std::string(296, 'n') + ".jpg";
    TGetRun run = Run({{longName, {{Ok(pic)}}}, {"fine.jpg", {{Ok(pic)}}}}, {"--retries", "2"});
    EXPECT_EQ(run.Status, 1) << run.Err;
    const nlohmann::json* refused = PictureEntry(run.Report, longName);
    ASSERT_NE(refused, nullptr);
    EXPECT_EQ((*refused)["outcome"], "failed");
    EXPECT_EQ((*refused)["attempts"], 0);
    EXPECT_NE((*refused)["message"].get<std::string>().find("\". File name too long"), std::string::npos)
        << refused->dump();
    EXPECT_EQ(Requests(longName), 0u);
    EXPECT_EQ(FilesIn(Scratch.Path() / "out"),
              (std::set<std::string>{"Pic/线路/线路.txt", "Pic/线路/fine.jpg"}));
}

namespace {

// The temporary name of a file written whole (the album's description).
std::string TemporaryName(const std::string& utf8Name) {
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : Utf8ToGbk(utf8Name))
        hash = (hash ^ c) * 1099511628211ull;
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return ".quillora-" + std::string(hex) + ".tmp";
}

} // namespace

// Links planted at the predictable temporary names, by someone who wants
// another file truncated or overwritten: the program never writes through
// them, and the files they point at stay as they were.
TEST_F(HostileWire, PlantedLinksAtTemporaryNamesAreNeverFollowed) {
    const std::string pic = Asset("photo-01.jpg");
    const fs::path keep = Scratch.Path() / "out/keep";
    fs::create_directories(keep);
    fs::create_directories(Album());
    WriteWhole(keep / "symlinked.txt", "precious 1");
    WriteWhole(keep / "hardlinked.txt", "precious 2");
    fs::create_symlink(keep / "symlinked.txt", Album() / PartName("sym.jpg"));
    fs::create_hard_link(keep / "hardlinked.txt", Album() / PartName("hard.jpg"));
    fs::create_symlink(keep / "symlinked.txt", Album() / TemporaryName("线路.txt"));
    TGetRun run = Run({{"sym.jpg", {{Ok(pic)}}}, {"hard.jpg", {{Ok(pic)}}}}, {"--retries", "0"});
    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(ReadWhole(keep / "symlinked.txt"), "precious 1");
    EXPECT_EQ(ReadWhole(keep / "hardlinked.txt"), "precious 2");
    EXPECT_TRUE(ReadWhole(Album() / "sym.jpg") == pic);
    EXPECT_TRUE(ReadWhole(Album() / "hard.jpg") == pic);
    EXPECT_EQ(ReadWhole(Album() / "线路.txt"), "wire");
    // The parts' names are the program's own: what stood there is gone (not what it pointed at).
    EXPECT_FALSE(fs::exists(fs::symlink_status(Album() / PartName("sym.jpg"))));
    EXPECT_FALSE(fs::exists(Album() / PartName("hard.jpg")));
}

// A resume answered by a 200 that cannot be proven whole: the part it asked
// to continue stays as it was, and the next run continues it.
TEST_F(HostileWire, RefusedWholeReplyToAResumeKeepsThePart) {
    const std::string pic = Asset("photo-01.jpg");
    const size_t n = pic.size();
    fs::create_directories(Album());
    const fs::path part = Album() / PartName("p.jpg");
    WriteLeftPart(part, pic.substr(0, 1000));
    TGetRun refused =
        Run({{"p.jpg", {{"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + pic}}}}, {"--retries", "0"});
    EXPECT_EQ(refused.Status, 1) << refused.Err;
    EXPECT_EQ(Requests("/p.jpg bytes=1000-"), 1u);
    EXPECT_EQ(ReadWhole(part), pic.substr(0, 1000));
    // A service of its own for the next run (it reports its port anew).
    Server.reset();
    fs::remove(Scratch.Path() / "server/port");
    TGetRun resumed = Run({{"p.jpg", {{Partial(pic, 1000, n - 1, std::to_string(n))}}}}, {"--retries", "0"});
    EXPECT_EQ(resumed.Status, 0) << resumed.Err;
    EXPECT_TRUE(ReadWhole(Album() / "p.jpg") == pic);
    EXPECT_FALSE(fs::exists(part));
    EXPECT_EQ(Requests("/p.jpg bytes=1000-"), 2u); // one a run, in the log both services kept
    EXPECT_EQ(Requests("/p.jpg -"), 0u);
}

// A part is continued only as far as it is known to have reached the disk:
// one never synced (its program died before it could say) starts again, and
// bytes past the last sync are dropped before the resume.
TEST_F(HostileWire, PartsAreTrustedOnlyAsFarAsTheyWereSynced) {
    const std::string pic = Asset("photo-01.jpg");
    const size_t n = pic.size();
    fs::create_directories(Album());
    WriteWhole(Album() / "probe", "");
    if (::setxattr((Album() / "probe").c_str(), "user.quillora.probe", "1", 1, 0) != 0 && errno == ENOTSUP)
        GTEST_SKIP() << "this file system keeps no attributes: its parts are trusted by their length";
    fs::remove(Album() / "probe");
    WriteWhole(Album() / PartName("never.jpg"), std::string(1000, '\0'));
    WriteLeftPart(Album() / PartName("tail.jpg"), pic.substr(0, 1000) + std::string(700, '\0'), 1000);
    WriteLeftPart(Album() / PartName("whole.jpg"), pic.substr(0, 1000));
    TGetRun run = Run({{"never.jpg", {{Ok(pic)}}},
                       {"tail.jpg", {{Partial(pic, 1000, n - 1, std::to_string(n))}}},
                       {"whole.jpg", {{Partial(pic, 1000, n - 1, std::to_string(n))}}}},
                      {"--retries", "0"});
    EXPECT_EQ(run.Status, 0) << run.Err;
    for (const char* name : {"never.jpg", "tail.jpg", "whole.jpg"}) {
        EXPECT_TRUE(ReadWhole(Album() / name) == pic) << name;
        EXPECT_FALSE(fs::exists(Album() / PartName(name))) << name;
    }
    EXPECT_EQ(Requests("/never.jpg -"), 1u);
    EXPECT_EQ(Requests("/tail.jpg bytes=1000-"), 1u);
    EXPECT_EQ(Requests("/whole.jpg bytes=1000-"), 1u);
    EXPECT_EQ(::getxattr((Album() / "whole.jpg").c_str(), "user.quillora.synced", nullptr, 0), -1)
        << "the finished picture keeps the part's marks";
}

// A whole picture that cannot take its name (a folder stands there) fails
// by that name, and its part goes: no later run could finish it either.
TEST_F(HostileWire, PartThatCannotTakeItsNameIsRemoved) {
    const std::string pic = Asset("photo-01.jpg");
    fs::create_directories(Album() / "taken.jpg");
    TGetRun run = Run({{"taken.jpg", {{Ok(pic)}}}, {"fine.jpg", {{Ok(pic)}}}}, {"--retries", "2"});
    EXPECT_EQ(run.Status, 1) << run.Err;
    const nlohmann::json* taken = PictureEntry(run.Report, "taken.jpg");
    ASSERT_NE(taken, nullptr);
    EXPECT_EQ((*taken)["outcome"], "failed");
    EXPECT_EQ((*taken)["attempts"], 1);
    EXPECT_NE((*taken)["message"].get<std::string>().find("taken.jpg\". Is a directory"), std::string::npos)
        << taken->dump();
    EXPECT_EQ(FilesIn(Scratch.Path() / "out"),
              (std::set<std::string>{"Pic/线路/线路.txt", "Pic/线路/fine.jpg"}));
    EXPECT_TRUE(fs::is_directory(Album() / "taken.jpg"));
}
