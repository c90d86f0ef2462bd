// The receiving half of a link: read into the slot's buffer, cut at most one frame off
// its front, pass it through the session gate and dispatch it.
#include <string.h>

#include "link_state.h"
#include "wire.h"

using namespace devtcp;
using namespace devtcp::wire;

namespace {

// One complete frame at the front of the receive buffer, taken apart in place.
struct Frame {
    uint32_t uSessID;
    uint32_t uType;
    uint32_t uSize;      // header and payload
    bool bMalformed;     // a peer section longer than the payload
    char *lpPeer;        // the peer name's bytes; null without a peer section
    uint32_t uPeerSize;  // as the sender counted it, its NUL included
    uint8_t *lpData;
    uint32_t uDataSize;
};

// Bytes that an agent's own header said belong to an oversized frame are dropped as they
// arrive; the frames after it are then read normally.
void dropSkippedBytes(XR_DEV_TCP_LINK_S &l) {
    if (l.uRecvSkip == 0 || l.uRecvSize == 0) return;
    uint32_t uDrop = l.uRecvSkip < l.uRecvSize ? l.uRecvSkip : l.uRecvSize;
    memmove(l.ucRecvBuf, l.ucRecvBuf + uDrop, l.uRecvSize - uDrop);
    l.uRecvSize -= uDrop;
    l.uRecvSkip -= uDrop;
}

void parsePeerSection(uint8_t *lpFrame, uint32_t uPayload, Frame &f) {
    // The peer length itself must lie inside the frame before it is read.
    if (uPayload < kPeerPrefix) {
        f.bMalformed = true;
        return;
    }
    uint32_t uPeer = readLe16(lpFrame + kOffPeerLength);
    uint32_t uPadded = paddedPeerLength(uPeer);
    if (kPeerPrefix + uPadded > uPayload) {
        f.bMalformed = true;
        return;
    }
    f.lpPeer = reinterpret_cast<char *>(lpFrame + kOffPeerName);
    f.uPeerSize = uPeer;
    f.lpData = lpFrame + kOffPeerName + uPadded;
    f.uDataSize = uPayload - kPeerPrefix - uPadded;
}

// A text field at a fixed offset of the data, terminated in its last byte; null when
// the data is too short to hold it.
char *textField(const Frame &f, uint32_t uOffset) {
    if (f.uDataSize < uOffset + kTextFieldSize) return nullptr;
    char *lpsz = reinterpret_cast<char *>(f.lpData + uOffset);
    lpsz[kTextFieldSize - 1] = '\0';
    return lpsz;
}

// The peer name, terminated in its last counted byte. A name of length 0 has no byte
// to terminate and is handed on as "".
const char *peerName(const Frame &f) {
    if (!f.lpPeer) return nullptr;
    if (f.uPeerSize == 0) return "";
    f.lpPeer[f.uPeerSize - 1] = '\0';
    return f.lpPeer;
}

void dispatchLoginReply(uint32_t uInd, int32_t iAgentID, const Frame &f) {
    if (f.uDataSize < kLoginReplySize) return;
    XR_DEV_TCP_LINK_S &l = link(uInd);
    int32_t iResult = int32_t(readLe32(f.lpData + kLoginReplyOffResult));
    char *lpszAddr = textField(f, kLoginReplyOffAddr);
    char *lpszTime = textField(f, kLoginReplyOffTime);
    if (iResult != 0) {
        uint16_t usSeq = l.usSeq;
        notifyError(iAgentID, iResult);
        if (!stillAllocated(uInd, usSeq)) return;
        xrDevTcpResetOffline(uInd);
        if (stillAllocated(uInd, usSeq)) raiseBackoff(l);
        return;
    }
    l.uSessID = f.uSessID;
    xrDevTcpSocketProcLogin(uInd, lpszAddr, lpszTime);
}

void dispatch(uint32_t uInd, int32_t iAgentID, const Frame &f) {
    if (f.bMalformed) return;
    if (f.uType == XR_DEV_TCP_MSG_LOGIN) {
        dispatchLoginReply(uInd, iAgentID, f);
        return;
    }
    // Before the first accepted login the session is 0, and only frames of session 0
    // are acted on; once logged in the gate has already dropped other sessions.
    if (f.uSessID != link(uInd).uSessID) return;
    const XR_DEV_TCP_CALLBACK_S &cb = g_stDevTcp.stCallback;
    switch (f.uType) {
        case XR_DEV_TCP_MSG_ERROR:
            if (f.uDataSize >= kErrorSize) notifyError(iAgentID, int32_t(readLe32(f.lpData)));
            break;
        case XR_DEV_TCP_MSG_REDIRECT:
            if (char *lpszAddr = textField(f, 0)) xrDevTcpRedirect(uInd, lpszAddr);
            break;
        case XR_DEV_TCP_MSG_TIME:
            if (char *lpszTime = textField(f, 0)) notify(iAgentID, XR_DEV_TCP_NOTIFY_TIME, lpszTime);
            break;
        case XR_DEV_TCP_MSG_DATA:
            cb.TcpReceive(iAgentID, f.lpData, f.uDataSize, peerName(f));
            break;
        case XR_DEV_TCP_MSG_STR:
            if (f.uDataSize == 0) break;
            f.lpData[f.uDataSize - 1] = '\0';
            cb.TcpReceiveStr(iAgentID, reinterpret_cast<const char *>(f.lpData), peerName(f));
            break;
        case XR_DEV_TCP_MSG_WAKE:
            notify(iAgentID, XR_DEV_TCP_NOTIFY_WAKE, "");
            break;
        default:
            break;
    }
}

}  // namespace

