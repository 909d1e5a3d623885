#pragma once
// An IO handler that plays a server from memory, without sockets or waiting.
// Each connection the client opens gets the next script: a list of turns,
// each what the server sends after one request. A turn is released by a
// write of the client once everything released before has been read; a
// read with nothing released waits in vain (the read time-out), and once
// the last turn is read the server closes.

#include "net/IdIOHandler.h"

#include <string>
#include <vector>

class TMemoryIOHandler : public TIdIOHandler {
  public:
    using TScript = std::vector<std::string>;
    // The scripts of the first, second, ... connection; later ones are closed at once.
    std::vector<TScript> Connections;
    // Largest piece one receive hands over; 0: everything released.
    int SegmentSize = 0;
    int ConnectCount = 0;
    int64_t BytesWritten = 0;

    void ConnectTo(const std::string& host, int port, int timeout, int boundPortMax, int boundPortMin,
                   int boundPort, const std::string& boundIP) override;
    void CloseHandler() override { FOpen = false; }
    bool IsOpen() override { return FOpen; }
    bool WaitReadable(int timeout) override;
    int ReceiveRaw(void* buffer, int length) override;
    int SendRaw(const void* buffer, int length) override;

  private:
    bool FOpen = false;
    TScript FScript;
    size_t FReleasedTurns = 0;
    std::string FReleased;
    size_t FPosition = 0;
};
