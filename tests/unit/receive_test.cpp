// Cutting frames out of the byte stream, the session gate and every dispatch row. The link
// lies in the last slot here (the other tests drive the first).
#include "fake_net.h"

#define H "65538"  // its handle: slot 1, sequence 2

namespace {

struct ReceiveTest : LibraryTest {
    void SetUp() override {  // logged in with session 0x55; its socket is 1
        LibraryTest::SetUp();
        xrDevTcpLogin("H", "first", "p");
        at = 1;
        EXPECT_EQ(loginAndAccept(net, 0x55, tick), 0x10002);
        xrDevTcpLogout(1);
        net.take();
    }
    void expectSteps(const std::vector<std::pair<Bytes, Events>> &steps) {
        for (auto &s : steps) EXPECT_EQ(step(s.first), s.second) << hex(s.first);
    }
};

const Bytes kWake = frame(0x55, XR_DEV_TCP_MSG_WAKE, {});

TEST_F(ReceiveTest, DispatchRowsOneFramePerTick) {
    std::string t64(64, 't'), a64(64, 'a');
    Bytes badPeer = frame(0x55, 6, {}, "abcdefgh", 9);  // peer section 4 + 12 > 8 bytes
    badPeer[6] = 8;
    badPeer.resize(16);
    expectSteps({
        {cat(kWake, frame(0x55, 6, {1, 0xAB, 0}, "abcd")), {"wake " H " "}},
        {{}, {"data " H " 01ab00 abcd"}},
        {errorFrame(0x55, -77), {"error " H " -77"}},
        {frame(0x55, 7, {'a', 'b'}, "peer", 4), {"str " H " a pee"}},  // NULs not counted
        {frame(0x55, 6, {9}), {"data " H " 09 (null)"}},
        {frame(0x55, 6, {}), {"data " H "  (null)"}},
        {frame(0x55, 7, {0}), {"str " H "  (null)"}},
        {frame(0x55, 6, {7}, "q", -1, 3), {"data " H " 07 q"}},  // flags: bit 0 alone
        {frame(0x55, 6, {7}, nullptr, -1, 2), {"data " H " 07 (null)"}},
        {frame(0x55, 6, {5}, "", 0), {"data " H " 05 "}},
        {frame(0x55, 9, {1, 2, 3}), {}},             // no action
        {frame(0x56, XR_DEV_TCP_MSG_WAKE, {}), {}},  // another session
        {loginReply(0x56, 9), {}},
        // Malformed or short: skipped by their length, the next frame intact.
        {cat(cat(badPeer, frame(0x55, 6, {0x7F, 0}, nullptr, -1, 1)),
             cat(frame(0x55, 7, {}, "p"), frame(0x55, 1, {1, 2, 3}))),
         {}},
        {cat(frame(0x55, 2, Bytes(131)), frame(0x55, 4, Bytes(63, 'a'))), {}},
        {cat(frame(0x55, 5, Bytes(63, 'a')), kWake), {}},
        {{}, {}},
        {{}, {}},
        {{}, {}},
        {{}, {}},
        {{}, {"wake " H " "}},
        // Texts of 64 characters: 63 reach the application.
        {textFrame(0x55, XR_DEV_TCP_MSG_TIME, t64), {"time " H " " + t64.substr(1)}},
        {loginReply(0x55, 0, "", t64), {"time " H " " + t64.substr(1)}},
        {textFrame(0x55, XR_DEV_TCP_MSG_REDIRECT, a64),
         {"redirect " H " " + a64.substr(1), "close 1"}},
    });
    EXPECT_EQ(slot(1).uRecvSize, 0u);
}

TEST_F(ReceiveTest, StreamsSplitAnywhere) {
    Bytes str = frame(0x55, 7, {'o', 'k', 0}, "p");  // byte by byte: nothing until the last
    for (size_t i = 0; i + 1 < str.size(); ++i) EXPECT_TRUE(step(Bytes{str[i]}).empty());
    EXPECT_EQ(step(Bytes{str.back()}), Events{"str " H " ok p"});
    // Oversized frames are thrown away as they arrive, across empty reads; another
    // session's counts as no activity.
    Bytes huge = cat(frame(0x55, 6, Bytes(3000, 0xEE)), kWake);
    expectSteps({{Bytes(huge.begin(), huge.begin() + 100), {}},
                 {{}, {}},
                 {Bytes(huge.begin() + 100, huge.end()), {}},
                 {{}, {"wake " H " "}},
                 {frame(0x99, 6, Bytes(2041, 1)), {}},
                 {{}, {}}});
    EXPECT_EQ(slot(1).uStamp, tick - 100);
    EXPECT_EQ(step(kWake), Events{"wake " H " "});
    net.overclaim = true;  // a read claiming more than its room counts only the room
    EXPECT_TRUE(step(Bytes(kBuf, 0)).empty());  // 8-byte frames of another session
    EXPECT_EQ(slot(1).uRecvSize, kBuf - 8);
    // A failed read drops the connection with what it held.
    net.recvFail[1] = true;
    EXPECT_EQ(step(), (Events{"close 1", "offline " H " "}));
    EXPECT_EQ(slot(1).usDelayLevel + slot(1).uRecvSize + slot(1).uSessID, 1u);
}

}  // namespace
