// The library's session on the device: a scripted socket table and a simulated tick drive a
// login, a data and a string echo, a redirect, a refused login and its back-off, an
// oversized frame, keepalive and the silence drop. Every public call runs on a painted
// stack, and the deepest use of each is printed (and held under 512 bytes without logging).
#include <stdio.h>
#include <string.h>

#include "wire.h"

using namespace devtcp::wire;

extern "C" uint32_t __stack_limit[];

namespace {

int g_passed, g_failed;
void check(bool ok, const char *what) {
    ok ? ++g_passed : ++g_failed;
    if (!ok) printf("FAILED: %s\n", what);
}

// Stack: paint from the limit up to the caller's stack pointer; after the call, the lowest
// word no longer painted is the deepest the call went.
constexpr uint32_t kPaint = 0xC5A5C5A5u;
const char *const kCalls[] = {"xrDevTcpSetCallback", "xrDevTcpLogin", "xrDevTcpLogout",
                              "xrDevTcpSend", "xrDevTcpProc"};
uint32_t g_deepest[5];
#define MEASURED(which, call)                                 \
    do {                                                      \
        uint32_t *sp, *p;                                     \
        __asm__ volatile("mov %0, sp" : "=r"(sp));            \
        for (p = __stack_limit; p < sp; ++p) *p = kPaint;     \
        call;                                                 \
        for (p = __stack_limit; *p == kPaint; ++p) {          \
        }                                                     \
        uint32_t used = uint32_t(sp - p) * 4;                 \
        if (used > g_deepest[which]) g_deepest[which] = used; \
    } while (0)

// The scripted socket table: bytes to receive wait in one queue, sent bytes gather in another.
uint8_t g_in[3 * XR_DEV_TCP_BUF_SIZE], g_out[XR_DEV_TCP_BUF_SIZE];
uint32_t g_inLen, g_inPos, g_outLen, g_tick = 1000;
int g_opens, g_closes;
char g_opened[16], g_events[256], g_lastLog[80];
int g_logLines;

void record(const char *a, const char *b = "") {
    strncat(g_events, a, sizeof g_events - 1 - strlen(g_events));
    strncat(g_events, b, sizeof g_events - 1 - strlen(g_events));
}

const XR_DEV_TCP_SOCKET_CALLBACK_S kSockets = {
    [](const char *lpszAddr) -> int32_t {
        strncpy(g_opened, lpszAddr, sizeof g_opened - 1);
        return ++g_opens;
    },
    [](int32_t) -> int32_t { return 1; }, [](int32_t) { ++g_closes; },
    [](int32_t, const uint8_t *lpData, uint32_t uSize) -> int32_t {
        if (uSize > sizeof g_out - g_outLen) uSize = sizeof g_out - g_outLen;
        memcpy(g_out + g_outLen, lpData, uSize);
        g_outLen += uSize;
        return int32_t(uSize);
    },
    [](int32_t, uint8_t *lpBuf, uint32_t uSize) -> int32_t {
        uint32_t n = g_inLen - g_inPos < uSize ? g_inLen - g_inPos : uSize;
        memcpy(lpBuf, g_in + g_inPos, n);
        g_inPos += n;
        return int32_t(n);
    }};

// Events as text: "E-7" an error, "N<type>:<text>;" a notification, "D;" and "S:<text>;"
// received messages, which are echoed to their peer.
const XR_DEV_TCP_CALLBACK_S kEvents = {
    [](int32_t, int32_t iError) {
        const char t[] = {'E', '-', char('0' - iError), ';', 0};  // the codes here are -1..-9
        record(t);
    },
    [](int32_t, uint32_t uType, const char *lpszData) {
        const char t[] = {'N', char('0' + uType), ':', 0};
        record(t, lpszData);
        record(";");
    },
    [](int32_t iAgentID, const uint8_t *lpData, uint32_t uSize, const char *lpszPeer) {
        record("D;");
        xrDevTcpSend(iAgentID, XR_DEV_TCP_MSG_DATA, lpData, uSize, lpszPeer, strlen(lpszPeer) + 1);
    },
    [](int32_t iAgentID, const char *lpszData, const char *lpszPeer) {
        record("S:", lpszData);
        record(";");
        xrDevTcpSend(iAgentID, XR_DEV_TCP_MSG_STR, lpszData, strlen(lpszData) + 1, lpszPeer,
                     strlen(lpszPeer) + 1);
    },
    {}};

void onLog(int32_t, const char *lpszText) {
    ++g_logLines;
    strncpy(g_lastLog, lpszText, sizeof g_lastLog - 1);
}

// Builds a frame at p as the agent sends it; returns its length.
uint32_t frame(uint8_t *p, uint32_t uSess, uint32_t uType, const void *lpData, uint32_t uSize,
               const char *lpszPeer = nullptr) {
    uint32_t uPeer = lpszPeer ? uint32_t(strlen(lpszPeer)) + 1 : 0;
    uint32_t uPayload = payloadLength(uSize, uPeer);
    memset(p, 0, kHeadSize + uPayload);
    writeHeader(p, uSess, uType, uPeer ? XR_DEV_TCP_FLAG_PEER : 0, uPayload);
    if (uPeer) writeLe16(p + kOffPeerLength, uPeer);
    if (uPeer) memcpy(p + kOffPeerName, lpszPeer, uPeer);
    memcpy(p + kHeadSize + uPayload - uSize, lpData, uSize);
    return kHeadSize + uPayload;
}
void arrive(uint32_t uSess, uint32_t uType, const void *lpData, uint32_t uSize,
            const char *lpszPeer = nullptr) {
    if (g_inPos == g_inLen) g_inPos = g_inLen = 0;
    g_inLen += frame(g_in + g_inLen, uSess, uType, lpData, uSize, lpszPeer);
}
void arriveReply(uint32_t uSess, int32_t iResult, const char *lpszAddr, const char *lpszTime) {
    uint8_t r[kLoginReplySize] = {};
    writeLe32(r, uint32_t(iResult));
    strcpy(reinterpret_cast<char *>(r + kLoginReplyOffAddr), lpszAddr);
    strcpy(reinterpret_cast<char *>(r + kLoginReplyOffTime), lpszTime);
    arrive(uSess, XR_DEV_TCP_MSG_LOGIN, r, sizeof r);
}

// Ticks every 50 ms until `done` holds or `limit` ms have passed; returns the time taken.
template <class F>
uint32_t runUntil(F done, uint32_t limit = 50) {
    uint32_t start = g_tick;
    while (!done() && g_tick - start < limit) MEASURED(4, xrDevTcpProc(g_tick += 50));
    return g_tick - start;
}

void expectEvents(const char *want, const char *what) {
    check(strcmp(g_events, want) == 0, what);
    if (strcmp(g_events, want) != 0) printf("  events: %s\n", g_events);
    g_events[0] = '\0';
}
void expectSent(const uint8_t *want, uint32_t n, const char *what) {
    check(g_outLen == n && memcmp(g_out, want, n) == 0, what);
    g_outLen = 0;
}

}  // namespace

