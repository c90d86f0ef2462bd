// Frames on the wire, the send queue's limits, partial writes and failed flushes.
#include "fake_net.h"

namespace {

using SendTest = LibraryTest;

TEST_F(SendTest, LoginRequestIsExactlyTheDocumentedFrame) {
    // The second time a shorter user and password leave nothing of the first behind.
    for (std::string user : {"dev-01", "d"}) {
        int32_t id = xrDevTcpLogin("H", "dev-01", "5820");
        if (user == "d") xrDevTcpLogout(id), xrDevTcpLogin("H", "d", "5");
        step();
        Bytes request =
            cat(cat(field(user, 128), field(user == "d" ? "5" : "5820", 64)), field("1.3.0", 64));
        EXPECT_EQ(hex(net.takeSent()), hex(frame(0, XR_DEV_TCP_MSG_LOGIN, request)));
        net.install();
    }
}

TEST_F(SendTest, FramesCarryTheSessionAndAPaddedPeerSection) {
    int32_t id = loginAndAccept(net, 258, tick);
    const struct {
        uint32_t type, size;
        const char *peer;
        uint32_t peerSize;
        const char *hex;
    } rows[] = {
        {6, 10, "abcd", 5, "020100000601160000000500616263640000000000010203040506070809"},
        {0x1FF, 0, "abc", 4, "02010000ff0108000000040061626300"},  // low 8 bits of the type
        {7, 3, "abcd", 0, "0201000007000300000102"},   // a peer without a size, or a size
        {7, 3, nullptr, 9, "0201000007000300000102"},  // without a peer: no peer section
        {0, 0, nullptr, 0, "0201000000000000"},
    };
    for (auto &r : rows) {
        // Stale bytes in the queue where the padding goes must not show through.
        xrDevTcpSend(id, 6, Bytes(40, 0xEE).data(), 40, nullptr, 0);
        net.takeSent();
        EXPECT_EQ(xrDevTcpSend(id, r.type, "\0\1\2\3\4\5\6\7\10\11", r.size, r.peer, r.peerSize),
                  int32_t(r.size));
        EXPECT_EQ(hex(net.takeSent()), r.hex);
    }
}

TEST_F(SendTest, QueueTakesWholeFramesUpToItsSize) {
    int32_t id = loginAndAccept(net, 1, tick);
    net.sendPlan = {0};
    Bytes big(kBuf, 0xAB);
    const int32_t full = XR_DEV_TCP_ERR_QUEUE_FULL,
                  rows[][4] = {{kBuf - 16, 0, kBuf - 16, kBuf - 8},
                               {1, 0, full, kBuf - 8},
                               {0, 0, 0, kBuf},
                               {0, 0, full, kBuf},
                               {-1, 0, full, kBuf},
                               {0, -3, full, kBuf}};  // sizes that would overflow a sum
    for (auto &r : rows) {
        EXPECT_EQ(xrDevTcpSend(id, 6, big.data(), uint32_t(r[0]), "p", uint32_t(r[1])), r[2]);
        EXPECT_EQ(slot(0).uSendSize, uint32_t(r[3]));
    }
    net.sendPlan = {};  // a frame of the queue's size fits an empty queue, with a peer too
    step();
    EXPECT_EQ(xrDevTcpSend(id, 6, big.data(), kBuf - 16, "abcdefg", 4), int32_t(kBuf) - 16);
    EXPECT_EQ(net.takeSent().size(), 2 * kBuf);
}

TEST_F(SendTest, OnlyTheLoginRequestGoesOutBeforeLoginAndWaitsForRoom) {
    int32_t id = xrDevTcpLogin("H", "u", "p");
    for (uint32_t type : {0u, 3u, 6u, 7u, 0x102u})
        EXPECT_EQ(xrDevTcpSend(id, type, "x", 1, nullptr, 0), XR_DEV_TCP_ERR_NOT_LOGINED);
    EXPECT_EQ(xrDevTcpSend(id, XR_DEV_TCP_MSG_LOGIN, "x", 1, nullptr, 0), 1);  // no socket: waits
    net.sendPlan = {0};
    for (uint32_t queued : {kBuf - 263, kBuf - 264}) slot(0).uSendSize = queued, step();
    EXPECT_EQ(slot(0).usStatus + slot(0).uSendSize, XR_DEV_TCP_STATUS_LOGINING + kBuf);
}

TEST_F(SendTest, PartialWritesKeepTheRestInOrder) {
    // 1 byte, nothing, a claim of more than the rest, 1 byte, a failure: one per write.
    int32_t id = loginAndAccept(net, 3, tick);
    net.sendPlan = {1, 0, FakeNet::kOverclaim, 1, FakeNet::kFail};
    EXPECT_EQ(xrDevTcpSend(id, 6, "abc", 3, nullptr, 0), 3);
    EXPECT_EQ(step(), step());
    EXPECT_EQ(xrDevTcpSend(id, 7, "ab", 2, nullptr, 0), 2);
    EXPECT_EQ(step(), Events{"error 1 -3"});  // reported on every tick, the frame kept
    net.sendPlan = {};
    EXPECT_TRUE(step().empty());
    EXPECT_EQ(hex(net.takeSent()), "030000000600030061626303000000070002006162");
}

}  // namespace
