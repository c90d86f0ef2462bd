// The POSIX port against real loopback connections, and the address form of every port.
#include "xr_dev_tcp_posix.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "socket_address.h"

namespace {

const XR_DEV_TCP_SOCKET_CALLBACK_S &S = *xrDevTcpPosixSockets();
std::vector<std::string> g_errors;  // what the error hook reported, "SocketRecv 104"

// Calls @p probe until it gives something other than 0, for at most 10 s.
template <typename Probe>
int32_t WaitNonZero(Probe probe) {
    int32_t iResult = probe();
    for (int i = 0; i < 2000 && iResult == 0; ++i, iResult = probe()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return iResult;
}

TEST(SocketAddress, DottedHostAndAtoiPortKeptTo16BitsAnythingElseRefused) {
    const struct {
        const char *lpszAddr;
        uint32_t uHost;
        uint16_t usPort;
    } good[] = {
        {"127.0.0.1:5000", 0x7F000001, 5000}, {"0.0.0.0", 0, 0},
        {"1.2.3.255:", 0x010203FF, 0},        {"9.9.9.9:80x", 0x09090909, 80},
        {"9.9.9.9:-1", 0x09090909, 65535},    {"9.9.9.9:70000", 0x09090909, 4464},
        {"9.9.9.9: +8800", 0x09090909, 8800}, {"9.9.9.9:99999999999999999999", 0x09090909, 65535}};
    for (const auto &c : good) {
        uint32_t uHost = 1;
        uint16_t usPort = 1;
        ASSERT_TRUE(devtcp_port::ParseSocketAddress(c.lpszAddr, uHost, usPort)) << c.lpszAddr;
        EXPECT_EQ(uHost, c.uHost) << c.lpszAddr;
        EXPECT_EQ(usPort, c.usPort) << c.lpszAddr;
    }
    for (const char *lpszAddr :
         {"localhost:8800", "127.0.0.1 x:1", "", ":80", "300.1.1.1:1", "1.2.3:1", "1.2.3.4.5:1",
          "01.2.3.4:1", "1..2.3:1", "1.2.3.4x", "1.2.3.-4"}) {
        uint32_t uHost = 0;
        uint16_t usPort = 0;
        EXPECT_FALSE(devtcp_port::ParseSocketAddress(lpszAddr, uHost, usPort)) << lpszAddr;
        EXPECT_EQ(S.SocketOpen(lpszAddr), -1) << lpszAddr;
    }
}

// An established connection from the port (m_iSocket) and the listener's end of it.
class PosixSockets : public ::testing::Test {
  protected:
    void SetUp() override {
        xrDevTcpPosixSetErrorHook([](const char *lpszOperation, int32_t iError) {
            g_errors.push_back(std::string(lpszOperation) + " " + std::to_string(iError));
        });
        sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t uLen = sizeof(addr);
        bind(m_iListener, reinterpret_cast<const sockaddr *>(&addr), sizeof(addr));
        getsockname(m_iListener, reinterpret_cast<sockaddr *>(&addr), &uLen);
        m_address = "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
        listen(m_iListener, 8);
        m_iSocket = S.SocketOpen(m_address.c_str());
        EXPECT_EQ(WaitNonZero([&] { return S.SocketCheck(m_iSocket); }), 1);
        m_iPeer = accept(m_iListener, nullptr, nullptr);
        g_errors.clear();
    }
    void TearDown() override {
        for (int iFd : {m_iSocket, m_iPeer, m_iListener}) close(iFd);
    }
    int m_iListener = socket(AF_INET, SOCK_STREAM, 0), m_iPeer = -1;
    int32_t m_iSocket = -1;
    std::string m_address;
};

TEST_F(PosixSockets, AFailedConnectIsNeverTakenForAnEstablishedOne) {
    close(m_iListener);  // nobody listens there any more
    const int32_t iRefused = S.SocketOpen(m_address.c_str());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (int i = 0; i < 10 && iRefused >= 0; ++i) EXPECT_EQ(S.SocketCheck(iRefused), 0) << i;
    S.SocketClose(iRefused);
}

TEST_F(PosixSockets, AFullSendBufferTakesPartThenNothingButStillLetsDataIn) {
    const int iSmall = 4096;
    setsockopt(m_iSocket, SOL_SOCKET, SO_SNDBUF, &iSmall, sizeof(iSmall));
    setsockopt(m_iPeer, SOL_SOCKET, SO_RCVBUF, &iSmall, sizeof(iSmall));
    const std::vector<uint8_t> big(1 << 20, 0x5A);
    const auto uBig = static_cast<uint32_t>(big.size());
    bool bPartial = false;
    int32_t iResult = S.SocketSend(m_iSocket, big.data(), uBig);
    for (int i = 0; i < 1000 && iResult > 0; ++i) {
        bPartial = bPartial || iResult < static_cast<int32_t>(uBig);
        iResult = S.SocketSend(m_iSocket, big.data(), uBig);
    }
    EXPECT_TRUE(bPartial);
    EXPECT_EQ(iResult, 0);
    // The peer is not reading, yet what it sends must still come in, in pieces that fit.
    uint8_t buf[16];
    EXPECT_EQ(S.SocketRecv(m_iSocket, buf, sizeof(buf)), 0);
    ASSERT_EQ(send(m_iPeer, "0123456789", 10, 0), 10);
    EXPECT_EQ(WaitNonZero([&] { return S.SocketRecv(m_iSocket, buf, 4); }), 4);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), 4), "0123");
    EXPECT_TRUE(g_errors.empty());
}

TEST_F(PosixSockets, PeerCloseReadsAsMinus1WithoutAReport) {
    shutdown(m_iPeer, SHUT_WR);
    uint8_t buf[16];
    EXPECT_EQ(WaitNonZero([&] { return S.SocketRecv(m_iSocket, buf, sizeof(buf)); }), -1);
    EXPECT_TRUE(g_errors.empty());
}

TEST_F(PosixSockets, ResetByPeerReportsTheErrorCodesAndNeverRaisesSigpipe) {
    const linger resetOnClose{1, 0};
    setsockopt(m_iPeer, SOL_SOCKET, SO_LINGER, &resetOnClose, sizeof(resetOnClose));
    close(m_iPeer);
    m_iPeer = -1;
    uint8_t buf[16];
    EXPECT_EQ(WaitNonZero([&] { return S.SocketRecv(m_iSocket, buf, sizeof(buf)); }), -1);
    // The default SIGPIPE action would end this test program here.
    EXPECT_EQ(S.SocketSend(m_iSocket, buf, 4), -1);
    EXPECT_EQ(g_errors, (std::vector<std::string>{"SocketRecv " + std::to_string(ECONNRESET),
                                                  "SocketSend " + std::to_string(EPIPE)}));
}

}  // namespace
