// SPDX-License-Identifier: MIT
// The receiving half of a link: cut at most one frame off the front of the slot's
// buffer, pass it through the session gate and dispatch it. The read itself is the
// inline xrDevTcpSocketProc.
#include <string.h>

#include "link_state.h"
#include "wire.h"

using namespace devtcp;
using namespace devtcp::wire;

namespace {

// Bytes that an agent's own header said belong to an oversized frame are dropped as they
// arrive; the frames after it are then read normally. Called with a header's worth held.
void dropSkippedBytes(XR_DEV_TCP_LINK_S &l) {
    if (l.uRecvSkip == 0) return;
    uint32_t uDrop = l.uRecvSkip < l.uRecvSize ? l.uRecvSkip : l.uRecvSize;
    memmove(l.ucRecvBuf, l.ucRecvBuf + uDrop, l.uRecvSize - uDrop);
    l.uRecvSize -= uDrop;
    l.uRecvSkip -= uDrop;
}

// Acts on the complete frame of uPayload bytes after its header at lpFrame, which has
// passed the session gate.
void dispatch(uint32_t uInd, uint8_t *lpFrame, uint32_t uPayload) {
    XR_DEV_TCP_LINK_S &l = link(uInd);
    Header h = readHeader(lpFrame);
    uint32_t uSessID = h.uSessID;
    uint32_t uType = h.uType;
    Body b;
    // A peer section that does not fit the payload makes the frame malformed.
    if (!readBody(lpFrame + kHeadSize, uPayload, h.uFlags, b)) return;
    uint8_t *lpData = lpFrame + kHeadSize + b.uDataOff;
    uint32_t uDataSize = b.uDataSize;
    const char *lpszPeer = nullptr;
    if (b.bPeer) {
        char *lpName = reinterpret_cast<char *>(lpFrame + kOffPeerName);
        // The sender counted the NUL; a name of length 0 has no byte to terminate.
        if (b.uPeerSize) lpName[b.uPeerSize - 1] = '\0';
        lpszPeer = b.uPeerSize ? lpName : "";
    }

    // Each type's fixed layout is checked against the data before a field is read or a
    // terminator written: a frame with too little data is not acted on.
    int32_t iAgentID = makeHandle(uInd);
    char *lpszText = reinterpret_cast<char *>(lpData);
    if (uType == XR_DEV_TCP_MSG_LOGIN) {
        // A login reply is acted on whatever its session.
        if (uDataSize < kLoginReplySize) return;
        int32_t iResult = int32_t(readLe32(lpData + kLoginReplyOffResult));
        lpszText[kLoginReplyOffAddr + kTextFieldSize - 1] = '\0';
        lpszText[kLoginReplyOffTime + kTextFieldSize - 1] = '\0';
        if (iResult == 0) {
            l.uSessID = uSessID;
            xrDevTcpSocketProcLogin(uInd, lpszText + kLoginReplyOffAddr,
                                    lpszText + kLoginReplyOffTime);
            return;
        }
        if (notifyError(uInd, iResult)) xrDevTcpResetOffline(uInd, true);
        return;
    }
    // Before the first accepted login the session is 0, and only frames of session 0
    // are acted on; once logged in the gate has already dropped other sessions.
    if (uSessID != l.uSessID) return;
    // Tests rather than a switch: the types are sparse, and a jump table over them costs a
    // device more flash than a few tests do. Data and string frames (6 and 7) come first.
    const XR_DEV_TCP_CALLBACK_S &cb = g_stDevTcp.stCallback;
    if ((uType | 1u) == XR_DEV_TCP_MSG_STR) {
        if (uType == XR_DEV_TCP_MSG_DATA) {
            if (cb.TcpReceive) cb.TcpReceive(iAgentID, lpData, uDataSize, lpszPeer);
        } else if (uDataSize != 0) {
            lpszText[uDataSize - 1] = '\0';
            if (cb.TcpReceiveStr) cb.TcpReceiveStr(iAgentID, lpszText, lpszPeer);
        }
    } else if (uType - XR_DEV_TCP_MSG_REDIRECT <= XR_DEV_TCP_MSG_TIME - XR_DEV_TCP_MSG_REDIRECT) {
        if (uDataSize < kTextFieldSize) return;
        lpszText[kTextFieldSize - 1] = '\0';
        if (uType == XR_DEV_TCP_MSG_TIME)
            notify(uInd, XR_DEV_TCP_NOTIFY_TIME, lpszText);
        else
            xrDevTcpRedirect(uInd, lpszText);
    } else if (uType == XR_DEV_TCP_MSG_ERROR) {
        if (uDataSize >= kErrorSize) notifyError(uInd, int32_t(readLe32(lpData)));
    } else if (uType == XR_DEV_TCP_MSG_WAKE) {
        notify(uInd, XR_DEV_TCP_NOTIFY_WAKE, "");
    }
}

}  // namespace

void devtcp::handleFrontFrame(uint32_t uInd) {
    XR_DEV_TCP_LINK_S &l = link(uInd);
    dropSkippedBytes(l);
    if (l.uRecvSize < kHeadSize) return;

    uint8_t *lpFrame = l.ucRecvBuf;
    uint32_t uPayload = readLe16(lpFrame + kOffLength);
    uint32_t uSize = kHeadSize + uPayload;
    // An oversized frame can never fit the buffer: its bytes are thrown away as they come.
    // Any other frame waits until it is whole.
    bool bOversized = uPayload > kMaxPayload;
    if (!bOversized && l.uRecvSize < uSize) return;
    // While logged in, a frame of another session is dropped without counting as activity.
    bool bPasses =
        l.usStatus != XR_DEV_TCP_STATUS_LOGINED || readLe32(lpFrame + kOffSession) == l.uSessID;
    if (bPasses) l.uStamp = g_stDevTcp.uTickNow;
    if (bOversized) {
        l.uRecvSkip = uSize;
        dropSkippedBytes(l);
        return;
    }
    if (bPasses) dispatch(uInd, lpFrame, uPayload);
    // A callback that logged out, or a reset during the dispatch, has emptied the buffer.
    if (l.uRecvSize >= uSize) {
        uint32_t uRest = l.uRecvSize - uSize;
        if (uRest) memmove(l.ucRecvBuf, l.ucRecvBuf + uSize, uRest);
        l.uRecvSize = uRest;
    }
}

void devtcp::onReadFailure(uint32_t uInd) {
    XR_DEV_TCP_LINK_S &l = link(uInd);
    // Whole frames that came with the close (a redirect, or the last messages) are acted
    // on first, in order. A frame that moved the link (a redirect, a refused login), or a
    // callback that ended it, leaves no socket behind: then there is nothing left to reset.
    // A pass that removes nothing has found a cut-off frame, or nothing.
    uint32_t uHeld;
    do {
        uHeld = l.uRecvSize;
        handleFrontFrame(uInd);
        if (l.iSocket < 0) return;
    } while (l.uRecvSize != uHeld);
    xrDevTcpResetOffline(uInd, true);
}
