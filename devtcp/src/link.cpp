// SPDX-License-Identifier: MIT
// The link table, handles, registration of the application's tables, login, logout, and
// the calls into the application's event table and log function.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "link_state.h"
#include "wire.h"

namespace devtcp {

XR_DEV_TCP_STATE_S g_stDevTcp;

void makeReady() {
    for (XR_DEV_TCP_LINK_S &l : g_stDevTcp.stLink) l.iSocket = kNoSocket;
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

void socketClose(XR_DEV_TCP_LINK_S &l) {
    int32_t iSocket = l.iSocket;
    l.iSocket = kNoSocket;
    auto fn = g_stDevTcp.stSocket.SocketClose;
    if (iSocket >= 0 && fn) fn(iSocket);
}

void notifyError(XR_DEV_TCP_LINK_S &l, int32_t iError) {
    auto fn = g_stDevTcp.stCallback.TcpError;
    if (fn) fn(makeHandle(l), iError);
}

void notify(XR_DEV_TCP_LINK_S &l, uint32_t uType, const char *lpszData) {
    auto fn = g_stDevTcp.stCallback.TcpNotify;
    if (fn) fn(makeHandle(l), uType, lpszData);
}

#if XR_DEV_TCP_LOG
namespace {
constexpr uint32_t kLogLineSize = XR_DEV_TCP_LOG_LINE_SIZE;
static_assert(kLogLineSize >= 2, "XR_DEV_TCP_LOG_LINE_SIZE holds a character and its NUL");
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

void xrDevTcpLogStatus(const char *lpszOp, const XR_DEV_TCP_LINK_S &l) {
    // Indexed by usStatus.
    static const char *const kWords[] = {"Idle", "Alloc", "Connected", "Logining", "Logined"};
    xrDevTcpLog(0, "xrDevTcp%s: Login status - %s, uInd=%u", lpszOp, kWords[l.usStatus],
                unsigned(slotIndex(l)));
}
#endif

}  // namespace devtcp

using namespace devtcp;

void xrDevTcpSetCallback(const XR_DEV_TCP_SOCKET_CALLBACK_S *lpSocket,
                         const XR_DEV_TCP_CALLBACK_S *lpCallback, XR_DEV_TCP_LOG_FUNC lpLog) {
    // A missing table empties every entry of the library's copy.
    g_stDevTcp.stSocket = lpSocket ? *lpSocket : XR_DEV_TCP_SOCKET_CALLBACK_S{};
    g_stDevTcp.stCallback = lpCallback ? *lpCallback : XR_DEV_TCP_CALLBACK_S{};
    g_stDevTcp.lpLog = lpLog;
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

    // One link per user name: a second login finds the first. Otherwise the lowest free
    // slot is taken.
    XR_DEV_TCP_LINK_S *lpFree = nullptr;
    for (XR_DEV_TCP_LINK_S &l : g_stDevTcp.stLink) {
        if (l.usStatus != XR_DEV_TCP_STATUS_IDLE && sameText(l.szUser, lpszUser))
            return makeHandle(l);
        if (l.usStatus == XR_DEV_TCP_STATUS_IDLE && !lpFree) lpFree = &l;
    }
    if (!lpFree) return XR_DEV_TCP_ERR_NO_SLOT;
    xrDevTcpAllocate(*lpFree, lpszSvrAddr, lpszUser, lpszPass);
    return makeHandle(*lpFree);
}

void xrDevTcpLogout(int32_t iAgentID) {
    ensureReady();
    XR_DEV_TCP_LINK_S *lpLink = slotOfHandle(iAgentID);
    if (!lpLink) return;
    XR_DEV_TCP_LINK_S &l = *lpLink;
    // The logout frame (sent only when logged in) is the last thing sent; whatever happens
    // to it, the slot is freed, unless the application already freed it from inside the
    // write or the close (a slot freed, or taken again, inside the write holds no socket).
    Held held(l);
    sendEmptyFrame(l, XR_DEV_TCP_MSG_LOGOUT);
    socketClose(l);
    if (held()) xrDevTcpRelease(l);
}
