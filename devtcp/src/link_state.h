// SPDX-License-Identifier: MIT
// The library's static state and its internal operations. Internal: the library's own
// sources, tests, fuzz targets and benchmarks include it; applications never do.
#ifndef DEVTCP_LINK_STATE_H
#define DEVTCP_LINK_STATE_H

#include <stdint.h>

#include "xr_dev_tcp.h"

// A handle holds the slot index in its upper 15 bits.
static_assert(XR_DEV_TCP_LINK_NUM >= 1 && XR_DEV_TCP_LINK_NUM <= 0x7FFF,
              "XR_DEV_TCP_LINK_NUM out of 1..32767");

// xrDevTcpProc's state. A call made while one is running (from inside one of the
// application's functions, which the header forbids) returns at once.
enum : uint8_t { kProcNever, kProcIdle, kProcRunning };

// The small fields come first: a device then reaches them, and the slots' fields, with
// short offsets from one base address.
struct XR_DEV_TCP_STATE_S {
    uint32_t uTickNow;     // tick of the latest xrDevTcpProc call
    uint32_t uTickSecond;  // tick of the latest per-second pass
    uint32_t uSeqCount;    // counts allocations and logouts; usSeq is its low half
    uint8_t ucProc;        // kProcNever before the first xrDevTcpProc call, then kProcIdle,
                           // and kProcRunning while a call runs
    bool bReady;           // the slots have been brought to their start state
    XR_DEV_TCP_SOCKET_CALLBACK_S stSocket;
    XR_DEV_TCP_CALLBACK_S stCallback;
    XR_DEV_TCP_LOG_FUNC lpLog;
    XR_DEV_TCP_LINK_S stLink[XR_DEV_TCP_LINK_NUM];
};

// The one instance. It lives in zero-initialised storage (so it costs no flash); the
// first login or logout brings the slots to the start state, in which free slots hold
// socket -1; the tables start empty, as zero storage already is.
extern XR_DEV_TCP_STATE_S g_stDevTcp;

#if defined(__GNUC__)
#define DEVTCP_NOINLINE __attribute__((noinline))
#define DEVTCP_ALWAYS_INLINE __attribute__((always_inline))
#else
#define DEVTCP_NOINLINE
#define DEVTCP_ALWAYS_INLINE
#endif

namespace devtcp {

constexpr uint32_t kSecondMs = 1000;
constexpr uint32_t kLoginTimeoutMs = 30000;
constexpr uint32_t kKeepaliveAfterMs = 60000;
constexpr uint32_t kIdleDropMs = 90000;
constexpr uint16_t kDelayPassesPerLevel = 15;
constexpr uint16_t kMaxDelayLevel = 20;
// Redirects less than this apart form a run; from the third of a run on each counts as
// a failed attempt.
constexpr uint32_t kRedirectRunMs = 60000;
constexpr uint16_t kRedirectsFree = 2;

// Brings the state to what it is at program start, once.
void makeReady();
inline void ensureReady() {
    if (!g_stDevTcp.bReady) makeReady();
}

// The slot of an index. GCC, optimising for size, recomputes a slot's address (a
// multiply by the record size) after every call rather than keep it in a register, about
// 300 bytes over the library on a Cortex-M4. An empty asm statement makes the address
// opaque, so it is computed once per function. The driver's per-tick loop indexes the
// table directly: there the compiler steps a pointer from slot to slot.
inline XR_DEV_TCP_LINK_S &link(uint32_t uInd) {
    XR_DEV_TCP_LINK_S *p = &g_stDevTcp.stLink[uInd];
#if defined(__GNUC__)
    __asm__("" : "+r"(p));
#endif
    return *p;
}

inline int32_t makeHandle(uint32_t uInd) {
    return int32_t(uInd << 16 | link(uInd).usSeq);
}

// The handle's slot index when it names the current allocation of a slot, else -1.
inline int32_t slotOfHandle(int32_t iAgentID) {
    uint32_t u = uint32_t(iAgentID);
    if (u >= (uint32_t(XR_DEV_TCP_LINK_NUM) << 16)) return -1;
    uint32_t uInd = u >> 16;
    return (u & 0xFFFFu) == link(uInd).usSeq ? int32_t(uInd) : -1;
}

// Every call into the application (a socket operation, the log function, an event) may
// end the link, although the header allows it only from the events: a logout, perhaps
// followed by a login that takes the slot again. Each gives the slot a new usSeq, so a
// step that follows such a call first compares usSeq with its value before the call,
// and makes no further change and no further call for the slot when it differs.
// socketClose, notifyEvent and xrDevTcpLogStatus answer that comparison. The read and
// the write need none: only an end of the link takes a slot's socket away meanwhile.

// Time from then to now under the library's wrap rule: across a wrap it is one
// millisecond less than the modular difference, which the timers have always used.
inline uint32_t elapsedMs(uint32_t uNow, uint32_t uThen) {
    return uNow >= uThen ? uNow - uThen : (0xFFFFFFFFu - uThen) + uNow;
}

// Bounded string helpers: the library never trusts a text to end within its field.
void copyText(char *lpszDst, const char *lpszSrc, uint32_t uDstSize);
bool sameText(const char *a, const char *b);

// Calls into the application's tables. An entry that the application left empty is
// never called: an empty socket operation counts as that operation failing (an empty
// close just forgets the handle) and an empty event entry drops the event.
inline int32_t socketOpen(const char *lpszAddr) {
    auto fn = g_stDevTcp.stSocket.SocketOpen;
    return fn ? fn(lpszAddr) : -1;
}
inline int32_t socketCheck(int32_t iSocket) {
    auto fn = g_stDevTcp.stSocket.SocketCheck;
    return fn ? fn(iSocket) : -1;
}
// Closes the slot's socket, if any.
bool socketClose(uint32_t uInd);
inline int32_t socketSend(int32_t iSocket, const uint8_t *lpData, uint32_t uSize) {
    auto fn = g_stDevTcp.stSocket.SocketSend;
    return fn ? fn(iSocket, lpData, uSize) : -1;
}
inline int32_t socketRecv(int32_t iSocket, uint8_t *lpBuf, uint32_t uSize) {
    auto fn = g_stDevTcp.stSocket.SocketRecv;
    return fn ? fn(iSocket, lpBuf, uSize) : -1;
}
// The slot's event callbacks, with its handle: TcpError when lpszData is NULL (uValue is
// then the error code), else TcpNotify. Out of line: it is called from many places.
bool notifyEvent(uint32_t uInd, uint32_t uValue, const char *lpszData);
inline bool notifyError(uint32_t uInd, int32_t iError) {
    return notifyEvent(uInd, uint32_t(iError), nullptr);
}
inline bool notify(uint32_t uInd, uint32_t uType, const char *lpszData) {
    return notifyEvent(uInd, uType, lpszData);
}

// Queues a frame without data or peer (keepalive, logout); whether it was queued is not
// needed.
void sendEmptyFrame(uint32_t uInd, uint32_t uType);

// The two halves of the receive step that run only when there is something to do.
void onReadFailure(uint32_t uInd);
void handleFrontFrame(uint32_t uInd);

}  // namespace devtcp

