#include "fake_net.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "wire.h"

FakeNet *FakeNet::current = nullptr;

namespace {

FakeNet &net() {
    return *FakeNet::current;
}

int32_t fakeOpen(const char *addr) {
    net().opened.push_back(addr);
    net().events.push_back(std::string("open ") + addr);
    if (net().openResult != 0) return net().openResult;
    return net().nextSocket++;
}
int32_t fakeCheck(int32_t) {
    return net().checkResult;
}
void fakeClose(int32_t s) {
    net().closed.push_back(s);
    net().events.push_back("close " + std::to_string(s));
}
int32_t fakeSend(int32_t, const uint8_t *p, uint32_t n) {
    int32_t take = int32_t(n);
    if (net().sendLimit != -2) take = net().sendLimit < take ? net().sendLimit : take;
    if (take > 0) net().sent.insert(net().sent.end(), p, p + take);
    return take;
}
int32_t fakeRecv(int32_t, uint8_t *p, uint32_t n) {
    ++net().recvCalls;
    if (net().recvFail) return -1;
    if (net().recvChunks.empty()) return 0;
    Bytes &c = net().recvChunks.front();
    uint32_t take = c.size() < n ? uint32_t(c.size()) : n;
    std::memcpy(p, c.data(), take);
    c.erase(c.begin(), c.begin() + take);
    if (c.empty()) net().recvChunks.pop_front();
    return int32_t(take);
}
void recError(int32_t id, int32_t err) {
    net().events.push_back("error " + std::to_string(id) + " " + std::to_string(err));
    if (net().onError) net().onError(id, err);
}
void recNotify(int32_t id, uint32_t type, const char *text) {
    static const char *names[] = {"online", "offline", "redirect", "time", "wake"};
    net().events.push_back(std::string(names[type]) + " " + std::to_string(id) + " " + text);
    if (net().onNotify) net().onNotify(id, type, text);
}
void recReceive(int32_t id, const uint8_t *data, uint32_t size, const char *peer) {
    net().events.push_back("data " + std::to_string(id) + " " + hex(Bytes(data, data + size)) +
                           " " + (peer ? peer : "(null)"));
    if (net().onReceive) net().onReceive(id, data, size, peer);
}
void recReceiveStr(int32_t id, const char *text, const char *peer) {
    net().events.push_back("str " + std::to_string(id) + " " + text + " " +
                           (peer ? peer : "(null)"));
}
void recLog(int32_t level, const char *text) {
    net().events.push_back("log " + std::to_string(level) + " " + text);
}

}  // namespace

void FakeNet::install() {
    current = this;
    xrDevTcpTestRestart();
    XR_DEV_TCP_SOCKET_CALLBACK_S s = {fakeOpen, fakeCheck, fakeClose, fakeSend, fakeRecv};
    XR_DEV_TCP_CALLBACK_S c = {recError, recNotify, recReceive, recReceiveStr, {}};
    xrDevTcpSetCallback(&s, &c, recLog);
}

std::vector<std::string> FakeNet::take() {
    std::vector<std::string> out;
    out.swap(events);
    return out;
}

Bytes FakeNet::takeSent() {
    Bytes out;
    out.swap(sent);
    return out;
}

Bytes frame(uint32_t sess, uint8_t type, const Bytes &data, const char *peer, int peerLen,
            uint8_t flags) {
    using namespace devtcp::wire;
    Bytes peerSec;
    if (peer) {
        uint32_t n = peerLen >= 0 ? uint32_t(peerLen) : uint32_t(std::strlen(peer) + 1);
        peerSec.assign(4 + paddedPeerLength(n), 0);
        writeLe16(peerSec.data() + 2, n);
        std::memcpy(peerSec.data() + 4, peer, std::min<size_t>(n, std::strlen(peer) + 1));
    }
    Bytes f(8 + peerSec.size() + data.size());
    writeHeader(f.data(), sess, type, flags != 0xFF ? flags : (peer ? 1 : 0),
                uint32_t(peerSec.size() + data.size()));
    std::copy(peerSec.begin(), peerSec.end(), f.begin() + 8);
    std::copy(data.begin(), data.end(), f.begin() + 8 + long(peerSec.size()));
    return f;
}

Bytes loginReply(uint32_t sess, int32_t result, const std::string &addr, const std::string &time) {
    Bytes d(132, 0);
    devtcp::wire::writeLe32(d.data(), uint32_t(result));
    std::memcpy(d.data() + 4, addr.data(), std::min<size_t>(addr.size(), 64));
    std::memcpy(d.data() + 68, time.data(), std::min<size_t>(time.size(), 64));
    return frame(sess, XR_DEV_TCP_MSG_LOGIN, d);
}

Bytes textFrame(uint32_t sess, uint8_t type, const std::string &text) {
    Bytes d(64, 0);
    std::memcpy(d.data(), text.data(), std::min<size_t>(text.size(), 64));
    return frame(sess, type, d);
}

Bytes errorFrame(uint32_t sess, int32_t code) {
    Bytes d(4);
    devtcp::wire::writeLe32(d.data(), uint32_t(code));
    return frame(sess, XR_DEV_TCP_MSG_ERROR, d);
}

Bytes cat(const Bytes &a, const Bytes &b) {
    Bytes out(a.size() + b.size());
    std::copy(a.begin(), a.end(), out.begin());
    std::copy(b.begin(), b.end(), out.begin() + long(a.size()));
    return out;
}

std::string hex(const Bytes &b) {
    std::string out;
    char buf[4];
    for (uint8_t c : b) {
        std::snprintf(buf, sizeof buf, "%02x", c);
        out += buf;
    }
    return out;
}

XR_DEV_TCP_LINK_S &slot(uint32_t uInd) {
    return g_stDevTcp.stLink[uInd];
}

int32_t loginAndAccept(FakeNet &net, uint32_t sess, uint32_t &tick, const char *user,
                       const char *addr) {
    int32_t id = xrDevTcpLogin(addr, user, "pw");
    xrDevTcpProc(tick += 50);  // connect and send the login request
    net.recvChunks.push_back(loginReply(sess, 0, "", "T"));
    xrDevTcpProc(tick += 50);  // handle the reply
    net.take();
    net.takeSent();
    return id;
}

void expectFree(uint32_t uInd) {
    const XR_DEV_TCP_LINK_S &l = slot(uInd);
    EXPECT_EQ(l.usStatus, XR_DEV_TCP_STATUS_IDLE);
    for (const char *text : {l.szSvrAddr, l.szLastAddr, l.szConnAddr, l.szUser, l.szPass})
        EXPECT_STREQ(text, "");
    EXPECT_EQ(l.iSocket, -1);
    EXPECT_EQ(l.uSendSize + l.uRecvSize + l.uRecvSkip + l.uSessID, 0u);
    EXPECT_EQ(l.usDelayCount + l.usDelayLevel, 0);
}
