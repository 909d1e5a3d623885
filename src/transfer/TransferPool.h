#pragma once
// The engine's pool: Jobs workers take the pending jobs in order, each
// fetching, resuming and retrying its file (TPictureFetcher) on kept-alive
// connections of its own. A stop fires one cancel signal that wakes every
// worker blocked on a server at once; every worker is joined before the pool
// returns, so nothing writes after it.

#include "transfer/TransferJob.h"

#include <atomic>
#include <vector>

void RunTransfers(std::vector<TPictureJob>& jobs, const TTransferOptions& options, TSavedRecord* record,
                  const std::atomic<bool>& stop, TTransferEvents& events);
