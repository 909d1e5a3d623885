#pragma once
// When to try a picture again, and how long to wait first.

#include "http/IdHTTPDate.h"

#include <optional>
#include <random>
#include <string>

struct TFailureClass;
struct TTransferOptions;

// The wait before attempt number attempt + 1 (attempt counts from 1):
// baseMs doubled per attempt, never above capMs, with "equal jitter" (half
// fixed, half random) so that parallel jobs that failed together do not all
// come back together.
int BackoffMs(int attempt, int baseMs, int capMs, std::mt19937& random);

// Retry-After as seconds from now: a number of seconds or an HTTP date.
// None for anything else; a date in the past is 0.
std::optional<double> RetryAfterSeconds(const std::string& value, TDateTime nowLocal);

// Whether a reply with this status is worth asking again.
bool RetryableStatus(int code);

// Whether attempt number attempt (from 1) that failed so is followed by
// another: the failure is worth asking again and --retries is not spent.
bool RetryAgain(const TFailureClass& failure, int attempt, const TTransferOptions& options);
// The wait before that next attempt: the server's Retry-After when it gave
// one, else the back-off; never above the longest wait the options allow.
int RetryWaitMs(const TFailureClass& failure, int attempt, const TTransferOptions& options,
                std::mt19937& random);
