/* SPDX-License-Identifier: MIT */
/*
 * A minimal device in plain C99 on POSIX sockets: it installs the five socket
 * operations, logs in to a device agent, prints every event and log line, answers every
 * message by sending it back to its sender, and logs out after a given time. It is driven
 * by events: between two xrDevTcpProc calls it sleeps in poll() until one of its sockets is
 * ready or until the time that xrDevTcpWaitMs gives, so that an idle link wakes it a few
 * times a minute instead of 20 times a second.
 *
 *   c99_device [ADDR [USER [SECONDS [PASSWORD]]]]
 *
 * Defaults: 127.0.0.1:8800, device-c99, 10 seconds, 5820. SECONDS 0 runs until killed.
 * Built with DEVICE_POSIX_PORT defined (CMake -DDEVICE_POSIX_PORT=ON, make PORT=posix) it
 * installs the ready-made table of devtcp::posix instead of its own operations.
 * Exit status: 0 when the link got online at least once, 1 when it never did, 2 for a
 * bad command line or a refused xrDevTcpLogin.
 */
#define _POSIX_C_SOURCE 200809L

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <xr_dev_tcp.h>
#ifdef DEVICE_POSIX_PORT
#include <xr_dev_tcp_posix.h>
#endif

/* A send to a connection that the peer has closed must not end the process by SIGPIPE. */
#ifdef MSG_NOSIGNAL
#define SEND_FLAGS MSG_NOSIGNAL
#else
#define SEND_FLAGS 0
#endif

static int g_bOnline = 0;

/* ---- The sockets the device waits on: each with the events it waits for. ---- */

#define MAX_SOCKETS 4 /* the library's links (2), and room to spare */
static struct pollfd g_stWatch[MAX_SOCKETS];
static nfds_t g_uWatched = 0;

/* Wait for @p sEvents on @p iFd from now on; 0 events forget it. POLLOUT is asked for only
 * while the connection is being made or bytes wait that a send could not take: a
 * connected socket is nearly always writable, and would wake the device at once. */
static void Watch(int iFd, short sEvents) {
    nfds_t i;

    for (i = 0; i < g_uWatched && g_stWatch[i].fd != iFd; i++) {
    }
    if (sEvents == 0) {
        if (i < g_uWatched) {
            g_stWatch[i] = g_stWatch[--g_uWatched];
        }
        return;
    }
    if (i == g_uWatched && g_uWatched < MAX_SOCKETS) {
        g_stWatch[g_uWatched++].fd = iFd;
    }
    if (i < g_uWatched) {
        g_stWatch[i].events = sEvents;
    }
}

/* ---- The five socket operations: none of them may block. ---- */

/* "a.b.c.d:port" into an IPv4 address; numeric only, no host-name lookup (it would block). */
static int ParseAddr(const char *lpszAddr, struct sockaddr_in *lpAddr) {
    char szHost[64];
    const char *lpszColon = strrchr(lpszAddr, ':');
    char *lpszEnd;
    long lPort;
    size_t uLen;

    if (lpszColon == NULL || (uLen = (size_t)(lpszColon - lpszAddr)) >= sizeof(szHost)) {
        return 0;
    }
    memcpy(szHost, lpszAddr, uLen);
    szHost[uLen] = '\0';
    errno = 0;
    lPort = strtol(lpszColon + 1, &lpszEnd, 10);
    if (errno != 0 || *lpszEnd != '\0' || lpszEnd == lpszColon + 1 || lPort < 1 || lPort > 65535) {
        return 0;
    }
    memset(lpAddr, 0, sizeof(*lpAddr));
    lpAddr->sin_family = AF_INET;
    lpAddr->sin_port = htons((unsigned short)lPort);
    return inet_pton(AF_INET, szHost, &lpAddr->sin_addr) == 1;
}

/* Starts a non-blocking connect; the handle is returned while the connect goes on. */
static int32_t SocketOpen(const char *lpszAddr) {
    struct sockaddr_in addr;
    int iFd;
    int iFlags;

    if (!ParseAddr(lpszAddr, &addr)) {
        return -1;
    }
    iFd = socket(AF_INET, SOCK_STREAM, 0);
    if (iFd < 0) {
        return -1;
    }
    iFlags = fcntl(iFd, F_GETFL, 0);
    if (iFlags < 0 || fcntl(iFd, F_SETFL, iFlags | O_NONBLOCK) != 0 ||
        (connect(iFd, (const struct sockaddr *)&addr, sizeof(addr)) != 0 && errno != EINPROGRESS &&
         errno != EINTR)) {
        close(iFd);
        return -1; /* a negative result leaves nothing for the library to close */
    }
    Watch(iFd, POLLIN | POLLOUT); /* writable once connected; a failure shows as well */
    return (int32_t)iFd;
}

