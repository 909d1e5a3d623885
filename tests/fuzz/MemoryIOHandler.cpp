#include "MemoryIOHandler.h"

#include "net/IdException.h"

#include <algorithm>
#include <cstring>

void TMemoryIOHandler::ConnectTo(const std::string& /*host*/, int /*port*/, int /*timeout*/,
                                 int /*boundPortMax*/, int /*boundPortMin*/, int /*boundPort*/,
                                 const std::string& /*boundIP*/) {
    const size_t index = static_cast<size_t>(ConnectCount++);
    FScript = index < Connections.size() ? Connections[index] : std::string();
    FPosition = 0;
    FOpen = true;
}

int TMemoryIOHandler::ReceiveRaw(void* buffer, int length) {
    if (!FOpen) throw EIdClosedSocket(RSClosedSocket);
    size_t count = std::min(static_cast<size_t>(std::max(length, 0)), FScript.size() - FPosition);
    if (SegmentSize > 0) count = std::min(count, static_cast<size_t>(SegmentSize));
    std::memcpy(buffer, FScript.data() + FPosition, count);
    FPosition += count;
    // 0 is the peer's close, as recv reports it.
    return static_cast<int>(count);
}

int TMemoryIOHandler::SendRaw(const void* /*buffer*/, int length) {
    if (!FOpen) throw EIdClosedSocket(RSClosedSocket);
    BytesWritten += length;
    return length;
}
