// SPDX-License-Identifier: MIT
// The conformance kit on devtcp::posix: nothing to set up.
#include <cstdio>

#include "conformance.h"
#include "host_posix.h"
#include "xr_dev_tcp_posix.h"

extern "C" const XR_DEV_TCP_SOCKET_CALLBACK_S *ConformancePort(int argc, char **argv) {
    (void)argv;
    if (argc != 0) {
        std::fprintf(stderr, "the POSIX port takes no arguments after --\n");
        return nullptr;
    }
    return xrDevTcpPosixSockets();
}

extern "C" const XR_DEV_TCP_CONFORMANCE_HOST_S *ConformanceHost(void) {
    return conformancePosixHost(nullptr);
}
