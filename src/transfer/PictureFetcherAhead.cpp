// A worker's pipelining: the request of the job it takes next goes out on
// the connection of the job being fetched, before that job's reply is read.
// Only plain GETs go ahead; whatever the connection or the server does to a
// request sent ahead (a close, "Connection: close", an HTTP/1.0 reply, a
// broken reply), its job is asked again as usual, by this worker or another.

#include "transfer/PictureFetcher.h"

#include "core/ConfinedFiles.h"
#include "core/Gbk.h"
#include "http/IdHTTP.h"

#include <cerrno>
#include <chrono>
#include <sys/stat.h>
#include <utility>

namespace {

bool NothingAt(const std::string& path) {
    struct stat st {};
    return StatConfined(path, st, false) != 0 && errno == ENOENT;
}

// Whether the job's request will be a plain GET, as one sent ahead is: no
// file of its name to compare (a HEAD), no part to continue (a range), no
// record to ask against (a condition).
bool AsksPlainly(const TPictureJob& job) {
    return job.Outcome == TOutcome::Pending && !job.Recorded && !job.Path.empty() && !job.PartPath.empty() &&
           NothingAt(job.Path) && NothingAt(job.PartPath);
}

bool SameRoute(const std::string& a, const std::string& b) {
    try {
        return RouteKey(a) == RouteKey(b);
    } catch (const Exception&) {
        return false;
    }
}

} // namespace

void TPictureFetcher::SendAhead(TIdHTTP& client, const TPictureJob& job, int64_t offset, bool conditional) {
    if (!FNextJobs || FAhead || offset > 0 || conditional || FContext.Stop.load()) return;
    // The job's own request goes first; sent ahead already, it is next on the wire.
    if (client.SentAhead() == 0 ? !client.SendAhead(job.Url) : !client.NextSentAhead(job.Url)) return;
    TPictureJob* next = FNextJobs->Claim();
    if (!next) return;
    if (AsksPlainly(*next) && SameRoute(job.Url, next->Url) && client.SendAhead(next->Url))
        FAhead = next;
    else
        FNextJobs->GiveBack(*next);
}

TPictureJob* TPictureFetcher::TakeAhead() {
    GiveBackLost();
    return std::exchange(FAhead, nullptr);
}

void TPictureFetcher::GiveBackLost() {
    if (!FAhead || FPool.NextSentAhead(FAhead->Url)) return;
    FNextJobs->GiveBack(*std::exchange(FAhead, nullptr));
}

void TPictureFetcher::WaitTakingAhead(int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    GiveBackLost();
    // A stopped run leaves it pending, as a job never started.
    if (FAhead && FContext.Stop.load()) FNextJobs->GiveBack(*std::exchange(FAhead, nullptr));
    if (FAhead) {
        // Nothing more goes ahead meanwhile: the retry must find the connection free.
        TNextJobs* jobs = std::exchange(FNextJobs, nullptr);
        jobs->FetchNow(*std::exchange(FAhead, nullptr));
        FNextJobs = jobs;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() > 0) Wait(static_cast<int>(left.count()));
}
