// Frames on the wire, the send queue's limits, partial writes and failed flushes.
#include <gtest/gtest.h>

#include <cstring>

#include "fake_net.h"

namespace {

using SendTest = LibraryTest;

TEST_F(SendTest, LoginRequestIsExactlyTheDocumentedFrame) {
    int32_t id = xrDevTcpLogin("H", "dev-01", "5820");
    xrDevTcpProc(tick);
    Bytes sent = net.takeSent();
    ASSERT_EQ(sent.size(), 264u);
    Bytes expect(264, 0);
    const uint8_t head[] = {0, 0, 0, 0, 2, 0, 0x00, 0x01};
    std::memcpy(expect.data(), head, 8);
    std::memcpy(expect.data() + 8, "dev-01", 6);
    std::memcpy(expect.data() + 8 + 128, "5820", 4);
    std::memcpy(expect.data() + 8 + 192, "1.3.0", 5);
    EXPECT_EQ(hex(sent), hex(expect));
    EXPECT_EQ(slot(0).usStatus, XR_DEV_TCP_STATUS_LOGINING);

    // The same slot with shorter texts: nothing of the earlier user or password is left
    // behind their terminators.
    xrDevTcpLogout(id);
    xrDevTcpLogin("H", "d", "5");
    xrDevTcpProc(tick += 50);
    sent = net.takeSent();
    ASSERT_EQ(sent.size(), 264u);
    std::memset(expect.data() + 8, 0, 192);
    std::memcpy(expect.data() + 8, "d", 1);
    std::memcpy(expect.data() + 8 + 128, "5", 1);
    EXPECT_EQ(hex(sent), hex(expect));
}

TEST_F(SendTest, FramesCarryTheSessionAndPaddedPeerSection) {
    int32_t id = loginAndAccept(net, 258, tick);
    const uint8_t data[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    EXPECT_EQ(xrDevTcpSend(id, XR_DEV_TCP_MSG_DATA, data, 10, "abcd", 5), 10);
    EXPECT_EQ(hex(net.takeSent()),
              "0201000006011600"
              "00000500"
              "6162636400"
              "000000"
              "00010203040506070809");
    EXPECT_EQ(xrDevTcpSend(id, XR_DEV_TCP_MSG_KEEPALIVE, nullptr, 0, nullptr, 0), 0);
    EXPECT_EQ(hex(net.takeSent()), "0201000000000000");

    // A peer name without a size, or a size without a name, writes no peer section.
    EXPECT_EQ(xrDevTcpSend(id, XR_DEV_TCP_MSG_STR, "hi", 3, "abcd", 0), 3);
    EXPECT_EQ(hex(net.takeSent()),
              "0201000007000300"
              "686900");
    EXPECT_EQ(xrDevTcpSend(id, XR_DEV_TCP_MSG_STR, "hi", 3, nullptr, 9), 3);
    EXPECT_EQ(hex(net.takeSent()),
              "0201000007000300"
              "686900");
    // Header and peer only; a peer length that is a multiple of 4 is not padded. The type's
    // low 8 bits go out.
    EXPECT_EQ(xrDevTcpSend(id, 0x1FF, nullptr, 0, "abc", 4), 0);
    EXPECT_EQ(hex(net.takeSent()),
              "02010000ff010800"
              "00000400"
              "61626300");
}

TEST_F(SendTest, QueueTakesWholeFramesUpToItsSize) {
    int32_t id = loginAndAccept(net, 1, tick);
    net.sendLimit = 0;  // the socket takes nothing for now
    Bytes big(2032, 0xAB);
    EXPECT_EQ(xrDevTcpSend(id, XR_DEV_TCP_MSG_DATA, big.data(), 2032, nullptr, 0), 2032);
    EXPECT_EQ(slot(0).uSendSize, 2040u);
    EXPECT_EQ(xrDevTcpSend(id, XR_DEV_TCP_MSG_DATA, "x", 1, nullptr, 0), XR_DEV_TCP_ERR_QUEUE_FULL);
    EXPECT_EQ(xrDevTcpSend(id, XR_DEV_TCP_MSG_KEEPALIVE, nullptr, 0, nullptr, 0), 0);
    EXPECT_EQ(slot(0).uSendSize, 2048u);
    // Sizes that would overflow the arithmetic are refused, not wrapped.
    EXPECT_EQ(xrDevTcpSend(id, 6, "x", 0xFFFFFFFFu, nullptr, 0), XR_DEV_TCP_ERR_QUEUE_FULL);
    EXPECT_EQ(xrDevTcpSend(id, 6, nullptr, 0, "p", 0xFFFFFFFDu), XR_DEV_TCP_ERR_QUEUE_FULL);
    EXPECT_EQ(slot(0).uSendSize, 2048u);
}

TEST_F(SendTest, OnlyTheLoginRequestGoesOutBeforeLogin) {
    int32_t id = xrDevTcpLogin("H", "u", "p");
    for (uint32_t type : {0u, 3u, 6u, 7u})
        EXPECT_EQ(xrDevTcpSend(id, type, "x", 1, nullptr, 0), XR_DEV_TCP_ERR_NOT_LOGINED);
    // Without a socket the frame waits in the queue.
    EXPECT_EQ(xrDevTcpSend(id, XR_DEV_TCP_MSG_LOGIN, "x", 1, nullptr, 0), 1);
    EXPECT_EQ(slot(0).uSendSize, 9u);
    EXPECT_EQ(xrDevTcpSend(id + 1, XR_DEV_TCP_MSG_LOGIN, "x", 1, nullptr, 0), XR_DEV_TCP_ERR_ARG);
    EXPECT_EQ(xrDevTcpSend(-1, XR_DEV_TCP_MSG_LOGIN, "x", 1, nullptr, 0), XR_DEV_TCP_ERR_ARG);
    EXPECT_EQ(xrDevTcpSend(0x20001, XR_DEV_TCP_MSG_LOGIN, "x", 1, nullptr, 0), XR_DEV_TCP_ERR_ARG);
}

TEST_F(SendTest, LoginRequestWaitsForRoomWhileConnected) {
    xrDevTcpLogin("H", "u", "p");
    net.checkResult = 0;
    xrDevTcpProc(tick += 50);  // socket open, not connected yet
    net.sendLimit = 0;
    slot(0).uSendSize = XR_DEV_TCP_BUF_SIZE - 263;
    net.checkResult = 1;
    xrDevTcpProc(tick += 50);
    EXPECT_EQ(slot(0).usStatus, XR_DEV_TCP_STATUS_CONNECTED);
    EXPECT_EQ(slot(0).uSendSize, XR_DEV_TCP_BUF_SIZE - 263u);
    slot(0).uSendSize = XR_DEV_TCP_BUF_SIZE - 264;
    xrDevTcpProc(tick += 50);
    EXPECT_EQ(slot(0).usStatus, XR_DEV_TCP_STATUS_LOGINING);
    EXPECT_EQ(slot(0).uSendSize, 2048u);
}

TEST_F(SendTest, PartialWritesKeepTheRestInOrder) {
    xrDevTcpLogin("H", "u", "p");
    net.sendLimit = 100;
    xrDevTcpProc(tick += 50);  // 100 bytes in the immediate flush, 100 in the tick's flush
    EXPECT_EQ(net.sent.size(), 200u);
    EXPECT_EQ(slot(0).uSendSize, 64u);
    EXPECT_EQ(slot(0).ucSendBuf[0], '1');  // frame byte 200 starts the version text
    net.sendLimit = -2;
    xrDevTcpProc(tick += 50);
    Bytes sent = net.takeSent();
    ASSERT_EQ(sent.size(), 264u);
    EXPECT_EQ(std::memcmp(sent.data() + 200, "1.3.0", 5), 0);
}

TEST_F(SendTest, FailedFlushKeepsTheFrameAndIsReportedEveryTick) {
    int32_t id = loginAndAccept(net, 3, tick);
    net.sendLimit = -1;
    EXPECT_EQ(xrDevTcpSend(id, XR_DEV_TCP_MSG_DATA, "abc", 3, nullptr, 0), XR_DEV_TCP_ERR_SOCKET);
    EXPECT_EQ(slot(0).uSendSize, 11u);
    xrDevTcpProc(tick += 50);
    xrDevTcpProc(tick += 50);
    EXPECT_EQ(net.take(), (std::vector<std::string>{"error 1 -3", "error 1 -3"}));
    EXPECT_EQ(slot(0).usStatus, XR_DEV_TCP_STATUS_LOGINED);
    net.sendLimit = -2;
    xrDevTcpProc(tick += 50);
    EXPECT_EQ(hex(net.takeSent()), "0300000006000300616263");
}

}  // namespace
