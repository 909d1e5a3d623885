#pragma once
// Starting servers for tests on loopback ports that nothing else can take in
// between, whatever runs beside the test (ctest -j).
//
// A server in this process takes a socket it bound itself to port 0 (the
// scripted peer). A child that can pick a port reports the one it bound:
// the sample service with --port-file, Python's http.server in its first
// line. Servers that bind only the port their configuration names (nginx,
// tinyproxy) go through StartOnSomePort, which starts them again on another
// port when their bind lost the port to someone else.

#include <filesystem>
#include <functional>
#include <string>
#include <sys/types.h>

// Waits until file holds `before` followed by a port number, as a server
// writes it once it listens; the port, or 0 when none came within timeoutMs.
int WaitForReportedPort(const std::filesystem::path& file, const std::string& before = "",
                        int timeoutMs = 20000);

// True when process pid itself holds a socket listening on 127.0.0.1:port.
bool ListensOn(pid_t pid, int port);

// Sends request to 127.0.0.1:port and reads until the server closes; the
// reply, empty when nobody answered.
std::string ExchangeOnce(int port, const std::string& request);

// Writes the sample service's answers under tree as static files, one folder
// per host; false when the export failed.
bool ExportSampleService(const std::filesystem::path& tree);

// nginx serving such a tree on 127.0.0.1:port, in the foreground as one
// process, with its state in folder. One server block per host: as a proxy it
// picks the block by the absolute target's host. With requestLog, one line per
// request: method, host, path, range.
std::string SampleNginxConfig(const std::filesystem::path& folder, const std::filesystem::path& tree,
                              int port, const std::filesystem::path& requestLog = {});

// start(port) starts a server configured to listen on port and returns its
// process id. Once that very process listens there, the port is returned;
// when it ends first (its bind failed), it is started again on another port.
// 0 when no attempt came up.
int StartOnSomePort(const std::function<pid_t(int port)>& start, int attempts = 5, int timeoutMs = 20000);
