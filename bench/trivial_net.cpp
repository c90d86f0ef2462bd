// SPDX-License-Identifier: MIT
#include "trivial_net.h"

#include <string.h>

#include <cstdio>
#include <cstdlib>

#include "link_state.h"
#include "wire.h"

namespace bench {
namespace {

using namespace devtcp::wire;

constexpr int32_t kSocketBase = 3;
const uint8_t *g_lpPending;
uint32_t g_uPending;
uint64_t g_uSent;
int32_t g_iNextSocket;

// Slot 0 gets socket kSocketBase, the only one that ever has something to read.
int32_t SocketOpen(const char *) {
    return g_iNextSocket++;
}
int32_t SocketCheck(int32_t) {
    return 1;
}
void SocketClose(int32_t) {}
int32_t SocketSend(int32_t, const uint8_t *, uint32_t uSize) {
    g_uSent += uSize;
    return int32_t(uSize);
}
// The copy is out of line so that the usual answer, nothing to read, costs what a real
// non-blocking socket layer's early return would.
__attribute__((noinline)) int32_t deliver(uint8_t *lpBuf, uint32_t uSize) {
    uint32_t n = g_uPending < uSize ? g_uPending : uSize;
    memcpy(lpBuf, g_lpPending, n);
    g_lpPending += n;
    g_uPending -= n;
    return int32_t(n);
}
int32_t SocketRecv(int32_t iSocket, uint8_t *lpBuf, uint32_t uSize) {
    if (g_uPending == 0 || iSocket != kSocketBase) return 0;
    return deliver(lpBuf, uSize);
}

void TcpError(int32_t, int32_t) {}
void TcpNotify(int32_t, uint32_t, const char *) {}
void TcpReceive(int32_t iAgentID, const uint8_t *lpData, uint32_t uDataSize, const char *lpszPeer) {
    if (lpszPeer)
        xrDevTcpSend(iAgentID, XR_DEV_TCP_MSG_DATA, lpData, uDataSize, lpszPeer,
                     uint32_t(strlen(lpszPeer)) + 1);
}
void TcpReceiveStr(int32_t, const char *, const char *) {}

void fail(const char *what) {
    std::fprintf(stderr, "bench set-up failed: %s\n", what);
    std::exit(1);
}

}  // namespace

void arriveOnSlot0(const uint8_t *lpFrame, uint32_t uSize) {
    g_lpPending = lpFrame;
    g_uPending = uSize;
}

uint64_t bytesSent() {
    return g_uSent;
}

uint32_t buildDataFrame(uint8_t *p, uint32_t uSessID, uint32_t uDataSize) {
    static uint8_t data[XR_DEV_TCP_BUF_SIZE];
    for (uint32_t i = 0; i < uDataSize; ++i) data[i] = uint8_t(i * 7 + 1);
    return writeFrame(p, uSessID, XR_DEV_TCP_MSG_DATA, data, uDataSize, kPeer, kPeerSize);
}

void keepAlive(uint32_t uTick) {
    for (XR_DEV_TCP_LINK_S &l : devtcp::g_stDevTcp.stLink) l.uStamp = uTick;
}

uint32_t setUpTwoLinks(int32_t ids[2]) {
    static const XR_DEV_TCP_SOCKET_CALLBACK_S sockets = {SocketOpen, SocketCheck, SocketClose,
                                                         SocketSend, SocketRecv};
    static const XR_DEV_TCP_CALLBACK_S events = {
        TcpError, TcpNotify, TcpReceive, TcpReceiveStr, {}};
    memset(&devtcp::g_stDevTcp, 0, sizeof devtcp::g_stDevTcp);  // as at program start
    g_iNextSocket = kSocketBase;
    g_uPending = 0;
    xrDevTcpSetCallback(&sockets, &events, nullptr);
    ids[0] = xrDevTcpLogin("127.0.0.1:8800", "bench-0", "5820");
    ids[1] = xrDevTcpLogin("127.0.0.1:8800", "bench-1", "5820");
    if (ids[0] < 0 || ids[1] < 0) fail("login");
    uint32_t uTick = 1000;
    xrDevTcpProc(uTick);  // both connect and send their login requests
    // Only slot 0's socket reads, so each reply goes in while its slot is the reader.
    static uint8_t reply[kHeadSize + kLoginReplySize], data[kLoginReplySize];
    writeLoginReply(data, 0, "", "");
    for (uint32_t uInd = 0; uInd < 2; ++uInd) {
        writeFrame(reply, 0x1001 + uInd, XR_DEV_TCP_MSG_LOGIN, data, sizeof data, nullptr, 0);
        XR_DEV_TCP_LINK_S &l = devtcp::g_stDevTcp.stLink[uInd];
        memcpy(l.ucRecvBuf, reply, sizeof reply);
        l.uRecvSize = sizeof reply;
        xrDevTcpProc(uTick += kTickMs);
    }
    for (const XR_DEV_TCP_LINK_S &l : devtcp::g_stDevTcp.stLink)
        if (l.usStatus != XR_DEV_TCP_STATUS_LOGINED || l.iSocket < 0 || l.uRecvSize || l.uSendSize)
            fail("links not logged in");
    return uTick;
}

}  // namespace bench
