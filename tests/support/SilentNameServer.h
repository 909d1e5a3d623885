#pragma once
// A name server that never answers, for stopping lookups under way without
// any name leaving the machine. For a child process right after fork (one
// thread): it gets a network and a mount namespace of its own, its loopback
// up, a UDP socket on 127.0.0.1:53 that reads nothing, and a resolv.conf that
// names only that server (30-second time-outs, five attempts: a lookup that
// is not stopped outlasts any test's time-out).

// The server's socket (readable once a query came), or -1 when the system
// gives no such namespaces here (they need root).
int EnterSilentNameServerNamespace();

// The exit code of a child that found no namespace: the test is skipped.
inline constexpr int NoNamespaceExit = 77;