/* One poll without waiting: 1 when ready (or in error, so that the next call reports it). */
static int PollNow(int32_t iSocket, short sEvents) {
    struct pollfd pfd;
    int iCount;

    pfd.fd = iSocket;
    pfd.events = sEvents;
    pfd.revents = 0;
    do {
        iCount = poll(&pfd, 1, 0);
    } while (iCount < 0 && errno == EINTR);
    if (iCount < 0 || (pfd.revents & POLLNVAL) != 0) {
        return -1;
    }
    return (pfd.revents & (sEvents | POLLERR | POLLHUP)) != 0;
}

/* > 0 once connected; 0 while connecting, and also for a failed attempt: the library's
 * 30 s login timeout then closes it and tries again (a negative result would be
 * reported as -3 on every tick until then). */
static int32_t SocketCheck(int32_t iSocket) {
    struct sockaddr_in peer;
    socklen_t uLen = sizeof(peer);
    int iReady = PollNow(iSocket, POLLOUT);

    if (iReady <= 0) {
        return iReady;
    }
    if (getpeername(iSocket, (struct sockaddr *)&peer, &uLen) != 0) {
        return 0;
    }
    Watch(iSocket, POLLIN);
    return 1;
}

static void SocketClose(int32_t iSocket) {
    Watch(iSocket, 0);
    close(iSocket);
}

/* Bytes taken (maybe fewer than offered: the library keeps the rest), 0 for "later". */
static int32_t SocketSend(int32_t iSocket, const uint8_t *lpData, uint32_t uSize) {
    ssize_t iSent = send(iSocket, lpData, uSize, SEND_FLAGS);

    if (iSent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        return -1;
    }
    iSent = iSent < 0 ? 0 : iSent;
    /* What the socket did not take waits for it to become writable. */
    Watch(iSocket, (short)((uint32_t)iSent < uSize ? POLLIN | POLLOUT : POLLIN));
    return (int32_t)iSent;
}

/* Bytes read, 0 for "nothing now"; the peer's orderly close (recv 0) is a failure. */
static int32_t SocketRecv(int32_t iSocket, uint8_t *lpBuf, uint32_t uSize) {
    ssize_t iRead = recv(iSocket, lpBuf, uSize, 0);

    if (iRead > 0) {
        return (int32_t)iRead;
    }
    if (iRead < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return 0;
    }
    return -1;
}

/* ---- Events: called from inside xrDevTcpProc; pointers are valid during the call. ---- */

static void TcpError(int32_t iAgentID, int32_t iError) {
    printf("TcpError: iAgentID=%ld iError=%ld\n", (long)iAgentID, (long)iError);
}

static void TcpNotify(int32_t iAgentID, uint32_t uType, const char *lpszData) {
    static const char *const s_lpszNames[] = {"Online", "Offline", "Redirect", "Time", "Wake"};
    const char *lpszName = uType < 5 ? s_lpszNames[uType] : "?";

    printf("TcpNotify: iAgentID=%ld uType=%lu (%s) lpszData=%s\n", (long)iAgentID,
           (unsigned long)uType, lpszName, lpszData);
    if (uType == XR_DEV_TCP_NOTIFY_ONLINE) {
        g_bOnline = 1;
    }
}

/* Sending from a callback is allowed: the answer is queued and flushed at once. */
static void Answer(int32_t iAgentID, uint32_t uType, const void *lpData, uint32_t uSize,
                   const char *lpszPeer) {
    int32_t iResult;

    if (lpszPeer == NULL) {
        return; /* no sender to answer */
    }
    iResult =
        xrDevTcpSend(iAgentID, uType, lpData, uSize, lpszPeer, (uint32_t)strlen(lpszPeer) + 1);
    if (iResult < 0) {
        printf("xrDevTcpSend: iResult=%ld\n", (long)iResult);
    }
}

