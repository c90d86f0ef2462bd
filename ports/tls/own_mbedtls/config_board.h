/* SPDX-License-Identifier: MIT */
/* mbedTLS for devtcp::tls on a Cortex-M device without an OS (the mps2-an386 board
 * example): the TLS client of device_tls.h, and nothing that needs an OS. No threads, no
 * sockets (the records travel on the device's own socket table), no timers, no files, no
 * clock: the validity dates of certificates are not checked (see xr_dev_tcp_tls.h). No
 * platform entropy: the application gives the port an entropy source (its Entropy
 * setting) from the device's random number generator. */
#ifndef MBEDTLS_CONFIG_H
#define MBEDTLS_CONFIG_H

#include "device_tls.h"

#define MBEDTLS_HAVE_ASM /* Thumb-2 multiply-accumulate in the bignum code */
#define MBEDTLS_NO_PLATFORM_ENTROPY

#include "mbedtls/check_config.h"
#endif
