// SPDX-License-Identifier: MIT
// The socket operations on lwIP's socket API: the same steps as on POSIX sockets,
// through the lwip_ calls, so that they need neither LWIP_COMPAT_SOCKETS nor
// LWIP_SOCKET_SELECT. Errors come from errno, as lwIP's sockets set it.
#include "xr_dev_tcp_lwip.h"

#include <string.h>

#include "lwip/def.h"
#include "lwip/errno.h"
#include "lwip/inet.h"
#include "lwip/sockets.h"
#include "port_common.h"

namespace {

devtcp_port::ErrorHook g_hook;
devtcp_port::Watched<int> g_watched;

using devtcp_port::Ready;

// One zero-wait poll for @p sEvents. An error on the socket (a failed connect, a reset)
// is told apart, so that the check does not take a failed attempt for a connection.
Ready PollNow(int iSocket, short sEvents) {
    pollfd pfd;
    memset(&pfd, 0, sizeof(pfd));
    pfd.fd = iSocket;
    pfd.events = sEvents;
    if (lwip_poll(&pfd, 1, 0) < 0 || (pfd.revents & POLLNVAL) != 0) {
        return Ready::Failed;
    }
    if ((pfd.revents & (POLLERR | POLLHUP)) != 0) {
        return Ready::Broken;
    }
    return (pfd.revents & sEvents) != 0 ? Ready::Yes : Ready::No;
}

// Nothing moved, try on a later tick.
bool IsLater(int iErr) {
    return iErr == EWOULDBLOCK || iErr == EAGAIN || iErr == EINPROGRESS;
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
    addr.sin_port = lwip_htons(usPort);
    addr.sin_addr.s_addr = lwip_htonl(uHost);

    const int iSocket = lwip_socket(AF_INET, SOCK_STREAM, 0);
    if (iSocket < 0) {
        g_hook.Report("SocketOpen", errno);
        return -1;
    }
    if (lwip_fcntl(iSocket, F_SETFL, O_NONBLOCK) != 0 ||
        (lwip_connect(iSocket, reinterpret_cast<const sockaddr *>(&addr), sizeof(addr)) != 0 &&
         errno != EINPROGRESS)) {
        g_hook.Report("SocketOpen", errno);
        lwip_close(iSocket);
        return -1;
    }
    g_watched.Add(iSocket);
    return static_cast<int32_t>(iSocket);
}

int32_t Check(int32_t iSocket) {
    // lwIP marks a socket writable only once its connect has completed, and a failed
    // attempt with an error as well; lwip_getpeername would answer while still
    // connecting, so it cannot tell.
    const Ready ready = PollNow(iSocket, POLLOUT);
    if (ready == Ready::Yes) {
        g_watched.WantWrite(iSocket, false);
    }
    return ready == Ready::Failed ? -1 : ready == Ready::Yes ? 1 : 0;
}

void Close(int32_t iSocket) {
    if (iSocket >= 0) {
        g_watched.Remove(iSocket);
        (void)lwip_close(iSocket);
    }
}

int32_t Send(int32_t iSocket, const uint8_t *lpData, uint32_t uSize) {
    const Ready ready = PollNow(iSocket, POLLOUT);
    if (ready == Ready::Failed || ready == Ready::No) {
        return devtcp_port::NotReady(ready);
    }
    const ssize_t iSent = lwip_send(iSocket, lpData, devtcp_port::ClampSize(uSize), 0);
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
    if (ready == Ready::Failed || ready == Ready::No) {
        return devtcp_port::NotReady(ready);
    }
    const ssize_t iRead = lwip_recv(iSocket, lpBuf, devtcp_port::ClampSize(uSize), 0);
    const int iErr = errno;
    return g_hook.Read(iRead, IsLater(iErr), iErr);
}

const XR_DEV_TCP_SOCKET_CALLBACK_S kSockets = {Open, Check, Close, Send, Recv};

}  // namespace

int32_t xrDevTcpLwipWait(uint32_t uTimeoutMs) {
    pollfd fds[devtcp_port::Watched<int>::kSize];
    const uint32_t uCount = g_watched.Count();
    for (uint32_t u = 0; u < uCount; ++u) {
        memset(&fds[u], 0, sizeof(fds[u]));
        fds[u].fd = g_watched.At(u).s;
        fds[u].events = static_cast<short>(POLLIN | (g_watched.At(u).bWrite ? POLLOUT : 0));
    }
    const int iCount = lwip_poll(fds, static_cast<nfds_t>(uCount), g_watched.PollMs(uTimeoutMs));
    if (iCount < 0) {
        return -1;
    }
    return iCount > 0 ? 1 : 0;
}

const XR_DEV_TCP_SOCKET_CALLBACK_S *xrDevTcpLwipSockets(void) {
    return &kSockets;
}

void xrDevTcpLwipSetErrorHook(void (*lpHook)(const char *lpszOperation, int32_t iError)) {
    g_hook.Set(lpHook);
}
