/* SPDX-License-Identifier: MIT */
/* The link over TLS (the image built with MPS2_TLS): devtcp::tls on the board's socket
   table, with the agent's CA built into the image, and what each handshake cost. */
#ifndef TLS_LINK_H
#define TLS_LINK_H

#include <stdint.h>

#include "xr_dev_tcp.h"

/* Sets up TLS over lpTransport and returns the table to install with
   xrDevTcpSetCallback(); ends the run when the setup fails. uSeed varies the test-only
   entropy from boot to boot; bCount: the run is under QEMU's -icount shift=0, so the
   processor's clock counts instructions, and each handshake's report gives them. */
const XR_DEV_TCP_SOCKET_CALLBACK_S *tls_link_setup(const XR_DEV_TCP_SOCKET_CALLBACK_S *lpTransport,
                                                   uint32_t uSeed, int bCount,
                                                   XR_DEV_TCP_LOG_FUNC lpLog);

/* xrDevTcpProc(uNow), timed while a handshake is under way; prints a line for each
   handshake completed or given up. */
void tls_link_proc(uint32_t uNow);

#endif
