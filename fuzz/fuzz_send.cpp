// SPDX-License-Identifier: MIT
// The send path: xrDevTcpSend with any handle, type and sizes, against a socket that takes
// all, part, nothing or fails. Each result must be what the call must do, and what the socket
// took plus what is queued must be exactly the frames accepted so far on that connection.
#include "reader.h"

namespace {

FakeNet g_net;
Reader g_r;
uint32_t g_uTick;
std::vector<int32_t> g_handles;

int32_t handle() {
    uint8_t c = g_r.u8();
    if (c < 2) return devtcp::makeHandle(c);
    if (c < 4 && !g_handles.empty()) return g_handles[g_r.u8() % g_handles.size()];
    if (c < 6) return int32_t(devtcp::makeHandle(c & 1u) ^ 0x10000);
    return int32_t(g_r.u32());
}

// Sizes: one byte, sometimes four more, so that both small sizes and the limits around
// the queue's size are a single mutation away.
uint32_t size() {
    uint8_t b = g_r.u8();
    if (b < 224) return b < 128 ? b : b < 192 ? 1900u + (b - 128u) * 3u : 2030u + (b - 192u);
    uint32_t u = g_r.u32();
    return b < 254 ? u & 0xFFFFu : b == 254 ? 0xFFFFFFFFu - (u & 0xFFu) : u;
}

// Bytes of the slot's current connection: what its socket took, then the queue.
Bytes connection(const XR_DEV_TCP_LINK_S &l) {
    return cat(l.iSocket >= 0 ? g_net.sockets[l.iSocket].stream : Bytes(),
               Bytes(l.ucSendBuf, l.ucSendBuf + l.uSendSize));
}

void relogin(uint32_t uInd, uint32_t uSess) {
    int32_t id = xrDevTcpLogin("H", uInd ? "u1" : "u0", "pw");
    if (id < 0) return;
    g_handles.push_back(id);
    xrDevTcpProc(g_uTick += 50);
    g_net.recv[uint32_t(id) >> 16].push_back(loginReply(uSess, 0));
    xrDevTcpProc(g_uTick += 50);
}

// Handle, u8 type, size of data, size of peer, u8 peer is null, data, peer: one send.
void send() {
    int32_t id = handle();
    uint8_t ucType = g_r.u8();
    uint32_t uDataSize = size(), uPeerSize = size();
    bool bNullPeer = g_r.u8() & 1u;
    // Buffers of exactly the promised size, so that AddressSanitizer sees any read beyond
    // them; sizes no queue can take get a token buffer, which must not be read.
    Bytes data = uDataSize <= 1u << 17 ? g_r.bytes(uDataSize) : Bytes(1, 0x5A);
    Bytes peer = uPeerSize <= 1u << 17 ? g_r.bytes(uPeerSize) : Bytes(1, 0x5A);
    const char *lpszPeer = bNullPeer ? nullptr : reinterpret_cast<const char *>(peer.data());

    // What the call must do.
    uint32_t u = uint32_t(id);
    bool bValid = u < kLinks << 16 && (u & 0xFFFFu) == slot(u >> 16 & 1u).usSeq;
    const XR_DEV_TCP_LINK_S &l = slot(bValid ? u >> 16 : 0);
    uint64_t uPeerSec = lpszPeer && uPeerSize ? 4u + ((uint64_t(uPeerSize) + 3u) & ~3ull) : 0;
    int32_t iExpect =
        !bValid ? XR_DEV_TCP_ERR_ARG
        : l.usStatus != XR_DEV_TCP_STATUS_LOGINED && (ucType != XR_DEV_TCP_MSG_LOGIN || !l.usStatus)
            ? XR_DEV_TCP_ERR_NOT_LOGINED
        : l.uSendSize + 8u + uPeerSec + uDataSize > kBuf ? XR_DEV_TCP_ERR_QUEUE_FULL
                                                         : int32_t(uDataSize);
    bool bFlush = iExpect >= 0 && l.iSocket >= 0;
    bool bFails = bFlush && !g_net.sendPlan.empty() &&
                  g_net.sendPlan[g_net.planAt % g_net.sendPlan.size()] == FakeNet::kFail;
    Bytes expect = connection(l);
    if (iExpect >= 0)
        expect = cat(expect,
                     frame(l.uSessID, ucType, data, uPeerSec ? lpszPeer : nullptr, int(uPeerSize)));
    int calls = g_net.sendCalls;
    int32_t iResult = xrDevTcpSend(id, ucType, data.data(), uDataSize, lpszPeer, uPeerSize);
    g_net.checkState();
    if (iResult != (bFails ? XR_DEV_TCP_ERR_SOCKET : iExpect) || connection(l) != expect ||
        g_net.sendCalls != calls + bFlush)
        FakeNet::fail("send gave " + std::to_string(iResult) + ", not " + std::to_string(iExpect));
}

// The operations, chosen by a byte modulo their number; their arguments follow.
void (*const kOps[])() = {
    send,
    [] { g_r.sendPlan(g_net); },
    [] {  // u8 tick step
        g_net.events.push_back("tick " + std::to_string(g_uTick = g_r.tick(g_uTick)));
        xrDevTcpProc(g_uTick);
    },
    [] { xrDevTcpLogout(handle()); },
    [] {  // u8 slot, u32 session: log in and complete the login
        uint32_t uInd = g_r.u8() & 1u;
        relogin(uInd, g_r.u32());
    },
    [] { g_net.recvFail[g_r.u8() & 1u] = true; },  // u8 slot
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *lpData, size_t uSize) {
    g_r = {lpData, uSize};
    g_net.install();
    g_handles.clear();
    g_uTick = 1000;
    uint8_t ucPrelude = g_r.u8();
    uint32_t uSess = g_r.u32();
    if (ucPrelude & 1) relogin(0, uSess);
    if (ucPrelude & 2) relogin(1, uSess + 1);
    for (int iOps = 0; g_r.n && iOps < 1000; ++iOps) {
        kOps[g_r.u8() % (sizeof kOps / sizeof kOps[0])]();
        g_net.checkState();
    }
    logOutAllAndCheck(g_net);
    return 0;
}
