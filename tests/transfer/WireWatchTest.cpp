// A request that met a kept connection the server had already closed is asked
// again for free; anything else that failed is a failure of the picture and
// spends a retry. Which is which rests on the error and on the wire staying
// silent since the request went out.

#include "transfer/WireWatch.h"
#include "net/IdBuffer.h"
#include "net/IdException.h"
#include "net/IdStack.h"

#include <gtest/gtest.h>
#include <memory>

TEST(WireWatch, ClosedBeforeReplyOnlyForAClosedConnectionAndASilentWire) {
    struct TCase {
        const char* Name;
        std::shared_ptr<Exception> Error;
        bool Connected = false; // a new connection was opened since the request went out
        int Received = 0;       // bytes that came back since
        bool Closed = false;
    } cases[] = {
        {"reset", std::make_shared<EIdSocketError>(Id_WSAECONNRESET, "reset"), false, 0, true},
        {"aborted", std::make_shared<EIdSocketError>(Id_WSAECONNABORTED, "aborted"), false, 0, true},
        {"closed gracefully", std::make_shared<EIdConnClosedGracefully>("closed"), false, 0, true},
        {"closed socket", std::make_shared<EIdClosedSocket>("closed"), false, 0, true},
        {"not connected", std::make_shared<EIdNotConnected>("not connected"), false, 0, true},
        // Errors a closed kept connection does not give.
        {"timed out", std::make_shared<EIdSocketError>(Id_WSAETIMEDOUT, "timed out"), false, 0, false},
        {"refused", std::make_shared<EIdSocketError>(Id_WSAECONNREFUSED, "refused"), false, 0, false},
        {"shut down", std::make_shared<EIdSocketError>(Id_WSAESHUTDOWN, "shut down"), false, 0, false},
        {"read time-out", std::make_shared<EIdReadTimeout>("Read timed out."), false, 0, false},
        {"other", std::make_shared<EIdException>("cut short"), false, 0, false},
        // The wire was not silent: the server took the request.
        {"reset on a new connection", std::make_shared<EIdSocketError>(Id_WSAECONNRESET, "reset"), true, 0,
         false},
        {"reset after a reply began", std::make_shared<EIdSocketError>(Id_WSAECONNRESET, "reset"), false, 1,
         false},
        {"closed after a reply began", std::make_shared<EIdConnClosedGracefully>("closed"), false, 9, false},
    };
    for (const TCase& c : cases) {
        TWireWatch watch;
        TIdSimpleBuffer before;
        before.Append("HTTP/1.1 200 OK\r\n"); // the previous exchange on the connection
        watch.Receive(before);
        watch.Connect(nullptr);
        const TWireWatch::TMark mark = watch.Mark();
        if (c.Connected) watch.Connect(nullptr);
        if (c.Received > 0) {
            TIdSimpleBuffer bytes;
            bytes.Append(std::string(static_cast<size_t>(c.Received), 'H'));
            watch.Receive(bytes);
        }
        EXPECT_EQ(watch.ClosedBeforeReply(mark, *c.Error), c.Closed) << c.Name;
    }
}
