// SPDX-License-Identifier: MIT
// The send queue: frames are built in place at the end of a slot's queue, whole or not
// at all, and the queue is offered to the socket from its front.
#include <string.h>

#include "link_state.h"
#include "wire.h"

using namespace devtcp;
using namespace devtcp::wire;

namespace {

// Offers the whole queue, which is not empty, to the socket once and keeps what it did
// not take. 0 when done, XR_DEV_TCP_ERR_SOCKET when the write failed, kFlushLost when it
// failed because the application ended the link from inside it: nothing that follows may
// touch the slot then. A write that took bytes needs no such answer: its callers look
// at the slot again.
inline int32_t flushQueue(XR_DEV_TCP_LINK_S &l) {
    int32_t iSent = socketSend(l.iSocket, l.ucSendBuf, l.uSendSize);
    // Only an end of the link takes the socket away during a write; what follows a write
    // that took bytes leaves such a slot as the logout left it, with an empty queue.
    if (iSent < 0) return l.iSocket < 0 ? kFlushLost : XR_DEV_TCP_ERR_SOCKET;
    uint32_t uSent = uint32_t(iSent);
    if (uSent >= l.uSendSize) {
        l.uSendSize = 0;
    } else if (uSent > 0) {
        memmove(l.ucSendBuf, l.ucSendBuf + uSent, l.uSendSize - uSent);
        l.uSendSize -= uSent;
    }
    return 0;
}

}  // namespace

// Needs no start-up of the table: before it, every handle either names no slot or a
// free slot, and both are refused without touching anything.
int32_t xrDevTcpSend(int32_t iAgentID, uint32_t uType, const void *lpData, uint32_t uDataSize,
                     const char *lpszPeer, uint32_t uPeerSize) {
    int32_t iInd = slotOfHandle(iAgentID);
    if (iInd < 0) return XR_DEV_TCP_ERR_ARG;
    uint32_t uInd = uint32_t(iInd);
    XR_DEV_TCP_LINK_S &l = link(uInd);
    // A free slot takes nothing, not even a login request: it must stay empty.
    if (l.usStatus == XR_DEV_TCP_STATUS_IDLE ||
        (l.usStatus != XR_DEV_TCP_STATUS_LOGINED && uType != XR_DEV_TCP_MSG_LOGIN))
        return XR_DEV_TCP_ERR_NOT_LOGINED;

    if (!lpszPeer) uPeerSize = 0;
    // Sizes beyond the queue cannot fit; refusing them first keeps the sums below exact.
    if (uDataSize > XR_DEV_TCP_BUF_SIZE || uPeerSize > XR_DEV_TCP_BUF_SIZE)
        return XR_DEV_TCP_ERR_QUEUE_FULL;
    if (l.uSendSize + frameSize(uDataSize, uPeerSize) > XR_DEV_TCP_BUF_SIZE)
        return XR_DEV_TCP_ERR_QUEUE_FULL;

    l.uSendSize += writeFrame(l.ucSendBuf + l.uSendSize, l.uSessID, uType, lpData, uDataSize,
                              lpszPeer, uPeerSize);

    if (l.iSocket < 0) return int32_t(uDataSize);
    return flushQueue(l) == 0 ? int32_t(uDataSize) : XR_DEV_TCP_ERR_SOCKET;
}

void devtcp::sendEmptyFrame(uint32_t uInd, uint32_t uType) {
    xrDevTcpSend(makeHandle(uInd), uType, nullptr, 0, nullptr, 0);
}

int32_t xrDevTcpFlush(uint32_t uInd) {
    XR_DEV_TCP_LINK_S &l = link(uInd);
    return l.uSendSize != 0 ? flushQueue(l) : 0;
}

int32_t xrDevTcpSendLogin(uint32_t uInd) {
    const XR_DEV_TCP_LINK_S &l = link(uInd);
    uint8_t ucReq[kLoginReqSize];
    writeLoginRequest(ucReq, l.szUser, l.szPass);
    return xrDevTcpSend(makeHandle(uInd), XR_DEV_TCP_MSG_LOGIN, ucReq, sizeof ucReq, nullptr, 0) >=
                   0
               ? 1
               : 0;
}
