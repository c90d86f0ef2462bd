// Frames on the wire, the send queue's limits, partial writes and failed flushes.
#include "fake_net.h"

namespace {

using SendTest = LibraryTest;

TEST_F(SendTest, LoginRequestIsExactlyTheDocumentedFrame) {
    // A second, shorter user and password leave nothing of the first behind.
    for (const char *user : {"dev-01", "d"}) {
        net.install();
        int32_t id = xrDevTcpLogin("H", "dev-01", "5820");
        if (!user[1]) xrDevTcpLogout(id), xrDevTcpLogin("H", "d", "5");
        step();
        Bytes expect = cat(frame(0, 2, Bytes(256, 0)), {});
        std::string pass = user[1] ? "5820" : "5";
        std::copy(user, user + strlen(user), expect.begin() + 8);
        std::copy(pass.begin(), pass.end(), expect.begin() + 136);
        std::copy_n("1.3.0", 5, expect.begin() + 200);
        EXPECT_EQ(hex(net.takeSent()), hex(expect));
    }
}

TEST_F(SendTest, FramesCarryTheSessionAndAPaddedPeerSection) {
    int32_t id = loginAndAccept(net, 258, tick);
    const uint8_t data[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    struct {
        uint32_t type, size;
        const char *peer;
        uint32_t peerSize;
        const char *hex;
    } rows[] = {
        {6, 10, "abcd", 5, "020100000601160000000500616263640000000000010203040506070809"},
        {0x1FF, 0, "abc", 4, "02010000ff0108000000040061626300"},  // low 8 bits of the type
        {7, 3, "abcd", 0, "0201000007000300000102"},               // a peer without a size,
        {7, 3, nullptr, 9, "0201000007000300000102"},              // or a size without a peer: none
        {0, 0, nullptr, 0, "0201000000000000"},
    };
    for (auto &r : rows) {
        // Stale bytes in the queue under where the padding goes must not show through.
        xrDevTcpSend(id, 6, Bytes(40, 0xEE).data(), 40, nullptr, 0);
        net.takeSent();
        EXPECT_EQ(xrDevTcpSend(id, r.type, data, r.size, r.peer, r.peerSize), int32_t(r.size));
        EXPECT_EQ(hex(net.takeSent()), r.hex);
    }
}

TEST_F(SendTest, QueueTakesWholeFramesUpToItsSize) {
    int32_t id = loginAndAccept(net, 1, tick);
    net.sendPlan = {0};
    Bytes big(kBuf, 0xAB);
    struct {
        uint32_t size, peerSize;
        int32_t result;
        uint32_t queued;
    } rows[] = {
        {kBuf - 16, 0, int32_t(kBuf) - 16, kBuf - 8},
        {1, 0, XR_DEV_TCP_ERR_QUEUE_FULL, kBuf - 8},
        {0, 0, 0, kBuf},
        {0, 0, XR_DEV_TCP_ERR_QUEUE_FULL, kBuf},
        {0xFFFFFFFFu, 0, XR_DEV_TCP_ERR_QUEUE_FULL, kBuf},
        {0, 0xFFFFFFFDu, XR_DEV_TCP_ERR_QUEUE_FULL, kBuf},
    };
    for (auto &r : rows) {
        EXPECT_EQ(xrDevTcpSend(id, 6, big.data(), r.size, "p", r.peerSize), r.result);
        EXPECT_EQ(slot(0).uSendSize, r.queued);
    }
    // A frame of the whole queue's size fits an empty queue, with a peer section too.
    net.sendPlan = {};
    xrDevTcpProc(tick += 50);
    EXPECT_EQ(xrDevTcpSend(id, 6, big.data(), kBuf - 16, "abcdefg", 4), int32_t(kBuf) - 16);
    EXPECT_EQ(net.takeSent().size(), 2 * kBuf);
}

TEST_F(SendTest, OnlyTheLoginRequestGoesOutBeforeLogin) {
    int32_t id = xrDevTcpLogin("H", "u", "p");
    for (uint32_t type : {0u, 3u, 6u, 7u, 0x102u})
        EXPECT_EQ(xrDevTcpSend(id, type, "x", 1, nullptr, 0), XR_DEV_TCP_ERR_NOT_LOGINED);
    EXPECT_EQ(xrDevTcpSend(id, XR_DEV_TCP_MSG_LOGIN, "x", 1, nullptr, 0), 1);  // waits: no socket
    EXPECT_EQ(slot(0).uSendSize, 9u);
    // The login request itself waits while the queue has no room for it.
    net.install();
    xrDevTcpLogin("H", "u", "p");
    net.sendPlan = {0};
    for (uint32_t queued : {kBuf - 263, kBuf - 264}) {
        slot(0).uSendSize = queued;
        step();
    }
    EXPECT_EQ(slot(0).usStatus, XR_DEV_TCP_STATUS_LOGINING);
    EXPECT_EQ(slot(0).uSendSize, kBuf);
}

TEST_F(SendTest, PartialWritesKeepTheRestInOrder) {
    // 1 byte, nothing, an over-claim of the rest, and a failure, offered once per call.
    int32_t id = loginAndAccept(net, 3, tick);
    net.sendPlan = {1, 0, FakeNet::kOverclaim, 1, FakeNet::kFail};
    EXPECT_EQ(xrDevTcpSend(id, 6, "abc", 3, nullptr, 0), 3);
    EXPECT_EQ(slot(0).uSendSize, 10u);
    EXPECT_TRUE(step().empty());
    EXPECT_TRUE(step().empty());
    EXPECT_EQ(slot(0).uSendSize, 0u);
    EXPECT_EQ(xrDevTcpSend(id, 7, "ab", 2, nullptr, 0), 2);
    EXPECT_EQ(step(), Events{"error 1 -3"});  // reported on every tick, frame kept
    net.sendPlan = {};
    EXPECT_TRUE(step().empty());
    EXPECT_EQ(hex(net.takeSent()), "030000000600030061626303000000070002006162");
}

}  // namespace
