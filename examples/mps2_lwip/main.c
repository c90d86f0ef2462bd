// SPDX-License-Identifier: MIT
// A device on the MPS2 AN386 board: lwIP without an OS on the LAN9118, and one link to an
// agent through devtcp::lwip_raw. It does what the console client does: logs in, prints
// every event and log line, and echoes every message to the peer that sent it.
//
// The command line (QEMU's -append) holds words of the form key=value:
//   agent=A.B.C.D:PORT  the agent's address (default 10.0.2.100:8800)
//   user=NAME           the user name (default "board"); the password is 5820
//   drop=N/M            throw away the Nth of every M received frames (a lossy link)
// and, in the image built with MPS2_TLS (the link over TLS, tls_link.c):
//   seed=N              varies the test-only entropy from boot to boot
//   icount=1            the run is under QEMU's -icount shift=0: handshakes in instructions
//
// The loop, as every lwIP device without an OS has it: hand received frames to lwIP, run
// lwIP's timers, tick the library every 50 ms, and sleep until the next interrupt.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "board.h"
#include "lan9118.h"
#include "lwip/init.h"
#include "lwip/netif.h"
#include "lwip/timeouts.h"
#include "netif/ethernet.h"
#include "xr_dev_tcp.h"
#include "xr_dev_tcp_lwip_raw.h"
#ifdef MPS2_TLS
#include "tls_link.h"
#endif

#define TICK_MS 50u
#define PASSWORD "5820"
#define PEER_MAX 128u  // a peer name echoed back: at most this many bytes, its NUL counted

static struct netif g_netif;

static void print_counts(void) {
    uint32_t uReceived = 0, uDropped = 0;
    lan9118_counts(&uReceived, &uDropped);
    board_print("lan9118: %lu frames received, %lu dropped; stack: %lu bytes used\n",
                (unsigned long)uReceived, (unsigned long)uDropped,
                (unsigned long)board_stack_used());
}

// Texts from the agent print with their control characters as \xNN.
static void print_text(const char *lpszText) {
    if (lpszText == NULL) {
        board_print("(null)");
        return;
    }
    char szOut[200];
    uint32_t uLen = 0;
    for (; *lpszText != '\0' && uLen + 5 < sizeof szOut; ++lpszText) {
        const unsigned char c = (unsigned char)*lpszText;
        if (c < 0x20 || c == 0x7F) {
            uLen += (uint32_t)snprintf(szOut + uLen, sizeof szOut - uLen, "\\x%02X", c);
        } else {
            szOut[uLen++] = (char)c;
        }
    }
    szOut[uLen] = '\0';
    board_print("%s%s", szOut, *lpszText != '\0' ? "..." : "");
}

static uint32_t echo_peer_size(const char *lpszPeer) {
    const size_t uSize = lpszPeer != NULL ? strlen(lpszPeer) + 1 : 0;
    return uSize <= PEER_MAX ? (uint32_t)uSize : 0;
}

static void on_error(int32_t iAgentID, int32_t iError) {
    board_print("TcpError: iAgentID=%ld, iError=%ld\n", (long)iAgentID, (long)iError);
}

static void on_notify(int32_t iAgentID, uint32_t uType, const char *lpszData) {
    static const char *const kWords[] = {"Online", "Offline", "Redirct", "Time", "Wake"};
    if (uType >= sizeof kWords / sizeof kWords[0]) return;
    board_print("TcpNotify: iAgentID=%ld, %s, Data=", (long)iAgentID, kWords[uType]);
    print_text(lpszData);
    board_print("\n");
    if (uType == XR_DEV_TCP_NOTIFY_ONLINE || uType == XR_DEV_TCP_NOTIFY_OFFLINE) print_counts();
}

static void on_receive(int32_t iAgentID, const uint8_t *lpData, uint32_t uSize,
                       const char *lpszPeer) {
    board_print("TcpReceive: iAgentID=%ld, uDataSize=%lu, lpszPeer=", (long)iAgentID,
                (unsigned long)uSize);
    print_text(lpszPeer);
    board_print("\n");
    const uint32_t uPeerSize = echo_peer_size(lpszPeer);
    if (uPeerSize == 0) return;
    const int32_t iErr =
        xrDevTcpSend(iAgentID, XR_DEV_TCP_MSG_DATA, lpData, uSize, lpszPeer, uPeerSize);
    if (iErr < 0) board_print("TcpReceive: echo refused, iErr=%ld\n", (long)iErr);
}

static void on_receive_str(int32_t iAgentID, const char *lpszData, const char *lpszPeer) {
    board_print("TcpReceiveStr: iAgentID=%ld, lpszData=", (long)iAgentID);
    print_text(lpszData);
    board_print(", lpszPeer=");
    print_text(lpszPeer);
    board_print("\n");
    const uint32_t uPeerSize = echo_peer_size(lpszPeer);
    if (lpszData == NULL || uPeerSize == 0) return;
    const int32_t iErr = xrDevTcpSend(iAgentID, XR_DEV_TCP_MSG_STR, lpszData,
                                      (uint32_t)strlen(lpszData) + 1, lpszPeer, uPeerSize);
    if (iErr < 0) board_print("TcpReceiveStr: echo refused, iErr=%ld\n", (long)iErr);
}

