// SPDX-License-Identifier: MIT
#include "handlers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "captured_output.h"
#include "xr_dev_tcp.h"

using Sent = std::vector<std::string>;
static Sent g_sent;  // every send as "agent type data|peer", the peer's uPeerSize bytes
static int32_t g_sendResult = 0;  // what the send answers; 0: the data's size

// Stands in for the library's send: the handlers are tested without a link.
extern "C" int32_t xrDevTcpSend(int32_t iAgentID, uint32_t uType, const void *lpData,
                                uint32_t uDataSize, const char *lpszPeer, uint32_t uPeerSize) {
    g_sent.push_back(std::to_string(iAgentID) + " " + std::to_string(uType) + " " +
                     std::string(static_cast<const char *>(lpData), uDataSize) + "|" +
                     std::string(lpszPeer, uPeerSize));
    return g_sendResult != 0 ? g_sendResult : static_cast<int32_t>(uDataSize);
}

namespace {

class Handlers : public ::testing::Test {
  protected:
    void SetUp() override {
        g_sent.clear();
        g_sendResult = 0;
    }
    CapturedOutput m_output;
};

TEST_F(Handlers, MessagesArePrintedAndEchoedToTheirNamedSender) {
    const uint8_t data[] = {0x01, 0xAB, 0x00};
    TcpReceive(1, data, 3, "peer-A");
    TcpReceive(3, data, 0, "p");
    TcpReceiveStr(5, "ab\0cd", "x\0hidden");  // each up to its first NUL
    TcpReceive(2, data, 1, nullptr);          // no peer: printed, not echoed
    TcpReceiveStr(2, "text", nullptr);
    TcpReceive(2, nullptr, 0, "peer");
    TcpReceiveStr(2, nullptr, "peer");
    EXPECT_EQ(m_output.Take(),
              "TcpReceive: iAgentID=1, uDataSize=3, lpszPeer=peer-A\n"
              "TcpReceive: iAgentID=1, uData0=1\nTcpReceive: iAgentID=1, uData1=AB\n"
              "TcpReceive: iAgentID=1, uData2=0\nTcpReceive: iAgentID=3, uDataSize=0, lpszPeer=p\n"
              "TcpReceiveStr: iAgentID=5, lpszData=ab, lpszPeer=x\n"
              "TcpReceive: iAgentID=2, uDataSize=1, lpszPeer=(null)\n"
              "TcpReceive: iAgentID=2, uData0=1\n"
              "TcpReceiveStr: iAgentID=2, lpszData=text, lpszPeer=(null)\n"
              "TcpReceive: iAgentID=2, uDataSize=0, lpszPeer=peer\n"
              "TcpReceiveStr: iAgentID=2, lpszData=(null), lpszPeer=peer\n");
    const std::string longest(127, 'p');  // the longest peer name echoed to
    TcpReceive(1, data, 1, (longest + "q").c_str());
    TcpReceiveStr(1, "s", (longest + "q").c_str());
    TcpReceiveStr(1, "s", longest.c_str());
    EXPECT_EQ(g_sent, (Sent{std::string("1 6 \x01\xAB\0|peer-A\0", 15), std::string("3 6 |p\0", 7),
                            std::string("5 7 ab\0|x\0", 10),
                            std::string("1 7 s\0|", 7) + longest + std::string(1, '\0')}));
}

TEST_F(Handlers, AnEchoThatTheLibraryRefusesOrThatAFailedWriteLosesIsSaid) {
    const uint8_t data[] = {0x7F};
    g_sendResult = XR_DEV_TCP_ERR_QUEUE_FULL;
    TcpReceive(1, data, 1, "p");
    g_sendResult = XR_DEV_TCP_ERR_NOT_LOGINED;
    TcpReceiveStr(1, "s", "p");
    g_sendResult = XR_DEV_TCP_ERR_SOCKET;
    TcpReceiveStr(1, "t", "p");
    EXPECT_EQ(m_output.Take(),
              "TcpReceive: iAgentID=1, uDataSize=1, lpszPeer=p\nTcpReceive: iAgentID=1, uData0=7F\n"
              "TcpReceive: echo refused, iErr=-6\n"
              "TcpReceiveStr: iAgentID=1, lpszData=s, lpszPeer=p\n"
              "TcpReceiveStr: echo refused, iErr=-5\n"
              "TcpReceiveStr: iAgentID=1, lpszData=t, lpszPeer=p\n"
              "TcpReceiveStr: echo refused, iErr=-3\n");
}

TEST_F(Handlers, NotificationsPrintTheirTextWithControlBytesFromTheAgentAsHexEscapes) {
    const char *const words[] = {"Online", "Offline", "Redirct", "Time", "Wake"};
    std::string want;
    for (uint32_t uType : {0u, 1u, 2u, 3u, 4u, 5u, 0xFFFFFFFFu}) {  // above 4: nothing
        TcpNotify(3, uType, "\x1B[2J\x7F\x80\xFF~ 1.2.3.4:5\r\n");
        if (uType < 5) {
            want += "TcpNotify: iAgentID=3, " + std::string(words[uType]) +
                    ", Data=\\x1B[2J\\x7F\x80\xFF~ 1.2.3.4:5\\x0D\\x0A\n";
        }
    }
    TcpReceive(1, nullptr, 0, "\x1B]0;pwned\x07");
    TcpReceiveStr(1, "a\tb\x1F", "\x01");
    EXPECT_EQ(m_output.Take(),
              want +
                  "TcpReceive: iAgentID=1, uDataSize=0, lpszPeer=\\x1B]0;pwned\\x07\n"
                  "TcpReceiveStr: iAgentID=1, lpszData=a\\x09b\\x1F, lpszPeer=\\x01\n");
    EXPECT_EQ(g_sent, (Sent{std::string("1 7 a\tb\x1F\0|\x01\0", 12)}));  // echoed as they came
}

}  // namespace
