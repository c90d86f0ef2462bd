// SPDX-License-Identifier: MIT
#include "platform.h"

#include <windows.h>
#include <winsock2.h>

#include <cstdio>

bool PlatformStart() {
    WSADATA wsaData;
    const int iErr = WSAStartup(MAKEWORD(2, 2), &wsaData);
    if (iErr != 0) {
        std::fprintf(stderr, "WSAStartup: iErr=%d\n", iErr);
        return false;
    }
    // Windows Sockets stays started until the process ends.
    return true;
}

uint32_t PlatformTick() {
    return static_cast<uint32_t>(GetTickCount());
}

void PlatformSleep(uint32_t uMilliseconds) {
    Sleep(uMilliseconds);
}
