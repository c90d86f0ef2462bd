// Link table, handles, registration of the application's tables, login, logout and
// logging.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "link_state.h"

XR_DEV_TCP_STATE_S g_stDevTcp;

namespace devtcp {

namespace {

constexpr uint32_t kLogLineSize = 1024;

void clearSlot(XR_DEV_TCP_LINK_S &l) {
    memset(&l, 0, sizeof l);
    l.iSocket = -1;
}

}  // namespace

void makeReady() {
    for (XR_DEV_TCP_LINK_S &l : g_stDevTcp.stLink) clearSlot(l);
    g_stDevTcp.bReady = true;
}

uint32_t boundedLength(const char *lpsz, uint32_t uMax) {
    uint32_t n = 0;
    while (n < uMax && lpsz[n] != '\0') ++n;
    return n;
}

void copyText(char *lpszDst, const char *lpszSrc, uint32_t uDstSize) {
    uint32_t n = boundedLength(lpszSrc, uDstSize - 1);
    memmove(lpszDst, lpszSrc, n);
    lpszDst[n] = '\0';
}

bool sameText(const char *a, const char *b) {
    return strcmp(a, b) == 0;
}

void socketClose(XR_DEV_TCP_LINK_S &l) {
    if (l.iSocket < 0) return;
    int32_t iSocket = l.iSocket;
    l.iSocket = -1;
    auto fn = g_stDevTcp.stSocket.SocketClose;
    if (fn) fn(iSocket);
}

void notifyError(int32_t iAgentID, int32_t iError) {
    auto fn = g_stDevTcp.stCallback.TcpError;
    if (fn) fn(iAgentID, iError);
}

void notify(int32_t iAgentID, uint32_t uType, const char *lpszData) {
    auto fn = g_stDevTcp.stCallback.TcpNotify;
    if (fn) fn(iAgentID, uType, lpszData);
}

}  // namespace devtcp

using namespace devtcp;

#if XR_DEV_TCP_LOG
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

void xrDevTcpLogStatus(const char *lpszOp, uint32_t uInd) {
    // Indexed by usStatus.
    static const char kWords[][10] = {"Idle", "Alloc", "Connected", "Logining", "Logined"};
    xrDevTcpLog(0, "xrDevTcp%s: Login status - %s, uInd=%u", lpszOp, kWords[link(uInd).usStatus],
                unsigned(uInd));
}
#endif

void xrDevTcpSetCallback(const XR_DEV_TCP_SOCKET_CALLBACK_S *lpSocket,
                         const XR_DEV_TCP_CALLBACK_S *lpCallback, XR_DEV_TCP_LOG_FUNC lpLog) {
    // A missing table empties every entry of the library's copy.
    if (lpSocket)
        g_stDevTcp.stSocket = *lpSocket;
    else
        memset(&g_stDevTcp.stSocket, 0, sizeof g_stDevTcp.stSocket);
    if (lpCallback)
        g_stDevTcp.stCallback = *lpCallback;
    else
        memset(&g_stDevTcp.stCallback, 0, sizeof g_stDevTcp.stCallback);
    g_stDevTcp.lpLog = lpLog;
}

namespace {

bool fitsField(const char *lpsz, uint32_t uFieldSize) {
    return lpsz && boundedLength(lpsz, uFieldSize) < uFieldSize;
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
    socketClose(l);

    // Clearing the whole record also wipes the password and any queued bytes.
    clearSlot(l);
    ++g_stDevTcp.uSeqCount;
    l.usSeq = uint16_t(g_stDevTcp.uSeqCount);
    xrDevTcpLogStatus("Logout", uInd);
}
