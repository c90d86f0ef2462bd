// SPDX-License-Identifier: MIT
// What the TLS port costs on the heap: mbedTLS's calloc and free, counted through the
// linker's --wrap, while one link makes its handshake and carries a frame of the
// largest size each way; then what a reconnect on the kept session costs against a full
// handshake: bytes each way and, run under callgrind (bench/tls.sh), the device's
// instructions (the port's SocketOpen and SocketCheck calls, mbedTLS inside them), in all
// and in the longest single call. The
// agent's side is an mbedTLS server with session tickets in the same process, joined to
// the port by in-memory pipes; only the port's allocations and instructions are counted.
//   tls_memory CA_PEM AGENT_PEM AGENT_KEY
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/pk.h>
#include <mbedtls/ssl.h>
#include <mbedtls/ssl_ticket.h>
#include <valgrind/callgrind.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>

#include "../ports/tls/src/tls_state.h"
#include "xr_dev_tcp_tls.h"

extern "C" void *__real_calloc(size_t, size_t);
extern "C" void __real_free(void *);

namespace {

// Each block carries its size and whether the port made it, ahead of the caller's bytes.
struct alignas(16) Head {
    size_t uSize;
    bool bDevice;
};
bool g_bDevice = false;  // the port is running: its allocations count
size_t g_uInUse = 0, g_uPeak = 0;

std::deque<uint8_t> g_toAgent, g_toDevice;
size_t g_uToAgent = 0, g_uToDevice = 0;  // bytes each way, ever

int32_t pipeOpen(const char *) {
    return 7;
}
int32_t pipeCheck(int32_t) {
    return 1;
}
void pipeClose(int32_t) {}
int32_t pipeSend(int32_t, const uint8_t *lpData, uint32_t uSize) {
    g_toAgent.insert(g_toAgent.end(), lpData, lpData + uSize);
    g_uToAgent += uSize;
    return int32_t(uSize);
}
int32_t pipeRecv(int32_t, uint8_t *lpBuf, uint32_t uSize) {
    uint32_t n = 0;
    for (; n < uSize && !g_toDevice.empty(); ++n, g_toDevice.pop_front())
        lpBuf[n] = g_toDevice.front();
    return int32_t(n);
}
int agentSend(void *, const unsigned char *lpBuf, size_t uLen) {
    g_toDevice.insert(g_toDevice.end(), lpBuf, lpBuf + uLen);
    g_uToDevice += uLen;
    return int(uLen);
}
int agentRecv(void *, unsigned char *lpBuf, size_t uLen) {
    size_t n = 0;
    for (; n < uLen && !g_toAgent.empty(); ++n, g_toAgent.pop_front()) lpBuf[n] = g_toAgent.front();
    return n ? int(n) : MBEDTLS_ERR_SSL_WANT_READ;
}

void fail(const char *lpszWhat, int iErr) {
    std::fprintf(stderr, "tls_memory: %s failed (-0x%04X)\n", lpszWhat, unsigned(-iErr));
    std::exit(1);
}

void logLine(int32_t, const char *lpszText) {
    std::fprintf(stderr, "%s\n", lpszText);
}

// One call of the port, counted: its allocations, and under callgrind its instructions,
// written as one count under @p lpszName (each call's apart, to find the longest).
template <class Call>
int32_t device(const char *lpszName, Call call) {
    g_bDevice = true;
    CALLGRIND_TOGGLE_COLLECT;
    const int32_t iResult = call();
    CALLGRIND_TOGGLE_COLLECT;
    g_bDevice = false;
    CALLGRIND_DUMP_STATS_AT(lpszName);
    return iResult;
}

// One connection of the port to the agent, up to the end of the handshake.
int32_t connect(const XR_DEV_TCP_SOCKET_CALLBACK_S &port, mbedtls_ssl_context &agent,
                const char *lpszName) {
    const size_t uToAgent = g_uToAgent, uToDevice = g_uToDevice;
    const int32_t iSocket = device(lpszName, [&] { return port.SocketOpen("agent"); });
    int32_t iUp = 0;
    int iCalls = 0;
    for (; iCalls < 1000 && iUp == 0; ++iCalls) {
        iUp = device(lpszName, [&] { return port.SocketCheck(iSocket); });
        const int iErr = mbedtls_ssl_handshake(&agent);
        if (iErr != 0 && iErr != MBEDTLS_ERR_SSL_WANT_READ) fail("agent handshake", iErr);
    }
    if (iUp != 1) fail("port handshake", iUp);
    std::printf("%s: %zu B to the agent, %zu B from it, %d SocketCheck calls\n", lpszName,
                g_uToAgent - uToAgent, g_uToDevice - uToDevice, iCalls);
    return iSocket;
}

}  // namespace

extern "C" void *__wrap_calloc(size_t uCount, size_t uSize) {
    const size_t uBytes = uCount * uSize;
    auto *lpHead = static_cast<Head *>(__real_calloc(1, sizeof(Head) + uBytes));
    if (lpHead == nullptr) return nullptr;
    lpHead->uSize = uBytes;
    lpHead->bDevice = g_bDevice;
    if (g_bDevice && (g_uInUse += uBytes) > g_uPeak) g_uPeak = g_uInUse;
    return lpHead + 1;
}

extern "C" void __wrap_free(void *lpBlock) {
    if (lpBlock == nullptr) return;
    Head *lpHead = static_cast<Head *>(lpBlock) - 1;
    if (lpHead->bDevice) g_uInUse -= lpHead->uSize;
    __real_free(lpHead);
}

