#include "DownloadRun.h"

#include "PictureFetcher.h"
#include "catalogue/Service.h"
#include "core/Classes.h"
#include "core/Exceptions.h"
#include "core/TextUtils.h"
#include "download/PictureList.h"
#include "http/BoundedFetch.h"

#include <algorithm>
#include <condition_variable>
#include <csignal>
#include <map>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <thread>

void LookupAccount(const std::string& account) {
    ClearAlbumList();
    const std::string page = FetchBoundedText("http://" + Service::HomeHost + "/" + account);
    const std::string scriptUrl = ExtractAlbumListUrl(page);
    if (scriptUrl.empty()) throw Exception("The account's home page names no album list");
    LoadAlbumList(FetchBoundedText(scriptUrl));
}

namespace {

bool IsIndex(const std::string& text) {
    return !text.empty() && text.size() <= 9 && text.find_first_not_of("0123456789") == std::string::npos;
}

size_t FindAlbum(const std::string& wanted) {
    if (IsIndex(wanted)) {
        const size_t number = std::stoul(wanted);
        if (number >= 1 && number <= AlbumList.size()) return number - 1;
    }
    const std::string name = TextTrim(wanted);
    for (size_t i = 0; i < AlbumList.size(); ++i)
        if (AlbumList[i].Name == name) return i;
    throw EGetUsage("The account has no album \"" + wanted + "\" (see --list)");
}

// Files already planned in this run, by path.
using TPlannedFiles = std::map<std::string, size_t>;

void AddPictures(TRunResult& run, size_t albumIndex, const TStringList& urls, TPlannedFiles& byPath) {
    TAlbumJob& album = run.Albums[albumIndex];
    // Two pictures with the same file (in one album, or in two albums of the
    // same name): the later one is what stays, as when they are saved one
    // after another; the earlier is not fetched at all, and no two workers
    // ever write one file.
    for (int k = 0; k < urls.Count(); ++k) {
        TPictureJob job;
        job.Album = albumIndex;
        job.Url = urls[k];
        try {
            job.Path = PicturePath(album.Files, job.Url);
        } catch (const Exception& e) {
            job.Outcome = TOutcome::Failed;
            job.Message = e.Message();
        }
        const size_t index = run.Pictures.size();
        if (!job.Path.empty()) {
            auto [at, fresh] = byPath.emplace(job.Path, index);
            if (!fresh) {
                run.Pictures[at->second].Outcome = TOutcome::Skipped;
                run.Pictures[at->second].Message = "the same file as a later picture";
                at->second = index;
            }
        }
        run.Pictures.push_back(std::move(job));
        album.Pictures.push_back(index);
    }
}

// Each picture is written under a temporary name first. A picture of the
// service may itself be called "NAME.part": its file must never be taken for
// another picture's unfinished one, so the temporary name grows until it is
// nobody's final name. The rule depends only on the plan, so a later run
// finds the same parts again.
void AssignPartPaths(TRunResult& run, const TPlannedFiles& planned) {
    for (TPictureJob& job : run.Pictures) {
        if (job.Path.empty()) continue;
        job.PartPath = job.Path + ".part";
        while (planned.count(job.PartPath))
            job.PartPath += ".part";
    }
}

} // namespace

std::vector<size_t> SelectAlbums(const std::vector<std::string>& wanted) {
    std::vector<size_t> selection;
    if (wanted.empty()) {
        for (size_t i = 0; i < AlbumList.size(); ++i)
            selection.push_back(i);
        return selection;
    }
    for (const std::string& w : wanted) {
        const size_t i = FindAlbum(w);
        if (std::find(selection.begin(), selection.end(), i) == selection.end()) selection.push_back(i);
    }
    return selection;
}

