#include "Verify.h"

#include "Progress.h"
#include "Shown.h"
#include "archive/Sha256.h"
#include "catalogue/Service.h"
#include "core/ConfinedFiles.h"
#include "core/FileUtils.h"
#include "core/Gbk.h"
#include "transfer/PartFile.h"
#include "transfer/PictureFetcher.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <set>
#include <sys/stat.h>

namespace {

// A path from the archive may only lead into the destination folder: a row
// edited by hand is never followed out of it.
bool StaysInside(const std::string& relative) {
    if (relative.empty() || relative[0] == '/' || relative.find('\0') != std::string::npos) return false;
    size_t start = 0;
    for (;;) {
        const size_t slash = relative.find('/', start);
        const std::string part = relative.substr(start, slash - start);
        if (part.empty() || part == "." || part == "..") return false;
        if (slash == std::string::npos) return true;
        start = slash + 1;
    }
}

enum class TState { Whole, Missing, Changed, Unreadable };

// What stands at a picture's path instead of a file, in words.
std::string NotAFile(mode_t mode) {
    const char* what = S_ISDIR(mode)    ? "a folder"
                       : S_ISFIFO(mode) ? "a FIFO"
                       : S_ISSOCK(mode) ? "a socket"
                       : S_ISLNK(mode)  ? "a link"
                                        : "a device";
    return std::string(what) + " stands where the picture should be";
}

// why: for an unreadable picture, the reason in words.
TState Check(TArchive& archive, const TArchivedPicture& row, int64_t& bytes, std::string& why) {
    if (!StaysInside(row.Path)) {
        why = "its path leads out of the destination folder";
        return TState::Unreadable;
    }
    const std::string path = archive.FullPath(row.Path);
    struct stat st {};
    if (StatConfined(path, st, true) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return TState::Missing;
        why = errno == ELOOP ? "a link stands on its path" : std::strerror(errno);
        return TState::Unreadable;
    }
    if (!S_ISREG(st.st_mode)) {
        why = NotAFile(st.st_mode);
        return TState::Unreadable;
    }
    if (st.st_size != row.Size) return TState::Changed;
    if (row.Sha256.empty()) return TState::Whole; // taken over without a digest: its size is all there is
    std::string digest;
    int error = 0;
    if (!Sha256OfFile(path, digest, bytes, error)) {
        why = std::strerror(error);
        return TState::Unreadable;
    }
    return digest == row.Sha256 && bytes == row.Size ? TState::Whole : TState::Changed;
}

// "verifying 120/4000 pictures, 1.2 GB", redrawn in place a few times a second.
class TVerifyLine {
  public:
    TVerifyLine(std::FILE* out, bool live, uint64_t total) : FOut(out), FLive(live), FTotal(total) {}
    void Show(uint64_t done, int64_t bytes) {
        if (!FLive) return;
        const auto now = std::chrono::steady_clock::now();
        if (now - FLast < std::chrono::milliseconds(200)) return;
        FLast = now;
        std::fprintf(FOut, "\rverifying %llu/%llu pictures, %s\x1b[K", static_cast<unsigned long long>(done),
                     static_cast<unsigned long long>(FTotal), HumanBytes(static_cast<double>(bytes)).c_str());
        std::fflush(FOut);
        FShown = true;
    }
    void Clear() {
        if (FShown) std::fputs("\r\x1b[K", FOut);
        FShown = false;
    }

  private:
    std::FILE* FOut;
    bool FLive;
    uint64_t FTotal;
    bool FShown = false;
    std::chrono::steady_clock::time_point FLast{};
};

void PrintSummary(std::FILE* out, const TVerifyResult& r) {
    const auto n = [](auto v) { return static_cast<unsigned long long>(v); };
    std::fprintf(
        out,
        "verified %llu pictures (%s read) in %.1f s: %llu whole, %zu missing, %zu changed, %zu unreadable",
        n(r.Pictures), HumanBytes(static_cast<double>(r.Bytes)).c_str(), r.Seconds, n(r.Whole),
        r.Missing.size(), r.Changed.size(), r.Unreadable.size());
    if (r.Unplaced > 0) std::fprintf(out, "; %llu recorded without a file name yet", n(r.Unplaced));
    std::fputs(r.Interrupted ? "; stopped before the end\n" : "\n", out);
}

} // namespace

