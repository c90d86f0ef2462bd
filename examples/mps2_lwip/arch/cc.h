/* SPDX-License-Identifier: MIT */
/* lwIP's compiler and platform definitions for the board: GCC, little-endian, newlib's
   <stdint.h>. Diagnostics and failed assertions go out through semihosting. */
#ifndef ARCH_CC_H
#define ARCH_CC_H

#include <stdint.h>
#include <stdlib.h>

#define LWIP_ERRNO_STDINCLUDE 1

void board_print(const char *lpszFormat, ...) __attribute__((format(printf, 1, 2)));
void board_fail(const char *lpszWhat) __attribute__((noreturn));
uint32_t board_random(void);

#define LWIP_PLATFORM_DIAG(x) \
    do {                      \
        board_print x;        \
    } while (0)
#define LWIP_PLATFORM_ASSERT(x) board_fail(x)
#define LWIP_RAND() board_random()

#endif
