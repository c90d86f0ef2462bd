// SPDX-License-Identifier: MIT
// The driver: xrDevTcpProc and its per-slot steps, the once-a-second pass (back-off,
// login timeout, keepalive, silence) and the progress of a login.
#include "link_state.h"

using namespace devtcp;

namespace {

bool inBackoffWait(const XR_DEV_TCP_LINK_S &l) {
    return l.usDelayCount < l.usDelayLevel * kDelayPassesPerLevel;
}

// uSince is the time since the slot's stamp.
void secondProcConnecting(uint32_t uInd, uint32_t uSince) {
    XR_DEV_TCP_LINK_S &l = link(uInd);
    if (inBackoffWait(l)) {
        // A pass that counts never also tests the timeout.
        ++l.usDelayCount;
        if (!inBackoffWait(l)) {
            l.uStamp = g_stDevTcp.uTickNow;
            xrDevTcpLog(0, "xrDevTcpSecondProc: delay count finish, usDelayCount=%u",
                        unsigned(l.usDelayCount));
        }
        return;
    }
    if (uSince < kLoginTimeoutMs) return;
    if (xrDevTcpReset(uInd, nullptr, true, true)) notifyError(uInd, XR_DEV_TCP_ERR_LOGIN_TIMEOUT);
}

void secondProcLogined(uint32_t uInd, uint32_t uSince) {
    if (uSince < kKeepaliveAfterMs) return;
    // A keepalive that does not fit is simply not sent; the silence rule still holds.
    // The status test also finds a link that the write ended.
    sendEmptyFrame(uInd, XR_DEV_TCP_MSG_KEEPALIVE);
    if (uSince >= kIdleDropMs && link(uInd).usStatus == XR_DEV_TCP_STATUS_LOGINED)
        xrDevTcpResetOffline(uInd);
}

}  // namespace

void xrDevTcpSecondProc(uint32_t uInd) {
    const XR_DEV_TCP_LINK_S &l = link(uInd);
    uint32_t uSince = elapsedMs(g_stDevTcp.uTickNow, l.uStamp);
    switch (l.usStatus) {
        case XR_DEV_TCP_STATUS_ALLOC:
        case XR_DEV_TCP_STATUS_CONNECTED:
        case XR_DEV_TCP_STATUS_LOGINING:
            secondProcConnecting(uInd, uSince);
            break;
        case XR_DEV_TCP_STATUS_LOGINED:
            secondProcLogined(uInd, uSince);
            break;
        default:
            break;
    }
}

void xrDevTcpLoginProc(uint32_t uInd) {
    XR_DEV_TCP_LINK_S &l = link(uInd);
    if (l.usStatus == XR_DEV_TCP_STATUS_LOGINED || l.usStatus == XR_DEV_TCP_STATUS_IDLE) return;
    if (inBackoffWait(l)) return;
    if (l.usStatus == XR_DEV_TCP_STATUS_ALLOC) {
        // A failed open or check is reported and tried again on the next tick; a failed
        // check keeps the socket: only the login timeout ends the attempt.
        uint16_t usSeq = l.usSeq;
        if (l.iSocket < 0) {
            int32_t iSocket = socketOpen(l.szConnAddr);
            if (iSocket >= 0) l.iSocket = iSocket;
            // A link ended from inside the open: the new socket is closed at once, which
            // leaves the slot as the logout left it.
            if (l.usSeq != usSeq) {
                socketClose(uInd);
                return;
            }
        }
        int32_t iCheck = -1;
        if (l.iSocket >= 0) {
            iCheck = socketCheck(l.iSocket);
            if (l.usSeq != usSeq) return;
        }
        if (iCheck < 0) {
            notifyError(uInd, XR_DEV_TCP_ERR_SOCKET);
            return;
        }
        if (iCheck == 0) return;
        l.usStatus = XR_DEV_TCP_STATUS_CONNECTED;
        xrDevTcpLogStatus("LoginProc", uInd);
    }
    // The first status test also finds a link that the log function ended, the second one
    // a link that the login request's write ended.
    if (l.usStatus == XR_DEV_TCP_STATUS_CONNECTED && xrDevTcpSendLogin(uInd) &&
        l.usStatus == XR_DEV_TCP_STATUS_CONNECTED) {
        l.usStatus = XR_DEV_TCP_STATUS_LOGINING;
        xrDevTcpLogStatus("LoginProc", uInd);
    }
}

namespace {

// The first call ever (ucProc still kProcNever): logins made before it were stamped with
// tick 0, so their timeouts restart now. A free slot's stamp is never read (a login sets
// it), so every slot is stamped.
DEVTCP_NOINLINE void startTicks(uint32_t uTick) {
    for (XR_DEV_TCP_LINK_S &l : g_stDevTcp.stLink) l.uStamp = uTick;
    g_stDevTcp.uTickSecond = uTick;
}

DEVTCP_NOINLINE void secondPass(uint32_t uTick) {
    // A free slot's pass does nothing.
    for (uint32_t uInd = 0; uInd < XR_DEV_TCP_LINK_NUM; ++uInd) xrDevTcpSecondProc(uInd);
    g_stDevTcp.uTickSecond = uTick;
}

}  // namespace

void xrDevTcpProc(uint32_t uTick) {
    // A call from inside one of the application's functions would run a slot's steps in
    // the middle of the same steps: it returns at once.
    uint8_t ucProc = g_stDevTcp.ucProc;
    if (ucProc != kProcIdle) {
        if (ucProc == kProcRunning) return;
        startTicks(uTick);
    }
    g_stDevTcp.ucProc = kProcRunning;
    g_stDevTcp.uTickNow = uTick;
    // One pass however late the call is: passes never catch up.
    if (elapsedMs(uTick, g_stDevTcp.uTickSecond) >= kSecondMs) secondPass(uTick);
    for (uint32_t uInd = 0; uInd < XR_DEV_TCP_LINK_NUM; ++uInd) {
        XR_DEV_TCP_LINK_S &l = g_stDevTcp.stLink[uInd];
        // The status is tested once: the steps below run even when the login step
        // changes it. A logged-in slot has no login step to take.
        uint16_t usStatus = l.usStatus;
        if (usStatus != XR_DEV_TCP_STATUS_LOGINED) {
            if (usStatus == XR_DEV_TCP_STATUS_IDLE) continue;
            xrDevTcpLoginProc(uInd);
        }
        xrDevTcpSocketProc(uInd);
        if (l.uSendSize != 0 && l.iSocket >= 0 && xrDevTcpFlush(uInd) == XR_DEV_TCP_ERR_SOCKET)
            notifyError(uInd, XR_DEV_TCP_ERR_SOCKET);
    }
    g_stDevTcp.ucProc = kProcIdle;
}
