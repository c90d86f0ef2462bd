// The socket operations against real loopback connections.
#include "sockets.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "captured_output.h"
#include "socket_common.h"

namespace {

// Calls @p probe until it gives something other than 0, for at most 10 s.
int32_t WaitNonZero(const std::function<int32_t()> &probe) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int32_t iResult = probe();
    while (iResult == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        iResult = probe();
    }
    return iResult;
}

// A loopback socket bound to a free port; listening unless @p iBacklog is negative.
int BoundSocket(int iBacklog, std::string &address) {
    const int iFd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t uLen = sizeof(addr);
    bind(iFd, reinterpret_cast<const sockaddr *>(&addr), sizeof(addr));
    getsockname(iFd, reinterpret_cast<sockaddr *>(&addr), &uLen);
    address = "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
    if (iBacklog >= 0) {
        listen(iFd, iBacklog);
    }
    return iFd;
}

class Sockets : public ::testing::Test {
  protected:
    void SetUp() override {
        SocketCount = 0;
        m_iListener = BoundSocket(8, m_address);
    }
    void TearDown() override {
        for (int iFd : m_fds) {
            close(iFd);
        }
        close(m_iListener);
    }

    // The next queued connection, its reads bounded by a timeout; -1 when none comes.
    int Accept() {
        pollfd pfd{m_iListener, POLLIN, 0};
        const int iFd = poll(&pfd, 1, 10000) == 1 ? accept(m_iListener, nullptr, nullptr) : -1;
        const timeval limit{10, 0};
        setsockopt(iFd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
        m_fds.push_back(iFd);
        return iFd;
    }

    // An established connection from SocketOpen, with the listener's end in @p iPeer.
    int32_t Connect(int &iPeer) {
        const int32_t iSocket = SocketOpen(m_address.c_str());
        EXPECT_EQ(WaitNonZero([&] { return SocketCheck(iSocket); }), 1);
        iPeer = Accept();
        m_output.Take();
        return iSocket;
    }

    CapturedOutput m_output;
    int m_iListener = -1;
    std::string m_address;
    std::vector<int> m_fds;
};

TEST(SocketAddress, SplitsAtTheFirstColonAndKeepsTheLow16BitsOfThePort) {
    const struct {
        const char *lpszAddr, *lpszHost;
        uint16_t usPort;
    } cases[] = {{"127.0.0.1:5000", "127.0.0.1", 5000},
                 {"127.0.0.1", "127.0.0.1", 0},
                 {"1.2.3.4:", "1.2.3.4", 0},
                 {":80", "", 80},
                 {"h:80x", "h", 80},
                 {"h:-1", "h", 65535},
                 {"h:70000", "h", 4464},
                 {"h: +8800", "h", 8800},
                 {"a:b:c", "a", 0},
                 {"h:99999999999999999999", "h", 65535}};
    char szHost[SOCKET_HOST_SIZE];
    for (const auto &c : cases) {
        uint16_t usPort = 1;
        ASSERT_TRUE(SplitSocketAddress(c.lpszAddr, szHost, usPort)) << c.lpszAddr;
        EXPECT_STREQ(szHost, c.lpszHost) << c.lpszAddr;
        EXPECT_EQ(usPort, c.usPort) << c.lpszAddr;
    }
    uint16_t usPort = 0;
    EXPECT_TRUE(SplitSocketAddress((std::string(31, '1') + ":1").c_str(), szHost, usPort));
    EXPECT_FALSE(SplitSocketAddress((std::string(32, '1') + ":1").c_str(), szHost, usPort));
}

TEST_F(Sockets, OpenAnswers0UntilTheConnectionIsMadeThen1AndCountsEveryOpenAndClose) {
    // Backlog 0 and one queued connection: the listener drops further requests, which
    // keeps the attempt pending until the queued connection is taken.
    close(m_iListener);
    m_iListener = BoundSocket(0, m_address);
    const int32_t iFiller = SocketOpen(m_address.c_str());
    ASSERT_EQ(WaitNonZero([&] { return SocketCheck(iFiller); }), 1);

    const int32_t iSocket = SocketOpen(m_address.c_str());
    ASSERT_GE(iSocket, 0);
#ifdef __linux__
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(SocketCheck(iSocket), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
#endif
    Accept();
    EXPECT_EQ(WaitNonZero([&] { return SocketCheck(iSocket); }), 1);
    EXPECT_EQ(SocketCheck(iSocket), 1);

    SocketClose(iSocket);
    SocketClose(iFiller);
    SocketClose(-1);
    EXPECT_EQ(m_output.Take(),
              "SocketOpen: SocketCount=1\nSocketOpen: SocketCount=2\n"
              "SocketClose: SocketCount=1\nSocketClose: SocketCount=0\n"
              "SocketClose: SocketCount=0\n");
}

TEST_F(Sockets, RefusedAttemptAnswers0OnEveryCheck) {
    std::string closedPort;
    close(BoundSocket(-1, closedPort));
    const int32_t iSocket = SocketOpen(closedPort.c_str());
    if (iSocket < 0) {  // refused within connect itself: a silent failed open
        EXPECT_EQ(m_output.Take(), "");
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(SocketCheck(iSocket), 0) << "check " << i;
    }
    SocketClose(iSocket);
}

TEST_F(Sockets, UnusableAddressesFailTheOpenSilently) {
    const std::string longHost = std::string(32, '1') + ":8800";
    for (const char *lpszAddr :
         {longHost.c_str(), "localhost:8800", "127.0.0.1 x:1", "", "300.1.1.1:1"}) {
        EXPECT_EQ(SocketOpen(lpszAddr), -1) << lpszAddr;
    }
    EXPECT_EQ(SocketCount, 0);
    EXPECT_EQ(m_output.Take(), "");
}

TEST_F(Sockets, AFullSendBufferTakesPartThenNothingButStillLetsDataIn) {
    int iPeer = -1;
    const int32_t iSocket = Connect(iPeer);
    uint8_t buf[16];
    EXPECT_EQ(SocketRecv(iSocket, buf, sizeof(buf)), 0);

    const int iSmall = 4096;
    setsockopt(iSocket, SOL_SOCKET, SO_SNDBUF, &iSmall, sizeof(iSmall));
    setsockopt(iPeer, SOL_SOCKET, SO_RCVBUF, &iSmall, sizeof(iSmall));
    const std::vector<uint8_t> big(1 << 20, 0x5A);
    const auto uBig = static_cast<uint32_t>(big.size());
    bool bPartial = false;
    int32_t iResult = SocketSend(iSocket, big.data(), uBig);
    for (int i = 0; i < 1000 && iResult > 0; ++i) {
        bPartial = bPartial || iResult < static_cast<int32_t>(uBig);
        iResult = SocketSend(iSocket, big.data(), uBig);
    }
    EXPECT_TRUE(bPartial);
    EXPECT_EQ(iResult, 0);

    // The peer is not reading, yet what it sends must still come in, in pieces that fit.
    ASSERT_EQ(send(iPeer, "0123456789", 10, 0), 10);
    EXPECT_EQ(WaitNonZero([&] { return SocketRecv(iSocket, buf, 4); }), 4);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), 4), "0123");
    EXPECT_EQ(m_output.Take(), "");
    SocketClose(iSocket);
}

