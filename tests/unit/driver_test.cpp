// SPDX-License-Identifier: MIT
// The timers to the millisecond: per-second passes, login timeout, keepalive, silence.
#include "fake_net.h"

namespace {

TEST(ElapsedTime, IsOneShortAcrossTheWrap) {
    const uint32_t rows[][3] = {{16, 0xFFFFFFF0u, 31}, {0, 0xFFFFFFFFu, 0}, {7, 7, 0}, {9, 1, 8}};
    for (auto &r : rows) EXPECT_EQ(devtcp::elapsedMs(r[0], r[1]), r[2]);
}

TEST_F(LibraryTest, TimersFallToTheMillisecond) {
    const struct {
        int state;  // 0: logged in; 1, 2: connecting, logged in before or after the first tick
        uint32_t after;
        size_t sent;
        Events expect;
    } rows[] = {{1, 29999, 0, {}},
                {2, 29999, 0, {}},
                {1, 30000, 0, {"close 0", "error 1 -9"}},
                {0, 59999, 0, {}},
                {0, 60000, 8, {}},  // a keepalive
                {0, 89999, 8, {}},
                {0, 90000, 8 + 264, {"close 0", "offline 1 ", "open H"}}};
    for (auto &r : rows) {
        net.install();
        net.checkResult = r.state ? 0 : 1;
        if (r.state == 2) step();
        uint32_t from = tick;
        if (r.state) xrDevTcpLogin("H", "u", "p"), step();  // the first tick restarts the timer
        if (!r.state) from = (loginAndAccept(net, 9, tick), tick);
        net.take();
        xrDevTcpProc(from + (r.state == 1 ? 50 : 0) + r.after);
        EXPECT_EQ(net.take(), r.expect) << r.after;
        EXPECT_EQ(net.takeSent().size(), r.sent) << r.after;
    }
}

TEST_F(LibraryTest, PassesRunOnceASecondWithoutCatchingUp) {
    xrDevTcpLogin("H", "u", "p");
    slot(0).usDelayLevel = 1;  // counts passes
    for (uint32_t t : {0, 999, 1000, 1000, 1999, 12000, 12999}) xrDevTcpProc(5000 + t);
    xrDevTcpSecondProc(1);  // a free slot has nothing to count or to write
    EXPECT_EQ(xrDevTcpFlush(1), 0);
    EXPECT_EQ(slot(0).usDelayCount + slot(1).usDelayCount, 2);
}

TEST_F(LibraryTest, BackoffStopsAtItsCapAndAnEmptyPeerSectionIsStillAPeer) {
    int32_t id = loginAndAccept(net, 9, tick);
    // A frame whose peer section is only its prefix names the empty peer.
    EXPECT_EQ(step(frame(9, XR_DEV_TCP_MSG_DATA, {}, "", 0)), Events{"data 1  "});
    slot(0).usDelayLevel = 20;
    net.recvFail[0] = true;
    step();
    EXPECT_EQ(slot(0).usDelayLevel, 20) << id;
}

}  // namespace