static void on_log(int32_t iLevel, const char *lpszText) {
    (void)iLevel;
    board_print("%s\n", lpszText);
}

static void on_port_error(const char *lpszOperation, int32_t iError) {
    board_print("lwip_raw: %s failed, %ld\n", lpszOperation, (long)iError);
}

// The board reaches its own network only (slirp's 10.0.2.0/24): any other address, from
// the command line or an agent's redirect, is refused before lwIP sees it.
static const XR_DEV_TCP_SOCKET_CALLBACK_S *g_lpLwip;
static int32_t open_local_only(const char *lpszAddr) {
    if (strncmp(lpszAddr, "10.0.2.", 7) != 0) {
        board_print("refused: %s is not on the board's network\n", lpszAddr);
        return -1;
    }
    return g_lpLwip->SocketOpen(lpszAddr);
}

// The value of "key=" in the command line, copied into lpszValue, or lpszDefault.
static void option(const char *lpszLine, const char *lpszKey, char *lpszValue, size_t uSize,
                   const char *lpszDefault) {
    const size_t uKey = strlen(lpszKey);
    for (const char *p = lpszLine; *p != '\0';) {
        while (*p == ' ') ++p;
        const size_t uWord = strcspn(p, " ");
        if (uWord > uKey && strncmp(p, lpszKey, uKey) == 0 && p[uKey] == '=') {
            const size_t uLen = uWord - uKey - 1 < uSize - 1 ? uWord - uKey - 1 : uSize - 1;
            memcpy(lpszValue, p + uKey + 1, uLen);
            lpszValue[uLen] = '\0';
            return;
        }
        p += uWord;
    }
    snprintf(lpszValue, uSize, "%s", lpszDefault);
}

int main(void) {
    static char szLine[256], szAgent[XR_DEV_TCP_ADDR_SIZE], szUser[XR_DEV_TCP_USER_SIZE];
    char szDrop[16];
    board_command_line(szLine, sizeof szLine);
    option(szLine, "agent", szAgent, sizeof szAgent, "10.0.2.100:8800");
    option(szLine, "user", szUser, sizeof szUser, "board");
    option(szLine, "drop", szDrop, sizeof szDrop, "0/0");
    char *lpszEnd = NULL;
    const unsigned long uNth = strtoul(szDrop, &lpszEnd, 10);
    const unsigned long uEvery = *lpszEnd == '/' ? strtoul(lpszEnd + 1, NULL, 10) : 0;
    if (uNth > 0 && uNth <= uEvery) {
        lan9118_drop((uint32_t)uNth, (uint32_t)uEvery);
        board_print("lan9118: dropping received frame %lu of every %lu\n", uNth, uEvery);
    }

    // slirp's guest address, its gateway; no DHCP needed.
    lwip_init();
    ip4_addr_t ip, mask, gateway;
    IP4_ADDR(&ip, 10, 0, 2, 15);
    IP4_ADDR(&mask, 255, 255, 255, 0);
    IP4_ADDR(&gateway, 10, 0, 2, 2);
    if (netif_add(&g_netif, &ip, &mask, &gateway, NULL, lan9118_init, ethernet_input) == NULL)
        board_fail("no LAN9118 at 0x40200000");
    netif_set_default(&g_netif);
    netif_set_up(&g_netif);

    static const XR_DEV_TCP_CALLBACK_S kEvents = {
        on_error, on_notify, on_receive, on_receive_str, {0}};
    static XR_DEV_TCP_SOCKET_CALLBACK_S s_sockets;
    g_lpLwip = xrDevTcpLwipRawSockets();
    s_sockets = *g_lpLwip;
    s_sockets.SocketOpen = open_local_only;
    const XR_DEV_TCP_SOCKET_CALLBACK_S *lpSockets = &s_sockets;
#ifdef MPS2_TLS
    char szSeed[12], szCount[4];
    option(szLine, "seed", szSeed, sizeof szSeed, "1");
    option(szLine, "icount", szCount, sizeof szCount, "0");
    lpSockets = tls_link_setup(lpSockets, (uint32_t)strtoul(szSeed, NULL, 10),
                               strcmp(szCount, "1") == 0, on_log);
#endif
    xrDevTcpSetCallback(lpSockets, &kEvents, on_log);
    xrDevTcpLwipRawSetErrorHook(on_port_error);
    board_print("board: %s logs in to %s\n", szUser, szAgent);
    if (xrDevTcpLogin(szAgent, szUser, PASSWORD) < 0) board_fail("login refused its arguments");

    uint32_t uNextTick = board_millis();
    for (;;) {
        lan9118_poll(&g_netif);
        sys_check_timeouts();
        const uint32_t uNow = board_millis();
        if ((int32_t)(uNow - uNextTick) >= 0) {
#ifdef MPS2_TLS
            tls_link_proc(uNow);
#else
            xrDevTcpProc(uNow);
#endif
            uNextTick += TICK_MS;
            if ((int32_t)(uNow - uNextTick) >= 0) uNextTick = uNow + TICK_MS;  // fell behind
        }
        board_wait();
    }
}