int main(int argc, char **argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: tls_memory CA_PEM AGENT_PEM AGENT_KEY\n");
        return 2;
    }
    // The agent: an mbedTLS server with the certificate and key.
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context drbg;
    mbedtls_x509_crt cert;
    mbedtls_pk_context key;
    mbedtls_ssl_config conf;
    mbedtls_ssl_context agent;
    mbedtls_entropy_init(&entropy);
    mbedtls_ctr_drbg_init(&drbg);
    mbedtls_x509_crt_init(&cert);
    mbedtls_pk_init(&key);
    mbedtls_ssl_config_init(&conf);
    mbedtls_ssl_init(&agent);
    mbedtls_ssl_ticket_context ticket;
    mbedtls_ssl_ticket_init(&ticket);
    int iErr = mbedtls_ctr_drbg_seed(&drbg, mbedtls_entropy_func, &entropy, nullptr, 0);
    if (iErr == 0) iErr = mbedtls_x509_crt_parse_file(&cert, argv[2]);
    if (iErr == 0) iErr = mbedtls_pk_parse_keyfile(&key, argv[3], nullptr);
    if (iErr == 0)
        iErr = mbedtls_ssl_config_defaults(
            &conf, MBEDTLS_SSL_IS_SERVER, MBEDTLS_SSL_TRANSPORT_STREAM, MBEDTLS_SSL_PRESET_DEFAULT);
    mbedtls_ssl_conf_rng(&conf, mbedtls_ctr_drbg_random, &drbg);
    if (iErr == 0) iErr = mbedtls_ssl_conf_own_cert(&conf, &cert, &key);
    if (iErr == 0)
        iErr = mbedtls_ssl_ticket_setup(&ticket, mbedtls_ctr_drbg_random, &drbg,
                                        MBEDTLS_CIPHER_AES_256_GCM, 86400);
    mbedtls_ssl_conf_session_tickets_cb(&conf, mbedtls_ssl_ticket_write, mbedtls_ssl_ticket_parse,
                                        &ticket);
    if (iErr == 0) iErr = mbedtls_ssl_setup(&agent, &conf);
    if (iErr != 0) fail("agent setup", iErr);
    mbedtls_ssl_set_bio(&agent, nullptr, agentSend, agentRecv, nullptr);

    // The device: the port over the pipes.
    const XR_DEV_TCP_SOCKET_CALLBACK_S pipes = {pipeOpen, pipeCheck, pipeClose, pipeSend, pipeRecv};
    XR_DEV_TCP_TLS_CONFIG_S tls = {};
    tls.lpTransport = &pipes;
    tls.lpszCaFile = argv[1];
    tls.lpszServerName = "devtcp-agent";
    tls.lpLog = logLine;
    g_bDevice = true;
    if (xrDevTcpTlsSetup(&tls) != 0) fail("port setup", -1);
    const size_t uSetup = g_uInUse;
    const XR_DEV_TCP_SOCKET_CALLBACK_S &port = *xrDevTcpTlsSocketTable();
    g_uPeak = g_uInUse;
    const int32_t iSocket = connect(port, agent, "full handshake");
    const size_t uHandshakePeak = g_uPeak - uSetup, uUp = g_uInUse - uSetup;

    // A largest frame each way.
    static uint8_t frame[XR_DEV_TCP_BUF_SIZE], back[XR_DEV_TCP_BUF_SIZE];
    g_uPeak = g_uInUse;
    g_bDevice = true;
    if (port.SocketSend(iSocket, frame, sizeof frame) != int32_t(sizeof frame)) fail("send", 0);
    g_bDevice = false;
    size_t uGot = 0;
    while (uGot < sizeof back) {
        iErr = mbedtls_ssl_read(&agent, back + uGot, sizeof back - uGot);
        if (iErr <= 0) fail("agent read", iErr);
        uGot += size_t(iErr);
    }
    if (mbedtls_ssl_write(&agent, back, sizeof back) != int(sizeof back)) fail("agent write", 0);
    g_bDevice = true;
    for (uGot = 0; uGot < sizeof back;) {
        const int32_t iRead = port.SocketRecv(iSocket, back + uGot, uint32_t(sizeof back - uGot));
        if (iRead <= 0) fail("recv", iRead);
        uGot += uint32_t(iRead);
    }
    const size_t uSessionPeak = g_uPeak - uSetup;
    port.SocketClose(iSocket);
    const size_t uClosed = g_uInUse - uSetup;
    // The agent drops the link, unread close-notify and all; the device comes back to it
    // on the kept session.
    g_toAgent.clear();
    if ((iErr = mbedtls_ssl_session_reset(&agent)) != 0) fail("agent reset", iErr);
    g_uPeak = g_uInUse;
    port.SocketClose(connect(port, agent, "resumed handshake"));
    const size_t uResumedPeak = g_uPeak - uSetup;
    std::printf("setup (CA certificates, random generator): %zu B on the heap\n", uSetup);
    std::printf(
        "per link: handshake peak %zu B, up %zu B, peak carrying 2048-byte frames %zu B, "
        "after close (the kept session) %zu B; resumed handshake peak %zu B\n",
        uHandshakePeak, uUp, uSessionPeak, uClosed, uResumedPeak);
    std::printf("static: %zu B (%d links), of which one mbedtls_ssl_context %zu B\n",
                sizeof devtcp_tls::g_stTls, XR_DEV_TCP_TLS_LINK_NUM, sizeof(mbedtls_ssl_context));
    return 0;
}