TVerifyResult VerifyArchive(TArchive& archive, const std::vector<std::string>& accounts, std::FILE* out,
                            bool live, int verbosity, const std::atomic<bool>& stop) {
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::string> wanted;
    for (const std::string& account : accounts)
        wanted.push_back(GbkToUtf8(account));
    TVerifyResult result;
    std::vector<bool> seen(wanted.size(), false);
    TVerifyLine line(out, live && verbosity > 0, archive.Database().Count());
    archive.Database().ForEach([&](const TArchivedPicture& row) {
        if (stop.load()) {
            result.Interrupted = true;
            return;
        }
        const auto account = std::find(wanted.begin(), wanted.end(), row.Account);
        if (!wanted.empty() && account == wanted.end()) return;
        if (account != wanted.end()) seen[static_cast<size_t>(account - wanted.begin())] = true;
        ++result.Pictures;
        if (row.Path.empty()) {
            ++result.Unplaced;
            return;
        }
        int64_t bytes = 0;
        std::string why;
        const TState state = Check(archive, row, bytes, why);
        result.Bytes += bytes;
        const char* word = state == TState::Missing   ? "missing"
                           : state == TState::Changed ? "changed"
                                                      : "unreadable";
        if (state == TState::Whole)
            ++result.Whole;
        else {
            (state == TState::Missing   ? result.Missing
             : state == TState::Changed ? result.Changed
                                        : result.Unreadable)
                .push_back(row);
            if (state == TState::Unreadable) result.UnreadableWhy.push_back(why);
            line.Clear();
            std::fprintf(out, "%s %s\n", word, Shown(Utf8ToGbk(row.Path)).c_str());
        }
        line.Show(result.Pictures, result.Bytes);
    });
    line.Clear();
    for (size_t k = 0; k < accounts.size() && !result.Interrupted; ++k)
        if (!seen[k]) result.Absent.push_back(accounts[k]);
    result.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (verbosity > 0 || !result.AllWhole()) PrintSummary(out, result);
    std::fflush(out);
    return result;
}

nlohmann::json VerifyReport(const TVerifyResult& r) {
    const auto paths = [](const std::vector<TArchivedPicture>& rows) {
        nlohmann::json list = nlohmann::json::array();
        for (const TArchivedPicture& row : rows)
            list.push_back({{"path", Shown(Utf8ToGbk(row.Path))}, {"url", Shown(Utf8ToGbk(row.Url))}});
        return list;
    };
    return {{"pictures", r.Pictures},
            {"whole", r.Whole},
            {"unplaced", r.Unplaced},
            {"bytes_read", r.Bytes},
            {"seconds", r.Seconds},
            {"interrupted", r.Interrupted},
            {"missing", paths(r.Missing)},
            {"changed", paths(r.Changed)},
            {"unreadable", paths(r.Unreadable)}};
}

namespace {

// The album of the run that the row's folder belongs to, made on first use.
size_t RepairAlbum(TRunResult& run, std::map<std::string, size_t>& albums, const TArchivedPicture& row,
                   const std::string& folder, TArchive& archive) {
    auto [at, fresh] = albums.emplace(folder, run.Albums.size());
    if (fresh) {
        TAlbumJob& album = run.Albums.emplace_back();
        // No --list number here: the report counts the folders of the repair from 1.
        album.Number = static_cast<int>(run.Albums.size());
        album.Account = Utf8ToGbk(row.Account);
        album.Album.Name = Utf8ToGbk(row.Album.empty() ? folder : row.Album);
        album.Files.Folder = archive.FullPath(folder);
    }
    return at->second;
}

} // namespace

TRunResult RepairPlan(const TVerifyResult& result, TArchive& archive) {
    TRunResult run;
    std::map<std::string, size_t> albums; // folder (relative) -> album of the run
    std::vector<const TArchivedPicture*> rows;
    for (const TArchivedPicture& row : result.Missing)
        rows.push_back(&row);
    for (const TArchivedPicture& row : result.Changed)
        rows.push_back(&row);
    for (const TArchivedPicture* row : rows) {
        const std::string folder = row->Path.substr(0, row->Path.rfind('/') + 1);
        TPictureJob job;
        job.Album = RepairAlbum(run, albums, *row, folder, archive);
        job.Url = Utf8ToGbk(row->Url);
        job.Path = archive.FullPath(row->Path);
        job.Recorded = true;
        // The archive is a file anyone may have edited: an address it names
        // is fetched only when it is one of the service's.
        if (std::string problem = ServiceAddressProblem(row->Url); !problem.empty()) {
            job.Outcome = TOutcome::Failed;
            job.Message = std::move(problem);
        } else {
            job.PartPath = PartPathFor(job.Path);
            if (!folder.empty()) MakeFolders(run.Albums[job.Album].Files.Folder);
        }
        run.Albums[job.Album].Pictures.push_back(run.Pictures.size());
        run.Pictures.push_back(std::move(job));
    }
    return run;
}

