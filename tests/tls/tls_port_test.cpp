// SPDX-License-Identifier: MIT
// The TLS port against an agent that controls its records: an mbedTLS server in this
// process, joined to the port by in-memory pipes. Argument: the folder of the certificates
// that scripts/tls-certs.sh made.
#include <gtest/gtest.h>
#include <mbedtls/pk.h>
#include <mbedtls/ssl_cache.h>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "../../ports/tls/src/tls_state.h"

namespace {

std::string g_dir;
std::deque<uint8_t> g_toAgent, g_toDevice;
bool g_bRefused = false;    // the transport fails once it has nothing more to read
bool g_bOpenFails = false;  // the transport's open fails (no route)
int g_iSendLimit = -1;      // bytes the transport still takes (-1: all)
std::vector<std::string> g_log;
int g_iEntropyCalls = 0;
// The agent's end; never freed, so still reachable at exit.
mbedtls_x509_crt g_cert;
mbedtls_pk_context g_key;
mbedtls_ssl_config g_conf;
mbedtls_ssl_context g_agent;
mbedtls_ssl_cache_context g_cache;

int take(std::deque<uint8_t> &from, uint8_t *lpBuf, size_t uSize) {
    int n = 0;
    for (; size_t(n) < uSize && !from.empty(); ++n, from.pop_front()) lpBuf[n] = from.front();
    return n;
}
int put(std::deque<uint8_t> &to, const uint8_t *lpData, size_t uSize) {
    to.insert(to.end(), lpData, lpData + uSize);
    return int(uSize);
}
const XR_DEV_TCP_SOCKET_CALLBACK_S kPipes = {
    [](const char *) { return g_bOpenFails ? -1 : 0; }, [](int32_t) { return 1; }, [](int32_t) {},
    [](int32_t, const uint8_t *lpData, uint32_t uSize) {
        const uint32_t uTake = g_iSendLimit < 0 ? uSize : std::min(uSize, uint32_t(g_iSendLimit));
        if (g_iSendLimit >= 0) g_iSendLimit -= int(uTake);
        return put(g_toAgent, lpData, uTake);
    },
    [](int32_t, uint8_t *lpBuf, uint32_t uSize) {
        return g_bRefused && g_toDevice.empty() ? -1 : take(g_toDevice, lpBuf, uSize);
    }};

// The agent, with a session cache, (re)started for a new connection from the device.
void restartAgent() {
    static bool bLoaded = false;
    if (!bLoaded) {
        ASSERT_EQ(mbedtls_x509_crt_parse_file(&g_cert, (g_dir + "/agent.pem").c_str()) |
                      mbedtls_pk_parse_keyfile(&g_key, (g_dir + "/agent.key").c_str(), nullptr) |
                      mbedtls_ssl_config_defaults(&g_conf, MBEDTLS_SSL_IS_SERVER, 0, 0) |
                      mbedtls_ssl_conf_own_cert(&g_conf, &g_cert, &g_key),
                  0);
        mbedtls_ssl_conf_rng(
            &g_conf,
            [](void *, unsigned char *p, size_t n) {
                for (size_t i = 0; i < n; ++i) p[i] = uint8_t(rand());
                return 0;
            },
            nullptr);
        mbedtls_ssl_cache_init(&g_cache);
        mbedtls_ssl_conf_session_cache(&g_conf, &g_cache, mbedtls_ssl_cache_get,
                                       mbedtls_ssl_cache_set);
        mbedtls_ssl_setup(&g_agent, &g_conf);
        mbedtls_ssl_set_bio(
            &g_agent, nullptr,
            [](void *, const uint8_t *p, size_t n) { return put(g_toDevice, p, n); },
            [](void *, uint8_t *p, size_t n) {
                const int k = take(g_toAgent, p, n);
                return k > 0 ? k : MBEDTLS_ERR_SSL_WANT_READ;
            },
            nullptr);
        bLoaded = true;
    }
    mbedtls_ssl_session_reset(&g_agent);
    g_bRefused = false;
    g_toAgent.clear();
    g_toDevice.clear();
}

// The port set up over the pipes, with the device's entropy source.
const XR_DEV_TCP_SOCKET_CALLBACK_S &setupPort() {
    XR_DEV_TCP_TLS_CONFIG_S tls = {};
    tls.lpTransport = &kPipes;
    static const std::string ca = g_dir + "/ca.pem";
    tls.lpszCaFile = ca.c_str();
    tls.lpszServerName = "devtcp-agent";
    tls.lpLog = [](int32_t, const char *lpszLine) { g_log.push_back(lpszLine); };
    tls.Entropy = [](void *, unsigned char *lpBuf, size_t uSize, size_t *lpOutLen) {
        ++g_iEntropyCalls;
        for (size_t i = 0; i < uSize; ++i) lpBuf[i] = uint8_t(rand());
        return *lpOutLen = uSize, 0;
    };
    EXPECT_EQ(xrDevTcpTlsSetup(&tls), 0);
    return *xrDevTcpTlsSocketTable();
}

// A connection to @p lpszAddr whose handshake the agent answers to its end.
int32_t handshake(const XR_DEV_TCP_SOCKET_CALLBACK_S &port, const char *lpszAddr) {
    restartAgent();
    const int32_t iSocket = port.SocketOpen(lpszAddr);
    for (int i = 0; i < 2000 && port.SocketCheck(iSocket) == 0; ++i)
        mbedtls_ssl_handshake(&g_agent);
    EXPECT_EQ(port.SocketCheck(iSocket), 1);
    return iSocket;
}

// The length of the session ID in the device's ClientHello, read from its documented
// layout (record header 5, handshake header 4, version 2, random 32): 32 when it offers a
// kept session, 0 for a full handshake.
int offeredSessionId() {
    return g_toAgent.size() > 43 && g_toAgent[0] == 22 && g_toAgent[5] == 1 ? g_toAgent[43] : -1;
}

// The device's entropy source seeds the generator; a refused transport shows at once; an
// unanswered handshake and a record cut short say so; empty records are no close; a flood
// of alerts is read 16 records a call and ends the link after 100, with a line saying why.
TEST(TlsPort, EntropyRefusedOrSilentAgentEmptyRecordsAlertFloodAndACutRecord) {
    const XR_DEV_TCP_SOCKET_CALLBACK_S &port = setupPort();
    const mbedtls_entropy_context &entropy = devtcp_tls::g_stTls.stEntropy;
    EXPECT_EQ(entropy.source[entropy.source_count - 1].strong, MBEDTLS_ENTROPY_SOURCE_STRONG);
    EXPECT_GT(g_iEntropyCalls, 0);
    uint8_t buf[16];
    g_bRefused = true;
    const int32_t iRefused = port.SocketOpen("10.0.0.1:8800");
    EXPECT_EQ(port.SocketRecv(iRefused, buf, sizeof buf), -1);  // not a login timeout later
    port.SocketClose(iRefused);
    g_bRefused = false;
    const int32_t iSilent = port.SocketOpen("10.0.0.1:8800");  // the agent never answers
    EXPECT_EQ(port.SocketCheck(iSilent), 0);
    port.SocketClose(iSilent);
    EXPECT_NE(g_log.back().find("unfinished: the agent did not answer its hello"),
              std::string::npos);
    const int32_t iSocket = handshake(port, "10.0.0.1:8800");
    for (int i = 0; i < 2; ++i) mbedtls_ssl_write(&g_agent, buf, 0);  // two empty records
    mbedtls_ssl_write(&g_agent, reinterpret_cast<const uint8_t *>("frame"), 5);
    int32_t iRead = 0;
    for (int i = 0; i < 4 && iRead == 0; ++i) iRead = port.SocketRecv(iSocket, buf, sizeof buf);
    EXPECT_EQ(iRead, 5);

    for (int i = 0; i < 1000; ++i)
        mbedtls_ssl_send_alert_message(&g_agent, MBEDTLS_SSL_ALERT_LEVEL_WARNING,
                                       MBEDTLS_SSL_ALERT_MSG_USER_CANCELED);
    std::vector<int32_t> results{port.SocketRecv(iSocket, buf, sizeof buf)};
    while (results.back() == 0 && results.size() < 100)
        results.push_back(port.SocketRecv(iSocket, buf, sizeof buf));
    EXPECT_EQ(results, std::vector<int32_t>({0, 0, 0, 0, 0, 0, -1}));  // 16, 32, ... 112
    EXPECT_NE(g_log.back().find("112 records in a row without data"), std::string::npos);
    g_toDevice.clear();  // then a record that the close cuts short
    mbedtls_ssl_write(&g_agent, buf, 8);
    g_toDevice.resize(g_toDevice.size() - 3);
    g_bRefused = true;
    EXPECT_EQ(port.SocketRecv(iSocket, buf, sizeof buf), -1);
    EXPECT_NE(g_log.back().find("ended inside a record, 3 bytes short"), std::string::npos);
    xrDevTcpTlsCleanup();
}

// The frames that the agent reads, in order.
std::string agentReads() {
    std::string got;
    uint8_t buf[64];
    for (int i = 0; i < 8; ++i) {  // an alert reads as want-read
        const int iRead = mbedtls_ssl_read(&g_agent, buf, sizeof buf);
        if (iRead > 0) got.append(reinterpret_cast<char *>(buf), size_t(iRead)) += '|';
        if (iRead <= 0 && g_toAgent.empty()) break;
    }
    return got;
}

// A record that mbedTLS writes on its own inside a read (the no_renegotiation alert that
// answers the agent's HelloRequest) and that the transport takes only part of goes out
// before the next frame, which is reported written only once it is on its way; a frame's
// record that such a read finishes is not written again.
TEST(TlsPort, FramesAroundAHelloRequestGoOutOnceEach) {
    const XR_DEV_TCP_SOCKET_CALLBACK_S &port = setupPort();
    const int32_t iSocket = handshake(port, "10.0.0.2:8800");
    const auto *lpFrame = reinterpret_cast<const uint8_t *>("FRAME-TWO");
    uint8_t buf[16];
    ASSERT_EQ(mbedtls_ssl_renegotiate(&g_agent), 0);  // the HelloRequest
    g_iSendLimit = 3;
    EXPECT_EQ(port.SocketRecv(iSocket, buf, sizeof buf), 0);
    EXPECT_EQ(port.SocketSend(iSocket, lpFrame, 9), 0);
    EXPECT_EQ(g_toAgent.size(), 3u);
    g_iSendLimit = -1;
    EXPECT_EQ(port.SocketSend(iSocket, lpFrame, 9), 9);
    EXPECT_EQ(agentReads(), "FRAME-TWO|");

    g_iSendLimit = 3;  // now the frame first, then the HelloRequest
    EXPECT_EQ(port.SocketSend(iSocket, lpFrame + 6, 3), 0);
    g_iSendLimit = -1;
    ASSERT_EQ(mbedtls_ssl_renegotiate(&g_agent), 0);
    EXPECT_EQ(port.SocketRecv(iSocket, buf, sizeof buf), 0);
    EXPECT_EQ(port.SocketSend(iSocket, lpFrame + 6, 3), 3);
    EXPECT_EQ(agentReads(), "TWO|");
    xrDevTcpTlsCleanup();
}

// The session kept for one address survives a failed open to another (the transport's
// open fails before the entry is touched) and is offered on the next connection to it;
// a resumed hello that gets no answer forgets it, so the next handshake is full.
TEST(TlsPort, KeptSessionSurvivesAFailedOpenNotAnUnansweredHello) {
    const XR_DEV_TCP_SOCKET_CALLBACK_S &port = setupPort();
    port.SocketClose(handshake(port, "10.0.0.3:8800"));
    const int32_t iOther = port.SocketOpen("10.0.0.4:8800");  // takes the other entry
    g_bOpenFails = true;
    EXPECT_EQ(port.SocketOpen("10.0.0.5:8800"), -1);
    g_bOpenFails = false;
    port.SocketClose(iOther);
    restartAgent();
    const int32_t iSocket = port.SocketOpen("10.0.0.3:8800");
    EXPECT_EQ(port.SocketCheck(iSocket), 0);
    EXPECT_EQ(offeredSessionId(), 32);
    port.SocketClose(iSocket);  // the library's login timeout
    restartAgent();
    EXPECT_EQ(port.SocketCheck(port.SocketOpen("10.0.0.3:8800")), 0);
    EXPECT_EQ(offeredSessionId(), 0);
    xrDevTcpTlsCleanup();
}

#ifdef MBEDTLS_ECP_RESTARTABLE
// A full handshake advances a step of its elliptic-curve work per call: the calls that
// find a step pending (and answer "not ready") outnumber the twenty ticks it must span, and
// a call that finishes a computation starts no other in a later state of the handshake.
TEST(TlsPort, FullHandshakeAdvancesInSteps) {
    const XR_DEV_TCP_SOCKET_CALLBACK_S &port = setupPort();
    restartAgent();
    const int32_t iSocket = port.SocketOpen("10.0.0.6:8800");
    const devtcp_tls::TlsLink &link = devtcp_tls::g_stTls.stLink[iSocket];
    int iUp = 0, iSteps = 0;
    for (int i = 0; i < 2000 && iUp == 0; ++i) {
        const bool bComputing = link.bComputing;
        const int iState = link.stSsl.state;
        iUp = port.SocketCheck(iSocket);
        EXPECT_FALSE(bComputing && link.bComputing && link.stSsl.state != iState) << iState;
        if (devtcp_tls::stepPending(link))
            ++iSteps;
        else
            mbedtls_ssl_handshake(&g_agent);
    }
    EXPECT_EQ(iUp, 1);
    EXPECT_FALSE(devtcp_tls::stepPending(link));
    EXPECT_GE(iSteps, 20);
    xrDevTcpTlsCleanup();
}
#endif

}  // namespace

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    g_dir = argc > 1 ? argv[1] : ".";
    return RUN_ALL_TESTS();
}
