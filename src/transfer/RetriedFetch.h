#pragma once
// The pages, scripts and lists a run looks up before any picture (an
// account's home page, its album list, each album's picture list) are asked
// again as a picture is: one refused connection or one cut reply must not
// cost a whole account or album. Whether and when to ask again is the
// pictures' own rule (RetryPolicy); only the fetch differs: the text is
// held in memory, so every attempt starts again from its first byte.

#include "transfer/TransferJob.h"

#include <atomic>
#include <functional>
#include <string>

// Something worth a line with -v: an attempt that failed and the wait before the next.
using TRetryNote = std::function<void(const std::string& url, const std::string& text)>;

// The body of url as text (at most TextReplyLimit bytes), each attempt on a
// fresh client with the program's settings. The last failure is raised
// unchanged when it is not worth asking again, when options.Retries are
// spent, or when stop is set (which also ends a wait at once).
std::string FetchTextRetried(const std::string& url, const TTransferOptions& options,
                             const std::atomic<bool>& stop, const TRetryNote& note = {});
