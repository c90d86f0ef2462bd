// SPDX-License-Identifier: MIT
// The stories' operations in their binary form, against every check of the story runner's
// socket table and application (slots sound, sockets held and closed, frames well formed,
// callbacks' pointers inside the received frame, no event inside another, xrDevTcpSend's
// answers as its contract says).
#include "runner.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *lpData, size_t uSize) {
    story::runBinary(lpData, uSize);
    return 0;
}
