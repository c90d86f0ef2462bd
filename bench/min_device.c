/* SPDX-License-Identifier: MIT */
/*
 * The smallest device that uses the link library, linked into a Cortex-M4 image to show
 * what a device really carries: the library, this application and what both take from the
 * C library. Its socket table stands for a TCP stack's glue (each operation one call);
 * it is built and sized by bench/run.sh, never run.
 */
#include <stdint.h>

#include <xr_dev_tcp.h>

/* The TCP stack's calls, defined elsewhere in a real device; here they do nothing. */
static int32_t SocketOpen(const char *lpszAddr) {
    return lpszAddr[0] ? 0 : -1;
}
static int32_t SocketCheck(int32_t iSocket) {
    return iSocket >= 0;
}
static void SocketClose(int32_t iSocket) {
    (void)iSocket;
}
static int32_t SocketSend(int32_t iSocket, const uint8_t *lpData, uint32_t uSize) {
    (void)iSocket;
    (void)lpData;
    return (int32_t)uSize;
}
static int32_t SocketRecv(int32_t iSocket, uint8_t *lpBuf, uint32_t uSize) {
    (void)iSocket;
    (void)lpBuf;
    (void)uSize;
    return 0;
}

/* Every message is answered by sending it back to its sender. */
static void TcpReceive(int32_t iAgentID, const uint8_t *lpData, uint32_t uDataSize,
                       const char *lpszPeer) {
    uint32_t uPeer = 0;
    while (lpszPeer && lpszPeer[uPeer]) ++uPeer;
    xrDevTcpSend(iAgentID, XR_DEV_TCP_MSG_DATA, lpData, uDataSize, lpszPeer, uPeer + 1);
}

/* Log lines go to a debug channel; the last one is kept where a debugger can see it. */
static const char *volatile g_lpszLastLog;
static void Log(int32_t iLevel, const char *lpszText) {
    (void)iLevel;
    g_lpszLastLog = lpszText;
}

static volatile uint32_t g_uTickMs; /* counted by a timer interrupt in a real device */

int main(void) {
    static const XR_DEV_TCP_SOCKET_CALLBACK_S stSocket = {SocketOpen, SocketCheck, SocketClose,
                                                          SocketSend, SocketRecv};
    static const XR_DEV_TCP_CALLBACK_S stCallback = {0, 0, TcpReceive, 0, {0}};
    xrDevTcpSetCallback(&stSocket, &stCallback, Log);
    int32_t iAgentID = xrDevTcpLogin("10.0.0.1:8800", "device-1", "secret");
    for (uint32_t u = 0; u < 100000; ++u) xrDevTcpProc(g_uTickMs);
    xrDevTcpLogout(iAgentID);
    return 0;
}

/* Start-up: initialised data copied, zero data cleared, then main. */
extern uint32_t __data_load[], __data_start[], __data_end[], __bss_start__[], __bss_end__[];
extern uint32_t __stack_top[];
void Reset_Handler(void) {
    for (uint32_t *s = __data_load, *d = __data_start; d < __data_end;) *d++ = *s++;
    for (uint32_t *d = __bss_start__; d < __bss_end__;) *d++ = 0;
    main();
    for (;;) {
    }
}
__attribute__((section(".vectors"), used)) static void (*const kVectors[2])(void) = {
    (void (*)(void))__stack_top, Reset_Handler};
