#include "net/IdCancelSignal.h"

#include "net/IdException.h"

#include <cerrno>
#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

TIdCancelSignal::TIdCancelSignal() : FFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (FFd < 0) throw EIdException("Cannot create the cancel signal.");
}

TIdCancelSignal::~TIdCancelSignal() {
    ::close(FFd);
}

void TIdCancelSignal::Cancel() noexcept {
    if (FCancelled.exchange(true, std::memory_order_acq_rel)) return;
    // Never read back: the descriptor stays readable for every later wait.
    const uint64_t one = 1;
    while (::write(FFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}
