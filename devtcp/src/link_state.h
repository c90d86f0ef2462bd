// SPDX-License-Identifier: MIT
// The library's static state and its internal operations. Internal: the library's own
// sources, the stories, the fuzz targets and the benchmarks include it; applications never do.
#ifndef DEVTCP_LINK_STATE_H
#define DEVTCP_LINK_STATE_H

#include <stdint.h>

#include "xr_dev_tcp.h"

// A handle holds the slot index in its upper 15 bits.
static_assert(XR_DEV_TCP_LINK_NUM >= 1 && XR_DEV_TCP_LINK_NUM <= 0x7FFF,
              "XR_DEV_TCP_LINK_NUM out of 1..32767");

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

// xrDevTcpProc's state. A call made while one is running (from inside one of the
// application's functions, which the header forbids) returns at once.
enum : uint8_t { kProcNever, kProcIdle, kProcRunning };

struct XR_DEV_TCP_STATE_S {
    uint32_t uTickNow;     // tick of the latest xrDevTcpProc call
    uint32_t uTickSecond;  // tick of the latest per-second pass
    uint32_t uSeqCount;    // counts allocations and releases; usSeq is its low half
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

// Brings the state to what it is at program start, once.
void makeReady();
inline void ensureReady() {
    if (!g_stDevTcp.bReady) makeReady();
}

inline uint32_t slotIndex(const XR_DEV_TCP_LINK_S &l) {
    return uint32_t(&l - g_stDevTcp.stLink);
}

inline int32_t makeHandle(const XR_DEV_TCP_LINK_S &l) {
    return int32_t(slotIndex(l) << 16 | l.usSeq);
}

// The slot a handle names when it names the current allocation of a slot, else null.
inline XR_DEV_TCP_LINK_S *slotOfHandle(int32_t iAgentID) {
    uint32_t u = uint32_t(iAgentID);
    if (u >= (uint32_t(XR_DEV_TCP_LINK_NUM) << 16)) return nullptr;
    XR_DEV_TCP_LINK_S &l = g_stDevTcp.stLink[u >> 16];
    return (u & 0xFFFFu) == l.usSeq ? &l : nullptr;
}

// The one liveness rule. Every call into the application (a socket operation, the log
// function, an event) may end the link: a logout, perhaps followed by a login that takes
// the slot again, each of which gives the slot a new usSeq. So a step takes the slot's
// allocation mark before such a call, and after it does nothing more for the slot unless
// the mark is unchanged.
class Held {
  public:
    explicit Held(const XR_DEV_TCP_LINK_S &l) : m_l(l), m_usSeq(l.usSeq) {}
    bool operator()() const { return m_l.usSeq == m_usSeq; }

