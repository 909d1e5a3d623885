// quillora-get over https against the sample service: an account whose album
// list is on https, an account that moved to https (every picture behind a
// 301), with the service's CA trusted by --cacert, not trusted, and with
// verification turned off by name.

#include "GetHarness.h"
#include "WireScript.h"

#include <openssl/x509_vfy.h>

#include <algorithm>
#include <map>

namespace {

std::map<std::string, std::string> FilesUnder(const fs::path& dest) {
    std::map<std::string, std::string> files;
    if (!fs::exists(dest)) return files;
    for (const auto& entry : fs::recursive_directory_iterator(dest))
        if (entry.is_regular_file()) files[fs::relative(entry.path(), dest).string()] = ReadWhole(entry.path());
    return files;
}

// The pictures of the two https accounts, by file under Pic/.
std::map<std::string, std::string> PicturesOf(const std::string& account) {
    std::map<std::string, std::string> files;
    auto add = [&](const std::string& album, int first, int n, const char* png = nullptr) {
        int k = 0;
        for (; k < n; ++k) {
            char name[32], asset[32];
            std::snprintf(name, sizeof name, "IMG_%04d.jpg", k + 1);
            std::snprintf(asset, sizeof asset, "photo-%02d.jpg", first + k);
            files["Pic/" + album + "/" + name] = Asset(asset);
        }
        if (png) files["Pic/" + album + "/IMG_" + std::string("000") + std::to_string(k + 1) + ".png"] = Asset(png);
    };
    if (account == "secure") {
        add("加密", 1, 3);
        add("加密二", 4, 2, "photo-01.png");
    } else {
        add("搬家", 1, 3);
        add("搬家二", 4, 2);
    }
    return files;
}

// The pictures saved under dest (album descriptions left out).
std::map<std::string, std::string> PicturesIn(const fs::path& dest) {
    std::map<std::string, std::string> files = FilesUnder(dest);
    for (auto it = files.begin(); it != files.end();)
        it = it->first.size() > 4 && it->first.compare(it->first.size() - 4, 4, ".txt") == 0 ? files.erase(it)
                                                                                            : std::next(it);
    return files;
}

size_t Count(const std::vector<std::string>& lines, const std::string& start) {
    return static_cast<size_t>(
        std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(start, 0) == 0; }));
}

struct THttpsService {
    explicit THttpsService(const TScratch& scratch)
        : CA(scratch.Path() / "service-ca.pem"), Server(scratch.Path(), {"--tls-ca", CA.string()}) {}
    fs::path CA;
    TServer Server;
};

const std::string Untrusted = std::string("TLS handshake with photo.quillora.example failed: ") +
                              X509_verify_cert_error_string(X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY);

} // namespace

TEST(QuilloraGetHttps, SecureAccountReadsItsAlbumListOverTls) {
    TScratch scratch;
    THttpsService service(scratch);
    ASSERT_GT(service.Server.Port(), 0);
    TGetRun run = RunGet(scratch.Path(), service.Server,
                         {"--cacert", service.CA.string(), "--dest", "out", "--json", "report.json", "secure"});
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(PicturesIn(scratch.Path() / "out"), PicturesOf("secure"));
    const std::vector<std::string> seen = service.Server.Requests();
    EXPECT_EQ(Count(seen, "CONNECT photo.quillora.example :443"), 1u);
    EXPECT_EQ(Count(seen, "GET photo.quillora.example /album/secure/list.js"), 1u);
    // The pictures themselves are plain http addresses.
    for (const auto& album : run.Report["albums"])
        for (const auto& picture : album["pictures"]) EXPECT_EQ(picture["tls"], false);
}

TEST(QuilloraGetHttps, MovedAccountFollowsEveryRedirectToHttps) {
    TScratch scratch;
    THttpsService service(scratch);
    ASSERT_GT(service.Server.Port(), 0);
    TGetRun run = RunGet(scratch.Path(), service.Server,
                         {"--cacert", service.CA.string(), "--dest", "out", "--json", "report.json", "moved"});
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(PicturesIn(scratch.Path() / "out"), PicturesOf("moved"));
    EXPECT_EQ(run.Report["totals"]["saved"], 5);
    for (const auto& album : run.Report["albums"])
        for (const auto& picture : album["pictures"]) EXPECT_EQ(picture["tls"], true) << picture.dump();
    // Each picture and list was asked for in clear once, then over TLS.
    const std::vector<std::string> seen = service.Server.Requests();
    EXPECT_EQ(Count(seen, "GET photo.quillora.example /album/moved/pics-"), 4u);
    EXPECT_EQ(Count(seen, "GET imgb"), 10u);
    EXPECT_GE(Count(seen, "CONNECT "), 2u);
}

