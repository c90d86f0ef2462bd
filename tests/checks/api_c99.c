/* A C99 device that uses every public operation against a socket table that never
 * connects: it must compile cleanly as strict C99 and run. */
#include <stdio.h>
#include <string.h>

#include "xr_dev_tcp.h"

static int g_errors;

static int32_t Open(const char *lpszAddr) {
    return lpszAddr[0] ? 3 : -1;
}
static int32_t Check(int32_t iSocket) {
    (void)iSocket;
    return 0;
}
static void Close(int32_t iSocket) {
    (void)iSocket;
}
static int32_t Send(int32_t iSocket, const uint8_t *lpData, uint32_t uSize) {
    (void)iSocket;
    (void)lpData;
    return (int32_t)uSize;
}
static int32_t Recv(int32_t iSocket, uint8_t *lpBuf, uint32_t uSize) {
    (void)iSocket;
    (void)lpBuf;
    (void)uSize;
    return 0;
}
static void Error(int32_t iAgentID, int32_t iError) {
    (void)iAgentID;
    (void)iError;
    ++g_errors;
}
static void Notify(int32_t iAgentID, uint32_t uType, const char *lpszData) {
    (void)iAgentID;
    (void)uType;
    (void)lpszData;
}
static void Receive(int32_t iAgentID, const uint8_t *lpData, uint32_t uDataSize,
                    const char *lpszPeer) {
    (void)iAgentID;
    (void)lpData;
    (void)uDataSize;
    (void)lpszPeer;
}
static void ReceiveStr(int32_t iAgentID, const char *lpszData, const char *lpszPeer) {
    (void)iAgentID;
    (void)lpszData;
    (void)lpszPeer;
}
static void Log(int32_t iLevel, const char *lpszText) {
    (void)iLevel;
    puts(lpszText);
}

int main(void) {
    XR_DEV_TCP_SOCKET_CALLBACK_S sockets = {Open, Check, Close, Send, Recv};
    XR_DEV_TCP_CALLBACK_S events;
    int32_t id;
    uint32_t tick;
    memset(&events, 0, sizeof events);
    events.TcpError = Error;
    events.TcpNotify = Notify;
    events.TcpReceive = Receive;
    events.TcpReceiveStr = ReceiveStr;
    xrDevTcpSetCallback(&sockets, &events, Log);
    id = xrDevTcpLogin("127.0.0.1:8800", "c99", "pw");
    if (id < 0) return 1;
    for (tick = 0; tick < 31500; tick += 50) xrDevTcpProc(tick);
    if (xrDevTcpSend(id, XR_DEV_TCP_MSG_DATA, "x", 1, "p", 2) != XR_DEV_TCP_ERR_NOT_LOGINED)
        return 2;
    if (g_errors != 1) return 3; /* the login timeout */
    xrDevTcpLogout(id);
    printf("%s ok\n", XR_DEV_TCP_VERSION);
    return 0;
}