  private:
    const XR_DEV_TCP_LINK_S &m_l;
    uint16_t m_usSeq;
};

// Time from then to now under the library's wrap rule: across a wrap it is one
// millisecond less than the modular difference, which the timers have always used.
inline uint32_t elapsedMs(uint32_t uNow, uint32_t uThen) {
    return uNow >= uThen ? uNow - uThen : (0xFFFFFFFFu - uThen) + uNow;
}

// Bounded string helpers: the library never trusts a text to end within its field.
void copyText(char *lpszDst, const char *lpszSrc, uint32_t uDstSize);
bool sameText(const char *a, const char *b);

// No socket, in a slot's iSocket.
constexpr int32_t kNoSocket = -1;

// Calls into the application's tables. An entry that the application left empty is
// never called: an empty socket operation counts as that operation failing (an empty
// close just forgets the handle) and an empty event entry drops the event.
constexpr int32_t kEmptyEntry = -1;
inline int32_t socketOpen(const char *lpszAddr) {
    auto fn = g_stDevTcp.stSocket.SocketOpen;
    return fn ? fn(lpszAddr) : kEmptyEntry;
}
inline int32_t socketCheck(int32_t iSocket) {
    auto fn = g_stDevTcp.stSocket.SocketCheck;
    return fn ? fn(iSocket) : kEmptyEntry;
}
inline int32_t socketSend(int32_t iSocket, const uint8_t *lpData, uint32_t uSize) {
    auto fn = g_stDevTcp.stSocket.SocketSend;
    return fn ? fn(iSocket, lpData, uSize) : kEmptyEntry;
}
inline int32_t socketRecv(int32_t iSocket, uint8_t *lpBuf, uint32_t uSize) {
    auto fn = g_stDevTcp.stSocket.SocketRecv;
    return fn ? fn(iSocket, lpBuf, uSize) : kEmptyEntry;
}
// Closes the slot's socket, if it has one; the slot forgets it first.
void socketClose(XR_DEV_TCP_LINK_S &l);
// TcpError with a library or agent error code, and TcpNotify, with the slot's handle.
void notifyError(XR_DEV_TCP_LINK_S &l, int32_t iError);
void notify(XR_DEV_TCP_LINK_S &l, uint32_t uType, const char *lpszData);

#if XR_DEV_TCP_LOG
void xrDevTcpLog(int32_t iLevel, const char *lpszFormat, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
// Logs "xrDevTcp<op>: Login status - <word of the slot's usStatus>, uInd=<index>"; the
// operation is named without its common prefix, which each name would otherwise repeat.
void xrDevTcpLogStatus(const char *lpszOp, const XR_DEV_TCP_LINK_S &l);
#else
// Compiled out: macros rather than empty functions, so that no text reaches the image
// even without optimisation. The arguments are not evaluated; none has side effects.
#define xrDevTcpLog(...) ((void)0)
#define xrDevTcpLogStatus(lpszOp, l) ((void)0)
#endif

// The steps of a tick and of a frame. xrDevTcpFlush answers 0 when the socket took what
// it took, XR_DEV_TCP_ERR_SOCKET when the write failed.
int32_t xrDevTcpFlush(XR_DEV_TCP_LINK_S &l);
bool xrDevTcpSendLogin(XR_DEV_TCP_LINK_S &l);
// A frame of the library's own without data (keepalive, logout): queued only while logged in.
void sendEmptyFrame(XR_DEV_TCP_LINK_S &l, uint32_t uType);
void xrDevTcpSecondProc(XR_DEV_TCP_LINK_S &l);
void xrDevTcpLoginProc(XR_DEV_TCP_LINK_S &l);
void handleFrontFrame(XR_DEV_TCP_LINK_S &l);
// Ends a connection that failed (a read or a write): the whole frames held are handled
// first, then the link starts again, Offline, after the back-off.
void onConnectionLost(XR_DEV_TCP_LINK_S &l);

// The receive step: read what the connection has, then handle at most one frame; held is
// the slot's mark taken at the start of its step. Inline, because it runs for every slot on
// every tick and usually finds nothing.
//
// The buffer always has room at the start of a step: a step whose read fills it holds a
// whole frame at the front (none is longer than the buffer), and handles it.
inline void xrDevTcpSocketProc(XR_DEV_TCP_LINK_S &l, const Held &held) {
    if (l.iSocket < 0) return;
    int32_t iRead =
        socketRecv(l.iSocket, l.ucRecvBuf + l.uRecvSize, XR_DEV_TCP_BUF_SIZE - l.uRecvSize);
    // Nothing new and no whole header held: nothing to do, as on most ticks.
    if (iRead == 0 && l.uRecvSize < XR_DEV_TCP_HEAD_SIZE) return;
    if (!held()) return;
    if (iRead < 0) return onConnectionLost(l);
    // A claim beyond the room offered cannot have been stored.
    uint32_t uFree = XR_DEV_TCP_BUF_SIZE - l.uRecvSize;
    l.uRecvSize += uint32_t(iRead) < uFree ? uint32_t(iRead) : uFree;
    handleFrontFrame(l);
}

// Every change of a slot's status, in transitions.cpp.
void xrDevTcpAllocate(XR_DEV_TCP_LINK_S &l, const char *lpszSvrAddr, const char *lpszUser,
                      const char *lpszPass);
void xrDevTcpRelease(XR_DEV_TCP_LINK_S &l);
void xrDevTcpConnected(XR_DEV_TCP_LINK_S &l);
void xrDevTcpLoginQueued(XR_DEV_TCP_LINK_S &l);
// A failed attempt (login timeout, refused login, lost connection, a redirect that counts
// as one) raises the back-off.
enum class Attempt { kKept, kFailed };
void xrDevTcpReset(XR_DEV_TCP_LINK_S &l, const char *lpszAddr, bool bTimeout, Attempt eAttempt);
void xrDevTcpResetOffline(XR_DEV_TCP_LINK_S &l, Attempt eAttempt);
void xrDevTcpRedirect(XR_DEV_TCP_LINK_S &l, const char *lpszAddr);
void xrDevTcpSocketProcLogin(XR_DEV_TCP_LINK_S &l, const char *lpszAddr, const char *lpszTime);

}  // namespace devtcp

#endif
