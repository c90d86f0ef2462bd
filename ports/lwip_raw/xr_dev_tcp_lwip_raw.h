/* SPDX-License-Identifier: MIT */
/**
 * @file xr_dev_tcp_lwip_raw.h
 * The devtcp socket operations on lwIP's raw TCP API (lwIP 2.1 or later): for a device
 * that runs lwIP without an operating system (NO_SYS 1), where there are no sockets, and
 * also with one, under lwIP's core lock. Link `devtcp::lwip_raw` and install the table
 * once lwIP runs (lwip_init() or tcpip_init() done, a network interface up).
 *
 * @code
 * xrDevTcpSetCallback(xrDevTcpLwipRawSockets(), &events, MyLog);
 * int32_t id = xrDevTcpLogin("192.168.1.10:8800", "device-17", "secret");
 * for (;;) {
 *     MyNetifPoll();              // feed received frames to netif->input
 *     sys_check_timeouts();       // lwIP's timers (TCP retransmissions among them)
 *     xrDevTcpProc(MyMilliseconds());
 * }
 * @endcode
 *
 * The application's loop does, besides calling xrDevTcpProc(), what lwIP needs without an
 * OS: it hands received frames to the interface's input function and runs lwIP's timers
 * (sys_check_timeouts()), from the same thread as the library. With an OS (NO_SYS 0),
 * lwIP's own thread does both, and the port's operations and callbacks share lwIP's core:
 * the application must hold the core lock (LOCK_TCPIP_CORE(), LWIP_TCPIP_CORE_LOCKING 1)
 * around each of its calls into the library (xrDevTcpProc, xrDevTcpLogin, xrDevTcpSend,
 * xrDevTcpLogout), and make no library call from lwIP's callbacks.
 *
 * With an OS, every function of the application that the library calls runs with that
 * lock held, since it runs inside one of those calls: the event callbacks (TcpError,
 * TcpNotify, TcpReceive, TcpReceiveStr), the log function and the error hook below. They
 * must not use lwIP's sequential APIs (sockets, netconn, netifapi): each takes the core
 * lock again, which is not recursive, or waits for lwIP's thread, which waits for the
 * lock, and the device hangs. Nor may they block or take long: lwIP's thread
 * (every received frame, every timer) waits for them. They may call the library as
 * xr_dev_tcp.h allows (xrDevTcpSend() to answer a message) and lwIP's raw API; work that
 * needs more is handed to a thread of the application's own.
 *
 * The port allocates nothing of its own: a fixed table of XR_DEV_TCP_LWIP_RAW_CONN_NUM
 * connections (default XR_DEV_TCP_LINK_NUM), each with a receive buffer of
 * XR_DEV_TCP_LWIP_RAW_RX_SIZE bytes (default TCP_WND) into which what lwIP delivers is
 * copied until SocketRecv takes it. Taken bytes are acknowledged to lwIP (tcp_recved()),
 * which opens the receive window again. A smaller buffer works too: what does not fit
 * stays in lwIP's pbufs, queued behind the buffer's bytes, and SocketRecv takes it from
 * there, a part at a time; lwIP's window bounds what the buffer and the queue hold
 * together. Each connection uses one tcp_pcb (MEMP_NUM_TCP_PCB) and lwIP's pbufs.
 *
 * Addresses are "a.b.c.d:port": a dotted IPv4 address (no DNS lookup, which would block)
 * and a decimal port from 1 to 65535 and nothing after it. No operation waits.
 *
 * What each operation of the table answers:
 * - SocketOpen: the connection's index (0 or more) while tcp_connect() goes on; -1 when no
 *   connection or tcp_pcb is free, the address is not of the form above, or the connect
 *   fails at once.
 * - SocketCheck: 1 once the connection is established; 0 while it is pending and also
 *   after the attempt has failed (the following SocketRecv reports the failure); -1 for a
 *   handle that is not open.
 * - SocketSend: the bytes that lwIP took (up to tcp_sndbuf(), copied, and sent at once
 *   with tcp_output()); 0 when it takes none now; -1 on failure.
 * - SocketRecv: the bytes held (1 up to the room given); 0 when nothing is held; -1 once
 *   everything is read and the peer has closed the connection, or it failed.
 * - SocketClose: closes the connection (tcp_close(), tcp_abort() when that fails) and frees
 *   its entry; a handle that is not open is ignored.
 */
#ifndef XR_DEV_TCP_LWIP_RAW_H
#define XR_DEV_TCP_LWIP_RAW_H

#include "xr_dev_tcp.h"

#ifdef __cplusplus
extern "C" {
#endif

/**
 * The five socket operations, to install with xrDevTcpSetCallback().
 * @return the port's table: the same on every call, never NULL, never changed.
 */
const XR_DEV_TCP_SOCKET_CALLBACK_S *xrDevTcpLwipRawSockets(void);

/**
 * Have every failure that carries an lwIP error reported, and every address refused.
 * @param lpHook called from inside the operation that reports the failure, with its name
 *        ("SocketOpen", "SocketSend" or "SocketRecv") and lwIP's err_t made positive
 *        (ERR_RST, -14, reports 14; a refused connection is reset); or, when SocketOpen
 *        refuses an address that is not of the form above, with that address in place of
 *        the name and -1. A refused address is reported once, not again while the library
 *        retries it; it may come from an agent's redirect: print it with care. NULL (the
 *        start) reports nothing.
 */
void xrDevTcpLwipRawSetErrorHook(void (*lpHook)(const char *lpszOperation, int32_t iError));

#ifdef __cplusplus
}
#endif

#endif
