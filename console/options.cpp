// SPDX-License-Identifier: MIT
#include "options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "agent_address.h"
#include "handlers.h"
#ifdef DEVTCP_CONSOLE_TLS
#include "xr_dev_tcp_tls.h"
#endif

namespace {

constexpr int EXIT_USAGE = 2;

const char kUsage[] =
    "Usage: devtcp-console [--agent ADDR] [--user NAME]\n"
    "                      [--password-file FILE | --password-env VAR]\n"
    "                      [--tls-ca FILE --tls-name NAME] [--events] [--version]\n"
    "                      [--help]\n"
    "\n"
    "An echo device on the devtcp link library: logs in to a device agent, prints every\n"
    "event and log line, and sends every message back to its sender. It asks for the\n"
    "agent's address and a user name unless the options below give them, and logs in\n"
    "with the password 5820 unless one is given. Without TLS options its links are\n"
    "plain TCP.\n"
    "\n"
    "  --agent ADDR          the agent's address instead of asking for it: a dotted\n"
    "                        IPv4 address, a colon and a port from 1 to 65535\n"
    "  --user NAME           the user name instead of asking for it (1 to 127 characters)\n"
    "  --password-file FILE  log in with the password on the first line of FILE\n"
    "  --password-env VAR    log in with the password in the environment variable VAR;\n"
    "                        either way the password stays out of the shell history and\n"
    "                        the process list (1 to 63 characters)\n"
    "  --tls-ca FILE         run every link over TLS 1.2, also after a redirect, and\n"
    "                        accept only an agent whose certificate chains to a CA\n"
    "                        certificate in FILE (PEM or DER); needs --tls-name\n"
    "  --tls-name NAME       the name that the agent's certificate must carry\n"
    "  --events              drive the links by events: sleep until a socket is ready or\n"
    "                        the library has something to do, instead of every 50 ms;\n"
    "                        a login then lasts 5,000 s, as long as 100,000 ticks\n"
    "  --version             print the library version and exit\n"
    "  -h, --help            show this help and exit\n"
    "\n"
    "A bad command line prints one line saying what is wrong and exits with status 2.\n";

// One line on standard error, so that a script's log shows the fault where it happened.
int usageError(const char *lpszOption, const char *lpszWhat, const char *lpszArg = "") {
    std::fprintf(stderr, "devtcp-console: %s%s%s%s (see devtcp-console --help)\n", lpszOption,
                 lpszOption[0] != '\0' ? ": " : "", lpszWhat, lpszArg);
    return EXIT_USAGE;
}

// Copies @p lpszText into a field of @p uSize bytes; false when it is empty or too long.
bool copyField(const char *lpszText, char *lpszField, std::size_t uSize) {
    const std::size_t uLen = std::strlen(lpszText);
    if (uLen == 0 || uLen >= uSize) {
        return false;
    }
    std::memcpy(lpszField, lpszText, uLen + 1);
    return true;
}

// The password is the file's first line without its line end (LF or CR LF).
int readPasswordFile(const char *lpszFile, CONSOLE_SETTINGS_S &settings) {
    FILE *lpFile = std::fopen(lpszFile, "rb");
    if (lpFile == nullptr) {
        return usageError("--password-file", "cannot open ",
                          (std::string(lpszFile) + ": " + std::strerror(errno)).c_str());
    }
    char szLine[XR_DEV_TCP_PASS_SIZE + 1] = {};
    std::size_t uLen = 0;
    bool bNul = false;
    for (int c = std::fgetc(lpFile); c != EOF && c != '\n'; c = std::fgetc(lpFile)) {
        bNul = bNul || c == '\0';
        if (uLen < sizeof(szLine) - 1) {
            szLine[uLen] = static_cast<char>(c);
        }
        ++uLen;
    }
    std::fclose(lpFile);
    if (uLen > 0 && uLen < sizeof(szLine) && szLine[uLen - 1] == '\r') {
        szLine[--uLen] = '\0';
    }
    if (bNul) {
        return usageError("--password-file", "the first line holds a NUL byte: ", lpszFile);
    }
    if (!copyField(szLine, settings.szPass, sizeof(settings.szPass))) {
        return usageError("--password-file",
                          "the first line must hold 1 to 63 characters: ", lpszFile);
    }
    return CONSOLE_RUN;
}

int readPasswordEnv(const char *lpszVar, CONSOLE_SETTINGS_S &settings) {
    const char *lpszValue = std::getenv(lpszVar);
    if (lpszValue == nullptr) {
        return usageError("--password-env", "no such environment variable: ", lpszVar);
    }
    if (!copyField(lpszValue, settings.szPass, sizeof(settings.szPass))) {
        return usageError("--password-env", "the password must hold 1 to 63 characters: ", lpszVar);
    }
    return CONSOLE_RUN;
}

int startTls(const char *lpszCa, const char *lpszName, CONSOLE_SETTINGS_S &settings) {
#ifdef DEVTCP_CONSOLE_TLS
    XR_DEV_TCP_TLS_CONFIG_S config = {};
    config.lpTransport = settings.lpSockets;
    config.lpszCaFile = lpszCa;
    config.lpszServerName = lpszName;
    config.lpLog = LogOutput;
    config.TransportWait = settings.lpWait;
    if (xrDevTcpTlsSetup(&config) != 0) return 1;
    settings.lpSockets = xrDevTcpTlsSocketTable();
    settings.lpWait = xrDevTcpTlsWait;
    return CONSOLE_RUN;
#else
    (void)lpszCa, (void)lpszName, (void)settings;
    return usageError("", "this build has no TLS (mbedTLS was not found)");
#endif
}

}  // namespace

