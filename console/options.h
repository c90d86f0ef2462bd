// SPDX-License-Identifier: MIT
// The console client's command line: TLS for its links, help and version.
#ifndef DEVTCP_CONSOLE_OPTIONS_H
#define DEVTCP_CONSOLE_OPTIONS_H

#include "xr_dev_tcp.h"

/** ConsoleOptions's answer when the client is to run. */
constexpr int CONSOLE_RUN = -1;

/**
 * Read the command line. With --tls-ca and --tls-name, set up TLS over @p lpSockets and
 * replace it with the TLS table.
 * @return CONSOLE_RUN, or the exit status after --help or --version (0), a bad command
 *         line (2, with a message on standard error) or a TLS setup that failed (1, with
 *         the reason on standard output).
 */
int ConsoleOptions(int argc, char **argv, const XR_DEV_TCP_SOCKET_CALLBACK_S *&lpSockets);

#endif
