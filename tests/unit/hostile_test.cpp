// Agents and applications that misbehave: frames sent just before a close, redirect
// loops, and application functions that call into the library where the header forbids it.
#include <gtest/gtest.h>

#include "fake_net.h"

namespace {

using HostileTest = LibraryTest;

TEST_F(HostileTest, FramesThatCameWithTheCloseAreActedOnFirst) {
    int32_t id = loginAndAccept(net, 5, tick);
    Bytes data = frame(5, XR_DEV_TCP_MSG_DATA, {1}, "p");
    Bytes two = frame(5, XR_DEV_TCP_MSG_DATA, {2}, "p");
    // Three whole frames and a cut-off one, then the close: the first is handled on time,
    // the other two when the close is read, then the link is reset.
    step(cat(cat(data, data), cat(two, Bytes(data.begin(), data.end() - 1))));
    net.recvFail = true;
    EXPECT_EQ(step(), (Events{"data 1 01 p", "data 1 02 p", "close 10",
                              "log 0 xrDevTcpReset: Login status - Alloc, uInd=0", "offline 1 "}));
    EXPECT_EQ(slot(0).usDelayLevel, 1);

    // A redirect and then the close: the redirect is followed, and what came after it
    // belongs to the connection it left.
    xrDevTcpLogout(id);
    net.install();
    net.recvFail = false;
    loginAndAccept(net, 5, tick);
    step(cat(cat(data, textFrame(5, XR_DEV_TCP_MSG_REDIRECT, "A")), data));
    net.recvFail = true;
    EXPECT_EQ(step(), (Events{"redirect 1 A", "close 11",
                              "log 0 xrDevTcpReset: Login status - Alloc, uInd=0"}));
    EXPECT_EQ(slot(0).usDelayLevel, 0);
    step();
    EXPECT_EQ(net.opened.back(), "A");
}

TEST_F(HostileTest, RedirectLoopFallsUnderTheBackoff) {
    // Each agent's login reply names the other one.
    xrDevTcpLogin("H", "u", "p");
    const char *const kNext[] = {"A", "H", "A", "H"};
    const uint16_t kLevel[] = {0, 0, 1, 2};
    for (int i = 0; i < 4; ++i) {
        slot(0).usDelayCount = slot(0).usDelayLevel * 15;  // the wait is not the point here
        step();
        step(loginReply(0, 0, kNext[i], "T"));
        EXPECT_EQ(slot(0).usDelayLevel, kLevel[i]) << i;
    }
    EXPECT_TRUE(step().empty());  // waits instead of connecting
    EXPECT_EQ(net.opened, (std::vector<std::string>{"H", "A", "H", "A"}));
    // A minute without a redirect starts a new run: the next one is followed at once.
    slot(0).usDelayCount = slot(0).usDelayLevel * 15;
    slot(0).uRedirStamp = tick - 60000;
    step();
    step(loginReply(0, 0, "A", "T"));
    EXPECT_EQ(slot(0).usDelayLevel, 2);
    step();
    EXPECT_EQ(net.opened.back(), "A");
}

TEST_F(HostileTest, NestedProcFromACallbackReturnsAtOnce) {
    loginAndAccept(net, 5, tick);
    int nested = 0;
    net.onReceive = [&](int32_t, const uint8_t *, uint32_t, const char *) {
        if (nested++ == 0) xrDevTcpProc(tick);
    };
    Bytes one = frame(5, XR_DEV_TCP_MSG_DATA, {1});
    Bytes two = frame(5, XR_DEV_TCP_MSG_DATA, {2});
    EXPECT_EQ(step(cat(one, two)), Events{"data 1 01 (null)"});
    EXPECT_EQ(step(), Events{"data 1 02 (null)"});
}

// The application ends its link from inside the n-th call of one of its functions:
// the library makes no further call for the link and leaves the slot free.
enum Fn { kOpen, kCheck, kClose, kSend, kRecv, kLog, kFnCount };
int32_t s_id;
int s_fn, s_calls;
bool s_out;
using Sockets = XR_DEV_TCP_SOCKET_CALLBACK_S;
Sockets s_real;
XR_DEV_TCP_LOG_FUNC s_realLog;

void enter(int fn) {
    EXPECT_TRUE(fn == kClose || !s_out) << "call " << fn << " after the logout";
    if (fn == s_fn && --s_calls == 0) {
        xrDevTcpLogout(s_id);
        s_out = true;
    }
}

template <int F, auto M, typename... A>
int32_t wrap(A... a) {
    int32_t r = (s_real.*M)(a...);
    return enter(F), r;
}

TEST_F(HostileTest, LinkEndedFromInsideAnyApplicationFunctionStaysEnded) {
    for (int fn = 0; fn < kFnCount; ++fn) {
        for (int n = 1; n <= 5; ++n) {
            net.install();
            s_real = g_stDevTcp.stSocket;
            s_realLog = g_stDevTcp.lpLog;
            XR_DEV_TCP_SOCKET_CALLBACK_S s = {
                wrap<kOpen, &Sockets::SocketOpen, const char *>,
                wrap<kCheck, &Sockets::SocketCheck, int32_t>,
                [](int32_t h) { s_real.SocketClose(h), enter(kClose); },
                wrap<kSend, &Sockets::SocketSend, int32_t, const uint8_t *, uint32_t>,
                wrap<kRecv, &Sockets::SocketRecv, int32_t, uint8_t *, uint32_t>};
            s_fn = -1, s_out = false;
            xrDevTcpSetCallback(&s, &g_stDevTcp.stCallback, [](int32_t i, const char *t) {
                s_realLog(i, t);
                enter(kLog);
            });
            net.onNotify = [](int32_t, uint32_t, const char *) { EXPECT_FALSE(s_out); };
            s_id = xrDevTcpLogin("H", "u", "p");
            s_fn = fn, s_calls = n;
            step();
            step(loginReply(5, 0, "", "T"));
            net.recvFail = true;
            step();
            step();
            if (!s_out) continue;  // fewer than n calls
            SCOPED_TRACE(testing::Message() << "function " << fn << ", call " << n);
            expectFree(0);
            EXPECT_EQ(net.closed.size(), net.opened.size()) << "every socket is closed";
        }
    }
}

}  // namespace
