#pragma once
// Host-name lookups that a cancel signal cuts short. The system's lookup
// cannot be interrupted (a silent name server holds it for many seconds), so
// a lookup that may be cancelled runs on a thread of its own: the caller
// waits for its answer or for the signal, whichever comes first, and when the
// signal comes first it goes on without it. The thread owns everything it
// touches and ends by itself once the system answers; it is never joined.
// Abandoned threads are bounded: while MaxAbandonedLookups of them are still
// running, a new lookup waits for one of them to end before it starts.

#include "net/IdStack.h"

#include <functional>
#include <string>
#include <vector>

class TIdCancelSignal;

// What one lookup found: the resolver's code (0 when it answered), errno for
// its EAI_SYSTEM, and the stream addresses of both families as texts, in the
// order the system gives them (its RFC 6724 preference).
struct TIdLookupAnswer {
    int Code = 0;
    int Errno = 0;
    std::vector<std::string> Addresses;
};

// A blocking lookup of one host name.
using TIdLookupFunction = std::function<TIdLookupAnswer(const std::string& host)>;

// The system's lookup: getaddrinfo, stream addresses of either family.
TIdLookupAnswer SystemLookup(const std::string& host);

// A silent name server keeps each abandoned lookup for up to its whole
// time-out (minutes with several servers and attempts). Eight is the window's
// one connection plus quillora-get's default workers with room to spare: a
// run stopped and started again a few times still resolves at once, while a
// user who keeps stopping runs against a dead server cannot pile up threads.
// More than eight may be abandoned at one stop (one per waiting caller), but
// no new lookup starts until they are fewer again.
inline constexpr int MaxAbandonedLookups = 8;

// The answer of the lookup in use for host. Without cancel it runs on the
// calling thread; with one it raises EIdCancelled "Operation cancelled" as
// soon as cancel fires (at once when it had fired already). timeout (ms,
// <= 0: none) bounds the wait for a free slot when MaxAbandonedLookups are
// still running; past it EIdConnectTimeout says so.
TIdLookupAnswer LookupHost(const std::string& host, const TIdCancelSignal* cancel, int timeout = 0);

// The addresses in the order they are tried: the first family first, then
// the families by turns, each keeping its own order (one IPv6, one IPv4, ...),
// so that a family that is broken costs one attempt, not all of its own.
std::vector<std::string> InterleaveFamilies(const std::vector<std::string>& addresses);

// For tests: the lookup every LookupHost runs from now on (empty: the
// system's again).
void SetLookupFunction(TIdLookupFunction lookup);
// For tests: the lookup threads that have not ended yet, abandoned or not.
int RunningLookups();
// For tests: the lookup threads whose caller went on without them.
int AbandonedLookups();
