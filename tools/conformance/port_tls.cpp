// SPDX-License-Identifier: MIT
// The conformance kit on devtcp::tls over devtcp::posix: after "--", the CA file that the
// agent's certificate must chain to and the name it must carry, and, for the kit's own
// peers to speak TLS too, a certificate chain with that name and its key (the agent's own
// will do). Without them the points whose peer reads the port's bytes are not run.
#include <cstdio>
#include <string>

#include "conformance.h"
#include "host_posix.h"
#include "host_tls.h"
#include "xr_dev_tcp_posix.h"
#include "xr_dev_tcp_tls.h"

namespace {

const XR_DEV_TCP_CONFORMANCE_HOST_S *g_lpHost = nullptr;

void printLine(int32_t iLevel, const char *lpszText) {
    (void)iLevel;
    std::printf("     (tls) %s\n", lpszText);
}

}  // namespace

extern "C" const XR_DEV_TCP_SOCKET_CALLBACK_S *ConformancePort(int argc, char **argv) {
    if (argc != 2 && argc != 4) {
        std::fprintf(stderr,
                     "the TLS port takes a CA file and a server name after --, and "
                     "for the kit's own peers a certificate chain and its key\n");
        return nullptr;
    }
    std::string error;
    g_lpHost = argc == 4 ? conformanceTlsHost(argv[2], argv[3], error)
                         : conformancePosixHost(
                               "the TLS port encrypts what it is given, and "
                               "the kit's own peers have no certificate (-- CA "
                               "NAME CERT KEY)");
    if (g_lpHost == nullptr) {
        std::fprintf(stderr, "the kit's own peers: %s\n", error.c_str());
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
    return g_lpHost;
}
