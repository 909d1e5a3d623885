// quillora-get: the command-line downloader. The same lookup, parsers, file
// naming and HTTP client as the window; a worker pool, resumable files,
// retries and a JSON report around them.

#include "../common/NetworkError.h"
#include "AccountRun.h"
#include "ConfigFile.h"
#include "DownloadRun.h"
#include "GalleryRun.h"
#include "HelpText.h"
#include "InputChecks.h"
#include "RunReport.h"
#include "Shown.h"
#include "Verify.h"
#include "catalogue/Service.h"
#include "core/ConfinedFiles.h"
#include "core/FileUtils.h"
#include "core/Gbk.h"
#include "core/TextUtils.h"
#include "http/ClientSettings.h"
#include "http/IdURI.h"
#include "net/IdCancelSignal.h"
#include "transfer/FailureText.h"
#include "transfer/RatePacer.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <unistd.h>

namespace {

// As download tools do: enough for http -> https -> a new address, never a loop.
constexpr int MaxRedirects = 5;

std::atomic<bool> StopRequested{false};

// Fired by the stop handler: a lookup or picture list waiting on a silent
// server ends at once instead of at its read time-out.
TIdCancelSignal* FetchStop = nullptr;

// A second signal ends the program at once: the first may wait for a step
// that cannot be cut (a name lookup), and the user has asked twice. The
// temporary files stay and are continued by the next run.
void OnStopSignal(int) {
    if (StopRequested.exchange(true)) ::_exit(130);
    if (FetchStop) FetchStop->Cancel(); // an atomic flag and a write(): safe in a handler
}

void InstallStopHandlers() {
    static TIdCancelSignal fetchStop;
    FetchStop = &fetchStop;
    SetFetchCancelSignal(&fetchStop);
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

struct TRawOptions {
    std::string Dest = ".", Archive, Json, Proxy, InputFile, LimitRate, MinSpeed, CACert;
    std::vector<std::string> Accounts, Albums, Matches;
    bool Help = false, Version = false, Quiet = false, Verbose = false, Insecure = false,
         NoRemoteTime = false;
};

// $XDG_CONFIG_HOME/quillora-get/config, or ~/.config/quillora-get/config.
std::string DefaultConfigFile() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg == '/') return std::string(xdg) + "/quillora-get/config";
    const char* home = std::getenv("HOME");
    return home && *home ? std::string(home) + "/.config/quillora-get/config" : std::string();
}

void DefineOptions(CLI::App& app, TRawOptions& raw, TGetOptions& options) {
    app.set_help_flag();
    // Answered before the parse (HelpOrVersion); known here so that the parse takes them.
    app.add_flag("-h,--help", raw.Help)->configurable(false);
    app.add_flag("--version", raw.Version)->configurable(false);
    // Every long option may come from the file; the command line wins.
    app.set_config("--config", DefaultConfigFile());
    app.allow_config_extras(CLI::config_extras_mode::error);
    app.add_option("ACCOUNT", raw.Accounts)->configurable(false);
    app.add_flag("--list", options.List)->configurable(false);
    app.add_option("--input-file", raw.InputFile);
    // One value per --album, so that "--album 1 ACCOUNT" keeps its account;
    // and every --album given, not only the last.
    const auto takeAll = CLI::MultiOptionPolicy::TakeAll;
    app.add_option("--album", raw.Albums)->expected(1)->allow_extra_args(false)->multi_option_policy(takeAll);
    app.add_option("--match", raw.Matches)
        ->expected(1)
        ->allow_extra_args(false)
        ->multi_option_policy(takeAll);
    app.add_option("--dest", raw.Dest);
    app.add_option("-j,--jobs", options.Jobs)->check(CLI::Range(1, 64));
    app.add_option("--retries", options.Retries)->check(CLI::Range(0, 100));
    app.add_option("--backoff", options.BackoffMs)->check(CLI::Range(0, 3600000));
    app.add_option("--max-wait", options.MaxWaitSeconds)->check(CLI::Range(0.0, 86400.0));
    app.add_option("--limit-rate", raw.LimitRate);
    app.add_option("--min-speed", raw.MinSpeed);
    app.add_option("--min-speed-time", options.MinSpeedSeconds)->check(CLI::Range(0.1, 86400.0));
    app.add_option("--archive", raw.Archive);
    app.add_flag("--verify", options.Verify);
    app.add_flag("--repair", options.Repair);
    app.add_flag("--refresh", options.Refresh);
    app.add_flag("--checksums", options.Checksums);
    app.add_flag("--no-remote-time", raw.NoRemoteTime);
    app.add_flag("--gallery", options.Gallery);
    app.add_option("--json", raw.Json);
    app.add_flag("-q,--quiet", raw.Quiet);
    app.add_flag("-v,--verbose", raw.Verbose);
    app.add_option("--proxy", raw.Proxy);
    app.add_option("--timeout", options.TimeoutSeconds)->check(CLI::Range(1, 86400));
    app.add_option("--cacert", raw.CACert);
    app.add_flag("-k,--insecure", raw.Insecure);
}

