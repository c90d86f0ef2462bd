// SPDX-License-Identifier: MIT
// The socket operations on Windows Sockets 2.
#include "xr_dev_tcp_winsock.h"

#include <winsock2.h>

#include <string.h>

#include "port_common.h"

namespace {

devtcp_port::ErrorHook g_hook;
devtcp_port::Watched<SOCKET> g_watched;

using devtcp_port::Ready;

SOCKET ToSocket(int32_t iSocket) {
    return static_cast<SOCKET>(static_cast<uint32_t>(iSocket));
}

// One zero-wait select on this socket alone, for writing or for reading.
Ready PollNow(SOCKET s, bool bWrite) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval tv{0, 0};
    // The first argument is ignored by Windows Sockets.
    const int iCount = select(0, bWrite ? nullptr : &set, bWrite ? &set : nullptr, nullptr, &tv);
    if (iCount == SOCKET_ERROR) {
        return Ready::Failed;
    }
    return FD_ISSET(s, &set) ? Ready::Yes : Ready::No;
}

// Nothing moved, try on a later tick.
bool IsLater(int iErr) {
    return iErr == WSAEWOULDBLOCK || iErr == WSAEINPROGRESS || iErr == WSAEINTR;
}

// Windows Sockets counts in int.
int Clamped(uint32_t uSize) {
    return static_cast<int>(devtcp_port::ClampSize(uSize));
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

    const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) {
        g_hook.Report("SocketOpen", WSAGetLastError());
        return -1;
    }
    u_long uNonBlocking = 1;
    if (ioctlsocket(s, FIONBIO, &uNonBlocking) != 0 ||
        (connect(s, reinterpret_cast<const sockaddr *>(&addr), sizeof(addr)) != 0 &&
         WSAGetLastError() != WSAEWOULDBLOCK)) {
        g_hook.Report("SocketOpen", WSAGetLastError());
        closesocket(s);
        return -1;
    }
    g_watched.Add(s);
    return static_cast<int32_t>(s);
}

int32_t Check(int32_t iSocket) {
    const SOCKET s = ToSocket(iSocket);
    const Ready ready = PollNow(s, true);
    if (ready != Ready::Yes) {
        // A failed attempt stays in the exception set until the login timeout ends it:
        // the wait stops watching it, or every wait would return at once until then.
        int iErr = 0;
        int iLen = sizeof(iErr);
        if (ready == Ready::No &&
            getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&iErr), &iLen) == 0 &&
            iErr != 0) {
            g_watched.WantWrite(s, false);
        }
        return devtcp_port::NotReady(ready);
    }
    // Windows signals a failed attempt in the exception set only, never as writable;
    // the peer address check keeps "established only" true on any sockets layer.
    sockaddr_in peer;
    int iLen = sizeof(peer);
    if (getpeername(s, reinterpret_cast<sockaddr *>(&peer), &iLen) != 0) {
        return 0;
    }
    g_watched.WantWrite(s, false);
    return 1;
}

void Close(int32_t iSocket) {
    if (iSocket >= 0) {
        g_watched.Remove(ToSocket(iSocket));
        (void)closesocket(ToSocket(iSocket));
    }
}

int32_t Send(int32_t iSocket, const uint8_t *lpData, uint32_t uSize) {
    const SOCKET s = ToSocket(iSocket);
    const Ready ready = PollNow(s, true);
    if (ready != Ready::Yes) {
        return devtcp_port::NotReady(ready);
    }
    const int iSent = send(s, reinterpret_cast<const char *>(lpData), Clamped(uSize), 0);
    const int iErr = iSent == SOCKET_ERROR ? WSAGetLastError() : 0;
    const int32_t iTaken = g_hook.Sent(iSent, IsLater(iErr), iErr);
    // What the socket did not take waits for it to become writable.
    g_watched.WantWrite(s, iTaken >= 0 && static_cast<uint32_t>(iTaken) < uSize);
    return iTaken;
}

int32_t Recv(int32_t iSocket, uint8_t *lpBuf, uint32_t uSize) {
    const SOCKET s = ToSocket(iSocket);
    // Readability, not writability: data that is waiting must be read even while the
    // send buffer is full, or two peers that both write could wait on each other.
    const Ready ready = PollNow(s, false);
    if (ready != Ready::Yes) {
        return devtcp_port::NotReady(ready);
    }
    const int iRead = recv(s, reinterpret_cast<char *>(lpBuf), Clamped(uSize), 0);
    const int iErr = iRead == SOCKET_ERROR ? WSAGetLastError() : 0;
    return g_hook.Read(iRead, IsLater(iErr), iErr);
}

const XR_DEV_TCP_SOCKET_CALLBACK_S kSockets = {Open, Check, Close, Send, Recv};

}  // namespace

int32_t xrDevTcpWinsockWait(uint32_t uTimeoutMs) {
    uTimeoutMs = g_watched.Limit(uTimeoutMs);
    const uint32_t uCount = g_watched.Count();
    // Windows Sockets refuses a select without a socket: with none open, this is a sleep.
    if (uCount == 0) {
        Sleep(uTimeoutMs == XR_DEV_TCP_NO_DEADLINE ? INFINITE : uTimeoutMs);
        return 0;
    }
    fd_set readable, writable, failed;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    for (uint32_t u = 0; u < uCount; ++u) {
        const SOCKET s = g_watched.At(u).s;
        FD_SET(s, &readable);
        // A connection that fails shows in the exception set only.
        if (g_watched.At(u).bWrite) {
            FD_SET(s, &writable);
            FD_SET(s, &failed);
        }
    }
    timeval tv{static_cast<long>(uTimeoutMs / 1000), static_cast<long>(uTimeoutMs % 1000) * 1000};
    const int iCount = select(0, &readable, &writable, &failed,
                              uTimeoutMs == XR_DEV_TCP_NO_DEADLINE ? nullptr : &tv);
    if (iCount == SOCKET_ERROR) {
        return -1;
    }
    return iCount > 0 ? 1 : 0;
}

const XR_DEV_TCP_SOCKET_CALLBACK_S *xrDevTcpWinsockSockets(void) {
    return &kSockets;
}

void xrDevTcpWinsockSetErrorHook(void (*lpHook)(const char *lpszOperation, int32_t iError)) {
    g_hook.Set(lpHook);
}
