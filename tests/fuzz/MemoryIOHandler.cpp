#include "MemoryIOHandler.h"

#include "net/IdException.h"

#include <algorithm>
#include <cstring>

void TMemoryIOHandler::ConnectTo(const std::string& /*host*/, int /*port*/, int /*timeout*/,
                                 int /*boundPortMax*/, int /*boundPortMin*/, int /*boundPort*/,
                                 const std::string& /*boundIP*/) {
    const size_t index = static_cast<size_t>(ConnectCount++);
    FScript = index < Connections.size() ? Connections[index] : TScript();
    FReleasedTurns = 0;
    FReleased.clear();
    FPosition = 0;
    FOpen = true;
}

bool TMemoryIOHandler::WaitReadable(int /*timeout*/) {
    // Unread bytes, or the close after the last turn, are there at once.
    return FPosition < FReleased.size() || FReleasedTurns == FScript.size();
}

int TMemoryIOHandler::ReceiveRaw(void* buffer, int length) {
    if (!FOpen) throw EIdClosedSocket(RSClosedSocket);
    size_t count = std::min(static_cast<size_t>(std::max(length, 0)), FReleased.size() - FPosition);
    if (SegmentSize > 0) count = std::min(count, static_cast<size_t>(SegmentSize));
    if (count > 0) std::memcpy(buffer, FReleased.data() + FPosition, count);
    FPosition += count;
    // 0 is the server's close, as recv reports it.
    return static_cast<int>(count);
}

int TMemoryIOHandler::SendRaw(const void* /*buffer*/, int length) {
    if (!FOpen) throw EIdClosedSocket(RSClosedSocket);
    BytesWritten += length;
    // An upload right after its request line does not count as the next request.
    if (FPosition == FReleased.size() && FReleasedTurns < FScript.size())
        FReleased += FScript[FReleasedTurns++];
    return length;
}
