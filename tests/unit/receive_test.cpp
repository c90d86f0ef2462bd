// Cutting frames out of the byte stream, the session gate and every dispatch row.
#include <gtest/gtest.h>

#include "fake_net.h"

namespace {

// Logged in with session 0x55 before each case.
struct ReceiveTest : LibraryTest {
    int32_t id = 0;
    void SetUp() override {
        LibraryTest::SetUp();
        id = loginAndAccept(net, 0x55, tick);
    }
};

TEST_F(ReceiveTest, OneFramePerTickWhateverTheReadsDeliver) {
    Bytes wake = frame(0x55, XR_DEV_TCP_MSG_WAKE, {});
    Bytes data = frame(0x55, XR_DEV_TCP_MSG_DATA, {1, 0xAB, 0}, "abcd");
    EXPECT_EQ(step(cat(wake, data)), Events{"wake 1 "});
    int reads = net.recvCalls;
    EXPECT_EQ(step(), Events{"data 1 01ab00 abcd"});
    EXPECT_EQ(net.recvCalls, reads + 1);  // the read found nothing; the frame was held

    // Byte by byte: nothing until the last byte is in.
    Bytes str = frame(0x55, XR_DEV_TCP_MSG_STR, {'o', 'k', 0}, "p");
    for (size_t i = 0; i + 1 < str.size(); ++i) EXPECT_TRUE(step(Bytes{str[i]}).empty());
    EXPECT_EQ(step(Bytes{str.back()}), Events{"str 1 ok p"});
}

TEST_F(ReceiveTest, DispatchRowsAndForcedTerminators) {
    EXPECT_EQ(step(errorFrame(0x55, -77)), Events{"error 1 -77"});
    EXPECT_EQ(step(textFrame(0x55, XR_DEV_TCP_MSG_TIME, std::string(64, 't'))),
              Events{"time 1 " + std::string(63, 't')});
    // A sender that did not count the NULs loses the last character of each text.
    EXPECT_EQ(step(frame(0x55, XR_DEV_TCP_MSG_STR, {'a', 'b'}, "peer", 4)), Events{"str 1 a pee"});
    EXPECT_EQ(step(frame(0x55, XR_DEV_TCP_MSG_DATA, {9}, nullptr)), Events{"data 1 09 (null)"});
    EXPECT_EQ(step(frame(0x55, XR_DEV_TCP_MSG_STR, {'x', 0}, nullptr)), Events{"str 1 x (null)"});
    // Flags are read by bit 0 alone.
    EXPECT_EQ(step(frame(0x55, XR_DEV_TCP_MSG_DATA, {7}, "q", -1, 0x03)), Events{"data 1 07 q"});
    EXPECT_EQ(step(frame(0x55, XR_DEV_TCP_MSG_DATA, {7}, nullptr, -1, 0x02)),
              Events{"data 1 07 (null)"});
    // Types without action count as activity only.
    slot(0).uStamp = 0;
    EXPECT_TRUE(step(frame(0x55, 9, {1, 2, 3})).empty());
    EXPECT_EQ(slot(0).uStamp, tick);
    EXPECT_EQ(slot(0).uRecvSize, 0u);
}

TEST_F(ReceiveTest, SessionGateDropsOtherSessionsWithoutActivity) {
    slot(0).uStamp = 5;
    EXPECT_TRUE(step(frame(0x56, XR_DEV_TCP_MSG_WAKE, {})).empty());
    EXPECT_TRUE(step(loginReply(0x56, 9)).empty());  // even a login reply
    EXPECT_EQ(slot(0).uStamp, 5u);
    EXPECT_EQ(slot(0).usStatus, XR_DEV_TCP_STATUS_LOGINED);
    EXPECT_EQ(step(frame(0x55, XR_DEV_TCP_MSG_WAKE, {})), Events{"wake 1 "});
}

TEST_F(ReceiveTest, MalformedAndShortFramesAreSkippedByTheirLength) {
    Bytes wake = frame(0x55, XR_DEV_TCP_MSG_WAKE, {});
    Bytes badPeer = frame(0x55, XR_DEV_TCP_MSG_DATA, {}, "abcdefgh", 9);  // 4 + 12 > 8 + 0
    badPeer[6] = 8;
    badPeer.resize(16);
    const Bytes shortOnes[] = {
        badPeer,
        frame(0x55, XR_DEV_TCP_MSG_ERROR, {1, 2, 3}),
        frame(0x55, XR_DEV_TCP_MSG_LOGIN, Bytes(131, 0)),
        frame(0x55, XR_DEV_TCP_MSG_REDIRECT, Bytes(63, 'a')),
        frame(0x55, XR_DEV_TCP_MSG_TIME, Bytes(63, 'a')),
        frame(0x55, XR_DEV_TCP_MSG_STR, {}, "p"),
    };
    for (const Bytes &f : shortOnes) {
        slot(0).uStamp = 0;
        EXPECT_TRUE(step(cat(f, wake)).empty()) << hex(f);
        EXPECT_EQ(slot(0).uStamp, tick) << "counts as activity";
        EXPECT_EQ(step(), Events{"wake 1 "}) << "the next frame is intact";
    }
    // Peer length 0 is named "", and nothing before the name is written.
    Bytes zeroPeer = frame(0x55, XR_DEV_TCP_MSG_DATA, {5}, "", 0);
    EXPECT_EQ(step(zeroPeer), Events{"data 1 05 "});
}

TEST_F(ReceiveTest, OversizedFrameIsThrownAwayAsItArrivesAndTheLinkStaysUp) {
    Bytes huge = frame(0x55, XR_DEV_TCP_MSG_DATA, Bytes(3000, 0xEE));
    Bytes wake = frame(0x55, XR_DEV_TCP_MSG_WAKE, {});
    Bytes stream = cat(huge, wake);
    for (size_t at = 0; at < stream.size(); at += 1000)
        net.recvChunks.push_back(
            Bytes(stream.begin() + at, stream.begin() + std::min(stream.size(), at + 1000)));
    Events all;
    for (int i = 0; i < 6; ++i)
        for (auto &e : step()) all.push_back(e);
    EXPECT_EQ(all, Events{"wake 1 "});
    EXPECT_EQ(slot(0).usStatus, XR_DEV_TCP_STATUS_LOGINED);

    // Another session's oversized frame is skipped too, without counting as activity.
    slot(0).uStamp = 5;
    EXPECT_TRUE(step(frame(0x99, XR_DEV_TCP_MSG_DATA, Bytes(2041, 1))).empty());
    EXPECT_EQ(slot(0).uStamp, 5u);
    EXPECT_TRUE(step().empty());  // the last 9 bytes of it
    EXPECT_EQ(step(wake), Events{"wake 1 "});
}

TEST_F(ReceiveTest, FullBufferIsServedBeforeReadingAgain) {
    Bytes first = frame(0x55, XR_DEV_TCP_MSG_DATA, Bytes(1016, 1));  // 1024 bytes
    net.recvChunks.push_back(cat(first, first));
    net.recvChunks.push_back(Bytes{0xFF});
    step();
    EXPECT_EQ(slot(0).uRecvSize, 1024u);  // held the second frame, not read further
    int reads = net.recvCalls;
    step();
    EXPECT_EQ(net.recvCalls, reads + 1);
}

TEST_F(ReceiveTest, ReadClaimingMoreThanItsRoomCountsOnlyTheRoom) {
    net.recvChunks.push_back(Bytes(2000, 0));  // 8-byte frames of type 0, session 0
    step();
    ASSERT_EQ(slot(0).uRecvSize, 2000u - 8u);
    g_stDevTcp.stSocket.SocketRecv = [](int32_t, uint8_t *, uint32_t n) {
        return int32_t(n + 100);
    };
    step();
    EXPECT_EQ(slot(0).uRecvSize, 2048u - 8u);
    EXPECT_EQ(slot(0).usStatus, XR_DEV_TCP_STATUS_LOGINED);
}

TEST_F(ReceiveTest, BeforeLoginOnlySessionZeroIsActedOn) {
    xrDevTcpLogout(id);
    net.install();
    xrDevTcpLogin("H", "u", "p");
    step();
    EXPECT_EQ(step(textFrame(7, XR_DEV_TCP_MSG_REDIRECT, "A")), Events{});
    EXPECT_EQ(slot(0).uStamp, tick);
    EXPECT_EQ(
        step(textFrame(0, XR_DEV_TCP_MSG_REDIRECT, "A")),
        (Events{"redirect 1 A", "close 11", "log 0 xrDevTcpReset: Login status - Alloc, uInd=0"}));
}

TEST_F(ReceiveTest, RefusedLoginReportsTheAgentsCodeThenOffline) {
    xrDevTcpLogout(id);
    net.install();
    xrDevTcpLogin("H", "u", "p");
    step();
    EXPECT_EQ(step(cat(loginReply(0, 1234), frame(0, XR_DEV_TCP_MSG_WAKE, {}))),
              (Events{"error 1 1234", "close 11",
                      "log 0 xrDevTcpReset: Login status - Alloc, uInd=0", "offline 1 "}));
    EXPECT_EQ(slot(0).usDelayLevel, 1);
    EXPECT_EQ(slot(0).uRecvSize, 0u);  // the wake behind the reply went with the connection
    EXPECT_TRUE(step().empty());       // in back-off: no new socket
}

}  // namespace
