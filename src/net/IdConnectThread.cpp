#include "net/IdConnectThread.h"

#include "core/Exceptions.h"
#include "net/IdException.h"
#include "net/IdStack.h"
#include "net/IdStackPosix.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>

TIdConnectThread::TIdConnectThread(TIdSocketHandle& binding) : FBinding(binding) {}

TIdConnectThread::~TIdConnectThread() {
    if (FThread.joinable()) {
        Terminate();
        FThread.join();
    }
    for (int fd : FCancelPipe)
        if (fd >= 0) ::close(fd);
}

void TIdConnectThread::Start() {
    if (::pipe2(FCancelPipe, O_CLOEXEC) != 0) GStack().RaiseSocketError(WSErrorFromErrno(errno));
    try {
        FThread = std::thread([this] { Execute(); });
    } catch (const std::system_error&) {
        throw EIdException("Cannot start the connect thread.");
    }
}

void TIdConnectThread::Terminate() {
    if (FCancelPipe[1] < 0) return;
    char wake = 1;
    while (::write(FCancelPipe[1], &wake, 1) < 0 && errno == EINTR) {
    }
}

void TIdConnectThread::WaitFor() {
    if (FThread.joinable()) FThread.join();
}

void TIdConnectThread::Execute() {
    try {
        if (FBinding.ConnectCancellable(FCancelPipe[0]) == Id_SOCKET_ERROR) {
            // This thread's own error, taken before anything else can make another.
            int errorNumber = GStack().WSGetLastError();
            // A socket closed or a connect abandoned under us is the caller's decision, not a failure.
            if (errorNumber != Id_WSAEBADF && errorNumber != Id_WSAENOTSOCK && errorNumber != Id_WSAEINTR)
                FErrorMessage = GStack().SocketErrorText(errorNumber);
        }
    } catch (const Exception& e) {
        FErrorMessage = e.Message();
    } catch (...) {
        FErrorMessage = "Connect failed.";
    }
    {
        std::lock_guard<std::mutex> lock(FDoneLock);
        FTerminated.store(true, std::memory_order_release);
    }
    FDone.notify_all();
}

bool TIdConnectThread::WaitTerminated(int milliseconds) {
    std::unique_lock<std::mutex> lock(FDoneLock);
    return FDone.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return Terminated(); });
}
