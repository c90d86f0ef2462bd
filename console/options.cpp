// SPDX-License-Identifier: MIT
#include "options.h"

#include <cstdio>
#include <cstring>

#include "handlers.h"
#ifdef DEVTCP_CONSOLE_TLS
#include "xr_dev_tcp_tls.h"
#endif

namespace {

constexpr int EXIT_USAGE = 2;

const char kUsage[] =
    "Usage: devtcp-console [--tls-ca FILE --tls-name NAME] [--version] [--help]\n"
    "\n"
    "An echo device on the devtcp link library: asks for the device agent's address and\n"
    "a user name, logs in, prints every event and log line, and sends every message back\n"
    "to its sender. Without options its links are plain TCP.\n"
    "\n"
    "  --tls-ca FILE    run every link over TLS 1.2, also after a redirect, and accept\n"
    "                   only an agent whose certificate chains to a CA certificate in\n"
    "                   FILE (PEM or DER); needs --tls-name\n"
    "  --tls-name NAME  the name that the agent's certificate must carry\n"
    "  --version        print the library version and exit\n"
    "  -h, --help       show this help and exit\n";

int usageError(const char *lpszWhat, const char *lpszArg) {
    std::fprintf(stderr, "devtcp-console: %s%s\nTry 'devtcp-console --help'.\n", lpszWhat, lpszArg);
    return EXIT_USAGE;
}

int startTls(const char *lpszCa, const char *lpszName,
             const XR_DEV_TCP_SOCKET_CALLBACK_S *&lpSockets) {
#ifdef DEVTCP_CONSOLE_TLS
    XR_DEV_TCP_TLS_CONFIG_S config = {};
    config.lpTransport = lpSockets;
    config.lpszCaFile = lpszCa;
    config.lpszServerName = lpszName;
    config.lpLog = LogOutput;
    if (xrDevTcpTlsSetup(&config) != 0) return 1;
    lpSockets = xrDevTcpTlsSocketTable();
    return CONSOLE_RUN;
#else
    (void)lpszCa, (void)lpszName, (void)lpSockets;
    return usageError("this build has no TLS (mbedTLS was not found)", "");
#endif
}

}  // namespace

int ConsoleOptions(int argc, char **argv, const XR_DEV_TCP_SOCKET_CALLBACK_S *&lpSockets) {
    const char *lpszCa = nullptr;
    const char *lpszName = nullptr;
    for (int i = 1; i < argc; ++i) {
        const char *lpszArg = argv[i];
        if (std::strcmp(lpszArg, "-h") == 0 || std::strcmp(lpszArg, "--help") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(lpszArg, "--version") == 0) {
            std::printf("devtcp-console %s\n", XR_DEV_TCP_VERSION);
            return 0;
        }
        const char **lppValue = std::strcmp(lpszArg, "--tls-ca") == 0     ? &lpszCa
                                : std::strcmp(lpszArg, "--tls-name") == 0 ? &lpszName
                                                                          : nullptr;
        // An option that is not understood stops the client: a mistyped TLS option
        // must not leave the links in plain TCP.
        if (lppValue == nullptr) return usageError("unknown option or argument: ", lpszArg);
        if (i + 1 >= argc || argv[i + 1][0] == '\0')
            return usageError("a value is needed after ", lpszArg);
        *lppValue = argv[++i];
    }
    if ((lpszCa == nullptr) != (lpszName == nullptr))
        return usageError("--tls-ca and --tls-name go together", "");
    return lpszCa != nullptr ? startTls(lpszCa, lpszName, lpSockets) : CONSOLE_RUN;
}