TEST_F(Sockets, PeerCloseReadsAsMinus1WithoutAMessage) {
    int iPeer = -1;
    const int32_t iSocket = Connect(iPeer);
    EXPECT_EQ(SocketSend(iSocket, reinterpret_cast<const uint8_t *>("hi"), 2), 2);
    char got[2];
    EXPECT_EQ(recv(iPeer, got, 2, MSG_WAITALL), 2);
    shutdown(iPeer, SHUT_WR);

    uint8_t buf[16];
    EXPECT_EQ(WaitNonZero([&] { return SocketRecv(iSocket, buf, sizeof(buf)); }), -1);
    EXPECT_EQ(m_output.Take(), "");
    SocketClose(iSocket);
}

TEST_F(Sockets, ResetByPeerPrintsTheErrorCodeAndNeverRaisesSigpipe) {
    int iPeer = -1;
    const int32_t iSocket = Connect(iPeer);
    const linger resetOnClose{1, 0};
    setsockopt(iPeer, SOL_SOCKET, SO_LINGER, &resetOnClose, sizeof(resetOnClose));
    close(iPeer);
    m_fds.clear();

    uint8_t buf[16];
    EXPECT_EQ(WaitNonZero([&] { return SocketRecv(iSocket, buf, sizeof(buf)); }), -1);
    EXPECT_EQ(m_output.Take(), "SocketRecv: iErr=" + std::to_string(ECONNRESET) + "\n");
    // The default SIGPIPE action would end this test program here.
    EXPECT_EQ(SocketSend(iSocket, buf, 4), -1);
    EXPECT_EQ(m_output.Take(), "SocketSend: iErr=" + std::to_string(EPIPE) + "\n");
    SocketClose(iSocket);
}

}  // namespace
