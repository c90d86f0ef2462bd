// SPDX-License-Identifier: MIT
// Link table, handles, registration of the application's tables, login, logout and
// logging.
#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "link_state.h"
#include "wire.h"

XR_DEV_TCP_STATE_S g_stDevTcp;

namespace devtcp {

namespace {

// Out of line: inlined into its two callers it costs a device more than the call does.
DEVTCP_NOINLINE void clearSlot(XR_DEV_TCP_LINK_S &l) {
    memset(&l, 0, sizeof l);
    l.iSocket = -1;
}

}  // namespace

void makeReady() {
    for (XR_DEV_TCP_LINK_S &l : g_stDevTcp.stLink) clearSlot(l);
    g_stDevTcp.bReady = true;
}

void copyText(char *lpszDst, const char *lpszSrc, uint32_t uDstSize) {
    uint32_t n = wire::textLength(lpszSrc, uDstSize - 1);
    memmove(lpszDst, lpszSrc, n);
    lpszDst[n] = '\0';
}

bool sameText(const char *a, const char *b) {
    return strcmp(a, b) == 0;
}

bool socketClose(uint32_t uInd) {
    XR_DEV_TCP_LINK_S &l = link(uInd);
    uint16_t usSeq = l.usSeq;
    // The slot forgets the socket before the application hears of it.
    int32_t iSocket = l.iSocket;
    l.iSocket = -1;
    auto fn = g_stDevTcp.stSocket.SocketClose;
    if (iSocket >= 0 && fn) fn(iSocket);
    return l.usSeq == usSeq;
}

bool notifyEvent(uint32_t uInd, uint32_t uValue, const char *lpszData) {
    XR_DEV_TCP_LINK_S &l = link(uInd);
    uint16_t usSeq = l.usSeq;
    int32_t iAgentID = int32_t(uInd << 16 | usSeq);
    const XR_DEV_TCP_CALLBACK_S &cb = g_stDevTcp.stCallback;
    if (!lpszData) {
        if (cb.TcpError) cb.TcpError(iAgentID, int32_t(uValue));
    } else if (cb.TcpNotify) {
        cb.TcpNotify(iAgentID, uValue, lpszData);
    }
    return l.usSeq == usSeq;
}

}  // namespace devtcp

using namespace devtcp;

#if XR_DEV_TCP_LOG
namespace {
constexpr uint32_t kLogLineSize = 1024;
}  // namespace

void xrDevTcpLog(int32_t iLevel, const char *lpszFormat, ...) {
    XR_DEV_TCP_LOG_FUNC lpLog = g_stDevTcp.lpLog;
    if (!lpLog) return;
    char szLine[kLogLineSize];
    va_list ap;
    va_start(ap, lpszFormat);
    // A longer line is cut to the buffer; vsnprintf always terminates it.
    vsnprintf(szLine, sizeof szLine, lpszFormat, ap);
    va_end(ap);
    lpLog(iLevel, szLine);
}

bool xrDevTcpLogStatus(const char *lpszOp, uint32_t uInd) {
    // Indexed by usStatus.
    static const char kWords[][10] = {"Idle", "Alloc", "Connected", "Logining", "Logined"};
    const XR_DEV_TCP_LINK_S &l = link(uInd);
    uint16_t usSeq = l.usSeq;
    xrDevTcpLog(0, "xrDevTcp%s: Login status - %s, uInd=%u", lpszOp, kWords[l.usStatus],
                unsigned(uInd));
    return l.usSeq == usSeq;
}
#endif

void xrDevTcpSetCallback(const XR_DEV_TCP_SOCKET_CALLBACK_S *lpSocket,
                         const XR_DEV_TCP_CALLBACK_S *lpCallback, XR_DEV_TCP_LOG_FUNC lpLog) {
    // A missing table empties every entry of the library's copy.
    XR_DEV_TCP_STATE_S &g = g_stDevTcp;
    static_assert(offsetof(XR_DEV_TCP_STATE_S, stCallback) ==
                      offsetof(XR_DEV_TCP_STATE_S, stSocket) + sizeof g.stSocket,
                  "the two tables lie side by side");
    memset(&g.stSocket, 0, sizeof g.stSocket + sizeof g.stCallback);
    if (lpSocket) g.stSocket = *lpSocket;
    if (lpCallback) g.stCallback = *lpCallback;
    g.lpLog = lpLog;
}

namespace {

bool fitsField(const char *lpsz, uint32_t uFieldSize) {
    return lpsz && wire::textLength(lpsz, uFieldSize) < uFieldSize;
}

}  // namespace

int32_t xrDevTcpLogin(const char *lpszSvrAddr, const char *lpszUser, const char *lpszPass) {
    ensureReady();
    if (!fitsField(lpszSvrAddr, XR_DEV_TCP_ADDR_SIZE) ||
        !fitsField(lpszUser, XR_DEV_TCP_USER_SIZE) || !fitsField(lpszPass, XR_DEV_TCP_PASS_SIZE))
        return XR_DEV_TCP_ERR_ARG;

    uint32_t uInd = XR_DEV_TCP_LINK_NUM;
    for (uint32_t u = XR_DEV_TCP_LINK_NUM; u-- > 0;) {
        const XR_DEV_TCP_LINK_S &l = link(u);
        if (l.usStatus == XR_DEV_TCP_STATUS_IDLE)
            uInd = u;  // the lowest free slot is taken
        else if (sameText(l.szUser, lpszUser))
            return makeHandle(u);  // one link per user name: a second login finds the first
    }
    if (uInd == XR_DEV_TCP_LINK_NUM) return XR_DEV_TCP_ERR_NO_SLOT;

    // A free slot already holds no session, no socket, empty buffers and no back-off.
    XR_DEV_TCP_LINK_S &l = link(uInd);
    copyText(l.szSvrAddr, lpszSvrAddr, sizeof l.szSvrAddr);
    copyText(l.szConnAddr, lpszSvrAddr, sizeof l.szConnAddr);
    copyText(l.szUser, lpszUser, sizeof l.szUser);
    copyText(l.szPass, lpszPass, sizeof l.szPass);
    l.uStamp = g_stDevTcp.uTickNow;
    l.usSeq = uint16_t(++g_stDevTcp.uSeqCount);
    l.usStatus = XR_DEV_TCP_STATUS_ALLOC;
    xrDevTcpLogStatus("Login", uInd);
    return makeHandle(uInd);
}

void xrDevTcpLogout(int32_t iAgentID) {
    ensureReady();
    int32_t iInd = slotOfHandle(iAgentID);
    if (iInd < 0) return;
    uint32_t uInd = uint32_t(iInd);
    XR_DEV_TCP_LINK_S &l = link(uInd);
    if (l.usStatus == XR_DEV_TCP_STATUS_LOGINED) sendEmptyFrame(uInd, XR_DEV_TCP_MSG_LOGOUT);
    socketClose(uInd);

    // Clearing the whole record also wipes the password and any queued bytes.
    clearSlot(l);
    ++g_stDevTcp.uSeqCount;
    l.usSeq = uint16_t(g_stDevTcp.uSeqCount);
    xrDevTcpLogStatus("Logout", uInd);
}
