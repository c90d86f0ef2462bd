// SPDX-License-Identifier: MIT
// The five socket operations that the client installs in the link library, and the
// client's count of open sockets. They are the platform's port (xr_dev_tcp_posix.h or
// xr_dev_tcp_winsock.h, where each result is described) with the client's messages:
// every operation returns at once.
#ifndef DEVTCP_CONSOLE_SOCKETS_H
#define DEVTCP_CONSOLE_SOCKETS_H

#include <cstdint>

/**
 * Sockets handed to the library by SocketOpen and not yet taken back by SocketClose;
 * never below 0. Printed on every open and close.
 */
extern int32_t SocketCount;

/**
 * Start a connection to "a.b.c.d:port" (a dotted IPv4 host; no name lookup).
 * @return the socket while the connection is being made, or -1 when it cannot be
 *         started. Only a success prints a message.
 */
int32_t SocketOpen(const char *lpszAddr);

/**
 * @return 1 once the connection is established, 0 while it is pending and also after
 *         the attempt has failed, -1 when the poll itself fails.
 */
int32_t SocketCheck(int32_t iSocket);

/** Close the socket (unless it is negative), count it down and print the count. */
void SocketClose(int32_t iSocket);

/**
 * @return bytes taken (possibly fewer than @p uSize), 0 when none can be taken now,
 *         -1 on failure (the platform's error code is printed, except for a failed poll).
 */
int32_t SocketSend(int32_t iSocket, const uint8_t *lpData, uint32_t uSize);

/**
 * @return bytes read (1 or more), 0 when nothing is waiting, -1 when the peer has
 *         closed the connection (silently) or it failed (the error code is printed,
 *         except for a failed poll).
 */
int32_t SocketRecv(int32_t iSocket, uint8_t *lpBuf, uint32_t uSize);

/**
 * Sleep until one of the open sockets is readable, or writable where that is awaited, or
 * for @p uTimeoutMs (XR_DEV_TCP_NO_DEADLINE: no limit).
 * @return 1 when a socket is ready, 0 when the time ran out, -1 when the wait failed.
 */
int32_t SocketWait(uint32_t uTimeoutMs);

#endif
