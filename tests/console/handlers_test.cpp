#include "handlers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "captured_output.h"
#include "xr_dev_tcp.h"

namespace {

struct SentFrame {
    int32_t iAgentID;
    uint32_t uType;
    std::string data;
    std::string peer;  // the uPeerSize bytes handed over, NUL included
};

std::vector<SentFrame> g_sent;

}  // namespace

// Stands in for the library's send: the handlers are tested without a link.
extern "C" int32_t xrDevTcpSend(int32_t iAgentID, uint32_t uType, const void *lpData,
                                uint32_t uDataSize, const char *lpszPeer, uint32_t uPeerSize) {
    const char *lpBytes = static_cast<const char *>(lpData);
    g_sent.push_back({iAgentID, uType,
                      uDataSize != 0 ? std::string(lpBytes, uDataSize) : std::string(),
                      std::string(lpszPeer, uPeerSize)});
    return static_cast<int32_t>(uDataSize);
}

namespace {

class Handlers : public ::testing::Test {
  protected:
    void SetUp() override { g_sent.clear(); }
    CapturedOutput m_output;
};

TEST_F(Handlers, ErrorsNotificationsAndLogLinesPrintTheirExactText) {
    TcpError(65537, -9);
    TcpError(1, 123456);
    LogOutput(7, "xrDevTcpLogin: Login status - Alloc, uInd=0");
    EXPECT_EQ(m_output.Take(),
              "TcpError: iAgentID=65537, iError=-9\n"
              "TcpError: iAgentID=1, iError=123456\n"
              "xrDevTcpLogin: Login status - Alloc, uInd=0\n");

    TcpNotify(1, XR_DEV_TCP_NOTIFY_ONLINE, "");
    TcpNotify(1, XR_DEV_TCP_NOTIFY_OFFLINE, "");
    TcpNotify(3, XR_DEV_TCP_NOTIFY_REDIRECT, "10.0.0.2:9000");
    TcpNotify(3, XR_DEV_TCP_NOTIFY_TIME, "2024-01-02 03:04:05");
    TcpNotify(3, XR_DEV_TCP_NOTIFY_WAKE, "");
    TcpNotify(3, 5, "ignored");
    TcpNotify(3, 0xFFFFFFFFu, "ignored");
    EXPECT_EQ(m_output.Take(),
              "TcpNotify: iAgentID=1, Online, Data=\n"
              "TcpNotify: iAgentID=1, Offline, Data=\n"
              "TcpNotify: iAgentID=3, Redirct, Data=10.0.0.2:9000\n"
              "TcpNotify: iAgentID=3, Time, Data=2024-01-02 03:04:05\n"
              "TcpNotify: iAgentID=3, Wake, Data=\n");
    EXPECT_TRUE(g_sent.empty());
}

TEST_F(Handlers, BinaryMessageIsPrintedByteByByteAndEchoedToItsSender) {
    const uint8_t data[] = {0x01, 0xAB, 0x00};
    TcpReceive(1, data, 3, "peer-A");
    EXPECT_EQ(m_output.Take(),
              "TcpReceive: iAgentID=1, uDataSize=3, lpszPeer=peer-A\n"
              "TcpReceive: iAgentID=1, uData0=1\n"
              "TcpReceive: iAgentID=1, uData1=AB\n"
              "TcpReceive: iAgentID=1, uData2=0\n");
    ASSERT_EQ(g_sent.size(), 1u);
    EXPECT_EQ(g_sent[0].iAgentID, 1);
    EXPECT_EQ(g_sent[0].uType, static_cast<uint32_t>(XR_DEV_TCP_MSG_DATA));
    EXPECT_EQ(g_sent[0].data, std::string("\x01\xAB\x00", 3));
    EXPECT_EQ(g_sent[0].peer, std::string("peer-A", 7));

    TcpReceive(3, data, 0, "p");
    EXPECT_EQ(m_output.Take(), "TcpReceive: iAgentID=3, uDataSize=0, lpszPeer=p\n");
    ASSERT_EQ(g_sent.size(), 2u);
    EXPECT_EQ(g_sent[1].data, "");
    EXPECT_EQ(g_sent[1].peer, std::string("p", 2));
}

TEST_F(Handlers, StringMessageIsEchoedWithItsNulUpToTheFirstNul) {
    TcpReceiveStr(5, "hi", "someone");
    const char embedded[] = "ab\0cd";
    TcpReceiveStr(5, embedded, "x\0hidden");
    EXPECT_EQ(m_output.Take(),
              "TcpReceiveStr: iAgentID=5, lpszData=hi, lpszPeer=someone\n"
              "TcpReceiveStr: iAgentID=5, lpszData=ab, lpszPeer=x\n");
    ASSERT_EQ(g_sent.size(), 2u);
    EXPECT_EQ(g_sent[0].uType, static_cast<uint32_t>(XR_DEV_TCP_MSG_STR));
    EXPECT_EQ(g_sent[0].data, std::string("hi", 3));
    EXPECT_EQ(g_sent[0].peer, std::string("someone", 8));
    EXPECT_EQ(g_sent[1].data, std::string("ab", 3));
    EXPECT_EQ(g_sent[1].peer, std::string("x", 2));
}

TEST_F(Handlers, OnlyPeerNamesUpTo127CharactersAreEchoedTo) {
    const std::string longest(127, 'p');
    const std::string tooLong(128, 'q');
    const uint8_t byte = 0x7F;
    TcpReceive(1, &byte, 1, longest.c_str());
    TcpReceive(1, &byte, 1, tooLong.c_str());
    TcpReceiveStr(1, "s", longest.c_str());
    TcpReceiveStr(1, "s", tooLong.c_str());
    ASSERT_EQ(g_sent.size(), 2u);
    EXPECT_EQ(g_sent[0].peer, std::string(longest.c_str(), 128));
    EXPECT_EQ(g_sent[1].peer, std::string(longest.c_str(), 128));
    // Dropping the echo says nothing: only the receive reports were printed.
    const std::string text = m_output.Take();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 6);
}

TEST_F(Handlers, MessagesWithoutAPeerArePrintedButNotEchoed) {
    const uint8_t data[] = {0x0A};
    TcpReceive(2, data, 1, nullptr);
    TcpReceiveStr(2, "text", nullptr);
    TcpReceive(2, nullptr, 0, "peer");
    TcpReceiveStr(2, nullptr, "peer");
    EXPECT_EQ(m_output.Take(),
              "TcpReceive: iAgentID=2, uDataSize=1, lpszPeer=(null)\n"
              "TcpReceive: iAgentID=2, uData0=A\n"
              "TcpReceiveStr: iAgentID=2, lpszData=text, lpszPeer=(null)\n"
              "TcpReceive: iAgentID=2, uDataSize=0, lpszPeer=peer\n"
              "TcpReceiveStr: iAgentID=2, lpszData=(null), lpszPeer=peer\n");
    EXPECT_TRUE(g_sent.empty());
}

}  // namespace
