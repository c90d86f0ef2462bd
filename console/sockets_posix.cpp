// Socket operations on POSIX sockets.
#include "sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstring>

#include "console_output.h"
#include "socket_common.h"

namespace {

// A write to a connection that the peer has closed must not raise SIGPIPE, which
// would end the process: Linux takes a flag per send, macOS an option per socket.
#ifdef MSG_NOSIGNAL
constexpr int SEND_FLAGS = MSG_NOSIGNAL;
#else
constexpr int SEND_FLAGS = 0;
#endif

enum class Ready { Failed, No, Yes };

// One zero-wait poll for @p sEvents. An error or hang-up on the socket counts as ready,
// so that the send or receive that follows reports it.
Ready PollNow(int iFd, short sEvents) {
    pollfd pfd{};
    pfd.fd = iFd;
    pfd.events = sEvents;
    int iCount;
    do {
        iCount = poll(&pfd, 1, 0);
    } while (iCount < 0 && errno == EINTR);
    if (iCount < 0 || (pfd.revents & POLLNVAL) != 0) {
        return Ready::Failed;
    }
    return (pfd.revents & (sEvents | POLLERR | POLLHUP)) != 0 ? Ready::Yes : Ready::No;
}

bool IsWouldBlock(int iErr) {
    return iErr == EWOULDBLOCK || iErr == EAGAIN;
}

bool SetNonBlocking(int iFd) {
    const int iFlags = fcntl(iFd, F_GETFL, 0);
    return iFlags >= 0 && fcntl(iFd, F_SETFL, iFlags | O_NONBLOCK) == 0;
}

bool MakeSocketAddress(const char *lpszAddr, sockaddr_in &addr) {
    char szHost[SOCKET_HOST_SIZE];
    uint16_t usPort = 0;
    std::memset(&addr, 0, sizeof(addr));
    if (!SplitSocketAddress(lpszAddr, szHost, usPort)) {
        return false;
    }
    addr.sin_family = AF_INET;
    addr.sin_port = htons(usPort);
    // Only a numeric dotted address is taken: a mistyped host must not turn into a
    // connection attempt to some other address.
    return inet_pton(AF_INET, szHost, &addr.sin_addr) == 1;
}

}  // namespace

int32_t SocketOpen(const char *lpszAddr) {
    const int iFd = socket(AF_INET, SOCK_STREAM, 0);
    if (iFd < 0) {
        return -1;
    }
#ifdef SO_NOSIGPIPE
    const int iOn = 1;
    (void)setsockopt(iFd, SOL_SOCKET, SO_NOSIGPIPE, &iOn, sizeof(iOn));
#endif
    sockaddr_in addr;
    if (!SetNonBlocking(iFd) || !MakeSocketAddress(lpszAddr, addr)) {
        close(iFd);
        return -1;
    }
    // EINPROGRESS: the attempt is under way. EINTR: it goes on in the background.
    // (EAGAIN from connect means no local port was free: that is a failure.)
    if (connect(iFd, reinterpret_cast<const sockaddr *>(&addr), sizeof(addr)) != 0 &&
        errno != EINPROGRESS && errno != EINTR) {
        close(iFd);
        return -1;
    }
    CountSocketOpened();
    return static_cast<int32_t>(iFd);
}

int32_t SocketCheck(int32_t iSocket) {
    const Ready ready = PollNow(iSocket, POLLOUT);
    if (ready == Ready::Failed) {
        return -1;
    }
    if (ready == Ready::No) {
        return 0;
    }
    // A failed attempt also polls as ready (with an error), and its socket error is
    // cleared once read; having a peer address is what tells an established
    // connection, on every check.
    sockaddr_in peer;
    socklen_t uLen = sizeof(peer);
    return getpeername(iSocket, reinterpret_cast<sockaddr *>(&peer), &uLen) == 0 ? 1 : 0;
}

void SocketClose(int32_t iSocket) {
    if (iSocket != -1) {
        (void)close(iSocket);
    }
    CountSocketClosed();
}

int32_t SocketSend(int32_t iSocket, const uint8_t *lpData, uint32_t uSize) {
    const Ready ready = PollNow(iSocket, POLLOUT);
    if (ready != Ready::Yes) {
        return ready == Ready::Failed ? -1 : 0;
    }
    const std::size_t uCount = uSize < static_cast<uint32_t>(INT32_MAX) ? uSize : INT32_MAX;
    const ssize_t iSent = send(iSocket, lpData, uCount, SEND_FLAGS);
    if (iSent >= 0) {
        return static_cast<int32_t>(iSent);
    }
    const int iErr = errno;
    // EINTR: interrupted before anything was taken; try again on a later tick.
    if (IsWouldBlock(iErr) || iErr == EINTR) {
        return 0;
    }
    ConsolePrintf("SocketSend: iErr=%d\n", iErr);
    return -1;
}

int32_t SocketRecv(int32_t iSocket, uint8_t *lpBuf, uint32_t uSize) {
    // Readability, not writability: data that is waiting must be read even while the
    // send buffer is full, or two peers that both write could wait on each other.
    const Ready ready = PollNow(iSocket, POLLIN);
    if (ready != Ready::Yes) {
        return ready == Ready::Failed ? -1 : 0;
    }
    const std::size_t uCount = uSize < static_cast<uint32_t>(INT32_MAX) ? uSize : INT32_MAX;
    const ssize_t iRead = recv(iSocket, lpBuf, uCount, 0);
    if (iRead > 0) {
        return static_cast<int32_t>(iRead);
    }
    if (iRead == 0) {
        return -1;  // orderly close by the peer
    }
    const int iErr = errno;
    if (IsWouldBlock(iErr) || iErr == EINPROGRESS || iErr == EINTR) {
        return 0;
    }
    ConsolePrintf("SocketRecv: iErr=%d\n", iErr);
    return -1;
}
