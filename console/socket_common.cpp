#include "socket_common.h"

#include <cstring>

#include "console_output.h"
#include "sockets.h"

int32_t SocketCount = 0;

namespace {

bool IsAtoiBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// atoi's reading of a number, taken modulo 2^16 digit by digit so that any length of
// digits stays defined (atoi itself is undefined beyond the range of int).
uint16_t PortFromText(const char *lpszText) {
    while (IsAtoiBlank(*lpszText)) {
        ++lpszText;
    }
    bool bNegative = false;
    if (*lpszText == '+' || *lpszText == '-') {
        bNegative = *lpszText == '-';
        ++lpszText;
    }
    uint32_t uPort = 0;
    for (; *lpszText >= '0' && *lpszText <= '9'; ++lpszText) {
        uPort = (uPort * 10 + static_cast<uint32_t>(*lpszText - '0')) & 0xFFFFu;
    }
    if (bNegative) {
        uPort = (0x10000u - uPort) & 0xFFFFu;
    }
    return static_cast<uint16_t>(uPort);
}

}  // namespace

bool SplitSocketAddress(const char *lpszAddr, char (&szHost)[SOCKET_HOST_SIZE], uint16_t &usPort) {
    if (lpszAddr == nullptr) {
        return false;
    }
    const char *lpszColon = std::strchr(lpszAddr, ':');
    const std::size_t uHostLen = lpszColon != nullptr
                                     ? static_cast<std::size_t>(lpszColon - lpszAddr)
                                     : std::strlen(lpszAddr);
    if (uHostLen >= SOCKET_HOST_SIZE) {
        return false;
    }
    std::memcpy(szHost, lpszAddr, uHostLen);
    szHost[uHostLen] = '\0';
    usPort = lpszColon != nullptr ? PortFromText(lpszColon + 1) : 0;
    return true;
}

void CountSocketOpened() {
    ++SocketCount;
    ConsolePrintf("SocketOpen: SocketCount=%d\n", SocketCount);
}

void CountSocketClosed() {
    if (SocketCount > 0) {
        --SocketCount;
    }
    ConsolePrintf("SocketClose: SocketCount=%d\n", SocketCount);
}
