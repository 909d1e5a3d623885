#include "transfer/TransferPool.h"

#include "net/IdCancelSignal.h"
#include "transfer/FailureText.h"
#include "transfer/PictureFetcher.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <pthread.h>
#include <set>
#include <thread>
#include <utility>

// A job never started counts as one the stop cut short.
const char* OutcomeName(TOutcome outcome) {
    switch (outcome) {
    case TOutcome::Saved:
        return "saved";
    case TOutcome::Skipped:
        return "skipped";
    case TOutcome::Failed:
        return "failed";
    case TOutcome::Interrupted:
    case TOutcome::Pending:
        return "interrupted";
    }
    return "interrupted";
}

namespace {

// The pool's shared state: the next job to hand out and how many workers
// are still busy.
struct TPool {
    std::mutex Lock;
    std::condition_variable Changed;
    size_t Next = 0;
    std::set<size_t> GivenBack; // claimed ahead, then not asked for after all
    int Claimed = 0;            // claimed ahead, still held by a worker
    int Running = 0;
    int Workers = 0;
};

struct TRun {
    std::vector<TPictureJob>& Jobs;
    const TTransferOptions& Options;
    TSavedRecord* Record;
    const std::atomic<bool>& Stop;
    TIdCancelSignal& Cancel;
    TTransferEvents& Events;
    TPool Pool;
};

// Nothing a fetch raises may leave its thread: it would end the program.
void FetchGuarded(TPictureFetcher& fetcher, TPictureJob& job) {
    try {
        fetcher.Fetch(job);
    } catch (const std::exception& e) {
        if (job.Outcome == TOutcome::Saved) return;
        job.Outcome = TOutcome::Failed;
        const auto* own = dynamic_cast<const Exception*>(&e);
        job.Message = own ? OneLineMessage(*own) : e.what();
    } catch (...) {
        if (job.Outcome == TOutcome::Saved) return;
        job.Outcome = TOutcome::Failed;
        job.Message = "The transfer failed";
    }
}

// The lowest pending job, now the caller's; false when there is none.
// Ahead (for a request sent before the current reply is read): only while
// more jobs wait than there are workers, so that none is kept from a worker
// that would start it now.
bool TakeJob(TRun& run, size_t& k, bool ahead) {
    TPool& pool = run.Pool;
    while (pool.Next < run.Jobs.size() && run.Jobs[pool.Next].Outcome != TOutcome::Pending)
        ++pool.Next;
    if (run.Stop.load()) return false;
    if (ahead && run.Jobs.size() - pool.Next <= static_cast<size_t>(pool.Workers)) return false;
    if (!pool.GivenBack.empty()) {
        k = *pool.GivenBack.begin();
        pool.GivenBack.erase(pool.GivenBack.begin());
        return true;
    }
    if (pool.Next >= run.Jobs.size()) return false;
    k = pool.Next++;
    return true;
}

// A job for a worker that has none; while others hold jobs claimed ahead,
// it waits: one of them may come back.
bool WaitForJob(TRun& run, size_t& k) {
    std::unique_lock<std::mutex> lock(run.Pool.Lock);
    while (!TakeJob(run, k, false)) {
        if (run.Pool.Claimed == 0 || run.Stop.load()) return false;
        run.Pool.Changed.wait_for(lock, std::chrono::milliseconds(100));
    }
    return true;
}

class TPoolJobs : public TNextJobs {
  public:
    TPoolJobs(TRun& run, int worker, TPictureFetcher& fetcher) : FRun(run), FWorker(worker), FFetcher(fetcher) {}
    TPictureJob* Claim() override {
        std::lock_guard<std::mutex> guard(FRun.Pool.Lock);
        size_t k;
        if (!TakeJob(FRun, k, true)) return nullptr;
        ++FRun.Pool.Claimed;
        return &FRun.Jobs[k];
    }
    void GiveBack(TPictureJob& job) override {
        std::lock_guard<std::mutex> guard(FRun.Pool.Lock);
        FRun.Pool.GivenBack.insert(static_cast<size_t>(&job - FRun.Jobs.data()));
        Settle();
    }
    void FetchNow(TPictureJob& job) override {
        {
            std::lock_guard<std::mutex> guard(FRun.Pool.Lock);
            Settle();
        }
        Run(static_cast<size_t>(&job - FRun.Jobs.data()));
        FRun.Events.JobStarted(FWorker, FCurrent); // the one waiting to be retried
    }
    // The claim is over (the job given back, or taken up by its worker).
    void Settle() {
        --FRun.Pool.Claimed;
        FRun.Pool.Changed.notify_all();
    }
    void Run(size_t k) {
        const size_t current = std::exchange(FCurrent, k);
        FRun.Events.JobStarted(FWorker, k);
        FetchGuarded(FFetcher, FRun.Jobs[k]);
        FRun.Events.JobFinished(FWorker, k);
        FCurrent = current;
    }

  private:
    TRun& FRun;
    int FWorker;
    TPictureFetcher& FFetcher;
    size_t FCurrent = 0;
};

void Worker(int id, TRun& run) {
    TFetchContext context{
        run.Options,
        run.Record,
        run.Stop,
        &run.Cancel,
        [&run, id](int64_t n) { run.Events.Bytes(id, n); },
        [&run](const TPictureJob& job, const std::string& text) { run.Events.Note(job, text); },
        [&run](const std::string& message) { run.Events.RecordFailed(message); }};
    TPictureFetcher fetcher(std::move(context));
    TPoolJobs next(run, id, fetcher);
    fetcher.AskAheadFrom(&next);
    for (TPictureJob* ahead = nullptr;; ahead = fetcher.TakeAhead()) {
        size_t k;
        if (ahead) {
            std::lock_guard<std::mutex> guard(run.Pool.Lock);
            next.Settle();
            // Left pending when the run is stopped, as a job never started.
            if (run.Stop.load()) break;
            k = static_cast<size_t>(ahead - run.Jobs.data());
        } else if (!WaitForJob(run, k)) {
            break;
        }
        next.Run(k);
    }
    std::lock_guard<std::mutex> guard(run.Pool.Lock);
    --run.Pool.Running;
    run.Pool.Changed.notify_all();
}

std::vector<std::thread> StartWorkers(int workers, TRun& run) {
    // Signals are for the thread that started the pool: it stops the run.
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGWINCH);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    std::vector<std::thread> threads;
    for (int id = 0; id < workers; ++id)
        threads.emplace_back(Worker, id, std::ref(run));
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return threads;
}

// Ticks until every worker has ended. A stop wakes the workers blocked on a
// socket at once, through the cancel signal.
void WaitForWorkers(TRun& run) {
    std::unique_lock<std::mutex> lock(run.Pool.Lock);
    while (run.Pool.Running > 0) {
        run.Pool.Changed.wait_for(lock, std::chrono::milliseconds(100));
        lock.unlock();
        if (run.Stop.load() && !run.Cancel.Cancelled()) run.Cancel.Cancel();
        run.Events.Tick();
        lock.lock();
    }
}

} // namespace

void RunTransfers(std::vector<TPictureJob>& jobs, const TTransferOptions& options, TSavedRecord* record,
                  const std::atomic<bool>& stop, TTransferEvents& events) {
    const int workers = std::max(1, options.Jobs);
    events.Begin(workers);
    TIdCancelSignal cancel;
    TRun run{jobs, options, record, stop, cancel, events, {}};
    run.Pool.Running = workers;
    run.Pool.Workers = workers;
    std::vector<std::thread> threads = StartWorkers(workers, run);
    WaitForWorkers(run);
    for (std::thread& t : threads)
        t.join();
    events.End();
}
