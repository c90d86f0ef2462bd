// SPDX-License-Identifier: MIT
// The send queue: frames are built in place at the end of a slot's queue, whole or not
// at all, and the queue is offered to the socket from its front.
#include <string.h>

#include "link_state.h"
#include "wire.h"

namespace devtcp {

using namespace wire;

// Offers the whole queue, which is not empty, to the socket once and keeps what it did
// not take. A failed write marks the connection as ending, as a failed read does: a write
// that fails inside xrDevTcpProc ends the connection in that call, and one that fails in an
// xrDevTcpSend made between calls ends it in the next call; nothing more is offered to it
// meanwhile.
int32_t xrDevTcpFlush(XR_DEV_TCP_LINK_S &l) {
    Held held(l);
    int32_t iSent = socketSend(l.iSocket, l.ucSendBuf, l.uSendSize);
    if (!held()) return iSent < 0 ? XR_DEV_TCP_ERR_SOCKET : 0;  // freed, with its queue
    if (iSent < 0) {
        l.usWriteFailed = true;
        return XR_DEV_TCP_ERR_SOCKET;
    }
    // A claim beyond what was offered takes the whole queue.
    uint32_t uSent = uint32_t(iSent) < l.uSendSize ? uint32_t(iSent) : l.uSendSize;
    l.uSendSize -= uSent;
    if (l.uSendSize) memmove(l.ucSendBuf, l.ucSendBuf + uSent, l.uSendSize);
    return 0;
}

void sendEmptyFrame(XR_DEV_TCP_LINK_S &l, uint32_t uType) {
    xrDevTcpSend(makeHandle(l), uType, nullptr, 0, nullptr, 0);
}

bool xrDevTcpSendLogin(XR_DEV_TCP_LINK_S &l) {
    uint8_t ucReq[kLoginReqSize];
    writeLoginRequest(ucReq, l.szUser, l.szPass);
    return xrDevTcpSend(makeHandle(l), XR_DEV_TCP_MSG_LOGIN, ucReq, sizeof ucReq, nullptr, 0) ==
           int32_t(sizeof ucReq);
}

}  // namespace devtcp

using namespace devtcp;

// Needs no start-up of the table: before it, every handle either names no slot or a
// free slot, and both are refused without touching anything.
int32_t xrDevTcpSend(int32_t iAgentID, uint32_t uType, const void *lpData, uint32_t uDataSize,
                     const char *lpszPeer, uint32_t uPeerSize) {
    XR_DEV_TCP_LINK_S *lpLink = slotOfHandle(iAgentID);
    if (!lpLink) return XR_DEV_TCP_ERR_ARG;
    XR_DEV_TCP_LINK_S &l = *lpLink;
    // A free slot takes nothing, not even a login request: it must stay empty.
    if (l.usStatus == XR_DEV_TCP_STATUS_IDLE ||
        (l.usStatus != XR_DEV_TCP_STATUS_LOGINED && uType != XR_DEV_TCP_MSG_LOGIN))
        return XR_DEV_TCP_ERR_NOT_LOGINED;

    // A connection whose write failed takes nothing more: it is ending.
    if (l.usWriteFailed) return XR_DEV_TCP_ERR_SOCKET;
    if (!lpszPeer) uPeerSize = 0;
    // Sizes beyond the queue cannot fit; refusing them first keeps the sum below exact.
    if (uDataSize > XR_DEV_TCP_BUF_SIZE || uPeerSize > XR_DEV_TCP_BUF_SIZE)
        return XR_DEV_TCP_ERR_QUEUE_FULL;
    if (l.uSendSize + frameSize(uDataSize, uPeerSize) > XR_DEV_TCP_BUF_SIZE)
        return XR_DEV_TCP_ERR_QUEUE_FULL;
    l.uSendSize += writeFrame(l.ucSendBuf + l.uSendSize, l.uSessID, uType, lpData, uDataSize,
                              lpszPeer, uPeerSize);

    if (l.iSocket < 0) return int32_t(uDataSize);  // no connection yet: the frame waits
    return xrDevTcpFlush(l) == 0 ? int32_t(uDataSize) : XR_DEV_TCP_ERR_SOCKET;
}