int main() {
    const uint32_t S = 0x0A0B0C0D;
    uint8_t want[kHeadSize + 256] = {0, 0, 0, 0, XR_DEV_TCP_MSG_LOGIN, 0, 0, 1, 'd', 'e', 'v'};
    MEASURED(0, xrDevTcpSetCallback(&kSockets, &kEvents, onLog));
    int32_t id = 0;
    MEASURED(1, id = xrDevTcpLogin("H", "dev", "pw"));
    check(id == 1, "first login: slot 0, sequence 1");
    runUntil([] { return g_outLen > 0; });
    check(strcmp(g_opened, "H") == 0, "connects to the home address");
    memcpy(want + kHeadSize + kLoginReqOffPass, "pw", 2);
    memcpy(want + kHeadSize + kLoginReqOffVersion, "1.3.0", 5);
    expectSent(want, sizeof want, "login request: user, password, version");
    check(XR_DEV_TCP_LOG ? g_logLines == 3 && !strcmp(g_lastLog,
                                                      "xrDevTcpLoginProc: Login "
                                                      "status - Logining, uInd=0")
                         : g_logLines == 0,
          "log lines formatted, or none compiled in");

    arriveReply(S, 0, "", "2026-12-07");
    runUntil([] { return g_events[0] != 0; });
    expectEvents("N0:;N3:2026-12-07;", "accepted login: Online, then the time");

    const uint8_t data[] = {0, 1, 0xFE, 0xFF, 7};
    arrive(S, XR_DEV_TCP_MSG_DATA, data, sizeof data, "peer-1");
    runUntil([] { return g_outLen > 0; });
    expectEvents("D;", "data message received");
    expectSent(g_in, g_inLen, "data echoed unchanged to its peer");
    arrive(S, XR_DEV_TCP_MSG_STR, "hello", 6, "p2");
    runUntil([] { return g_outLen > 0; });
    expectEvents("S:hello;", "string message received");
    expectSent(g_in, g_inLen, "string echoed unchanged to its peer");
    uint32_t uSent = 0;
    MEASURED(3, uSent = uint32_t(xrDevTcpSend(id, XR_DEV_TCP_MSG_DATA, g_in, 100, "p3", 3)));
    check(uSent == 100 && g_outLen == kHeadSize + 108, "a message sent by the device");
    g_outLen = 0;

    char addr[kTextFieldSize] = "A";
    arrive(S, XR_DEV_TCP_MSG_REDIRECT, addr, sizeof addr);
    runUntil([] { return g_opens == 2; }, 200);
    expectEvents("N2:A;", "redirect announced");
    check(g_closes == 1 && !strcmp(g_opened, "A"), "old connection closed, redirect target opened");
    check(g_outLen == 8 + 264 && g_out[4] == XR_DEV_TCP_MSG_LOGOUT && readLe32(g_out) == S &&
              g_out[12] == XR_DEV_TCP_MSG_LOGIN && readLe32(g_out + 8) == 0,
          "logout on the old connection, login request on the new one");
    g_outLen = 0;

    arriveReply(0, -7, "", "");
    uint32_t uWait = runUntil([] { return g_opens == 3; }, 20000);
    expectEvents("E-7;N1:;", "refused login: the agent's code, then Offline");
    // The back-off counts 15 per-second passes, the first within a second of the refusal.
    check(uWait > 14000 && uWait <= 15050 && !strcmp(g_opened, "H"),
          "next attempt after a 15 s back-off, at the last good address");
    arriveReply(S + 1, 0, "", "t");
    runUntil([] { return g_events[0] != 0; }, 200);
    expectEvents("N0:;N3:t;", "logged in again");
    g_outLen = 0;

    // An oversized frame is thrown away as it comes; the frame after it is read as usual.
    static uint8_t huge[kMaxPayload + 1];
    arrive(S + 1, XR_DEV_TCP_MSG_DATA, huge, sizeof huge);
    arrive(S + 1, XR_DEV_TCP_MSG_STR, "after", 6, "p");
    runUntil([] { return g_events[0] != 0; }, 500);
    expectEvents("S:after;", "only the frame after the oversized one is delivered");
    g_outLen = 0;

    uint32_t uQuiet = runUntil([] { return g_outLen > 0; }, 70000);
    const uint8_t keepalive[] = {0x0E, 0x0C, 0x0B, 0x0A, XR_DEV_TCP_MSG_KEEPALIVE, 0, 0, 0};
    check(uQuiet >= 60000 && uQuiet <= 61000, "keepalive after 60 s of silence");
    expectSent(keepalive, 8, "keepalive frame with the session");
    uQuiet += runUntil([] { return g_closes == 3; }, 40000);
    check(uQuiet >= 90000 && uQuiet <= 91000, "dropped after 90 s of silence");
    expectEvents("N1:;", "silence drop: Offline");

    MEASURED(2, xrDevTcpLogout(id));
    check(xrDevTcpSend(id, XR_DEV_TCP_MSG_DATA, "x", 1, nullptr, 0) == XR_DEV_TCP_ERR_ARG,
          "handle dead after logout");

    for (uint32_t i = 0; i < 5; ++i) {
        printf("stack %s: %u bytes\n", kCalls[i], unsigned(g_deepest[i]));
        check(XR_DEV_TCP_LOG || g_deepest[i] < 512, "stack under 512 bytes without logging");
    }
    printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed != 0;
}
