// SPDX-License-Identifier: MIT
#include "platform.h"

#include <chrono>
#include <csignal>
#include <thread>

bool PlatformStart() {
    // The socket operations already keep their own writes from raising SIGPIPE; this
    // covers any other write to a closed pipe or socket as well.
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

uint32_t PlatformTick() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    // Truncation to 32 bits is the wrap that the library's timers expect.
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

void PlatformSleep(uint32_t uMilliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(uMilliseconds));
}
