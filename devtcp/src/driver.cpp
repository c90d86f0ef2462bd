// SPDX-License-Identifier: MIT
// The driver: xrDevTcpProc and its per-slot steps, the once-a-second pass (back-off,
// login timeout, keepalive, silence) and the progress of a login.
#include "link_state.h"

namespace devtcp {

namespace {

bool inBackoffWait(const XR_DEV_TCP_LINK_S &l) {
    return l.usDelayCount < l.usDelayLevel * kDelayPassesPerLevel;
}

// uSince is the time since the slot's stamp.
void secondProcConnecting(XR_DEV_TCP_LINK_S &l, uint32_t uSince) {
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
    Held held(l);
    xrDevTcpReset(l, nullptr, true, Attempt::kFailed);
    if (held()) notifyError(l, XR_DEV_TCP_ERR_LOGIN_TIMEOUT);
}

void secondProcLogined(XR_DEV_TCP_LINK_S &l, uint32_t uSince) {
    if (uSince < kKeepaliveAfterMs) return;
    // A keepalive that does not fit is simply not sent; the silence rule still holds.
    Held held(l);
    sendEmptyFrame(l, XR_DEV_TCP_MSG_KEEPALIVE);
    if (held() && uSince >= kIdleDropMs) xrDevTcpResetOffline(l, Attempt::kKept);
}

}  // namespace

void xrDevTcpSecondProc(XR_DEV_TCP_LINK_S &l) {
    uint32_t uSince = elapsedMs(g_stDevTcp.uTickNow, l.uStamp);
    switch (l.usStatus) {
        case XR_DEV_TCP_STATUS_ALLOC:
        case XR_DEV_TCP_STATUS_CONNECTED:
        case XR_DEV_TCP_STATUS_LOGINING:
            secondProcConnecting(l, uSince);
            break;
        case XR_DEV_TCP_STATUS_LOGINED:
            secondProcLogined(l, uSince);
            break;
        default:
            break;
    }
}

// Called for a slot in use that is not logged in.
void xrDevTcpLoginProc(XR_DEV_TCP_LINK_S &l) {
    if (inBackoffWait(l)) return;
    Held held(l);
    if (l.usStatus == XR_DEV_TCP_STATUS_ALLOC) {
        // A failed open or check is reported and tried again on the next tick; a failed
        // check keeps the socket: only the login timeout ends the attempt.
        if (l.iSocket < 0) {
            int32_t iSocket = socketOpen(l.szConnAddr);
            if (iSocket >= 0) l.iSocket = iSocket;
            // A link freed from inside the open: the new socket is closed at once, which
            // leaves the slot as the logout left it.
            if (!held()) return socketClose(l);
        }
        if (l.iSocket < 0) return notifyError(l, XR_DEV_TCP_ERR_SOCKET);
        int32_t iCheck = socketCheck(l.iSocket);
        if (!held()) return;
        if (iCheck < 0) return notifyError(l, XR_DEV_TCP_ERR_SOCKET);
        if (iCheck == 0) return;
        xrDevTcpConnected(l);
    }
    // A login request that does not fit the queue waits for a later tick. (A slot freed,
    // or taken again, inside the log line of the connect is no longer Connected.)
    if (l.usStatus == XR_DEV_TCP_STATUS_CONNECTED && xrDevTcpSendLogin(l) && held())
        xrDevTcpLoginQueued(l);
}

}  // namespace devtcp

using namespace devtcp;

namespace {

// The first call ever (ucProc still kProcNever): logins made before it were stamped with
// tick 0, so their timeouts restart now. A free slot's stamp is never read (a login sets
// it), so every slot is stamped.
void startTicks(uint32_t uTick) {
    for (XR_DEV_TCP_LINK_S &l : g_stDevTcp.stLink) l.uStamp = uTick;
    g_stDevTcp.uTickSecond = uTick;
}

}  // namespace

void xrDevTcpProc(uint32_t uTick) {
    // A call from inside one of the application's functions would run a slot's steps in
    // the middle of the same steps: it returns at once.
    uint8_t ucProc = g_stDevTcp.ucProc;
    if (ucProc == kProcRunning) return;
    if (ucProc == kProcNever) startTicks(uTick);
    g_stDevTcp.ucProc = kProcRunning;
    g_stDevTcp.uTickNow = uTick;
    // One pass however late the call is: passes never catch up.
    if (elapsedMs(uTick, g_stDevTcp.uTickSecond) >= kSecondMs) {
        for (XR_DEV_TCP_LINK_S &l : g_stDevTcp.stLink) xrDevTcpSecondProc(l);
        g_stDevTcp.uTickSecond = uTick;
    }
    for (XR_DEV_TCP_LINK_S &l : g_stDevTcp.stLink) {
        // The status is tested once: the steps below run even when the login step
        // changes it, and find nothing to do on a slot it freed (no socket, and the mark
        // changed). A logged-in slot has no login step to take.
        uint16_t usStatus = l.usStatus;
        Held held(l);
        if (usStatus != XR_DEV_TCP_STATUS_LOGINED) {
            if (usStatus == XR_DEV_TCP_STATUS_IDLE) continue;
            xrDevTcpLoginProc(l);
        }
        xrDevTcpSocketProc(l, held);
        if (l.uSendSize != 0 && !l.usWriteFailed && held() && l.iSocket >= 0) xrDevTcpFlush(l);
        // A write of this step, or one the application made since the last, failed.
        if (l.usWriteFailed && held()) onConnectionLost(l);
    }
    g_stDevTcp.ucProc = kProcIdle;
}