static void TcpReceive(int32_t iAgentID, const uint8_t *lpData, uint32_t uDataSize,
                       const char *lpszPeer) {
    uint32_t i;

    printf("TcpReceive: iAgentID=%ld lpszPeer=%s uDataSize=%lu lpData=", (long)iAgentID,
           lpszPeer ? lpszPeer : "(none)", (unsigned long)uDataSize);
    for (i = 0; i < uDataSize && i < 32; i++) {
        printf("%02x", lpData[i]);
    }
    printf("%s\n", uDataSize > 32 ? "..." : "");
    Answer(iAgentID, XR_DEV_TCP_MSG_DATA, lpData, uDataSize, lpszPeer);
}

static void TcpReceiveStr(int32_t iAgentID, const char *lpszData, const char *lpszPeer) {
    printf("TcpReceiveStr: iAgentID=%ld lpszPeer=%s lpszData=%s\n", (long)iAgentID,
           lpszPeer ? lpszPeer : "(none)", lpszData);
    Answer(iAgentID, XR_DEV_TCP_MSG_STR, lpszData, (uint32_t)strlen(lpszData) + 1, lpszPeer);
}

static void Log(int32_t iLevel, const char *lpszText) {
    (void)iLevel;
    printf("%s\n", lpszText);
}

/* ---- Main loop: the application's clock and its sockets drive the library. ---- */

static uint32_t TickMs(void) {
    struct timespec ts;

    clock_gettime(CLOCK_MONOTONIC, &ts);
    /* Wraps after 2^32 - 1 ms, as the library expects. */
    return (uint32_t)((uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u);
}

int main(int argc, char **argv) {
    static const XR_DEV_TCP_SOCKET_CALLBACK_S s_stSockets = {SocketOpen, SocketCheck, SocketClose,
                                                             SocketSend, SocketRecv};
    static const XR_DEV_TCP_CALLBACK_S s_stEvents = {
        TcpError, TcpNotify, TcpReceive, TcpReceiveStr, {NULL, NULL, NULL, NULL, NULL}};
    const char *lpszAddr = argc > 1 ? argv[1] : "127.0.0.1:8800";
    const char *lpszUser = argc > 2 ? argv[2] : "device-c99";
    long lSeconds = argc > 3 ? strtol(argv[3], NULL, 10) : 10;
    const char *lpszPass = argc > 4 ? argv[4] : "5820";
    const XR_DEV_TCP_SOCKET_CALLBACK_S *lpSockets = &s_stSockets;
    uint32_t uStart;
    int32_t iAgentID;

    if (argc > 5 || lSeconds < 0 || lSeconds > 4000000L) {
        fprintf(stderr, "usage: %s [ADDR [USER [SECONDS [PASSWORD]]]]\n", argv[0]);
        return 2;
    }
    setvbuf(stdout, NULL, _IOLBF, 0); /* line by line, also into a pipe or a file */
    printf("c99_device: library %s\n", XR_DEV_TCP_VERSION);

#ifdef DEVICE_POSIX_PORT
    lpSockets = xrDevTcpPosixSockets(); /* the ready-made table of devtcp::posix instead */
#endif
    xrDevTcpSetCallback(lpSockets, &s_stEvents, Log);
    iAgentID = xrDevTcpLogin(lpszAddr, lpszUser, lpszPass);
    if (iAgentID < 0) {
        printf("xrDevTcpLogin: iErr=%ld\n", (long)iAgentID);
        return 2;
    }
    uStart = TickMs();
    for (;;) {
        uint32_t uNow, uWait, uLeft;

        xrDevTcpProc(TickMs());
        /* Sleep until a socket is ready or the library has something to do, whichever
         * comes first (a device on a fixed tick would sleep 50 ms here instead). */
        uNow = TickMs();
        uWait = xrDevTcpWaitMs(uNow);
        if (lSeconds != 0) {
            if (uNow - uStart >= (uint32_t)lSeconds * 1000u) {
                break;
            }
            uLeft = (uint32_t)lSeconds * 1000u - (uNow - uStart);
            uWait = uWait < uLeft ? uWait : uLeft;
        }
#ifdef DEVICE_POSIX_PORT
        xrDevTcpPosixWait(uWait); /* the port knows its own sockets */
#else
        (void)poll(g_stWatch, g_uWatched,
                   uWait == XR_DEV_TCP_NO_DEADLINE ? -1
                   : uWait > 0x7FFFFFFFu           ? 0x7FFFFFFF
                                                   : (int)uWait);
#endif
    }
    xrDevTcpLogout(iAgentID); /* sends the logout frame when logged in, closes the socket */
    return g_bOnline ? 0 : 1;
}
