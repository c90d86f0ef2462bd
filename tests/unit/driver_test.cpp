// The driver's timers: per-second passes, the wrap rule, login timeout, back-off,
// keepalive and the silence limit.
#include <gtest/gtest.h>

#include "fake_net.h"

namespace {

struct DriverTest : LibraryTest {
    // Calls xrDevTcpProc every 50 ms from `from` up to `to` inclusive.
    uint32_t run(uint32_t from, uint32_t to) {
        for (uint32_t t = from; t <= to; t += 50) xrDevTcpProc(t);
        return to;
    }
};

TEST(ElapsedTime, IsOneShortAcrossTheWrap) {
    EXPECT_EQ(devtcp::elapsedMs(16, 0xFFFFFFF0u), 31u);
    EXPECT_EQ(devtcp::elapsedMs(0, 0xFFFFFFFFu), 0u);
    EXPECT_EQ(devtcp::elapsedMs(1000, 1000), 0u);
    EXPECT_EQ(devtcp::elapsedMs(1000, 1), 999u);
}

TEST_F(DriverTest, FirstTickRestartsTimersAndPassesRunEverySecond) {
    xrDevTcpLogin("H", "u", "p");  // stamped with tick 0
    net.openResult = -1;
    xrDevTcpProc(500000);
    EXPECT_EQ(net.take(), (Events{"log 0 xrDevTcpLogin: Login status - Alloc, uInd=0", "open H",
                                  "error 1 -3"}));
    // The connection never comes: the timeout falls at the first pass 30 s after the
    // first tick, not at once.
    net.openResult = 0;
    net.checkResult = 0;
    run(500050, 529950);
    EXPECT_EQ(slot(0).usStatus, XR_DEV_TCP_STATUS_ALLOC);
    net.take();
    xrDevTcpProc(530000);
    EXPECT_EQ(net.take(), (Events{"close 10", "log 0 xrDevTcpReset: Login status - Alloc, uInd=0",
                                  "error 1 -9"}));
    EXPECT_EQ(slot(0).usDelayLevel, 1);

    // Passes: at 999 ms none, at 1000 ms one; a 10 s gap gives exactly one.
    xrDevTcpProc(530999);
    EXPECT_EQ(slot(0).usDelayCount, 0);
    xrDevTcpProc(531000);
    EXPECT_EQ(slot(0).usDelayCount, 1);
    xrDevTcpProc(541000);
    EXPECT_EQ(slot(0).usDelayCount, 2);
}

TEST_F(DriverTest, BackoffCountsPassesThenRetriesInTheSameCall) {
    xrDevTcpLogin("H", "u", "p");
    net.checkResult = 0;
    uint32_t t = run(1000, 31000);  // times out at 31000
    ASSERT_EQ(slot(0).usDelayLevel, 1);
    net.take();
    t = run(t + 50, 31000 + 14 * 1000 + 950);
    EXPECT_EQ(slot(0).usDelayCount, 14);
    EXPECT_TRUE(net.take().empty()) << "no socket during the wait";
    xrDevTcpProc(46000);
    EXPECT_EQ(net.take(),
              (Events{"log 0 xrDevTcpSecondProc: delay count finish, usDelayCount=15", "open H"}));
    // The next timeout is 30 s after the end of the wait.
    run(46050, 75950);
    EXPECT_EQ(slot(0).usDelayLevel, 1);
    xrDevTcpProc(76000);
    EXPECT_EQ(slot(0).usDelayLevel, 2);

    // The level stops at 20, the wait at 300 passes.
    slot(0).usDelayLevel = 20;
    slot(0).usDelayCount = 300;
    slot(0).uStamp = 0;
    xrDevTcpProc(77000);
    EXPECT_EQ(slot(0).usDelayLevel, 20);
    EXPECT_EQ(slot(0).usDelayCount, 0);
}

TEST_F(DriverTest, TimersWorkAcrossTheTickWrap) {
    xrDevTcpLogin("H", "u", "p");
    net.checkResult = 0;
    uint32_t start = 0xFFFFFFFFu - 20000;
    xrDevTcpProc(start);
    // 30000 ms by the wrap rule is reached one tick later than by plain subtraction.
    uint32_t plain = start + 30000;
    for (uint32_t t = start + 1000; t != plain; t += 1000) xrDevTcpProc(t);
    EXPECT_EQ(slot(0).usDelayLevel, 0);
    xrDevTcpProc(plain + 1000);
    EXPECT_EQ(slot(0).usDelayLevel, 1);
}

TEST_F(DriverTest, ConnectAndLoginRequestInOneCall) {
    xrDevTcpLogin("H", "u", "p");
    xrDevTcpProc(100);
    EXPECT_EQ(net.take(), (Events{"log 0 xrDevTcpLogin: Login status - Alloc, uInd=0", "open H",
                                  "log 0 xrDevTcpLoginProc: Login status - Connected, uInd=0",
                                  "log 0 xrDevTcpLoginProc: Login status - Logining, uInd=0"}));
    // A failing check keeps the socket and is reported on every tick.
    xrDevTcpLogout(1);
    xrDevTcpLogin("H", "u", "p");
    net.checkResult = -1;
    xrDevTcpProc(150);
    xrDevTcpProc(200);
    EXPECT_EQ(net.take(), (Events{"close 10", "log 0 xrDevTcpLogout: Login status - Idle, uInd=0",
                                  "log 0 xrDevTcpLogin: Login status - Alloc, uInd=0", "open H",
                                  "error 3 -3", "error 3 -3"}));
    EXPECT_EQ(slot(0).iSocket, 11);
}

TEST_F(DriverTest, KeepaliveAfterSixtySecondsAndDropAfterNinety) {
    uint32_t t = 1000;
    loginAndAccept(net, 0x102, t);  // the reply arrived at 1100
    // Passes run at 3000, 4000, ...; silence is measured from 1100.
    for (uint32_t p = 2000; p <= 61000; p += 1000) xrDevTcpProc(p);
    EXPECT_TRUE(net.takeSent().empty()) << "59900 ms of silence";
    xrDevTcpProc(62000);
    EXPECT_EQ(hex(net.takeSent()), "0201000000000000");
    xrDevTcpProc(63000);
    EXPECT_EQ(net.takeSent().size(), 8u);
    // A frame at 70 s restarts the count.
    net.recvChunks.push_back(frame(0x102, XR_DEV_TCP_MSG_WAKE, {}));
    xrDevTcpProc(70000);
    EXPECT_EQ(net.takeSent().size(), 8u) << "the pass ran before the frame was read";
    uint32_t p = 71000;
    for (; p <= 129000; p += 1000) xrDevTcpProc(p);
    EXPECT_TRUE(net.takeSent().empty());
    for (; p < 70000 + 90000; p += 1000) xrDevTcpProc(p);
    net.take();
    net.takeSent();
    xrDevTcpProc(160000);
    Bytes sent = net.takeSent();
    ASSERT_EQ(sent.size(), 8u + 264u) << "last keepalive, then the new login request";
    EXPECT_EQ(hex(Bytes(sent.begin(), sent.begin() + 8)), "0201000000000000");
    EXPECT_EQ(net.take(),
              (Events{"close 10", "log 0 xrDevTcpReset: Login status - Alloc, uInd=0", "offline 1 ",
                      "open H", "log 0 xrDevTcpLoginProc: Login status - Connected, uInd=0",
                      "log 0 xrDevTcpLoginProc: Login status - Logining, uInd=0"}));
    EXPECT_EQ(slot(0).usDelayLevel, 0);
}

}  // namespace
