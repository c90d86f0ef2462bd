// SPDX-License-Identifier: MIT
// Every change of a slot's status, and so the link's state machine:
//
//   Idle      -> Alloc      xrDevTcpAllocate: a login takes the slot
//   any       -> Idle       xrDevTcpRelease: a logout frees it
//   Alloc     -> Connected  xrDevTcpConnected: the connection is up
//   Connected -> Logining   xrDevTcpLoginQueued: the login request is queued
//   Logining  -> Logined    xrDevTcpSocketProcLogin: the agent accepts the login
//   any       -> Alloc      xrDevTcpReset: login timeout, refused login, lost connection or
//                           silence (xrDevTcpResetOffline), and redirects (xrDevTcpRedirect,
//                           also from a login reply that names another agent)
//
// Nothing else writes usStatus: each status is entered through enter(), which logs it.
#include <string.h>

#include "link_state.h"

namespace devtcp {

namespace {

// Every status is entered here, and logged.
void enter(XR_DEV_TCP_LINK_S &l, uint16_t usStatus, [[maybe_unused]] const char *lpszOp) {
    l.usStatus = usStatus;
    xrDevTcpLogStatus(lpszOp, l);
}

// The address of the next attempt. An explicit address wins. Otherwise the last good
// address is retried, except when an attempt on it has just timed out: then the link
// goes home and forgets it.
void chooseNextAddress(XR_DEV_TCP_LINK_S &l, const char *lpszAddr, bool bTimeout) {
    const char *lpszNext = l.szLastAddr;
    bool bForgetLast = false;
    if (lpszAddr) {
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

// A free slot already holds no session, no socket, empty buffers and no back-off.
void xrDevTcpAllocate(XR_DEV_TCP_LINK_S &l, const char *lpszSvrAddr, const char *lpszUser,
                      const char *lpszPass) {
    copyText(l.szSvrAddr, lpszSvrAddr, sizeof l.szSvrAddr);
    copyText(l.szConnAddr, lpszSvrAddr, sizeof l.szConnAddr);
    copyText(l.szUser, lpszUser, sizeof l.szUser);
    copyText(l.szPass, lpszPass, sizeof l.szPass);
    l.uStamp = g_stDevTcp.uTickNow;
    l.usSeq = uint16_t(++g_stDevTcp.uSeqCount);
    enter(l, XR_DEV_TCP_STATUS_ALLOC, "Login");
}

// Clearing the whole record also wipes the password and any queued bytes; the new usSeq
// kills the handle.
void xrDevTcpRelease(XR_DEV_TCP_LINK_S &l) {
    memset(&l, 0, sizeof l);
    l.iSocket = kNoSocket;
    l.usSeq = uint16_t(++g_stDevTcp.uSeqCount);
    enter(l, XR_DEV_TCP_STATUS_IDLE, "Logout");
}

void xrDevTcpConnected(XR_DEV_TCP_LINK_S &l) {
    enter(l, XR_DEV_TCP_STATUS_CONNECTED, "LoginProc");
}

void xrDevTcpLoginQueued(XR_DEV_TCP_LINK_S &l) {
    enter(l, XR_DEV_TCP_STATUS_LOGINING, "LoginProc");
}

void xrDevTcpReset(XR_DEV_TCP_LINK_S &l, const char *lpszAddr, bool bTimeout, Attempt eAttempt) {
    chooseNextAddress(l, lpszAddr, bTimeout);
    Held held(l);
    socketClose(l);
    if (!held()) return;
    l.uStamp = g_stDevTcp.uTickNow;
    l.uSessID = 0;
    // Bytes of the old connection must not reach the next one: a cut-off frame left in
    // either buffer would shift every later frame, and old-session frames would go out
    // ahead of the new login request.
    l.uRecvSize = 0;
    l.uRecvSkip = 0;
    l.uSendSize = 0;
    l.usWriteFailed = 0;
    // The next attempt waits 15 s longer, up to 300 s.
    if (eAttempt == Attempt::kFailed) {
        if (l.usDelayLevel < kMaxDelayLevel) ++l.usDelayLevel;
        l.usDelayCount = 0;
    }
    enter(l, XR_DEV_TCP_STATUS_ALLOC, "Reset");
}

void xrDevTcpResetOffline(XR_DEV_TCP_LINK_S &l, Attempt eAttempt) {
    Held held(l);
    xrDevTcpReset(l, nullptr, false, eAttempt);
    if (held()) notify(l, XR_DEV_TCP_NOTIFY_OFFLINE, "");
}

void xrDevTcpRedirect(XR_DEV_TCP_LINK_S &l, const char *lpszAddr) {
    if (lpszAddr[0] == '\0' || sameText(lpszAddr, l.szLastAddr)) return;
    // Redirects less than a minute apart form a run; a run longer than two is an agent,
    // or a pair of them, sending the link round in a loop, and from then on each redirect
    // counts as a failed attempt, so that the link backs off instead of reconnecting at
    // the rate of the ticks.
    uint32_t uNow = g_stDevTcp.uTickNow;
    uint16_t usRun = uNow - l.uRedirStamp < kRedirectRunMs ? l.usRedirects + 1 : 1;
    l.usRedirects = usRun;
    l.uRedirStamp = uNow;
    Held held(l);
    notify(l, XR_DEV_TCP_NOTIFY_REDIRECT, lpszAddr);
    // Sent only when logged in, so not on a slot freed or taken again inside the notify.
    sendEmptyFrame(l, XR_DEV_TCP_MSG_LOGOUT);
    if (held())
        xrDevTcpReset(l, lpszAddr, false,
                      usRun > kRedirectsFree ? Attempt::kFailed : Attempt::kKept);
}

void xrDevTcpSocketProcLogin(XR_DEV_TCP_LINK_S &l, const char *lpszAddr, const char *lpszTime) {
    if (lpszAddr[0] != '\0' && l.szConnAddr[0] != '\0' && !sameText(lpszAddr, l.szConnAddr)) {
        xrDevTcpRedirect(l, lpszAddr);
        return;
    }
    l.usDelayCount = 0;
    l.usDelayLevel = 0;
    Held held(l);
    enter(l, XR_DEV_TCP_STATUS_LOGINED, "SocketProcLogin");
    // Online is told once per connection: only the first completed login on it moves
    // the connect address into the last good one.
    if (held() && l.szConnAddr[0] != '\0') {
        copyText(l.szLastAddr, l.szConnAddr, sizeof l.szLastAddr);
        l.szConnAddr[0] = '\0';
        notify(l, XR_DEV_TCP_NOTIFY_ONLINE, "");
    }
    if (held()) notify(l, XR_DEV_TCP_NOTIFY_TIME, lpszTime);
}

}  // namespace devtcp
