#pragma once
// quillora-get's side of the archive (--archive FILE, a SQLite database; see
// docs/archive.md): which planned pictures a run skips without a request,
// which it asks again and with which validators, and the row of every
// picture saved. A row is written only once its picture is whole under its
// name on the disk, so a run that is cut off names nothing else.

#include "GetTypes.h"
#include "archive/PictureArchive.h"
#include "transfer/TransferJob.h"

#include <string>
#include <vector>

class TArchive : public TSavedRecord {
  public:
    // path and dest are texts of the program's code page; dest ends with "/".
    // EArchiveError when the archive cannot be opened (the message says why).
    TArchive(const std::string& path, const std::string& dest,
             TPictureArchive::TMode mode = TPictureArchive::TMode::ReadWrite);

    // The albums the run's jobs belong to (their account and name go into
    // the rows); none: a row keeps the labels it had.
    void SetAlbums(const std::vector<TAlbumJob>* albums) { FAlbums = albums; }
    // Before the workers start. Without refresh, a recorded picture whose
    // file is there with its recorded size is skipped without a request,
    // any other recorded one is asked for again; with refresh, every recorded
    // one is asked for, conditionally where its file is whole.
    void Decide(std::vector<TPictureJob>& jobs, bool refresh);
    // EArchiveError when the row cannot be written.
    void Record(const TPictureJob& job) override;

    TPictureArchive& Database() { return FDatabase; }
    // The picture's path under dest as the row holds it (UTF-8), and back.
    std::string RelativePath(const std::string& path) const;
    std::string FullPath(const std::string& relative) const;

  private:
    TArchivedPicture RowFor(const TPictureJob& job, const std::string& sha256);
    void Adopt(const TPictureJob& job, const TArchivedPicture& row);

    std::string FDest;
    TPictureArchive FDatabase;
    const std::vector<TAlbumJob>* FAlbums = nullptr;
};
