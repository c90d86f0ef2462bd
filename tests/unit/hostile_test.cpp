// SPDX-License-Identifier: MIT
// Misbehaving agents and applications: a close after frames, redirect loops, forbidden calls.
#include "fake_net.h"

namespace {

using HostileTest = LibraryTest;

TEST_F(HostileTest, FramesThatCameWithTheCloseAreActedOnFirst) {
    loginAndAccept(net, 5, tick);
    Bytes data = frame(5, XR_DEV_TCP_MSG_DATA, {1}, "p");
    // Whole frames and a cut-off one, then the close: the whole ones, then the reset.
    Bytes cut(data.begin(), data.end() - 1);
    step(cat(cat(data, data), cat(frame(5, XR_DEV_TCP_MSG_DATA, {2}, "p"), cut)));
    net.recvFail[0] = true;
    EXPECT_EQ(step(), (Events{"data 1 01 p", "data 1 02 p", "close 0", "offline 1 "}));
    EXPECT_EQ(slot(0).usDelayLevel, 1);

    // A redirect, then the close: the redirect is followed, what came after it is dropped.
    net.install();
    loginAndAccept(net, 5, tick);
    step(cat(cat(data, textFrame(5, XR_DEV_TCP_MSG_REDIRECT, "A")), data));
    net.recvFail[0] = true;
    EXPECT_EQ(step(), (Events{"redirect 1 A", "close 0"}));
    EXPECT_EQ(slot(0).usDelayLevel, 0);
    EXPECT_EQ(step()[0], "open A");
}

TEST_F(HostileTest, RedirectLoopFallsUnderTheBackoff) {
    // Each agent's login reply names the other one.
    tick = 100000;
    xrDevTcpLogin("H", "u", "p");
    const char *const kNext[] = {"A", "H", "A", "H"};
    for (int i = 0; i < 4; ++i) {
        slot(0).usDelayCount = slot(0).usDelayLevel * 15;  // the wait is not the point here
        EXPECT_EQ(step()[0], std::string("open ") + (i ? kNext[i - 1] : "H"));
        step(loginReply(0, 0, kNext[i], "T"));
        EXPECT_EQ(slot(0).usDelayLevel, i < 2 ? 0 : i - 1) << i;  // the third one counts
    }
    EXPECT_TRUE(step().empty());  // waits instead of connecting
    // A minute without a redirect starts a new run: the next two are followed at once.
    slot(0).usDelayCount = slot(0).usDelayLevel * 15;
    slot(0).uRedirStamp = tick + 100 - 60000;
    step();
    step(loginReply(0, 0, "A", "T"));
    EXPECT_EQ(step()[0], "open A");
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

void enter(int fn) {
    EXPECT_TRUE(fn == kClose || !s_out) << "call " << fn << " after the logout";
    if (fn == s_fn && --s_calls == 0) {
        xrDevTcpLogout(s_id);
        s_out = true;
    }
}

template <int F, auto M, typename... A>
int32_t wrap(A... a) {
    int32_t r = (FakeNet::kSockets.*M)(a...);
    return enter(F), r;
}

TEST_F(HostileTest, LinkEndedFromInsideAnyApplicationFunctionStaysEnded) {
    for (int k = 0; k < kFnCount * 8; ++k) {  // function k / 8, its call k % 8 + 1
        net.install();
        Sockets s = {wrap<kOpen, &Sockets::SocketOpen, const char *>,
                     wrap<kCheck, &Sockets::SocketCheck, int32_t>,
                     [](int32_t h) { FakeNet::kSockets.SocketClose(h), enter(kClose); },
                     wrap<kSend, &Sockets::SocketSend, int32_t, const uint8_t *, uint32_t>,
                     wrap<kRecv, &Sockets::SocketRecv, int32_t, uint8_t *, uint32_t>};
        s_fn = -1, s_out = false;
        xrDevTcpSetCallback(&s, &FakeNet::kEvents,
                            [](int32_t i, const char *t) { FakeNet::log(i, t), enter(kLog); });
        s_id = xrDevTcpLogin("H", "u", "p");
        s_fn = k / 8, s_calls = k % 8 + 1;
        step();
        step(loginReply(5, 0, "", "T"));
        step(textFrame(5, XR_DEV_TCP_MSG_REDIRECT, "A"));
        step();
        net.recvFail[0] = true;
        step();
        step();
        if (!s_out) continue;  // fewer calls than that
        SCOPED_TRACE(testing::Message() << "function " << k / 8 << ", call " << k % 8 + 1);
        for (auto &sock : net.sockets) EXPECT_FALSE(sock.second.open) << "every socket is closed";
        net.checkState();
    }
}

}  // namespace
