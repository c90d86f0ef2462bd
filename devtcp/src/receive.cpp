// SPDX-License-Identifier: MIT
// The receiving half of a link: cut at most one frame off the front of the slot's buffer,
// pass it through the session gate and dispatch it. The read itself is the inline
// xrDevTcpSocketProc.
#include <string.h>

#include "link_state.h"
#include "wire.h"

namespace devtcp {

using namespace wire;

namespace {

// Bytes that an agent's own header said belong to an oversized frame are dropped as they
// arrive; the frames after it are then read normally.
void dropSkippedBytes(XR_DEV_TCP_LINK_S &l) {
    if (l.uRecvSkip == 0) return;
    uint32_t uDrop = l.uRecvSkip < l.uRecvSize ? l.uRecvSkip : l.uRecvSize;
    memmove(l.ucRecvBuf, l.ucRecvBuf + uDrop, l.uRecvSize - uDrop);
    l.uRecvSize -= uDrop;
    l.uRecvSkip -= uDrop;
}

void loginReply(XR_DEV_TCP_LINK_S &l, uint32_t uSessID, char *lpszReply) {
    int32_t iResult = int32_t(readLe32(reinterpret_cast<uint8_t *>(lpszReply)));
    lpszReply[kLoginReplyOffAddr + kTextFieldSize - 1] = '\0';
    lpszReply[kLoginReplyOffTime + kTextFieldSize - 1] = '\0';
    if (iResult == 0) {
        l.uSessID = uSessID;
        xrDevTcpSocketProcLogin(l, lpszReply + kLoginReplyOffAddr, lpszReply + kLoginReplyOffTime);
        return;
    }
    Held held(l);
    notifyError(l, iResult);
    if (held()) xrDevTcpResetOffline(l, Attempt::kFailed);
}

// Acts on the complete frame at lpFrame with header h, which has passed the session gate.
// Each type's fixed layout is checked against the data before a field is read or a
// terminator written: a frame with too little data is not acted on.
void dispatch(XR_DEV_TCP_LINK_S &l, uint8_t *lpFrame, const Header &h) {
    Body b;
    // A peer section that does not fit the payload makes the frame malformed.
    if (!readBody(lpFrame + kHeadSize, h.uPayload, h.uFlags, b)) return;
    uint8_t *lpData = lpFrame + kHeadSize + b.uDataOff;
    char *lpszText = reinterpret_cast<char *>(lpData);
    const char *lpszPeer = nullptr;
    if (b.bPeer) {
        char *lpName = reinterpret_cast<char *>(lpFrame + kOffPeerName);
        // The sender counted the NUL; a name of length 0 has no byte to terminate.
        if (b.uPeerSize) lpName[b.uPeerSize - 1] = '\0';
        lpszPeer = b.uPeerSize ? lpName : "";
    }
    if (h.uType == XR_DEV_TCP_MSG_LOGIN) {
        // A login reply is acted on whatever its session.
        if (b.uDataSize >= kLoginReplySize) loginReply(l, h.uSessID, lpszText);
        return;
    }
    // Before the first accepted login the session is 0, and only frames of session 0 are
    // acted on; once logged in the gate has already dropped other sessions.
    if (h.uSessID != l.uSessID) return;
    const XR_DEV_TCP_CALLBACK_S &cb = g_stDevTcp.stCallback;
    switch (h.uType) {
        case XR_DEV_TCP_MSG_DATA:
            if (cb.TcpReceive) cb.TcpReceive(makeHandle(l), lpData, b.uDataSize, lpszPeer);
            break;
        case XR_DEV_TCP_MSG_STR:
            if (b.uDataSize == 0) break;
            lpszText[b.uDataSize - 1] = '\0';
            if (cb.TcpReceiveStr) cb.TcpReceiveStr(makeHandle(l), lpszText, lpszPeer);
            break;
        case XR_DEV_TCP_MSG_REDIRECT:
        case XR_DEV_TCP_MSG_TIME:
            if (b.uDataSize < kTextFieldSize) break;
            lpszText[kTextFieldSize - 1] = '\0';
            if (h.uType == XR_DEV_TCP_MSG_TIME)
                notify(l, XR_DEV_TCP_NOTIFY_TIME, lpszText);
            else
                xrDevTcpRedirect(l, lpszText);
            break;
        case XR_DEV_TCP_MSG_ERROR:
            if (b.uDataSize >= kErrorSize) notifyError(l, int32_t(readLe32(lpData)));
            break;
        case XR_DEV_TCP_MSG_WAKE:
            notify(l, XR_DEV_TCP_NOTIFY_WAKE, "");
            break;
        default:
            break;
    }
}

}  // namespace

// Handles the frame at the front of the buffer once it is whole.
void handleFrontFrame(XR_DEV_TCP_LINK_S &l) {
    dropSkippedBytes(l);
    if (l.uRecvSize < kHeadSize) return;
    uint8_t *lpFrame = l.ucRecvBuf;
    Header h = readHeader(lpFrame);
    uint32_t uSize = kHeadSize + h.uPayload;
    // A frame longer than the buffer can never be whole: its bytes are thrown away as they
    // come. Any other frame waits until it is whole.
    bool bOversized = h.uPayload > kMaxPayload;
    if (!bOversized && l.uRecvSize < uSize) return;
    // While logged in, a frame of another session is dropped without counting as activity.
    bool bPasses = l.usStatus != XR_DEV_TCP_STATUS_LOGINED || h.uSessID == l.uSessID;
    if (bPasses) l.uStamp = g_stDevTcp.uTickNow;
    if (bOversized) {
        l.uRecvSkip = uSize;
        dropSkippedBytes(l);
        return;
    }
    Held held(l);
    if (bPasses) dispatch(l, lpFrame, h);
    // A reset during the dispatch has emptied the buffer.
    if (!held() || l.uRecvSize < uSize) return;
    uint32_t uRest = l.uRecvSize - uSize;
    if (uRest) memmove(l.ucRecvBuf, l.ucRecvBuf + uSize, uRest);
    l.uRecvSize = uRest;
}

// Whole frames that came before the end (a redirect, or the last messages) are acted on
// first, in order; then the link starts again. A pass that removes nothing has found a
// cut-off frame, or nothing.
void onConnectionLost(XR_DEV_TCP_LINK_S &l) {
    Held held(l);
    uint32_t uHeld;
    do {
        uHeld = l.uRecvSize;
        handleFrontFrame(l);
        // A frame that moved the link (a redirect, a refused login) closed the connection:
        // there is nothing left to reset.
        if (!held() || l.iSocket < 0) return;
    } while (l.uRecvSize != uHeld);
    xrDevTcpResetOffline(l, Attempt::kFailed);
}

}  // namespace devtcp
