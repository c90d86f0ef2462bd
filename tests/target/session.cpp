// SPDX-License-Identifier: MIT
// The library's session on the device, driven by a scripted socket table and a simulated tick:
// login, data and string echo, redirect, refused login and back-off, oversized frame, keepalive,
// silence drop. The deepest stack use of each public call is printed (< 512 B without logging).
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

// Paints from the limit up to the caller's stack pointer; after the call, the lowest word no
// longer painted is the deepest the call went.
constexpr uint32_t kPaint = 0xC5A5C5A5u;
uint32_t g_deepest[5];  // xrDevTcpSetCallback, Login, Logout, Send, Proc
#define MEASURED(which, call)                                                         \
    do {                                                                              \
        uint32_t *sp, *p;                                                             \
        __asm__ volatile("mov %0, sp" : "=r"(sp));                                    \
        for (p = __stack_limit; p < sp; ++p) *p = kPaint;                             \
        call;                                                                         \
        for (p = __stack_limit; *p == kPaint;) ++p;                                   \
        if (uint32_t(sp - p) * 4 > g_deepest[which]) g_deepest[which] = (sp - p) * 4; \
    } while (0)

// Bytes to receive wait in g_in, sent bytes gather in g_out; opens, closes and events are
// noted in order in g_events: "O<address>;", "C;", "E<code>;", "N<type>:<text>;".
uint8_t g_in[3 * XR_DEV_TCP_BUF_SIZE], g_out[XR_DEV_TCP_BUF_SIZE];
uint32_t g_inLen, g_inPos, g_outLen, g_tick = 1000;
char g_events[256], g_lastLog[80];
int g_logLines;

void note(const char *a, const char *b = "", const char *c = "") {
    const char *parts[] = {a, b, c};
    for (const char *s : parts) strncat(g_events, s, sizeof g_events - 1 - strlen(g_events));
}

const XR_DEV_TCP_SOCKET_CALLBACK_S kSockets = {
    [](const char *lpszAddr) -> int32_t { return note("O", lpszAddr, ";"), 3; },
    [](int32_t) -> int32_t { return 1; }, [](int32_t) { note("C;"); },
    [](int32_t, const uint8_t *lpData, uint32_t uSize) -> int32_t {
        if (uSize > sizeof g_out - g_outLen) uSize = sizeof g_out - g_outLen;
        memcpy(g_out + g_outLen, lpData, uSize);
        return g_outLen += uSize, int32_t(uSize);
    },
    [](int32_t, uint8_t *lpBuf, uint32_t uSize) -> int32_t {
        uint32_t n = g_inLen - g_inPos < uSize ? g_inLen - g_inPos : uSize;
        memcpy(lpBuf, g_in + g_inPos, n);
        return g_inPos += n, int32_t(n);
    }};

// Messages are echoed to their peer, as the console client does.
const char *const kNotify[] = {"N0:", "N1:", "N2:", "N3:", "N4:"};
const XR_DEV_TCP_CALLBACK_S kEvents = {
    [](int32_t, int32_t iError) { note("E", iError == -7 ? "-7" : "?", ";"); },
    [](int32_t, uint32_t uType, const char *lpszData) { note(kNotify[uType], lpszData, ";"); },
    [](int32_t id, const uint8_t *lpData, uint32_t uSize, const char *lpszPeer) {
        xrDevTcpSend(id, XR_DEV_TCP_MSG_DATA, lpData, uSize, lpszPeer, strlen(lpszPeer) + 1);
    },
    [](int32_t id, const char *lpsz, const char *lpszPeer) {
        xrDevTcpSend(id, XR_DEV_TCP_MSG_STR, lpsz, strlen(lpsz) + 1, lpszPeer,
                     strlen(lpszPeer) + 1);
    },
    {}};

void onLog(int32_t, const char *lpszText) {
    ++g_logLines;
    strncpy(g_lastLog, lpszText, sizeof g_lastLog - 1);
}

// Appends a frame from the agent to what the socket will deliver.
void arrive(uint32_t uSess, uint32_t uType, const void *lpData, uint32_t uSize,
            const char *lpszPeer = nullptr) {
    if (g_inPos == g_inLen) g_inPos = g_inLen = 0;
    uint8_t *p = g_in + g_inLen;
    uint32_t uPeer = lpszPeer ? uint32_t(strlen(lpszPeer)) + 1 : 0;
    uint32_t uPayload = payloadLength(uSize, uPeer);
    memset(p, 0, kHeadSize + uPayload);
    writeHeader(p, uSess, uType, uPeer ? XR_DEV_TCP_FLAG_PEER : 0, uPayload);
    if (uPeer) writeLe16(p + kOffPeerLength, uPeer), memcpy(p + kOffPeerName, lpszPeer, uPeer);
    memcpy(p + kHeadSize + uPayload - uSize, lpData, uSize);
    g_inLen += kHeadSize + uPayload;
}
void arriveReply(uint32_t uSess, int32_t iResult, const char *lpszTime) {
    uint8_t r[kLoginReplySize] = {};
    writeLe32(r, uint32_t(iResult));
    strcpy(reinterpret_cast<char *>(r + kLoginReplyOffTime), lpszTime);
    arrive(uSess, XR_DEV_TCP_MSG_LOGIN, r, sizeof r);
}

