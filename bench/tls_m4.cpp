// SPDX-License-Identifier: MIT
// The TLS port's handshakes on a Cortex-M4 under QEMU (bench/tls_m4.sh), with mbedTLS built
// for the board: a full and a resumed handshake against an mbedTLS agent with session
// tickets in the same image, joined by in-memory pipes. The device's instructions are
// counted per call of the port (SocketOpen, SocketCheck) with the SysTick, which counts one
// per 40 instructions under QEMU's -icount shift=0 (a 25 MHz clock, 1 ns an instruction);
// the agent's are not counted.
//   tls_m4 (semihosting: ca.pem, agent.pem, agent.key in QEMU's working folder)
#include <mbedtls/pk.h>
#include <mbedtls/ssl.h>
#include <mbedtls/ssl_ticket.h>

#include <cstdio>
#include <cstdlib>

#include "xr_dev_tcp_tls.h"
#include "xr_dev_tcp_tls_insecure_entropy.h"

namespace {

volatile uint32_t *const kSysTick = reinterpret_cast<volatile uint32_t *>(0xE000E010);
constexpr uint32_t kSysTickMask = 0xFFFFFF;  // a 24-bit down counter
constexpr uint32_t kInstructionsPerCount = 40;

// A byte queue each way.
struct Pipe {
    uint8_t ucData[8192];
    size_t uHead = 0, uTail = 0, uEver = 0;
    int put(const uint8_t *lpData, size_t uSize) {
        if (uTail + uSize > sizeof ucData) return 0;
        for (size_t i = 0; i < uSize; ++i) ucData[uTail++] = lpData[i];
        uEver += uSize;
        return int(uSize);
    }
    int take(uint8_t *lpBuf, size_t uSize) {
        size_t n = 0;
        for (; n < uSize && uHead < uTail; ++n) lpBuf[n] = ucData[uHead++];
        if (uHead == uTail) uHead = uTail = 0;
        return int(n);
    }
};
Pipe g_toAgent, g_toDevice;

// The device's calls, one count per handshake: in all, the longest, how many.
struct Count {
    uint64_t uTotal = 0;
    uint32_t uLongest = 0, uCalls = 0;
};

template <class Call>
int32_t device(Count &count, Call call) {
    const uint32_t uStart = kSysTick[2];
    const int32_t iResult = call();
    const uint32_t uSpent = ((uStart - kSysTick[2]) & kSysTickMask) * kInstructionsPerCount;
    count.uTotal += uSpent;
    if (uSpent > count.uLongest) count.uLongest = uSpent;
    ++count.uCalls;
    return iResult;
}

void fail(const char *lpszWhat, int iErr) {
    std::printf("tls_m4: %s failed (-0x%04X)\n", lpszWhat, unsigned(-iErr));
    std::exit(1);
}

// A PEM file from the host's folder (semihosting), with its terminating NUL counted.
size_t readFile(const char *lpszName, unsigned char (&buf)[4096]) {
    std::FILE *lpFile = std::fopen(lpszName, "rb");
    if (lpFile == nullptr) fail(lpszName, 0);
    const size_t uSize = std::fread(buf, 1, sizeof buf - 1, lpFile);
    std::fclose(lpFile);
    buf[uSize] = 0;
    return uSize + 1;
}

// Random numbers for the agent's side (not the device's): they need not be good here.
int agentRandom(void *, unsigned char *lpBuf, size_t uSize) {
    static uint32_t uState = 2463534242u;
    for (size_t i = 0; i < uSize; ++i) {
        uState ^= uState << 13, uState ^= uState >> 17, uState ^= uState << 5;
        lpBuf[i] = uint8_t(uState);
    }
    return 0;
}

Count connect(const XR_DEV_TCP_SOCKET_CALLBACK_S &port, mbedtls_ssl_context &agent,
              const char *lpszName) {
    Count count;
    const size_t uToAgent = g_toAgent.uEver, uToDevice = g_toDevice.uEver;
    const int32_t iSocket = device(count, [&] { return port.SocketOpen("agent"); });
    int32_t iUp = 0;
    while (iUp == 0 && count.uCalls < 1000) {
        iUp = device(count, [&] { return port.SocketCheck(iSocket); });
        const int iErr = mbedtls_ssl_handshake(&agent);
        if (iErr != 0 && iErr != MBEDTLS_ERR_SSL_WANT_READ) fail("agent handshake", iErr);
    }
    if (iUp != 1) fail("port handshake", iUp);
    std::printf(
        "%s: %lu device instructions (port and mbedTLS), longest call %lu (%.1f %%), "
        "%lu calls, %u B to the agent, %u B from it\n",
        lpszName, static_cast<unsigned long>(count.uTotal),
        static_cast<unsigned long>(count.uLongest), 100.0 * count.uLongest / count.uTotal,
        static_cast<unsigned long>(count.uCalls), unsigned(g_toAgent.uEver - uToAgent),
        unsigned(g_toDevice.uEver - uToDevice));
    port.SocketClose(iSocket);
    return count;
}

}  // namespace