TEST(QuilloraGetHttps, WithoutTheServicesCaNothingIsSaved) {
    struct TCase {
        const char* Account;
        int Status;
    };
    for (const TCase c : {TCase{"secure", 1}, TCase{"moved", 1}}) {
        SCOPED_TRACE(c.Account);
        TScratch scratch;
        THttpsService service(scratch);
        ASSERT_GT(service.Server.Port(), 0);
        TGetRun run = RunGet(scratch.Path(), service.Server, {"--dest", "out", c.Account});
        EXPECT_EQ(run.Status, c.Status) << run.Err;
        EXPECT_NE(run.Err.find(Untrusted), std::string::npos) << run.Err;
        // No picture, no part, no album folder: the lists never came.
        EXPECT_TRUE(FilesUnder(scratch.Path() / "out").empty());
    }
}

TEST(QuilloraGetHttps, InsecureSaysSoOnceAndSaves) {
    TScratch scratch;
    THttpsService service(scratch);
    ASSERT_GT(service.Server.Port(), 0);
    TGetRun run = RunGet(scratch.Path(), service.Server, {"-k", "--dest", "out", "-j", "2", "moved"});
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(PicturesIn(scratch.Path() / "out"), PicturesOf("moved"));
    const std::string warning = "quillora-get: warning: certificates are not verified (--insecure)\n";
    EXPECT_EQ(run.Err.find(warning), 0u) << run.Err;
    EXPECT_EQ(run.Err.find(warning, 1), std::string::npos) << run.Err;
}

TEST(QuilloraGetHttps, AnUnreadableCaBundleIsAUsageError) {
    TScratch scratch;
    THttpsService service(scratch);
    WriteWhole(scratch.Path() / "bad.pem", "no certificate here\n");
    TGetRun run = RunGet(scratch.Path(), service.Server, {"--cacert", "bad.pem", "--dest", "out", "moved"});
    EXPECT_EQ(run.Status, 2);
    EXPECT_EQ(run.Err.rfind("quillora-get: --cacert: Cannot read the CA certificates in bad.pem: ", 0), 0u)
        << run.Err;
    EXPECT_FALSE(fs::exists(scratch.Path() / "out"));
}

namespace {

std::string Found(const std::string& location) {
    return "HTTP/1.1 302 Found\r\nLocation: " + location + "\r\nContent-Length: 0\r\n\r\n";
}

} // namespace

TEST(QuilloraGetHttps, RedirectsOutOfTheServiceOrInALoopFailThatPictureOnly) {
    TScratch scratch;
    const std::string host = "http://imgb1.photo.quillora.example/wire-01/";
    const fs::path wire =
        WriteWire(scratch.Path(), {{"away.jpg", {{Found("http://elsewhere.example/away.jpg"), "keep"}}},
                                   {"loop.jpg", {{Found(host + "loop.jpg"), "keep"}}},
                                   {"hop.jpg", {{Found("/wire-01/target.jpg"), "keep"}}},
                                   {"target.jpg", {{Ok("target"), "keep"}}}});
    TServer server(scratch.Path(), {"--wire", wire.string()});
    ASSERT_GT(server.Port(), 0);
    TGetRun run = RunGet(scratch.Path(), server, {"--dest", "out", "--json", "report.json", "-j", "1", "wire"});
    EXPECT_EQ(run.Status, 1) << run.Err;
    std::map<std::string, std::string> messages;
    for (const auto& picture : run.Report["albums"][0]["pictures"]) {
        const std::string url = picture["url"];
        messages[url.substr(url.rfind('/') + 1)] =
            std::string(picture["outcome"]) + " " + picture.value("message", std::string());
    }
    EXPECT_EQ(messages["away.jpg"],
              "failed Redirect to http://elsewhere.example/away.jpg refused: it leaves photo.quillora.example");
    EXPECT_EQ(messages["loop.jpg"], "failed Too many redirects: more than 5, the last to " + host + "loop.jpg");
    EXPECT_EQ(messages["hop.jpg"], "saved ");
    EXPECT_EQ(ReadWhole(scratch.Path() / "out/Pic/线路/hop.jpg"), "target");
    // Refused redirects are not asked again: one request each, six for the loop.
    const std::vector<std::string> seen = server.Requests();
    EXPECT_EQ(Count(seen, "GET imgb1.photo.quillora.example /wire-01/away.jpg"), 1u);
    EXPECT_EQ(Count(seen, "GET imgb1.photo.quillora.example /wire-01/loop.jpg"), 6u);
}

