#include "Archive.h"

#include "archive/Sha256.h"
#include "core/FileUtils.h"
#include "core/Gbk.h"
#include "transfer/PictureFetcher.h"

TArchive::TArchive(const std::string& path, const std::string& dest, TPictureArchive::TMode mode)
    : FDest(dest), FDatabase(path, mode) {}

std::string TArchive::RelativePath(const std::string& path) const {
    const std::string relative = path.compare(0, FDest.size(), FDest) == 0 ? path.substr(FDest.size()) : path;
    return GbkToFileName(relative);
}

std::string TArchive::FullPath(const std::string& relative) const {
    return FDest + FileNameToGbk(relative);
}

TArchivedPicture TArchive::RowFor(const TPictureJob& job, const std::string& sha256) {
    TArchivedPicture row;
    row.Url = GbkToUtf8(job.Url);
    if (FAlbums && job.Album < FAlbums->size()) {
        const TAlbumJob& album = (*FAlbums)[job.Album];
        row.Account = GbkToUtf8(album.Account);
        row.Album = GbkToUtf8(album.Album.Name);
    } else if (const auto earlier = FDatabase.Find(row.Url)) {
        row.Account = earlier->Account;
        row.Album = earlier->Album;
    }
    row.Path = RelativePath(job.Path);
    row.Size = job.Bytes;
    row.Sha256 = sha256;
    row.ETag = GbkToUtf8(job.ETag);
    row.LastModified = GbkToUtf8(job.LastModified);
    return row;
}

void TArchive::Record(const TPictureJob& job) {
    std::string sha256 = job.Sha256;
    if (sha256.empty()) {
        // Found there with the server's size, not written by this run: its
        // bytes are read once, so that --verify can tell them later.
        int64_t bytes = 0;
        int error = 0;
        if (!Sha256OfFile(job.Path, sha256, bytes, error) || bytes != job.Bytes) sha256.clear();
    }
    FDatabase.Save(RowFor(job, sha256));
}

// A row taken over from a text archive names no file and no digest yet; the
// first run that finds its file whole fills them in.
void TArchive::Adopt(const TPictureJob& job, const TArchivedPicture& row) {
    if (!row.Path.empty() && !row.Sha256.empty()) return;
    TPictureJob found = job;
    found.Bytes = row.Size;
    found.ETag = Utf8ToGbk(row.ETag);
    found.LastModified = Utf8ToGbk(row.LastModified);
    Record(found);
}

void TArchive::Decide(std::vector<TPictureJob>& jobs, bool refresh) {
    for (TPictureJob& job : jobs) {
        if (job.Outcome != TOutcome::Pending || job.Path.empty()) continue;
        const std::optional<TArchivedPicture> row = FDatabase.Find(GbkToUtf8(job.Url));
        if (!row) continue;
        const bool whole = FileSizeOf(job.Path) == row->Size;
        job.Recorded = true;
        if (refresh && whole) {
            job.IfNoneMatch = Utf8ToGbk(row->ETag);
            job.IfModifiedSince = Utf8ToGbk(row->LastModified);
        } else if (!refresh && whole) {
            job.Outcome = TOutcome::Skipped;
            job.Message = "recorded in the archive";
            job.Bytes = row->Size;
            Adopt(job, *row);
        }
    }
}
