// Cutting frames out of the byte stream, the session gate and every dispatch row.
#include "fake_net.h"

namespace {

// Logged in with session 0x55, on the first or on the last slot.
struct ReceiveTest : LibraryTest, ::testing::WithParamInterface<uint32_t> {
    int32_t id = 0;
    std::string h, sock;  // the handle and the socket as events show them
    void SetUp() override {
        LibraryTest::SetUp();
        at = GetParam();
        for (uint32_t u = 0; u < at; ++u) xrDevTcpLogin("H", std::to_string(u).c_str(), "p");
        id = loginAndAccept(net, 0x55, tick);
        for (uint32_t u = 0; u < at; ++u) xrDevTcpLogout(devtcp::makeHandle(u));
        h = std::to_string(id);
        sock = std::to_string(slot(at).iSocket);
        net.take();
    }
    // Each step's events, with '%' standing for the handle and '#' for the socket.
    void expectSteps(const std::vector<std::pair<Bytes, Events>> &steps) {
        for (auto &s : steps) {
            Events expect = s.second;
            for (auto &e : expect) {
                if (e.find('%') != std::string::npos) e.replace(e.find('%'), 1, h);
                if (e.find('#') != std::string::npos) e.replace(e.find('#'), 1, sock);
            }
            EXPECT_EQ(step(s.first), expect) << hex(s.first);
        }
    }
};
INSTANTIATE_TEST_SUITE_P(Slot, ReceiveTest, ::testing::Values(0u, kLinks - 1));

const Bytes kWake = frame(0x55, XR_DEV_TCP_MSG_WAKE, {});

TEST_P(ReceiveTest, DispatchRowsOneFramePerTick) {
    std::string t64(64, 't'), a64(64, 'a');
    Bytes badPeer = frame(0x55, 6, {}, "abcdefgh", 9);  // 4 + 12 > 8 + 0
    badPeer[6] = 8;
    badPeer.resize(16);
    expectSteps({
        {cat(kWake, frame(0x55, 6, {1, 0xAB, 0}, "abcd")), {"wake % "}},
        {{}, {"data % 01ab00 abcd"}},
        {errorFrame(0x55, -77), {"error % -77"}},
        {textFrame(0x55, XR_DEV_TCP_MSG_TIME, t64), {"time % " + t64.substr(1)}},
        {frame(0x55, 7, {'a', 'b'}, "peer", 4), {"str % a pee"}},  // NULs not counted
        {frame(0x55, 6, {9}), {"data % 09 (null)"}},
        {frame(0x55, 6, {}), {"data %  (null)"}},
        {frame(0x55, 7, {0}), {"str %  (null)"}},
        {frame(0x55, 6, {7}, "q", -1, 3), {"data % 07 q"}},  // flags: bit 0 alone
        {frame(0x55, 6, {7}, nullptr, -1, 2), {"data % 07 (null)"}},
        {frame(0x55, 6, {5}, "", 0), {"data % 05 "}},
        {frame(0x55, 9, {1, 2, 3}), {}},             // no action
        {frame(0x56, XR_DEV_TCP_MSG_WAKE, {}), {}},  // another session
        {loginReply(0x56, 9), {}},
        // Malformed or short: skipped by their length, the next frame intact.
        {cat(cat(badPeer, frame(0x55, 6, {0x7F, 0}, nullptr, -1, 1)),
             cat(frame(0x55, 7, {}, "p"), frame(0x55, 1, {1, 2, 3}))),
         {}},
        {cat(frame(0x55, 2, Bytes(131, 0)), frame(0x55, 4, Bytes(63, 'a'))), {}},
        {cat(frame(0x55, 5, Bytes(63, 'a')), kWake), {}},
        {{}, {}},
        {{}, {}},
        {{}, {}},
        {{}, {}},
        {{}, {"wake % "}},
        // Texts of 63 and 64 characters: at most 63 reach the application.
        {loginReply(0x55, 0, "", t64), {"time % " + t64.substr(1)}},
        {textFrame(0x55, XR_DEV_TCP_MSG_REDIRECT, a64), {"redirect % " + a64.substr(1), "close #"}},
    });
    EXPECT_EQ(slot(at).uRecvSize, 0u);
}

TEST_P(ReceiveTest, StreamsSplitAnywhere) {
    // Byte by byte: nothing until the last byte is in.
    Bytes str = frame(0x55, 7, {'o', 'k', 0}, "p");
    for (size_t i = 0; i + 1 < str.size(); ++i) EXPECT_TRUE(step(Bytes{str[i]}).empty());
    expectSteps({{Bytes{str.back()}, {"str % ok p"}}});
    // Oversized frames are thrown away as they arrive, across empty reads; another
    // session's counts as no activity.
    Bytes huge = cat(frame(0x55, 6, Bytes(3000, 0xEE)), kWake);
    slot(at).uStamp = 5;
    expectSteps({{Bytes(huge.begin(), huge.begin() + 100), {}},
                 {{}, {}},
                 {Bytes(huge.begin() + 100, huge.end()), {}},
                 {{}, {"wake % "}},
                 {frame(0x99, 6, Bytes(2041, 1)), {}}});
    EXPECT_EQ(slot(at).uStamp, tick - 50);
    expectSteps({{{}, {}}, {kWake, {"wake % "}}});
}

TEST_P(ReceiveTest, ReadClaimingMoreThanItsRoomCountsOnlyTheRoom) {
    net.overclaim = true;
    EXPECT_TRUE(step(Bytes(kBuf, 0)).empty());  // 8-byte frames of another session
    EXPECT_EQ(slot(at).uRecvSize, kBuf - 8);
}

TEST_P(ReceiveTest, FailedReadResetsWithoutHandlingHeldFrames) {
    step(cat(kWake, kWake));
    net.recvFail[at] = true;
    expectSteps({{{}, {"close #", "offline % "}}});
    EXPECT_EQ(slot(at).usDelayLevel + slot(at).uRecvSize + slot(at).uSessID, 1u);
}

TEST_F(LibraryTest, BeforeLoginOnlySessionZeroIsActedOn) {
    xrDevTcpLogin("H", "u", "p");
    step();
    EXPECT_EQ(step(textFrame(7, XR_DEV_TCP_MSG_REDIRECT, "A")), Events{});
    EXPECT_EQ(slot(0).uStamp, tick);
    // A refused login: the agent's code, then Offline; the wake behind it goes too.
    EXPECT_EQ(step(cat(loginReply(0, 1234), kWake)),
              (Events{"error 1 1234", "close 0", "offline 1 "}));
    EXPECT_EQ(slot(0).usDelayLevel, 1);
    EXPECT_EQ(slot(0).uRecvSize, 0u);
    EXPECT_TRUE(step().empty());  // in back-off: no new socket
}

}  // namespace
