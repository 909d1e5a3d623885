#include "graphics/qt/MetafilePlaybackBudget.h"

#include <algorithm>

namespace MetafileGdi {

bool TPlaybackBudget::Spend(int64_t units) {
    FLeft -= std::max<int64_t>(units, 0);
    return FLeft >= 0;
}

bool TPlaybackBudget::Spent() const {
    return FLeft < 0;
}

} // namespace MetafileGdi
