/* SPDX-License-Identifier: MIT */
/* A C99 device that uses every public operation: it must compile cleanly as strict C99 and
 * run. Its sockets never connect, so the link stays logged out. */
#include <stdio.h>

#include "xr_dev_tcp.h"

static int32_t Open(const char *lpszAddr) {
    return lpszAddr[0] ? -1 : 0;
}

int main(void) {
    XR_DEV_TCP_SOCKET_CALLBACK_S sockets = {Open, NULL, NULL, NULL, NULL};
    XR_DEV_TCP_CALLBACK_S events = {NULL, NULL, NULL, NULL, {NULL}};
    int32_t id;
    uint32_t tick;
    xrDevTcpSetCallback(&sockets, &events, NULL);
    id = xrDevTcpLogin("127.0.0.1:8800", "c99", "pw");
    for (tick = 0; tick < 1000; tick += 50) xrDevTcpProc(tick);
    if (id < 0 ||
        xrDevTcpSend(id, XR_DEV_TCP_MSG_DATA, "x", 1, "p", 2) != XR_DEV_TCP_ERR_NOT_LOGINED)
        return 1;
    xrDevTcpLogout(id);
    if (xrDevTcpWaitMs(tick) != XR_DEV_TCP_NO_DEADLINE) return 1;
    printf("%s ok\n", XR_DEV_TCP_VERSION);
    return 0;
}