void devtcp::handleFrontFrame(uint32_t uInd) {
    XR_DEV_TCP_LINK_S &l = link(uInd);
    int32_t iAgentID = makeHandle(uInd);
    dropSkippedBytes(l);
    if (l.uRecvSize < kHeadSize) return;

    uint8_t *lpFrame = l.ucRecvBuf;
    Frame f{};
    f.uSessID = readLe32(lpFrame + kOffSession);
    f.uType = lpFrame[kOffType];
    uint32_t uPayload = readLe16(lpFrame + kOffLength);
    f.uSize = kHeadSize + uPayload;
    bool bGated = l.usStatus == XR_DEV_TCP_STATUS_LOGINED && f.uSessID != l.uSessID;

    if (uPayload > kMaxPayload) {
        // It can never fit the buffer: throw its bytes away as they come.
        if (!bGated) l.uStamp = g_stDevTcp.uTickNow;
        l.uRecvSkip = f.uSize;
        dropSkippedBytes(l);
        return;
    }
    if (l.uRecvSize < f.uSize) return;

    if (lpFrame[kOffFlags] & XR_DEV_TCP_FLAG_PEER) {
        parsePeerSection(lpFrame, uPayload, f);
    } else {
        f.lpData = lpFrame + kHeadSize;
        f.uDataSize = uPayload;
    }
    if (!bGated) {
        l.uStamp = g_stDevTcp.uTickNow;
        dispatch(uInd, iAgentID, f);
    }
    // A callback that logged out, or a reset during the dispatch, has emptied the buffer.
    if (l.uRecvSize >= f.uSize) {
        uint32_t uRest = l.uRecvSize - f.uSize;
        if (uRest) memmove(l.ucRecvBuf, l.ucRecvBuf + f.uSize, uRest);
        l.uRecvSize = uRest;
    }
}

void devtcp::onReadFailure(uint32_t uInd) {
    XR_DEV_TCP_LINK_S &l = link(uInd);
    if (l.usStatus == XR_DEV_TCP_STATUS_IDLE) return;
    uint16_t usSeq = l.usSeq;
    xrDevTcpResetOffline(uInd);
    if (stillAllocated(uInd, usSeq)) raiseBackoff(l);
}
