/* SPDX-License-Identifier: MIT */
/* mbedTLS for bench/tls_m4.sh: the board's configuration (config_board.h) with what the
 * in-process agent needs (the server side, session tickets). The device's side is the
 * board's. */
#ifndef MBEDTLS_CONFIG_H
#define MBEDTLS_CONFIG_H

#include "../ports/tls/own_mbedtls/device_tls.h"

#define MBEDTLS_HAVE_ASM
#define MBEDTLS_NO_PLATFORM_ENTROPY
#define MBEDTLS_SSL_SRV_C
#define MBEDTLS_SSL_TICKET_C

#include "mbedtls/check_config.h"
#endif
