#include "fake_net.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

FakeNet *FakeNet::current = nullptr;
void (*FakeNet::fail)(const std::string &) = [](const std::string &what) {
    fprintf(stderr, "fake net: %s\n", what.c_str());
    abort();
};

namespace {

FakeNet &net() {
    return *FakeNet::current;
}
#define EXPECT_THAT(cond, ...) \
    if (!(cond)) FakeNet::fail(std::string(#cond) + " " + std::to_string(__VA_ARGS__))

uint32_t le16(const uint8_t *p) {
    return p[0] | p[1] << 8;
}
uint32_t le32(const uint8_t *p) {
    return le16(p) | le16(p + 2) << 16;
}
void putLe(Bytes &b, uint32_t v, int n) {
    for (int i = 0; i < n; ++i) b.push_back(uint8_t(v >> 8 * i));
}

// A text ends within its field.
void checkText(const char *lpsz, size_t uField) {
    EXPECT_THAT(lpsz && memchr(lpsz, 0, uField), uField);
}

// The slot whose socket this is.
uint32_t slotOf(int32_t iSocket) {
    net().checkState();
    EXPECT_THAT(net().open[iSocket], iSocket);
    for (uint32_t u = 0; u < kLinks; ++u)
        if (g_stDevTcp.stLink[u].iSocket == iSocket) return u;
    FakeNet::fail("no slot holds socket " + std::to_string(iSocket));
    return 0;
}

// A callback's handle names a slot still allocated under it, and the data or text it is
// handed lies in the frame at the front of that slot's receive buffer (an empty text may
// be a constant).
uint32_t checkCallback(int32_t iAgentID, const void *lpIn = nullptr, size_t uSize = 0,
                       bool bText = true) {
    net().checkState();
    int32_t iInd = devtcp::slotOfHandle(iAgentID);
    EXPECT_THAT(iInd >= 0 && g_stDevTcp.stLink[iInd].usStatus != XR_DEV_TCP_STATUS_IDLE, iAgentID);
    const XR_DEV_TCP_LINK_S &l = g_stDevTcp.stLink[iInd < 0 ? 0 : iInd];
    auto p = static_cast<const uint8_t *>(lpIn);
    if (!p || (bText && !*p)) return uint32_t(iInd);
    const uint8_t *lpEnd = l.ucRecvBuf + XR_DEV_TCP_HEAD_SIZE + le16(l.ucRecvBuf + 6);
    EXPECT_THAT(p >= l.ucRecvBuf + XR_DEV_TCP_HEAD_SIZE && lpEnd <= l.ucRecvBuf + l.uRecvSize,
                p - l.ucRecvBuf);
    EXPECT_THAT(p + uSize <= lpEnd && (!bText || memchr(p, 0, size_t(lpEnd - p))), uSize);
    return uint32_t(iInd);
}

// What a socket took is a run of well-formed frames, the first the login request of the
// connection (unless the fake answered before the connection was up).
void checkStream(int32_t iSocket) {
    const Bytes &s = net().streams[iSocket];
    size_t &at = net().parsed[iSocket];
    while (s.size() - at >= XR_DEV_TCP_HEAD_SIZE) {
        const uint8_t *p = s.data() + at;
        uint32_t uPayload = le16(p + 6), uPeer = le16(p + 10);
        if (s.size() - at < XR_DEV_TCP_HEAD_SIZE + uPayload) break;
        if (at == 0 && !net().early[iSocket])
            EXPECT_THAT(p[4] == XR_DEV_TCP_MSG_LOGIN && le32(p) == 0, p[4]);
        EXPECT_THAT(p[5] <= XR_DEV_TCP_FLAG_PEER && uPayload <= kBuf - XR_DEV_TCP_HEAD_SIZE, p[5]);
        if (p[5]) {
            EXPECT_THAT(le16(p + 8) == 0 && uPeer && 4 + ((uPeer + 3) & ~3u) <= uPayload, uPeer);
            for (uint32_t i = uPeer; i % 4; ++i) EXPECT_THAT(p[12 + i] == 0, i);
        }
        at += XR_DEV_TCP_HEAD_SIZE + uPayload;
    }
}

int32_t socketOpen(const char *lpszAddr) {
    net().checkState();
    checkText(lpszAddr, XR_DEV_TCP_ADDR_SIZE);
    if (net().record) net().events.push_back(std::string("open ") + lpszAddr);
    if (net().openResult) return net().openResult;
    net().open[net().nextSocket] = true;
    return net().nextSocket++;
}
int32_t socketCheck(int32_t iSocket) {
    EXPECT_THAT(g_stDevTcp.stLink[slotOf(iSocket)].usStatus == XR_DEV_TCP_STATUS_ALLOC, iSocket);
    return net().checkResult;
}
void socketClose(int32_t iSocket) {
    EXPECT_THAT(net().open[iSocket], iSocket);
    net().open.erase(iSocket);
    for (const XR_DEV_TCP_LINK_S &l : g_stDevTcp.stLink) EXPECT_THAT(l.iSocket != iSocket, iSocket);
    if (net().record) net().events.push_back("close " + std::to_string(iSocket));
}
int32_t socketSend(int32_t iSocket, const uint8_t *p, uint32_t n) {
    const XR_DEV_TCP_LINK_S &l = g_stDevTcp.stLink[slotOf(iSocket)];
    EXPECT_THAT(p == l.ucSendBuf && n >= 1 && n == l.uSendSize, n);
    FakeNet &f = net();
    int32_t iPlan = f.sendPlan.empty() ? int32_t(n) : f.sendPlan[f.planAt++ % f.sendPlan.size()];
    if (iPlan == FakeNet::kFail) return -1;
    uint32_t uTake = iPlan >= 0 && uint32_t(iPlan) < n ? uint32_t(iPlan) : n;
    f.sent.insert(f.sent.end(), p, p + uTake);
    f.streams[iSocket].insert(f.streams[iSocket].end(), p, p + uTake);
    checkStream(iSocket);
    return int32_t(uTake) + (iPlan == FakeNet::kOverclaim ? 9 : 0);
}
int32_t socketRecv(int32_t iSocket, uint8_t *p, uint32_t n) {
    uint32_t u = slotOf(iSocket);
    const XR_DEV_TCP_LINK_S &l = g_stDevTcp.stLink[u];
    EXPECT_THAT(n >= 1 && p == l.ucRecvBuf + l.uRecvSize && n == kBuf - l.uRecvSize, n);
    FakeNet &f = net();
    ++f.recvCalls;
    if (f.recvFail[u]) return f.recvFail[u] = false, -1;
    if (f.recv[u].empty()) return 0;
    Bytes &c = f.recv[u].front();
    uint32_t uTake = c.size() < n ? uint32_t(c.size()) : n;
    memcpy(p, c.data(), uTake);
    if (uTake && l.usStatus == XR_DEV_TCP_STATUS_ALLOC) f.early[iSocket] = true;
    c.erase(c.begin(), c.begin() + uTake);
    if (c.empty()) f.recv[u].pop_front();
    return int32_t(uTake) + (f.overclaim && uTake == n ? 100 : 0);
}

void record(int32_t id, const char *what, const std::string &text, const char *peer = "",
            bool bPeer = false) {
    if (net().record)
        net().events.push_back(what + (" " + std::to_string(id)) + " " + text +
                               (bPeer ? std::string(" ") + (peer ? peer : "(null)") : ""));
}
void tcpError(int32_t id, int32_t err) {
    checkCallback(id);
    record(id, "error", std::to_string(err));
    if (net().onError) net().onError(id, err);
}
void tcpNotify(int32_t id, uint32_t type, const char *text) {
    static const char *kNames[] = {"online", "offline", "redirect", "time", "wake"};
    checkCallback(id, text);
    EXPECT_THAT(type <= XR_DEV_TCP_NOTIFY_WAKE && strlen(text) < 64, type);
    // Only a redirect names something; only a time may or may not.
    EXPECT_THAT(type == XR_DEV_TCP_NOTIFY_TIME || (type == XR_DEV_TCP_NOTIFY_REDIRECT) == !!text[0],
                type);
    record(id, kNames[type], text);
    if (net().onNotify) net().onNotify(id, type, text);
}
void tcpReceive(int32_t id, const uint8_t *data, uint32_t size, const char *peer) {
    checkCallback(id, data, size, false);
    checkCallback(id, peer);
    record(id, "data", hex(Bytes(data, data + size)), peer, true);
    if (net().onReceive) net().onReceive(id, data, size, peer);
}
void tcpReceiveStr(int32_t id, const char *text, const char *peer) {
    checkCallback(id, text);
    checkCallback(id, peer);
    record(id, "str", text, peer, true);
    if (net().onReceiveStr) net().onReceiveStr(id, text, peer);
}

}  // namespace

const XR_DEV_TCP_SOCKET_CALLBACK_S FakeNet::kSockets = {socketOpen, socketCheck, socketClose,
                                                        socketSend, socketRecv};
const XR_DEV_TCP_CALLBACK_S FakeNet::kEvents = {tcpError, tcpNotify, tcpReceive, tcpReceiveStr, {}};

void FakeNet::log(int32_t iLevel, const char *lpszText) {
    EXPECT_THAT(iLevel == 0 && memchr(lpszText, 0, 1024), iLevel);
    if (net().record) net().logs.push_back(lpszText);
}

void FakeNet::install() {
    *this = FakeNet();
    current = this;
    xrDevTcpTestRestart();
    xrDevTcpSetCallback(&kSockets, &kEvents, log);
}

Events FakeNet::take() {
    return std::move(events);
}

Bytes FakeNet::takeSent() {
    return std::move(sent);
}

// Sizes and ranges of every slot, terminated texts, a free slot as empty as a fresh one,
// and every socket handed out held by exactly one slot until it is closed.
void FakeNet::checkState() {
    size_t uHeld = 0, uOpen = 0;
    for (auto &s : open) uOpen += s.second;
    for (const XR_DEV_TCP_LINK_S &l : g_stDevTcp.stLink) {
        EXPECT_THAT(l.usStatus <= XR_DEV_TCP_STATUS_LOGINED && l.uSendSize <= kBuf &&
                        l.uRecvSize <= kBuf && l.uRecvSkip <= 8 + 0xFFFFu,
                    l.usStatus);
        EXPECT_THAT(l.usDelayLevel <= 20 && l.usDelayCount <= l.usDelayLevel * 15, l.usDelayCount);
        for (const char *t : {l.szSvrAddr, l.szLastAddr, l.szConnAddr, l.szPass})
            checkText(t, XR_DEV_TCP_ADDR_SIZE);
        checkText(l.szUser, XR_DEV_TCP_USER_SIZE);
        EXPECT_THAT(l.usStatus < XR_DEV_TCP_STATUS_CONNECTED || l.iSocket >= 0, l.usStatus);
        EXPECT_THAT(l.iSocket < 0 || open[l.iSocket], l.iSocket);
        uHeld += l.iSocket >= 0;
        if (l.usStatus != XR_DEV_TCP_STATUS_IDLE) continue;
        EXPECT_THAT(!l.szSvrAddr[0] && !l.szLastAddr[0] && !l.szConnAddr[0] && !l.szUser[0] &&
                        !l.szPass[0] && l.iSocket == -1,
                    l.iSocket);
        EXPECT_THAT(
            l.uSendSize + l.uRecvSize + l.uRecvSkip + l.uSessID + l.usDelayCount + l.usDelayLevel ==
                0,
            l.uSendSize);
    }
    EXPECT_THAT(uHeld == uOpen, uHeld);
}

Bytes frame(uint32_t sess, uint8_t type, const Bytes &data, const char *peer, int peerLen,
            int flags) {
    Bytes sec;
    if (peer) {
        uint32_t n = peerLen >= 0 ? uint32_t(peerLen) : uint32_t(strlen(peer) + 1);
        putLe(sec, n << 16, 4);
        sec.insert(sec.end(), peer, peer + n);
        sec.resize(4 + ((n + 3) & ~3u), 0);
    }
    Bytes f;
    putLe(f, sess, 4);
    f.push_back(type);
    f.push_back(uint8_t(flags >= 0 ? flags : peer != nullptr));
    putLe(f, uint32_t(sec.size() + data.size()), 2);
    return cat(cat(f, sec), data);
}

Bytes loginReply(uint32_t sess, int32_t result, const std::string &addr, const std::string &time) {
    Bytes d;
    putLe(d, uint32_t(result), 4);
    d.insert(d.end(), addr.begin(), addr.end());
    d.resize(68, 0);
    d.insert(d.end(), time.begin(), time.end());
    d.resize(132, 0);
    return frame(sess, XR_DEV_TCP_MSG_LOGIN, d);
}

Bytes textFrame(uint32_t sess, uint8_t type, const std::string &text) {
    Bytes d(text.begin(), text.end());
    d.resize(64, 0);
    return frame(sess, type, d);
}

Bytes errorFrame(uint32_t sess, int32_t code) {
    Bytes d;
    putLe(d, uint32_t(code), 4);
    return frame(sess, XR_DEV_TCP_MSG_ERROR, d);
}

Bytes cat(const Bytes &a, const Bytes &b) {
    Bytes out(a);
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

std::string hex(const Bytes &b) {
    std::string out;
    for (uint8_t c : b) out += "0123456789abcdef"[c >> 4], out += "0123456789abcdef"[c & 15];
    return out;
}

XR_DEV_TCP_LINK_S &slot(uint32_t uInd) {
    return g_stDevTcp.stLink[uInd];
}

int32_t loginAndAccept(FakeNet &net, uint32_t sess, uint32_t &tick, const char *user,
                       const char *addr) {
    int32_t id = xrDevTcpLogin(addr, user, "pw");
    xrDevTcpProc(tick += 50);  // connect and send the login request
    net.recv[uint32_t(id) >> 16].push_back(loginReply(sess, 0, "", "T"));
    xrDevTcpProc(tick += 50);  // handle the reply
    net.take();
    net.takeSent();
    net.logs.clear();
    return id;
}
