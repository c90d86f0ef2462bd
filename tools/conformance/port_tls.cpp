// SPDX-License-Identifier: MIT
// The conformance kit on devtcp::tls over devtcp::posix: after "--", the CA file that the
// agent's certificate must chain to and the name it must carry.
#include <cstdio>

#include "conformance.h"
#include "host_posix.h"
#include "xr_dev_tcp_posix.h"
#include "xr_dev_tcp_tls.h"

namespace {

void printLine(int32_t iLevel, const char *lpszText) {
    (void)iLevel;
    std::printf("     (tls) %s\n", lpszText);
}

}  // namespace

extern "C" const XR_DEV_TCP_SOCKET_CALLBACK_S *ConformancePort(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "the TLS port takes a CA file and a server name after --\n");
        return nullptr;
    }
    XR_DEV_TCP_TLS_CONFIG_S config = {};
    config.lpTransport = xrDevTcpPosixSockets();
    config.lpszCaFile = argv[0];
    config.lpszServerName = argv[1];
    config.lpLog = printLine;
    return xrDevTcpTlsSetup(&config) == 0 ? xrDevTcpTlsSocketTable() : nullptr;
}

extern "C" const XR_DEV_TCP_CONFORMANCE_HOST_S *ConformanceHost(void) {
    return conformancePosixHost(
        "the TLS port encrypts what it is given, and the kit's own peers do not speak TLS");
}
