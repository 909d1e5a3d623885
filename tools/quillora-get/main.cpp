// quillora-get: the command-line downloader. The same lookup, parsers, file
// naming and HTTP client as the window; a worker pool, resumable files,
// retries and a JSON report around them.

#include "DownloadRun.h"
#include "HelpText.h"
#include "RunReport.h"
#include "Shown.h"
#include "core/FileUtils.h"
#include "core/Gbk.h"
#include "core/TextUtils.h"
#include "http/ClientSettings.h"

#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

std::atomic<bool> StopRequested{false};

void OnStopSignal(int) {
    StopRequested.store(true);
}

void InstallStopHandlers() {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

struct TRawOptions {
    std::string Account, Dest = ".", Archive, Json, Proxy;
    std::vector<std::string> Albums;
    bool Help = false, Quiet = false, Verbose = false;
};

void DefineOptions(CLI::App& app, TRawOptions& raw, TGetOptions& options) {
    app.set_help_flag();
    app.add_flag("-h,--help", raw.Help);
    app.add_option("ACCOUNT", raw.Account);
    app.add_flag("--list", options.List);
    // One value per --album, so that "--album 1 ACCOUNT" keeps its account.
    app.add_option("--album", raw.Albums)->expected(1)->allow_extra_args(false);
    app.add_option("--dest", raw.Dest);
    app.add_option("-j,--jobs", options.Jobs)->check(CLI::Range(1, 64));
    app.add_option("--retries", options.Retries)->check(CLI::Range(0, 100));
    app.add_option("--backoff", options.BackoffMs)->check(CLI::Range(0, 3600000));
    app.add_option("--max-wait", options.MaxWaitSeconds)->check(CLI::Range(0.0, 86400.0));
    app.add_option("--archive", raw.Archive);
    app.add_option("--json", raw.Json);
    app.add_flag("-q,--quiet", raw.Quiet);
    app.add_flag("-v,--verbose", raw.Verbose);
    app.add_option("--proxy", raw.Proxy);
    app.add_option("--timeout", options.TimeoutSeconds)->check(CLI::Range(1, 86400));
}

// Texts of the command line are UTF-8; the program's are GBK.
void TakeOptions(const TRawOptions& raw, TGetOptions& options) {
    options.Account = TextTrim(Utf8ToGbk(raw.Account));
    if (options.Account.empty()) throw EGetUsage("An account name is needed (see --help)");
    for (const std::string& album : raw.Albums)
        options.Albums.push_back(Utf8ToGbk(album));
    // Absolute, as the window's folders are: folder creation walks up from it.
    options.Dest = ExpandFileName(FileNameToGbk(raw.Dest.empty() ? "." : raw.Dest));
    if (options.Dest.back() != '/') options.Dest += '/';
    options.ArchiveFile = FileNameToGbk(raw.Archive);
    options.JsonFile = raw.Json == "-" ? raw.Json : FileNameToGbk(raw.Json);
    options.Verbosity = raw.Quiet ? 0 : raw.Verbose ? 2 : 1;
    if (!raw.Proxy.empty()) {
        try {
            ParseProxySetting(raw.Proxy);
        } catch (const Exception& e) {
            throw EGetUsage("--proxy: " + e.Message());
        }
        ::setenv("http_proxy", raw.Proxy.c_str(), 1);
    }
    SetClientReadTimeout(options.TimeoutSeconds * 1000);
}

void PrintAlbumList() {
    for (size_t i = 0; i < AlbumList.size(); ++i) {
        const TPList& album = AlbumList[i];
        std::string desc = album.Desc.substr(0, album.Desc.find_first_of("\r\n"));
        std::printf("%zu\t%s\t%d\t%s\n", i + 1, GbkToUtf8(album.Name).c_str(), album.PicCount,
                    GbkToUtf8(desc).c_str());
    }
}

int ExitStatus(const TRunResult& run) {
    if (run.Interrupted) return 130;
    for (const TAlbumJob& album : run.Albums)
        if (!album.Error.empty()) return 1;
    for (const TPictureJob& job : run.Pictures)
        if (job.Outcome != TOutcome::Saved && job.Outcome != TOutcome::Skipped) return 1;
    return 0;
}

int Download(const TGetOptions& options) {
    const std::vector<size_t> selection = SelectAlbums(options.Albums);
    std::unique_ptr<TArchive> archive;
    if (!options.ArchiveFile.empty()) archive = std::make_unique<TArchive>(options.ArchiveFile);
    std::FILE* out = options.JsonFile == "-" ? stderr : stdout;
    const auto start = std::chrono::steady_clock::now();
    TRunResult empty;
    TProgress planning(out, false, options.Verbosity, empty);
    TRunResult run = PlanRun(options.Dest, selection, &planning, StopRequested);
    TProgress progress(out, ::isatty(::fileno(out)) != 0, options.Verbosity, run);
    RunPictures(run, options, archive.get(), StopRequested, progress);
    run.Interrupted = run.Interrupted || StopRequested.load();
    run.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    WriteReportIfAsked(MakeRunReport(run, options), options);
    return ExitStatus(run);
}

// -1 when the run may go on; otherwise the exit status.
int ParseCommandLine(int argc, char** argv, TGetOptions& options) {
    CLI::App app{"quillora-get"};
    TRawOptions raw;
    DefineOptions(app, raw, options);
    try {
        app.parse(argc, argv);
        if (raw.Help) {
            std::fputs(HelpText, stdout);
            return 0;
        }
        TakeOptions(raw, options);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "quillora-get: %s (see --help)\n", e.what());
        return 2;
    } catch (const EGetUsage& e) {
        std::fprintf(stderr, "quillora-get: %s\n", GbkToUtf8(e.Message()).c_str());
        return 2;
    }
    return -1;
}

} // namespace

int main(int argc, char** argv) {
    TGetOptions options;
    if (const int status = ParseCommandLine(argc, argv, options); status >= 0) return status;
    InstallStopHandlers();
    try {
        LookupAccount(options.Account);
    } catch (const Exception& e) {
        std::fprintf(stderr, "quillora-get: account %s: %s\n", Shown(options.Account).c_str(),
                     Shown(e.Message()).c_str());
        if (!options.List)
            WriteReportIfAsked(LookupFailureReport(options, e.Message(), StopRequested), options);
        return StopRequested.load() ? 130 : 1;
    }
    if (options.List) {
        PrintAlbumList();
        return 0;
    }
    try {
        return Download(options);
    } catch (const EGetUsage& e) {
        std::fprintf(stderr, "quillora-get: %s\n", GbkToUtf8(e.Message()).c_str());
        return 2;
    } catch (const Exception& e) {
        std::fprintf(stderr, "quillora-get: %s\n", GbkToUtf8(e.Message()).c_str());
        return 1;
    }
}
