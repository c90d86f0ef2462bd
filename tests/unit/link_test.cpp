// Link table, handles, argument limits, logout and logging.
#include <gtest/gtest.h>

#include <string>

#include "fake_net.h"

namespace {

using LinkTest = LibraryTest;

TEST_F(LinkTest, HandlesCarrySlotAndSequenceAndDieAtLogout) {
    EXPECT_EQ(xrDevTcpLogin("H", "A", "p"), 1);
    EXPECT_EQ(xrDevTcpLogin("H", "B", "p"), 0x10002);
    EXPECT_EQ(net.take(),
              (std::vector<std::string>{"log 0 xrDevTcpLogin: Login status - Alloc, uInd=0",
                                        "log 0 xrDevTcpLogin: Login status - Alloc, uInd=1"}));
    // The same user finds its slot, whatever address and password, and nothing is logged.
    EXPECT_EQ(xrDevTcpLogin("other", "B", "x"), 0x10002);
    EXPECT_STREQ(slot(1).szSvrAddr, "H");
    EXPECT_EQ(xrDevTcpLogin("H", "C", "p"), XR_DEV_TCP_ERR_NO_SLOT);
    EXPECT_TRUE(net.take().empty());

    xrDevTcpLogout(1);
    EXPECT_EQ(net.take(),
              std::vector<std::string>{"log 0 xrDevTcpLogout: Login status - Idle, uInd=0"});
    expectFree(0);
    EXPECT_EQ(xrDevTcpLogin("H", "C", "p"), 4);
    // Handle 1 is dead: neither logout nor send touch slot 0 through it.
    net.take();
    xrDevTcpLogout(1);
    EXPECT_EQ(xrDevTcpSend(1, XR_DEV_TCP_MSG_LOGIN, "x", 1, nullptr, 0), XR_DEV_TCP_ERR_ARG);
    for (int32_t bad : {-2, 0x20000, 0x7FFF0004}) xrDevTcpLogout(bad);
    EXPECT_TRUE(net.take().empty());
    EXPECT_EQ(slot(0).usStatus, XR_DEV_TCP_STATUS_ALLOC);
}

TEST_F(LinkTest, LoginChecksEveryLimitAndNullArgument) {
    auto text = [](size_t n) { return std::string(n, 'x'); };
    EXPECT_EQ(xrDevTcpLogin(text(64).c_str(), "u", "p"), XR_DEV_TCP_ERR_ARG);
    EXPECT_EQ(xrDevTcpLogin("H", text(128).c_str(), "p"), XR_DEV_TCP_ERR_ARG);
    EXPECT_EQ(xrDevTcpLogin("H", "u", text(64).c_str()), XR_DEV_TCP_ERR_ARG);
    EXPECT_EQ(xrDevTcpLogin(nullptr, "u", "p"), XR_DEV_TCP_ERR_ARG);
    EXPECT_EQ(xrDevTcpLogin("H", nullptr, "p"), XR_DEV_TCP_ERR_ARG);
    EXPECT_EQ(xrDevTcpLogin("H", "u", nullptr), XR_DEV_TCP_ERR_ARG);
    EXPECT_TRUE(net.take().empty());
    EXPECT_EQ(slot(0).usStatus, XR_DEV_TCP_STATUS_IDLE);

    int32_t id = xrDevTcpLogin(text(63).c_str(), text(127).c_str(), text(63).c_str());
    EXPECT_EQ(id, 1);
    EXPECT_EQ(std::string(slot(0).szConnAddr), text(63));
    EXPECT_EQ(std::string(slot(0).szUser), text(127));
    EXPECT_EQ(xrDevTcpLogin("", "", ""), 0x10002);  // empty strings pass
}

TEST_F(LinkTest, NeverUsedSlotsAnswerToSequenceZero) {
    xrDevTcpLogout(0);
    xrDevTcpLogout(0x10000);
    EXPECT_EQ(net.take(),
              (std::vector<std::string>{"log 0 xrDevTcpLogout: Login status - Idle, uInd=0",
                                        "log 0 xrDevTcpLogout: Login status - Idle, uInd=1"}));
    EXPECT_TRUE(net.closed.empty());
    expectFree(0);
    // A free slot takes no frame, not even a login request, through a matching handle.
    EXPECT_EQ(xrDevTcpSend(0x10002, XR_DEV_TCP_MSG_LOGIN, "x", 1, nullptr, 0),
              XR_DEV_TCP_ERR_NOT_LOGINED);
    expectFree(1);
    EXPECT_EQ(xrDevTcpLogin("H", "u", "p"), 3);
}

TEST_F(LinkTest, LogoutSendsLogoutFrameOnlyWhenLoginedAndAlwaysCloses) {
    int32_t id = xrDevTcpLogin("H", "u", "p");
    xrDevTcpProc(tick);
    net.takeSent();
    xrDevTcpLogout(id);  // Logining: no frame, socket closed
    EXPECT_TRUE(net.takeSent().empty());
    EXPECT_EQ(net.closed, std::vector<int32_t>{10});
    expectFree(0);

    id = loginAndAccept(net, 0x102, tick);
    xrDevTcpLogout(id);
    EXPECT_EQ(hex(net.takeSent()), "0201000003000000");

    // No room for the 8-byte frame: the slot is freed all the same.
    id = loginAndAccept(net, 7, tick);
    net.sendLimit = 0;
    slot(0).uSendSize = XR_DEV_TCP_BUF_SIZE - 7;
    xrDevTcpLogout(id);
    EXPECT_TRUE(net.takeSent().empty());
    expectFree(0);
}

TEST_F(LinkTest, LogLinesAreCutToTheBufferAndCostNothingWithoutLogFunction) {
    std::string longText(3000, 'y');
    xrDevTcpLog(0, "%s", longText.c_str());
    auto ev = net.take();
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].size(), std::string("log 0 ").size() + 1023);

    XR_DEV_TCP_SOCKET_CALLBACK_S none{};
    xrDevTcpSetCallback(&none, nullptr, nullptr);
    EXPECT_EQ(xrDevTcpLogin("H", "u", "p"), 1);
    EXPECT_TRUE(net.take().empty());
}

