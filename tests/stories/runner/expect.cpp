// SPDX-License-Identifier: MIT
#include "expect.h"

#include <stdio.h>
#include <string.h>

#include "notation.h"

namespace story {

namespace {

using namespace notation;

// A pattern's words, matched as the notation matches them, and its pins: "at=N BYTES" words
// that the bytes of a sent frame from offset N must hold.
struct Expect {
    Tok t, pins;
    bool no, met, cut;  // cut: a line the runner cut short might have met it
};
Expect g_want[16];
uint32_t g_wants;
char g_seen[1000];  // what happened on this line, and then the failure message
char g_why[64];
int32_t g_answer;
bool g_hasAnswer;

int hexOf(char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// Whether the frame holds from offset at the bytes of v, written as an agent frame's body
// (hex, or a quoted text with \xNN, \n and \0 escapes repeated *N, and its NUL); -1 when v
// is neither. Compared as read: a device has no room for a copy.
int pinHolds(Tok v, uint32_t at, const uint8_t *frame, uint32_t size) {
    bool hold = frame != nullptr;
    auto next = [&](uint8_t b) { hold = hold && at < size && frame[at] == b, ++at; };
    if (v.n && v.p[0] != '"') {
        for (size_t i = 0; i < v.n; i += 2) {
            int h = hexOf(v.p[i]), l = i + 1 < v.n ? hexOf(v.p[i + 1]) : -1;
            if (h < 0 || l < 0) return -1;
            next(uint8_t(h << 4 | l));
        }
        return v.n ? hold : -1;
    }
    size_t end = 1;
    while (end < v.n && v.p[end] != '"') end += v.p[end] == '\\' ? 2 : 1;
    int32_t times = 1;
    if (end >= v.n || (end + 1 < v.n && (v.p[end + 1] != '*' || times < 0 ||
                                         !parseNumber(v.p + end + 2, v.n - end - 2, times))))
        return -1;
    for (int32_t k = 0; k < times; ++k)
        for (size_t i = 1; i < end; ++i) {
            char c = v.p[i];
            if (c == '\\' && v.p[i + 1] == 'x' && i + 3 < end && hexOf(v.p[i + 2]) >= 0 &&
                hexOf(v.p[i + 3]) >= 0)
                c = char(hexOf(v.p[i + 2]) << 4 | hexOf(v.p[i + 3])), i += 3;
            else if (c == '\\')
                c = v.p[++i] == 'n' ? '\n' : v.p[i] == '0' ? '\0' : v.p[i];
            next(uint8_t(c));
        }
    next(0);
    return hold;
}

// 1 when every pin holds, 0 when one does not, -1 when one cannot be read.
int pinsHold(Tok pins, const uint8_t *frame, uint32_t size) {
    int hold = 1;
    for (Tok w[2]; tokens(pins, w, 2) > 0;
         pins.n -= size_t(w[1].p + w[1].n - pins.p), pins.p = w[1].p + w[1].n) {
        int32_t at = -1;
        if (tokens(pins, w, 2) < 2 || w[0].n < 4 || memcmp(w[0].p, "at=", 3) ||
            !parseNumber(w[0].p + 3, w[0].n - 3, at) || at < 0)
            return -1;
        int r = pinHolds(w[1], uint32_t(at), frame, size);
        if (r < 0) return -1;
        hold = hold && r;
    }
    return hold;
}

// 1 when the line holds the pattern, 0 when not, -1 when the line was cut where it could.
int holds(const Expect &e, const char *line, const uint8_t *frame, uint32_t size) {
    static const char *const kEvents[] = {"error ", "notify ", "data ", "str ", "refused "};
    if (same(e.t, "anything")) return true;  // "anything" stands for any line
    for (const char *k : kEvents)            // "event" for any event
        if (same(e.t, "event") && !strncmp(line, k, strlen(k))) return true;
    int m = match(e.t, line);
    return m > 0 && e.pins.n ? pinsHold(e.pins, frame, size) > 0 : m;
}

// Puts an item's pins after its other words, in its own place in the line.
void splitPins(char *s, size_t n, Expect &e) {
    char out[513];  // each word and a blank: the item and one more
    size_t used = 0, nw = 0;
    for (int pass = 0; pass < 2; ++pass) {
        Tok w[2];
        for (Tok rest = {s, n}; tokens(rest, w, 1) > 0;) {
            bool pin = w[0].n > 3 && !memcmp(w[0].p, "at=", 3) && tokens(rest, w, 2) == 2;
            size_t k = size_t((pin ? w[1].p + w[1].n : w[0].p + w[0].n) - w[0].p);
            if (pin == (pass == 1))
                memcpy(out + used, w[0].p, k), out[used + k] = ' ', used += k + 1;
            rest = {w[0].p + k, size_t(s + n - (w[0].p + k))};
        }
        nw = pass ? nw : used;
    }
    memcpy(s, out, used ? used - 1 : 0);
    e.t = {s, nw ? nw - 1 : 0}, e.pins = {s + nw, used > nw ? used - nw - 1 : 0};
}

}  // namespace

void expectNothing() {
    g_wants = 0, g_hasAnswer = false, g_seen[0] = '\0';
}

// The items after "=>", split at ";" outside quotes. An item that is a number (digits, a
// sign, or a name such as BUF-8) is what the call must answer.
const char *expectLine(char *p, bool log) {
    expectNothing();
    char *arrow = strstr(p, "=>");
    for (p = arrow ? arrow + 2 : p + strlen(p); *p && *p != '#';) {
        while (*p == ' ') ++p;
        char *s = p;
        for (bool q = false; *p && (q || (*p != ';' && *p != '#')); ++p)
            if (*p == '"' && p[-1] != '\\') q = !q;
        size_t n = size_t(p - s);
        while (n && s[n - 1] == ' ') --n;
        p += *p == ';';
        bool number = (*s >= '0' && *s <= '9') || *s == '-' || (*s >= 'A' && *s <= 'Z');
        if (n == 0 || (number && !g_hasAnswer && parseNumber(s, n, g_answer))) {
            g_hasAnswer = g_hasAnswer || n;
            continue;
        }
        if (g_wants == 16) return "more than 16 expectations on a line";
        Expect &e = g_want[g_wants];
        e.no = n > 3 && !memcmp(s, "no ", 3), e.met = e.cut = false;
        if (e.no) s += 3, n -= 3;
        splitPins(s, n, e);
        if (pinsHold(e.pins, nullptr, 0) < 0) return "at= takes an offset and bytes";
        if (log || e.no || memcmp(s, "log ", 4)) ++g_wants;  // no log lines to see here
    }
    return nullptr;
}

const char *seen(const char *line, const uint8_t *frame, uint32_t size) {
    size_t used = strlen(g_seen), n = strlen(line);
    if (used + n + 6 < sizeof g_seen)
        memcpy(g_seen + used, "\n    ", 5), memcpy(g_seen + used + 5, line, n + 1);
    for (Expect *e = g_want; e < g_want + g_wants; ++e)
        if (int h = e->no ? holds(*e, line, frame, size) : 0)
            return h > 0 ? "unexpected: " : "the runner's line was cut where a no could match: ";
    for (Expect *e = g_want; e < g_want + g_wants; ++e)
        if (!e->no && !e->met) {
            int h = holds(*e, line, frame, size);
            e->met = h > 0, e->cut = e->cut || h < 0;
            break;
        }
    return nullptr;
}

const char *verdict(int32_t answer) {
    if (g_hasAnswer && answer != g_answer) {
        snprintf(g_why, sizeof g_why, "answered %ld, expected %ld", long(answer), long(g_answer));
        return g_why;
    }
    for (Expect *e = g_want; e < g_want + g_wants; ++e) {
        if (e->no || e->met) continue;
        // The message goes in front of what happened, in the same buffer.
        const char *what =
            e->cut ? "expected (the runner's line was cut where it could match): " : "expected: ";
        size_t w = strlen(what), item = e->pins.n ? size_t(e->pins.p + e->pins.n - e->t.p) : e->t.n,
               head = item + w + 12;
        if (!g_seen[0]) strcpy(g_seen, " nothing");
        if (head + 1 > sizeof g_seen) item = sizeof g_seen - w - 13, head = sizeof g_seen - 1;
        memmove(g_seen + head, g_seen, sizeof g_seen - head - 1);
        g_seen[sizeof g_seen - 1] = '\0';
        memcpy(g_seen, what, w), memcpy(g_seen + w, e->t.p, item);
        memcpy(g_seen + w + item, "\n  happened:", 12);
        return g_seen;
    }
    return nullptr;
}

}  // namespace story
