/* SPDX-License-Identifier: MIT */
/**
 * @file xr_dev_tcp_lwip.h
 * The devtcp socket operations on lwIP's socket API (lwIP 2.1 or later, built with
 * LWIP_SOCKET, LWIP_SOCKET_POLL and errno set by the sockets): link `devtcp::lwip` and
 * install the table once lwIP runs (tcpip_init() done, a network interface up).
 *
 * @code
 * xrDevTcpSetCallback(xrDevTcpLwipSockets(), &events, MyLog);
 * int32_t id = xrDevTcpLogin("192.168.1.10:8800", "device-17", "secret");
 * @endcode
 *
 * The port is compiled against the application's own lwIP headers and lwipopts.h: in a
 * CMake build give it the target that carries them (-DDEVTCP_LWIP_TARGET=...); on a
 * host it takes the system's lwIP through pkg-config.
 *
 * Addresses are "a.b.c.d:port": a dotted IPv4 address (no DNS lookup, which would block)
 * and a decimal port from 1 to 65535 and nothing after it. Every operation returns at
 * once: sockets are non-blocking from before their connect (lwip_fcntl), and every
 * readiness check is an lwip_poll that waits zero time. The operations keep the last
 * address refused and, for xrDevTcpLwipWait(), the sockets open (as many as the library
 * has links); each lwIP socket a link uses counts against MEMP_NUM_NETCONN.
 *
 * What each operation of the table answers:
 * - SocketOpen: the socket (0 or more) while the connection is being made; -1 when no
 *   socket can be made, the address is not of the form above, or the connect fails at once.
 * - SocketCheck: 1 once the connection is established; 0 while it is pending and also
 *   after the attempt has failed (the following SocketRecv reports the failure); -1 when
 *   the poll itself fails (a socket that is not open).
 * - SocketSend: the bytes taken (1 up to the size offered, possibly fewer); 0 when none
 *   can be taken now; -1 on failure.
 * - SocketRecv: the bytes read (1 up to the room given); 0 when nothing is waiting; -1
 *   when the peer has closed the connection or it failed.
 * - SocketClose: closes the socket; a negative handle is ignored.
 */
#ifndef XR_DEV_TCP_LWIP_H
#define XR_DEV_TCP_LWIP_H

#include "xr_dev_tcp.h"

#ifdef __cplusplus
extern "C" {
#endif

/**
 * The five socket operations, to install with xrDevTcpSetCallback().
 * @return the port's table: the same on every call, never NULL, never changed.
 */
const XR_DEV_TCP_SOCKET_CALLBACK_S *xrDevTcpLwipSockets(void);

/**
 * Sleep until one of the port's sockets is ready, for a device driven by events: readable
 * (data, the peer's close or an error), or writable where that is awaited (a connection
 * being made, or bytes that a SocketSend could not take). One lwip_poll() (lwIP is often
 * built without select, never without poll where this port builds); call it from the
 * application's thread, not from lwIP's.
 *
 * @code
 * for (;;) {
 *     xrDevTcpProc(sys_now());
 *     xrDevTcpLwipWait(xrDevTcpWaitMs(sys_now()));
 * }
 * @endcode
 * @param uTimeoutMs the longest wait in milliseconds; XR_DEV_TCP_NO_DEADLINE waits without a
 *        limit. While more sockets are open than the library has links, the wait lasts at
 *        most 50 ms.
 * @return 1 when a socket is ready, 0 when the time ran out, -1 when the poll failed.
 */
int32_t xrDevTcpLwipWait(uint32_t uTimeoutMs);

/**
 * Have every failure that carries an error code reported, and every address refused.
 * The peer's orderly close and a failed readiness check carry no code and are not reported.
 * @param lpHook called from inside the operation that failed, with its name ("SocketOpen",
 *        "SocketSend" or "SocketRecv") and lwIP's errno; or, when SocketOpen refuses an
 *        address that is not of the form above, with that address in place of the name
 *        and -1 (no error code is negative). A refused address is reported once, not again
 *        while the library retries it. The address may come from an agent's redirect:
 *        print it with care. NULL (the start) reports nothing.
 */
void xrDevTcpLwipSetErrorHook(void (*lpHook)(const char *lpszOperation, int32_t iError));

#ifdef __cplusplus
}
#endif

#endif
