#include "transfer/FetchAhead.h"

#include "core/Classes.h"
#include "core/Exceptions.h"
#include "core/FileUtils.h"
#include "core/Gbk.h"
#include "core/TextUtils.h"
#include "http/BoundedFetch.h"
#include "http/ClientSettings.h"
#include "http/IdHTTP.h"
#include "transfer/PooledClients.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

int FetchConnections() {
    const char* text = std::getenv("QUILLORA_CONNECTIONS");
    if (text == nullptr || *text == '\0') return TFetchAhead::DefaultConnections;
    char* end = nullptr;
    const long n = std::strtol(text, &end, 10);
    if (*end != '\0' || n < 0) return TFetchAhead::DefaultConnections;
    return static_cast<int>(std::min<long>(n, TFetchAhead::MaxConnections));
}

namespace {

// One GET of url into file, as a fresh client of the program would make it:
// a length named in advance past limit fails before any of the body is read.
void FetchInto(TIdHTTP& client, const std::string& url, int64_t limit, const std::string& file) {
    TFileStream out(file, TFileMode::fmCreate);
    TBoundedStream bounded(out, limit, url);
    const TReplyLengthHook hook(client, bounded);
    client.FetchToStream(url, bounded);
}

constexpr const char* StagingPrefix = ".quillora-fetch-";
// In each staging folder: locked (flock) by its program as long as it runs,
// so the lock is free only once the program is gone, however it ended. A
// process number would tell nothing across PID namespaces or once reused.
constexpr const char* StagingLockName = "/lock";

bool IsLockedFileAt(int fd, const std::string& path) {
    struct stat held {
    }, named{};
    return ::fstat(fd, &held) == 0 && ::lstat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
           held.st_ino == named.st_ino;
}

// A staging folder whose lock is free was left by a program that was
// killed, and nobody will take its files. Its lock is taken (made, for a
// folder without one) before the folder goes, so that a program that just
// made the folder finds its claim lost and makes another.
void RemoveDeadStagingFolders(const std::string& root) {
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(root, ignored)) {
        if (entry.path().filename().string().rfind(StagingPrefix, 0) != 0 || entry.is_symlink(ignored) ||
            !entry.is_directory(ignored))
            continue;
        const std::string lock = entry.path().string() + StagingLockName;
        const int fd = ::open(lock.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) continue;
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && IsLockedFileAt(fd, lock))
            std::filesystem::remove_all(entry.path(), ignored);
        ::close(fd);
    }
}

// Makes a staging folder under root and claims it: its lock file made and
// locked, and still there once locked. Answers the folder (native); the
// lock stays held on lockFd.
std::string ClaimStagingFolder(const std::string& root, int& lockFd) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::string folder = root + StagingPrefix + "XXXXXX";
        if (::mkdtemp(folder.data()) == nullptr) RaiseCannotCreate(FileNameToGbk(folder));
        const std::string lock = folder + StagingLockName;
        const int fd = ::open(lock.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 && IsLockedFileAt(fd, lock)) {
            lockFd = fd;
            return folder;
        }
        // Taken by another program's clean-up in between, which removes it.
        if (fd >= 0) ::close(fd);
    }
    RaiseCannotCreate(FileNameToGbk(root + StagingPrefix));
}

void RemoveQuietly(const std::string& file) {
    ::unlink(GbkToFileName(file).c_str());
}

// An address that names no route is fetched on its own, and fails there.
std::string RouteOf(const std::string& url) {
    try {
        return RouteKey(url);
    } catch (const Exception&) {
        return std::string();
    }
}

} // namespace

TFetchAhead::TFetchAhead(int connections, const std::string& stagingRoot)
    : FConnections(std::clamp(connections, 0, MaxConnections)), FStagingRoot(stagingRoot) {
    for (int k = 0; k < FConnections; ++k)
        FWorkers.emplace_back([this] { Work(); });
}

TFetchAhead::~TFetchAhead() {
    {
        std::lock_guard<std::mutex> lock(FLock);
        FStopping = true;
    }
    // Wakes every worker blocked in a read or a connect at once.
    FCancel.Cancel();
    FChanged.notify_all();
    for (std::thread& worker : FWorkers)
        worker.join();
    if (!FStaging.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(GbkToFileName(FStaging), ignored);
    }
    if (FStagingLock >= 0) ::close(FStagingLock); // only once the folder is gone
    if (FMadeStagingRoot) {
        std::error_code ignored;
        std::filesystem::remove(GbkToFileName(FStagingRoot), ignored); // only when empty
    }
}

size_t TFetchAhead::Add(const std::string& url, int64_t limit) {
    std::lock_guard<std::mutex> lock(FLock);
    TJob& job = FJobs.emplace_back();
    job.Url = url;
    job.Route = RouteOf(url);
    job.Limit = limit;
    FChanged.notify_all();
    return FJobs.size() - 1;
}

// Made once, outside the engine's lock: cleaning up after killed programs
// may take a while, and the command's Take must not wait for it.
std::string TFetchAhead::StagingFolder() {
    std::call_once(FStagingMade, [this] {
        FMadeStagingRoot = !std::filesystem::is_directory(GbkToFileName(FStagingRoot));
        MakeFolders(FStagingRoot);
        const std::string root = GbkToFileName(FStagingRoot);
        RemoveDeadStagingFolders(root);
        FStaging = FileNameToGbk(ClaimStagingFolder(root, FStagingLock)) + "/";
    });
    return FStaging;
}

