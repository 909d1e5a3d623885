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
#include <thread>

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
    int Running = 0;
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
    for (;;) {
        size_t k;
        {
            std::lock_guard<std::mutex> guard(run.Pool.Lock);
            while (run.Pool.Next < run.Jobs.size() && run.Jobs[run.Pool.Next].Outcome != TOutcome::Pending)
                ++run.Pool.Next;
            if (run.Pool.Next >= run.Jobs.size() || run.Stop.load()) break;
            k = run.Pool.Next++;
        }
        run.Events.JobStarted(id, k);
        FetchGuarded(fetcher, run.Jobs[k]);
        run.Events.JobFinished(id, k);
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
    std::vector<std::thread> threads = StartWorkers(workers, run);
    WaitForWorkers(run);
    for (std::thread& t : threads)
        t.join();
    events.End();
}
