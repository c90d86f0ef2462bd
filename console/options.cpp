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
    "                      [--tls-ca FILE --tls-name NAME] [--version] [--help]\n"
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
    "  --password-env VAR    log in with the password in the environment variable VAR,\n"
    "                        which is then wiped from the client's environment; either\n"
    "                        way the password stays out of the shell history and the\n"
    "                        client's command line (1 to 63 characters)\n"
    "  --tls-ca FILE         run every link over TLS 1.2, also after a redirect, and\n"
    "                        accept only an agent whose certificate chains to a CA\n"
    "                        certificate in FILE (PEM or DER); needs --tls-name\n"
    "  --tls-name NAME       the name that the agent's certificate must carry (at most\n"
    "                        63 characters)\n"
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

// The password is the file's first line without its line end (LF or CR LF). No more is
// read than the longest line the field can take, so that a file without a line end (a
// device such as /dev/zero, a huge file) is refused at once rather than read to its end.
int readPasswordFile(const char *lpszFile, CONSOLE_SETTINGS_S &settings) {
    FILE *lpFile = std::fopen(lpszFile, "rb");
    if (lpFile == nullptr) {
        return usageError("--password-file", "cannot open ",
                          (std::string(lpszFile) + ": " + std::strerror(errno)).c_str());
    }
    // 63 characters and a CR fill all but the last byte; one more tells a longer line.
    char szLine[XR_DEV_TCP_PASS_SIZE + 2] = {};
    std::size_t uLen = 0;
    bool bNul = false;
    int c = 0;
    while (uLen < sizeof(szLine) - 1 && (c = std::fgetc(lpFile)) != EOF && c != '\n') {
        bNul = bNul || c == '\0';
        szLine[uLen++] = static_cast<char>(c);
    }
    const bool bError = std::ferror(lpFile) != 0;
    const int iError = errno;
    std::fclose(lpFile);
    if (bError) {
        return usageError("--password-file", "cannot read ",
                          (std::string(lpszFile) + ": " + std::strerror(iError)).c_str());
    }
    if (uLen > 0 && szLine[uLen - 1] == '\r') {
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

// The value is copied, then wiped where the environment keeps it. On Linux, macOS and the
// BSDs an inherited variable's bytes lie in the block that `ps e` and /proc/PID/environ
// show to the same user, which unsetenv() alone leaves as it was.
int readPasswordEnv(const char *lpszVar, CONSOLE_SETTINGS_S &settings) {
    char *lpszValue = std::getenv(lpszVar);
    if (lpszValue == nullptr) {
        return usageError("--password-env", "no such environment variable: ", lpszVar);
    }
    const bool bFits = copyField(lpszValue, settings.szPass, sizeof(settings.szPass));
    std::memset(lpszValue, 0, std::strlen(lpszValue));
#ifdef _WIN32
    _putenv((std::string(lpszVar) + "=").c_str());
#else
    unsetenv(lpszVar);
#endif
    if (!bFits) {
        return usageError("--password-env", "the password must hold 1 to 63 characters: ", lpszVar);
    }
    return CONSOLE_RUN;
}

// The CA file is opened and its first byte read here, so that a file that cannot be read
// is a bad command line like any other (a directory opens but does not read).
int checkCaFile(const char *lpszFile) {
    FILE *lpFile = std::fopen(lpszFile, "rb");
    bool bRead = lpFile != nullptr;
    if (bRead) {
        bRead = std::fgetc(lpFile) != EOF || !std::ferror(lpFile);
    }
    const int iError = errno;
    if (lpFile != nullptr) {
        std::fclose(lpFile);
    }
    if (!bRead) {
        return usageError("--tls-ca", "cannot read ",
                          (std::string(lpszFile) + ": " + std::strerror(iError)).c_str());
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
    if (xrDevTcpTlsSetup(&config) != 0) return 1;
    settings.lpSockets = xrDevTcpTlsSocketTable();
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
    if (iPass != CONSOLE_RUN || lpszCa == nullptr) return iPass;
    // The name is the host of an agent's address, whose field holds 63 characters.
    if (std::strlen(lpszName) >= XR_DEV_TCP_ADDR_SIZE)
        return usageError("--tls-name", "at most 63 characters");
    const int iCa = checkCaFile(lpszCa);
    return iCa != CONSOLE_RUN ? iCa : startTls(lpszCa, lpszName, settings);
}
