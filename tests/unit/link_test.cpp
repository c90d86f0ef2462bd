// Link table, handles, argument limits, logout, logging and the application's tables.
#include "fake_net.h"

namespace {

using LinkTest = LibraryTest;

TEST_F(LinkTest, HandlesNameSlotAndSequenceAndDieAtLogout) {
    // Never-used slots answer to sequence 0; their logout only logs.
    xrDevTcpLogout(0x10000);
    EXPECT_EQ(net.logs, Events{"xrDevTcpLogout: Login status - Idle, uInd=1"});
    EXPECT_EQ(xrDevTcpSend(0x10001, XR_DEV_TCP_MSG_LOGIN, "x", 1, nullptr, 0),
              XR_DEV_TCP_ERR_NOT_LOGINED);  // a free slot takes nothing
    EXPECT_EQ(xrDevTcpLogin("H", "A", "p"), 2);
    EXPECT_EQ(xrDevTcpLogin("H", "B", "p"), 0x10003);
    EXPECT_EQ(xrDevTcpLogin("other", "B", "x"), 0x10003);  // one slot per user name
    EXPECT_STREQ(slot(1).szSvrAddr, "H");
    EXPECT_EQ(xrDevTcpLogin("H", "C", "p"), XR_DEV_TCP_ERR_NO_SLOT);
    xrDevTcpLogout(2);
    EXPECT_EQ(xrDevTcpLogin("H", "C", "p"), 5);
    net.logs.clear();
    for (int32_t bad : {2, -2, 0x20000, 0x7FFF0005, 0x10002}) {
        xrDevTcpLogout(bad);
        EXPECT_EQ(xrDevTcpSend(bad, XR_DEV_TCP_MSG_LOGIN, "x", 1, nullptr, 0), XR_DEV_TCP_ERR_ARG);
    }
    EXPECT_TRUE(net.logs.empty());
    EXPECT_EQ(slot(0).usStatus + slot(1).usStatus, 2 * XR_DEV_TCP_STATUS_ALLOC);
}

TEST_F(LinkTest, LoginChecksEveryLimitAndNullArgument) {
    std::string a63(63, 'a'), a64(64, 'a'), u127(127, 'u'), u128(128, 'u');
    const char *bad[][3] = {{a64.c_str(), "u", "p"}, {"H", u128.c_str(), "p"},
                            {"H", "u", a64.c_str()}, {nullptr, "u", "p"},
                            {"H", nullptr, "p"},     {"H", "u", nullptr}};
    for (auto &args : bad) EXPECT_EQ(xrDevTcpLogin(args[0], args[1], args[2]), XR_DEV_TCP_ERR_ARG);
    EXPECT_TRUE(net.logs.empty());
    EXPECT_EQ(xrDevTcpLogin(a63.c_str(), u127.c_str(), a63.c_str()), 1);
    EXPECT_EQ(slot(0).szConnAddr + a63 + slot(0).szUser + slot(0).szPass, a63 + a63 + u127 + a63);
    EXPECT_EQ(xrDevTcpLogin("", "", ""), 0x10002);
}

TEST_F(LinkTest, LogoutSendsLogoutFrameOnlyWhenLoginedAndAlwaysCloses) {
    int32_t id = xrDevTcpLogin("H", "u", "p");
    step();
    net.takeSent();
    xrDevTcpLogout(id);
    EXPECT_TRUE(net.takeSent().empty());
    EXPECT_EQ(net.take(), Events{"close 0"});
    id = loginAndAccept(net, 0x102, tick);
    xrDevTcpLogout(id);
    EXPECT_EQ(hex(net.takeSent()), "0201000003000000");
    // No room for the logout frame: the slot is freed all the same.
    id = loginAndAccept(net, 7, tick);
    net.sendPlan = {0};
    slot(0).uSendSize = kBuf - 7;
    xrDevTcpLogout(id);
    EXPECT_EQ(net.take(), Events{"close 2"});
    net.checkState();
}

TEST_F(LinkTest, StatusLogLinesAndLongLines) {
    int32_t id = xrDevTcpLogin("H", "u", "p");
    step();
    step(loginReply(4, 0));
    step(textFrame(4, XR_DEV_TCP_MSG_REDIRECT, "A"));
    xrDevTcpLogout(id);
    const char *ops[] = {
        "Login: Login status - Alloc",        "LoginProc: Login status - Connected",
        "LoginProc: Login status - Logining", "SocketProcLogin: Login status - Logined",
        "Reset: Login status - Alloc",        "Logout: Login status - Idle"};
    Events expect;
    for (const char *op : ops) expect.push_back(std::string("xrDevTcp") + op + ", uInd=0");
    EXPECT_EQ(net.logs, expect);
    net.logs.clear();
    xrDevTcpLog(0, "%s", std::string(3000, 'y').c_str());
    EXPECT_EQ(net.logs.at(0), std::string(1023, 'y'));
}

TEST_F(LinkTest, EmptyTablesAndEntries) {
    // No socket table: every open fails with -3. No log function: nothing is logged.
    xrDevTcpSetCallback(nullptr, &FakeNet::kEvents, nullptr);
    int32_t id = xrDevTcpLogin("H", "u", "p");
    EXPECT_EQ(step(), Events{"error 1 -3"});
    EXPECT_TRUE(net.logs.empty());
    // No SocketCheck: the check fails, the socket is kept. No SocketClose: it is forgotten.
    XR_DEV_TCP_SOCKET_CALLBACK_S s = FakeNet::kSockets;
    s.SocketCheck = nullptr;
    xrDevTcpSetCallback(&s, &FakeNet::kEvents, nullptr);
    EXPECT_EQ(step(), (Events{"open H", "error 1 -3"}));
    EXPECT_EQ(step(), Events{"error 1 -3"});
    s.SocketClose = nullptr;
    xrDevTcpSetCallback(&s, &FakeNet::kEvents, nullptr);
    xrDevTcpLogout(id);
    EXPECT_EQ(slot(0).iSocket, -1);
    // No event table: frames are handled silently. No SocketSend: sends fail and keep the
    // frame. No SocketRecv: the read fails and the link starts again.
    net.install();
    id = loginAndAccept(net, 5, tick);
    s = FakeNet::kSockets;
    s.SocketSend = nullptr;
    xrDevTcpSetCallback(&s, nullptr, nullptr);
    EXPECT_TRUE(step(cat(frame(5, 6, {1}, "p"), frame(5, 7, {'x', 0}))).empty());
    EXPECT_TRUE(step().empty());
    EXPECT_EQ(xrDevTcpSend(id, XR_DEV_TCP_MSG_DATA, "ab", 2, nullptr, 0), XR_DEV_TCP_ERR_SOCKET);
    EXPECT_EQ(slot(0).uSendSize + slot(0).uRecvSize, 10u);
    s.SocketRecv = nullptr;
    xrDevTcpSetCallback(&s, nullptr, nullptr);
    EXPECT_EQ(step(), Events{"close 0"});
    EXPECT_EQ(slot(0).usDelayLevel, 1);
}

}  // namespace
