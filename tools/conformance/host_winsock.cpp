// SPDX-License-Identifier: MIT
// The host's own sockets on Windows, for the kit: devtcp::winsock, listeners on 127.0.0.1,
// and a listener whose backlog the kit fills so that a connection to it stays pending.
// Windows has no descriptor limit to lower: that point is not run here.
#include "host_winsock.h"

#include <winsock2.h>

#include <cstdio>

#include "xr_dev_tcp_winsock.h"

namespace {

int32_t listenOn(int iBacklog, char *lpszAddr, uint32_t uSize) {
    const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int iLen = sizeof addr;
    u_long uNonBlocking = 1;
    // A small receive buffer, inherited by what is accepted: a slow reader fills soon.
    const int iRcvBuf = 16 * 1024;
    if (s == INVALID_SOCKET ||
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char *>(&iRcvBuf),
                   sizeof iRcvBuf) != 0 ||
        bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(s, iBacklog) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr *>(&addr), &iLen) != 0 ||
        ioctlsocket(s, FIONBIO, &uNonBlocking) != 0) {
        if (s != INVALID_SOCKET) closesocket(s);
        return -1;
    }
    std::snprintf(lpszAddr, uSize, "127.0.0.1:%u", unsigned(ntohs(addr.sin_port)));
    return int32_t(s);
}

int32_t Listen(char *lpszAddr, uint32_t uSize) {
    return listenOn(8, lpszAddr, uSize);
}

int32_t Accept(int32_t iListener) {
    const SOCKET s = accept(SOCKET(uint32_t(iListener)), nullptr, nullptr);
    u_long uNonBlocking = 1;
    if (s != INVALID_SOCKET && ioctlsocket(s, FIONBIO, &uNonBlocking) != 0) {
        closesocket(s);
        return -1;
    }
    return s == INVALID_SOCKET ? -1 : int32_t(s);
}

// A listener that never accepts, with a backlog of 1, connected to from the host until an
// attempt stays pending. It and its connections stay until the kit ends.
int32_t Silent(char *lpszAddr, uint32_t uSize) {
    static char s_szAddr[64];
    static bool s_bFull = false;
    const XR_DEV_TCP_SOCKET_CALLBACK_S *lpSockets = xrDevTcpWinsockSockets();
    if (!s_bFull && listenOn(1, s_szAddr, sizeof s_szAddr) < 0) return -1;
    for (int i = 0; !s_bFull && i < 16; ++i) {
        const int32_t iProbe = lpSockets->SocketOpen(s_szAddr);
        if (iProbe < 0) return -1;
        int32_t iCheck = 0;  // not connected 200 ms later: pending
        for (int j = 0; j < 20 && iCheck == 0; ++j) {
            Sleep(10);
            iCheck = lpSockets->SocketCheck(iProbe);
        }
        s_bFull = iCheck == 0;
    }
    std::snprintf(lpszAddr, uSize, "%s", s_szAddr);
    return s_bFull ? 0 : -1;
}

}  // namespace

const XR_DEV_TCP_CONFORMANCE_HOST_S *conformanceWinsockHost() {
    static const XR_DEV_TCP_CONFORMANCE_HOST_S g_host = {
        xrDevTcpWinsockSockets(), nullptr, 0, nullptr, Listen, Accept, Silent, nullptr};
    return &g_host;
}
