#pragma once
// An IO handler that plays a server from memory: each connection the client
// opens gets the next script of bytes, served in segments of a chosen size,
// and is closed by the "server" once its script is used up. What the client
// writes is only counted. No socket, no waiting: every read is ready at once.

#include "net/IdIOHandler.h"

#include <string>
#include <vector>

class TMemoryIOHandler : public TIdIOHandler {
  public:
    // What the server sends on the first, second, ... connection; later
    // connections are closed at once.
    std::vector<std::string> Connections;
    // Largest piece one receive hands over; 0: everything that is left.
    int SegmentSize = 0;
    int ConnectCount = 0;
    int64_t BytesWritten = 0;

    void ConnectTo(const std::string& host, int port, int timeout, int boundPortMax, int boundPortMin,
                   int boundPort, const std::string& boundIP) override;
    void CloseHandler() override { FOpen = false; }
    bool IsOpen() override { return FOpen; }
    bool WaitReadable(int /*timeout*/) override { return true; }
    int ReceiveRaw(void* buffer, int length) override;
    int SendRaw(const void* buffer, int length) override;

  private:
    bool FOpen = false;
    std::string FScript;
    size_t FPosition = 0;
};
