#include "handlers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "captured_output.h"
#include "xr_dev_tcp.h"

namespace {
// Every send as "agent type data|peer", the peer's uPeerSize bytes (its NUL included).
std::vector<std::string> g_sent;
}  // namespace

// Stands in for the library's send: the handlers are tested without a link.
extern "C" int32_t xrDevTcpSend(int32_t iAgentID, uint32_t uType, const void *lpData,
                                uint32_t uDataSize, const char *lpszPeer, uint32_t uPeerSize) {
    g_sent.push_back(std::to_string(iAgentID) + " " + std::to_string(uType) + " " +
                     std::string(static_cast<const char *>(lpData), uDataSize) + "|" +
                     std::string(lpszPeer, uPeerSize));
    return static_cast<int32_t>(uDataSize);
}

namespace {

using Sent = std::vector<std::string>;

class Handlers : public ::testing::Test {
  protected:
    void SetUp() override { g_sent.clear(); }
    CapturedOutput m_output;
};

TEST_F(Handlers, ErrorsNotificationsAndLogLinesPrintTheirExactText) {
    TcpError(65537, -9);
    LogOutput(7, "xrDevTcpLogin: Login status - Alloc, uInd=0");
    const char *const words[] = {"Online", "Offline", "Redirct", "Time", "Wake"};
    std::string want =
        "TcpError: iAgentID=65537, iError=-9\n"
        "xrDevTcpLogin: Login status - Alloc, uInd=0\n";
    for (uint32_t uType = 0; uType < 7; ++uType) {
        TcpNotify(3, uType == 6 ? 0xFFFFFFFFu : uType, "10.0.0.2:9000");
        want += uType < 5 ? "TcpNotify: iAgentID=3, " + std::string(words[uType]) +
                                ", Data=10.0.0.2:9000\n"
                          : "";
    }
    EXPECT_EQ(m_output.Take(), want);
    EXPECT_TRUE(g_sent.empty());
}

TEST_F(Handlers, MessagesArePrintedAndEchoedToTheirSender) {
    const uint8_t data[] = {0x01, 0xAB, 0x00};
    TcpReceive(1, data, 3, "peer-A");
    TcpReceive(3, data, 0, "p");
    TcpReceiveStr(5, "ab\0cd", "x\0hidden");  // each up to its first NUL
    EXPECT_EQ(m_output.Take(),
              "TcpReceive: iAgentID=1, uDataSize=3, lpszPeer=peer-A\n"
              "TcpReceive: iAgentID=1, uData0=1\nTcpReceive: iAgentID=1, uData1=AB\n"
              "TcpReceive: iAgentID=1, uData2=0\nTcpReceive: iAgentID=3, uDataSize=0, lpszPeer=p\n"
              "TcpReceiveStr: iAgentID=5, lpszData=ab, lpszPeer=x\n");
    EXPECT_EQ(g_sent, (Sent{std::string("1 6 \x01\xAB\0|peer-A\0", 15), std::string("3 6 |p\0", 7),
                            std::string("5 7 ab\0|x\0", 10)}));
}

TEST_F(Handlers, OnlyPeerNamesUpTo127CharactersAreEchoedTo) {
    const std::string longest(127, 'p');
    const std::string tooLong(128, 'q');
    TcpReceive(1, reinterpret_cast<const uint8_t *>("d"), 1, tooLong.c_str());
    TcpReceiveStr(1, "s", tooLong.c_str());
    TcpReceiveStr(1, "s", longest.c_str());
    EXPECT_EQ(g_sent, (Sent{std::string("1 7 s\0|", 7) + longest + std::string(1, '\0')}));
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

TEST_F(Handlers, ControlBytesFromTheAgentPrintAsHexEscapes) {
    TcpNotify(1, XR_DEV_TCP_NOTIFY_TIME, "\x1B[2J\x7F\x80\xFF~ ");
    TcpNotify(1, XR_DEV_TCP_NOTIFY_REDIRECT, "1.2.3.4:5\r\n");
    TcpReceive(1, nullptr, 0, "\x1B]0;pwned\x07");
    TcpReceiveStr(1, "a\tb\x1F", "\x01");
    EXPECT_EQ(m_output.Take(),
              "TcpNotify: iAgentID=1, Time, Data=\\x1B[2J\\x7F\x80\xFF~ \n"
              "TcpNotify: iAgentID=1, Redirct, Data=1.2.3.4:5\\x0D\\x0A\n"
              "TcpReceive: iAgentID=1, uDataSize=0, lpszPeer=\\x1B]0;pwned\\x07\n"
              "TcpReceiveStr: iAgentID=1, lpszData=a\\x09b\\x1F, lpszPeer=\\x01\n");
    EXPECT_EQ(g_sent, (Sent{std::string("1 7 a\tb\x1F\0|\x01\0", 12)}));  // echoed as they came
}

}  // namespace
