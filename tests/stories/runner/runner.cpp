// SPDX-License-Identifier: MIT
#include "runner.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "language.h"
#include "link_state.h"
#include "wire.h"

namespace story {

uint32_t g_uDeepest[5];

}  // namespace story

#ifdef STORY_STACK
extern "C" uint32_t __stack_limit[];  // the lowest word the stack may use
#endif

namespace story {

namespace {

using namespace devtcp::wire;
constexpr uint32_t kLinks = XR_DEV_TCP_LINK_NUM, kBuf = XR_DEV_TCP_BUF_SIZE;
constexpr int32_t kTypeRaw = 256, kTypeClose = 257;

// ---- What happened: noted cheaply inside the library's calls, written out after them.

enum Kind : uint8_t { kOpened, kClosed, kSent, kErrorEv, kNotifyEv, kDataEv, kStrEv, kLogged,
                      kRefused };
struct Record {
    uint8_t kind, slot;
    bool bPeer;
    int32_t n;
    uint32_t size, peerSize;
    char peer[24];
    uint8_t text[72];
};
Record g_rec[16 + 16 * kLinks];
uint32_t g_recCount;

// The agent's side of each link: chunks that reads hand out, and the device's bytes.
constexpr uint32_t kInSize = 4 * kBuf, kChunks = 64, kOutSize = 4 * kBuf;
struct Side {
    uint8_t in[kInSize];
    uint32_t inStart, inEnd, chunkEnd[kChunks], chunks;
    bool chunkFails[kChunks];
    uint8_t out[kOutSize];   // [0, framed): the frame being read; [framed, outLen): not yet read
    uint32_t framed, outLen;
    bool early, started;     // bytes read before the connection was up; bytes sent on it
    bool wantLogin;          // the next whole frame must be a login request
};
Side g_side[kLinks];

struct Sock {
    int32_t id;
    uint8_t slot;
    bool open;
};
Sock g_sock[16];
int32_t g_nextSocket;

// The scripted behaviour of the socket table and the application.
struct Behaviour {
    int32_t open, check, over;
    int32_t plan[8];
    uint32_t planLen, planAt;
    int32_t echo;
    struct Arm {
        uint8_t on, act;
        int32_t count, answer;  // answer: what a socket operation then returns
    } arm[4];
    int32_t answer;  // of the latest action inside a socket operation
};
Behaviour g_do;
bool g_leaky;   // the application forgot sockets (no SocketClose): they stay open here
bool g_nested;  // an armed action ran inside the call being measured
uint32_t g_now, g_link;
int g_depth;
bool g_fuzz, g_failed;
const char *g_name;
int g_line;

// ---- Failures

void fail(const char *fmt, const char *a = "", const char *b = "") {
    if (g_failed) return;
    g_failed = true;
    printf("%s:%d: ", g_name, g_line);
    printf(fmt, a, b);
    printf("\n");
    if (g_fuzz) fflush(stdout), abort();
}
// The runner's own room ran out: a story must be written within it; a fuzz input that
// goes beyond it is simply not followed further.
void limit(const char *what) {
    if (!g_fuzz) fail("%s", what);
}
#define CHECK(cond) \
    if (!(cond)) fail("check failed: %s", #cond)

// ---- The expectations of the current line

struct Expect {
    const char *p;
    size_t n;
    bool no, met;
};
Expect g_want[16];
uint32_t g_wants, g_next;
char g_seen[1200];  // what happened on this line, for the failure message

struct Tok {
    const char *p;
    size_t n;
};
uint32_t tokens(const char *p, size_t n, Tok *out, uint32_t max) {
    uint32_t k = 0;
    for (size_t i = 0; i < n && k < max;) {
        while (i < n && p[i] == ' ') ++i;
        if (i == n) break;
        size_t s = i;
        bool q = false;
        for (; i < n && (q || p[i] != ' '); ++i)
            if (p[i] == '"' && (i == s || p[i - 1] != '\\')) q = !q;
        out[k++] = {p + s, i - s};
    }
    return k;
}
bool same(Tok a, Tok b) {
    return a.n == b.n && memcmp(a.p, b.p, a.n) == 0;
}
bool isEvent(Tok t) {
    static const char *const kEvents[] = {"error", "notify", "data", "str", "refused"};
    for (const char *e : kEvents)
        if (same(t, {e, strlen(e)})) return true;
    return false;
}

// Words agree when they are the same, when they are key=value words with the same key and
// values that are the same number however written (sess=85 and sess=0x55, size=BUF-8 and
// size=2040), or when the pattern's value is written "x"*N and stands for N copies of x.
bool sameWord(Tok pattern, Tok line) {
    if (same(pattern, line)) return true;
    size_t k = strcspn(pattern.p, "=\"");
    k = k < pattern.n && pattern.p[k] == '=' ? k + 1 : 0;  // where the value starts
    if (k > line.n || memcmp(pattern.p, line.p, k)) return false;
    const char *x = pattern.p + k, *v = line.p + k, *end = pattern.p + pattern.n;
    size_t vn = line.n - k;
    int32_t a, b;
    const char *q = x[0] == '"' ? static_cast<const char *>(memchr(x + 1, '"', size_t(end - x - 1))) : nullptr;
    if (q && q + 1 < end && q[1] == '*' && parseNumber(q + 2, size_t(end - q - 2), a)) {
        size_t xn = size_t(q - x - 1);
        if (vn >= 2 && v[0] == '"') ++v, vn -= 2;
        if (xn == 0 || vn != xn * size_t(a)) return vn == 0 && a == 0;
        for (size_t i = 0; i < vn; ++i)
            if (v[i] != x[1 + i % xn]) return false;
        return true;
    }
    return k && parseNumber(x, size_t(end - x), a) && parseNumber(v, vn, b) && a == b;
}

// A pattern matches a line when their first words agree ("event" stands for any event,
// "anything" for any line) and each of its other words is one of the line's.
bool matches(const Expect &e, const char *line) {
    Tok pt[12], lt[16];
    uint32_t np = tokens(e.p, e.n, pt, 12), nl = tokens(line, strlen(line), lt, 16);
    if (np == 0 || nl == 0) return false;
    if (!same(pt[0], lt[0]) && !same(pt[0], {"anything", 8}) &&
        !(same(pt[0], {"event", 5}) && isEvent(lt[0])))
        return false;
    for (uint32_t i = 1; i < np; ++i) {
        bool found = false;
        for (uint32_t j = 1; j < nl && !found; ++j) found = sameWord(pt[i], lt[j]);
        if (!found) return false;
    }
    return true;
}

void happened(const char *line) {
    size_t used = strlen(g_seen), n = strlen(line);
    if (used + n + 6 < sizeof g_seen) memcpy(g_seen + used, "\n    ", 5), memcpy(g_seen + used + 5, line, n + 1);
    for (uint32_t i = 0; i < g_wants; ++i)
        if (g_want[i].no && matches(g_want[i], line)) fail("unexpected: %s", line);
    while (g_next < g_wants && g_want[g_next].no) ++g_next;
    if (g_next < g_wants && matches(g_want[g_next], line)) g_want[g_next++].met = true;
}

// ---- Writing out what happened

struct Line {
    char s[400];
    size_t n;
    void put(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
    void text(const uint8_t *p, size_t len) {
        put("\"");
        for (size_t i = 0; i < len; ++i)
            put(p[i] == '"' || p[i] == '\\' ? "\\%c" : p[i] >= 0x20 && p[i] < 0x7F ? "%c" : "\\x%02X",
                p[i]);
        put("\"");
    }
    void word(const char *p, size_t len) {  // bare when it can be, quoted when it must
        bool bare = len > 0;
        for (size_t i = 0; i < len; ++i)
            bare = bare && ((p[i] >= '0' && p[i] <= '9') || (p[i] >= 'a' && p[i] <= 'z') ||
                            (p[i] >= 'A' && p[i] <= 'Z') || strchr("._:-", p[i]));
        if (bare) put("%.*s", int(len), p);
        else text(reinterpret_cast<const uint8_t *>(p), len);
    }
    void hex(const uint8_t *p, size_t len) {
        for (size_t i = 0; i < len && i < 32; ++i) put("%02x", p[i]);
        if (len > 32) put("..");
    }
};
void Line::put(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int k = vsnprintf(s + n, sizeof s - n, fmt, ap);
    va_end(ap);
    if (k > 0) n = n + size_t(k) < sizeof s ? n + size_t(k) : sizeof s - 1;
}

const char *typeName(uint32_t t) {
    static const char *const kNames[] = {"KEEPALIVE", "ERROR", "LOGIN", "LOGOUT",
                                         "REDIRECT",  "TIME",  "DATA",  "STR"};
    return t < 8 ? kNames[t] : t == XR_DEV_TCP_MSG_WAKE ? "WAKE" : nullptr;
}

// A frame the device sent, at p, whole. Every frame must be well formed, and the first one
// on a connection the login request with session 0.
void frameSent(uint32_t slot, const uint8_t *p) {
    Header h = readHeader(p);
    Body b;
    Side &s = g_side[slot];
    CHECK(h.uFlags <= XR_DEV_TCP_FLAG_PEER && h.uPayload <= kBuf - kHeadSize);
    CHECK(readBody(p + kHeadSize, h.uPayload, h.uFlags, b));
    if (b.bPeer) {
        CHECK(readLe16(p + kHeadSize) == 0 && b.uPeerSize > 0);
        for (uint32_t i = kPeerOffName + b.uPeerSize; i < b.uDataOff; ++i) CHECK(p[kHeadSize + i] == 0);
    }
    CHECK(!s.wantLogin || (h.uType == XR_DEV_TCP_MSG_LOGIN && h.uSessID == 0));
    s.wantLogin = false;
    Line l{};
    const char *name = typeName(h.uType);
    name ? l.put("sent %s", name) : l.put("sent %u", unsigned(h.uType));
    l.put(" sess=0x%x", unsigned(h.uSessID));
    const uint8_t *d = p + kHeadSize + b.uDataOff;
    if (b.bPeer) l.put(" peer="), l.word(reinterpret_cast<const char *>(p + kOffPeerName),
                                         textLength(reinterpret_cast<const char *>(p + kOffPeerName), b.uPeerSize));
    if (h.uType == XR_DEV_TCP_MSG_LOGIN && b.uDataSize == kLoginReqSize) {
        const char *r = reinterpret_cast<const char *>(d);
        l.put(" user="), l.word(r, textLength(r, 128));
        l.put(" pass="), l.word(r + 128, textLength(r + 128, 64));
        l.put(" version="), l.word(r + 192, textLength(r + 192, 64));
    } else if (h.uType == XR_DEV_TCP_MSG_STR && b.uDataSize > 0) {
        l.put(" "), l.text(d, textLength(reinterpret_cast<const char *>(d), b.uDataSize));
    } else if (b.uDataSize > 0) {
        l.put(" size=%u ", unsigned(b.uDataSize)), l.hex(d, b.uDataSize);
    }
    l.put(" link=%u", unsigned(slot));
    happened(l.s);
}

// The bytes of n socket writes are read as frames.
void readSent(uint32_t slot, uint32_t n) {
    Side &s = g_side[slot];
    s.framed += n;
    while (s.framed >= kHeadSize) {
        uint32_t size = kHeadSize + readLe16(s.out + kOffLength);
        if (size > s.framed) break;
        frameSent(slot, s.out);
        memmove(s.out, s.out + size, s.outLen - size);
        s.outLen -= size, s.framed -= size;
    }
}

void writeOut() {
    static const char *const kNotes[] = {"ONLINE", "OFFLINE", "REDIRECT", "TIME", "WAKE"};
    for (uint32_t i = 0; i < g_recCount; ++i) {
        const Record &r = g_rec[i];
        Line l{};
        const uint8_t *t = r.text;
        size_t tl = strlen(reinterpret_cast<const char *>(t));
        switch (r.kind) {
            case kOpened:
            case kClosed: {
                // A frame cut off by the end of a connection (or by a socket the application
                // forgot) is dropped with it.
                Side &s = g_side[r.slot];
                memmove(s.out, s.out + s.framed, s.outLen - s.framed);
                s.outLen -= s.framed, s.framed = 0;
                if (r.kind == kClosed) l.put("close");
                else l.put("open "), l.word(reinterpret_cast<const char *>(t), tl);
                break;
            }
            case kSent:
                // The first bytes of a connection start with its login request, unless the
                // agent was heard before the connection was up.
                if (r.size) g_side[r.slot].wantLogin = !r.bPeer;
                readSent(r.slot, uint32_t(r.n));
                continue;
            case kErrorEv: l.put("error %d", int(r.n)); break;
            case kRefused: l.put("refused %d", int(r.n)); break;
            case kNotifyEv:
                l.put("notify %s", kNotes[r.n]);
                if (r.n == XR_DEV_TCP_NOTIFY_REDIRECT || r.n == XR_DEV_TCP_NOTIFY_TIME)
                    l.put(" "), l.text(t, tl);
                break;
            case kLogged: l.put("log "), l.text(t, tl); break;
            default:
                l.put(r.kind == kDataEv ? "data peer=" : "str peer=");
                if (!r.bPeer) l.put("null");
                else l.word(r.peer, strlen(r.peer)), l.put(r.peerSize > 23 ? ".." : "");
                if (r.kind == kDataEv) l.put(" size=%u ", unsigned(r.size)), l.hex(t, r.size);
                else l.put(" "), l.text(t, tl), l.put(r.size > 71 ? ".." : "");
        }
        if (r.kind != kLogged) l.put(" link=%u", unsigned(r.slot));
        happened(l.s);
    }
    g_recCount = 0;
}

Record &note(uint8_t kind, uint32_t slot, int32_t n = 0, const void *text = nullptr,
             size_t len = 0) {
    static Record spare;
    if (g_recCount == sizeof g_rec / sizeof g_rec[0]) {
        limit("more happened in one call than the runner can note");
        return spare = Record(), spare;
    }
    Record &r = g_rec[g_recCount++];
    r = Record();
    r.kind = kind, r.slot = uint8_t(slot), r.n = n, r.size = uint32_t(len);
    if (text) memcpy(r.text, text, len < sizeof r.text - 1 ? len : sizeof r.text - 1);
    return r;
}

// ---- The library's state must be sound whenever the application has control.

XR_DEV_TCP_LINK_S &slotAt(uint32_t u) {
    return g_stDevTcp.stLink[u];
}
bool ends(const char *p, size_t n) {
    return memchr(p, 0, n) != nullptr;
}
Sock *sockOf(int32_t id) {
    for (Sock &s : g_sock)
        if (s.open && s.id == id) return &s;
    return nullptr;
}

void checkState() {
    uint32_t held = 0, open = 0;
    for (Sock &s : g_sock) open += s.open;
    for (uint32_t u = 0; u < kLinks; ++u) {
        const XR_DEV_TCP_LINK_S &l = slotAt(u);
        held += l.iSocket >= 0;
        CHECK(l.usStatus <= XR_DEV_TCP_STATUS_LOGINED && l.uSendSize <= kBuf &&
              l.uRecvSize <= kBuf && l.uRecvSkip <= kHeadSize + 0xFFFFu && l.usDelayLevel <= 20 &&
              l.usDelayCount <= l.usDelayLevel * 15);
        CHECK(ends(l.szSvrAddr, 64) && ends(l.szLastAddr, 64) && ends(l.szConnAddr, 64) &&
              ends(l.szUser, 128) && ends(l.szPass, 64));
        CHECK(l.usStatus < XR_DEV_TCP_STATUS_CONNECTED || l.iSocket >= 0);
        CHECK(l.iSocket < 0 || sockOf(l.iSocket));
        // A free slot is as empty as a fresh one.
        CHECK(l.usStatus != XR_DEV_TCP_STATUS_IDLE ||
              (!l.szUser[0] && !l.szSvrAddr[0] && !l.szPass[0] && l.iSocket < 0 && !l.uSendSize &&
               !l.uRecvSize && !l.uSessID && !l.usDelayLevel));
    }
    CHECK(held == open || g_leaky);
}

uint32_t slotOfSocket(int32_t id) {
    checkState();
    for (uint32_t u = 0; u < kLinks; ++u)
        if (slotAt(u).iSocket == id && sockOf(id)) return u;
    fail("a socket operation on a socket no slot holds");
    return 0;
}

// An event's handle names a slot in use, and what it hands over lies in the frame at the
// front of that slot's receive buffer (an empty text may also be a constant).
uint32_t checkEvent(int32_t id, const void *in = nullptr, size_t size = 0, bool text = true) {
    checkState();
    CHECK(g_depth == 0);
    int32_t ind = devtcp::slotOfHandle(id);
    CHECK(ind >= 0 && slotAt(uint32_t(ind)).usStatus != XR_DEV_TCP_STATUS_IDLE);
    const XR_DEV_TCP_LINK_S &l = slotAt(ind < 0 ? 0 : uint32_t(ind));
    const uint8_t *b = l.ucRecvBuf, *end = b + kHeadSize + readLe16(b + kOffLength);
    auto p = static_cast<const uint8_t *>(in);
    CHECK(!p || (text && !*p) ||
          (p >= b + kHeadSize && end <= b + l.uRecvSize && p + size <= end &&
           (!text || memchr(p, 0, size_t(end - p)))));
    return ind < 0 ? 0 : uint32_t(ind);
}

// ---- The application: what it does inside the library's calls

enum Trigger : uint8_t { kOnError = 1, kOnNotify, kOnData, kOnStr, kOnOpen, kOnCheck, kOnClose,
                         kOnSend, kOnRecv, kOnLog };
enum Action : uint8_t { kDoLogout = 1, kDoRelogin, kDoLogin, kDoProc, kDoTables, kDoSend };

const XR_DEV_TCP_SOCKET_CALLBACK_S &sockets();
const XR_DEV_TCP_CALLBACK_S &events();
void onLog(int32_t iLevel, const char *lpszText);
template <class F>
auto measured(int which, F call) {
#ifdef STORY_STACK
    // Paints the free stack a little below this frame, and after the call finds the lowest
    // word no longer painted.
    constexpr uint32_t kPaint = 0xC5A5C5A5u;
    volatile uint32_t here = 0;
    uintptr_t top = reinterpret_cast<uintptr_t>(&here) - 64;
    volatile uint32_t *p;
    for (p = __stack_limit; reinterpret_cast<uintptr_t>(p) < top; ++p) *p = kPaint;
    g_nested = false;
    auto r = call();
    for (p = __stack_limit; *p == kPaint;) ++p;
    uint32_t used = uint32_t(reinterpret_cast<uintptr_t>(&here) - reinterpret_cast<uintptr_t>(p));
    // A call inside which the application made calls of its own beyond an echo measures the
    // application: it is left out.
    if (used > g_uDeepest[which] && !g_nested) g_uDeepest[which] = used;
    return r;
#else
    (void)which;
    return call();
#endif
}
uint32_t g_procs;  // calls of xrDevTcpProc left to a fuzz input
void proc(uint32_t t) {
    if (g_fuzz && g_procs-- == 0) return g_procs = 0, void();
    measured(4, [t] { return xrDevTcpProc(t), 0; });
}

// Runs the armed actions of a trigger for the slot concerned; true when one ran.
bool act(uint8_t on, uint32_t slot) {
    bool any = false;
    for (auto &a : g_do.arm) {
        if (a.on != on || --a.count != 0) continue;
        a.on = 0, any = true, g_nested = true, g_do.answer = a.answer;
        int32_t id = devtcp::makeHandle(slot);
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

void echo(int32_t id, uint32_t type, const void *p, uint32_t n, const char *peer) {
    int32_t r = xrDevTcpSend(id, type, p, n, peer, peer ? uint32_t(strlen(peer)) + 1 : 0);
    if (r < 0) note(kRefused, uint32_t(id) >> 16, r);
}

const XR_DEV_TCP_SOCKET_CALLBACK_S kSockets = {
    [](const char *addr) -> int32_t {
        checkState();
        uint32_t slot = kLinks;
        for (uint32_t u = 0; u < kLinks; ++u)
            if (addr == slotAt(u).szConnAddr) slot = u;
        CHECK(slot < kLinks && ends(addr, 64));
        if (slot == kLinks) slot = 0;
        note(kOpened, slot, 0, addr, strlen(addr) + 1);
        g_side[slot].early = g_side[slot].started = false;
        act(kOnOpen, slot);  // a socket still comes back: the library must close it
        // A check, write or read inside which the application acted answers what the
        // story says (app answer=), by default a failure.
        if (g_do.open < 0) return g_do.open;
        Sock *s = nullptr;
        for (Sock &c : g_sock)
            if (!c.open) s = &c;
        if (!s) return limit("too many open sockets"), -1;
        *s = {g_nextSocket, uint8_t(slot), true};
        return g_nextSocket++;
    },
    [](int32_t id) -> int32_t {
        uint32_t slot = slotOfSocket(id);
        CHECK(slotAt(slot).usStatus == XR_DEV_TCP_STATUS_ALLOC);
        return act(kOnCheck, slot) ? g_do.answer : g_do.check;
    },
    [](int32_t id) {
        Sock *s = sockOf(id);
        CHECK(s != nullptr);
        if (!s) return;
        s->open = false;
        for (uint32_t u = 0; u < kLinks; ++u) CHECK(slotAt(u).iSocket != id);
        note(kClosed, s->slot);
        Side &side = g_side[s->slot];
        side.inStart = side.inEnd = side.chunks = 0;  // what the agent sent goes with it
        act(kOnClose, s->slot);
    },
    [](int32_t id, const uint8_t *p, uint32_t n) -> int32_t {
        uint32_t slot = slotOfSocket(id);
        const XR_DEV_TCP_LINK_S &l = slotAt(slot);
        CHECK(p == l.ucSendBuf && n >= 1 && n == l.uSendSize);
        if (act(kOnSend, slot)) return g_do.answer < int32_t(n) ? g_do.answer : int32_t(n);
        int32_t plan = g_do.planLen ? g_do.plan[g_do.planAt++ % g_do.planLen] : int32_t(n);
        if (plan == -1) return -1;
        uint32_t take = plan >= 0 && uint32_t(plan) < n ? uint32_t(plan) : n;
        Side &s = g_side[slot];
        if (take > kOutSize - s.outLen) return limit("the device sent more than the runner holds"), -1;
        memcpy(s.out + s.outLen, p, take);
        s.outLen += take;
        if (take) {
            Record &r = note(kSent, slot, int32_t(take));
            r.size = !s.started, r.bPeer = s.early;
            s.started = true;
        }
        return int32_t(take) + (plan == -2 ? 9 : 0);
    },
    [](int32_t id, uint8_t *p, uint32_t n) -> int32_t {
        uint32_t slot = slotOfSocket(id);
        const XR_DEV_TCP_LINK_S &l = slotAt(slot);
        CHECK(n >= 1 && p == l.ucRecvBuf + l.uRecvSize && n == kBuf - l.uRecvSize);
        if (act(kOnRecv, slot)) return g_do.answer < int32_t(n) ? g_do.answer : int32_t(n);
        Side &s = g_side[slot];
        if (s.chunks == 0) return 0;
        if (s.chunkFails[0] && s.inStart == s.chunkEnd[0]) {
            memmove(s.chunkEnd, s.chunkEnd + 1, --s.chunks * sizeof s.chunkEnd[0]);
            memmove(s.chunkFails, s.chunkFails + 1, s.chunks * sizeof s.chunkFails[0]);
            return -1;
        }
        uint32_t take = s.chunkEnd[0] - s.inStart < n ? s.chunkEnd[0] - s.inStart : n;
        memcpy(p, s.in + s.inStart, take);
        s.inStart += take;
        s.early |= take && l.usStatus == XR_DEV_TCP_STATUS_ALLOC;
        if (s.inStart == s.chunkEnd[0] && !s.chunkFails[0]) {
            memmove(s.chunkEnd, s.chunkEnd + 1, --s.chunks * sizeof s.chunkEnd[0]);
            memmove(s.chunkFails, s.chunkFails + 1, s.chunks * sizeof s.chunkFails[0]);
        }
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
        note(kErrorEv, slot, err);
        act(kOnError, slot);
    },
    [](int32_t id, uint32_t type, const char *text) {
        uint32_t slot = checkEvent(id, text);
        // Only a redirect names something; a time may or may not.
        CHECK(type <= XR_DEV_TCP_NOTIFY_WAKE && strlen(text) < 64 &&
              (type == XR_DEV_TCP_NOTIFY_TIME || (type == XR_DEV_TCP_NOTIFY_REDIRECT) == !!*text));
        note(kNotifyEv, slot, int32_t(type <= 4 ? type : 0), text, strlen(text));
        act(kOnNotify, slot);
    },
    [](int32_t id, const uint8_t *data, uint32_t size, const char *peer) {
        uint32_t slot = checkEvent(id, data, size, false);
        checkEvent(id, peer);
        Record &r = note(kDataEv, slot, 0, data, size);
        if ((r.bPeer = peer != nullptr)) strncpy(r.peer, peer, sizeof r.peer - 1), r.peerSize = uint32_t(strlen(peer));
        inEvent(kOnData, slot, [&] {
            if (g_do.echo & 1) echo(id, XR_DEV_TCP_MSG_DATA, data, size, peer);
        });
    },
    [](int32_t id, const char *text, const char *peer) {
        uint32_t slot = checkEvent(id, text);
        checkEvent(id, peer);
        Record &r = note(kStrEv, slot, 0, text, strlen(text));
        if ((r.bPeer = peer != nullptr)) strncpy(r.peer, peer, sizeof r.peer - 1), r.peerSize = uint32_t(strlen(peer));
        inEvent(kOnStr, slot, [&] {
            if (g_do.echo & 2) echo(id, XR_DEV_TCP_MSG_STR, text, uint32_t(strlen(text)) + 1, peer);
        });
    },
    {}};

void onLog(int32_t iLevel, const char *text) {
    CHECK(iLevel == 0 && ends(text, 1024));
    note(kLogged, g_link, 0, text, strlen(text));
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
const char *cText(const Op &op, uint32_t f, uint8_t *buf, size_t room) {
    if (!op.has(f)) return nullptr;
    size_t n = op.len[f] < room - 1 ? op.len[f] : room - 1;
    memset(buf, 0, room);
    memcpy(buf, op.bytes(f), n);
    return reinterpret_cast<const char *>(buf);
}

int32_t handleArg(const Op &op, uint32_t f) {
    return op.has(f) ? op.num[f] : devtcp::makeHandle(g_link);
}

uint8_t wordOf(const Op &op, uint32_t f, const char *const *names, uint8_t count) {
    for (uint8_t i = 0; i < count; ++i)
        if (op.has(f) && op.len[f] == strlen(names[i]) && !memcmp(op.bytes(f), names[i], op.len[f]))
            return uint8_t(i + 1);
    return 0;
}

// What xrDevTcpSend must answer, from the slot as it is before the call.
int32_t expectedSend(int32_t id, uint32_t type, uint32_t size, const char *peer, uint32_t peerSize) {
    uint32_t u = uint32_t(id);
    if (u >= kLinks << 16 || (u & 0xFFFFu) != slotAt(u >> 16).usSeq) return XR_DEV_TCP_ERR_ARG;
    const XR_DEV_TCP_LINK_S &l = slotAt(u >> 16);
    if (!l.usStatus || (l.usStatus != XR_DEV_TCP_STATUS_LOGINED && type != XR_DEV_TCP_MSG_LOGIN))
        return XR_DEV_TCP_ERR_NOT_LOGINED;
    uint64_t section = peer && peerSize ? 4u + ((uint64_t(peerSize) + 3u) & ~3ull) : 0;
    if (l.uSendSize + 8u + section + size > kBuf) return XR_DEV_TCP_ERR_QUEUE_FULL;
    return int32_t(size);
}

int32_t doSend(const Op &op) {
    int32_t id = handleArg(op, kSendId);
    uint32_t type = uint32_t(op.num[kType]);
    uint32_t size = op.has(kSize) ? uint32_t(op.num[kSize]) : op.len[kBody];
    memset(g_data, 0, sizeof g_data);
    for (uint32_t i = 0; i < kBuf + 8; ++i) g_data[i] = i < op.len[kBody] ? op.bytes(kBody)[i] : uint8_t(i * 7 + 1);
    const char *peer = cText(op, kPeer, g_peer, sizeof g_peer);
    uint32_t peerSize = op.has(kPeerSize) ? uint32_t(op.num[kPeerSize]) : peer ? uint32_t(strlen(peer)) + 1 : 0;
    if (peerSize > sizeof g_peer && peerSize <= kBuf) peerSize = sizeof g_peer;
    int32_t want = expectedSend(id, type, size, peer, peerSize);
    bool socket = want >= 0 && slotAt(uint32_t(id) >> 16).iSocket >= 0;
    int32_t r = measured(3, [&] { return xrDevTcpSend(id, type, g_data, size, peer, peerSize); });
    if (r != want && !(socket && r == XR_DEV_TCP_ERR_SOCKET)) fail("xrDevTcpSend answered against its contract");
    return r;
}

// Appends n bytes to what the link's reads hand out: one read for all of them, reads of
// `split` bytes, or joined to the read queued before.
void queueIn(Side &s, const uint8_t *p, uint32_t n, uint32_t split, bool join) {
    if (n == 0) return;
    if (s.inStart == s.inEnd && s.chunks == 0) s.inStart = s.inEnd = 0;
    if (n > kInSize - s.inEnd && s.inStart > 0) {  // make room at the front
        memmove(s.in, s.in + s.inStart, s.inEnd - s.inStart);
        for (uint32_t i = 0; i < s.chunks; ++i) s.chunkEnd[i] -= s.inStart;
        s.inEnd -= s.inStart, s.inStart = 0;
    }
    if (n > kInSize - s.inEnd) return limit("the agent sent more than the runner holds");
    if (s.chunks + (n + split - 1) / split > kChunks) return limit("more reads queued than the runner holds");
    memcpy(s.in + s.inEnd, p, n);
    join = join && s.chunks > 0 && !s.chunkFails[s.chunks - 1];
    for (uint32_t at = 0; at < n;) {
        at = n - at > split ? at + split : n;
        if (join) s.chunkEnd[s.chunks - 1] = s.inEnd + at, join = false;
        else s.chunkEnd[s.chunks] = s.inEnd + at, s.chunkFails[s.chunks++] = false;
    }
    s.inEnd += n;
}

// A frame from the agent, built from its parts with the codec; lengths and peers may lie.
void doAgent(const Op &op) {
    static uint8_t data[2 * kBuf], frame[3 * kBuf + 32];  // room for a peer of kBuf bytes and the data
    Side &s = g_side[g_link];
    int32_t type = op.num[kType];
    if (type == kTypeClose) {
        if (s.chunks < kChunks) s.chunkEnd[s.chunks] = s.inEnd, s.chunkFails[s.chunks++] = true;
        return;
    }
    uint32_t size = op.len[kBody];
    const uint8_t *body = op.bytes(kBody);
    uint8_t fixed[kLoginReplySize] = {};
    char text[64] = {}, addr[64], time[64];
    memcpy(text, body, size < 63 ? size : 63);
    if (type == XR_DEV_TCP_MSG_LOGIN && !op.has(kBody)) {
        writeLoginReply(fixed, op.num[kResult], cText(op, kReplyAddr, reinterpret_cast<uint8_t *>(addr), 64) ? addr : "",
                        cText(op, kTime, reinterpret_cast<uint8_t *>(time), 64) ? time : "");
        body = fixed, size = kLoginReplySize;
    } else if ((type == XR_DEV_TCP_MSG_REDIRECT || type == XR_DEV_TCP_MSG_TIME) && size <= kTextFieldSize) {
        writeField(fixed, kTextFieldSize, text);
        body = fixed, size = kTextFieldSize;
    } else if (type == XR_DEV_TCP_MSG_ERROR && !op.has(kBody)) {
        writeLe32(fixed, uint32_t(op.num[kCode]));
        body = fixed, size = kErrorSize;
    }
    // size= pads the data with a pattern, or cuts it.
    uint32_t want = op.has(kSize) ? uint32_t(op.num[kSize]) : size;
    if (want > sizeof data) return limit("an agent frame larger than the runner holds");
    for (uint32_t i = 0; i < want; ++i) data[i] = i < size ? body[i] : uint8_t(i * 7 + 1);
    uint32_t n = want;
    if (type == kTypeRaw) {
        memcpy(frame, data, n);
    } else {
        const char *peer = cText(op, kPeer, g_peer, sizeof g_peer);
        uint32_t peerSize = op.has(kPeerSize) ? uint32_t(op.num[kPeerSize]) : peer ? uint32_t(strlen(peer)) + 1 : 0;
        if (peerSize > kBuf) peerSize = kBuf;
        uint32_t sess = op.has(kSess) ? uint32_t(op.num[kSess]) : slotAt(g_link).uSessID;
        n = writeFrame(frame, sess, uint32_t(type), data, want, peer, peer ? peerSize : 0);
        if (peer && peerSize == 0) {  // a peer section that is only its prefix
            writeHeader(frame, sess, uint32_t(type), XR_DEV_TCP_FLAG_PEER, kPeerPrefix + want);
            memset(frame + kHeadSize, 0, kPeerPrefix);
            memcpy(frame + kHeadSize + kPeerPrefix, data, want);
            n = kHeadSize + kPeerPrefix + want;
        }
        if (op.has(kFlags)) frame[kOffFlags] = uint8_t(op.num[kFlags]);
        // A length that lies: the header says len, and the frame carries that many bytes.
        if (op.has(kLen)) {
            uint32_t len = uint32_t(op.num[kLen]) & 0xFFFFu;
            if (kHeadSize + len > sizeof frame) return limit("an agent frame larger than the runner holds");
            if (kHeadSize + len > n) memset(frame + n, 0, kHeadSize + len - n);
            writeLe16(frame + kOffLength, len);
            n = kHeadSize + len;
        }
    }
    if (op.has(kCut)) n = uint32_t(op.num[kCut]) < n ? n - uint32_t(op.num[kCut]) : 0;
    uint32_t split = op.has(kSplit) && op.num[kSplit] > 0 ? uint32_t(op.num[kSplit]) : n;
    queueIn(s, frame, n, split, op.has(kJoin) && op.num[kJoin]);
}

void doNet(const Op &op) {
    if (op.has(kOpen)) g_do.open = op.num[kOpen];
    if (op.has(kCheck)) g_do.check = op.num[kCheck];
    if (op.has(kOver)) g_do.over = op.num[kOver] & 0xFFFF;
    if (!op.has(kSendPlan)) return;
    // A list such as "5,0,fail": bytes taken by each write in turn, round and round.
    g_do.planLen = g_do.planAt = 0;
    char plan[64];
    cText(op, kSendPlan, reinterpret_cast<uint8_t *>(plan), sizeof plan);
    for (char *p = plan; *p && g_do.planLen < 8;) {
        char *end = strchr(p, ',');
        size_t n = end ? size_t(end - p) : strlen(p);
        int32_t v = 0;
        if (n == 4 && !memcmp(p, "fail", 4)) v = -1;
        else if (n == 4 && !memcmp(p, "more", 4)) v = -2;
        else if (n == 3 && !memcmp(p, "all", 3)) v = 0x7FFFFFFF;
        else if (!parseNumber(p, n, v) || v < 0) return limit("a send plan is numbers, all, more or fail");
        g_do.plan[g_do.planLen++] = v;
        p += n + (end ? 1 : 0);
    }
}

void doApp(const Op &op) {
    static const char *const kTriggers[] = {"error", "notify", "data", "str", "open",
                                            "check", "close",  "send", "recv", "log"};
    static const char *const kActions[] = {"logout", "relogin", "login", "proc", "tables", "send"};
    if (op.has(kEcho)) g_do.echo = op.num[kEcho];
    if (op.has(kOn)) {
        uint8_t on = wordOf(op, kOn, kTriggers, 10), what = wordOf(op, kDo, kActions, 6);
        if ((!on || !what) && !g_fuzz) return fail("app on= needs a trigger and do= an action");
        for (auto &a : g_do.arm)
            if (!a.on) {
                a = {on, what, op.has(kNth) ? op.num[kNth] : 1, op.has(kAnswer) ? op.num[kAnswer] : -1};
                break;
            }
    }
    if (op.has(kWithout)) {
        // Tables with the named entries left out ("none" leaves nothing out).
        XR_DEV_TCP_SOCKET_CALLBACK_S s = kSockets;
        char list[64];
        cText(op, kWithout, reinterpret_cast<uint8_t *>(list), sizeof list);
        bool noEvents = strstr(list, "events"), noLog = strstr(list, "log");
        if (strstr(list, "open")) s.SocketOpen = nullptr;
        if (strstr(list, "check")) s.SocketCheck = nullptr;
        if (strstr(list, "close")) s.SocketClose = nullptr, g_leaky = true;
        if (strstr(list, "send")) s.SocketSend = nullptr;
        if (strstr(list, "recv")) s.SocketRecv = nullptr;
        XR_DEV_TCP_CALLBACK_S e = kEvents;
        if (strstr(list, "error")) e.TcpError = nullptr;
        if (strstr(list, "notify")) e.TcpNotify = nullptr;
        if (strstr(list, "data")) e.TcpReceive = nullptr;
        if (strstr(list, "str")) e.TcpReceiveStr = nullptr;
        bool noSockets = strstr(list, "sockets");
        g_leaky = g_leaky || noSockets;
        measured(0, [&] {
            return xrDevTcpSetCallback(noSockets ? nullptr : &s, noEvents ? nullptr : &e,
                                       noLog ? nullptr : onLog),
                   0;
        });
    }
}

void doState() {
    static const char *const kWords[] = {"Idle", "Alloc", "Connected", "Logining", "Logined"};
    const XR_DEV_TCP_LINK_S &l = slotAt(g_link);
    Line line{};
    line.put("state %s level=%u queued=%u held=%u socket=%s link=%u", kWords[l.usStatus % 5],
             unsigned(l.usDelayLevel), unsigned(l.uSendSize), unsigned(l.uRecvSize),
             l.iSocket >= 0 ? "yes" : "no", unsigned(g_link));
    happened(line.s);
}

// Runs one operation; returns what its call answered (login, send), else 0.
int32_t run(const Op &op) {
    int32_t r = 0;
    char a[300], u[300], p[300];  // room for texts longer than the fields
    switch (op.code) {
        case kLogin:
            r = measured(1, [&] {
                return xrDevTcpLogin(cText(op, kAddr, reinterpret_cast<uint8_t *>(a), sizeof a),
                                     cText(op, kUser, reinterpret_cast<uint8_t *>(u), sizeof u),
                                     cText(op, kPass, reinterpret_cast<uint8_t *>(p), sizeof p));
            });
            break;
        case kLogout: measured(2, [&] { return xrDevTcpLogout(handleArg(op, kId)), 0; }); break;
        case kSend: r = doSend(op); break;
        case kTick: proc(g_now = op.has(kAt) ? uint32_t(op.num[kAt]) : g_now + uint32_t(op.num[kMs])); break;
        case kWait: {
            uint32_t ms = uint32_t(op.num[kMs]);
            for (uint32_t t = 50; t <= ms && !g_failed && (!g_fuzz || g_procs); t += 50)
                proc(g_now += 50), writeOut();
            break;
        }
        case kAgent: doAgent(op); break;
        case kNet: doNet(op); break;
        case kApp: doApp(op); break;
        case kLink:
            if (uint32_t(op.num[kSlot]) >= kLinks && !g_fuzz) fail("no such link in this configuration");
            g_link = uint32_t(op.num[kSlot]) % kLinks;
            break;
        case kState: doState(); break;
        default: break;
    }
    writeOut();
    checkState();
    return r;
}

void start(const char *name, bool fuzz) {
    g_name = name, g_fuzz = fuzz, g_failed = false, g_line = 0;
    g_recCount = 0, g_now = 1000, g_link = 0, g_depth = 0, g_nextSocket = 0;
    memset(g_side, 0, sizeof g_side);
    memset(g_sock, 0, sizeof g_sock);
    g_do = Behaviour();
    g_leaky = false;
    g_procs = 20000;
    g_do.check = 1;
    g_wants = g_next = 0;
    xrDevTcpTestRestart();
    measured(0, [] { return xrDevTcpSetCallback(&kSockets, &kEvents, onLog), 0; });
}

// Every link logged out leaves every slot free and no socket open.
void finish() {
    g_wants = g_next = 0;
    for (uint32_t u = 0; u < kLinks; ++u) xrDevTcpLogout(devtcp::makeHandle(u));
    writeOut();
    checkState();
    for (Sock &s : g_sock)
        if (s.open && !g_leaky) fail("a socket was left open");
}

// "needs LINKS>=2 LOG BUF>=2048": whether this configuration can tell the story.
bool applies(const char *p) {
    Tok t[8];
    uint32_t n = tokens(p, strcspn(p, "\n#"), t, 8);
    for (uint32_t i = 1; i < n; ++i) {
        if (same(t[i], {"LOG", 3}) && !XR_DEV_TCP_LOG) return false;
        size_t k = strcspn(t[i].p, "<=>");
        if (k >= t[i].n || k + 2 > t[i].n) continue;
        int32_t have = same({t[i].p, k}, {"LINKS", 5}) ? int32_t(kLinks) : int32_t(kBuf), want = 0;
        parseNumber(t[i].p + k + 2, t[i].n - k - 2, want);
        char c = t[i].p[k];
        if ((c == '>' && have < want) || (c == '<' && have > want) || (c == '=' && have != want))
            return false;
    }
    return true;
}

// The expectations after "=>", split at ";" outside quotes.
void readExpectations(const char *p, int32_t &ret, bool &hasRet) {
    g_wants = g_next = 0;
    hasRet = false;
    g_seen[0] = '\0';
    const char *arrow = strstr(p, "=>");
    if (!arrow) return;
    for (p = arrow + 2; *p && *p != '\n' && g_wants < 16;) {
        while (*p == ' ') ++p;
        const char *s = p;
        bool q = false;
        for (; *p && *p != '\n' && (q || (*p != ';' && *p != '#')); ++p)
            if (*p == '"' && p[-1] != '\\') q = !q;
        size_t n = size_t(p - s);
        while (n && s[n - 1] == ' ') --n;
        if (*p == ';') ++p;
        if (*p == '#') while (*p && *p != '\n') ++p;
        if (!n) continue;
        Expect e{s, n, n > 3 && !memcmp(s, "no ", 3), false};
        if (e.no) e.p += 3, e.n -= 3;
        // An item that is a number (digits, a sign, or a name such as BUF-8) is the answer.
        bool number = (s[0] >= '0' && s[0] <= '9') || s[0] == '-' || (s[0] >= 'A' && s[0] <= 'Z');
        if (!e.no && number && parseNumber(s, n, ret)) {
            hasRet = true;
            continue;
        }
        if (!XR_DEV_TCP_LOG && !e.no && n > 4 && !memcmp(s, "log ", 4)) continue;
        g_want[g_wants++] = e;
    }
}

}  // namespace

int runText(const char *name, const char *text) {
    static Op op;
    start(name, false);
    int line = 0;
    for (const char *p = text; *p && !g_failed; p = strchr(p, '\n') ? strchr(p, '\n') + 1 : p + strlen(p)) {
        g_line = ++line;
        while (*p == ' ') ++p;
        if (!strncmp(p, "needs ", 6)) {
            if (!applies(p)) return kSkipped;
            continue;
        }
        char buf[512];
        size_t n = strcspn(p, "\n");
        if (n >= sizeof buf) return fail("line too long"), 1;
        memcpy(buf, p, n), buf[n] = '\0';
        const char *why = "";
        if (!parseOp(buf, op, why)) return fail("%s: %s", why, buf), 1;
        if (!op.code) continue;
        int32_t want = 0;
        bool hasRet = false;
        readExpectations(buf, want, hasRet);
        int32_t got = run(op);
        if (hasRet && got != want) {
            char g[16], w[16];
            snprintf(g, sizeof g, "%d", int(got)), snprintf(w, sizeof w, "%d", int(want));
            fail("answered %s, expected %s", g, w);
        }
        while (g_next < g_wants && (g_want[g_next].no || g_want[g_next].met)) ++g_next;
        if (g_next < g_wants) {
            static char want[200];
            snprintf(want, sizeof want, "%.*s", int(g_want[g_next].n), g_want[g_next].p);
            fail("expected: %s\n  happened:%s", want, g_seen[0] ? g_seen : " nothing");
        }
    }
    if (!g_failed) g_line = line, finish();
    return g_failed ? 1 : 0;
}

void runBinary(const uint8_t *in, size_t size) {
    static Op op;
    start("fuzz", true);
    for (int ops = 0; ops < 1000; ++ops) {
        size_t n = decodeOp(in, size, op);
        if (n == 0) break;
        in += n, size -= n;
        ++g_line;
        if (op.code) run(op);
    }
    finish();
}

size_t encodeText(const char *text, uint8_t *out, size_t room) {
    static Op op;
    size_t used = 0;
    for (const char *p = text; *p; p += strcspn(p, "\n"), p += *p == '\n') {
        char buf[512];
        size_t n = strcspn(p, "\n");
        if (n >= sizeof buf) return 0;
        memcpy(buf, p, n), buf[n] = '\0';
        const char *why = "";
        if (!strncmp(buf, "needs ", 6) && !applies(buf)) return 0;
        if (!strncmp(buf, "needs ", 6) || !parseOp(buf, op, why) || !op.code) continue;
        size_t k = encodeOp(op, out + used, room - used);
        if (k == 0) return 0;
        used += k;
    }
    return used;
}

void decodeBinary(const uint8_t *in, size_t size, void (*emit)(const char *)) {
    static Op op;
    char line[3 * kPoolSize];
    for (size_t n; (n = decodeOp(in, size, op)) != 0; in += n, size -= n)
        if (op.code) formatOp(op, line, sizeof line), emit(line);
}

}  // namespace story
