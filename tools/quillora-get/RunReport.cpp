#include "RunReport.h"

#include "Shown.h"
#include "core/FileUtils.h"
#include "core/Gbk.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

nlohmann::json PictureReport(const TPictureJob& job) {
    nlohmann::json p = {{"url", Shown(job.Url)},  {"path", Shown(job.Path)},
                        {"bytes", job.Bytes},     {"outcome", OutcomeName(job.Outcome)},
                        {"seconds", job.Seconds}, {"attempts", job.Attempts}};
    if (!job.Message.empty()) p["message"] = Shown(job.Message);
    if (job.Resumed) p["resumed"] = true;
    p["tls"] = job.OverTls;
    return p;
}

} // namespace

nlohmann::json MakeRunReport(const TRunResult& run, const TGetOptions& options) {
    nlohmann::json albums = nlohmann::json::array();
    std::map<std::string, int64_t> counts{{"saved", 0}, {"skipped", 0}, {"failed", 0}, {"interrupted", 0}};
    int64_t bytes = 0, fresh = 0, updated = 0, unchanged = 0;
    int failedAlbums = 0;
    for (const TAlbumJob& album : run.Albums) {
        nlohmann::json a = {{"account", Shown(album.Account)},
                            {"index", album.Number},
                            {"name", Shown(album.Album.Name)},
                            {"folder", Shown(album.Files.Folder)},
                            {"pictures", nlohmann::json::array()}};
        if (!album.Error.empty()) {
            a["error"] = Shown(album.Error);
            ++failedAlbums;
        }
        for (size_t k : album.Pictures) {
            const TPictureJob& job = run.Pictures[k];
            a["pictures"].push_back(PictureReport(job));
            ++counts[OutcomeName(job.Outcome)];
            if (job.Outcome == TOutcome::Saved) bytes += job.Bytes;
            if (job.Outcome == TOutcome::Saved) ++(job.Recorded ? updated : fresh);
            if (job.Unchanged) ++unchanged;
        }
        albums.push_back(std::move(a));
    }
    nlohmann::json totals = counts;
    totals["pictures"] = run.Pictures.size();
    totals["bytes_saved"] = bytes;
    // Against the archive: saved for the first time, saved again, and asked but unchanged (304).
    totals["new"] = fresh;
    totals["updated"] = updated;
    totals["unchanged"] = unchanged;
    totals["albums"] = run.Albums.size();
    totals["albums_failed"] = failedAlbums;
    totals["seconds"] = run.Seconds;
    nlohmann::json accounts = nlohmann::json::array();
    int failedAccounts = 0;
    for (const TAccountJob& account : run.Accounts) {
        nlohmann::json a = {{"name", Shown(account.Name)}, {"albums", account.Albums}};
        if (!account.Error.empty()) {
            a["error"] = Shown(account.Error);
            ++failedAccounts;
        }
        accounts.push_back(std::move(a));
    }
    totals["accounts"] = run.Accounts.size();
    totals["accounts_failed"] = failedAccounts;
    nlohmann::json report = {{"account", Shown(options.Account)},
                             {"accounts", std::move(accounts)},
                             {"interrupted", run.Interrupted},
                             {"albums", std::move(albums)},
                             {"totals", std::move(totals)}};
    if (!run.ArchiveError.empty()) report["archive_error"] = Shown(run.ArchiveError);
    return report;
}

bool WriteRunReport(const nlohmann::json& report, const std::string& path, std::string& error) {
    const std::string text = report.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    if (path == "-") {
        const bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
        if (std::fflush(stdout) == 0 && written) return true;
        error = std::strerror(errno);
        return false;
    }
    // Never seen half written: it appears whole under its name, or not at all.
    try {
        SaveTextToFile(text, path);
        return true;
    } catch (const Exception& e) {
        error = GbkToUtf8(e.Message());
        return false;
    }
}

bool WriteReportIfAsked(const nlohmann::json& report, const TGetOptions& options) {
    if (options.JsonFile.empty()) return true;
    std::string error;
    if (WriteRunReport(report, options.JsonFile, error)) return true;
    std::fprintf(stderr, "quillora-get: cannot write the report %s: %s\n",
                 options.JsonFile == "-" ? "to standard output" : GbkToUtf8(options.JsonFile).c_str(),
                 error.c_str());
    return false;
}