// Ticks every 50 ms until `done` holds or `limit` ms have passed; returns the time taken.
template <class F>
uint32_t runUntil(F done, uint32_t limit = 100) {
    uint32_t start = g_tick;
    g_outLen = 0;
    while (!done() && g_tick - start < limit) MEASURED(4, xrDevTcpProc(g_tick += 50));
    return g_tick - start;
}
bool sent(const void *want, uint32_t n) {
    bool same = g_outLen == n && memcmp(g_out, want, n) == 0;
    return g_outLen = 0, same;
}
void expectEvents(const char *want, const char *what) {
    if (strcmp(g_events, want) != 0) printf("  events: %s\n", g_events);
    check(strcmp(g_events, want) == 0, what), g_events[0] = '\0';
}

}  // namespace

int main() {
    const uint32_t S = 0x0A0B0C0D;
    MEASURED(0, xrDevTcpSetCallback(&kSockets, &kEvents, onLog));
    int32_t id = 0;
    MEASURED(1, id = xrDevTcpLogin("H", "dev", "pw"));
    runUntil([] { return g_outLen > 0; });
    uint8_t req[kHeadSize + kLoginReqSize] = {0, 0, 0, 0, 2, 0, 0, 1, 'd', 'e', 'v'};
    memcpy(req + kHeadSize + kLoginReqOffPass, "pw", 2);
    memcpy(req + kHeadSize + kLoginReqOffVersion, "1.3.0", 5);
    check(id == 1 && sent(req, sizeof req), "handle 1; login request: user, password, version");
    expectEvents("OH;", "connects to the home address");
    const char *lpszLine = "xrDevTcpLoginProc: Login status - Logining, uInd=0";
    check(XR_DEV_TCP_LOG ? g_logLines == 3 && !strcmp(g_lastLog, lpszLine) : g_logLines == 0,
          "log lines formatted, or none compiled in");

    arriveReply(S, 0, "2026-12-07");
    runUntil([] { return g_events[0] != 0; });
    expectEvents("N0:;N3:2026-12-07;", "accepted login: Online, then the time");
    arrive(S, XR_DEV_TCP_MSG_DATA, "\0\1\xFE\xFF\7", 5, "peer-1");
    runUntil([] { return g_outLen > 0; });
    check(sent(g_in, g_inLen), "data message echoed unchanged to its peer");
    arrive(S, XR_DEV_TCP_MSG_STR, "hello", 6, "p2");
    runUntil([] { return g_outLen > 0; });
    check(sent(g_in, g_inLen), "string message echoed unchanged to its peer");
    int32_t iSent = 0;
    MEASURED(3, iSent = xrDevTcpSend(id, XR_DEV_TCP_MSG_DATA, g_in, 100, "p3", 3));
    check(iSent == 100 && g_outLen == kHeadSize + 108, "a message sent by the device");

    char addr[kTextFieldSize] = "A";
    arrive(S, XR_DEV_TCP_MSG_REDIRECT, addr, sizeof addr);
    runUntil([] { return strstr(g_events, "OA;"); });
    expectEvents("N2:A;C;OA;", "redirect: announced, connection closed, target opened");
    check(g_outLen == 8 + 264 && g_out[4] == XR_DEV_TCP_MSG_LOGOUT && readLe32(g_out) == S &&
              g_out[12] == XR_DEV_TCP_MSG_LOGIN && readLe32(g_out + 8) == 0,
          "logout on the old connection, login request on the new one");

    arriveReply(0, -7, "");
    uint32_t uWait = runUntil([] { return strstr(g_events, "OH;"); }, 20000);
    expectEvents("E-7;C;N1:;OH;", "refused login: the agent's code, closed, Offline, home again");
    // The back-off counts 15 per-second passes, the first within a second of the refusal.
    check(uWait > 14000 && uWait <= 15050, "next attempt after a 15 s back-off");
    arriveReply(S + 1, 0, "t");
    runUntil([] { return g_events[0] != 0; });
    expectEvents("N0:;N3:t;", "logged in again");

    // An oversized frame is thrown away as it comes; the frame after it is read as usual.
    arrive(S + 1, XR_DEV_TCP_MSG_DATA, g_out, kMaxPayload + 1);
    uint32_t uAfter = g_inLen;
    arrive(S + 1, XR_DEV_TCP_MSG_STR, "after", 6, "p");
    runUntil([] { return g_outLen > 0; }, 500);
    check(sent(g_in + uAfter, g_inLen - uAfter), "only the frame after the oversized one echoed");

    uint32_t uQuiet = runUntil([] { return g_outLen > 0; }, 70000);
    const uint8_t keepalive[] = {0x0E, 0x0C, 0x0B, 0x0A, XR_DEV_TCP_MSG_KEEPALIVE, 0, 0, 0};
    check(uQuiet >= 60000 && uQuiet <= 61000 && sent(keepalive, 8), "keepalive after 60 s");
    uQuiet += runUntil([] { return g_events[0] != 0; }, 40000);
    check(uQuiet >= 90000 && uQuiet <= 91000, "dropped after 90 s of silence");
    expectEvents("C;N1:;OH;", "silence drop: closed, Offline, reconnecting at once");

    MEASURED(2, xrDevTcpLogout(id));
    const char *kCalls[] = {"SetCallback", "Login", "Logout", "Send", "Proc"};
    for (uint32_t i = 0; i < 5; ++i) {
        printf("stack xrDevTcp%s: %u bytes\n", kCalls[i], unsigned(g_deepest[i]));
        check(XR_DEV_TCP_LOG || g_deepest[i] < 512, "stack under 512 bytes without logging");
    }
    printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed != 0;
}
