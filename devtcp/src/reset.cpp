// SPDX-License-Identifier: MIT
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

bool xrDevTcpReset(uint32_t uInd, const char *lpszAddr, bool bTimeout, bool bFailed) {
    XR_DEV_TCP_LINK_S &l = link(uInd);
    chooseNextAddress(l, lpszAddr, bTimeout);
    if (!socketClose(uInd)) return false;
    l.uStamp = g_stDevTcp.uTickNow;
    l.uSessID = 0;
    l.usStatus = XR_DEV_TCP_STATUS_ALLOC;
    // Bytes of the old connection must not reach the next one: a cut-off frame left in
    // either buffer would shift every later frame, and old-session frames would go out
    // ahead of the new login request.
    l.uRecvSize = 0;
    l.uRecvSkip = 0;
    l.uSendSize = 0;
    // The next attempt waits 15 s longer, up to 300 s.
    if (bFailed) {
        if (l.usDelayLevel < kMaxDelayLevel) ++l.usDelayLevel;
        l.usDelayCount = 0;
    }
    return xrDevTcpLogStatus("Reset", uInd);
}

void xrDevTcpResetOffline(uint32_t uInd, bool bFailed) {
    if (xrDevTcpReset(uInd, nullptr, false, bFailed)) notify(uInd, XR_DEV_TCP_NOTIFY_OFFLINE, "");
}

void xrDevTcpRedirect(uint32_t uInd, const char *lpszAddr) {
    XR_DEV_TCP_LINK_S &l = link(uInd);
    if (lpszAddr[0] == '\0' || sameText(lpszAddr, l.szLastAddr)) return;
    // Redirects less than a minute apart form a run; a run longer than two is an agent,
    // or a pair of them, sending the link round in a loop, and from then on each redirect
    // counts as a failed attempt, so that the link backs off instead of reconnecting at
    // the rate of the ticks.
    uint32_t uNow = g_stDevTcp.uTickNow;
    uint16_t usRun = uNow - l.uRedirStamp < kRedirectRunMs ? l.usRedirects + 1 : 1;
    l.usRedirects = usRun;
    l.uRedirStamp = uNow;
    if (!notify(uInd, XR_DEV_TCP_NOTIFY_REDIRECT, lpszAddr)) return;
    if (l.usStatus == XR_DEV_TCP_STATUS_LOGINED) {
        sendEmptyFrame(uInd, XR_DEV_TCP_MSG_LOGOUT);
        // Only a write that ended the link changes the status: a new allocation is Alloc.
        if (l.usStatus != XR_DEV_TCP_STATUS_LOGINED) return;
    }
    xrDevTcpReset(uInd, lpszAddr, false, usRun > kRedirectsFree);
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
    if (!xrDevTcpLogStatus("SocketProcLogin", uInd)) return;
    // Online is told once per connection: only the first completed login on it moves
    // the connect address into the last good one.
    if (l.szConnAddr[0] != '\0') {
        copyText(l.szLastAddr, l.szConnAddr, sizeof l.szLastAddr);
        l.szConnAddr[0] = '\0';
        if (!notify(uInd, XR_DEV_TCP_NOTIFY_ONLINE, "")) return;
    }
    notify(uInd, XR_DEV_TCP_NOTIFY_TIME, lpszTime);
}