int ConsoleOptions(int argc, char **argv, CONSOLE_SETTINGS_S &settings) {
    const char *lpszCa = nullptr;
    const char *lpszName = nullptr;
    const char *lpszAgent = nullptr;
    const char *lpszUser = nullptr;
    const char *lpszPassFile = nullptr;
    const char *lpszPassEnv = nullptr;
    struct {
        const char *lpszName;
        const char **lppValue;
    } const kValued[] = {{"--tls-ca", &lpszCa},
                         {"--tls-name", &lpszName},
                         {"--agent", &lpszAgent},
                         {"--user", &lpszUser},
                         {"--password-file", &lpszPassFile},
                         {"--password-env", &lpszPassEnv}};
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
        if (std::strcmp(lpszArg, "--events") == 0) {
            settings.bEvents = true;
            continue;
        }
        const char **lppValue = nullptr;
        for (const auto &option : kValued) {
            if (std::strcmp(lpszArg, option.lpszName) == 0) lppValue = option.lppValue;
        }
        // An option that is not understood stops the client: a mistyped TLS option
        // must not leave the links in plain TCP.
        if (lppValue == nullptr) return usageError("", "unknown option or argument: ", lpszArg);
        if (i + 1 >= argc || argv[i + 1][0] == '\0')
            return usageError(lpszArg, "a value is needed");
        *lppValue = argv[++i];
    }
    if ((lpszCa == nullptr) != (lpszName == nullptr))
        return usageError("", "--tls-ca and --tls-name go together");
    if (lpszPassFile != nullptr && lpszPassEnv != nullptr)
        return usageError("", "--password-file and --password-env exclude each other");
    if (lpszAgent != nullptr) {
        const char *lpszFault = AgentAddressFault(lpszAgent);
        if (lpszFault != nullptr)
            return usageError(
                "--agent", lpszFault,
                "; expected a dotted IPv4 address, a colon and a port from 1 to 65535");
        std::strcpy(settings.szAddr, lpszAgent);  // at most 21 characters once checked
    }
    if (lpszUser != nullptr && !copyField(lpszUser, settings.szUser, sizeof(settings.szUser)))
        return usageError("--user", "at most 127 characters");
    const int iPass = lpszPassFile != nullptr  ? readPasswordFile(lpszPassFile, settings)
                      : lpszPassEnv != nullptr ? readPasswordEnv(lpszPassEnv, settings)
                                               : CONSOLE_RUN;
    if (iPass != CONSOLE_RUN) return iPass;
    return lpszCa != nullptr ? startTls(lpszCa, lpszName, settings) : CONSOLE_RUN;
}