TRunResult PlanRun(const std::string& dest, const std::vector<size_t>& selection, TProgress* progress,
                   const std::atomic<bool>& stop) {
    TRunResult run;
    TPlannedFiles planned;
    run.Albums.reserve(selection.size());
    for (size_t i : selection) {
        if (stop.load()) {
            run.Interrupted = true;
            break;
        }
        TAlbumJob& album = run.Albums.emplace_back();
        album.Number = static_cast<int>(i) + 1;
        album.Album = AlbumList[i];
        try {
            TStringList urls;
            ParsePictureList(FetchBoundedText(album.Album.PicListUrl), urls);
            album.Files = WriteAlbumFolder(dest, album.Album);
            AddPictures(run, run.Albums.size() - 1, urls, planned);
            for (size_t k : album.Pictures)
                if (progress && run.Pictures[k].Outcome == TOutcome::Failed)
                    progress->PictureRefused(album, run.Pictures[k]);
        } catch (const Exception& e) {
            album.Error = e.Message();
            if (progress) progress->AlbumFailed(album);
        }
    }
    AssignPartPaths(run, planned);
    return run;
}

namespace {

// The pool's shared state: the next picture to hand out and how many
// workers are still busy.
struct TPool {
    std::mutex Lock;
    std::condition_variable Changed;
    size_t Next = 0;
    int Running = 0;
};

void Worker(int id, std::shared_ptr<TPool> poolPtr, TRunResult& run, const TGetOptions& options,
            TArchive* archive, const std::atomic<bool>& stop, TProgress& progress) {
    TFetchContext context{
        options, archive, stop, [&progress, id](int64_t n) { progress.Bytes(id, n); },
        [&progress](const TPictureJob& job, const std::string& text) { progress.Note(job, text); }};
    TPictureFetcher fetcher(std::move(context));
    TPool& pool = *poolPtr;
    for (;;) {
        size_t k;
        {
            std::lock_guard<std::mutex> guard(pool.Lock);
            while (pool.Next < run.Pictures.size() && run.Pictures[pool.Next].Outcome != TOutcome::Pending)
                ++pool.Next;
            if (pool.Next >= run.Pictures.size() || stop.load()) break;
            k = pool.Next++;
        }
        progress.JobStarted(id, k);
        fetcher.Fetch(run.Pictures[k]);
        progress.JobFinished(id, k);
    }
    std::lock_guard<std::mutex> guard(pool.Lock);
    --pool.Running;
    pool.Changed.notify_all();
}

} // namespace

namespace {

std::vector<std::thread> StartWorkers(int workers, const std::shared_ptr<TPool>& pool, TRunResult& run,
                                      const TGetOptions& options, TArchive* archive,
                                      const std::atomic<bool>& stop, TProgress& progress) {
    // Signals are for the main thread: it stops the run and writes the report.
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    std::vector<std::thread> threads;
    for (int id = 0; id < workers; ++id)
        threads.emplace_back(Worker, id, pool, std::ref(run), std::cref(options), archive, std::cref(stop),
                             std::ref(progress));
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return threads;
}

// True when every worker ended; false when some were still blocked a while
// after the stop.
bool WaitForWorkers(TPool& pool, const std::atomic<bool>& stop, TProgress& progress) {
    std::unique_lock<std::mutex> lock(pool.Lock);
    auto stopSeen = std::chrono::steady_clock::time_point::max();
    while (pool.Running > 0) {
        pool.Changed.wait_for(lock, std::chrono::milliseconds(200));
        lock.unlock();
        progress.Tick();
        lock.lock();
        if (stop.load() && stopSeen == std::chrono::steady_clock::time_point::max())
            stopSeen = std::chrono::steady_clock::now();
        // A worker blocked on a silent server only notices the stop at its
        // read time-out; the report does not wait for it that long.
        if (std::chrono::steady_clock::now() - stopSeen > std::chrono::seconds(3)) break;
    }
    return pool.Running == 0;
}

} // namespace

bool RunPictures(TRunResult& run, const TGetOptions& options, TArchive* archive,
                 const std::atomic<bool>& stop, TProgress& progress) {
    const int workers = std::max(1, options.Jobs);
    progress.Begin(workers);
    auto pool = std::make_shared<TPool>();
    pool->Running = workers;
    std::vector<std::thread> threads = StartWorkers(workers, pool, run, options, archive, stop, progress);
    const bool allEnded = WaitForWorkers(*pool, stop, progress);
    for (std::thread& t : threads)
        if (allEnded)
            t.join();
        else
            t.detach();
    progress.End();
    return allEnded;
}
