// SPDX-License-Identifier: MIT
// What the client needs from the operating system besides sockets: starting the
// socket layer, a millisecond clock and a sleep.
#ifndef DEVTCP_CONSOLE_PLATFORM_H
#define DEVTCP_CONSOLE_PLATFORM_H

#include <cstdint>

/**
 * Prepare the process for socket I/O, once, before the first socket is opened. On
 * failure a message naming the cause goes to standard error.
 * @return false when the socket layer cannot be started.
 */
bool PlatformStart();

/** Milliseconds since an arbitrary start; wraps to 0 after 2^32 - 1. */
uint32_t PlatformTick();

/** Block the thread for @p uMilliseconds. */
void PlatformSleep(uint32_t uMilliseconds);

#endif
