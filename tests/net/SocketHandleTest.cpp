#include "NetTestUtil.h"
#include "net/IdException.h"
#include "net/IdSocketHandle.h"

#include <fcntl.h>
#include <unistd.h>

namespace {

// A listener that holds a port of the loopback interface.
struct TPortHolder {
    TPortHolder() {
        Handle.IP = "127.0.0.1";
        Handle.AllocateSocket();
        Handle.Bind();
    }
    TIdSocketHandle Handle;
};

} // namespace

TEST(SocketHandle, ClosesExactlyOnce) {
    TStackHolder holder;
    TIdSocketHandle handle;
    handle.AllocateSocket();
    handle.CloseSocket();
    EXPECT_FALSE(handle.HandleAllocated());
    EXPECT_THROW(handle.WaitReadable(0), EIdConnClosedGracefully);
    // The system hands the freed number to the next descriptor; a second close must not touch it.
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    handle.CloseSocket();
    EXPECT_NE(::fcntl(pipeFds[0], F_GETFD), -1);
    EXPECT_NE(::fcntl(pipeFds[1], F_GETFD), -1);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
}

TEST(SocketHandle, BindReadsBackTheLocalEnd) {
    TStackHolder holder;
    TIdSocketHandle handle;
    handle.AllocateSocket();
    handle.Bind();
    EXPECT_EQ(handle.IP, "0.0.0.0");
    EXPECT_GT(handle.Port, 0);
}

TEST(SocketHandle, BindToAPortInUse) {
    TStackHolder holder;
    TPortHolder taken;
    TIdSocketHandle handle;
    handle.AllocateSocket();
    handle.IP = "127.0.0.1";
    handle.Port = taken.Handle.Port;
    EXPECT_EQ(Raised([&] { handle.Bind(); }),
              "EIdCouldNotBindSocket: Could not bind socket. Address and port are already in use.");
}

TEST(SocketHandle, BindWithinARange) {
    TStackHolder holder;
    TPortHolder taken;
    int p = taken.Handle.Port;

    TIdSocketHandle handle;
    handle.AllocateSocket();
    handle.IP = "127.0.0.1";
    handle.ClientPortMin = p;
    handle.ClientPortMax = p;
    EXPECT_EQ(Raised([&] { handle.Bind(); }), "EIdCanNotBindPortInRange: Can not bind in port range (" +
                                                  std::to_string(p) + " - " + std::to_string(p) + ")");

    handle.ClientPortMin = 10;
    handle.ClientPortMax = 5;
    EXPECT_EQ(Raised([&] { handle.Bind(); }), "EIdInvalidPortRange: Invalid Port Range (10 - 5)");

    // Tried from the top down: the taken port is skipped, the one below it is used.
    handle.ClientPortMin = p - 1;
    handle.ClientPortMax = p;
    try {
        handle.Bind();
        EXPECT_EQ(handle.Port, p - 1);
    } catch (const EIdSocketHandleError&) {
        GTEST_SKIP() << "port below the taken one is busy too";
    }
}

TEST(SocketHandle, PortOutOfRangeIsAnInvalidArgument) {
    TStackHolder holder;
    TIdSocketHandle handle;
    handle.AllocateSocket();
    handle.Port = 70000;
    EXPECT_EQ(Raised([&] { handle.Bind(); }), "EIdSocketError: Socket Error # 10022\r\nInvalid argument.");
}
