#pragma once
// The steps of a run: the account's albums, the albums asked for, their
// folders and picture lists, and the worker pool that fetches the pictures.

#include "Archive.h"
#include "GetTypes.h"
#include "Progress.h"
#include "transfer/RetriedFetch.h"

#include <atomic>
#include <string>
#include <vector>

// A command line that cannot be carried out as asked (exit status 2).
QUILLORA_EXCEPTION(EGetUsage, Exception);

// How a run asks for its home pages, album lists and picture lists: as
// often, and after the same waits, as for a picture.
struct TListFetch {
    const TTransferOptions& Options;
    const std::atomic<bool>& Stop;
    TRetryNote Note = {};

    std::string operator()(const std::string& url) const {
        return FetchTextRetried(url, Options, Stop, Note);
    }
};

// Fetches the account's home page and album list: its albums. fetching,
// when given, keeps the address asked for last (the one that failed).
std::vector<TPList> LookupAccount(const std::string& account, const TListFetch& fetch,
                                  std::string* fetching = nullptr);
// The indexes of albums that --album names (all of them without any): by
// index, by name as stored or as --list shows it, every album of a name;
// EGetUsage for an album that is not there.
std::vector<size_t> SelectAlbums(const std::vector<TPList>& albums, const std::vector<std::string>& wanted);
// Creates the folders and description files of the albums selected under
// dest and lists their pictures (each list got with fetch, which also says
// when the run is stopped). An album that fails costs only itself.
TRunResult PlanRun(const std::vector<TPList>& albums, const std::string& dest,
                   const std::vector<size_t>& selection, TProgress* progress, const TListFetch& fetch);
// Fetches every pending picture with jobs workers; returns when all are
// done, or when stop is set and every worker has ended (a stop wakes the
// workers that wait on a server at once).
void RunPictures(TRunResult& run, const TGetOptions& options, TArchive* archive,
                 const std::atomic<bool>& stop, TProgress& progress);