double RateOption(const char* name, const std::string& text) {
    if (text.empty()) return 0;
    const std::optional<double> rate = ParseRate(text);
    if (!rate)
        throw EGetUsage(std::string(name) + ": \"" + text + "\" is no rate (a number, maybe with k or M)");
    return *rate;
}

void TakeAccounts(const TRawOptions& raw, TGetOptions& options) {
    std::vector<std::string> accounts;
    for (const std::string& account : raw.Accounts)
        accounts.push_back(TextTrim(Utf8ToGbk(account)));
    if (!raw.InputFile.empty()) {
        const std::vector<std::string> listed = ReadAccountFile(FileNameToGbk(raw.InputFile));
        accounts.insert(accounts.end(), listed.begin(), listed.end());
    }
    // Names checked before any request: the report names each account as it was looked up.
    for (const std::string& account : accounts)
        if (const std::string problem = AccountNameProblem(account); !problem.empty())
            throw EGetUsage(problem);
    // Each account once: twice would plan every file twice.
    for (const std::string& account : accounts)
        if (!account.empty() &&
            std::find(options.Accounts.begin(), options.Accounts.end(), account) == options.Accounts.end())
            options.Accounts.push_back(account);
    // Checking the archive needs no account: without one, every picture in it is checked.
    // Nor does the gallery alone, nor the checksums alone: both are written from the archive.
    if (options.Accounts.empty() &&
        (options.Verify || options.Repair || options.Gallery || options.Checksums))
        return;
    if (options.Accounts.empty()) throw EGetUsage("An account name is needed (see --help)");
    options.Account = options.Accounts.front();
}

// https for every fetch, verified against the system's store or the bundle
// named; redirects followed as far as the service's own hosts.
void SetUpTls(const TRawOptions& raw) {
    try {
        SetClientTls(std::make_shared<const TIdSSLContext>(TIdSSLSettings{raw.CACert, !raw.Insecure}));
    } catch (const Exception& e) {
        throw EGetUsage("--cacert: " + e.Message());
    }
    if (raw.Insecure)
        std::fprintf(stderr, "quillora-get: warning: certificates are not verified (--insecure)\n");
    SetClientRedirects({MaxRedirects, Service::HomeHost});
}

// The options that work on the archive need one.
void CheckArchiveOptions(const TRawOptions& raw, const TGetOptions& options) {
    const std::pair<bool, const char*> needs[] = {{options.Verify, "--verify"},
                                                  {options.Repair, "--repair"},
                                                  {options.Refresh, "--refresh"},
                                                  {options.Checksums, "--checksums"},
                                                  {options.Gallery, "--gallery"}};
    for (const auto& [given, name] : needs)
        if (given && raw.Archive.empty()) throw EGetUsage(std::string(name) + " needs --archive FILE");
    if ((options.Verify || options.Repair) && options.Refresh)
        throw EGetUsage("--refresh asks the server; --verify and --repair check the disk: one at a time");
}

