// SPDX-License-Identifier: MIT
// The driver: xrDevTcpProc and its per-slot steps, the once-a-second pass (back-off,
// login timeout, keepalive, silence) and the progress of a login; and xrDevTcpWaitMs, how
// long the application may leave the driver alone.
#include "link_state.h"
#include "wire.h"

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

namespace devtcp {

namespace {

// The tick cadence at which a slot that waits for its connection, or retries a failed open,
// check or login request, is driven: the cadence its retries and reports were made for.
constexpr uint32_t kRetryMs = 50;

// Time from now until the elapsed time since uThen reaches uMs, 0 when it has. It counts
// in the timers' own terms: across a wrap it is one less than the ticks that pass.
uint32_t leftMs(uint32_t uNow, uint32_t uThen, uint32_t uMs) {
    uint32_t uSince = elapsedMs(uNow, uThen);
    return uSince >= uMs ? 0 : uMs - uSince;
}

// A frame that the next receive step acts on without reading: a whole one, or the header
// of one too long for the buffer, whose bytes it starts throwing away.
bool frameHeld(const XR_DEV_TCP_LINK_S &l) {
    if (l.uRecvSize < wire::kHeadSize) return false;
    uint32_t uPayload = wire::readLe16(l.ucRecvBuf + wire::kOffLength);
    return uPayload > wire::kMaxPayload || l.uRecvSize >= wire::kHeadSize + uPayload;
}

// The ticks from uNow until the timers have counted uMs: one more across the wrap of the
// tick, where they lose a millisecond.
uint32_t ticksFor(uint32_t uNow, uint32_t uMs) {
    return uMs > 0xFFFFFFFFu - uNow ? uMs + 1 : uMs;
}

}  // namespace

}  // namespace devtcp

// Per slot in use, the time until the driver has something to do for it; the least of them.
uint32_t xrDevTcpWaitMs(uint32_t uTick) {
    uint32_t uWait = XR_DEV_TCP_NO_DEADLINE;
    uint32_t uPass = leftMs(uTick, g_stDevTcp.uTickSecond, kSecondMs);
    for (const XR_DEV_TCP_LINK_S &l : g_stDevTcp.stLink) {
        if (l.usStatus == XR_DEV_TCP_STATUS_IDLE) continue;
        // A back-off wait counts passes; a login request sent waits for its reply or for
        // the timeout, which only a pass notices.
        uint32_t uSlot = ticksFor(uTick, uPass);
        if (l.usWriteFailed || frameHeld(l)) {
            uSlot = 0;
        } else if (l.usStatus == XR_DEV_TCP_STATUS_LOGINED) {
            // A pass runs at any call a second or more after the previous one: the
            // keepalive goes in the first call at or after 60 s of silence that is also
            // one, and from then on every pass counts (the 90 s drop comes in one of them).
            uint32_t uDue = leftMs(uTick, l.uStamp, kKeepaliveAfterMs);
            uSlot = ticksFor(uTick, uDue > uPass ? uDue : uPass);
        } else if (!inBackoffWait(l) && l.usStatus != XR_DEV_TCP_STATUS_LOGINING) {
            // To open its connection, waiting for it, or retrying.
            uSlot = leftMs(uTick, g_stDevTcp.uTickNow, kRetryMs);
        }
        if (uSlot < uWait) uWait = uSlot;
    }
    return uWait;
}
