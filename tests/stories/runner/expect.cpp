// SPDX-License-Identifier: MIT
#include "expect.h"

#include <string.h>

#include "notation.h"

namespace story {

namespace {

using namespace notation;

// A pattern (matched as the notation matches) with the frame bytes it pins: "sent LOGIN
// at=200 "1.3.0"" holds for a frame described as LOGIN whose bytes 200 to 204 are "1.3.0".
struct Expect {
    Tok t;
    bool no, met;
    uint32_t firstPin, pins;
};
struct Pin {
    uint32_t at, off, n;  // frame offset; the bytes in g_pinBytes
};
constexpr uint32_t kMaxExpect = 16, kMaxPins = 16;
Expect g_want[kMaxExpect];
Pin g_pin[kMaxPins];
uint32_t g_wants, g_pins, g_pinUsed, g_patUsed;
uint8_t g_pinBytes[1024];
char g_pat[512];     // the patterns without their pins
char g_seen[1200];   // what happened on this line, for the failure message
int32_t g_answer;
bool g_hasAnswer;
Line g_why;

int hex(char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// A pin's value: hex bytes, or a quoted text (\xNN, \0, \\ and \" escapes) repeated *N.
bool readPin(Tok v, Pin &pin) {
    uint8_t one[256];
    uint32_t k = 0, times = 1;
    if (v.n && v.p[0] == '"') {
        size_t i = 1;
        for (; i < v.n && v.p[i] != '"' && k < sizeof one; ++i) {
            char c = v.p[i];
            if (c == '\\' && i + 1 < v.n) {
                c = v.p[++i];
                if (c == 'x' && i + 2 < v.n && hex(v.p[i + 1]) >= 0 && hex(v.p[i + 2]) >= 0)
                    c = char(hex(v.p[i + 1]) << 4 | hex(v.p[i + 2])), i += 2;
                else if (c == '0')
                    c = '\0';
            }
            one[k++] = uint8_t(c);
        }
        int32_t n = 1;
        if (i >= v.n || (i + 1 < v.n && (v.p[i + 1] != '*' ||
                                         !parseNumber(v.p + i + 2, v.n - i - 2, n) || n < 1)))
            return false;
        times = uint32_t(n);
    } else {
        if (v.n % 2) return false;
        for (size_t i = 0; i < v.n; i += 2) {
            if (hex(v.p[i]) < 0 || hex(v.p[i + 1]) < 0 || k == sizeof one) return false;
            one[k++] = uint8_t(hex(v.p[i]) << 4 | hex(v.p[i + 1]));
        }
    }
    if (k == 0 || g_pinUsed + k * times > sizeof g_pinBytes) return false;
    pin.off = g_pinUsed, pin.n = k * times;
    for (uint32_t i = 0; i < pin.n; ++i) g_pinBytes[g_pinUsed++] = one[i % k];
    return true;
}

// Splits an item into its pattern (copied to g_pat) and its pins.
const char *readItem(Tok item, Expect &e) {
    Tok w[24];
    uint32_t n = tokens(item, w, 24);
    if (n == 24) return "a pattern of more than 23 words";
    e.firstPin = g_pins, e.pins = 0;
    char *pat = g_pat + g_patUsed;
    size_t len = 0;
    for (uint32_t i = 0; i < n; ++i) {
        int32_t at = 0;
        if (w[i].n > 3 && !memcmp(w[i].p, "at=", 3)) {
            if (g_pins == kMaxPins) return "more than 16 pinned values on a line";
            Pin &p = g_pin[g_pins++];
            if (!parseNumber(w[i].p + 3, w[i].n - 3, at) || at < 0 || i + 1 == n ||
                !readPin(w[++i], p))
                return "at= takes an offset, then hex bytes or a quoted text";
            p.at = uint32_t(at), ++e.pins;
            continue;
        }
        if (len) pat[len++] = ' ';
        memcpy(pat + len, w[i].p, w[i].n), len += w[i].n;
    }
    e.t = {pat, len};
    g_patUsed += len + 1;
    return nullptr;
}

bool pinsHold(const Expect &e, const uint8_t *frame, uint32_t size) {
    for (uint32_t i = e.firstPin; i < e.firstPin + e.pins; ++i) {
        const Pin &p = g_pin[i];
        if (!frame || p.at + p.n > size || memcmp(frame + p.at, g_pinBytes + p.off, p.n))
            return false;
    }
    return true;
}

// "event" stands for any event, "anything" for any line.
bool matchesLine(const Expect &e, const char *line, const uint8_t *frame, uint32_t size) {
    static const char *const kEvents[] = {"error ", "notify ", "data ", "str ", "refused "};
    if (same(e.t, "anything")) return true;
    if (same(e.t, "event")) {
        for (const char *k : kEvents)
            if (!strncmp(line, k, strlen(k))) return true;
        return false;
    }
    return matches(e.t, line) && pinsHold(e, frame, size);
}

}  // namespace

void expectNothing() {
    g_wants = g_pins = g_pinUsed = g_patUsed = 0, g_hasAnswer = false, g_seen[0] = '\0';
}

// The items after "=>", split at ";" outside quotes. An item that is a number (digits, a
// sign, or a name such as BUF-8) is what the call must answer.
const char *expectLine(const char *p, bool log) {
    expectNothing();
    const char *arrow = strstr(p, "=>");
    for (p = arrow ? arrow + 2 : ""; *p && *p != '#';) {
        while (*p == ' ') ++p;
        const char *s = p;
        for (bool q = false; *p && (q || (*p != ';' && *p != '#')); ++p)
            if (*p == '"' && p[-1] != '\\') q = !q;
        size_t n = size_t(p - s);
        while (n && s[n - 1] == ' ') --n;
        p += *p == ';';
        if (n == 0) continue;
        bool number = (*s >= '0' && *s <= '9') || *s == '-' || (*s >= 'A' && *s <= 'Z');
        if (number && parseNumber(s, n, g_answer)) {
            if (g_hasAnswer) return "two answers on a line";
            g_hasAnswer = true;
            continue;
        }
        if (g_wants == kMaxExpect) return "more than 16 expectations on a line";
        Expect &e = g_want[g_wants];
        e.no = n > 3 && !memcmp(s, "no ", 3), e.met = false;
        if (e.no) s += 3, n -= 3;
        if (!log && !e.no && !memcmp(s, "log ", 4)) continue;  // no log lines to see here
        if (const char *why = readItem({s, n}, e)) return why;
        ++g_wants;
    }
    return nullptr;
}

const char *seen(const char *line, const uint8_t *frame, uint32_t size) {
    size_t used = strlen(g_seen), n = strlen(line);
    if (used + n + 6 < sizeof g_seen)
        memcpy(g_seen + used, "\n    ", 5), memcpy(g_seen + used + 5, line, n + 1);
    for (Expect *e = g_want; e < g_want + g_wants; ++e)
        if (e->no && matchesLine(*e, line, frame, size))
            return g_why.n = 0, g_why.put("unexpected: ").put(line).s;
    for (Expect *e = g_want; e < g_want + g_wants; ++e)
        if (!e->no && !e->met) {
            e->met = matchesLine(*e, line, frame, size);
            break;
        }
    return nullptr;
}

const char *verdict(int32_t answer) {
    g_why.n = 0;
    if (g_hasAnswer && answer != g_answer)
        return g_why.put("answered ").num(answer).put(", expected ").num(g_answer).s;
    for (Expect *e = g_want; e < g_want + g_wants; ++e)
        if (!e->no && !e->met) {
            g_why.put("expected: ").put(e->t.p, e->t.n);
            for (uint32_t i = e->firstPin; i < e->firstPin + e->pins; ++i)
                g_why.put(" at=").num(int32_t(g_pin[i].at)).put(" ..");
            return g_why.put("\n  happened:").put(g_seen[0] ? g_seen : " nothing").s;
        }
    return nullptr;
}

}  // namespace story