// Texts of the command line are UTF-8; the program's are GBK.
void TakeOptions(const TRawOptions& raw, TGetOptions& options) {
    CheckArchiveOptions(raw, options);
    TakeAccounts(raw, options);
    for (const std::string& album : raw.Albums)
        options.Albums.push_back(Utf8ToGbk(album));
    options.Matches = raw.Matches;
    // Absolute, as the window's folders are: folder creation walks up from it.
    options.Dest = ExpandFileName(FileNameToGbk(raw.Dest.empty() ? "." : raw.Dest));
    if (options.Dest.back() != '/') options.Dest += '/';
    options.ArchiveFile = FileNameToGbk(raw.Archive);
    options.JsonFile = raw.Json == "-" ? raw.Json : FileNameToGbk(raw.Json);
    options.Verbosity = raw.Quiet ? 0 : raw.Verbose ? 2 : 1;
    options.RemoteTime = !raw.NoRemoteTime;
    options.LimitRate = RateOption("--limit-rate", raw.LimitRate);
    options.MinSpeed = RateOption("--min-speed", raw.MinSpeed);
    if (!raw.Proxy.empty()) {
        try {
            ParseProxySetting(raw.Proxy);
        } catch (const Exception& e) {
            throw EGetUsage("--proxy: " + e.Message());
        }
        // One rule for every request of the run, each redirect hop included:
        // this proxy for http and https, no_proxy of the environment as curl keeps it.
        TProxyRule rule = ProxyRuleFromEnvironment();
        rule.HttpProxy = rule.HttpsProxy = raw.Proxy;
        SetClientProxyRule(rule);
    }
    SetUpTls(raw);
    SetClientReadTimeout(options.TimeoutSeconds * 1000);
    SetRateLimit(options.LimitRate);
}

void PrintAlbumList(const std::vector<TPList>& albums) {
    for (size_t i = 0; i < albums.size(); ++i) {
        const TPList& album = albums[i];
        std::string desc = album.Desc.substr(0, album.Desc.find_first_of("\r\n"));
        std::printf("%zu\t%s\t%d\t%s\n", i + 1, Shown(album.Name).c_str(), album.PicCount,
                    Shown(desc).c_str());
    }
}

// A network failure of a fetch of url, with its host and the proxy it went through.
std::string NetworkFailureText(const Exception& e, const std::string& url) {
    std::string proxy;
    try {
        if (const std::optional<TProxySetting> setting = ProxyFromEnvironment(url))
            proxy = setting->Host + ":" + std::to_string(setting->Port);
    } catch (const Exception&) {
        // A proxy setting that cannot be read was refused before; the host is named alone.
    }
    return NetworkErrorText(e.Message(), TIdURI(url).HostName, proxy);
}

// Lookups are asked again as pictures are; with -v each failed attempt says so.
TListFetch ListFetchFor(const TGetOptions& options) {
    TListFetch fetch{options, StopRequested};
    if (options.Verbosity >= 2)
        fetch.Note = [](const std::string& url, const std::string& text) {
            std::fprintf(stderr, "note    %s: %s\n", Shown(url).c_str(), Shown(text).c_str());
        };
    return fetch;
}

// Why the account could not be looked up (also said on standard error);
// empty when it was, and its albums are in albums.
std::string Lookup(const TGetOptions& options, const std::string& account, std::vector<TPList>& albums) {
    std::string url;
    try {
        albums = LookupAccount(account, ListFetchFor(options), &url);
        return {};
    } catch (const Exception& e) {
        const std::string message = IsNetworkFailure(e) ? NetworkFailureText(e, url) : OneLineMessage(e);
        std::fprintf(stderr, "quillora-get: account %s: %s\n", Shown(account).c_str(),
                     Shown(message).c_str());
        return message.empty() ? "the lookup failed" : message;
    }
}

int ListAlbums(const TGetOptions& options) {
    int status = 0;
    for (const std::string& account : options.Accounts) {
        if (StopRequested.load()) return 130;
        if (options.Accounts.size() > 1) std::printf("# %s\n", Shown(account).c_str());
        std::vector<TPList> albums;
        if (!Lookup(options, account, albums).empty()) {
            status = StopRequested.load() ? 130 : 1;
        } else if (albums.empty()) {
            std::fprintf(stderr, "quillora-get: account %s has no albums\n", Shown(account).c_str());
        } else {
            PrintAlbumList(albums);
        }
        std::fflush(stdout);
    }
    return status;
}

