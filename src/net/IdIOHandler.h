#pragma once
// The transport under a connection. The base does nothing; TIdIOHandlerSocket
// puts a socket under it.

#include "net/IdComponent.h"
#include "net/IdStack.h"

class TIdCancelSignal;

#include <string>

class TIdIOHandler : public TIdComponent {
  public:
    TIdIOHandler() = default;
    // Subclasses close their transport in their own destructor.
    ~TIdIOHandler() override = default;

    virtual void AfterAccept() {}
    virtual void CloseHandler() {}
    virtual void ConnectTo(const std::string& /*host*/, int /*port*/, int /*timeout*/, int /*boundPortMax*/,
                           int /*boundPortMin*/, int /*boundPort*/, const std::string& /*boundIP*/) {}
    virtual bool IsOpen() { return false; }
    virtual void OpenHandler() {}
    virtual bool WaitReadable(int /*timeout*/) { return false; }
    virtual int ReceiveRaw(void* /*buffer*/, int /*length*/) { return 0; }
    // What has already arrived, without waiting: IdNothingReady when nothing
    // has (or the transport cannot tell; the caller then waits and receives).
    virtual int ReceiveIfReady(void* /*buffer*/, int /*length*/) { return IdNothingReady; }
    virtual int SendRaw(const void* /*buffer*/, int /*length*/) { return 0; }

    // Set by the connection before each wait; a wait it ends raises EIdCancelled.
    const TIdCancelSignal* CancelSignal = nullptr;
};
