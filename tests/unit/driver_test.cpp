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
        bool logined;
        uint32_t after;
        size_t sent;
        Events expect;
    } rows[] = {
        {false, 29999, 0, {}}, {false, 30000, 0, {"close 0", "error 1 -9"}},
        {true, 59999, 0, {}},  {true, 60000, 8, {}},  // a keepalive
        {true, 89999, 8, {}},  {true, 90000, 8 + 264, {"close 0", "offline 1 ", "open H"}},
    };
    for (auto &r : rows) {
        net.install();
        if (r.logined) {
            loginAndAccept(net, 9, tick);
        } else {
            xrDevTcpLogin("H", "u", "p");  // stamped with tick 0: the first tick restarts it
            net.checkResult = 0;
            step();
        }
        net.take();
        xrDevTcpProc(tick + r.after);
        EXPECT_EQ(net.take(), r.expect) << r.after;
        EXPECT_EQ(net.takeSent().size(), r.sent) << r.after;
    }
}

TEST_F(DriverTest, PassesRunOnceASecondWithoutCatchingUp) {
    xrDevTcpLogin("H", "u", "p");
    slot(0).usDelayLevel = 1;
    xrDevTcpProc(5000);  // the first call starts the clock
    const uint32_t rows[][2] = {{999, 0}, {1000, 1}, {1000, 1}, {1999, 1}, {12000, 2}, {12999, 2}};
    for (auto &r : rows) {
        xrDevTcpProc(5000 + r[0]);
        EXPECT_EQ(slot(0).usDelayCount, r[1]) << r[0];
    }
}

TEST_F(DriverTest, BackoffWaitsFifteenPassesPerLevelUpToTwenty) {
    xrDevTcpLogin("H", "u", "p");
    net.checkResult = 0;
    step();
    uint32_t t = tick + 30000;
    xrDevTcpProc(t);  // times out
    for (int level = 1; level <= 2; ++level) {
        net.take();
        for (int i = 1; i < 15 * level; ++i) xrDevTcpProc(t += 1000);
        EXPECT_TRUE(net.take().empty()) << "no socket during the wait";
        net.checkResult = level == 2;
        xrDevTcpProc(t += 1000);  // the wait ends and the attempt starts in the same call
        EXPECT_EQ(net.take(), Events{"open H"});
        if (level == 2) break;
        xrDevTcpProc(t += 29000);  // the next timeout counts from the end of the wait
        EXPECT_EQ(slot(0).usDelayLevel, 1);
        xrDevTcpProc(t += 1000);
        EXPECT_EQ(slot(0).usDelayLevel, 2);
    }
    // A completed login clears the back-off.
    tick = t;
    EXPECT_EQ(step(loginReply(7, 0)), (Events{"online 1 ", "time 1 "}));
    EXPECT_EQ(slot(0).usDelayLevel + slot(0).usDelayCount, 0);
    // The level stops at 20.
    for (uint16_t level : {19, 20}) {
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
    } rows[] = {
        {0, 1, {"open H"}},
        {0, 0, {"open H"}},  // not connected yet: the socket is kept
        {0, -1, {"open H", "error 1 -3", "error 1 -3"}},
        {-1, 1, {"open H", "error 1 -3", "open H", "error 1 -3"}},
    };
    for (auto &r : rows) {
        net.install();
        net.openResult = r.open;
        net.checkResult = r.check;
        xrDevTcpLogin("H", "u", "p");
        Events e = step(), more = step();
        e.insert(e.end(), more.begin(), more.end());
        EXPECT_EQ(e, r.expect);
    }
}

