/* SPDX-License-Identifier: MIT */
/* Debian's mbedTLS less what a device's build often lacks: the TLS port is compiled against
 * it (only compiled: the library is Debian's), so that its guards hold. */
#include <mbedtls/config.h>
#undef MBEDTLS_FS_IO
#undef MBEDTLS_HAVE_TIME_DATE
#undef MBEDTLS_SSL_MAX_FRAGMENT_LENGTH
