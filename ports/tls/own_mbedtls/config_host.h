/* SPDX-License-Identifier: MIT */
/* mbedTLS for devtcp::tls on a PC with the device's choices (config_board.h): the same
 * TLS client, built for the host so that tests and the bench (tests/tls, bench/tls.sh) show
 * the handshake in steps, which Debian's mbedTLS does not split. Also what their
 * in-process agent needs: the server side with a session cache, session tickets and
 * renegotiation requests, files, the clock and the OS's entropy. */
#ifndef MBEDTLS_CONFIG_H
#define MBEDTLS_CONFIG_H

#include "device_tls.h"

#define MBEDTLS_HAVE_ASM
#define MBEDTLS_HAVE_TIME
#define MBEDTLS_HAVE_TIME_DATE
#define MBEDTLS_PLATFORM_C
#define MBEDTLS_FS_IO
#define MBEDTLS_ERROR_C
#define MBEDTLS_SSL_SRV_C
#define MBEDTLS_SSL_CACHE_C
#define MBEDTLS_SSL_TICKET_C
#define MBEDTLS_SSL_RENEGOTIATION

#include "mbedtls/check_config.h"
#endif