int ExitStatus(const TRunResult& run) {
    if (run.Interrupted) return 130;
    if (!run.ArchiveError.empty()) return 1;
    for (const TAccountJob& account : run.Accounts)
        if (!account.Error.empty()) return 1;
    for (const TAlbumJob& album : run.Albums)
        if (!album.Error.empty()) return 1;
    for (const TPictureJob& job : run.Pictures)
        if (job.Outcome != TOutcome::Saved && job.Outcome != TOutcome::Skipped) return 1;
    return 0;
}

struct TLookedUp {
    std::vector<TPList> Albums;
    std::vector<size_t> Selection;
};

// The albums chosen in the account just looked up; an album --album names
// that it does not have is an error of this account alone.
std::string Choose(const TGetOptions& options, const std::string& account, TLookedUp& found) {
    try {
        found.Selection = ChooseAlbums(found.Albums, options);
        return {};
    } catch (const EGetUsage& e) {
        std::fprintf(stderr, "quillora-get: account %s: %s\n", Shown(account).c_str(),
                     Shown(e.Message()).c_str());
        return e.Message();
    }
}

// A selection (--album, --match) that chose nothing in any account says so.
bool NothingSelected(const TGetOptions& options, const TRunResult& run, const std::vector<TLookedUp>& found) {
    if (options.Albums.empty() && options.Matches.empty()) return false;
    for (size_t k = 0; k < run.Accounts.size(); ++k)
        if (!run.Accounts[k].Error.empty() || !found[k].Selection.empty()) return false;
    if (run.Accounts.empty() || run.Interrupted) return false;
    std::string patterns;
    for (const std::string& glob : options.Matches)
        patterns += (patterns.empty() ? "" : ", ") + glob;
    std::fprintf(stderr, "quillora-get: no album matches --match %s (see --list)\n", patterns.c_str());
    return true;
}

// Every account is looked up, and its albums chosen, before
// anything is written: a usage error leaves no folder behind.
std::vector<TLookedUp> LookupAccounts(const TGetOptions& options, TRunResult& run) {
    std::vector<TLookedUp> found(options.Accounts.size());
    for (size_t k = 0; k < options.Accounts.size() && !StopRequested.load(); ++k) {
        TAccountJob& account = run.Accounts.emplace_back();
        account.Name = options.Accounts[k];
        account.Error = Lookup(options, account.Name, found[k].Albums);
        account.LookedUp = account.Error.empty();
        if (account.LookedUp) account.Error = Choose(options, account.Name, found[k]);
    }
    run.Interrupted = StopRequested.load();
    return found;
}

void PlanAccounts(const TGetOptions& options, TRunResult& run, const std::vector<TLookedUp>& found) {
    std::FILE* out = options.JsonFile == "-" ? stderr : stdout;
    TProgress planning(out, TDisplayMode{}, options.Verbosity, run);
    for (size_t k = 0; k < run.Accounts.size(); ++k) {
        if (!run.Accounts[k].Error.empty()) continue;
        planning.SetPlanningAccount(run.Accounts[k].Name);
        TRunResult part =
            PlanRun(found[k].Albums, options.Dest, found[k].Selection, &planning, ListFetchFor(options));
        for (TAlbumJob& album : part.Albums)
            album.Account = run.Accounts[k].Name;
        run.Accounts[k].Albums = part.Albums.size();
        AppendRun(run, std::move(part));
    }
}

// The folder and files to write are usable before any request: a mistake
// in them costs no lookup. The folders above the archive and the report are
// made, as --dest's are.
void CheckPaths(const TGetOptions& options) {
    const std::vector<std::pair<const char*, std::string>> files{{"--archive", options.ArchiveFile},
                                                                 {"--json", options.JsonFile}};
    if (const std::string problem = PathProblem(options.Dest, true); !problem.empty())
        throw EGetUsage("--dest: " + problem);
    for (const auto& [option, path] : files)
        if (!path.empty() && path != "-")
            if (const std::string problem = PathProblem(path, false); !problem.empty())
                throw EGetUsage(std::string(option) + ": " + problem);
    for (const auto& [option, path] : files)
        if (!path.empty() && path != "-") MakeParentFolders(path);
}