int main() {
    kSysTick[1] = kSysTickMask;  // reload
    kSysTick[2] = 0;
    kSysTick[0] = 5;  // the processor's clock, no interrupt, on

    static mbedtls_x509_crt cert;
    static mbedtls_pk_context key;
    static mbedtls_ssl_config conf;
    static mbedtls_ssl_context agent;
    static mbedtls_ssl_ticket_context ticket;
    mbedtls_x509_crt_init(&cert);
    mbedtls_pk_init(&key);
    mbedtls_ssl_config_init(&conf);
    mbedtls_ssl_init(&agent);
    mbedtls_ssl_ticket_init(&ticket);
    static unsigned char pem[3][4096];
    const size_t uCa = readFile("ca.pem", pem[0]), uCert = readFile("agent.pem", pem[1]),
                 uKey = readFile("agent.key", pem[2]);
    int iErr = mbedtls_x509_crt_parse(&cert, pem[1], uCert);
    if (iErr == 0) iErr = mbedtls_pk_parse_key(&key, pem[2], uKey, nullptr, 0);
    if (iErr == 0)
        iErr = mbedtls_ssl_config_defaults(
            &conf, MBEDTLS_SSL_IS_SERVER, MBEDTLS_SSL_TRANSPORT_STREAM, MBEDTLS_SSL_PRESET_DEFAULT);
    mbedtls_ssl_conf_rng(&conf, agentRandom, nullptr);
    if (iErr == 0) iErr = mbedtls_ssl_conf_own_cert(&conf, &cert, &key);
    if (iErr == 0)
        iErr = mbedtls_ssl_ticket_setup(&ticket, agentRandom, nullptr, MBEDTLS_CIPHER_AES_128_GCM,
                                        86400);
    mbedtls_ssl_conf_session_tickets_cb(&conf, mbedtls_ssl_ticket_write, mbedtls_ssl_ticket_parse,
                                        &ticket);
    if (iErr == 0) iErr = mbedtls_ssl_setup(&agent, &conf);
    if (iErr != 0) fail("agent setup", iErr);
    mbedtls_ssl_set_bio(
        &agent, nullptr,
        [](void *, const unsigned char *lpBuf, size_t uLen) { return g_toDevice.put(lpBuf, uLen); },
        [](void *, unsigned char *lpBuf, size_t uLen) {
            const int n = g_toAgent.take(lpBuf, uLen);
            return n > 0 ? n : MBEDTLS_ERR_SSL_WANT_READ;
        },
        nullptr);

    const XR_DEV_TCP_SOCKET_CALLBACK_S pipes = {[](const char *) { return int32_t(7); },
                                                [](int32_t) { return int32_t(1); }, [](int32_t) {},
                                                [](int32_t, const uint8_t *lpData, uint32_t uSize) {
                                                    return int32_t(g_toAgent.put(lpData, uSize));
                                                },
                                                [](int32_t, uint8_t *lpBuf, uint32_t uSize) {
                                                    return int32_t(g_toDevice.take(lpBuf, uSize));
                                                }};
    XR_DEV_TCP_TLS_CONFIG_S tls = {};
    tls.lpTransport = &pipes;
    tls.lpCaBuf = pem[0];
    tls.uCaSize = uint32_t(uCa);
    tls.lpszServerName = "devtcp-agent";
    tls.lpLog = [](int32_t, const char *lpszText) { std::printf("%s\n", lpszText); };
    tls.Entropy = xrDevTcpTlsInsecureTestEntropy;  // the emulated board has no RNG
    if (xrDevTcpTlsSetup(&tls) != 0) fail("port setup", -1);
    const XR_DEV_TCP_SOCKET_CALLBACK_S &port = *xrDevTcpTlsSocketTable();

    const Count full = connect(port, agent, "full handshake");
    g_toAgent.uHead = g_toAgent.uTail = 0;  // the close-notify, unread
    if ((iErr = mbedtls_ssl_session_reset(&agent)) != 0) fail("agent reset", iErr);
    const Count resumed = connect(port, agent, "resumed handshake");
    const double dShare = double(full.uLongest) / double(full.uTotal);
    std::printf(
        "resumed / full: %.2f %%; longest call / full handshake: %.2f %% (target: at "
        "most 5 %%)\n",
        100.0 * resumed.uTotal / full.uTotal, 100 * dShare);
    return dShare <= 0.05 ? 0 : 1;
}
