#include "DownloadRun.h"

#include "InputChecks.h"
#include "Shown.h"
#include "catalogue/Service.h"
#include "core/Classes.h"
#include "core/Exceptions.h"
#include "core/FileUtils.h"
#include "core/Gbk.h"
#include "core/TextUtils.h"
#include "download/PictureList.h"
#include "http/IdURI.h"
#include "transfer/FailureText.h"
#include "transfer/PartFile.h"
#include "transfer/TransferPool.h"

#include <algorithm>
#include <map>
#include <memory>

std::vector<TPList> LookupAccount(const std::string& account, const TListFetch& fetch,
                                  std::string* fetching) {
    std::vector<TPList> albums;
    LoadAccountAlbums(
        account,
        [&fetch, fetching](const std::string& url) {
            if (fetching) *fetching = url;
            return fetch(url);
        },
        albums);
    return albums;
}

namespace {

// The albums --album names: by index as --list counts, by name as the
// service stores it or as --list shows it; every album of that name (two
// albums of one name are both copied, as the window copies both tiles).
std::vector<size_t> FindAlbum(const std::vector<TPList>& albums, const std::string& wanted) {
    if (const std::optional<uint32_t> number = ReadDigits(wanted, 9))
        if (*number >= 1 && *number <= albums.size()) return {*number - 1};
    const std::string name = TextTrim(wanted), shown = GbkToUtf8(name);
    std::vector<size_t> found;
    for (size_t i = 0; i < albums.size(); ++i) {
        const std::string own = TextTrim(albums[i].Name);
        if (own == name || Shown(own) == shown) found.push_back(i);
    }
    if (found.empty()) throw EGetUsage("No album \"" + wanted + "\" (see --list)");
    return found;
}

// An address the client would refuse is refused here, before any request,
// and is not asked again: no retry can change it.
void RefuseAddress(const std::string& url) {
    if (HasControlCharacter(url)) throw EIdURIException("Address refused: it contains a control character");
    const TIdURI uri(url);
    if (!SameText(uri.Scheme, "http"))
        throw EIdURIException("Address refused: only http:// addresses can be fetched");
    if (uri.HostName.empty() || HasControlCharacter(uri.HostName) ||
        uri.HostName.find_first_of(" @") != std::string::npos)
        throw EIdURIException("Address refused: it names no host");
    if (!uri.PortText.empty() && !ReadPort(uri.PortText))
        throw EIdURIException("Address refused: the port is not a number from 1 to 65535");
}

// Control characters never become part of a file name, and no picture may
// take the name of an unfinished file. A name the file system cannot hold
// is refused before any byte is fetched: its part could never be finished.
void RefuseFileName(const std::string& path) {
    const std::string name = path.substr(path.rfind('/') + 1);
    if (HasControlCharacter(name)) RaiseCannotCreate(path);
    if (IsPartFileName(name)) RaiseCannotCreate(path);
    CheckNameFits(path);
}

// Files already planned in this run, by path.
using TPlannedFiles = std::map<std::string, size_t>;

void AddPictures(TRunResult& run, size_t albumIndex, const TStringList& urls, TPlannedFiles& byPath) {
    TAlbumJob& album = run.Albums[albumIndex];
    // Two pictures with the same file (in one album, or in two albums of the
    // same name): the later one is what stays, as when they are saved one
    // after another; the earlier is not fetched at all, and no two workers
    // ever write one file.
    for (int k = 0; k < urls.Count(); ++k) {
        TPictureJob job;
        job.Album = albumIndex;
        job.Url = urls[k];
        try {
            RefuseAddress(job.Url);
            job.Path = PicturePath(album.Files, job.Url);
            RefuseFileName(job.Path);
        } catch (const Exception& e) {
            job.Path.clear();
            job.Outcome = TOutcome::Failed;
            job.Message = e.Message();
        }
        const size_t index = run.Pictures.size();
        if (!job.Path.empty()) {
            auto [at, fresh] = byPath.emplace(job.Path, index);
            if (!fresh) {
                run.Pictures[at->second].Outcome = TOutcome::Skipped;
                run.Pictures[at->second].Message = "the same file as a later picture";
                at->second = index;
            }
        }
        run.Pictures.push_back(std::move(job));
        album.Pictures.push_back(index);
    }
}

// Each picture is written under its temporary name first (PartPathFor). Two
// pictures of one temporary name would need a 128-bit hash to collide; if it
// ever did, the later one fails rather than share the file.
void AssignPartPaths(TRunResult& run) {
    std::map<std::string, std::string> owners; // part -> the path it is for
    for (TPictureJob& job : run.Pictures) {
        if (job.Path.empty() || job.Outcome != TOutcome::Pending) continue;
        job.PartPath = PartPathFor(job.Path);
        auto [at, fresh] = owners.emplace(job.PartPath, job.Path);
        if (!fresh && at->second != job.Path) {
            job.Outcome = TOutcome::Failed;
            job.Message = "Its temporary file would be another picture's";
            job.PartPath.clear();
        }
    }
}

} // namespace

std::vector<size_t> SelectAlbums(const std::vector<TPList>& albums, const std::vector<std::string>& wanted) {
    std::vector<size_t> selection;
    if (wanted.empty()) {
        for (size_t i = 0; i < albums.size(); ++i)
            selection.push_back(i);
        return selection;
    }
    for (const std::string& w : wanted)
        for (const size_t i : FindAlbum(albums, w))
            if (std::find(selection.begin(), selection.end(), i) == selection.end()) selection.push_back(i);
    return selection;
}

TRunResult PlanRun(const std::vector<TPList>& albums, const std::string& dest,
                   const std::vector<size_t>& selection, TProgress* progress, const TListFetch& fetch) {
    TRunResult run;
    TPlannedFiles planned;
    run.Albums.reserve(selection.size());
    for (size_t i : selection) {
        if (fetch.Stop.load()) {
            run.Interrupted = true;
            break;
        }
        TAlbumJob& album = run.Albums.emplace_back();
        album.Number = static_cast<int>(i) + 1;
        album.Album = albums[i];
        try {
            // A name that gets no folder of its own is refused before its pictures are asked for.
            if (const std::string problem = AlbumNameProblem(album.Album.Name); !problem.empty())
                throw Exception(problem);
            album.Files = AlbumFilesFor(dest, album.Album.Name);
            TStringList urls;
            ParsePictureList(fetch(album.Album.PicListUrl), urls);
            WriteAlbumFiles(album.Files, album.Album);
            AddPictures(run, run.Albums.size() - 1, urls, planned);
            for (size_t k : album.Pictures)
                if (progress && run.Pictures[k].Outcome == TOutcome::Failed)
                    progress->PictureRefused(album, run.Pictures[k]);
        } catch (const Exception& e) {
            album.Error = OneLineMessage(e);
            if (progress) progress->AlbumFailed(album);
        }
    }
    AssignPartPaths(run);
    return run;
}

void RunPictures(TRunResult& run, const TGetOptions& options, TArchive* archive,
                 const std::atomic<bool>& stop, TProgress& progress) {
    RunTransfers(run.Pictures, options, archive, stop, progress);
}
