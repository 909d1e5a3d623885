#pragma once
// One worker's way of fetching pictures: a keep-alive client per host, the
// skip rules, the ".part" file resumed with a Range request, and the retries.

#include "Archive.h"
#include "GetTypes.h"

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>

class TIdHTTP;
class TIdHTTPResponse;
class TPartStream;

// Raised from inside a transfer when the run is being stopped.
QUILLORA_EXCEPTION(EGetInterrupted, Exception);

struct TFetchContext {
    const TGetOptions& Options;
    TArchive* Archive; // none without --archive
    const std::atomic<bool>& Stop;
    // Bytes received for the job of this worker (may be called often).
    std::function<void(int64_t bytes)> OnBytes;
    // Something worth a line with -v.
    std::function<void(const TPictureJob& job, const std::string& text)> OnNote;
};

class TPictureFetcher {
  public:
    explicit TPictureFetcher(TFetchContext context);
    ~TPictureFetcher();

    // Saves or skips the picture; the outcome, size, message and time go into job.
    void Fetch(TPictureJob& job);

  private:
    TIdHTTP& ClientFor(const std::string& url);
    void DropClient(const std::string& url);
    bool SkipExisting(TPictureJob& job);
    std::optional<int64_t> ServerSize(const std::string& url);
    void FetchWithRetries(TPictureJob& job);
    void Attempt(TPictureJob& job);
    void RunGet(TPictureJob& job, const std::string& part, int64_t offset);
    void AcceptReply(TIdHTTPResponse& reply, TPictureJob& job, const std::string& part, int64_t offset,
                     const std::string& validator, TPartStream& body);
    void Finish(TPictureJob& job, const std::string& part);
    // Waits, unless the run is stopped first; false when it was.
    bool Wait(int ms);
    int WaitAfter(const std::exception_ptr& failure, int attempt, std::string& message, bool& retry);

    TFetchContext FContext;
    std::map<std::string, std::unique_ptr<TIdHTTP>> FClients;
    std::mt19937 FRandom;
    std::string FLastRetryAfter; // of the last refused reply
    bool FBroken = false;        // the last exchange broke off
};

// The size of a file; -1 when there is none.
int64_t FileSizeOf(const std::string& path);
