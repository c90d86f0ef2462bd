// Address choice at every reset, redirects, login completion, and what an event
// callback may do to its own link.
#include <gtest/gtest.h>

#include "fake_net.h"

namespace {

struct ResetTest : LibraryTest {
    // Ticks until the login attempt in progress times out.
    void timeOut() {
        uint16_t level = slot(0).usDelayLevel;
        for (int i = 0; i < 2000 && slot(0).usDelayLevel == level; ++i) xrDevTcpProc(tick += 50);
        ASSERT_EQ(slot(0).usDelayLevel, level + 1);
        // Skip the back-off wait.
        slot(0).usDelayCount = slot(0).usDelayLevel * 15;
        net.take();
    }
};

TEST_F(ResetTest, RedirectedAttemptFallsBackToLastGoodThenHome) {
    int32_t id = loginAndAccept(net, 9, tick);
    EXPECT_STREQ(slot(0).szLastAddr, "H");
    EXPECT_STREQ(slot(0).szConnAddr, "");

    EXPECT_EQ(
        step(textFrame(9, XR_DEV_TCP_MSG_REDIRECT, "A")),
        (Events{"redirect 1 A", "close 10", "log 0 xrDevTcpReset: Login status - Alloc, uInd=0"}));
    EXPECT_EQ(hex(net.takeSent()), "0900000003000000") << "logout to H";
    // The next call connects to A.
    EXPECT_EQ(step(), (Events{"open A", "log 0 xrDevTcpLoginProc: Login status - Connected, uInd=0",
                              "log 0 xrDevTcpLoginProc: Login status - Logining, uInd=0"}));
    EXPECT_EQ(net.takeSent().size(), 264u);

    net.checkResult = 0;
    timeOut();
    EXPECT_STREQ(slot(0).szConnAddr, "H");
    EXPECT_STREQ(slot(0).szLastAddr, "H");
    timeOut();
    EXPECT_STREQ(slot(0).szConnAddr, "H");
    EXPECT_STREQ(slot(0).szLastAddr, "");
    (void)id;
}

TEST_F(ResetTest, LoginOnRedirectTargetCompletesThere) {
    xrDevTcpLogin("H", "u", "p");
    step();
    // The first reply names A: no logout frame (not logged in), no Online yet.
    net.takeSent();
    EXPECT_EQ(
        step(loginReply(4, 0, "A", "T1")),
        (Events{"redirect 1 A", "close 10", "log 0 xrDevTcpReset: Login status - Alloc, uInd=0"}));
    EXPECT_TRUE(net.takeSent().empty());
    EXPECT_EQ(slot(0).uSessID, 0u);
    EXPECT_EQ(step()[0], "open A");
    EXPECT_EQ(net.takeSent().size(), 264u);
    // A reply naming the connection's own address completes the login.
    EXPECT_EQ(step(loginReply(5, 0, "A", "T2")),
              (Events{"log 0 xrDevTcpSocketProcLogin: Login status - Logined, uInd=0", "online 1 ",
                      "time 1 T2"}));
    EXPECT_STREQ(slot(0).szLastAddr, "A");
    // A second accepting reply on the same connection tells only Time.
    EXPECT_EQ(
        step(loginReply(5, 0, "", "T3")),
        (Events{"log 0 xrDevTcpSocketProcLogin: Login status - Logined, uInd=0", "time 1 T3"}));
    // Redirects to the current address, or to none, change nothing.
    EXPECT_TRUE(step(textFrame(5, XR_DEV_TCP_MSG_REDIRECT, "A")).empty());
    EXPECT_TRUE(step(textFrame(5, XR_DEV_TCP_MSG_REDIRECT, "")).empty());
    EXPECT_EQ(slot(0).usStatus, XR_DEV_TCP_STATUS_LOGINED);
}

TEST_F(ResetTest, ReplyNamingLastGoodAddressLeavesTheLoginToTimeOut) {
    loginAndAccept(net, 9, tick);
    step(textFrame(9, XR_DEV_TCP_MSG_REDIRECT, "A"));
    step();
    EXPECT_TRUE(step(loginReply(3, 0, "H", "T")).empty());
    EXPECT_EQ(slot(0).usStatus, XR_DEV_TCP_STATUS_LOGINING);
    uint16_t level = slot(0).usDelayLevel;
    for (int i = 0; i < 700 && slot(0).usDelayLevel == level; ++i) xrDevTcpProc(tick += 50);
    Events ev = net.take();
    ASSERT_GE(ev.size(), 2u);
    EXPECT_EQ(ev[ev.size() - 1], "error 1 -9");
    EXPECT_STREQ(slot(0).szConnAddr, "H");
}

TEST_F(ResetTest, ResetDropsWhatTheOldConnectionDidNotTake) {
    int32_t id = loginAndAccept(net, 9, tick);
    net.sendLimit = 5;
    xrDevTcpSend(id, XR_DEV_TCP_MSG_DATA, "abcdef", 6, nullptr, 0);  // 5 of 14 written
    net.takeSent();
    net.sendLimit = 0;
    net.recvFail = true;
    step();
    EXPECT_EQ(slot(0).uSendSize, 0u);
    net.recvFail = false;
    net.sendLimit = -2;
    slot(0).usDelayCount = 15;
    step();
    Bytes sent = net.takeSent();
    ASSERT_EQ(sent.size(), 264u) << "the new connection starts with its login request";
    EXPECT_EQ(sent[4], XR_DEV_TCP_MSG_LOGIN);
}

TEST_F(ResetTest, LogoutFromInsideCallbacksEndsAllWorkOnTheSlot) {
    // From the error of a refused login: no reset, no back-off, a clean free slot.
    xrDevTcpLogin("H", "u", "p");
    step();
    net.onError = [](int32_t id, int32_t) { xrDevTcpLogout(id); };
    EXPECT_EQ(
        step(loginReply(0, 77)),
        (Events{"error 1 77", "close 10", "log 0 xrDevTcpLogout: Login status - Idle, uInd=0"}));
    EXPECT_EQ(slot(0).usDelayLevel, 0);
    EXPECT_EQ(slot(0).iSocket, -1);
    EXPECT_EQ(slot(0).uRecvSize, 0u);

    // From a Redirect notification: no reconnection. From Online: no Time.
    net.onError = nullptr;
    net.onNotify = [](int32_t id, uint32_t type, const char *) {
        if (type == XR_DEV_TCP_NOTIFY_REDIRECT || type == XR_DEV_TCP_NOTIFY_ONLINE)
            xrDevTcpLogout(id);
    };
    xrDevTcpLogin("H", "u", "p");
    step();
    net.take();
    EXPECT_EQ(
        step(loginReply(0, 0, "A")),
        (Events{"redirect 3 A", "close 11", "log 0 xrDevTcpLogout: Login status - Idle, uInd=0"}));
    xrDevTcpLogin("H", "u", "p");
    step();
    net.take();
    EXPECT_EQ(step(loginReply(6, 0, "", "T")),
              (Events{"log 0 xrDevTcpSocketProcLogin: Login status - Logined, uInd=0", "online 5 ",
                      "close 12", "log 0 xrDevTcpLogout: Login status - Idle, uInd=0"}));
    EXPECT_EQ(slot(0).usStatus, XR_DEV_TCP_STATUS_IDLE);
    EXPECT_STREQ(slot(0).szLastAddr, "");
}

TEST_F(ResetTest, EchoFromInsideReceiveGoesOutAtOnce) {
    int32_t id = loginAndAccept(net, 0x21, tick);
    net.onReceive = [](int32_t h, const uint8_t *d, uint32_t n, const char *peer) {
        xrDevTcpSend(h, XR_DEV_TCP_MSG_DATA, d, n, peer, uint32_t(strlen(peer) + 1));
        // Replacing the tables from inside a callback is safe as well.
        XR_DEV_TCP_SOCKET_CALLBACK_S s = g_stDevTcp.stSocket;
        XR_DEV_TCP_CALLBACK_S c = g_stDevTcp.stCallback;
        xrDevTcpSetCallback(&s, &c, g_stDevTcp.lpLog);
    };
    Bytes in = frame(0x21, XR_DEV_TCP_MSG_DATA, {1, 0xAB, 0}, "abcd");
    step(in);
    EXPECT_EQ(hex(net.takeSent()), hex(frame(0x21, XR_DEV_TCP_MSG_DATA, {1, 0xAB, 0}, "abcd")));
    (void)id;
}

}  // namespace
