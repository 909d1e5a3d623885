#pragma once
// One worker's way of fetching pictures: pooled keep-alive connections, the
// skip rules, the temporary file resumed with a Range request, the proof
// that a file is whole before it takes its name, and the retries.

#include "core/Exceptions.h"
#include "transfer/GetFailure.h"
#include "transfer/PooledClients.h"
#include "transfer/TransferJob.h"
#include "transfer/WireWatch.h"

#include <atomic>
#include <functional>
#include <optional>
#include <random>
#include <string>

class TIdHTTP;
class TIdHTTPResponse;
class TIdCancelSignal;
class TPartStream;
class TStream;
class TStallWatch;

struct TFetchContext {
    const TTransferOptions& Options;
    TSavedRecord* Archive; // none: nothing is recorded
    const std::atomic<bool>& Stop;
    // Wakes reads and connects of every worker when the run is stopped; may be none.
    TIdCancelSignal* Cancel;
    // Bytes received for the job of this worker (may be called often).
    std::function<void(int64_t bytes)> OnBytes;
    // Something worth a line with -v.
    std::function<void(const TPictureJob& job, const std::string& text)> OnNote;
    // Archive could not be read or written.
    std::function<void(const std::string& message)> OnRecordFailed;
};

// How many kept-alive connections (routes: proxies or origins) one worker holds at most.
constexpr size_t KeptConnectionsPerWorker = 4;

// Where a worker's next job comes from when its request may go out before
// the reply of the job being fetched is read, on the same connection (HTTP/1.1
// pipelining): the link then carries the next picture right after this one,
// without a round trip between them.
class TNextJobs {
  public:
    virtual ~TNextJobs() = default;
    // The next pending job, now the caller's; none when none is to spare.
    virtual TPictureJob* Claim() = 0;
    // A claimed job whose request is not (or no longer) on the wire.
    virtual void GiveBack(TPictureJob& job) = 0;
    // Fetches a claimed job at once, while the job that claimed it waits.
    virtual void FetchNow(TPictureJob& job) = 0;
};

class TPictureFetcher {
  public:
    explicit TPictureFetcher(TFetchContext context);
    ~TPictureFetcher();

    // Saves or skips the picture; the outcome, size, message and time go into job.
    void Fetch(TPictureJob& job);
    // Lets Fetch send the request of a job claimed from next ahead of reading
    // its own reply; none: one request at a time.
    void AskAheadFrom(TNextJobs* next) { FNextJobs = next; }
    // The job whose request went out ahead and is still to be read: the
    // caller fetches it next. None when there is none.
    TPictureJob* TakeAhead();

  private:
    TIdHTTP& ClientFor(const std::string& url);
    bool SkipExisting(TPictureJob& job);
    std::optional<int64_t> ServerSize(const std::string& url);
    // The class of the failure that ended the picture; none when it did not fail.
    std::optional<TFailureClass> FetchWithRetries(TPictureJob& job);
    // One attempt: none when the picture was saved or found unchanged.
    std::optional<TGetFailure> Attempt(TPictureJob& job);
    std::optional<TGetFailure> GetOnce(TPictureJob& job, const std::string& part, int64_t offset);
    std::optional<TGetFailure> RunGet(TPictureJob& job, const std::string& part, int64_t offset);
    std::optional<TGetFailure> Transfer(TIdHTTP& client, const std::string& url, TStream& body,
                                        const TStallWatch& stall);
    int64_t AcceptReply(TIdHTTPResponse& reply, TPictureJob& job, int64_t offset,
                        const std::string& validator, TPartStream& body);
    void KeepServerTime(const TPictureJob& job, TPartStream& body);
    void Finish(TPictureJob& job);
    void Record(const TPictureJob& job);
    void RecordFailed(const std::exception_ptr& failure);
    void DiscardUselessPart(const TPictureJob& job, bool keepPart);
    // Waits, unless the run is stopped first; false when it was.
    bool Wait(int ms);
    // How long to wait before the attempt after one that failed so.
    int WaitAfter(const TFailureClass& failure, int attempt);
    // Before job's reply is read: its request and the next job's go out
    // together, when both are plain GETs of one kept-alive connection.
    void SendAhead(TIdHTTP& client, const TPictureJob& job, int64_t offset, bool conditional);
    // The job claimed ahead goes back when its request is no longer on the wire.
    void GiveBackLost();
    // Waits ms before a retry; a reply sent ahead is read meanwhile, as the
    // server has already been asked for it.
    void WaitTakingAhead(int ms);

    TFetchContext FContext;
    TWireWatch FWatch; // hooked into the client of each request; outlives the clients
    TPooledClients FPool;
    std::mt19937 FRandom;
    TNextJobs* FNextJobs = nullptr;
    TPictureJob* FAhead = nullptr; // claimed, its request sent ahead
};

// The size of a file; -1 when there is none.
int64_t FileSizeOf(const std::string& path);