TEST_F(DriverTest, NextAddressAtEveryReset) {
    const struct {
        const char *last, *conn, *given;
        bool timeout;
        const char *nextConn, *nextLast;
    } rows[] = {
        {"", "B", nullptr, false, "H", ""},  {"A", "B", nullptr, false, "A", "A"},
        {"A", "B", nullptr, true, "A", "A"}, {"A", "A", nullptr, true, "H", ""},
        {"H", "H", nullptr, true, "H", ""},  {"A", "B", "C", true, "C", "A"},
        {"A", "B", "", false, "A", "A"},     {"", "LONGER", "Z", false, "Z", ""},
    };
    xrDevTcpLogin("H", "u", "p");
    for (auto &r : rows) {
        strcpy(slot(0).szLastAddr, r.last);
        strcpy(slot(0).szConnAddr, r.conn);
        xrDevTcpReset(0, r.given, r.timeout);
        EXPECT_EQ(std::string(slot(0).szConnAddr) + "/" + slot(0).szLastAddr,
                  std::string(r.nextConn) + "/" + r.nextLast);
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
    XR_DEV_TCP_SOCKET_CALLBACK_S s = FakeNet::kSockets;
    auto begin = [&] {
        xrDevTcpLogin("H", "u", "p");
        step();
    };
    std::function<Events()> refused = [&] { return begin(), step(loginReply(0, 77)); };
    std::function<Events()> redirected = [&] { return begin(), step(loginReply(0, 0, "A")); };
    std::function<Events()> accepted = [&] { return begin(), step(loginReply(6, 0, "", "T")); };
    std::function<Events()> timedOut = [&] {
        net.checkResult = 0;
        begin();
        xrDevTcpProc(tick += 30000);
        return net.take();
    };
    std::function<Events()> readFails = [&] {
        loginAndAccept(net, 9, tick);
        net.recvFail[0] = true;
        return step();
    };
    std::function<Events()> socketLogsOut[2] = {
        [&] {  // a read that logs out and then fails
            s_id = loginAndAccept(net, 9, tick);
            s.SocketRecv = [](int32_t, uint8_t *, uint32_t) { return xrDevTcpLogout(s_id), -1; };
            xrDevTcpSetCallback(&s, &FakeNet::kEvents, nullptr);
            return step();
        },
        [&] {  // the keepalive of the 90 s silence
            s_id = loginAndAccept(net, 9, tick);
            s.SocketSend = [](int32_t, const uint8_t *, uint32_t) {
                return xrDevTcpLogout(s_id), -1;
            };
            xrDevTcpSetCallback(&s, &FakeNet::kEvents, nullptr);
            xrDevTcpProc(tick += 90000);
            return net.take();
        }};
    const struct {
        std::function<Events()> &run;
        const char *on;
        bool again;  // and logs in again
        Events expect;
    } rows[] = {
        {refused, "error", false, {"error 1 77", "close 0"}},
        {refused, "error", true, {"error 1 77", "close 0"}},
        {refused, "offline", false, {"error 1 77", "close 0", "offline 1 "}},
        {redirected, "redirect", false, {"redirect 1 A", "close 0"}},
        {accepted, "online", false, {"online 1 ", "close 0"}},
        {timedOut, "error", false, {"close 0", "error 1 -9"}},
        {readFails, "offline", false, {"close 0", "offline 1 "}},
        {socketLogsOut[0], "-", false, {"close 0"}},
        {socketLogsOut[1], "-", false, {"close 0"}},
    };
    for (auto &r : rows) {
        net.install();
        s = FakeNet::kSockets;
        auto onEvent = [&] {
            if (net.events.back().rfind(r.on, 0) != 0) return;
            xrDevTcpLogout(devtcp::makeHandle(0));
            if (r.again) xrDevTcpLogin("H", "u", "p");
        };
        net.onError = [&](int32_t, int32_t) { onEvent(); };
        net.onNotify = [&](int32_t, uint32_t, const char *) { onEvent(); };
        EXPECT_EQ(r.run(), r.expect) << r.on;
        EXPECT_EQ(slot(0).usStatus, r.again ? XR_DEV_TCP_STATUS_ALLOC : XR_DEV_TCP_STATUS_IDLE);
        EXPECT_EQ(slot(0).usDelayLevel + slot(0).uRecvSize, 0u);
        net.checkState();
    }
}

}  // namespace
