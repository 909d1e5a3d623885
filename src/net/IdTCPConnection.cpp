#include "net/IdTCPConnection.h"

#include "core/ScopeGuard.h"
#include "net/IdCancelSignal.h"
#include "net/IdException.h"
#include "net/IdStack.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <limits>
#include <vector>

namespace {

// How far a stream is grown ahead of the bytes that have really arrived: a
// peer may announce 2 GB and send nothing.
constexpr int64_t GrowAheadLimit = 16 * 1024 * 1024;

int32_t ClampToInt32(int64_t value) {
    return static_cast<int32_t>(
        std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
}

void CutStreamToPosition(TStream& stream) {
    int64_t position = stream.Position();
    if (stream.Size() > position) stream.SetSize(position);
}

} // namespace

TIdTCPConnection::TIdTCPConnection()
    : FInputQueue(std::make_unique<TIdManagedBuffer>()),
      FReceiveScratch(std::make_unique<TIdSimpleBuffer>()) {
    FInputQueue->OnRemove = [this](TIdSimpleBuffer*, int32_t count) { AddWork(wmRead, count); };
}

TIdTCPConnection::~TIdTCPConnection() {
    if (FIOHandler) {
        FClosedGracefully = true;
        if (Intercept) Intercept->Disconnect();
        FIOHandler->CloseHandler();
    }
    FreeOwnedIOHandler();
    if (FIOHandler) FIOHandler->RemoveFreeNotification(this);
}

// ---------------------------------------------------------------- IO handler

void TIdTCPConnection::FreeOwnedIOHandler() {
    if (!FOwnedIOHandler) return;
    std::unique_ptr<TIdIOHandler> handler = std::move(FOwnedIOHandler);
    FIOHandler = nullptr;
    handler->RemoveFreeNotification(this);
}

void TIdTCPConnection::SetIOHandler(TIdIOHandler* handler) {
    if (handler == FIOHandler) return;
    if (FOwnedIOHandler)
        FreeOwnedIOHandler();
    else if (FIOHandler)
        FIOHandler->RemoveFreeNotification(this);
    FIOHandler = handler;
    if (handler) handler->FreeNotification(this);
}

void TIdTCPConnection::SetOwnedIOHandler(std::unique_ptr<TIdIOHandler> handler) {
    SetIOHandler(handler.get());
    FOwnedIOHandler = std::move(handler);
}

void TIdTCPConnection::Notification(TIdBaseComponent* component) {
    if (component != FIOHandler) return;
    FIOHandler = nullptr;
    // Already being destroyed: never free it a second time.
    if (FOwnedIOHandler) (void)FOwnedIOHandler.release();
}

// ---------------------------------------------------------------- state

void TIdTCPConnection::DoOnDisconnected() {
    if (OnDisconnected) OnDisconnected(this);
}

void TIdTCPConnection::ResetInputState() {
    FInputQueue->Clear();
    FClosedGracefully = false;
}

void TIdTCPConnection::CheckDisconnected(bool raiseIfDisconnected, bool ignoreBuffer) {
    bool disconnected = false;
    if (FClosedGracefully && FIOHandler) {
        if (FIOHandler->IsOpen()) {
            DropSocket();
            ReportStatus(hsDisconnected);
            DoOnDisconnected();
        }
        disconnected = true;
    } else if (FIOHandler) {
        disconnected = !FIOHandler->IsOpen();
    }
    if (disconnected && raiseIfDisconnected && (FInputQueue->Size() == 0 || ignoreBuffer))
        throw EIdConnClosedGracefully(RSConnectionClosedGracefully);
}

bool TIdTCPConnection::Connected() {
    CheckDisconnected(false, false);
    return FIOHandler != nullptr && FIOHandler->IsOpen();
}

void TIdTCPConnection::PollForClose(bool raiseIfDisconnected) {
    FillInputQueue(raiseIfDisconnected, 1, false);
}

void TIdTCPConnection::Disconnect() {
    ReportStatus(hsDisconnecting);
    DropSocket();
    FreeOwnedIOHandler();
    DoOnDisconnected();
    ReportStatus(hsDisconnected);
}

void TIdTCPConnection::DropSocket() {
    if (!FIOHandler) return;
    FClosedGracefully = true;
    if (Intercept) Intercept->Disconnect();
    FIOHandler->CloseHandler();
}

// ---------------------------------------------------------------- receiving

int32_t TIdTCPConnection::FillInputQueue(bool raiseIfDisconnected, int32_t timeout, bool raiseOnTimeout) {
    if (timeout == -1) timeout = ReadTimeout > 0 ? ReadTimeout : IdTimeoutInfinite;
    CheckDisconnected(raiseIfDisconnected, false);
    if (!Connected()) {
        if (raiseIfDisconnected) throw EIdNotConnected(RSNotConnected);
        return 0;
    }
    int32_t count;
    FIOHandler->CancelSignal = CancelSignal;
    do {
        // While a body streams in, what has arrived is taken without a wait
        // (one system call instead of two); a stop still comes first.
        if (CancelSignal && CancelSignal->Cancelled()) throw EIdCancelled(RSCancelled);
        count = ReceiveOnce(raiseIfDisconnected, true);
        if (count == IdNothingReady) {
            if (!FIOHandler->WaitReadable(timeout)) {
                if (raiseOnTimeout) throw EIdReadTimeout(RSReadTimeout);
                return -1;
            }
            count = ReceiveOnce(raiseIfDisconnected, false);
        }
        CheckDisconnected(raiseIfDisconnected, false);
    } while (count == 0 && Connected());
    return count;
}

int32_t TIdTCPConnection::ReceiveOnce(bool raiseIfDisconnected, bool onlyIfReady) {
    if (!FIOHandler) {
        if (raiseIfDisconnected) throw EIdNotConnected(RSNotConnected);
        return 0;
    }
    // Received straight into the queue's free end: one copy less per byte
    // than going through the scratch buffer. At least ReceiveChunk at a time,
    // so that a fast body takes few calls.
    const int32_t size = std::max(RecvBufferSize, ReceiveChunk);
    uint8_t* target = FInputQueue->Reserve(size);
    int32_t count = onlyIfReady ? FIOHandler->ReceiveIfReady(target, size) : FIOHandler->ReceiveRaw(target, size);
    if (count == IdNothingReady) return count;
    FClosedGracefully = count == 0;
    if (count == Id_SOCKET_ERROR) return HandleReceiveError();
    if (count > 0) QueueReceived(count);
    return count;
}

int32_t TIdTCPConnection::HandleReceiveError() {
    GStack().CheckSocketResult(Id_SOCKET_ERROR, {Id_WSAESHUTDOWN, Id_WSAECONNABORTED});
    int errorNumber = TIdStack::LastError();
    DropSocket();
    if (FInputQueue->Size() == 0) GStack().RaiseSocketError(errorNumber);
    return 0;
}

void TIdTCPConnection::QueueReceived(int32_t count) {
    uint8_t* bytes = FInputQueue->Memory() + FInputQueue->Size();
    if (ASCIIFilter) {
        for (int32_t i = 0; i < count; ++i)
            bytes[i] &= 0x7F;
    }
    if (!Intercept) {
        FInputQueue->Commit(count);
        return;
    }
    FReceiveScratch->Clear();
    FReceiveScratch->Append(bytes, count);
    Intercept->Receive(*FReceiveScratch);
    FInputQueue->Append(FReceiveScratch->Memory(), FReceiveScratch->Size());
}

// ---------------------------------------------------------------- lines

void TIdTCPConnection::RaiseMaxLineLength() {
    throw EIdReadLnMaxLineLengthExceeded(RSMaxLineLengthExceeded);
}

std::string TIdTCPConnection::SplitOrRaise(int32_t maxLength) {
    if (MaxLineAction == maException) RaiseMaxLineLength();
    LastLineSplit = true;
    return FInputQueue->TakeFront(maxLength);
}

int32_t TIdTCPConnection::SearchQueue(const std::string& terminator, int32_t from) {
    const uint8_t* memory = FInputQueue->Memory();
    int32_t size = FInputQueue->Size();
    // A terminator split across two receives starts before the old end.
    from = std::max<int32_t>(0, from - static_cast<int32_t>(terminator.size()) + 1);
    if (from >= size) return 0;
    const void* hit =
        terminator.size() == 1
            ? std::memchr(memory + from, terminator[0], static_cast<size_t>(size - from))
            : memmem(memory + from, static_cast<size_t>(size - from), terminator.data(), terminator.size());
    return hit ? static_cast<int32_t>(static_cast<const uint8_t*>(hit) - memory) + 1 : 0;
}

std::string TIdTCPConnection::TakeLine(int32_t found, const std::string& terminator) {
    std::string line = FInputQueue->TakeFront(found + static_cast<int32_t>(terminator.size()) - 1);
    line.resize(line.size() - terminator.size());
    if (terminator == "\n" && !line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

std::string TIdTCPConnection::ReadLn(const std::string& terminator, int32_t timeout, int32_t maxLength) {
    if (maxLength < 0) maxLength = MaxLineLength;
    const std::string term = terminator.empty() ? std::string("\n") : terminator;
    LastLineSplit = false;
    LastLineUnfinished = false;
    int32_t found = 0;
    int32_t searched = 0;
    for (;;) {
        if (FInputQueue->Size() > 0) {
            found = SearchQueue(term, searched);
            searched = FInputQueue->Size();
        }
        if (maxLength > 0 && found - 1 > maxLength) return SplitOrRaise(maxLength);
        if (found > 0) return TakeLine(found, term);
        if (maxLength > 0 && FInputQueue->Size() > maxLength) return SplitOrRaise(maxLength);
        CheckDisconnected(true, true);
        if (FillInputQueue(true, timeout, timeout == -1) == 0) {
            LastLineUnfinished = true;
            return {};
        }
    }
}

// ---------------------------------------------------------------- counted reads

void TIdTCPConnection::WaitForQueued(int32_t count) {
    while (FInputQueue->Size() < count) {
        // Checked first too: a second read after a close with a partial block
        // queued is a close, not a missing connection.
        CheckDisconnected(true, true);
        FillInputQueue(true, -1, true);
        CheckDisconnected(true, true);
    }
}

void TIdTCPConnection::ReadExact(void* destination, int32_t count) {
    if (count <= 0 || destination == nullptr) return;
    WaitForQueued(count);
    std::memcpy(destination, FInputQueue->Memory(), static_cast<size_t>(count));
    FInputQueue->DropFront(count);
}

int32_t TIdTCPConnection::ReadNetInt32(bool convert) {
    uint32_t value = 0;
    ReadExact(&value, 4);
    return static_cast<int32_t>(convert ? ntohl(value) : value);
}

void TIdTCPConnection::MoveQueueToStream(TStream& stream, int32_t count) {
    if (count <= 0) return;
    stream.WriteBuffer(FInputQueue->Memory(), count);
    FInputQueue->DropFront(count);
}

void TIdTCPConnection::ReadPiecesIntoStream(TStream& stream, int64_t& remaining, bool untilClose) {
    const int32_t pieceSize = static_cast<int32_t>(std::min<int64_t>(remaining, std::max(RecvBufferSize, 1)));
    while (remaining > 0 && Connected()) {
        int32_t piece = static_cast<int32_t>(std::min<int64_t>(remaining, pieceSize));
        try {
            WaitForQueued(piece);
            // The whole pieces already queued (or all that is left) go in one write.
            const int64_t queued = std::min<int64_t>(FInputQueue->Size(), remaining);
            piece = static_cast<int32_t>(queued == remaining ? queued : queued - queued % piece);
        } catch (const EIdConnClosedGracefully&) {
            if (!untilClose) throw;
            piece = FInputQueue->Size();
        }
        // A whole piece reaches the stream or none of it: the rest stays queued.
        MoveQueueToStream(stream, piece);
        remaining -= piece;
    }
}

void TIdTCPConnection::ReadIntoStream(TStream& stream, int64_t count, bool untilClose) {
    if (count == -1 && !untilClose) count = ReadNetInt32(true);
    if (count >= 0) {
        int64_t position = stream.Position();
        int64_t ahead = std::min<int64_t>(count, FInputQueue->Size() + GrowAheadLimit);
        if (stream.Size() != position + ahead) stream.SetSize(position + ahead);
    }
    // Until close has no limit of its own: a body past 2 GB must not be cut off.
    int64_t remaining = untilClose ? std::numeric_limits<int64_t>::max() : count;
    StartWork(wmRead, untilClose ? 0 : ClampToInt32(count));
    const auto finish = ScopeExit([this, &stream] {
        FinishWork(wmRead);
        CutStreamToPosition(stream);
    });
    if (FInputQueue->Size() > 0 && remaining > 0) {
        int32_t queued = static_cast<int32_t>(std::min<int64_t>(FInputQueue->Size(), remaining));
        MoveQueueToStream(stream, queued);
        remaining -= queued;
    }
    ReadPiecesIntoStream(stream, remaining, untilClose);
}

std::string TIdTCPConnection::TakeAvailable() {
    if (Connected()) FillInputQueue(false, -1, true);
    return FInputQueue->TakeFront(FInputQueue->Size());
}

std::string TIdTCPConnection::ReadAllUntilClose() {
    std::string result;
    StartWork(wmRead, 0);
    const auto finish = ScopeExit([this] { FinishWork(wmRead); });
    while (Connected())
        result += TakeAvailable();
    return result;
}

// ---------------------------------------------------------------- writing

void TIdTCPConnection::WriteText(const std::string& text) {
    if (!text.empty()) WriteBytes(text.data(), static_cast<int32_t>(text.size()));
}

void TIdTCPConnection::WriteLine(const std::string& text) {
    WriteText(text + "\r\n");
}

void TIdTCPConnection::WriteInteger(int32_t value, bool convert) {
    uint32_t bytes = convert ? htonl(static_cast<uint32_t>(value)) : static_cast<uint32_t>(value);
    WriteBytes(&bytes, 4);
}

void TIdTCPConnection::WriteBytes(const void* buffer, int32_t count, bool writeNow) {
    if (count <= 0 || buffer == nullptr) return;
    CheckDisconnected(true, true);
    if (!Connected()) throw EIdNotConnected(RSNotConnected);
    if (FWriteBatch && !writeNow) {
        FWriteBatch->Append(buffer, count);
        if (FWriteBatchThreshold > 0 && FWriteBatch->Size() >= FWriteBatchThreshold)
            FlushWriteBatch(FWriteBatchThreshold);
        return;
    }
    if (!Intercept) {
        SendNow(static_cast<const uint8_t*>(buffer), count);
        return;
    }
    TIdSimpleBuffer outgoing;
    outgoing.Append(buffer, count);
    Intercept->Send(outgoing);
    SendNow(outgoing.Memory(), outgoing.Size());
}

void TIdTCPConnection::SendNow(const uint8_t* data, int32_t count) {
    int32_t offset = 0;
    while (offset < count) {
        int32_t accepted = FIOHandler ? FIOHandler->SendRaw(data + offset, count - offset) : 0;
        int errorNumber = accepted == Id_SOCKET_ERROR ? GStack().WSGetLastError() : 0;
        FClosedGracefully = accepted == 0;
        CheckDisconnected(true, false);
        if (accepted == Id_SOCKET_ERROR) {
            // The error number is taken before CheckDisconnected: its events may run other socket calls.
            TIdStack::SetLastError(errorNumber);
            if (errorNumber == Id_WSAESHUTDOWN || errorNumber == Id_WSAECONNABORTED ||
                errorNumber == Id_WSAECONNRESET)
                DropSocket();
            GStack().RaiseSocketError(errorNumber);
        }
        if (accepted < 0) accepted = 0;
        AddWork(wmWrite, accepted);
        offset += accepted;
    }
}

void TIdTCPConnection::BeginWriteBatch(int32_t threshold) {
    FWriteBatch = std::make_unique<TIdSimpleBuffer>();
    FWriteBatchThreshold = threshold;
}

void TIdTCPConnection::FlushWriteBatch(int32_t count) {
    if (!FWriteBatch || FWriteBatch->Size() == 0) return;
    if (count == -1 || FWriteBatch->Size() < count) {
        WriteBytes(FWriteBatch->Memory(), FWriteBatch->Size(), true);
        FWriteBatch->Clear();
    } else {
        WriteBytes(FWriteBatch->Memory(), count, true);
        FWriteBatch->DropFront(count);
    }
}

void TIdTCPConnection::EndWriteBatch() {
    const auto drop = ScopeExit([this] { FWriteBatch.reset(); });
    FlushWriteBatch(-1);
}

void TIdTCPConnection::DiscardWriteBatch() {
    if (FWriteBatch) FWriteBatch->Clear();
}

void TIdTCPConnection::WriteFromStream(TStream& stream, bool all, bool writeByteCount, int64_t size) {
    if (all) stream.SetPosition(0);
    int64_t end = size != 0 ? size + stream.Position() : stream.Size();
    if (writeByteCount) WriteInteger(ClampToInt32(end - stream.Position()), true);
    StartWork(wmWrite, ClampToInt32(end - stream.Position()));
    const auto finish = ScopeExit([this] { FinishWork(wmWrite); });
    const int32_t pieceSize = std::max(SendBufferSize, 1);
    std::vector<uint8_t> buffer(
        static_cast<size_t>(std::clamp<int64_t>(end - stream.Position(), 1, pieceSize)));
    for (;;) {
        int64_t piece = std::min<int64_t>(end - stream.Position(), static_cast<int64_t>(buffer.size()));
        if (piece <= 0) break;
        int64_t read = stream.Read(buffer.data(), piece);
        if (read <= 0) throw EIdNoDataToRead(RSNoDataToRead);
        WriteBytes(buffer.data(), static_cast<int32_t>(read));
    }
}
