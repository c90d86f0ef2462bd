// SPDX-License-Identifier: MIT
// The POSIX port against real loopback connections, and the address form of every port.
#include "xr_dev_tcp_posix.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "port_common.h"

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

void KeepError(const char *lpszOperation, int32_t iError) {
    g_errors.push_back(std::string(lpszOperation) + " " + std::to_string(iError));
}

// A redirect's address comes from the agent: one that is not exactly "a.b.c.d:port" must
// fail the open, not land on some other port, and be reported once however often retried.
TEST(SocketAddress, OnlyDottedHostAndPortFrom1To65535AreReadAndARefusalIsReportedOnce) {
    // "host:port" as read, or "" for a refused text.
    auto read = [](const char *lpszAddr) {
        uint32_t uHost = 1;
        uint16_t usPort = 1;
        char szRead[32] = "";
        if (devtcp_port::ParseSocketAddress(lpszAddr, uHost, usPort)) {
            snprintf(szRead, sizeof(szRead), "%x:%u", unsigned(uHost), unsigned(usPort));
        }
        return std::string(szRead);
    };
    EXPECT_EQ(read("127.0.0.1:5000"), "7f000001:5000");
    EXPECT_EQ(read("0.0.0.0:1"), "0:1");
    EXPECT_EQ(read("1.2.3.255:65535"), "10203ff:65535");
    xrDevTcpPosixSetErrorHook(KeepError);
    std::vector<std::string> expected;
    for (const char *lpszAddr :
         {"127.0.0.1:74837", "0.0.0.0:-56235", "9.9.9.9:99999999999999999999", "1.2.3.4:80x",
          "1.2.3.4:0", "1.2.3.4:", "1.2.3.4", "1.2.3.4: 80", "1.2.3.4:+80", "1.2.3.4:080",
          "localhost:8800", "", ":80", "256.1.1.1:1", "1.2.3:1", "1.2.3.4.5:1", "01.2.3.4:1",
          "1..2.3:1", "1.2.3.-4:1"}) {
        EXPECT_EQ(read(lpszAddr), "") << lpszAddr;
        EXPECT_EQ(S.SocketOpen(lpszAddr), -1) << lpszAddr;
        EXPECT_EQ(S.SocketOpen(lpszAddr), -1) << lpszAddr;
        expected.push_back(std::string(lpszAddr) + " -1");
    }
    EXPECT_EQ(g_errors, expected);
    g_errors.clear();
}

// A connection through a full send buffer and a reset; one where nobody listens; closed ones.
// The port's wait sleeps out its time unless a socket is readable, or writable where that
// is awaited (the connection, or bytes that a send could not take).
TEST(PosixSockets, FullBuffersAndFailuresAreNeverTakenForSuccessAndNeverRaiseSigpipe) {
    xrDevTcpPosixSetErrorHook(KeepError);
    const int iListener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t uLen = sizeof(addr);
    bind(iListener, reinterpret_cast<const sockaddr *>(&addr), sizeof(addr));
    getsockname(iListener, reinterpret_cast<sockaddr *>(&addr), &uLen);
    listen(iListener, 8);
    const std::string port = std::to_string(ntohs(addr.sin_port));
    const int32_t iSocket = S.SocketOpen(("127.0.0.1:" + port).c_str());
    EXPECT_EQ(xrDevTcpPosixWait(10000), 1);
    EXPECT_EQ(WaitNonZero([&] { return S.SocketCheck(iSocket); }), 1);
    const int iPeer = accept(iListener, nullptr, nullptr);
    EXPECT_EQ(xrDevTcpPosixWait(50), 0);

    const int iSmall = 4096;
    setsockopt(iSocket, SOL_SOCKET, SO_SNDBUF, &iSmall, sizeof(iSmall));
    setsockopt(iPeer, SOL_SOCKET, SO_RCVBUF, &iSmall, sizeof(iSmall));
    const std::vector<uint8_t> big(1 << 20, 0x5A);
    const auto uBig = static_cast<uint32_t>(big.size());
    int32_t iResult = S.SocketSend(iSocket, big.data(), uBig);
    EXPECT_TRUE(iResult > 0 && iResult < static_cast<int32_t>(uBig)) << iResult;
    for (int i = 0; i < 1000 && iResult > 0; ++i) iResult = S.SocketSend(iSocket, big.data(), uBig);
    EXPECT_EQ(iResult, 0);
    EXPECT_EQ(xrDevTcpPosixWait(50), 0);
    // The peer is not reading, yet what it sends must still come in, in pieces that fit.
    uint8_t buf[16];
    EXPECT_EQ(S.SocketRecv(iSocket, buf, sizeof(buf)), 0);
    ASSERT_EQ(send(iPeer, "0123456789", 10, 0), 10);
    EXPECT_EQ(xrDevTcpPosixWait(10000), 1);
    EXPECT_EQ(S.SocketRecv(iSocket, buf, 4), 4);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), 4), "0123");
    EXPECT_EQ(S.SocketRecv(iSocket, buf, sizeof(buf)), 6);
    EXPECT_EQ(xrDevTcpPosixWait(50), 0);
    std::vector<uint8_t> sink(1 << 16);
    EXPECT_EQ(WaitNonZero([&] {  // the peer reads, and there is room to write again
                  while (recv(iPeer, sink.data(), sink.size(), MSG_DONTWAIT) > 0) {
                  }
                  return xrDevTcpPosixWait(5);
              }),
              1);

    const linger resetOnClose{1, 0};
    setsockopt(iPeer, SOL_SOCKET, SO_LINGER, &resetOnClose, sizeof(resetOnClose));
    close(iPeer);
    ASSERT_EQ(xrDevTcpPosixWait(10000), 1);  // the reset has come
    EXPECT_EQ(S.SocketRecv(iSocket, buf, sizeof(buf)), -1);
    // The default SIGPIPE action would end this test program here.
    EXPECT_EQ(S.SocketSend(iSocket, buf, 4), -1);
    EXPECT_EQ(g_errors, (std::vector<std::string>{"SocketRecv " + std::to_string(ECONNRESET),
                                                  "SocketSend " + std::to_string(EPIPE)}));

    const int32_t iRefused = S.SocketOpen(("127.0.0.2:" + port).c_str());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (int i = 0; i < 10 && iRefused >= 0; ++i) EXPECT_EQ(S.SocketCheck(iRefused), 0) << i;
    for (int32_t iClosed : {iSocket, iRefused}) {
        S.SocketClose(iClosed);  // then every operation fails on it
        EXPECT_EQ(
            S.SocketCheck(iClosed) + S.SocketSend(iClosed, buf, 4) + S.SocketRecv(iClosed, buf, 4),
            -3);
    }
}

}  // namespace
