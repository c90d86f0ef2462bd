// SPDX-License-Identifier: MIT
// Link table, handles, argument limits, the application's tables, the login request.
#include "fake_net.h"

namespace {

using LinkTest = LibraryTest;

TEST_F(LinkTest, HandlesNameSlotAndSequenceAndDieAtLogout) {
    memset(&g_stDevTcp, 0, sizeof g_stDevTcp);  // as at program start
    xrDevTcpSetCallback(&FakeNet::kSockets, &FakeNet::kEvents, FakeNet::log);
    EXPECT_EQ(xrDevTcpLogin("H", "A", "p"), 1);
    EXPECT_EQ(slot(1).iSocket, -1);
    xrDevTcpLogout(0x10000);  // a never-used slot answers to sequence 0; a free one takes nothing
    EXPECT_EQ(xrDevTcpSend(0x10002, 2, "x", 1, nullptr, 0), XR_DEV_TCP_ERR_NOT_LOGINED);
    EXPECT_EQ(xrDevTcpLogin("H", "B", "p"), 0x10003);
    EXPECT_EQ(xrDevTcpLogin("other", "B", "x"), 0x10003);  // one slot per user name
    EXPECT_EQ(xrDevTcpLogin("H", "C", "p"), XR_DEV_TCP_ERR_NO_SLOT);
    xrDevTcpLogout(1);
    for (int32_t bad : {1, -2, 0x20000, 0x7FFF0004, 0x10002}) {
        xrDevTcpLogout(bad);
        EXPECT_EQ(xrDevTcpSend(bad, 2, "x", 1, nullptr, 0), XR_DEV_TCP_ERR_ARG);
    }
    EXPECT_EQ(std::string(slot(0).szUser) + slot(1).szUser + slot(1).szSvrAddr, "BH");
    // Every limit and null argument; texts at their limits pass.
    std::string a63(63, 'a'), a64(64, 'a'), u127(127, 'u'), u128(128, 'u');
    const char *bad[][3] = {{a64.c_str(), "u", "p"}, {"H", u128.c_str(), "p"},
                            {"H", "u", a64.c_str()}, {nullptr, "u", "p"},
                            {"H", nullptr, "p"},     {"H", "u", nullptr}};
    for (auto &args : bad) EXPECT_EQ(xrDevTcpLogin(args[0], args[1], args[2]), XR_DEV_TCP_ERR_ARG);
    EXPECT_EQ(xrDevTcpLogin(a63.c_str(), u127.c_str(), a63.c_str()), 5);
    EXPECT_EQ(slot(0).szConnAddr + a63 + slot(0).szUser + slot(0).szPass, a63 + a63 + u127 + a63);
}

TEST_F(LinkTest, EmptyTablesAndEntries) {
    // No socket table: every open fails with -3. No log function: nothing is logged.
    xrDevTcpSetCallback(nullptr, &FakeNet::kEvents, nullptr);
    int32_t id = xrDevTcpLogin("H", "u", "p");
    EXPECT_EQ(step(), Events{"error 1 -3"});
    // No SocketCheck: the check fails and the socket is kept. No SocketClose: it is forgotten.
    XR_DEV_TCP_SOCKET_CALLBACK_S s = FakeNet::kSockets;
    s.SocketCheck = nullptr;
    xrDevTcpSetCallback(&s, &FakeNet::kEvents, nullptr);
    EXPECT_EQ(step(), (Events{"open H", "error 1 -3"}));
    EXPECT_EQ(step(), Events{"error 1 -3"});
    s.SocketClose = nullptr;
    xrDevTcpSetCallback(&s, &FakeNet::kEvents, nullptr);
    xrDevTcpLogout(id);
    EXPECT_EQ(slot(0).iSocket + int(net.logs.size()), -1);
    // No event table: everything is handled silently. No SocketSend: sends fail and keep
    // their frame. No SocketRecv: the read fails and the link starts again.
    net.install();
    id = loginAndAccept(net, 5, tick);
    s = FakeNet::kSockets;
    s.SocketSend = nullptr;
    xrDevTcpSetCallback(&s, nullptr, nullptr);
    step(cat(frame(5, 6, {1}, "p"), frame(5, 7, {'x', 0})));
    EXPECT_EQ(xrDevTcpSend(id, XR_DEV_TCP_MSG_DATA, "ab", 2, nullptr, 0), XR_DEV_TCP_ERR_SOCKET);
    step();
    EXPECT_EQ(slot(0).uSendSize + slot(0).uRecvSize, 10u);
    s.SocketRecv = nullptr;
    xrDevTcpSetCallback(&s, nullptr, nullptr);
    EXPECT_EQ(step(), Events{"close 0"});
    EXPECT_EQ(slot(0).usDelayLevel, 1);
}

TEST_F(LinkTest, ReadThatLogsItsLinkOutEndsAllWorkOnIt) {
    static int32_t s_id;
    s_id = loginAndAccept(net, 9, tick);
    XR_DEV_TCP_SOCKET_CALLBACK_S s = FakeNet::kSockets;
    s.SocketRecv = [](int32_t, uint8_t *, uint32_t) { return xrDevTcpLogout(s_id), -1; };
    xrDevTcpSetCallback(&s, &FakeNet::kEvents, FakeNet::log);
    EXPECT_EQ(step(), Events{"close 0"});
    EXPECT_EQ(slot(0).usStatus, XR_DEV_TCP_STATUS_IDLE);
}

TEST_F(LinkTest, FullReceiveBufferIsServedWithoutARead) {  // no read fills it: set by hand
    loginAndAccept(net, 9, tick);
    Bytes full = frame(9, XR_DEV_TCP_MSG_DATA, Bytes(kBuf - 8, 1));
    std::copy(full.begin(), full.end(), slot(0).ucRecvBuf);
    slot(0).uRecvSize = kBuf;
    xrDevTcpSocketProc(0);
    EXPECT_EQ(net.take().size() + slot(0).uRecvSize, 1u);
}

TEST_F(LinkTest, OnlyTheLoginRequestGoesOutBeforeLoginAndWaitsForRoom) {
    int32_t id = xrDevTcpLogin("H", "u", "p");
    for (uint32_t type : {0u, 3u, 6u, 7u, 0x102u})
        EXPECT_EQ(xrDevTcpSend(id, type, "x", 1, nullptr, 0), XR_DEV_TCP_ERR_NOT_LOGINED);
    EXPECT_EQ(xrDevTcpSend(id, XR_DEV_TCP_MSG_LOGIN, "x", 1, nullptr, 0), 1);  // no socket: waits
    net.sendPlan = {0};
    for (uint32_t queued : {kBuf - 263, kBuf - 264}) slot(0).uSendSize = queued, step();
    EXPECT_EQ(slot(0).usStatus + slot(0).uSendSize, XR_DEV_TCP_STATUS_LOGINING + kBuf);
}

}  // namespace
