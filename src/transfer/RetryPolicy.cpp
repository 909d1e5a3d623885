#include "transfer/RetryPolicy.h"

#include "core/TextUtils.h"
#include "transfer/GetFailure.h"
#include "transfer/TransferJob.h"

#include <algorithm>
#include <cctype>

int BackoffMs(int attempt, int baseMs, int capMs, std::mt19937& random) {
    double wait = std::max(0, baseMs);
    for (int k = 1; k < attempt && wait < capMs; ++k)
        wait *= 2;
    const int full = static_cast<int>(std::min<double>(wait, std::max(0, capMs)));
    if (full <= 1) return full;
    std::uniform_int_distribution<int> half(0, full / 2);
    return full - full / 2 + half(random);
}

std::optional<double> RetryAfterSeconds(const std::string& value, TDateTime nowLocal) {
    const std::string text = TextTrim(value);
    if (text.empty()) return std::nullopt;
    if (std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); })) {
        // Longer than any wait we would honour anyway; keeps the number in range.
        if (text.size() > 9) return 1e9;
        return std::stod(text);
    }
    // A text that is no date reads as day 0 (1899); no real date is that old.
    const TDateTime when = StrInternetToDateTime(text);
    if (when < 2) return std::nullopt;
    return std::max(0.0, (when - nowLocal) * 86400.0);
}

bool RetryableStatus(int code) {
    return code == 408 || code == 425 || code == 429 || code >= 500;
}

bool RetryAgain(const TFailureClass& failure, int attempt, const TTransferOptions& options) {
    return failure.Retry && attempt <= options.Retries;
}

int RetryWaitMs(const TFailureClass& failure, int attempt, const TTransferOptions& options,
                std::mt19937& random) {
    const int capMs = static_cast<int>(std::min(options.MaxWaitSeconds * 1000.0, 2e9));
    if (failure.ServerWait) return static_cast<int>(std::min(*failure.ServerWait * 1000, 1.0 * capMs));
    return BackoffMs(attempt, options.BackoffMs, capMs, random);
}
