#pragma once
// Host-name lookups that a cancel signal cuts short. The system's lookup
// cannot be interrupted (a silent name server holds it for many seconds), so
// a lookup that may be cancelled runs on a thread of its own: the caller
// waits for its answer or for the signal, whichever comes first, and when the
// signal comes first it goes on without it. The thread owns everything it
// touches and ends by itself once the system answers; it is never joined.

#include "net/IdStack.h"

#include <functional>
#include <string>

class TIdCancelSignal;

// What one lookup found: the resolver's code (0 when it answered), errno for
// its EAI_SYSTEM, and the first IPv4 address when Found.
struct TIdLookupAnswer {
    int Code = 0;
    int Errno = 0;
    bool Found = false;
    TIdInAddr Address{};
};

// A blocking lookup of one host name.
using TIdLookupFunction = std::function<TIdLookupAnswer(const std::string& host)>;

// The system's lookup: getaddrinfo, IPv4 stream addresses.
TIdLookupAnswer SystemLookup(const std::string& host);

// The answer of the lookup in use for host. Without cancel it runs on the
// calling thread; with one it raises EIdCancelled "Operation cancelled" as
// soon as cancel fires (at once when it had fired already).
TIdLookupAnswer LookupHost(const std::string& host, const TIdCancelSignal* cancel);

// For tests: the lookup every LookupHost runs from now on (empty: the
// system's again).
void SetLookupFunction(TIdLookupFunction lookup);
// For tests: the lookup threads that have not ended yet, abandoned or not.
int RunningLookups();
