#pragma once
// What quillora-get is asked to do, and what became of every album and
// picture of the run. Texts are in the program's code page (GBK), as the
// rest of the system keeps them; they are converted only for the terminal,
// the file system and the report.

#include "catalogue/AlbumList.h"
#include "core/Exceptions.h"
#include "download/AlbumFiles.h"
#include "transfer/TransferJob.h"

#include <cstdint>
#include <string>
#include <vector>

// The engine's settings (jobs, retries, back-off, minimum speed) and the front's.
struct TGetOptions : TTransferOptions {
    std::string Account;               // the first of Accounts
    std::vector<std::string> Accounts; // in the order given, each once
    std::vector<std::string> Albums;   // names or 1-based indexes, as typed
    std::vector<std::string> Matches;  // --match patterns (UTF-8)
    bool List = false;
    std::string Dest; // ends with "/"
    std::string ArchiveFile;
    bool Verify = false;    // check the archived pictures on the disk, no network
    bool Repair = false;    // ... and fetch again what is missing or changed
    bool Refresh = false;   // ask the server about every archived picture, with its validators
    bool Checksums = false; // SHA256SUMS in every album folder
    bool Gallery = false;   // the offline gallery, written from the archive after the run
    std::string JsonFile; // "-": standard output
    int Verbosity = 1;    // 0: -q, 2: -v
    std::string Proxy;
    int TimeoutSeconds = 60;
    double LimitRate = 0; // bytes a second over all workers; 0: no limit
};

struct TAlbumJob {
    std::string Account;
    int Number = 0; // 1-based, as --list prints it
    TPList Album;
    TAlbumFiles Files;
    std::string Error;            // the album could not be prepared; its pictures are not listed
    std::vector<size_t> Pictures; // indexes into the run's pictures
};

struct TAccountJob {
    std::string Name;
    std::string Error; // the lookup failed, or an album asked for is not there; no albums in the run
    bool LookedUp = false;
    size_t Albums = 0;
};

struct TRunResult {
    std::vector<TAccountJob> Accounts;
    std::vector<TAlbumJob> Albums;
    std::vector<TPictureJob> Pictures;
    bool Interrupted = false;
    double Seconds = 0;
    std::string ArchiveError; // the archive could not be read or written: the run failed
};
