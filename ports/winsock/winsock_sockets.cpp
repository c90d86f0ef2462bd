// SPDX-License-Identifier: MIT
// The socket operations on Windows Sockets 2.
#include "xr_dev_tcp_winsock.h"

#include <winsock2.h>

#include <limits.h>
#include <string.h>

#include "socket_address.h"

namespace {

void (*g_lpErrorHook)(const char *, int32_t) = nullptr;

void Report(const char *lpszOperation, int iErr) {
    if (g_lpErrorHook != nullptr) {
        g_lpErrorHook(lpszOperation, iErr);
    }
}

enum class Ready { Failed, No, Yes };

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

int ClampSize(uint32_t uSize) {
    return uSize < static_cast<uint32_t>(INT_MAX) ? static_cast<int>(uSize) : INT_MAX;
}

int32_t Open(const char *lpszAddr) {
    sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    uint32_t uHost = 0;
    uint16_t usPort = 0;
    if (!devtcp_port::ParseSocketAddress(lpszAddr, uHost, usPort)) {
        return -1;
    }
    addr.sin_family = AF_INET;
    addr.sin_port = htons(usPort);
    addr.sin_addr.s_addr = htonl(uHost);

    const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) {
        Report("SocketOpen", WSAGetLastError());
        return -1;
    }
    u_long uNonBlocking = 1;
    if (ioctlsocket(s, FIONBIO, &uNonBlocking) != 0 ||
        (connect(s, reinterpret_cast<const sockaddr *>(&addr), sizeof(addr)) != 0 &&
         WSAGetLastError() != WSAEWOULDBLOCK)) {
        Report("SocketOpen", WSAGetLastError());
        closesocket(s);
        return -1;
    }
    return static_cast<int32_t>(s);
}

int32_t Check(int32_t iSocket) {
    const SOCKET s = ToSocket(iSocket);
    const Ready ready = PollNow(s, true);
    if (ready != Ready::Yes) {
        return ready == Ready::Failed ? -1 : 0;
    }
    // Windows signals a failed attempt in the exception set only, never as writable;
    // the peer address check keeps "established only" true on any sockets layer.
    sockaddr_in peer;
    int iLen = sizeof(peer);
    return getpeername(s, reinterpret_cast<sockaddr *>(&peer), &iLen) == 0 ? 1 : 0;
}

void Close(int32_t iSocket) {
    if (iSocket >= 0) {
        (void)closesocket(ToSocket(iSocket));
    }
}

int32_t Send(int32_t iSocket, const uint8_t *lpData, uint32_t uSize) {
    const SOCKET s = ToSocket(iSocket);
    const Ready ready = PollNow(s, true);
    if (ready != Ready::Yes) {
        return ready == Ready::Failed ? -1 : 0;
    }
    const int iSent = send(s, reinterpret_cast<const char *>(lpData), ClampSize(uSize), 0);
    if (iSent != SOCKET_ERROR) {
        return iSent;
    }
    const int iErr = WSAGetLastError();
    if (iErr == WSAEWOULDBLOCK) {
        return 0;
    }
    Report("SocketSend", iErr);
    return -1;
}

int32_t Recv(int32_t iSocket, uint8_t *lpBuf, uint32_t uSize) {
    const SOCKET s = ToSocket(iSocket);
    // Readability, not writability: data that is waiting must be read even while the
    // send buffer is full, or two peers that both write could wait on each other.
    const Ready ready = PollNow(s, false);
    if (ready != Ready::Yes) {
        return ready == Ready::Failed ? -1 : 0;
    }
    const int iRead = recv(s, reinterpret_cast<char *>(lpBuf), ClampSize(uSize), 0);
    if (iRead > 0) {
        return iRead;
    }
    if (iRead == 0) {
        return -1;  // orderly close by the peer
    }
    const int iErr = WSAGetLastError();
    if (iErr == WSAEWOULDBLOCK || iErr == WSAEINPROGRESS || iErr == WSAEINTR) {
        return 0;
    }
    Report("SocketRecv", iErr);
    return -1;
}

const XR_DEV_TCP_SOCKET_CALLBACK_S kSockets = {Open, Check, Close, Send, Recv};

}  // namespace

const XR_DEV_TCP_SOCKET_CALLBACK_S *xrDevTcpWinsockSockets(void) {
    return &kSockets;
}

void xrDevTcpWinsockSetErrorHook(void (*lpHook)(const char *lpszOperation, int32_t iError)) {
    g_lpErrorHook = lpHook;
}
