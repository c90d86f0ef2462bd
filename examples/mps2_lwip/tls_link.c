// SPDX-License-Identifier: MIT
// The link over TLS: devtcp::tls on the board's socket table (lwIP's raw API), with mbedTLS
// built for the board (ports/tls/own_mbedtls/config_board.h). The agent's CA comes from
// tls_ca.h, which the build makes from the CA file it was given. Every handshake gets a
// line: bytes each way (a resumed one carries no certificate, so it is a fraction of a
// full one), the ticks it spanned, and, in a run under -icount shift=0, the instructions
// of the library's calls that ran it and the longest of them.
//
// !!! The board has no random number generator: its TLS keys come from the TEST-ONLY
// entropy source (xr_dev_tcp_tls_insecure_entropy.h) and are predictable. A device needs a
// hardware RNG or a secret seed provisioned per device. !!!
#include "tls_link.h"

#include "board.h"
#include "tls_ca.h"
#include "xr_dev_tcp_tls.h"
#include "xr_dev_tcp_tls_insecure_entropy.h"

#define SERVER_NAME "devtcp-agent"  // the agent certificate's name (scripts/tls-certs.sh)
#define INSTRUCTIONS_PER_CLOCK 40u  // -icount shift=0: 1 ns an instruction, 40 ns a clock

static XR_DEV_TCP_SOCKET_CALLBACK_S g_stLower;     // the board's table
static XR_DEV_TCP_SOCKET_CALLBACK_S g_stCounting;  // it, counting the bytes of handshakes
static XR_DEV_TCP_SOCKET_CALLBACK_S g_stTls;       // the TLS table, watching its handshakes
static const XR_DEV_TCP_SOCKET_CALLBACK_S *g_lpTls;
static uint32_t g_uSeed;
static int g_bCount;

// The handshake under way (from SocketOpen until SocketCheck answers 1 or the link
// closes), and how many have been.
typedef struct {
    int bActive, bEnded, bUp;
    uint32_t uNumber, uSent, uReceived, uCalls;
    uint64_t uInstructions, uLongest;
} HANDSHAKE_S;
static HANDSHAKE_S g_stShake;

static int32_t count_send(int32_t iSocket, const uint8_t *lpData, uint32_t uSize) {
    const int32_t iSent = g_stLower.SocketSend(iSocket, lpData, uSize);
    if (g_stShake.bActive && iSent > 0) g_stShake.uSent += (uint32_t)iSent;
    return iSent;
}

static int32_t count_recv(int32_t iSocket, uint8_t *lpBuf, uint32_t uSize) {
    const int32_t iRead = g_stLower.SocketRecv(iSocket, lpBuf, uSize);
    if (g_stShake.bActive && iRead > 0) g_stShake.uReceived += (uint32_t)iRead;
    return iRead;
}

static int32_t watch_open(const char *lpszAddr) {
    const int32_t iSocket = g_lpTls->SocketOpen(lpszAddr);
    if (iSocket >= 0) {
        const uint32_t uNumber = g_stShake.uNumber + 1;
        const HANDSHAKE_S stFresh = {0};
        g_stShake = stFresh;
        g_stShake.uNumber = uNumber;
        g_stShake.bActive = 1;
    }
    return iSocket;
}

static int32_t watch_check(int32_t iSocket) {
    const int32_t iUp = g_lpTls->SocketCheck(iSocket);
    if (g_stShake.bActive && iUp != 0) {
        g_stShake.bActive = 0;
        g_stShake.bEnded = 1;
        g_stShake.bUp = iUp == 1;
    }
    return iUp;
}

static void watch_close(int32_t iSocket) {
    if (g_stShake.bActive) {
        g_stShake.bActive = 0;
        g_stShake.bEnded = 1;
    }
    g_lpTls->SocketClose(iSocket);
}

const XR_DEV_TCP_SOCKET_CALLBACK_S *tls_link_setup(const XR_DEV_TCP_SOCKET_CALLBACK_S *lpTransport,
                                                   uint32_t uSeed, int bCount,
                                                   XR_DEV_TCP_LOG_FUNC lpLog) {
    board_print(
        "tls: INSECURE TEST-ONLY ENTROPY (xrDevTcpTlsInsecureTestEntropy, seed %lu): this "
        "board's TLS keys are predictable; never ship it\n",
        (unsigned long)uSeed);
    g_stLower = *lpTransport;
    g_stCounting = g_stLower;
    g_stCounting.SocketSend = count_send;
    g_stCounting.SocketRecv = count_recv;
    g_uSeed = uSeed;
    g_bCount = bCount;

    XR_DEV_TCP_TLS_CONFIG_S stConfig = {0};
    stConfig.lpTransport = &g_stCounting;
    stConfig.lpCaBuf = (const uint8_t *)kTlsCa;
    stConfig.uCaSize = sizeof kTlsCa;  // PEM: its NUL counted
    stConfig.lpszServerName = SERVER_NAME;
    stConfig.lpLog = lpLog;
    stConfig.Entropy = xrDevTcpTlsInsecureTestEntropy;
    stConfig.lpEntropyCtx = &g_uSeed;
    if (xrDevTcpTlsSetup(&stConfig) != 0) board_fail("TLS setup");

    g_lpTls = xrDevTcpTlsSocketTable();
    g_stTls = *g_lpTls;
    g_stTls.SocketOpen = watch_open;
    g_stTls.SocketCheck = watch_check;
    g_stTls.SocketClose = watch_close;
    board_print("tls: the agent's certificate must chain to the built-in CA and name %s\n",
                SERVER_NAME);
    return &g_stTls;
}

static void report(void) {
    board_print("tls: handshake %lu %s: %lu bytes sent, %lu received, %lu ticks",
                (unsigned long)g_stShake.uNumber, g_stShake.bUp ? "completed" : "given up",
                (unsigned long)g_stShake.uSent, (unsigned long)g_stShake.uReceived,
                (unsigned long)g_stShake.uCalls);
    if (g_bCount && g_stShake.uInstructions > 0) {
        const uint64_t uTotal = g_stShake.uInstructions, uLongest = g_stShake.uLongest;
        board_print("; %lu instructions, the longest call %lu (%lu.%lu %%)", (unsigned long)uTotal,
                    (unsigned long)uLongest, (unsigned long)(uLongest * 100 / uTotal),
                    (unsigned long)(uLongest * 1000 / uTotal % 10));
    }
    board_print("; heap %lu bytes at most, stack %lu\n", (unsigned long)board_heap_used(),
                (unsigned long)board_stack_used());
}

void tls_link_proc(uint32_t uNow) {
    const int bBefore = g_stShake.bActive;
    const uint64_t uStart = board_clocks();
    xrDevTcpProc(uNow);
    const uint64_t uSpent = (board_clocks() - uStart) * INSTRUCTIONS_PER_CLOCK;
    if (!bBefore && !g_stShake.bActive && !g_stShake.bEnded) return;
    g_stShake.uInstructions += uSpent;
    if (uSpent > g_stShake.uLongest) g_stShake.uLongest = uSpent;
    ++g_stShake.uCalls;
    if (g_stShake.bEnded) {
        report();
        g_stShake.bEnded = 0;
    }
}
