// SPDX-License-Identifier: MIT
// The console client's command line: where and as whom to log in, TLS for its links,
// help and version.
#ifndef DEVTCP_CONSOLE_OPTIONS_H
#define DEVTCP_CONSOLE_OPTIONS_H

#include "read_line.h"
#include "xr_dev_tcp.h"

/** ConsoleOptions's answer when the client is to run. */
constexpr int CONSOLE_RUN = -1;

/** What the command line sets; an empty field is asked for, or takes its default. */
struct CONSOLE_SETTINGS_S {
    const XR_DEV_TCP_SOCKET_CALLBACK_S *lpSockets;
    /** Sleeps until a socket of lpSockets is ready or the time given has passed. */
    int32_t (*lpWait)(uint32_t uTimeoutMs);
    bool bEvents;                      /**< --events: driven by events instead of the 50 ms loop */
    char szAddr[READ_LINE_FIELD_SIZE]; /**< --agent: no address prompt */
    char szUser[READ_LINE_FIELD_SIZE]; /**< --user: no user-name prompt */
    char szPass[XR_DEV_TCP_PASS_SIZE]; /**< --password-file or --password-env */
};

/**
 * Read the command line into @p settings. With --tls-ca and --tls-name, set up TLS over
 * settings.lpSockets and replace it with the TLS table.
 * @return CONSOLE_RUN, or the exit status after --help or --version (0), a bad command
 *         line (2, with one line on standard error saying what is wrong) or a TLS setup
 *         that failed (1, with the reason on standard output).
 */
int ConsoleOptions(int argc, char **argv, CONSOLE_SETTINGS_S &settings);

#endif
