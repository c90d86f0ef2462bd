// Edges that the stories elsewhere do not reach: handlers that end the link at awkward
// moments, tables with empty entries, a second login reply on one connection, and the
// guards of the internal steps.
#include <gtest/gtest.h>

#include <algorithm>

#include "fake_net.h"

namespace {

bool has(const Events &ev, const std::string &prefix) {
    return std::any_of(ev.begin(), ev.end(),
                       [&](const std::string &e) { return e.rfind(prefix, 0) == 0; });
}

using EdgeTest = LibraryTest;

TEST_F(EdgeTest, HandlersThatLogOutLeaveAFreeSlotWithoutBackoff) {
    // The login timeout's error.
    net.checkResult = 0;
    net.onError = [](int32_t id, int32_t e) {
        if (e == XR_DEV_TCP_ERR_LOGIN_TIMEOUT) xrDevTcpLogout(id);
    };
    xrDevTcpLogin("H", "u", "p");
    for (int i = 0; i < 700 && slot(0).usStatus != XR_DEV_TCP_STATUS_IDLE; ++i) step();
    expectFree(0);

    // The Offline of a refused login, and of a failed read.
    net.onError = nullptr;
    net.checkResult = 1;
    net.onNotify = [](int32_t id, uint32_t type, const char *) {
        if (type == XR_DEV_TCP_NOTIFY_OFFLINE) xrDevTcpLogout(id);
    };
    xrDevTcpLogin("H", "u", "p");
    step();
    Events ev = step(loginReply(0, 77));
    EXPECT_TRUE(has(ev, "offline"));
    expectFree(0);

    loginAndAccept(net, 9, tick);
    net.recvFail = true;
    EXPECT_TRUE(has(step(), "offline"));
    expectFree(0);
}

TEST_F(EdgeTest, SlotTakenAgainInsideTheErrorHandlerIsLeftAlone) {
    // The handler logs out and back in: the slot is allocated again under a new
    // sequence, and the refused login's reset and back-off must not touch it.
    xrDevTcpLogin("H", "u", "p");
    step();
    net.onError = [](int32_t id, int32_t) {
        xrDevTcpLogout(id);
        xrDevTcpLogin("H", "u", "p");
    };
    Events ev = step(loginReply(0, 77));
    EXPECT_FALSE(has(ev, "log 0 xrDevTcpReset"));
    EXPECT_FALSE(has(ev, "offline"));
    EXPECT_EQ(slot(0).usStatus, XR_DEV_TCP_STATUS_ALLOC);
    EXPECT_EQ(slot(0).usSeq, 3);
    EXPECT_EQ(slot(0).usDelayLevel, 0);
    EXPECT_EQ(slot(0).iSocket, -1);
}

TEST_F(EdgeTest, SocketLayerThatEndsTheLinkFromItsOwnOperation) {
    static int32_t s_id;
    XR_DEV_TCP_SOCKET_CALLBACK_S s = g_stDevTcp.stSocket;
    XR_DEV_TCP_CALLBACK_S c = g_stDevTcp.stCallback;

    // A read that logs the link out before it reports the failure: no reset follows.
    s_id = loginAndAccept(net, 9, tick);
    s.SocketRecv = [](int32_t, uint8_t *, uint32_t) -> int32_t {
        xrDevTcpLogout(s_id);
        return -1;
    };
    xrDevTcpSetCallback(&s, &c, g_stDevTcp.lpLog);
    Events ev = step();
    EXPECT_FALSE(has(ev, "offline"));
    EXPECT_FALSE(has(ev, "log 0 xrDevTcpReset"));
    expectFree(0);

    // The 90 s silence: the last keepalive's write logs the link out; the silence reset
    // must not bring the freed slot back.
    net.install();
    s = g_stDevTcp.stSocket;
    s_id = loginAndAccept(net, 9, tick);
    s.SocketSend = [](int32_t, const uint8_t *, uint32_t) -> int32_t {
        xrDevTcpLogout(s_id);
        return -1;
    };
    xrDevTcpSetCallback(&s, &c, g_stDevTcp.lpLog);
    xrDevTcpProc(tick += 90000);
    EXPECT_FALSE(has(net.take(), "offline"));
    expectFree(0);
}

TEST_F(EdgeTest, EmptySocketAndEventEntriesCountAsFailuresOrDroppedEvents) {
    XR_DEV_TCP_SOCKET_CALLBACK_S s = g_stDevTcp.stSocket;
    XR_DEV_TCP_CALLBACK_S c = g_stDevTcp.stCallback;
    auto log = g_stDevTcp.lpLog;

    // No SocketCheck: every check fails with -3 and the socket is kept.
    s.SocketCheck = nullptr;
    xrDevTcpSetCallback(&s, &c, log);
    int32_t id = xrDevTcpLogin("H", "u", "p");
    net.take();
    EXPECT_EQ(step(), (Events{"open H", "error 1 -3"}));
    EXPECT_EQ(step(), Events{"error 1 -3"});
    EXPECT_EQ(slot(0).iSocket, 10);

    // No SocketClose: the handle is forgotten all the same.
    s.SocketClose = nullptr;
    xrDevTcpSetCallback(&s, &c, log);
    xrDevTcpLogout(id);
    EXPECT_TRUE(net.closed.empty());
    expectFree(0);

    // No SocketSend: a send reports -3 and keeps its frame; so does every tick.
    net.install();
    s = g_stDevTcp.stSocket;
    id = loginAndAccept(net, 9, tick);
    s.SocketSend = nullptr;
    c.TcpError = nullptr;  // and no error handler: the -3 of the tick goes nowhere
    xrDevTcpSetCallback(&s, &c, log);
    EXPECT_EQ(xrDevTcpSend(id, XR_DEV_TCP_MSG_DATA, "ab", 2, nullptr, 0), XR_DEV_TCP_ERR_SOCKET);
    EXPECT_EQ(slot(0).uSendSize, 10u);
    EXPECT_TRUE(step().empty());
    EXPECT_EQ(slot(0).uSendSize, 10u);

    // No TcpReceiveStr: the string frame is consumed silently.
    c.TcpReceiveStr = nullptr;
    xrDevTcpSetCallback(&s, &c, log);
    EXPECT_TRUE(step(frame(9, XR_DEV_TCP_MSG_STR, {'x', 0}, "p")).empty());
    EXPECT_EQ(slot(0).uRecvSize, 0u);

    // No SocketRecv: the read counts as failed and the link starts again.
    s.SocketRecv = nullptr;
    xrDevTcpSetCallback(&s, &c, log);
    EXPECT_TRUE(has(step(), "offline 1"));
    EXPECT_EQ(slot(0).usStatus, XR_DEV_TCP_STATUS_ALLOC);
    EXPECT_EQ(slot(0).usDelayLevel, 1);
}

TEST_F(EdgeTest, FurtherLoginReplyOnTheSameConnectionNeverRedirects) {
    // Once logged in, szConnAddr is empty: a later accepted reply naming an address
    // completes again in place, telling only Time.
    loginAndAccept(net, 9, tick);
    EXPECT_EQ(
        step(loginReply(9, 0, "A", "T2")),
        (Events{"log 0 xrDevTcpSocketProcLogin: Login status - Logined, uInd=0", "time 1 T2"}));
    EXPECT_STREQ(slot(0).szLastAddr, "H");
    EXPECT_EQ(slot(0).iSocket, 10);
}

TEST_F(EdgeTest, OversizedFrameSurvivesEmptyReadsWhileBeingSkipped) {
    loginAndAccept(net, 9, tick);
    Bytes huge = frame(9, XR_DEV_TCP_MSG_DATA, Bytes(2100, 0xEE));
    Bytes wake = frame(9, XR_DEV_TCP_MSG_WAKE, {});
    EXPECT_TRUE(step(Bytes(huge.begin(), huge.begin() + 100)).empty());
    EXPECT_TRUE(step().empty());  // nothing arrives while the rest is owed
    EXPECT_TRUE(step().empty());
    EXPECT_EQ(step(cat(Bytes(huge.begin() + 100, huge.end()), wake)), Events{"wake 1 "});
}

TEST_F(EdgeTest, PeerFlagOnAPayloadTooShortForThePeerLengthIsMalformed) {
    // The peer length would lie past the frame's end: the frame is skipped by its length.
    loginAndAccept(net, 9, tick);
    Bytes tiny = frame(9, XR_DEV_TCP_MSG_DATA, {0x7F, 0x00}, nullptr, -1, XR_DEV_TCP_FLAG_PEER);
    slot(0).uStamp = 0;
    EXPECT_TRUE(step(cat(tiny, frame(9, XR_DEV_TCP_MSG_WAKE, {}))).empty());
    EXPECT_EQ(slot(0).uStamp, tick);
    EXPECT_EQ(step(), Events{"wake 1 "});
}

TEST_F(EdgeTest, InternalStepsGuardTheirOwnPreconditions) {
    // A free slot: the per-second pass, login progress and flush do nothing.
    xrDevTcpSecondProc(1);
    xrDevTcpLoginProc(1);
    EXPECT_EQ(xrDevTcpFlush(1), 0);
    EXPECT_TRUE(net.take().empty());
    expectFree(1);

    // An empty address given to a reset counts as none: the last good one is retried.
    loginAndAccept(net, 9, tick);
    xrDevTcpLoginProc(0);  // logged in: nothing to progress
    EXPECT_TRUE(net.take().empty());
    xrDevTcpReset(0, "", false);
    EXPECT_STREQ(slot(0).szConnAddr, "H");

    // A full receive buffer is never offered to SocketRecv as zero bytes of room; the
    // public calls cannot fill it (a frame leaves with every read), so it is set here.
    net.install();
    loginAndAccept(net, 9, tick);
    Bytes full = frame(9, XR_DEV_TCP_MSG_DATA, Bytes(2040, 1));
    std::copy(full.begin(), full.end(), slot(0).ucRecvBuf);
    slot(0).uRecvSize = XR_DEV_TCP_BUF_SIZE;
    int reads = net.recvCalls;
    xrDevTcpSocketProc(0);
    EXPECT_EQ(net.recvCalls, reads);
    EXPECT_TRUE(has(net.take(), "data 1 0101"));
    EXPECT_EQ(slot(0).uRecvSize, 0u);
}

}  // namespace
