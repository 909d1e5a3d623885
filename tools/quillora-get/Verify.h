#pragma once
// What the archive says against what the disk holds (--verify, no network
// at all), the pictures to fetch again (--repair), and the SHA256SUMS file of
// every album folder (--checksums).

#include "Archive.h"
#include "GetTypes.h"

#include <atomic>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

struct TVerifyResult {
    uint64_t Pictures = 0; // rows looked at
    uint64_t Whole = 0;
    uint64_t Unplaced = 0; // rows taken over from a text archive that name no file yet
    int64_t Bytes = 0;     // read and hashed
    double Seconds = 0;
    bool Interrupted = false;
    std::vector<TArchivedPicture> Missing, Changed, Unreadable;
    std::vector<std::string> UnreadableWhy; // one a row of Unreadable, in words
    std::vector<std::string> Absent;        // accounts asked for that the archive holds no picture of

    bool AllWhole() const { return Missing.empty() && Changed.empty() && Unreadable.empty(); }
};

// Every row of the archive (of accounts only, when any are given; texts of
// the program's code page) against its file under the archive's folder: one
// line on out per problem ("missing PATH", "changed PATH", "unreadable
// PATH"), a progress line when live, and the summary line.
TVerifyResult VerifyArchive(TArchive& archive, const std::vector<std::string>& accounts, std::FILE* out,
                            bool live, int verbosity, const std::atomic<bool>& stop);
// Says on standard error what --verify or --repair could not do: each
// account asked for that the archive holds no picture of, and (repair) each
// picture that is not fetched again because something that is no file
// stands where it lies, with why. True when there was nothing to say.
bool SayWhatWasNotDone(const TVerifyResult& result, bool repair);
nlohmann::json VerifyReport(const TVerifyResult& result);
// The pictures that are missing or changed, as jobs of a run (one album per
// folder), their folders created.
TRunResult RepairPlan(const TVerifyResult& result, TArchive& archive);
// Writes SHA256SUMS into the folder of every album of the run, from the
// archive's rows of the pictures whose file is whole; EFCreateError when
// one cannot be written. A folder where a picture has that name gets none,
// nor does one without a whole picture: answers why, one message per
// folder of the first kind.
std::vector<std::string> WriteChecksums(const TRunResult& run, TArchive& archive);
// The same for every folder the archive names, from the archive and the
// disk alone (--checksums without an account: no network).
std::vector<std::string> WriteArchiveChecksums(TArchive& archive);
