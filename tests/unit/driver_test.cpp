// The driver's timers (per-second passes, login timeout, back-off, keepalive, silence),
// the choice of address at every reset, redirects, and handlers that end their link.
#include "fake_net.h"

namespace {

using DriverTest = LibraryTest;

TEST(ElapsedTime, IsOneShortAcrossTheWrap) {
    const uint32_t rows[][3] = {{16, 0xFFFFFFF0u, 31}, {0, 0xFFFFFFFFu, 0}, {7, 7, 0}, {9, 1, 8}};
    for (auto &r : rows) EXPECT_EQ(devtcp::elapsedMs(r[0], r[1]), r[2]);
}

TEST_F(DriverTest, TimersFallToTheMillisecond) {
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

TEST_F(DriverTest, PassesRunOnceASecondWithoutCatchingUp) {
    xrDevTcpLogin("H", "u", "p");
    slot(0).usDelayLevel = 1;  // counts passes
    for (uint32_t t : {0, 999, 1000, 1000, 1999, 12000, 12999}) xrDevTcpProc(5000 + t);
    EXPECT_EQ(slot(0).usDelayCount, 2);
}

TEST_F(DriverTest, BackoffWaitsFifteenPassesPerLevelUpToTwenty) {
    xrDevTcpLogin("H", "u", "p");
    net.checkResult = 0;
    step();
    xrDevTcpProc(tick += 30000);  // times out
    for (int level = 1; level <= 2; ++level) {
        net.take(), net.logs.clear();
        for (int i = 1; i < 15 * level; ++i) xrDevTcpProc(tick += 1000);
        EXPECT_TRUE(net.take().empty() && net.logs.empty()) << "nothing during the wait";
        net.checkResult = level == 2;
        xrDevTcpProc(tick += 1000);  // the wait ends and the attempt starts in the same call
        EXPECT_EQ(net.take(), Events{"open H"});
        EXPECT_EQ(net.logs[0], "xrDevTcpSecondProc: delay count finish, usDelayCount=" +
                                   std::to_string(15 * level));
        if (level == 2) break;
        xrDevTcpProc(tick += 29000);  // the next timeout counts from the end of the wait
        EXPECT_EQ(slot(0).usDelayLevel, 1);
        xrDevTcpProc(tick += 1000);
    }
    EXPECT_EQ(step(loginReply(7, 0)), (Events{"online 1 ", "time 1 "}));
    EXPECT_EQ(slot(0).usDelayLevel, 0);  // a completed login clears the back-off
    for (uint16_t level : {19, 20}) {    // which stops at level 20
        xrDevTcpReset(0, nullptr, false);
        slot(0).usDelayLevel = level;
        slot(0).usDelayCount = uint16_t(level * 15);
        xrDevTcpProc(tick += 30000);
        EXPECT_EQ(slot(0).usDelayLevel, 20);
    }
}

TEST_F(DriverTest, OpenAndCheckFailuresAreReportedAndRetried) {
    const struct {
        int32_t open, check;
        Events expect;
    } rows[] = {{0, 1, {"open H"}},
                {0, 0, {"open H"}},  // not connected yet: the socket is kept
                {0, -1, {"open H", "error 1 -3", "error 1 -3"}},
                {-1, 1, {"open H", "error 1 -3", "open H", "error 1 -3"}}};
    for (auto &r : rows) {
        net.install();
        net.openResult = r.open, net.checkResult = r.check;
        xrDevTcpLogin("H", "u", "p");
        Events e = step(), more = step();
        e.insert(e.end(), more.begin(), more.end());
        EXPECT_EQ(e, r.expect);
    }
}

TEST_F(DriverTest, NextAddressAtEveryReset) {
    const char *rows[][6] = {// last good, current, given, timeout?, next current, next last good
                             {"", "B", nullptr, "", "H", ""},    {"A", "B", nullptr, "", "A", "A"},
                             {"A", "B", nullptr, "t", "A", "A"}, {"A", "A", nullptr, "t", "H", ""},
                             {"H", "H", nullptr, "t", "H", ""},  {"A", "B", "C", "t", "C", "A"},
                             {"A", "B", "", "", "A", "A"},       {"", "LONGER", "Z", "", "Z", ""}};
    xrDevTcpLogin("H", "u", "p");
    for (auto &r : rows) {
        strcpy(slot(0).szLastAddr, r[0]);
        strcpy(slot(0).szConnAddr, r[1]);
        xrDevTcpReset(0, r[2], *r[3]);
        EXPECT_EQ(std::string(slot(0).szConnAddr) + "/" + slot(0).szLastAddr,
                  std::string(r[4]) + "/" + r[5]);
    }
}

TEST_F(DriverTest, RedirectsAndLoginRepliesNamingAddresses) {
    loginAndAccept(net, 9, tick);
    EXPECT_EQ(step(loginReply(9, 0, "A", "T2")), Events{"time 1 T2"});  // same connection
    EXPECT_EQ(step(textFrame(9, XR_DEV_TCP_MSG_REDIRECT, "A")),
              (Events{"redirect 1 A", "close 0"}));
    EXPECT_EQ(hex(net.takeSent()), "0900000003000000") << "logout to H";
    EXPECT_EQ(step(), Events{"open A"});
    EXPECT_EQ(step(loginReply(3, 0, "H", "T")), Events{}) << "names the last good address";
    EXPECT_EQ(step(loginReply(3, 0, "B", "T")), (Events{"redirect 1 B", "close 1"}));
    EXPECT_EQ(net.takeSent().size(), 264u) << "no logout before login";
    EXPECT_EQ(step(), Events{"open B"});
    EXPECT_EQ(step(loginReply(5, 0, "B", "T3")), (Events{"online 1 ", "time 1 T3"}));
    EXPECT_STREQ(slot(0).szLastAddr, "B");
    for (const char *same : {"B", ""})
        EXPECT_TRUE(step(textFrame(5, XR_DEV_TCP_MSG_REDIRECT, same)).empty());
}

TEST_F(DriverTest, HandlersThatLogOutEndAllWorkOnTheSlot) {
    static int32_t s_id;
    auto reply = [&](const Bytes &r) { return xrDevTcpLogin("H", "u", "p"), step(), step(r); };
    auto installed = [&](XR_DEV_TCP_SOCKET_CALLBACK_S s) {
        s_id = loginAndAccept(net, 9, tick);
        xrDevTcpSetCallback(&s, &FakeNet::kEvents, nullptr);
    };
    std::function<Events()> runs[] = {
        [&] { return reply(loginReply(0, 77)); },
        [&] { return reply(loginReply(0, 0, "A")); },
        [&] { return reply(loginReply(6, 0, "", "T")); },
        [&] {
            return net.checkResult = 0, xrDevTcpLogin("H", "u", "p"), step(), step(),
                   xrDevTcpProc(tick += 30000), net.take();
        },
        [&] { return s_id = loginAndAccept(net, 9, tick), net.recvFail[0] = true, step(); },
        [&] {  // a read that logs out, then fails
            XR_DEV_TCP_SOCKET_CALLBACK_S s = FakeNet::kSockets;
            s.SocketRecv = [](int32_t, uint8_t *, uint32_t) { return xrDevTcpLogout(s_id), -1; };
            return installed(s), step();
        },
        [&] {  // the keepalive of the 90 s silence logs out, then fails
            XR_DEV_TCP_SOCKET_CALLBACK_S s = FakeNet::kSockets;
            s.SocketSend = [](int32_t, const uint8_t *, uint32_t) {
                return xrDevTcpLogout(s_id), -1;
            };
            return installed(s), xrDevTcpProc(tick += 90000), net.take();
        }};
    const struct {
        int run;
        const char *on;
        bool again;  // and logs in again
        Events expect;
    } rows[] = {{0, "error", false, {"error 1 77", "close 0"}},
                {0, "error", true, {"error 1 77", "close 0"}},
                {0, "offline", false, {"error 1 77", "close 0", "offline 1 "}},
                {1, "redirect", false, {"redirect 1 A", "close 0"}},
                {2, "online", false, {"online 1 ", "close 0"}},
                {3, "error", false, {"close 0", "error 1 -9"}},
                {4, "offline", false, {"close 0", "offline 1 "}},
                {5, "-", false, {"close 0"}},
                {6, "-", false, {"close 0"}}};
    for (auto &r : rows) {
        net.install();
        auto onEvent = [&] {
            if (net.events.back().rfind(r.on, 0) != 0) return;
            xrDevTcpLogout(devtcp::makeHandle(0));
            if (r.again) xrDevTcpLogin("H", "u", "p");
        };
        net.onError = [&](int32_t, int32_t) { onEvent(); };
        net.onNotify = [&](int32_t, uint32_t, const char *) { onEvent(); };
        EXPECT_EQ(runs[r.run](), r.expect) << r.on;
        EXPECT_EQ(slot(0).usStatus, r.again ? XR_DEV_TCP_STATUS_ALLOC : XR_DEV_TCP_STATUS_IDLE);
        EXPECT_EQ(slot(0).usDelayLevel + slot(0).uRecvSize, 0u);
        net.checkState();
    }
}

}  // namespace
