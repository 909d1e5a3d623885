#pragma once
// A blocking, buffered byte-stream connection: lines, counted blocks and
// streams served out of an input queue; writes at once or through a batch.

#include "core/Classes.h"
#include "net/IdBuffer.h"
#include "net/IdComponent.h"
#include "net/IdIOHandler.h"

#include <cstdint>
#include <memory>
#include <string>

enum TIdMaxLineAction { maException, maSplit };

class TIdTCPConnection;
class TIdCancelSignal;

// A hook that sees every block received and sent, and may rewrite it.
class TIdConnectionIntercept {
  public:
    virtual ~TIdConnectionIntercept() = default;
    virtual void Connect(TIdTCPConnection* /*connection*/) {}
    virtual void Disconnect() {}
    virtual void Receive(TIdSimpleBuffer& /*buffer*/) {}
    virtual void Send(TIdSimpleBuffer& /*buffer*/) {}
};

class TIdTCPConnection : public TIdComponent {
  public:
    static constexpr int32_t IdMaxLineLengthDefault = 16384;
    static constexpr int32_t IdBufferSizeDefault = 32768;
    // The least one receive asks the system for.
    static constexpr int32_t ReceiveChunk = 128 * 1024;

    TIdTCPConnection();
    ~TIdTCPConnection() override;

    // --- settings
    int32_t ReadTimeout = 0;                        // ms; 0 waits for ever
    int32_t MaxLineLength = IdMaxLineLengthDefault; // 0: no limit
    TIdMaxLineAction MaxLineAction = maException;
    int32_t RecvBufferSize = IdBufferSizeDefault;
    int32_t SendBufferSize = IdBufferSizeDefault;
    bool ASCIIFilter = false;
    TIdConnectionIntercept* Intercept = nullptr; // not owned
    TNotifyEvent OnDisconnected;
    // Not owned; when it fires, a read or connect waiting here raises EIdCancelled.
    const TIdCancelSignal* CancelSignal = nullptr;

    // --- outcome of the last ReadLn
    bool LastLineSplit = false;
    bool LastLineUnfinished = false;

    TIdIOHandler* IOHandler() const { return FIOHandler; }
    // Frees a handler the connection owns first; the new one is not owned.
    void SetIOHandler(TIdIOHandler* handler);
    bool OwnsIOHandler() const { return FOwnedIOHandler != nullptr; }
    bool ClosedGracefully() const { return FClosedGracefully; }
    TIdManagedBuffer& InputQueue() { return *FInputQueue; }
    TIdSimpleBuffer* WriteBatch() { return FWriteBatch.get(); }
    int32_t WriteBatchThreshold() const { return FWriteBatchThreshold; }

    // --- connection state
    virtual void DoOnDisconnected();
    virtual void ResetInputState();
    virtual std::string ReadAllUntilClose();
    virtual void CheckDisconnected(bool raiseIfDisconnected = true, bool ignoreBuffer = false);
    virtual void PollForClose(bool raiseIfDisconnected);
    virtual bool Connected();
    virtual void Disconnect();
    virtual void DropSocket();

    // --- reading
    // Queues one socket read; answers its count, 0 for a close, -1 for a time-out not raised.
    virtual int32_t FillInputQueue(bool raiseIfDisconnected = true, int32_t timeout = -1,
                                   bool raiseOnTimeout = true);
    virtual std::string ReadLn(const std::string& terminator = "", int32_t timeout = -1,
                               int32_t maxLength = -1);
    void ReadExact(void* destination, int32_t count);
    int32_t ReadNetInt32(bool convert = true);
    // count -1 without untilClose reads a 32-bit count first.
    void ReadIntoStream(TStream& stream, int64_t count = -1, bool untilClose = false);
    std::string TakeAvailable();

    // --- writing
    virtual void WriteText(const std::string& text);
    virtual void WriteLine(const std::string& text = "");
    void WriteBytes(const void* buffer, int32_t count, bool writeNow = false);
    void WriteInteger(int32_t value, bool convert = true);
    virtual void WriteFromStream(TStream& stream, bool all = true, bool writeByteCount = false,
                                 int64_t size = 0);
    void BeginWriteBatch(int32_t threshold = -1);
    void FlushWriteBatch(int32_t count = -1);
    void EndWriteBatch();
    void DiscardWriteBatch();

  protected:
    void Notification(TIdBaseComponent* component) override;
    void SetOwnedIOHandler(std::unique_ptr<TIdIOHandler> handler);
    void ClearClosedGracefully() { FClosedGracefully = false; }

  private:
    // One receive into the queue; with onlyIfReady IdNothingReady when nothing has arrived.
    int32_t ReceiveOnce(bool raiseIfDisconnected, bool onlyIfReady);
    int32_t HandleReceiveError();
    void QueueReceived(int32_t count);
    [[noreturn]] void RaiseMaxLineLength();
    std::string SplitOrRaise(int32_t maxLength);
    int32_t SearchQueue(const std::string& terminator, int32_t from);
    std::string TakeLine(int32_t found, const std::string& terminator);
    void WaitForQueued(int32_t count);
    void SendNow(const uint8_t* data, int32_t count);
    void MoveQueueToStream(TStream& stream, int32_t count);
    void ReadPiecesIntoStream(TStream& stream, int64_t& remaining, bool untilClose);
    void FreeOwnedIOHandler();

    std::unique_ptr<TIdManagedBuffer> FInputQueue;
    std::unique_ptr<TIdSimpleBuffer> FReceiveScratch;
    std::unique_ptr<TIdSimpleBuffer> FWriteBatch;
    int32_t FWriteBatchThreshold = 0;
    TIdIOHandler* FIOHandler = nullptr;
    std::unique_ptr<TIdIOHandler> FOwnedIOHandler;
    bool FClosedGracefully = false;
};
