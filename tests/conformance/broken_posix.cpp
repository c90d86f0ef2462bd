// SPDX-License-Identifier: MIT
// A POSIX socket table with one porter's mistake chosen at compile time (-DMISTAKE=NAME),
// or none (-DMISTAKE=NONE), for the conformance kit's own tests: each build must fail the
// point that catches its mistake. Written plainly, as a porter would, not from the port
// that ships.
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "conformance.h"
#include "host_posix.h"

#define NONE 0
#define CLOSE_AS_ZERO 1        // the peer's close read as "nothing now"
#define NOTHING_AS_FAILURE 2   // "nothing now" read as a failure
#define NUL_BEYOND_ROOM 3      // a NUL stored after what was read
#define PARTIAL_AS_ALL 4       // a partial send claimed as every byte taken
#define WOULD_BLOCK_AS_ALL 5   // also "would block" claimed as every byte taken
#define CHECK_ALWAYS 6         // connected reported before the connection is made
#define CHECK_IGNORES_ERROR 7  // a refused connection reported as connected
#define BLOCKING_CONNECT 8     // the connect waits for the peer
#define CLOSE_NOTHING 9        // the socket left open
#define CLOSE_BY_SHUTDOWN 10   // the connection shut down, the descriptor kept
#define ONE_HANDLE 11          // every connection handed the same handle
#define LAST_SOCKET 12         // writes go to the socket opened last

namespace {

int g_iLast = -1;  // the socket opened last (ONE_HANDLE, LAST_SOCKET)

int fdOf(int32_t iSocket) {
    return MISTAKE == ONE_HANDLE ? g_iLast : int(iSocket);
}

bool writable(int iFd) {
    pollfd pfd = {iFd, POLLOUT, 0};
    return poll(&pfd, 1, 0) > 0 && (pfd.revents & POLLOUT) != 0;
}

int32_t Open(const char *lpszAddr) {
    const char *lpszColon = strchr(lpszAddr, ':');
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(lpszColon ? atoi(lpszColon + 1) : 0));
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (lpszColon == nullptr || sscanf(lpszAddr, "%u.%u.%u.%u:", &a, &b, &c, &d) != 4) return -1;
    addr.sin_addr.s_addr = htonl(a << 24 | b << 16 | c << 8 | d);
    const int iFd = socket(AF_INET, SOCK_STREAM, 0);
    if (iFd < 0) return -1;
    if (MISTAKE == BLOCKING_CONNECT && connect(iFd, (sockaddr *)&addr, sizeof addr) != 0) {
        close(iFd);
        return -1;
    }
    fcntl(iFd, F_SETFL, O_NONBLOCK);
    if (MISTAKE != BLOCKING_CONNECT && connect(iFd, (sockaddr *)&addr, sizeof addr) != 0 &&
        errno != EINPROGRESS) {
        close(iFd);
        return -1;
    }
    g_iLast = iFd;
    return MISTAKE == ONE_HANDLE ? 0 : iFd;
}

int32_t Check(int32_t iSocket) {
    if (MISTAKE == CHECK_ALWAYS) return 1;
    if (!writable(fdOf(iSocket))) return 0;
    int iErr = 0;
    socklen_t uLen = sizeof iErr;
    getsockopt(fdOf(iSocket), SOL_SOCKET, SO_ERROR, &iErr, &uLen);
    return MISTAKE == CHECK_IGNORES_ERROR || iErr == 0 ? 1 : -1;
}

void Close(int32_t iSocket) {
    if (MISTAKE == CLOSE_BY_SHUTDOWN) shutdown(fdOf(iSocket), SHUT_RDWR);
    if (MISTAKE != CLOSE_NOTHING && MISTAKE != CLOSE_BY_SHUTDOWN) close(fdOf(iSocket));
}

int32_t Send(int32_t iSocket, const uint8_t *lpData, uint32_t uSize) {
    const int iFd = MISTAKE == LAST_SOCKET ? g_iLast : fdOf(iSocket);
    const ssize_t iSent = send(iFd, lpData, uSize, MSG_NOSIGNAL);
    if (MISTAKE == PARTIAL_AS_ALL && iSent > 0) return int32_t(uSize);
    if (iSent >= 0) return int32_t(iSent);
    if (errno == EAGAIN || errno == EWOULDBLOCK)
        return MISTAKE == WOULD_BLOCK_AS_ALL ? int32_t(uSize) : 0;
    return -1;
}

int32_t Recv(int32_t iSocket, uint8_t *lpBuf, uint32_t uSize) {
    const ssize_t iRead = recv(fdOf(iSocket), lpBuf, uSize, 0);
    if (MISTAKE == NUL_BEYOND_ROOM && iRead >= 0) lpBuf[iRead] = 0;
    if (MISTAKE == NOTHING_AS_FAILURE) return iRead > 0 ? int32_t(iRead) : -1;
    if (iRead > 0 || (MISTAKE == CLOSE_AS_ZERO && iRead == 0)) return int32_t(iRead);
    return iRead < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
}

const XR_DEV_TCP_SOCKET_CALLBACK_S kTable = {Open, Check, Close, Send, Recv};

}  // namespace

extern "C" const XR_DEV_TCP_SOCKET_CALLBACK_S *ConformancePort(int, char **) {
    return &kTable;
}

extern "C" const XR_DEV_TCP_CONFORMANCE_HOST_S *ConformanceHost(void) {
    return conformancePosixHost(nullptr);
}
