// SPDX-License-Identifier: MIT
// The socket operations on POSIX sockets.
#include "xr_dev_tcp_posix.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "port_common.h"

namespace {

// A write to a connection that the peer has closed must not raise SIGPIPE, which
// would end the process: Linux takes a flag per send, macOS an option per socket.
#ifdef MSG_NOSIGNAL
constexpr int SEND_FLAGS = MSG_NOSIGNAL;
#else
constexpr int SEND_FLAGS = 0;
#endif

devtcp_port::ErrorHook g_hook;
devtcp_port::Watched<int> g_watched;

using devtcp_port::Ready;

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

// Nothing moved, try on a later tick. EINTR: interrupted before anything was taken.
bool IsLater(int iErr) {
    return iErr == EWOULDBLOCK || iErr == EAGAIN || iErr == EINTR || iErr == EINPROGRESS;
}

int32_t Open(const char *lpszAddr) {
    sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    uint32_t uHost = 0;
    uint16_t usPort = 0;
    if (!g_hook.ReadAddress(lpszAddr, uHost, usPort)) {
        return -1;
    }
    addr.sin_family = AF_INET;
    addr.sin_port = htons(usPort);
    addr.sin_addr.s_addr = htonl(uHost);

    const int iFd = socket(AF_INET, SOCK_STREAM, 0);
    if (iFd < 0) {
        g_hook.Report("SocketOpen", errno);
        return -1;
    }
#ifdef SO_NOSIGPIPE
    const int iOn = 1;
    (void)setsockopt(iFd, SOL_SOCKET, SO_NOSIGPIPE, &iOn, sizeof(iOn));
#endif
    const int iFlags = fcntl(iFd, F_GETFL, 0);
    // EINPROGRESS: the attempt is under way. EINTR: it goes on in the background.
    // (EAGAIN from connect means no local port was free: that is a failure.)
    if (iFlags < 0 || fcntl(iFd, F_SETFL, iFlags | O_NONBLOCK) != 0 ||
        (connect(iFd, reinterpret_cast<const sockaddr *>(&addr), sizeof(addr)) != 0 &&
         errno != EINPROGRESS && errno != EINTR)) {
        g_hook.Report("SocketOpen", errno);
        close(iFd);
        return -1;
    }
    g_watched.Add(iFd);
    return static_cast<int32_t>(iFd);
}

int32_t Check(int32_t iSocket) {
    const Ready ready = PollNow(iSocket, POLLOUT);
    if (ready != Ready::Yes) {
        return devtcp_port::NotReady(ready);
    }
    // A failed attempt also polls as ready (with an error), and its socket error is
    // cleared once read; having a peer address is what tells an established
    // connection, on every check.
    sockaddr_in peer;
    socklen_t uLen = sizeof(peer);
    if (getpeername(iSocket, reinterpret_cast<sockaddr *>(&peer), &uLen) != 0) {
        return 0;
    }
    g_watched.WantWrite(iSocket, false);
    return 1;
}

void Close(int32_t iSocket) {
    if (iSocket >= 0) {
        g_watched.Remove(iSocket);
        (void)close(iSocket);
    }
}

int32_t Send(int32_t iSocket, const uint8_t *lpData, uint32_t uSize) {
    const Ready ready = PollNow(iSocket, POLLOUT);
    if (ready != Ready::Yes) {
        return devtcp_port::NotReady(ready);
    }
    const ssize_t iSent = send(iSocket, lpData, devtcp_port::ClampSize(uSize), SEND_FLAGS);
    const int iErr = errno;
    const int32_t iTaken = g_hook.Sent(iSent, IsLater(iErr), iErr);
    // What the socket did not take waits for it to become writable.
    g_watched.WantWrite(iSocket, iTaken >= 0 && static_cast<uint32_t>(iTaken) < uSize);
    return iTaken;
}

int32_t Recv(int32_t iSocket, uint8_t *lpBuf, uint32_t uSize) {
    // Readability, not writability: data that is waiting must be read even while the
    // send buffer is full, or two peers that both write could wait on each other.
    const Ready ready = PollNow(iSocket, POLLIN);
    if (ready != Ready::Yes) {
        return devtcp_port::NotReady(ready);
    }
    const ssize_t iRead = recv(iSocket, lpBuf, devtcp_port::ClampSize(uSize), 0);
    const int iErr = errno;
    return g_hook.Read(iRead, IsLater(iErr), iErr);
}

const XR_DEV_TCP_SOCKET_CALLBACK_S kSockets = {Open, Check, Close, Send, Recv};

}  // namespace

int32_t xrDevTcpPosixWait(uint32_t uTimeoutMs) {
    pollfd fds[devtcp_port::Watched<int>::kSize];
    const uint32_t uCount = g_watched.Count();
    for (uint32_t u = 0; u < uCount; ++u) {
        fds[u].fd = g_watched.At(u).s;
        fds[u].events = static_cast<short>(POLLIN | (g_watched.At(u).bWrite ? POLLOUT : 0));
        fds[u].revents = 0;
    }
    const int iCount = poll(fds, static_cast<nfds_t>(uCount), g_watched.PollMs(uTimeoutMs));
    if (iCount < 0) {
        return errno == EINTR ? 0 : -1;
    }
    return iCount > 0 ? 1 : 0;
}

const XR_DEV_TCP_SOCKET_CALLBACK_S *xrDevTcpPosixSockets(void) {
    return &kSockets;
}

void xrDevTcpPosixSetErrorHook(void (*lpHook)(const char *lpszOperation, int32_t iError)) {
    g_hook.Set(lpHook);
}