// A picture reached over https is never taken from plain HTTP nor from
// another port, on the service's own hosts too: nothing is saved, the report
// and the terminal name the picture and the rule, and the refused address
// is never asked.
TEST(QuilloraGetHttps, RedirectsDownToHttpOrToAnotherPortAreRefused) {
    TScratch scratch;
    const std::string plain = "http://imgb1.photo.quillora.example/wire-01/";
    const std::string secure = "https://imgb1.photo.quillora.example/wire-01/";
    const fs::path wire = WriteWire(
        scratch.Path(),
        {{"down.jpg", {{Found(secure + "down.jpg"), "keep"}, {Found(plain + "down-target.jpg"), "keep"}}},
         {"port.jpg", {{Found("http://imgb1.photo.quillora.example:8080/wire-01/port.jpg"), "keep"}}},
         {"tls-port.jpg",
          {{Found(secure + "tls-port.jpg"), "keep"},
           {Found("https://imgb1.photo.quillora.example:8443/wire-01/tls-port.jpg"), "keep"}}},
         {"up.jpg", {{Found(secure + "up.jpg"), "keep"}, {Ok("over tls"), "keep"}}}});
    const fs::path ca = scratch.Path() / "service-ca.pem";
    TServer server(scratch.Path(), {"--wire", wire.string(), "--tls-ca", ca.string()});
    ASSERT_GT(server.Port(), 0);
    TGetRun run = RunGet(scratch.Path(), server,
                         {"--cacert", ca.string(), "--dest", "out", "--json", "report.json", "-j", "1",
                          "--retries", "2", "--backoff", "1", "wire"});
    EXPECT_EQ(run.Status, 1) << run.Err;
    std::map<std::string, std::string> messages;
    for (const auto& picture : run.Report["albums"][0]["pictures"]) {
        const std::string url = picture["url"];
        messages[url.substr(url.rfind('/') + 1)] =
            std::string(picture["outcome"]) + " " + picture.value("message", std::string());
    }
    const std::map<std::string, std::string> expected{
        {"down.jpg", "failed Redirect to " + plain + "down-target.jpg refused: it leaves https"},
        {"port.jpg", "failed Redirect to http://imgb1.photo.quillora.example:8080/wire-01/port.jpg refused: "
                     "it changes the "
                     "port"},
        {"tls-port.jpg",
         "failed Redirect to https://imgb1.photo.quillora.example:8443/wire-01/tls-port.jpg refused: it "
         "changes the port"},
        {"up.jpg", "saved "}};
    EXPECT_EQ(messages, expected);
    for (const auto& [name, message] : expected)
        if (name != "up.jpg") {
            EXPECT_NE(run.Err.find(message.substr(7)), std::string::npos) << name << run.Err;
        }
    EXPECT_EQ(
        FilesUnder(scratch.Path() / "out"),
        (std::map<std::string, std::string>{{"Pic/线路/up.jpg", "over tls"}, {"Pic/线路/线路.txt", "wire"}}));
    // Refused for good: asked once over http and once over https, never where it pointed.
    const std::vector<std::string> seen = server.Requests();
    EXPECT_EQ(Count(seen, "GET imgb1.photo.quillora.example /wire-01/down.jpg"), 2u);
    EXPECT_EQ(Count(seen, "GET imgb1.photo.quillora.example /wire-01/down-target.jpg"), 0u);
    EXPECT_EQ(Count(seen, "GET imgb1.photo.quillora.example /wire-01/port.jpg"), 1u);
    EXPECT_EQ(Count(seen, "GET imgb1.photo.quillora.example /wire-01/tls-port.jpg"), 2u);
}