// Writes the SHA256SUMS files; false, each reason said, when any is not written.
bool SayChecksums(const std::function<std::vector<std::string>()>& write) {
    bool summed = true;
    try {
        for (const std::string& refused : write()) {
            std::fprintf(stderr, "quillora-get: %s\n", Shown(refused).c_str());
            summed = false;
        }
    } catch (const Exception& e) {
        std::fprintf(stderr, "quillora-get: %s\n", Shown(OneLineMessage(e)).c_str());
        summed = false;
    }
    return summed;
}

int Download(const TGetOptions& options) {
    const auto start = std::chrono::steady_clock::now();
    TRunResult run;
    CheckPaths(options);
    std::unique_ptr<TArchive> archive;
    if (!options.ArchiveFile.empty()) archive = std::make_unique<TArchive>(options.ArchiveFile, options.Dest);
    const std::vector<TLookedUp> found = LookupAccounts(options, run);
    const bool nothing = NothingSelected(options, run, found);
    PlanAccounts(options, run, found);
    if (archive) {
        archive->SetAlbums(&run.Albums);
        archive->Decide(run.Pictures, options.Refresh);
    }
    std::FILE* out = options.JsonFile == "-" ? stderr : stdout;
    TProgress progress(out, DisplayModeFor(out), options.Verbosity, run);
    RunPictures(run, options, archive.get(), StopRequested, progress);
    run.ArchiveError = progress.RecordError();
    run.Interrupted = run.Interrupted || StopRequested.load();
    const bool summed = !archive || !options.Checksums || run.Interrupted ||
                        SayChecksums([&] { return WriteChecksums(run, *archive); });
    run.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const bool reported = WriteReportIfAsked(MakeRunReport(run, options), options);
    const int status = ExitStatus(run);
    return status == 0 && (nothing || !(reported && summed)) ? 1 : status;
}

const char* const UsageLine =
    "usage: quillora-get [options] ACCOUNT... | --input-file FILE | --list ACCOUNT...\n";

// --help and --version answer whatever the configuration file holds; -1
// when neither is asked for.
int HelpOrVersion(int argc, char** argv) {
    for (int k = 1; k < argc; ++k) {
        const std::string arg = argv[k];
        if (arg == "--") break;
        if (arg == "-h" || arg == "--help") {
            std::printf("%s\n%s", UsageLine, HelpText);
            return 0;
        }
        if (arg == "--version") {
            std::printf("quillora-get (QuilloraDownLoad) %s\n", QUILLORA_VERSION);
            return 0;
        }
    }
    return -1;
}

// Why a line "name = value" of the configuration file would not do on the
// command line as --name=value; empty when it would.
std::string CheckConfigOption(const std::string& name, const std::vector<std::string>& values) {
    CLI::App scratch{"quillora-get"};
    TRawOptions raw;
    TGetOptions options;
    DefineOptions(scratch, raw, options);
    scratch.set_config(); // no configuration file within the check
    const CLI::Option* option = scratch.get_option_no_throw("--" + name);
    if (!option) return "there is no option --" + name + " (see --help)";
    if (!option->get_configurable()) return "--" + name + " is for the command line only";
    std::vector<std::string> args; // CLI11 takes them last first
    for (auto value = values.rbegin(); value != values.rend(); ++value)
        args.push_back("--" + name + "=" + *value);
    try {
        scratch.parse(args);
        RateOption("--limit-rate", raw.LimitRate);
        RateOption("--min-speed", raw.MinSpeed);
        if (!raw.Proxy.empty()) ParseProxySetting(raw.Proxy);
    } catch (const CLI::ParseError& e) {
        return e.what();
    } catch (const EGetUsage& e) {
        return e.Message();
    } catch (const Exception& e) {
        return "--" + name + ": " + e.Message();
    }
    return {};
}

