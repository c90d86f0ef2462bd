// SPDX-License-Identifier: MIT
// The receive path: a script decides what every read returns (any bytes, split anywhere, or
// a failure), how connections answer, how time passes (silences, the tick's wrap) and what
// the application does inside its callbacks: answer, log out, log in again.
#include "reader.h"

namespace {

FakeNet g_net;
Reader g_r;
uint32_t g_uTick;
uint8_t g_ucEcho, g_ucArm[5];    // what the callbacks do: see the operations
std::vector<int32_t> g_handles;  // every handle a login returned

int32_t handle() {
    uint8_t c = g_r.u8();
    if (c < 2) return devtcp::makeHandle(c);
    if (c == 2 && !g_handles.empty()) return g_handles[g_r.u8() % g_handles.size()];
    return int32_t(g_r.u32());
}

void login(const char *lpszUser, const char *lpszAddr) {
    int32_t i = xrDevTcpLogin(lpszAddr, lpszUser, "pw");
    if (i >= 0) g_handles.push_back(i);
    if (i < 0 && i != XR_DEV_TCP_ERR_NO_SLOT) FakeNet::fail("login");
}

void send(int32_t id, uint32_t uType, const void *p, uint32_t n, const char *lpszPeer,
          uint32_t uPeer) {
    int32_t i = xrDevTcpSend(id, uType, p, n, lpszPeer, uPeer);
    if (i != int32_t(n) && (i > XR_DEV_TCP_ERR_ARG || i < XR_DEV_TCP_ERR_QUEUE_FULL || i == -4))
        FakeNet::fail("send: " + std::to_string(i));
}
uint32_t peerSize(const char *lpszPeer) {
    return lpszPeer ? uint32_t(strlen(lpszPeer) + 1) : 0;
}

// What the application does at the end of callback `kind`, once armed.
void after(int kind, int32_t id) {
    if (g_ucEcho & 8) xrDevTcpSetCallback(&FakeNet::kSockets, &FakeNet::kEvents, FakeNet::log);
    uint8_t a = g_ucArm[kind];
    g_ucArm[kind] = 0;
    if (a & 8) xrDevTcpProc(g_uTick + 50);  // forbidden: must return at once
    if (!(a & 1)) return;
    std::string user = slot(uint32_t(id) >> 16).szUser;
    xrDevTcpLogout(id);
    if ((a & 2) && !user.empty()) login(user.c_str(), "H");  // the slot may have been free
    if (a & 4) login("u2", "B");
}

// The operations, chosen by a byte modulo their number; their arguments follow.
void (*const kOps[])() = {
    [] {  // u8 tick step
        g_net.events.push_back("tick " + std::to_string(g_uTick = g_r.tick(g_uTick)));
        xrDevTcpProc(g_uTick);
    },
    [] {  // u8 slot, u8 over-claim, u16 length, bytes: one read's answer
        uint32_t u = g_r.u8() & 1u;
        g_net.overclaim = g_r.u8() & 1u;
        g_net.recv[u].push_back(g_r.bytes(g_r.u16() % 4097u));
    },
    [] {  // u8 slot, type, flags, session mode [u32], u16 peer length, u16 data length, data,
          // u8 split: a frame built from its parts, arriving in reads of `split` bytes
        uint32_t u = g_r.u8() & 1u, uType = g_r.u8(), uFlags = g_r.u8(), uSess = slot(u).uSessID;
        uint8_t ucMode = g_r.u8() & 3u;  // the slot's session, 0, the one given, the next
        uSess = ucMode == 1 ? 0 : ucMode == 2 ? g_r.u32() : uSess + (ucMode == 3);
        std::string peer(uFlags & 1 ? g_r.u16() % 2100u : (g_r.u16(), 0), 'n');
        if (!peer.empty()) peer.back() = '\0';
        Bytes data = g_r.bytes(g_r.u16() % 4097u);
        Bytes f = frame(uSess, uint8_t(uType), data, uFlags & 1 ? peer.c_str() : nullptr,
                        int(peer.size()), int(uFlags));
        for (size_t at = 0, n = g_r.u8(); at < f.size(); at += n ? n : f.size())
            g_net.recv[u].push_back(
                Bytes(f.begin() + long(at),
                      f.begin() + long(std::min(at + (n ? n : f.size()), f.size()))));
    },
    [] { g_net.recvFail[g_r.u8() & 1u] = true; },  // u8 slot: its next read fails
    [] { g_net.openResult = -(g_r.u8() & 1); },    // u8: bit 0 makes SocketOpen fail
    [] { g_net.checkResult = int8_t(g_r.u8()); },  // u8: SocketCheck's answer
    [] { g_r.sendPlan(g_net); },
    [] {  // handle, u8 type, u16 data length, u8 peer length, data: the application sends
        int32_t id = handle();
        uint8_t ucType = g_r.u8();
        uint32_t uDataLen = g_r.u16() % 2100u, uPeerLen = g_r.u8();
        Bytes data = g_r.bytes(uDataLen);
        std::string peer(uPeerLen, 'q');
        send(id, ucType, data.data(), uDataLen, uPeerLen ? peer.c_str() : nullptr, uPeerLen);
    },
    [] { xrDevTcpLogout(handle()); },
    [] {  // u8 user, u8 address
        static const char *const kUsers[] = {"u0", "u1", "u2"}, *const kAddrs[] = {"H", "A", "B",
                                                                                   ""};
        uint8_t ucUser = g_r.u8() % 3u;
        login(kUsers[ucUser], kAddrs[g_r.u8() % 4u]);
    },
    // u8: data (bit 0), strings (1), Online and Time (2) are answered; every callback
    // installs the tables again (3)
    [] { g_ucEcho = g_r.u8(); },
    [] {  // u8 callback (error, notify, data, string, or any socket operation or log line),
          // u8 action: log out (bit 0), then log the same user in (1), another user (2); call
          // xrDevTcpProc (3); once
        uint8_t ucKind = g_r.u8() % 5u;
        g_ucArm[ucKind] = g_r.u8();
    }};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *lpData, size_t uSize) {
    g_r = {lpData, uSize};
    g_net.install();
    g_ucEcho = 0;
    memset(g_ucArm, 0, sizeof g_ucArm);
    g_handles.clear();
    g_net.onError = [](int32_t id, int32_t) { after(0, id); };
    g_net.onNotify = [](int32_t id, uint32_t uType, const char *) {
        if ((g_ucEcho & 4) &&
            (uType == XR_DEV_TCP_NOTIFY_ONLINE || uType == XR_DEV_TCP_NOTIFY_TIME))
            send(id, XR_DEV_TCP_MSG_STR, "hello", 6, "p", 2);
        after(1, id);
    };
    g_net.onReceive = [](int32_t id, const uint8_t *p, uint32_t n, const char *lpszPeer) {
        if (g_ucEcho & 1) send(id, XR_DEV_TCP_MSG_DATA, p, n, lpszPeer, peerSize(lpszPeer));
        after(2, id);
    };
    g_net.inside = [] {  // a forbidden call: the slot must stay sound
        if (!g_ucArm[4]) return false;
        after(4, devtcp::makeHandle(g_r.u8() & 1u));
        return true;
    };
    g_net.onReceiveStr = [](int32_t id, const char *lpsz, const char *lpszPeer) {
        if (g_ucEcho & 2) send(id, 7, lpsz, peerSize(lpsz), lpszPeer, peerSize(lpszPeer));
        after(3, id);
    };
    uint8_t ucPrelude = g_r.u8();
    g_uTick = g_r.u32();
    if (ucPrelude & 1) login("u0", "H");
    if (ucPrelude & 2) login("u1", "A");
    for (int iOps = 0; g_r.n && iOps < 2000; ++iOps) {
        kOps[g_r.u8() % (sizeof kOps / sizeof kOps[0])]();
        g_net.checkState();
    }
    logOutAllAndCheck(g_net);
    return 0;
}