// Internal operations.
#if XR_DEV_TCP_LOG
void xrDevTcpLog(int32_t iLevel, const char *lpszFormat, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
// Logs "xrDevTcp<op>: Login status - <word of the slot's usStatus>, uInd=<uInd>"; the
// operation is named without its common prefix, which each name would otherwise repeat.
bool xrDevTcpLogStatus(const char *lpszOp, uint32_t uInd);
#else
// Compiled out: macros rather than empty functions, so that no text reaches the image
// even without optimisation. The arguments are not evaluated; none has side effects.
// Without a call into the application the link is still held.
#define xrDevTcpLog(...) ((void)0)
#define xrDevTcpLogStatus(lpszOp, uInd) devtcp::noLogStatus()
namespace devtcp {
inline bool noLogStatus() {
    return true;
}
}  // namespace devtcp
#endif
// xrDevTcpFlush answers 0, XR_DEV_TCP_ERR_SOCKET, or kFlushLost when the write failed
// because the application ended the link from inside it (see send_queue.cpp).
constexpr int32_t kFlushLost = 1;
int32_t xrDevTcpFlush(uint32_t uInd);
int32_t xrDevTcpSendLogin(uint32_t uInd);
void xrDevTcpSecondProc(uint32_t uInd);
void xrDevTcpLoginProc(uint32_t uInd);
// bFailed: the reset ends a failed attempt (login timeout, refused login, lost connection,
// a redirect that counts as one), so the back-off rises. The reset answers whether the
// link is still held afterwards.
bool xrDevTcpReset(uint32_t uInd, const char *lpszAddr, bool bTimeout, bool bFailed = false);
void xrDevTcpResetOffline(uint32_t uInd, bool bFailed = false);
void xrDevTcpRedirect(uint32_t uInd, const char *lpszAddr);
void xrDevTcpSocketProcLogin(uint32_t uInd, const char *lpszAddr, const char *lpszTime);

// The receive step: read what the connection has, then handle at most one frame. Inline,
// because it runs for every slot on every tick and usually finds nothing.
DEVTCP_ALWAYS_INLINE inline void xrDevTcpSocketProc(uint32_t uInd) {
    XR_DEV_TCP_LINK_S &l = g_stDevTcp.stLink[uInd];
    if (l.iSocket < 0) return;
    if (l.uRecvSize < XR_DEV_TCP_BUF_SIZE) {
        uint32_t uFree = XR_DEV_TCP_BUF_SIZE - l.uRecvSize;
        int32_t iRead = devtcp::socketRecv(l.iSocket, l.ucRecvBuf + l.uRecvSize, uFree);
        // Nothing read leaves nothing to count, also when the read ended the link. Only
        // an end of the link takes the socket away during a read: a logout closes it,
        // and a new allocation has none yet.
        if (iRead != 0) {
            if (l.iSocket < 0) return;
            // One unsigned test catches a failure and a claim beyond the room offered,
            // which cannot have been stored.
            if (uint32_t(iRead) > uFree) {
                if (iRead < 0) {
                    devtcp::onReadFailure(uInd);
                    return;
                }
                iRead = int32_t(uFree);
            }
            l.uRecvSize += uint32_t(iRead);
        }
    }
    // Bytes still to be skipped of an oversized frame are dropped once a header's worth
    // is held: dropping them later from the front gives the same stream.
    if (l.uRecvSize >= XR_DEV_TCP_HEAD_SIZE) devtcp::handleFrontFrame(uInd);
}

// Test-only: puts the whole library back to its program-start state (empty tables,
// free slots, no tick seen yet), so that each test case starts from a fresh library.
void xrDevTcpTestRestart();

#endif
