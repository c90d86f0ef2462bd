// Every move of a slot between connections and agents: reset, reset with an Offline
// notification, redirect, and the completion of a login.
#include "link_state.h"

using namespace devtcp;

namespace {

// The address of the next attempt. An explicit address wins. Otherwise the last good
// address is retried, except when an attempt on it has just timed out: then the link
// goes home and forgets it.
void chooseNextAddress(XR_DEV_TCP_LINK_S &l, const char *lpszAddr, bool bTimeout) {
    const char *lpszNext = l.szLastAddr;
    bool bForgetLast = false;
    if (lpszAddr && lpszAddr[0] != '\0') {
        lpszNext = lpszAddr;
    } else if (l.szLastAddr[0] == '\0') {
        lpszNext = l.szSvrAddr;
    } else if (bTimeout && sameText(l.szConnAddr, l.szLastAddr)) {
        lpszNext = l.szSvrAddr;
        bForgetLast = true;
    }
    copyText(l.szConnAddr, lpszNext, sizeof l.szConnAddr);
    if (bForgetLast) l.szLastAddr[0] = '\0';
}

}  // namespace

void xrDevTcpReset(uint32_t uInd, const char *lpszAddr, bool bTimeout) {
    XR_DEV_TCP_LINK_S &l = link(uInd);
    chooseNextAddress(l, lpszAddr, bTimeout);
    socketClose(l);
    l.uStamp = g_stDevTcp.uTickNow;
    l.uSessID = 0;
    l.usStatus = XR_DEV_TCP_STATUS_ALLOC;
    // Bytes of the old connection must not reach the next one: a cut-off frame left in
    // either buffer would shift every later frame, and old-session frames would go out
    // ahead of the new login request.
    l.uRecvSize = 0;
    l.uRecvSkip = 0;
    l.uSendSize = 0;
    xrDevTcpLogStatus("Reset", uInd);
}

void xrDevTcpResetOffline(uint32_t uInd) {
    xrDevTcpReset(uInd, nullptr, false);
    notify(makeHandle(uInd), XR_DEV_TCP_NOTIFY_OFFLINE, "");
}

void xrDevTcpRedirect(uint32_t uInd, const char *lpszAddr) {
    XR_DEV_TCP_LINK_S &l = link(uInd);
    if (lpszAddr[0] == '\0' || sameText(lpszAddr, l.szLastAddr)) return;
    uint16_t usSeq = l.usSeq;
    notify(makeHandle(uInd), XR_DEV_TCP_NOTIFY_REDIRECT, lpszAddr);
    if (!stillAllocated(uInd, usSeq)) return;
    if (l.usStatus == XR_DEV_TCP_STATUS_LOGINED) sendEmptyFrame(uInd, XR_DEV_TCP_MSG_LOGOUT);
    xrDevTcpReset(uInd, lpszAddr, false);
}

void xrDevTcpSocketProcLogin(uint32_t uInd, const char *lpszAddr, const char *lpszTime) {
    XR_DEV_TCP_LINK_S &l = link(uInd);
    if (lpszAddr[0] != '\0' && l.szConnAddr[0] != '\0' && !sameText(lpszAddr, l.szConnAddr)) {
        xrDevTcpRedirect(uInd, lpszAddr);
        return;
    }
    l.usDelayCount = 0;
    l.usDelayLevel = 0;
    l.usStatus = XR_DEV_TCP_STATUS_LOGINED;
    xrDevTcpLogStatus("SocketProcLogin", uInd);
    int32_t iAgentID = makeHandle(uInd);
    uint16_t usSeq = l.usSeq;
    // Online is told once per connection: only the first completed login on it moves
    // the connect address into the last good one.
    if (l.szConnAddr[0] != '\0') {
        copyText(l.szLastAddr, l.szConnAddr, sizeof l.szLastAddr);
        l.szConnAddr[0] = '\0';
        notify(iAgentID, XR_DEV_TCP_NOTIFY_ONLINE, "");
        if (!stillAllocated(uInd, usSeq)) return;
    }
    notify(iAgentID, XR_DEV_TCP_NOTIFY_TIME, lpszTime);
}
