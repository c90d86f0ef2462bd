// SPDX-License-Identifier: MIT
// Test-only restart of the whole library. In an object of its own, so that a device image
// links it only when something calls it.
#include <string.h>

#include "link_state.h"

void xrDevTcpTestRestart() {
    memset(&g_stDevTcp, 0, sizeof g_stDevTcp);
    devtcp::ensureReady();
}
