#include "transfer/WireWatch.h"

#include "net/IdException.h"
#include "net/IdStack.h"

namespace {

// A kept connection the server had closed shows up as one of these.
bool IsClosedConnection(const Exception& e) {
    if (dynamic_cast<const EIdConnClosedGracefully*>(&e) || dynamic_cast<const EIdClosedSocket*>(&e) ||
        dynamic_cast<const EIdNotConnected*>(&e))
        return true;
    const auto* socket = dynamic_cast<const EIdSocketError*>(&e);
    return socket && (socket->ErrorNumber == Id_WSAECONNABORTED || socket->ErrorNumber == Id_WSAECONNRESET);
}

} // namespace

bool TWireWatch::ClosedBeforeReply(const TMark& mark, const Exception& e) const {
    return SilentOnKeptConnection(mark) && IsClosedConnection(e);
}