TEST_F(LinkTest, EmptyTableEntriesAreNeverCalled) {
    // An empty socket table: every open fails, reported as -3 when an error callback exists.
    XR_DEV_TCP_CALLBACK_S events{};
    events.TcpError = [](int32_t, int32_t e) {
        FakeNet::current->events.push_back(std::to_string(e));
    };
    xrDevTcpSetCallback(nullptr, &events, nullptr);
    int32_t id = xrDevTcpLogin("H", "u", "p");
    xrDevTcpProc(tick);
    EXPECT_EQ(net.take(), std::vector<std::string>{"-3"});
    EXPECT_EQ(slot(0).usStatus, XR_DEV_TCP_STATUS_ALLOC);

    // An empty event table with a working socket table: frames are handled silently.
    XR_DEV_TCP_SOCKET_CALLBACK_S sockets{};
    net.install();
    sockets = g_stDevTcp.stSocket;
    xrDevTcpSetCallback(&sockets, nullptr, nullptr);
    id = xrDevTcpLogin("H", "u", "p");
    xrDevTcpProc(tick += 50);
    net.recvChunks.push_back(cat(loginReply(5, 0, "", "T"), frame(5, 6, {1, 2}, "peer")));
    xrDevTcpProc(tick += 50);
    xrDevTcpProc(tick += 50);
    EXPECT_EQ(slot(0).usStatus, XR_DEV_TCP_STATUS_LOGINED);
    EXPECT_EQ(slot(0).uRecvSize, 0u);
    EXPECT_TRUE(net.take().size() == 1);  // only the fake's own "open" record
    xrDevTcpLogout(id);
}

}  // namespace
