#pragma once
// The IO handler on one socket.

#include "net/IdIOHandler.h"
#include "net/IdSocketHandle.h"
#include "net/IdSocksInfo.h"

#include <memory>

class TIdIOHandlerSocket : public TIdIOHandler {
  public:
    TIdIOHandlerSocket() = default;
    ~TIdIOHandlerSocket() override;

    bool UseNagle = true;

    // Made on first use; one owned by another component may be assigned
    // instead, and then outlives this handler.
    TIdSocksInfo& SocksInfo();
    void SetSocksInfo(TIdSocksInfo* info) { FSocksInfo = info; }

    // Created by the first OpenHandler; nullptr before.
    TIdSocketHandle* Binding() const { return FBinding.get(); }

    void CloseHandler() override;
    void ConnectTo(const std::string& host, int port, int timeout, int boundPortMax, int boundPortMin,
                   int boundPort, const std::string& boundIP) override;
    bool IsOpen() override;
    void OpenHandler() override;
    bool WaitReadable(int timeout) override;
    int ReceiveRaw(void* buffer, int length) override;
    int ReceiveIfReady(void* buffer, int length) override;
    int SendRaw(const void* buffer, int length) override;

  private:
    std::unique_ptr<TIdSocketHandle> FBinding;
    std::unique_ptr<TIdSocksInfo> FOwnSocksInfo;
    TIdSocksInfo* FSocksInfo = nullptr;
};
