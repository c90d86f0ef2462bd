/* SPDX-License-Identifier: MIT */
/* Debian's mbedTLS configuration less what a device's build often lacks: a file system,
 * a calendar clock and the maximum-fragment-length extension. The TLS port is compiled
 * against it (compiled only: the library itself is Debian's) so that its guards hold. */
#ifndef DEVTCP_REDUCED_MBEDTLS_CONFIG_H
#define DEVTCP_REDUCED_MBEDTLS_CONFIG_H

#include <mbedtls/config.h>

#undef MBEDTLS_FS_IO
#undef MBEDTLS_HAVE_TIME_DATE
#undef MBEDTLS_SSL_MAX_FRAGMENT_LENGTH

#endif
