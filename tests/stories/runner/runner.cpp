// SPDX-License-Identifier: MIT
#include "runner.h"

#include "expect.h"
#include "layout.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "link_state.h"
#include "notation.h"

#ifdef STORY_STACK
extern "C" uint32_t __stack_limit[];  // the lowest word the stack may use
#endif

namespace story {

uint32_t g_uDeepest[5];

namespace {

using namespace notation;
constexpr uint32_t kLinks = XR_DEV_TCP_LINK_NUM, kBuf = XR_DEV_TCP_BUF_SIZE;

// The operations of a story. Their codes are those of the fuzz inputs: fixed, never reused.
enum OpCode : uint8_t {
    kLogin = 1,
    kLogout,
    kSend,
    kTick,
    kWait,
    kAgent,
    kNet,
    kApp,
    kLink,
    kState,
    kDue,
    kSleep
};
enum : uint8_t { kLoginAddr = 0, kUser, kPass, kSendId = 15, kMs = 0, kAt = 1 };  // their fields
enum : uint8_t { kOpen = 0, kCheck, kSendPlan, kRecv, kOver };
enum : uint8_t { kEcho = 0, kOn, kDo, kNth, kWithout, kAnswer };
// clang-format off
const Form kForms[] = {
    {kLogin, "login", 3, {"addr", "user", "pass"}, "ttt"},
    {kLogout, "logout", 1, {"id"}, "n"},
    {kSend, "send", 2, {"type", "body", "peer", "peersize", "size", nullptr, nullptr, nullptr,
        nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, "id"}, "nbtnn----------n"},
    {kTick, "tick", 1, {"ms", "at"}, "nn"},
    {kWait, "wait", 1, {"ms"}, "n"},
    {kAgent, "agent", 2, {kFrameNames[0], kFrameNames[1], kFrameNames[2], kFrameNames[3],
        kFrameNames[4], kFrameNames[5], kFrameNames[6], kFrameNames[7], kFrameNames[8],
        kFrameNames[9], kFrameNames[10], kFrameNames[11], kFrameNames[12], kFrameNames[13],
        kFrameNames[14]}, kFrameKinds},
    {kNet, "net", 0, {"open", "check", "send", nullptr, "over"}, "nnt-n"},
    {kApp, "app", 0, {"echo", "on", "do", "nth", "without", "answer"}, "nttntn"},
    {kLink, "link", 1, {"slot"}, "n"},
    {kState, "state", 0, {}, ""},
    {kDue, "due", 0, {}, ""},
    {kSleep, "sleep", 1, {"ms"}, "n"},
};
// clang-format on
const Language kStories = {kForms, sizeof kForms / sizeof kForms[0]};

// The agent's end of each link: the chunks that reads hand out (room for a frame beyond the
// buffer and a few more), and the device's bytes, read as frames as they come.
constexpr uint32_t kInSize = 2 * kBuf, kChunks = 64;
struct Side {
    uint8_t in[kInSize];
    uint32_t inStart, inEnd, chunkEnd[kChunks], chunks;
    bool chunkFails[kChunks];  // the read that reaches this chunk fails: the agent closed
    uint8_t out[4 * kBuf];     // the device's bytes: [0, framed) a frame's start, then the
    uint32_t framed, outLen;   // bytes of the current call, read as frames after it
    int32_t sock;              // the link's open socket, or -1
    bool early;                // the agent was heard before the connection was up
    bool started;              // the connection has sent bytes
    bool wantLogin;            // the connection's first frame is still to be read
    bool appLogin;             // the application sent a login frame of a request's size
};
Side g_side[kLinks];

// The scripted socket table and application.
enum Trigger : uint8_t {
    kOnError = 1,
    kOnNotify,
    kOnData,
    kOnStr,
    kOnOpen,
    kOnCheck,
    kOnClose,
    kOnSend,
    kOnRecv,
    kOnLog
};
enum Action : uint8_t { kDoLogout = 1, kDoRelogin, kDoLogin, kDoProc, kDoTables, kDoSend };
struct Behaviour {
    int32_t open, check, over, echo;
    int32_t plan[8];  // what each write takes in turn; -1 fails, -2 claims 9 bytes more
    uint32_t planLen, planAt;
    struct Arm {
        uint8_t on, act;
        int32_t count, answer;  // answer: what a socket operation then returns
    } arm[4];
    int32_t answer;
};
Behaviour g_do;
uint32_t g_now, g_link, g_procs;  // g_procs: calls of xrDevTcpProc left to a fuzz input
int32_t g_nextSocket;
int g_depth;    // events running: an event never starts inside another
bool g_leaky;   // the application forgot sockets (no SocketClose): they stay open here
bool g_nested;  // an armed action ran inside the call being measured
bool g_fuzz, g_failed;
bool g_partial;                // tables installed with entries left out
uint32_t g_askedAt, g_waitMs;  // xrDevTcpWaitMs's latest answer, and the tick it was asked at
const char *g_name;
int g_line;

// ---- Failures

void fail(const char *what, const char *detail = "") {
    if (g_failed) return;
    g_failed = true;
    printf("%s:%d: %s%s\n", g_name, g_line, what, detail);
    if (g_fuzz) fflush(stdout), abort();
}
// The runner's own room ran out: a story must be written within it; a fuzz input that
// goes beyond it is simply not followed further.
void limit(const char *what) {
    if (!g_fuzz) fail(what);
}
#define CHECK(cond) \
    if (!(cond)) fail("check failed: ", #cond)

// What happened inside a call of the library is kept until the call returns, and then
// checked against the line's expectations in order: checking inside the call would add
// to the stack depth that a device measures. The device's bytes are kept as they were
// taken and read as frames then too. Room for a log line of the library's 1024 and a few
// events; without logging, for two lines of the longest and the short ones of one call (a
// small device has 16 KiB of RAM).
char g_happened[XR_DEV_TCP_LOG ? 4096 : 2 * kBuf];
size_t g_happenedLen;
bool g_judging;  // the call has returned: what happens now is checked at once

void check(const char *line, const uint8_t *frame = nullptr, uint32_t size = 0) {
    if (const char *why = seen(line, frame, size)) fail(why, line);
}

// Each happening is kept as its kind ('w' bytes a write took, 'e' an open or close, which
// ends a connection, '-' anything else), its link, ':' and its line.
void happened(char kind, uint32_t slot, const char *line) {
    // Written in place, without printf or buffers: this runs inside the library's calls,
    // whose stack a device measures.
    size_t n = strlen(line) + 1, digits = 1;
    for (uint32_t s = slot; s >= 10; s /= 10) ++digits;
    if (g_judging && kind == '-') return check(line);
    if (g_happenedLen + digits + 2 + n > sizeof g_happened)
        return limit("more happened than the runner holds");
    char *p = g_happened + g_happenedLen;
    p[0] = kind, p[digits + 1] = ':';
    for (size_t i = digits; i >= 1; --i, slot /= 10) p[i] = char('0' + slot % 10);
    memcpy(p + digits + 2, line, n);
    g_happenedLen += digits + 2 + n;
}

void readSent(uint32_t slot, uint32_t n, bool first, bool early);
void dropCutFrame(uint32_t slot);

void judge() {
    g_judging = true;
    for (const char *l = g_happened; l < g_happened + g_happenedLen; l += strlen(l) + 1) {
        char *text;
        uint32_t slot = uint32_t(strtoul(l + 1, &text, 10));
        ++text;
        if (l[0] == 'w') {  // bytes taken by a write: first and early flags, count
            readSent(slot, uint32_t(strtoul(text + 1, nullptr, 16)), *text & 1, *text & 2);
            continue;
        }
        // A frame cut off by the end of a connection (or by a socket the application forgot)
        // goes with it.
        if (l[0] == 'e') dropCutFrame(slot);
        check(text);
    }
    g_happenedLen = 0, g_judging = false;
}

void done(Line &l, uint32_t slot) {
    bool ends = !strncmp(l.s, "open ", 5) || !strncmp(l.s, "close", 5);
    happened(ends ? 'e' : '-', slot, l.s);
}
Line g_l;  // one at a time: each happening is written out before the application acts
// The link comes right after the kind, where a cut line still holds it.
Line &line(const char *kind, int32_t slot = -1) {
    g_l.n = 0;
    return slot < 0 ? g_l.put(kind) : g_l.put(kind).put(" link=").num(slot);
}

// ---- The library's state is sound whenever the application has control

XR_DEV_TCP_LINK_S &slotAt(uint32_t u) {
    return devtcp::g_stDevTcp.stLink[u];
}
bool ends(const char *p, size_t n) {
    return memchr(p, 0, n) != nullptr;
}
bool zero(const void *from, const void *to) {
    for (auto p = static_cast<const uint8_t *>(from); p < to; ++p)
        if (*p) return false;
    return true;
}

void checkState() {
    // Before the first login or logout the slots are all zeros, as at program start.
    if (!devtcp::g_stDevTcp.bReady) return;
    for (uint32_t u = 0; u < kLinks; ++u) {
        const XR_DEV_TCP_LINK_S &l = slotAt(u);
        CHECK(l.usStatus <= XR_DEV_TCP_STATUS_LOGINED && l.uSendSize <= kBuf &&
              l.uRecvSize <= kBuf && l.uRecvSkip <= layout::kHead + 0xFFFFu &&
              l.usDelayLevel <= 20 && l.usDelayCount <= l.usDelayLevel * 15);
        CHECK(ends(l.szSvrAddr, 64) && ends(l.szLastAddr, 64) && ends(l.szConnAddr, 64) &&
              ends(l.szUser, 128) && ends(l.szPass, 64));
        CHECK(l.usStatus < XR_DEV_TCP_STATUS_CONNECTED || l.iSocket >= 0);
        // Every socket handed out is held by its link until it is closed.
        CHECK(l.iSocket < 0 ? l.iSocket == -1 && (g_side[u].sock < 0 || g_leaky)
                            : g_side[u].sock == l.iSocket);
        // A free slot is as empty as a fresh one, to the last byte of its password and queues.
        CHECK(l.usStatus != XR_DEV_TCP_STATUS_IDLE ||
              (l.iSocket < 0 && zero(&l.usDelayCount, &l.uStamp) && zero(&l.uSendSize, &l + 1)));
    }
}

uint32_t slotOfSocket(int32_t id) {
    checkState();
    for (uint32_t u = 0; u < kLinks; ++u)
        if (id >= 0 && slotAt(u).iSocket == id && g_side[u].sock == id) return u;
    fail("a socket operation on a socket no link holds");
    return 0;
}

// An event's handle names a slot in use, and what it hands over lies in the frame at the
// front of that slot's receive buffer (an empty text may also be a constant).
uint32_t checkEvent(int32_t id, const void *in = nullptr, size_t size = 0, bool text = true) {
    checkState();
    CHECK(g_depth == 0);
    XR_DEV_TCP_LINK_S *held = devtcp::slotOfHandle(id);
    int32_t ind = held ? int32_t(devtcp::slotIndex(*held)) : -1;
    CHECK(ind >= 0 && slotAt(uint32_t(ind)).usStatus != XR_DEV_TCP_STATUS_IDLE);
    const XR_DEV_TCP_LINK_S &l = slotAt(ind < 0 ? 0 : uint32_t(ind));
    const uint8_t *b = l.ucRecvBuf, *end = b + layout::frameSize(b);
    auto p = static_cast<const uint8_t *>(in);
    CHECK(!p || (text && !*p) ||
          (p >= b + layout::kHead && end <= b + l.uRecvSize && p + size <= end &&
           (!text || memchr(p, 0, size_t(end - p)))));
    return ind < 0 ? 0 : uint32_t(ind);
}

namespace L = layout;

// A frame the device sent, whole, read with the documented layout: well formed, and the
// first of a connection its login request with session 0, unless the agent was heard before
// the connection was up. A login frame of a request's size is the library's own request,
// which holds its three texts, each ended by zeros. Once the application has sent one of
// that size (it may send any type) on a link, the two cannot be told apart: partial writes
// let either go first, and the application's may still go out in a call that logs the link
// out and answers a failure. From then on neither is read for texts on that link.
void frameSent(uint32_t slot, const uint8_t *p, uint32_t size) {
    Side &s = g_side[slot];
    uint32_t start = L::dataStart(p), peer = L::le16(p + L::kOffPeerLength);
    CHECK(p[L::kOffFlags] <= 1 && size <= kBuf && start <= size);
    for (uint32_t i = L::kOffPeerName + peer; p[L::kOffFlags] && i < start; ++i)
        CHECK(p[i] == 0);  // padding
    CHECK(!p[L::kOffFlags] || (L::le16(p + L::kOffReserved) == 0 && peer > 0));
    CHECK(!s.wantLogin ||
          (p[L::kOffType] == XR_DEV_TCP_MSG_LOGIN && L::le32(p + L::kOffSess) == 0));
    bool request =
        p[L::kOffType] == XR_DEV_TCP_MSG_LOGIN && size == L::kLoginEnd && !p[L::kOffFlags];
    if (request && !s.appLogin) {
        static const uint32_t kFields[] = {L::kOffUser, L::kOffPass, L::kOffVersion, L::kLoginEnd};
        CHECK(!memcmp(p + L::kOffVersion, "1.3.0", 6));
        for (uint32_t f = 0; f < 3; ++f) {
            auto nul = static_cast<const uint8_t *>(
                memchr(p + kFields[f], 0, kFields[f + 1] - kFields[f]));
            for (const uint8_t *q = nul; q && q < p + kFields[f + 1]; ++q) CHECK(*q == 0);
            CHECK(nul != nullptr);
        }
    }
    s.wantLogin = false;
    if (g_failed) return;  // a frame that is not well formed is not described
    describeFrame(p, line("sent", int32_t(slot)).put(" "));
    check(g_l.s, p, size);
}
void readSent(uint32_t slot, uint32_t n, bool first, bool early) {
    Side &s = g_side[slot];
    if (first) s.wantLogin = !early;
    s.framed += n;
    for (uint32_t size;
         s.framed >= layout::kHead && (size = layout::frameSize(s.out)) <= s.framed;) {
        frameSent(slot, s.out, size);
        memmove(s.out, s.out + size, s.outLen -= size);
        s.framed -= size;
    }
}

void dropCutFrame(uint32_t slot) {
    Side &s = g_side[slot];
    memmove(s.out, s.out + s.framed, s.outLen -= s.framed);
    s.framed = 0;
}

// ---- The application: what it does inside the library's calls

template <class F>
auto measured(int which, F call) {
#ifdef STORY_STACK
    // Paints the free stack a little below this frame, and after the call finds the lowest
    // word no longer painted. A call inside which the application made calls of its own
    // (beyond an echo) measures the application: it is left out.
    constexpr uint32_t kPaint = 0xC5A5C5A5u;
    volatile uint32_t here = 0, *p;
    for (p = __stack_limit; uintptr_t(p) < uintptr_t(&here) - 64; ++p) *p = kPaint;
    g_nested = false;
    auto r = call();
    for (p = __stack_limit; *p == kPaint;) ++p;
    uint32_t used = uint32_t(uintptr_t(&here) - uintptr_t(p));
    if (used > g_uDeepest[which] && !g_nested) g_uDeepest[which] = used;
    return r;
#else
    (void)which;
    return call();
#endif
}
// xrDevTcpWaitMs's promise, for an answer above the 50 ms at which retries run: a call made
// before that time, while no link has bytes to read or to write, makes nothing happen.
// Actions armed inside the calls, or entries left out of the tables, void it.
bool beforeDue(uint32_t t) {
    if (g_waitMs <= 50 || t - g_askedAt >= g_waitMs || g_partial) return false;
    for (auto &a : g_do.arm)
        if (a.on) return false;
    for (uint32_t u = 0; u < kLinks; ++u)
        if (g_side[u].chunks || slotAt(u).uSendSize) return false;
    return true;
}
void askWait() {
    g_askedAt = g_now, g_waitMs = xrDevTcpWaitMs(g_now);
}
void proc(uint32_t t) {
    if (g_fuzz && g_procs-- == 0) return g_procs = 0, void();
    bool early = beforeDue(t);
    size_t before = g_happenedLen;
    measured(4, [t] { return xrDevTcpProc(t), 0; });
    if (early && g_happenedLen != before)
        fail("xrDevTcpProc acted before the time xrDevTcpWaitMs gave");
    askWait();
}

// A device driven by events for ms: it sleeps for what xrDevTcpWaitMs answers, or until a
// link has bytes to read, and then calls xrDevTcpProc. Answers the calls it made.
int32_t sleepFor(uint32_t ms) {
    uint32_t end = g_now + ms, left = ms, spins = 0;
    int32_t calls = 0;
    while (!g_failed && (!g_fuzz || g_procs)) {
        bool readable = false;
        for (uint32_t u = 0; u < kLinks; ++u)  // a socket the link holds, not one forgotten
            readable = readable || (g_side[u].chunks && g_side[u].sock >= 0 &&
                                    slotAt(u).iSocket == g_side[u].sock);
        uint32_t w = readable ? 0 : xrDevTcpWaitMs(g_now);
        if (w > left) break;  // no deadline included
        spins = w ? 0 : spins + 1;
        // Each call at once must hand over a frame or read: the buffer and the reads bound them.
        if (spins > kBuf + kChunks) return fail("xrDevTcpWaitMs keeps answering 0"), calls;
        g_now += w, left -= w;
        proc(g_now), judge(), ++calls;
    }
    g_now = end;
    return calls;
}

const XR_DEV_TCP_SOCKET_CALLBACK_S &sockets();
const XR_DEV_TCP_CALLBACK_S &events();
void onLog(int32_t iLevel, const char *lpszText);

// Runs the actions armed for a trigger, for the slot concerned; true when one ran.
bool act(uint8_t on, uint32_t slot) {
    bool any = false;
    for (auto &a : g_do.arm) {
        if (a.on != on || --a.count != 0) continue;
        a.on = 0, any = true, g_nested = true, g_do.answer = a.answer;
        int32_t id = devtcp::makeHandle(slotAt(slot));
        char user[128], home[64];
        memcpy(user, slotAt(slot).szUser, sizeof user);
        memcpy(home, slotAt(slot).szSvrAddr, sizeof home);
        if (a.act == kDoProc) xrDevTcpProc(g_now + 50);  // forbidden: returns at once
        if (a.act == kDoTables) xrDevTcpSetCallback(&sockets(), &events(), onLog);
        if (a.act == kDoSend) xrDevTcpSend(id, XR_DEV_TCP_MSG_STR, "hello", 6, "p", 2);
        if (a.act == kDoLogout || a.act == kDoRelogin || a.act == kDoLogin) xrDevTcpLogout(id);
        if (a.act == kDoRelogin && user[0]) xrDevTcpLogin(home, user, "pw");
        if (a.act == kDoLogin) xrDevTcpLogin("B", "other", "pw");
    }
    return any;
}

// What a check, write or read inside which the application acted answers (app answer=),
// at most the room offered.
int32_t answer(uint32_t n) {
    return g_do.answer < int32_t(n) ? g_do.answer : int32_t(n);
}

void echo(int32_t id, uint32_t type, const void *p, uint32_t n, const char *peer) {
    int32_t r = xrDevTcpSend(id, type, p, n, peer, peer ? uint32_t(strlen(peer)) + 1 : 0);
    if (r < 0) done(line("refused", id >> 16).put(" ").num(r), uint32_t(id) >> 16);
}

void message(const char *kind, uint32_t slot, const char *peer) {
    line(kind, int32_t(slot)).put(" peer=");
    peer ? g_l.word(peer, strlen(peer)) : g_l.put("null");
}

void popChunk(Side &s) {
    memmove(s.chunkEnd, s.chunkEnd + 1, --s.chunks * sizeof s.chunkEnd[0]);
    memmove(s.chunkFails, s.chunkFails + 1, s.chunks * sizeof s.chunkFails[0]);
}

const XR_DEV_TCP_SOCKET_CALLBACK_S kSockets = {
    [](const char *addr) -> int32_t {
        checkState();
        uint32_t slot = 0;
        while (slot + 1 < kLinks && addr != slotAt(slot).szConnAddr) ++slot;
        CHECK(addr == slotAt(slot).szConnAddr && ends(addr, 64));
        done(line("open", int32_t(slot)).put(" ").word(addr, strlen(addr)), slot);
        act(kOnOpen, slot);  // a socket still comes back: the library must close it
        Side &s = g_side[slot];
        if (g_do.open < 0) return g_do.open;
        CHECK(s.sock < 0 || g_leaky);
        s.early = s.started = false;
        return s.sock = g_nextSocket++;
    },
    [](int32_t id) -> int32_t {
        uint32_t slot = slotOfSocket(id);
        CHECK(slotAt(slot).usStatus == XR_DEV_TCP_STATUS_ALLOC);
        return act(kOnCheck, slot) ? g_do.answer : g_do.check;
    },
    [](int32_t id) {
        uint32_t slot = 0;
        while (slot + 1 < kLinks && g_side[slot].sock != id) ++slot;
        CHECK(g_side[slot].sock == id && id >= 0);
        for (uint32_t u = 0; u < kLinks; ++u) CHECK(slotAt(u).iSocket != id);
        // What the agent had still to send goes with the connection.
        Side &s = g_side[slot];
        s.sock = -1, s.inStart = s.inEnd = s.chunks = 0;
        done(line("close", int32_t(slot)), slot);
        act(kOnClose, slot);
    },
    [](int32_t id, const uint8_t *p, uint32_t n) -> int32_t {
        uint32_t slot = slotOfSocket(id);
        const XR_DEV_TCP_LINK_S &l = slotAt(slot);
        CHECK(p == l.ucSendBuf && n >= 1 && n == l.uSendSize);
        int32_t plan = g_do.planLen ? g_do.plan[g_do.planAt++ % g_do.planLen] : int32_t(n);
        if (act(kOnSend, slot)) {
            // Bytes a write takes after the application acted inside it are the
            // connection's, as long as the link still holds it.
            if (g_do.answer < 0 || slotAt(slot).iSocket != id) return answer(n);
            plan = g_do.answer;
        }
        if (plan == -1) return -1;
        uint32_t take = plan >= 0 && uint32_t(plan) < n ? uint32_t(plan) : n;
        Side &s = g_side[slot];
        if (s.outLen + take > sizeof s.out)
            return limit("the device sent more than the runner holds"), -1;
        memcpy(s.out + s.outLen, p, take);
        s.outLen += take;
        char note[8] = {char('0' + ((s.started ? 0 : 1) | (s.early ? 2 : 0)))};
        for (int i = 0; i < 5; ++i) note[1 + i] = "0123456789abcdef"[take >> (16 - 4 * i) & 15];
        s.started = true;
        if (take) happened('w', slot, note);
        return int32_t(take) + (plan == -2 ? 9 : 0);
    },
    [](int32_t id, uint8_t *p, uint32_t n) -> int32_t {
        uint32_t slot = slotOfSocket(id);
        const XR_DEV_TCP_LINK_S &l = slotAt(slot);
        CHECK(n >= 1 && p == l.ucRecvBuf + l.uRecvSize && n == kBuf - l.uRecvSize);
        if (act(kOnRecv, slot)) return answer(n);
        Side &s = g_side[slot];
        if (s.chunks == 0) return 0;
        if (s.chunkFails[0] && s.inStart == s.chunkEnd[0]) return popChunk(s), -1;
        uint32_t take = s.chunkEnd[0] - s.inStart < n ? s.chunkEnd[0] - s.inStart : n;
        memcpy(p, s.in + s.inStart, take);
        s.inStart += take;
        s.early |= l.usStatus == XR_DEV_TCP_STATUS_ALLOC;
        if (s.inStart == s.chunkEnd[0] && !s.chunkFails[0]) popChunk(s);
        return int32_t(take) + (take == n ? g_do.over : 0);
    }};

template <class F>
void inEvent(uint8_t on, uint32_t slot, F f) {
    ++g_depth;
    f();
    --g_depth;
    act(on, slot);
}

const XR_DEV_TCP_CALLBACK_S kEvents = {
    [](int32_t id, int32_t err) {
        uint32_t slot = checkEvent(id);
        done(line("error", int32_t(slot)).put(" ").num(err), slot);
        act(kOnError, slot);
    },
    [](int32_t id, uint32_t type, const char *text) {
        static const char *const kNotes[] = {"ONLINE", "OFFLINE", "REDIRECT", "TIME", "WAKE"};
        uint32_t slot = checkEvent(id, text);
        // Only a redirect names something; a time may or may not.
        CHECK(type <= XR_DEV_TCP_NOTIFY_WAKE && strlen(text) < 64 &&
              (type == XR_DEV_TCP_NOTIFY_TIME || (type == XR_DEV_TCP_NOTIFY_REDIRECT) == !!*text));
        line("notify", int32_t(slot)).put(" ").put(kNotes[type % 5]);
        if (*text || type == XR_DEV_TCP_NOTIFY_TIME) g_l.put(" ").text(text, strlen(text));
        done(g_l, slot);
        act(kOnNotify, slot);
    },
    [](int32_t id, const uint8_t *data, uint32_t size, const char *peer) {
        uint32_t slot = checkEvent(id, data, size, false);
        checkEvent(id, peer);
        message("data", slot, peer);
        done(g_l.put(" size=").bytes(data, size), slot);
        inEvent(kOnData, slot, [&] {
            if (g_do.echo & 1) echo(id, XR_DEV_TCP_MSG_DATA, data, size, peer);
        });
    },
    [](int32_t id, const char *text, const char *peer) {
        uint32_t slot = checkEvent(id, text);
        checkEvent(id, peer);
        message("str", slot, peer);
        done(g_l.put(" ").text(text, strlen(text)), slot);
        inEvent(kOnStr, slot, [&] {
            if (g_do.echo & 2) echo(id, XR_DEV_TCP_MSG_STR, text, uint32_t(strlen(text)) + 1, peer);
        });
    },
    {}};

void onLog(int32_t iLevel, const char *text) {
    CHECK(iLevel == 0 && ends(text, 1024));
    line("log ").text(text, strlen(text));
    happened('-', g_link, g_l.s);
    act(kOnLog, g_link);
}

const XR_DEV_TCP_SOCKET_CALLBACK_S &sockets() {
    return kSockets;
}
const XR_DEV_TCP_CALLBACK_S &events() {
    return kEvents;
}

// ---- Operations

uint8_t g_data[kBuf + 8], g_peer[kBuf + 8];
char g_text[3][300];  // room for texts longer than the fields
const char *cText(const Op &op, uint32_t f, void *buf, size_t room) {
    if (!op.has(f)) return nullptr;
    // What follows the NUL is not zero: the library must not read past it.
    size_t n = op.len[f] < room - 1 ? op.len[f] : room - 1;
    if (n < op.len[f]) limit("a text longer than the runner holds");
    memset(buf, 0xA5, room);
    memcpy(buf, op.bytes(f), n);
    static_cast<char *>(buf)[n] = '\0';
    return static_cast<const char *>(buf);
}
// Each word of a comma-separated list in field f; false when each refuses one.
template <class F>
bool eachWord(const Op &op, uint32_t f, F each) {
    const char *p = reinterpret_cast<const char *>(op.bytes(f)), *end = p + op.len[f];
    for (const char *q; p < end; p = q + 1) {
        q = static_cast<const char *>(memchr(p, ',', size_t(end - p)));
        if (!q) q = end;
        if (!each(Tok{p, size_t(q - p)})) return false;
    }
    return true;
}
int32_t handleArg(const Op &op, uint32_t f) {
    return op.has(f) ? op.num[f] : devtcp::makeHandle(slotAt(g_link));
}
// Of a name given in field f, its position in names plus 1, or 0.
uint8_t wordOf(const Op &op, uint32_t f, const char *const *names, uint8_t count) {
    for (uint8_t i = 0; i < count; ++i)
        if (op.has(f) && same({reinterpret_cast<const char *>(op.bytes(f)), op.len[f]}, names[i]))
            return uint8_t(i + 1);
    return 0;
}

// What xrDevTcpSend must answer, from the slot as it is before the call.
int32_t expectedSend(int32_t id, uint32_t type, uint32_t size, const char *peer,
                     uint32_t peerSize) {
    uint32_t u = uint32_t(id);
    if (u >= kLinks << 16 || (u & 0xFFFFu) != slotAt(u >> 16).usSeq) return XR_DEV_TCP_ERR_ARG;
    const XR_DEV_TCP_LINK_S &l = slotAt(u >> 16);
    if (!l.usStatus || (l.usStatus != XR_DEV_TCP_STATUS_LOGINED && type != XR_DEV_TCP_MSG_LOGIN))
        return XR_DEV_TCP_ERR_NOT_LOGINED;
    if (l.usWriteFailed) return XR_DEV_TCP_ERR_SOCKET;  // the connection is ending
    uint64_t section = peer && peerSize ? 4u + ((uint64_t(peerSize) + 3u) & ~3ull) : 0;
    if (l.uSendSize + 8u + section + size > kBuf) return XR_DEV_TCP_ERR_QUEUE_FULL;
    return int32_t(size);
}

// The body's bytes, then a pattern up to size= bytes.
uint32_t fill(const Op &op, const uint8_t *body, uint32_t len, uint8_t *out, uint32_t room) {
    uint32_t n = op.has(kSize) ? uint32_t(op.num[kSize]) : len;
    for (uint32_t i = 0; i < n && i < room; ++i) out[i] = i < len ? body[i] : uint8_t(i * 7 + 1);
    return n;
}

int32_t doSend(const Op &op) {
    int32_t id = handleArg(op, kSendId);
    uint32_t type = uint32_t(op.num[kType]);
    uint32_t size = fill(op, op.bytes(kBody), op.len[kBody], g_data, sizeof g_data);
    const char *peer = cText(op, kPeer, g_peer, sizeof g_peer);
    uint32_t peerSize = op.has(kPeerSize) ? uint32_t(op.num[kPeerSize])
                        : peer            ? uint32_t(strlen(peer)) + 1
                                          : 0;
    int32_t want = expectedSend(id, type, size, peer, peerSize);
    bool socket = want >= 0 && slotAt(uint32_t(id) >> 16).iSocket >= 0;
    if (want > 0 && uint8_t(type) == XR_DEV_TCP_MSG_LOGIN && (!peer || !peerSize) &&
        size == layout::kLoginEnd - layout::kHead)
        g_side[uint32_t(id) >> 16].appLogin = true;
    int32_t r = measured(3, [&] { return xrDevTcpSend(id, type, g_data, size, peer, peerSize); });
    if (r != want && !(socket && r == XR_DEV_TCP_ERR_SOCKET))
        fail("xrDevTcpSend answered against its contract");
    return r;
}

// Appends n bytes to what the link's reads hand out: one read for all of them, reads of
// `split` bytes, or joined to the read queued before.
void queueIn(Side &s, const uint8_t *p, uint32_t n, uint32_t split, bool join) {
    if (s.inStart == s.inEnd && s.chunks == 0) s.inStart = s.inEnd = 0;
    if (n > kInSize - s.inEnd && s.inStart > 0) {  // make room at the front
        memmove(s.in, s.in + s.inStart, s.inEnd - s.inStart);
        for (uint32_t i = 0; i < s.chunks; ++i) s.chunkEnd[i] -= s.inStart;
        s.inEnd -= s.inStart, s.inStart = 0;
    }
    if (n > kInSize - s.inEnd || s.chunks + (n + split - 1) / split > kChunks)
        return limit("the agent sent more than the runner holds");
    memcpy(s.in + s.inEnd, p, n);
    join = join && s.chunks > 0 && !s.chunkFails[s.chunks - 1];
    for (uint32_t at = 0; at < n; join = false) {
        at = n - at > split ? at + split : n;
        if (!join) s.chunkFails[s.chunks++] = false;
        s.chunkEnd[s.chunks - 1] = s.inEnd + at;
    }
    s.inEnd += n;
}

// A frame from the agent, built from its parts; lengths and peers may lie.
void doAgent(const Op &op) {
    static uint8_t frame[3 * kBuf + 32];  // room for a peer of kBuf bytes and the data
    Side &s = g_side[g_link];
    // Each key is one that this kind of frame uses.
    int32_t type = op.num[kType];
    uint32_t keys = type == kClose ? 0u
                    : type == kRaw
                        ? 1u << kBody | 1u << kSize | 1u << kSplit | 1u << kJoin | 1u << kCut
                        : 0xFFFFu & ~(1u << kResult | 1u << kAddr | 1u << kTime | 1u << kCode);
    if (type == XR_DEV_TCP_MSG_LOGIN && !op.has(kBody))
        keys |= 1u << kResult | 1u << kAddr | 1u << kTime;
    if (type == XR_DEV_TCP_MSG_ERROR && !op.has(kBody)) keys |= 1u << kCode;
    if (op.mask & ~keys & ~1u) return limit("a key that this frame does not use");
    if (type == kClose) {
        if (s.chunks == kChunks) return limit("the agent sent more than the runner holds");
        s.chunkEnd[s.chunks] = s.inEnd, s.chunkFails[s.chunks++] = true;
        return;
    }
    int32_t n = buildFrame(op, slotAt(g_link).uSessID, frame, sizeof frame);
    if (n < 0) return limit("an agent frame larger than the runner holds");
    uint32_t split = op.has(kSplit) && op.num[kSplit] > 0 ? uint32_t(op.num[kSplit]) : uint32_t(n);
    if (n) queueIn(s, frame, uint32_t(n), split, op.has(kJoin) && op.num[kJoin]);
}

void doNet(const Op &op) {
    if (op.has(kOpen)) g_do.open = op.num[kOpen];
    if (op.has(kCheck)) g_do.check = op.num[kCheck];
    if (op.has(kOver)) g_do.over = op.num[kOver] & 0xFFFF;
    if (!op.has(kSendPlan)) return;
    // A list such as "5,0,fail": bytes taken by each write in turn, round and round.
    g_do.planLen = g_do.planAt = 0;
    bool read = eachWord(op, kSendPlan, [](Tok t) {
        int32_t v = 0x7FFFFFFF;  // "all"
        if (same(t, "fail") || same(t, "more"))
            v = same(t, "fail") ? -1 : -2;
        else if (!same(t, "all") && (!parseNumber(t.p, t.n, v) || v < 0))
            return false;
        if (g_do.planLen == 8) return false;
        g_do.plan[g_do.planLen++] = v;
        return true;
    });
    if (!read) limit("a send plan is at most 8 numbers, all, more or fail");
}

void doApp(const Op &op) {
    static const char *const kTriggers[] = {"error", "notify", "data", "str",  "open",
                                            "check", "close",  "send", "recv", "log"};
    static const char *const kActions[] = {"logout", "relogin", "login", "proc", "tables", "send"};
    if (op.has(kEcho)) g_do.echo = op.num[kEcho];
    if (op.has(kOn)) {
        uint8_t on = wordOf(op, kOn, kTriggers, 10), what = wordOf(op, kDo, kActions, 6);
        if (!on || !what || (op.has(kNth) && op.num[kNth] < 1))
            return limit("app on= takes a trigger, do= an action, nth= a count from 1");
        auto *a = g_do.arm;
        while (a < g_do.arm + 4 && a->on) ++a;
        if (a == g_do.arm + 4) return limit("more than 4 app on= armed at once");
        *a = {on, what, op.has(kNth) ? op.num[kNth] : 1, op.has(kAnswer) ? op.num[kAnswer] : -1};
    } else if (op.has(kDo) || op.has(kNth) || op.has(kAnswer)) {
        return limit("do=, nth= and answer= go with on=");
    }
    if (!op.has(kWithout)) return;
    g_partial =
        g_partial ||
        !same({reinterpret_cast<const char *>(op.bytes(kWithout)), op.len[kWithout]}, "none");
    // The tables with the named entries left out ("none" leaves nothing out).
    XR_DEV_TCP_SOCKET_CALLBACK_S s = kSockets;
    XR_DEV_TCP_CALLBACK_S e = kEvents;
    static const char *const kEntries[] = {"none",    "open",   "check",  "close", "send",
                                           "recv",    "error",  "notify", "data",  "str",
                                           "sockets", "events", "log"};
    uint32_t left = 0;
    bool known = eachWord(op, kWithout, [&left](Tok t) {
        for (uint32_t i = 0; i < 13; ++i)
            if (same(t, kEntries[i])) return left |= 1u << i, true;
        return false;
    });
    if (!known) return limit("without= names table entries, tables or none");
    auto out = [left](const char *name) {
        uint32_t i = 0;
        while (strcmp(kEntries[i], name)) ++i;
        return (left >> i & 1u) != 0;
    };
    if (out("open")) s.SocketOpen = nullptr;
    if (out("check")) s.SocketCheck = nullptr;
    if (out("close") || out("sockets")) s.SocketClose = nullptr, g_leaky = true;
    if (out("send")) s.SocketSend = nullptr;
    if (out("recv")) s.SocketRecv = nullptr;
    if (out("error")) e.TcpError = nullptr;
    if (out("notify")) e.TcpNotify = nullptr;
    if (out("data")) e.TcpReceive = nullptr;
    if (out("str")) e.TcpReceiveStr = nullptr;
    const XR_DEV_TCP_SOCKET_CALLBACK_S *sp = out("sockets") ? nullptr : &s;
    const XR_DEV_TCP_CALLBACK_S *ep = out("events") ? nullptr : &e;
    XR_DEV_TCP_LOG_FUNC lp = out("log") ? nullptr : onLog;
    measured(0, [&] { return xrDevTcpSetCallback(sp, ep, lp), 0; });
}

void doState() {
    static const char *const kWords[] = {"Idle", "Alloc", "Connected", "Logining", "Logined"};
    const XR_DEV_TCP_LINK_S &l = slotAt(g_link);
    line("state", int32_t(g_link))
        .put(" ")
        .put(kWords[l.usStatus % 5])
        .put(" level=")
        .num(l.usDelayLevel);
    g_l.put(" queued=").num(int32_t(l.uSendSize)).put(" held=").num(int32_t(l.uRecvSize));
    done(g_l.put(l.iSocket >= 0 ? " socket=yes" : " socket=no"), g_link);
}

// Runs one operation; returns what its call answered (login, send), else 0.
int32_t run(const Op &op) {
    int32_t r = 0;
    switch (op.code) {
        case kLogin:
            r = measured(1, [&] {
                return xrDevTcpLogin(cText(op, kLoginAddr, g_text[0], 300),
                                     cText(op, kUser, g_text[1], 300),
                                     cText(op, kPass, g_text[2], 300));
            });
            break;
        case kLogout:
            measured(2, [&] { return xrDevTcpLogout(handleArg(op, 0)), 0; });
            break;
        case kSend:
            r = doSend(op);
            break;
        case kTick:
            if (op.has(kMs) == op.has(kAt)) limit("tick takes MS or at=");
            proc(g_now = op.has(kAt) ? uint32_t(op.num[kAt]) : g_now + uint32_t(op.num[kMs]));
            break;
        case kWait:
            for (uint32_t t = 50; t <= uint32_t(op.num[kMs]) && !g_failed && (!g_fuzz || g_procs);
                 t += 50)
                proc(g_now += 50), judge();
            break;
        case kAgent:
            doAgent(op);
            break;
        case kNet:
            doNet(op);
            break;
        case kApp:
            doApp(op);
            break;
        case kLink:
            if (uint32_t(op.num[0]) >= kLinks) limit("no such link in this configuration");
            g_link = uint32_t(op.num[0]) % kLinks;
            break;
        case kState:
            doState();
            break;
        case kDue:
            r = int32_t(xrDevTcpWaitMs(g_now));
            break;
        case kSleep:
            r = sleepFor(uint32_t(op.num[kMs]));
            break;
        default:
            break;
    }
    judge();
    checkState();
    askWait();
    return r;
}

void start(const char *name, bool fuzz) {
    g_name = name, g_fuzz = fuzz, g_failed = false, g_line = 0;
    g_now = 1000, g_link = 0, g_depth = 0, g_procs = 20000, g_leaky = false;
    g_nextSocket = 0, g_happenedLen = 0, g_partial = false, g_waitMs = 0;
    memset(g_side, 0, sizeof g_side);
    for (Side &s : g_side) s.sock = -1;
    g_do = Behaviour();
    g_do.check = 1;
    // A fresh library, as at program start.
    memset(&devtcp::g_stDevTcp, 0, sizeof devtcp::g_stDevTcp);
    measured(0, [] { return xrDevTcpSetCallback(&kSockets, &kEvents, onLog), 0; });
}

// Every link logged out leaves every slot free and no socket open.
void finish() {
    expectNothing();
    for (uint32_t u = 0; u < kLinks; ++u) xrDevTcpLogout(devtcp::makeHandle(slotAt(u)));
    judge();
    checkState();
    for (Side &s : g_side)
        if (s.sock >= 0 && !g_leaky) fail("a socket was left open");
}

// "needs LINKS>=2 LOG BUF>=2048": whether this configuration can tell the story (1), not (0),
// or -1 when the line is not made of such conditions.
int applies(const char *p) {
    Tok t[16];
    uint32_t n = tokens({p, strcspn(p, "\n#")}, t, 16);
    bool all = n < 16;
    for (uint32_t i = 1; i < n; ++i) {
        if (same(t[i], "LOG")) {
            all = all && XR_DEV_TCP_LOG;
            continue;
        }
        size_t k = strcspn(t[i].p, "<=>"), op = t[i].n > k + 1 && t[i].p[k + 1] == '=' ? 2 : 1;
        int32_t want = 0, have = same({t[i].p, k}, "LINKS") ? int32_t(kLinks)
                                 : same({t[i].p, k}, "BUF") ? int32_t(kBuf)
                                                            : -1;
        if (have < 0 || k >= t[i].n || !parseNumber(t[i].p + k + op, t[i].n - k - op, want))
            return -1;
        char c = t[i].p[k];
        bool eq = have == want, holds = c == '>'   ? have > want || (op == 2 && eq)
                                        : c == '<' ? have < want || (op == 2 && eq)
                                                   : eq;
        all = all && holds;
    }
    return all && n >= 2 ? 1 : n >= 2 && n < 16 ? 0 : -1;
}

}  // namespace

int runText(const char *name, const char *text) {
    static Op op;
    static char buf[512];
    start(name, false);
    for (const char *p = text; *p && !g_failed; p += strcspn(p, "\n"), p += *p == '\n') {
        ++g_line;
        size_t n = strcspn(p, "\n");
        if (n >= sizeof buf) return fail("line too long"), 1;
        memcpy(buf, p, n), buf[n] = '\0';
        const char *why = "";
        if (!strncmp(buf, "needs ", 6)) {
            int a = applies(buf);
            if (a < 0) return fail("needs takes LOG and LINKS or BUF compared to a number"), 1;
            if (a == 0) return kSkipped;
            continue;
        }
        if (!parseOp(kStories, buf, op, why)) return fail(line(why).put(": ").put(buf).s), 1;
        if (!op.code) continue;
        if (const char *bad = expectLine(buf, XR_DEV_TCP_LOG)) return fail(bad), 1;
        int32_t got = run(op);
        if (const char *bad = g_failed ? nullptr : verdict(got)) fail(bad);
    }
    if (!g_failed) finish();
    return g_failed ? 1 : 0;
}

void runBinary(const uint8_t *in, size_t size) {
    static Op op;
    start("fuzz", true);
    for (size_t n; g_line < 1000 && (n = decodeOp(kStories, in, size, op)) != 0; in += n, size -= n)
        if (++g_line, op.code) run(op);
    finish();
}

size_t encodeText(const char *text, uint8_t *out, size_t room) {
    static Op op;
    static char buf[512];
    size_t used = 0;
    for (const char *p = text; *p; p += strcspn(p, "\n"), p += *p == '\n') {
        size_t n = strcspn(p, "\n");
        if (n >= sizeof buf) return 0;
        memcpy(buf, p, n), buf[n] = '\0';
        const char *why = "";
        bool needs = !strncmp(buf, "needs ", 6);
        if (needs && applies(buf) != 1) return 0;
        if (needs || !parseOp(kStories, buf, op, why) || !op.code) continue;
        size_t k = encodeOp(kStories, op, out + used, room - used);
        if (k == 0) return 0;
        used += k;
    }
    return used;
}

void decodeBinary(const uint8_t *in, size_t size, void (*emit)(const char *)) {
    static Op op;
    static char line[3 * kPoolSize];
    for (size_t n; (n = decodeOp(kStories, in, size, op)) != 0; in += n, size -= n)
        if (op.code) formatOp(kStories, op, line, sizeof line), emit(line);
}

}  // namespace story
