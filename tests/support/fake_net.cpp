// SPDX-License-Identifier: MIT
#include "fake_net.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

FakeNet *FakeNet::current = nullptr;
void (*FakeNet::fail)(const std::string &) = [](const std::string &what) {
    fprintf(stderr, "fake net: %s\n", what.c_str());
    abort();
};
#define EXPECT_THAT(cond, value) \
    if (!(cond)) FakeNet::fail(std::string(#cond) + ": " + std::to_string(value))

#define NET (*FakeNet::current)

namespace {

const auto le16 = [](const uint8_t *p) { return uint32_t(p[0] | p[1] << 8); };
const auto putLe = [](Bytes &b, uint32_t v, int n) {
    for (int i = 0; i < n; ++i) b.push_back(uint8_t(v >> 8 * i));
};
const auto ends = [](const char *lpsz, size_t uField) {
    return memchr(lpsz, 0, uField) != nullptr;
};

// The slot holding an open socket.
uint32_t slotOf(int32_t iSocket) {
    NET.checkState();
    uint32_t u = 0;
    while (u + 1 < kLinks && slot(u).iSocket != iSocket) ++u;
    EXPECT_THAT(NET.sockets[iSocket].open && slot(u).iSocket == iSocket, iSocket);
    return u;
}

// A callback's handle names a slot still allocated under it, and the data or text it is
// handed lies in the frame at the front of that slot's receive buffer (an empty text may
// also be a constant).
void checkCallback(int32_t id, const void *lpIn = nullptr, size_t uSize = 0, bool bText = true) {
    NET.checkState();
    EXPECT_THAT(NET.depth == 0, id);
    int32_t iInd = devtcp::slotOfHandle(id);
    EXPECT_THAT(iInd >= 0 && slot(uint32_t(iInd)).usStatus != XR_DEV_TCP_STATUS_IDLE, id);
    const XR_DEV_TCP_LINK_S &l = slot(iInd < 0 ? 0 : uint32_t(iInd));
    const uint8_t *b = l.ucRecvBuf, *lpEnd = b + XR_DEV_TCP_HEAD_SIZE + le16(b + 6);
    auto p = static_cast<const uint8_t *>(lpIn);
    EXPECT_THAT(!p || (bText && !*p) ||
                    (p >= b + XR_DEV_TCP_HEAD_SIZE && lpEnd <= b + l.uRecvSize &&
                     p + uSize <= lpEnd && (!bText || memchr(p, 0, size_t(lpEnd - p)))),
                p - b);
}

// What a socket took is a run of well-formed frames, the first the login request of the
// connection (unless the fake answered before the connection was up).
void checkStream(const FakeNet::Socket &s) {
    for (size_t at = 0; s.stream.size() - at >= XR_DEV_TCP_HEAD_SIZE;) {
        const uint8_t *p = s.stream.data() + at;
        uint32_t uPayload = le16(p + 6);
        if (s.stream.size() - at < XR_DEV_TCP_HEAD_SIZE + uPayload) return;
        uint32_t uPeer = p[5] && uPayload >= 4 ? le16(p + 10) : 0, uEnd = 12 + ((uPeer + 3) & ~3u);
        EXPECT_THAT(at || s.early || (p[4] == XR_DEV_TCP_MSG_LOGIN && !le16(p) && !le16(p + 2)),
                    p[4]);
        EXPECT_THAT(p[5] <= XR_DEV_TCP_FLAG_PEER && uPayload <= kBuf - XR_DEV_TCP_HEAD_SIZE, p[5]);
        EXPECT_THAT(
            !p[5] || (!le16(p + 8) && uPeer && uEnd <= 8 + uPayload &&
                      uint32_t(std::count(p + 12 + uPeer, p + uEnd, 0)) == uEnd - 12 - uPeer),
            uPeer);
        at += XR_DEV_TCP_HEAD_SIZE + uPayload;
    }
}

void record(const char *what, int32_t id, const std::string &text) {
    NET.events.push_back(what + (" " + std::to_string(id)) + " " + text);
}
std::string withPeer(const std::string &text, const char *peer) {
    return text + " " + (peer ? peer : "(null)");
}

}  // namespace

const XR_DEV_TCP_SOCKET_CALLBACK_S FakeNet::kSockets = {
    [](const char *lpszAddr) {
        NET.checkState();
        EXPECT_THAT(ends(lpszAddr, XR_DEV_TCP_ADDR_SIZE), 0);
        NET.events.push_back(std::string("open ") + lpszAddr);
        if (NET.inside) NET.inside();  // a socket still comes back: the library must close it
        if (NET.openResult) return NET.openResult;
        NET.sockets[NET.nextSocket] = {{}, true, false};
        return NET.nextSocket++;
    },
    [](int32_t iSocket) {
        EXPECT_THAT(slot(slotOf(iSocket)).usStatus == XR_DEV_TCP_STATUS_ALLOC, iSocket);
        return NET.inside && NET.inside() ? 0 : NET.checkResult;
    },
    [](int32_t iSocket) {
        EXPECT_THAT(NET.sockets[iSocket].open, iSocket);
        NET.sockets[iSocket].open = false;
        for (uint32_t u = 0; u < kLinks; ++u) EXPECT_THAT(slot(u).iSocket != iSocket, iSocket);
        NET.events.push_back("close " + std::to_string(iSocket));
    },
    [](int32_t iSocket, const uint8_t *p, uint32_t n) {
        const XR_DEV_TCP_LINK_S &l = slot(slotOf(iSocket));
        EXPECT_THAT(p == l.ucSendBuf && n >= 1 && n == l.uSendSize, n);
        FakeNet &f = NET;
        if (f.inside && f.inside()) return 0;
        ++f.sendCalls;
        int32_t iPlan =
            f.sendPlan.empty() ? int32_t(n) : f.sendPlan[f.planAt++ % f.sendPlan.size()];
        if (iPlan == FakeNet::kFail) return -1;
        uint32_t uTake = iPlan >= 0 && uint32_t(iPlan) < n ? uint32_t(iPlan) : n;
        f.sent.insert(f.sent.end(), p, p + uTake);
        Bytes &s = f.sockets[iSocket].stream;
        s.insert(s.end(), p, p + uTake);
        checkStream(f.sockets[iSocket]);
        return int32_t(uTake) + (iPlan == FakeNet::kOverclaim ? 9 : 0);
    },
    [](int32_t iSocket, uint8_t *p, uint32_t n) {
        uint32_t u = slotOf(iSocket);
        const XR_DEV_TCP_LINK_S &l = slot(u);
        EXPECT_THAT(n >= 1 && p == l.ucRecvBuf + l.uRecvSize && n == kBuf - l.uRecvSize, n);
        FakeNet &f = NET;
        if (f.inside && f.inside()) return 0;
        if (f.recvFail[u]) return f.recvFail[u] = false, -1;
        if (f.recv[u].empty()) return 0;
        Bytes &c = f.recv[u].front();
        uint32_t uTake = c.size() < n ? uint32_t(c.size()) : n;
        std::copy_n(c.begin(), uTake, p);
        f.sockets[iSocket].early |= uTake && l.usStatus == XR_DEV_TCP_STATUS_ALLOC;
        c.erase(c.begin(), c.begin() + uTake);
        if (c.empty()) f.recv[u].pop_front();
        return int32_t(uTake) + (f.overclaim && uTake == n ? 100 : 0);
    }};

const XR_DEV_TCP_CALLBACK_S FakeNet::kEvents = {
    [](int32_t id, int32_t err) {
        checkCallback(id);
        record("error", id, std::to_string(err));
        ++NET.depth;
        if (NET.onError) NET.onError(id, err);
        --NET.depth;
    },
    [](int32_t id, uint32_t type, const char *text) {
        static const char *kNames[] = {"online", "offline", "redirect", "time", "wake"};
        checkCallback(id, text);
        // Only a redirect names something; a time may or may not.
        EXPECT_THAT(
            type <= XR_DEV_TCP_NOTIFY_WAKE && strlen(text) < 64 &&
                (type == XR_DEV_TCP_NOTIFY_TIME || (type == XR_DEV_TCP_NOTIFY_REDIRECT) == !!*text),
            type);
        record(kNames[type], id, text);
        ++NET.depth;
        if (NET.onNotify) NET.onNotify(id, type, text);
        --NET.depth;
    },
    [](int32_t id, const uint8_t *data, uint32_t size, const char *peer) {
        checkCallback(id, data, size, false);
        checkCallback(id, peer);
        record("data", id, withPeer(hex(Bytes(data, data + size)), peer));
        ++NET.depth;
        if (NET.onReceive) NET.onReceive(id, data, size, peer);
        --NET.depth;
    },
    [](int32_t id, const char *text, const char *peer) {
        checkCallback(id, text);
        checkCallback(id, peer);
        record("str", id, withPeer(text, peer));
        ++NET.depth;
        if (NET.onReceiveStr) NET.onReceiveStr(id, text, peer);
        --NET.depth;
    },
    {}};

void FakeNet::log(int32_t iLevel, const char *lpszText) {
    EXPECT_THAT(iLevel == 0 && ends(lpszText, 1024), iLevel);
    NET.logs.push_back(lpszText);
    if (NET.inside) NET.inside();
}

void FakeNet::install() {
    *this = FakeNet();
    current = this;
    xrDevTcpTestRestart();
    xrDevTcpSetCallback(&kSockets, &kEvents, log);
}

// Sizes and ranges of every slot, terminated texts, a free slot as empty as a fresh one,
// and every socket handed out held by exactly one slot until it is closed.
void FakeNet::checkState() {
    size_t uHeld = 0, uOpen = 0;
    for (auto &s : sockets) uOpen += s.second.open;
    for (uint32_t u = 0; u < kLinks; ++u) {
        const XR_DEV_TCP_LINK_S &l = slot(u);
        uHeld += l.iSocket >= 0;
        EXPECT_THAT(l.usStatus <= XR_DEV_TCP_STATUS_LOGINED && l.uSendSize <= kBuf &&
                        l.uRecvSize <= kBuf && l.uRecvSkip <= 8 + 0xFFFFu && l.usDelayLevel <= 20 &&
                        l.usDelayCount <= l.usDelayLevel * 15 && ends(l.szSvrAddr, 64) &&
                        ends(l.szLastAddr, 64) && ends(l.szConnAddr, 64) && ends(l.szUser, 128) &&
                        ends(l.szPass, 64) &&
                        (l.usStatus < XR_DEV_TCP_STATUS_CONNECTED || l.iSocket >= 0) &&
                        (!l.usStatus || l.szUser[0]) && (l.iSocket < 0 || sockets[l.iSocket].open),
                    u);
        EXPECT_THAT(l.usStatus || (!l.szSvrAddr[0] && !l.szLastAddr[0] && !l.szConnAddr[0] &&
                                   !l.szUser[0] && !l.szPass[0] && l.iSocket == -1 &&
                                   !(l.uSendSize | l.uRecvSize | l.uRecvSkip | l.uSessID |
                                     l.usDelayCount | l.usDelayLevel)),
                    u);
    }
    EXPECT_THAT(uHeld == uOpen, uHeld);
}

Bytes frame(uint32_t sess, uint8_t type, const Bytes &data, const char *peer, int peerLen,
            int flags) {
    Bytes f, sec;
    uint32_t n = !peer ? 0 : peerLen >= 0 ? uint32_t(peerLen) : uint32_t(strlen(peer) + 1);
    if (peer) putLe(sec, n << 16, 4), sec.resize(4 + ((n + 3) & ~3u), 0);
    if (n) memcpy(sec.data() + 4, peer, n);
    putLe(f, sess, 4);
    putLe(f, type | (flags >= 0 ? flags : peer != nullptr) << 8, 2);
    putLe(f, uint32_t(sec.size() + data.size()), 2);
    return cat(cat(f, sec), data);
}

std::string hex(const Bytes &b) {
    std::string out;
    for (uint8_t c : b) out += {"0123456789abcdef"[c >> 4], "0123456789abcdef"[c & 15]};
    return out;
}

int32_t loginAndAccept(FakeNet &net, uint32_t sess, uint32_t &tick, const char *user,
                       const char *addr) {
    int32_t id = xrDevTcpLogin(addr, user, "pw");
    xrDevTcpProc(tick += 50);  // connect and send the login request
    net.recv[uint32_t(id) >> 16].push_back(loginReply(sess, 0, "", "T"));
    xrDevTcpProc(tick += 50);  // handle the reply
    net.take(), net.takeSent(), net.logs.clear();
    return id;
}
