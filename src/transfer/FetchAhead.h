#pragma once
// Fetches ahead of a command that walks its files one after another: the
// command names every address it will want, in order, and then takes each
// body when its turn comes, as a file of its own. Workers on kept-alive
// connections fetch lowest first, each up to PipelineDepth bodies of one
// route in a row with their requests sent together (HTTP/1.1 pipelining,
// once the connection has shown it is kept alive), and no more than
// Lookahead finished or running ones wait for the command. With 0 connections
// nothing runs ahead: each Take fetches its address then and there on a fresh
// client, one after another.
//
// Bodies go to private files in a staging folder; what the command did not
// take is removed with the folder when the object goes, and going (a close of
// the window, a failure) stops every transfer at once.

#include "net/IdCancelSignal.h"

#include <climits>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The number of connections the window's commands fetch with:
// QUILLORA_CONNECTIONS of the environment (0 to 16), else DefaultConnections.
int FetchConnections();

class TIdHTTP;
class TPooledClients;

class TFetchAhead {
  public:
    static constexpr int MaxConnections = 16;
    // Polite to one server, and enough with pipelining to keep a far link busy.
    static constexpr int DefaultConnections = 8;
    static constexpr size_t PipelineDepth = 8;
    static constexpr size_t Lookahead = 128;

    // stagingRoot (ending with "/") is where the private folder is made; it
    // should be on the file system of the files' final places.
    TFetchAhead(int connections, const std::string& stagingRoot);
    ~TFetchAhead();
    TFetchAhead(const TFetchAhead&) = delete;
    TFetchAhead& operator=(const TFetchAhead&) = delete;

    // Queues url; a body past limit bytes fails it. Answers its number.
    size_t Add(const std::string& url, int64_t limit);
    // Waits for job, running whileWaiting between looks (it may raise, which
    // ends the wait); answers the file that holds its whole body, now the
    // caller's to move or remove. Raises what the fetch raised.
    std::string Take(size_t job, const std::function<void()>& whileWaiting);
    // Take, then the body as text; the file is removed.
    std::string TakeText(size_t job, const std::function<void()>& whileWaiting);
    const std::string& Url(size_t job) const { return FJobs.at(job).Url; }
    int Connections() const { return FConnections; }

  private:
    enum class TState { Queued, Running, Done, Taken };
    struct TJob {
        std::string Url;
        std::string Route; // RouteKey of Url; empty when it has none
        int64_t Limit = 0;
        std::string File;
        TState State = TState::Queued;
        std::exception_ptr Failure;
    };

    void Work();
    // The next jobs to run, at most PipelineDepth in a row of one route;
    // false when the object is going.
    bool NextJobs(std::vector<size_t>& batch, std::vector<TJob>& jobs);
    size_t FirstRunnable();
    void RecordDone(size_t index, const std::string& file, std::exception_ptr failure);
    // Sends the requests of jobs from..end ahead on their kept connection.
    void SendAhead(TPooledClients& clients, const std::vector<TJob>& jobs, size_t from);
    // Fetches job into a staged file and answers its name; clients none: a fresh client.
    std::string Fetch(const TJob& job, size_t index, TPooledClients* clients);
    // One GET of job into file; a failure removes the file, and drops the
    // client of a broken exchange from clients.
    void FetchStaged(TIdHTTP& client, const TJob& job, const std::string& file, TPooledClients* clients);
    std::string TakeNow(size_t index);
    // Made on first use, beside the files' final places.
    std::string StagingFolder();

    int FConnections;
    std::string FStaging; // ends with "/"; empty until the first body is staged
    std::string FStagingRoot;
    bool FMadeStagingRoot = false;
    std::once_flag FStagingMade;
    int FStagingLock = -1;  // held while the staging folder is ours
    std::deque<TJob> FJobs; // a deque: references stay valid as jobs are added
    size_t FNextQueued = 0;
    size_t FWanted = SIZE_MAX; // the job Take waits for
    size_t FRunning = 0;
    size_t FFinishedUntaken = 0;
    bool FStopping = false;
    std::mutex FLock;
    std::condition_variable FChanged;
    TIdCancelSignal FCancel;
    std::vector<std::thread> FWorkers;
};