// --verify and --repair: the archive against the disk, then (repair) the
// pictures that are missing or changed fetched again.
int CheckArchive(const TGetOptions& options) {
    const auto start = std::chrono::steady_clock::now();
    std::FILE* out = options.JsonFile == "-" ? stderr : stdout;
    TArchive archive(options.ArchiveFile, options.Dest,
                     options.Repair ? TPictureArchive::TMode::ReadWrite : TPictureArchive::TMode::ReadOnly);
    const TVerifyResult result = VerifyArchive(archive, options.Accounts, out, DisplayModeFor(out).Live,
                                               options.Verbosity, StopRequested);
    const bool allDone = SayWhatWasNotDone(result, options.Repair);
    TRunResult run;
    if (options.Repair && !result.Interrupted) {
        run = RepairPlan(result, archive);
        TProgress progress(out, DisplayModeFor(out), options.Verbosity, run);
        for (const TAlbumJob& album : run.Albums)
            for (size_t k : album.Pictures)
                if (run.Pictures[k].Outcome == TOutcome::Failed)
                    progress.PictureRefused(album, run.Pictures[k]);
        if (!run.Pictures.empty()) RunPictures(run, options, &archive, StopRequested, progress);
        run.ArchiveError = progress.RecordError();
    }
    run.Interrupted = result.Interrupted || StopRequested.load();
    run.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    nlohmann::json report = MakeRunReport(run, options);
    report["verify"] = VerifyReport(result);
    const bool reported = WriteReportIfAsked(report, options);
    int status = ExitStatus(run);
    if (status == 0 && !options.Repair && !result.AllWhole()) status = 1;
    if (status == 0 && !allDone) status = 1;
    return status == 0 && !reported ? 1 : status;
}

int RunCommand(const TGetOptions& options) {
    if (options.Verify || options.Repair) return CheckArchive(options);
    if (options.Accounts.empty() && options.Checksums) {
        // The archive and the disk have all it needs: no account, no network.
        CheckPaths(options);
        TArchive archive(options.ArchiveFile, options.Dest, TPictureArchive::TMode::ReadOnly);
        return SayChecksums([&] { return WriteArchiveChecksums(archive); }) ? 0 : 1;
    }
    if (options.Accounts.empty()) return 0; // --gallery alone
    return Download(options);
}

// -1 when the run may go on; otherwise the exit status.
int ParseCommandLine(int argc, char** argv, TGetOptions& options) {
    if (const int status = HelpOrVersion(argc, argv); status >= 0) return status;
    CLI::App app{"quillora-get"};
    TRawOptions raw;
    DefineOptions(app, raw, options);
    app.config_formatter(
        std::make_shared<TConfigFile>(ConfigFileOf(argc, argv, DefaultConfigFile()), CheckConfigOption));
    try {
        app.parse(argc, argv);
        TakeOptions(raw, options);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "quillora-get: %s (see --help)\n", e.what());
        return 2;
    } catch (const EGetUsage& e) {
        std::fprintf(stderr, "quillora-get: %s\n", Shown(e.Message()).c_str());
        return 2;
    }
    return -1;
}

} // namespace

int main(int argc, char** argv) {
    TGetOptions options;
    if (const int status = ParseCommandLine(argc, argv, options); status >= 0) return status;
    InstallStopHandlers();
    if (options.List) return ListAlbums(options);
    // Every file below --dest is reached without following a link in it:
    // the archive's rows and whatever else stands in the tree are input.
    SetConfinedFolder(options.Dest);
    try {
        const int status = RunCommand(options);
        // After any run but a stopped one: the gallery shows what the copy holds now.
        if (!options.Gallery || status == 130 || StopRequested.load()) return status;
        return std::max(status, WriteGalleryOf(options));
    } catch (const EGetUsage& e) {
        std::fprintf(stderr, "quillora-get: %s\n", Shown(e.Message()).c_str());
        return 2;
    } catch (const Exception& e) {
        std::fprintf(stderr, "quillora-get: %s\n", Shown(OneLineMessage(e)).c_str());
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quillora-get: %s\n", e.what());
        return 1;
    }
}
