#include "GetHarness.h"

#include "support/TestServers.h"

#include <algorithm>
#include <linux/capability.h>
#include <sys/prctl.h>

namespace {

// The path of the request that makes sure nginx's log has caught up.
constexpr const char* LogMark = "/.quillora-log-mark";

} // namespace

TServer::TServer(const fs::path& folder, std::vector<std::string> extra, bool nginx)
    : FFolder(folder / "server"), FNginx(nginx) {
    fs::create_directories(FFolder);
    if (nginx)
        StartNginx();
    else
        StartSample(std::move(extra));
}

void TServer::StartSample(std::vector<std::string> extra) {
    const fs::path portFile = FFolder / "port";
    std::vector<std::string> argv{"python3",       SourcePath("tools/sample-service/service.py"),
                                  "--port-file",   portFile.string(),
                                  "--lifetime",    "300",
                                  "--request-log", (FFolder / "requests.log").string()};
    argv.insert(argv.end(), extra.begin(), extra.end());
    FProcess = std::make_unique<TChild>(argv);
    FPort = WaitForReportedPort(portFile);
}

void TServer::StartNginx() {
    const fs::path tree = FFolder / "tree";
    if (!ExportSampleService(tree)) return;
    FPort = StartOnSomePort([&](int port) {
        std::ofstream(FFolder / "nginx.conf")
            << SampleNginxConfig(FFolder, tree, port, FFolder / "requests.log");
        FProcess = std::make_unique<TChild>(std::vector<std::string>{"nginx", "-p", FFolder.string(), "-c",
                                                                     (FFolder / "nginx.conf").string()});
        return FProcess->Pid();
    });
}

std::vector<std::string> TServer::Requests() const {
    // The sample service logs a request before it answers it. nginx logs
    // after its last write and before it closes, one event after another in
    // its single process: once a request of ours is answered and closed, every
    // request answered before it is in the log.
    if (FNginx) ExchangeOnce(FPort, "GET " + std::string(LogMark) + " HTTP/1.0\r\nHost: mark\r\n\r\n");
    std::vector<std::string> lines;
    for (std::string& line : TextLines(ReadWhole(FFolder / "requests.log")))
        if (line.find(LogMark) == std::string::npos) lines.push_back(std::move(line));
    return lines;
}

void TServer::ForgetRequests() {
    Requests();
    // nginx keeps its log open: empty it in place.
    fs::resize_file(FFolder / "requests.log", 0);
}

std::unique_ptr<TChild> StartGet(const fs::path& folder, const TServer& server, std::vector<std::string> args,
                                 TGetLimits limits) {
    std::vector<std::string> argv{std::string(QUILLORA_BIN_DIR) + "/quillora-get"};
    if (std::find(args.begin(), args.end(), "--proxy") == args.end()) {
        argv.push_back("--proxy");
        argv.push_back(server.Proxy());
    }
    argv.insert(argv.end(), args.begin(), args.end());
    ::unsetenv("http_proxy");
    ::unsetenv("HTTP_PROXY");
    const fs::path cwd = fs::current_path();
    fs::current_path(folder);
    auto child = std::make_unique<TChild>(argv, folder / "stdout.txt", folder / "stderr.txt", [limits] {
        if (limits.FileSize > 0) {
            ::signal(SIGXFSZ, SIG_IGN);
            const rlimit size{limits.FileSize, limits.FileSize};
            ::setrlimit(RLIMIT_FSIZE, &size);
        }
        // Root writes any file: without these rights a read-only one stays read-only for it too.
        if (limits.NoOverride)
            for (const int right : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER})
                ::prctl(PR_CAPBSET_DROP, right, 0, 0, 0);
        if (limits.OpenFiles > 0) {
            const rlimit files{limits.OpenFiles, limits.OpenFiles};
            ::setrlimit(RLIMIT_NOFILE, &files);
        }
    });
    fs::current_path(cwd);
    return child;
}

std::string SchemaViolations(const fs::path& report) {
    const fs::path out = report.parent_path() / "schema-check.txt";
    // Debian's Python, which has python3-jsonschema (scripts/setup.sh), whatever else is on the PATH.
    const std::string python = fs::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
    const std::string command = python + " '" + SourcePath("tests/tools/get/validate_report.py") + "' '" +
                                SourcePath("docs/quillora-get-report.schema.json") + "' '" + report.string() +
                                "' >'" + out.string() + "' 2>&1";
    const int status = std::system(command.c_str());
    std::string text = ReadWhole(out);
    fs::remove(out);
    return status == 0 ? std::string() : text.empty() ? "the validator did not run" : text;
}

TGetRun FinishGet(const fs::path& folder, TChild& child) {
    TGetRun run;
    run.Status = child.Wait();
    run.PeakKb = child.PeakKb();
    run.Out = ReadWhole(folder / "stdout.txt");
    run.Err = ReadWhole(folder / "stderr.txt");
    const fs::path report = folder / "report.json";
    if (fs::exists(report)) {
        // Every report the tests see must keep the documented shape.
        const std::string violations = SchemaViolations(report);
        EXPECT_TRUE(violations.empty()) << violations;
        run.Report = nlohmann::json::parse(ReadWhole(report), nullptr, false);
        fs::remove(report);
    }
    return run;
}

TGetRun RunGet(const fs::path& folder, const TServer& server, std::vector<std::string> args,
               TGetLimits limits) {
    const auto start = std::chrono::steady_clock::now();
    auto child = StartGet(folder, server, std::move(args), limits);
    TGetRun run = FinishGet(folder, *child);
    run.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return run;
}
