// SPDX-License-Identifier: MIT
// The conformance kit on devtcp::winsock: starts Windows Sockets first.
#include <winsock2.h>

#include <cstdio>

#include "conformance.h"
#include "host_winsock.h"
#include "xr_dev_tcp_winsock.h"

extern "C" const XR_DEV_TCP_SOCKET_CALLBACK_S *ConformancePort(int argc, char **argv) {
    (void)argv;
    WSADATA wsaData;
    if (argc != 0 || WSAStartup(MAKEWORD(2, 2), &wsaData) != 0) {
        std::fprintf(stderr,
                     "the Winsock port takes no arguments after --, and needs "
                     "Windows Sockets 2.2\n");
        return nullptr;
    }
    return xrDevTcpWinsockSockets();
}

extern "C" const XR_DEV_TCP_CONFORMANCE_HOST_S *ConformanceHost(void) {
    return conformanceWinsockHost();
}