std::string TFetchAhead::Fetch(const TJob& job, size_t index, TPooledClients* clients) {
    const std::string file = StagingFolder() + "f" + IntToText(static_cast<int64_t>(index));
    if (!clients) {
        TIdHTTP fresh;
        ApplyClientSettings(fresh, job.Url);
        fresh.CancelSignal = &FCancel;
        FetchStaged(fresh, job, file, nullptr);
        return file;
    }
    // A kept connection the server closed while it lay idle fails the request
    // before any byte of a reply: that is asked once more on a new connection.
    for (bool firstTry = true;; firstTry = false) {
        TIdHTTP& client = clients->ClientFor(job.Url);
        const TWireWatch::TMark mark = clients->Watch().Mark();
        try {
            FetchStaged(client, job, file, clients);
            return file;
        } catch (const Exception& e) {
            if (!firstTry || FCancel.Cancelled() || !clients->Watch().ClosedBeforeReply(mark, e)) throw;
        }
    }
}

void TFetchAhead::FetchStaged(TIdHTTP& client, const TJob& job, const std::string& file,
                              TPooledClients* clients) {
    try {
        FetchInto(client, job.Url, job.Limit, file);
    } catch (const EIdHTTPProtocolException&) {
        // A refused reply was read by its framing (or the client dropped the
        // connection itself): the connection may carry the next request.
        RemoveQuietly(file);
        throw;
    } catch (...) {
        RemoveQuietly(file);
        // Whatever the exchange left on the connection is not to be trusted.
        if (clients) clients->Drop(job.Url);
        throw;
    }
}

// The body the command waits for goes first, whatever waits unread; then
// the lowest queued one, while the finished and running ones leave room.
size_t TFetchAhead::FirstRunnable() {
    if (FWanted < FJobs.size() && FJobs[FWanted].State == TState::Queued) return FWanted;
    while (FNextQueued < FJobs.size() && FJobs[FNextQueued].State != TState::Queued)
        ++FNextQueued;
    if (FNextQueued < FJobs.size() && FFinishedUntaken + FRunning < Lookahead) return FNextQueued;
    return SIZE_MAX;
}

bool TFetchAhead::NextJobs(std::vector<size_t>& batch, std::vector<TJob>& jobs) {
    std::unique_lock<std::mutex> lock(FLock);
    size_t first = SIZE_MAX;
    while (!FStopping && (first = FirstRunnable()) == SIZE_MAX)
        FChanged.wait(lock);
    if (FStopping) return false;
    batch.clear();
    jobs.clear();
    for (size_t i = first; i < FJobs.size() && batch.size() < PipelineDepth; ++i) {
        TJob& job = FJobs[i];
        const bool joins = job.State == TState::Queued && !job.Route.empty() && job.Route == FJobs[first].Route &&
                           FFinishedUntaken + FRunning < Lookahead;
        if (!batch.empty() && !joins) break;
        job.State = TState::Running;
        ++FRunning;
        batch.push_back(i);
        jobs.push_back(job);
    }
    return true;
}

void TFetchAhead::SendAhead(TPooledClients& clients, const std::vector<TJob>& jobs, size_t from) {
    // One request alone gains nothing by going out early.
    if (from + 1 >= jobs.size() || clients.ClientFor(jobs[from].Url).SentAhead() > 0) return;
    for (size_t k = from; k < jobs.size(); ++k)
        if (!clients.ClientFor(jobs[k].Url).SendAhead(jobs[k].Url)) return;
}

void TFetchAhead::Work() {
    TPooledClients clients(&FCancel);
    std::vector<size_t> batch;
    std::vector<TJob> jobs;
    while (NextJobs(batch, jobs)) {
        for (size_t k = 0; k < batch.size() && !FCancel.Cancelled(); ++k) {
            std::string file;
            std::exception_ptr failure;
            try {
                SendAhead(clients, jobs, k);
                file = Fetch(jobs[k], batch[k], &clients);
            } catch (...) {
                failure = std::current_exception();
            }
            RecordDone(batch[k], file, failure);
        }
    }
}

void TFetchAhead::RecordDone(size_t index, const std::string& file, std::exception_ptr failure) {
    std::lock_guard<std::mutex> lock(FLock);
    TJob& done = FJobs[index];
    done.File = file;
    done.Failure = std::move(failure);
    done.State = TState::Done;
    --FRunning;
    ++FFinishedUntaken;
    FChanged.notify_all();
}

std::string TFetchAhead::Take(size_t index, const std::function<void()>& whileWaiting) {
    if (FConnections == 0) return TakeNow(index);
    std::unique_lock<std::mutex> lock(FLock);
    TJob& job = FJobs.at(index);
    if (job.State == TState::Taken) throw Exception("A fetched body was taken twice");
    FWanted = index;
    FChanged.notify_all();
    while (job.State != TState::Done) {
        FChanged.wait_for(lock, std::chrono::milliseconds(10));
        if (job.State == TState::Done) break;
        lock.unlock();
        whileWaiting();
        lock.lock();
    }
    job.State = TState::Taken;
    --FFinishedUntaken;
    FChanged.notify_all();
    const std::exception_ptr failure = job.Failure;
    const std::string file = job.File;
    lock.unlock();
    if (failure) std::rethrow_exception(failure);
    return file;
}

std::string TFetchAhead::TakeNow(size_t index) {
    TJob job;
    {
        std::lock_guard<std::mutex> lock(FLock);
        TJob& queued = FJobs.at(index);
        if (queued.State == TState::Taken) throw Exception("A fetched body was taken twice");
        queued.State = TState::Taken;
        job = queued;
    }
    return Fetch(job, index, nullptr);
}

std::string TFetchAhead::TakeText(size_t index, const std::function<void()>& whileWaiting) {
    const std::string file = Take(index, whileWaiting);
    TMemoryStream stream;
    try {
        stream.LoadFromFile(file);
    } catch (...) {
        RemoveQuietly(file);
        throw;
    }
    RemoveQuietly(file);
    return stream.DataString();
}
