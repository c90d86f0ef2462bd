// Socket operations on Windows Sockets 2.
#include "sockets.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <climits>
#include <cstring>

#include "console_output.h"
#include "socket_common.h"

namespace {

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
    // connection attempt to the broadcast address, as inet_addr's INADDR_NONE would.
    return inet_pton(AF_INET, szHost, &addr.sin_addr) == 1;
}

int ClampSize(uint32_t uSize) {
    return uSize < static_cast<uint32_t>(INT_MAX) ? static_cast<int>(uSize) : INT_MAX;
}

}  // namespace

int32_t SocketOpen(const char *lpszAddr) {
    const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) {
        return -1;
    }
    u_long uNonBlocking = 1;
    sockaddr_in addr;
    if (ioctlsocket(s, FIONBIO, &uNonBlocking) != 0 || !MakeSocketAddress(lpszAddr, addr)) {
        closesocket(s);
        return -1;
    }
    if (connect(s, reinterpret_cast<const sockaddr *>(&addr), sizeof(addr)) != 0 &&
        WSAGetLastError() != WSAEWOULDBLOCK) {
        closesocket(s);
        return -1;
    }
    CountSocketOpened();
    return static_cast<int32_t>(s);
}

int32_t SocketCheck(int32_t iSocket) {
    const SOCKET s = ToSocket(iSocket);
    const Ready ready = PollNow(s, true);
    if (ready == Ready::Failed) {
        return -1;
    }
    if (ready == Ready::No) {
        return 0;
    }
    // Windows signals a failed attempt in the exception set only, never as writable;
    // the peer address check keeps "established only" true on any sockets layer.
    sockaddr_in peer;
    int iLen = sizeof(peer);
    return getpeername(s, reinterpret_cast<sockaddr *>(&peer), &iLen) == 0 ? 1 : 0;
}

void SocketClose(int32_t iSocket) {
    if (iSocket != -1) {
        (void)closesocket(ToSocket(iSocket));
    }
    CountSocketClosed();
}

int32_t SocketSend(int32_t iSocket, const uint8_t *lpData, uint32_t uSize) {
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
    ConsolePrintf("SocketSend: iErr=%d\n", iErr);
    return -1;
}

int32_t SocketRecv(int32_t iSocket, uint8_t *lpBuf, uint32_t uSize) {
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
    ConsolePrintf("SocketRecv: iErr=%d\n", iErr);
    return -1;
}
