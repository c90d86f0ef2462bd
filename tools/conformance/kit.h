// SPDX-License-Identifier: MIT
// The kit's bookkeeping: the points and their verdicts, the port's and the host's
// operations called under a watchdog, and the handles the kit holds, so that it closes
// them whatever ends the run.
#ifndef DEVTCP_CONFORMANCE_KIT_H
#define DEVTCP_CONFORMANCE_KIT_H

#include <cstdint>
#include <string>

#include "conformance.h"

namespace kit {

// A call that takes longer blocks: the library would stall every link with it.
constexpr long AT_ONCE_MS = 500;
// A call that has not returned by then never will: the run ends with a verdict.
constexpr long BLOCKED_MS = 3000;
// How long the kit waits for what a peer does (connect, answer, close).
constexpr long WAIT_MS = 3000;

enum Point {
    OPEN,
    CHECK,
    READ_NOTHING,
    WRITE,
    READ_SMALL,
    ORDERLY_CLOSE,
    RESET,
    REFUSED,
    SILENT,
    SLOW_READER,
    TWO_CONNECTIONS,
    PEER_SEES_CLOSE,
    NO_DESCRIPTOR_KEPT,
    POINT_COUNT
};

const char *pointName(Point point);

extern const XR_DEV_TCP_SOCKET_CALLBACK_S *g_lpPort;
extern const XR_DEV_TCP_CONFORMANCE_HOST_S *g_lpHost;

// The point whose calls follow: the watchdog and the slow-call note belong to it.
void begin(Point point);
// One verdict per point; a pass turns into a failure when one of its calls was slow.
void pass(Point point, const std::string &said);
void fail(Point point, const std::string &said, const char *lpszExpected);
void notRun(Point point, const std::string &why);
bool passed(Point point);
// Closes what the kit still holds, names every point without a verdict and prints the
// tally; the exit status: 0 when every point that ran passed and none failed.
int finish();

#ifdef __GNUC__
std::string format(const char *lpszFormat, ...) __attribute__((format(printf, 1, 2)));
#else
std::string format(const char *lpszFormat, ...);
#endif
long long nowMs();
void pause(long lMs = 5);

// The port's operations, timed; open handles are tracked until closed.
int32_t open(const char *lpszAddr, long &lMs);
int32_t check(int32_t iSocket);
int32_t send(int32_t iSocket, const uint8_t *lpData, uint32_t uSize, long &lMs);
int32_t recv(int32_t iSocket, uint8_t *lpBuf, uint32_t uSize, long &lMs);
void close(int32_t iSocket);

// The host's, tracked the same way; peers are the kit's own listeners and connections.
int32_t hostOpen(const char *lpszAddr);
int32_t hostListen(std::string &addr);
int32_t hostAccept(int32_t iListener, long lWithinMs);
int32_t hostSend(int32_t iSocket, const uint8_t *lpData, uint32_t uSize);
int32_t hostRecv(int32_t iSocket, uint8_t *lpBuf, uint32_t uSize);
void hostClose(int32_t iSocket);

}  // namespace kit

#endif
