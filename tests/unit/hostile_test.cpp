// Misbehaving agents and applications: a close after frames, redirect loops, forbidden calls.
#include <gtest/gtest.h>

#include "fake_net.h"

namespace {

using HostileTest = LibraryTest;

TEST_F(HostileTest, FramesThatCameWithTheCloseAreActedOnFirst) {
    loginAndAccept(net, 5, tick);
    Bytes data = frame(5, XR_DEV_TCP_MSG_DATA, {1}, "p");
    // Whole frames and a cut-off one, then the close: the whole ones, then the reset.
    Bytes cut(data.begin(), data.end() - 1);
    step(cat(cat(data, data), cat(frame(5, XR_DEV_TCP_MSG_DATA, {2}, "p"), cut)));
    net.recvFail = true;
    EXPECT_EQ(step(), (Events{"data 1 01 p", "data 1 02 p", "close 10",
                              "log 0 xrDevTcpReset: Login status - Alloc, uInd=0", "offline 1 "}));
    EXPECT_EQ(slot(0).usDelayLevel, 1);

    // A redirect, then the close: the redirect is followed, what came after it is dropped.
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
    tick = 100000;
    xrDevTcpLogin("H", "u", "p");
    const char *const kNext[] = {"A", "H", "A", "H"};
    for (int i = 0; i < 4; ++i) {
        slot(0).usDelayCount = slot(0).usDelayLevel * 15;  // the wait is not the point here
        step();
        step(loginReply(0, 0, kNext[i], "T"));
        EXPECT_EQ(slot(0).usDelayLevel, i < 2 ? 0 : i - 1) << i;  // the third one counts
    }
    EXPECT_EQ(net.opened, (std::vector<std::string>{"H", "A", "H", "A"}));
    // A minute without a redirect starts a new run: the next two are followed at once.
    slot(0).usDelayCount = slot(0).usDelayLevel * 15;
    slot(0).uRedirStamp = tick + 100 - 60000;
    step();
    step(loginReply(0, 0, "A", "T"));
    step();
    step(loginReply(0, 0, "H", "T"));
    EXPECT_EQ(slot(0).usDelayLevel, 2);
}

TEST_F(HostileTest, NestedProcFromACallbackReturnsAtOnce) {
    loginAndAccept(net, 5, tick);
    int nested = 0;
    net.onReceive = [&](int32_t, const uint8_t *, uint32_t, const char *) {
        if (nested++ == 0) xrDevTcpProc(tick);
    };
    EXPECT_EQ(step(cat(frame(5, XR_DEV_TCP_MSG_DATA, {1}), frame(5, XR_DEV_TCP_MSG_DATA, {2}))),
              Events{"data 1 01 (null)"});
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
    net.onNotify = [](int32_t, uint32_t, const char *) { EXPECT_FALSE(s_out); };
    for (int k = 0; k < kFnCount * 8; ++k) {  // function k / 8, its call k % 8 + 1
        net.install();
        s_real = g_stDevTcp.stSocket, s_realLog = g_stDevTcp.lpLog;
        XR_DEV_TCP_CALLBACK_S c = g_stDevTcp.stCallback;
        Sockets s = {wrap<kOpen, &Sockets::SocketOpen, const char *>,
                     wrap<kCheck, &Sockets::SocketCheck, int32_t>,
                     [](int32_t h) { s_real.SocketClose(h), enter(kClose); },
                     wrap<kSend, &Sockets::SocketSend, int32_t, const uint8_t *, uint32_t>,
                     wrap<kRecv, &Sockets::SocketRecv, int32_t, uint8_t *, uint32_t>};
        s_fn = -1, s_out = net.recvFail = false;
        xrDevTcpSetCallback(&s, &c, [](int32_t i, const char *t) { s_realLog(i, t), enter(kLog); });
        s_id = xrDevTcpLogin("H", "u", "p");
        s_fn = k / 8, s_calls = k % 8 + 1;
        step();
        step(loginReply(5, 0, "", "T"));
        step(textFrame(5, XR_DEV_TCP_MSG_REDIRECT, "A"));
        step();
        net.recvFail = true;
        step();
        step();
        if (!s_out) continue;  // fewer calls than that
        SCOPED_TRACE(testing::Message() << "function " << k / 8 << ", call " << k % 8 + 1);
        expectFree(0);
        EXPECT_EQ(net.closed.size(), net.opened.size()) << "every socket is closed";
    }
}

}  // namespace
