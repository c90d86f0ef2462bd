// SPDX-License-Identifier: MIT
// The client's socket operations: the platform's port (devtcp::posix or devtcp::winsock)
// with the client's own reports around it, the socket count on every open and close
// and the error code of a failed send or receive.
#include "sockets.h"

#include <cstring>

#include "console_output.h"
#ifdef _WIN32
#include "xr_dev_tcp_winsock.h"
#else
#include "xr_dev_tcp_posix.h"
#endif

int32_t SocketCount = 0;

namespace {

// A failed open already shows as the library's error -3, and an address that the port
// refuses (reported with -1) as the Redirct line before it; the client prints only the
// codes of failed sends and receives.
void PrintError(const char *lpszOperation, int32_t iError) {
    if (iError >= 0 && std::strcmp(lpszOperation, "SocketOpen") != 0) {
        ConsolePrintf("%s: iErr=%d\n", lpszOperation, iError);
    }
}

// The port's table; it also installs the client's error printing (one pointer store), so
// that the printing is in place whatever the order of the calls.
const XR_DEV_TCP_SOCKET_CALLBACK_S &Port() {
#ifdef _WIN32
    xrDevTcpWinsockSetErrorHook(PrintError);
    return *xrDevTcpWinsockSockets();
#else
    xrDevTcpPosixSetErrorHook(PrintError);
    return *xrDevTcpPosixSockets();
#endif
}

}  // namespace

int32_t SocketOpen(const char *lpszAddr) {
    const int32_t iSocket = Port().SocketOpen(lpszAddr);
    if (iSocket >= 0) {
        ++SocketCount;
        ConsolePrintf("SocketOpen: SocketCount=%d\n", SocketCount);
    }
    return iSocket;
}

int32_t SocketCheck(int32_t iSocket) {
    return Port().SocketCheck(iSocket);
}

void SocketClose(int32_t iSocket) {
    Port().SocketClose(iSocket);
    if (SocketCount > 0) {
        --SocketCount;
    }
    ConsolePrintf("SocketClose: SocketCount=%d\n", SocketCount);
}

int32_t SocketSend(int32_t iSocket, const uint8_t *lpData, uint32_t uSize) {
    return Port().SocketSend(iSocket, lpData, uSize);
}

int32_t SocketRecv(int32_t iSocket, uint8_t *lpBuf, uint32_t uSize) {
    return Port().SocketRecv(iSocket, lpBuf, uSize);
}

int32_t SocketWait(uint32_t uTimeoutMs) {
#ifdef _WIN32
    return xrDevTcpWinsockWait(uTimeoutMs);
#else
    return xrDevTcpPosixWait(uTimeoutMs);
#endif
}