namespace {

constexpr const char* ChecksumsName = "SHA256SUMS";

std::string FolderOfPath(const std::string& path) {
    return path.substr(0, path.rfind('/') + 1);
}

// The folders where a picture is named SHA256SUMS: of this run, or recorded
// by an earlier one. The file would replace that picture, and then be
// checked against itself.
std::set<std::string> FoldersWithAChecksumsPicture(const TRunResult& run, TArchive& archive) {
    std::set<std::string> folders;
    const auto named = [](const std::string& path) {
        const size_t slash = path.rfind('/');
        return path.compare(slash == std::string::npos ? 0 : slash + 1, std::string::npos, ChecksumsName) ==
               0;
    };
    for (const TPictureJob& job : run.Pictures)
        if (named(job.Path)) folders.insert(FolderOfPath(job.Path));
    archive.Database().ForEach([&](const TArchivedPicture& row) {
        if (named(row.Path)) folders.insert(FolderOfPath(archive.FullPath(row.Path)));
    });
    return folders;
}

} // namespace

namespace {

// folder -> file name -> digest; a folder shared by two albums gets one file.
using TSums = std::map<std::string, std::map<std::string, std::string>>;

// The name a row gives its picture in SHA256SUMS; empty when its file is not
// the one the row describes, or the name is one sha256sum would escape (none
// of ours is).
std::string SummedName(TArchive& archive, const TArchivedPicture& row) {
    if (row.Sha256.empty() || !StaysInside(row.Path) || FileSizeOf(archive.FullPath(row.Path)) != row.Size)
        return {};
    const std::string name = row.Path.substr(row.Path.rfind('/') + 1);
    return name.find_first_of("\\\n\r") == std::string::npos ? name : std::string();
}

// An album without a whole picture gets no SHA256SUMS: sha256sum -c refuses
// an empty one, and a loop over the albums would call a sound copy broken.
std::vector<std::string> WriteSums(const TSums& sums, const std::set<std::string>& taken) {
    std::vector<std::string> refused;
    for (const auto& [folder, names] : sums) {
        if (names.empty()) continue;
        if (taken.count(folder) != 0) {
            refused.push_back(Format("%s is not written in \"%s\": a picture there has that name",
                                     ChecksumsName, ExpandFileName(folder).c_str()));
            continue;
        }
        std::string text;
        for (const auto& [name, digest] : names)
            text += digest + "  " + name + "\n";
        SaveTextToFile(text, folder + ChecksumsName);
    }
    return refused;
}

} // namespace

std::vector<std::string> WriteChecksums(const TRunResult& run, TArchive& archive) {
    TSums sums;
    for (const TAlbumJob& album : run.Albums) {
        if (!album.Error.empty() || album.Files.Folder.empty()) continue;
        auto& names = sums[album.Files.Folder.back() == '/' ? album.Files.Folder : album.Files.Folder + "/"];
        for (size_t k : album.Pictures) {
            const TPictureJob& job = run.Pictures[k];
            if (job.Path.empty()) continue;
            const auto row = archive.Database().Find(GbkToUtf8(job.Url));
            if (!row || archive.FullPath(row->Path) != job.Path) continue;
            if (const std::string name = SummedName(archive, *row); !name.empty()) names[name] = row->Sha256;
        }
    }
    if (sums.empty()) return {};
    return WriteSums(sums, FoldersWithAChecksumsPicture(run, archive));
}

std::vector<std::string> WriteArchiveChecksums(TArchive& archive) {
    TSums sums;
    archive.Database().ForEach([&](const TArchivedPicture& row) {
        if (const std::string name = SummedName(archive, row); !name.empty())
            sums[FolderOfPath(archive.FullPath(row.Path))][name] = row.Sha256;
    });
    return WriteSums(sums, FoldersWithAChecksumsPicture(TRunResult{}, archive));
}

bool SayWhatWasNotDone(const TVerifyResult& result, bool repair) {
    for (const std::string& account : result.Absent)
        std::fprintf(stderr, "quillora-get: account %s: the archive holds no picture of this account\n",
                     Shown(account).c_str());
    if (repair)
        for (size_t k = 0; k < result.Unreadable.size(); ++k) {
            const TArchivedPicture& row = result.Unreadable[k];
            std::fprintf(stderr, "quillora-get: account %s: %s not repaired: %s\n",
                         Shown(Utf8ToGbk(row.Account)).c_str(), Shown(Utf8ToGbk(row.Path)).c_str(),
                         result.UnreadableWhy[k].c_str());
        }
    return result.Absent.empty() && (!repair || result.Unreadable.empty());
}
