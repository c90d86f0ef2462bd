// SPDX-License-Identifier: MIT
// The host's own sockets on POSIX, for the kit: devtcp::posix, listeners on 127.0.0.1, a
// listener whose backlog the kit fills so that a connection to it stays pending, and a
// lowered descriptor limit.
#include "host_posix.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "xr_dev_tcp_posix.h"

namespace {

// A listener on 127.0.0.1 at a free port, with @p iBacklog, non-blocking; or -1.
int listenOn(int iBacklog, char *lpszAddr, uint32_t uSize) {
    const int iFd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t uLen = sizeof addr;
    // A small receive buffer, inherited by what is accepted: a slow reader fills soon.
    const int iRcvBuf = 16 * 1024;
    if (iFd < 0 || setsockopt(iFd, SOL_SOCKET, SO_RCVBUF, &iRcvBuf, sizeof iRcvBuf) != 0 ||
        bind(iFd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(iFd, iBacklog) != 0 ||
        getsockname(iFd, reinterpret_cast<sockaddr *>(&addr), &uLen) != 0 ||
        fcntl(iFd, F_SETFL, O_NONBLOCK) != 0) {
        if (iFd >= 0) close(iFd);
        return -1;
    }
    std::snprintf(lpszAddr, uSize, "127.0.0.1:%u", unsigned(ntohs(addr.sin_port)));
    return iFd;
}

int32_t Listen(char *lpszAddr, uint32_t uSize) {
    return listenOn(8, lpszAddr, uSize);
}

int32_t Accept(int32_t iListener) {
    const int iFd = accept(iListener, nullptr, nullptr);
    if (iFd >= 0 && fcntl(iFd, F_SETFL, O_NONBLOCK) != 0) {
        close(iFd);
        return -1;
    }
    return iFd;
}

// A listener that never accepts, with a backlog of 0, connected to from the host until an
// attempt stays pending: the kernel then drops every further attempt's first packet. It
// and its connections stay until the kit ends.
int32_t Silent(char *lpszAddr, uint32_t uSize) {
    static char s_szAddr[64];
    static bool s_bFull = false;
    const XR_DEV_TCP_SOCKET_CALLBACK_S *lpSockets = xrDevTcpPosixSockets();
    if (!s_bFull && listenOn(0, s_szAddr, sizeof s_szAddr) < 0) return -1;
    for (int i = 0; !s_bFull && i < 16; ++i) {
        const int32_t iProbe = lpSockets->SocketOpen(s_szAddr);
        if (iProbe < 0) return -1;
        int32_t iCheck = 0;  // not connected 200 ms later: pending
        for (int j = 0; j < 20 && iCheck == 0; ++j) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            iCheck = lpSockets->SocketCheck(iProbe);
        }
        s_bFull = iCheck == 0;
    }
    std::snprintf(lpszAddr, uSize, "%s", s_szAddr);
    return s_bFull ? 0 : -1;
}

int32_t LimitHandles(int32_t iMore) {
    static rlimit s_saved;
    if (iMore < 0) return setrlimit(RLIMIT_NOFILE, &s_saved);
    if (getrlimit(RLIMIT_NOFILE, &s_saved) != 0) return -1;
    // Descriptors are numbered from 0 and each new one takes the lowest free number:
    // the limit is one above the highest open one, plus the spare.
    int iHighest = 2;
    for (int iFd = 0; iFd < 65536 && rlim_t(iFd) < s_saved.rlim_cur; ++iFd)
        if (fcntl(iFd, F_GETFD) != -1) iHighest = iFd;
    rlimit lowered = s_saved;
    lowered.rlim_cur = rlim_t(iHighest + 1 + iMore);
    return setrlimit(RLIMIT_NOFILE, &lowered);
}

}  // namespace

const XR_DEV_TCP_CONFORMANCE_HOST_S *conformancePosixHost(const char *lpszPeersBlind) {
    static XR_DEV_TCP_CONFORMANCE_HOST_S s_host;
    s_host = {xrDevTcpPosixSockets(),
              nullptr,
              lpszPeersBlind != nullptr,
              lpszPeersBlind,
              Listen,
              Accept,
              Silent,
              LimitHandles};
    return &s_host;
}
