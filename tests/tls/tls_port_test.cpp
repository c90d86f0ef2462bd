// SPDX-License-Identifier: MIT
// The TLS port against an agent that controls its records: an mbedTLS server in this
// process, joined to the port by in-memory pipes. Argument: the folder of the certificates
// that scripts/tls-certs.sh made.
#include <gtest/gtest.h>
#include <mbedtls/pk.h>

#include <deque>
#include <string>
#include <vector>

#include "../../ports/tls/src/tls_state.h"

namespace {

std::string g_dir;
std::deque<uint8_t> g_toAgent, g_toDevice;
bool g_bRefused = false;  // the transport fails once it has nothing more to read
std::vector<std::string> g_log;
int g_iEntropyCalls = 0;
// The agent's end; never freed, so still reachable at exit.
mbedtls_x509_crt g_cert;
mbedtls_pk_context g_key;
mbedtls_ssl_config g_conf;
mbedtls_ssl_context g_agent;

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
    [](const char *) { return 0; }, [](int32_t) { return 1; }, [](int32_t) {},
    [](int32_t, const uint8_t *lpData, uint32_t uSize) { return put(g_toAgent, lpData, uSize); },
    [](int32_t, uint8_t *lpBuf, uint32_t uSize) {
        return g_bRefused && g_toDevice.empty() ? -1 : take(g_toDevice, lpBuf, uSize);
    }};

// The device's entropy source seeds the generator; a refused transport shows at once; an
// unanswered handshake and a record cut short say so; empty records are no close; a flood
// of alerts is read 16 records a call and ends the link after 100, with a line saying why.
// Data that mbedTLS holds needs no wait on the transport (which here has never anything).
TEST(TlsPort, EntropyRefusedOrSilentAgentEmptyRecordsAlertFloodAndACutRecord) {
    XR_DEV_TCP_TLS_CONFIG_S tls = {};
    tls.lpTransport = &kPipes;
    const std::string ca = g_dir + "/ca.pem";
    tls.lpszCaFile = ca.c_str();
    tls.lpszServerName = "devtcp-agent";
    tls.lpLog = [](int32_t, const char *lpszLine) { g_log.push_back(lpszLine); };
    tls.TransportWait = [](uint32_t) { return int32_t(0); };
    tls.Entropy = [](void *, unsigned char *lpBuf, size_t uSize, size_t *lpOutLen) {
        ++g_iEntropyCalls;
        for (size_t i = 0; i < uSize; ++i) lpBuf[i] = uint8_t(rand());
        return *lpOutLen = uSize, 0;
    };
    ASSERT_EQ(xrDevTcpTlsSetup(&tls), 0);
    const mbedtls_entropy_context &entropy = devtcp_tls::g_stTls.stEntropy;
    EXPECT_EQ(entropy.source[entropy.source_count - 1].strong, MBEDTLS_ENTROPY_SOURCE_STRONG);
    EXPECT_GT(g_iEntropyCalls, 0);
    const XR_DEV_TCP_SOCKET_CALLBACK_S &port = *xrDevTcpTlsSocketTable();
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
    g_toAgent.clear();

    ASSERT_EQ(mbedtls_x509_crt_parse_file(&g_cert, (g_dir + "/agent.pem").c_str()) |
                  mbedtls_pk_parse_keyfile(&g_key, (g_dir + "/agent.key").c_str(), nullptr) |
                  mbedtls_ssl_config_defaults(&g_conf, MBEDTLS_SSL_IS_SERVER, 0, 0) |
                  mbedtls_ssl_conf_own_cert(&g_conf, &g_cert, &g_key),
              0);
    mbedtls_ssl_conf_rng(&g_conf, mbedtls_ctr_drbg_random, &devtcp_tls::g_stTls.stDrbg);
    mbedtls_ssl_setup(&g_agent, &g_conf);
    mbedtls_ssl_set_bio(
        &g_agent, nullptr, [](void *, const uint8_t *p, size_t n) { return put(g_toDevice, p, n); },
        [](void *, uint8_t *p, size_t n) {
            const int k = take(g_toAgent, p, n);
            return k > 0 ? k : MBEDTLS_ERR_SSL_WANT_READ;
        },
        nullptr);
    const int32_t iSocket = port.SocketOpen("10.0.0.1:8800");
    for (int i = 0; i < 20 && port.SocketCheck(iSocket) == 0; ++i) mbedtls_ssl_handshake(&g_agent);
    ASSERT_EQ(port.SocketCheck(iSocket), 1);
    for (int i = 0; i < 2; ++i) mbedtls_ssl_write(&g_agent, buf, 0);  // two empty records
    mbedtls_ssl_write(&g_agent, reinterpret_cast<const uint8_t *>("frame"), 5);
    int32_t iRead = 0;
    for (int i = 0; i < 4 && iRead == 0; ++i) iRead = port.SocketRecv(iSocket, buf, sizeof buf);
    EXPECT_EQ(iRead, 5);
    EXPECT_EQ(xrDevTcpTlsWait(1000), 0);
    mbedtls_ssl_write(&g_agent, reinterpret_cast<const uint8_t *>("0123456789"), 10);
    EXPECT_EQ(port.SocketRecv(iSocket, buf, 4), 4);
    EXPECT_EQ(xrDevTcpTlsWait(1000), 1);
    EXPECT_EQ(port.SocketRecv(iSocket, buf, sizeof buf), 6);
    EXPECT_EQ(xrDevTcpTlsWait(1000), 0);

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

}  // namespace

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    g_dir = argc > 1 ? argv[1] : ".";
    return RUN_ALL_TESTS();
}
