// SPDX-License-Identifier: MIT
#include "expect.h"

#include <stdio.h>
#include <string.h>

#include "notation.h"

namespace story {

namespace {

using namespace notation;

struct Expect {
    Tok t;
    bool no, met;
};
Expect g_want[16];
uint32_t g_wants;
char g_seen[1200];  // what happened on this line, for the failure message
int32_t g_answer;
bool g_hasAnswer;
Line g_why;

// A pattern's words "at=N BYTES" pin a sent frame's bytes from offset N, BYTES written as an
// agent frame's body (hex, or a quoted text with its NUL); its other words are matched as
// the notation matches them. 1: it holds, 0: not, -1: it is not a pattern.
int holds(Tok pattern, const char *line, const uint8_t *frame = nullptr, uint32_t size = 0) {
    static const Form kPin[] = {{1, "at", 2, {"at", "bytes"}, "nb"}};
    static Op op;
    Tok w[24];
    char words[512], pin[512];
    size_t len = 0;
    bool pinned = true;
    uint32_t n = tokens(pattern, w, 24);
    for (uint32_t i = 0; i < n; ++i) {
        const char *why = "";
        if (w[i].n < 3 || memcmp(w[i].p, "at=", 3)) {
            memcpy(words + len, w[i].p, w[i].n), len += w[i].n, words[len++] = ' ';
            continue;
        }
        if (++i == n) return -1;
        snprintf(pin, sizeof pin, "at %.*s %.*s", int(w[i - 1].n - 3), w[i - 1].p + 3, int(w[i].n),
                 w[i].p);
        if (!parseOp({kPin, 1}, pin, op, why) || op.mask != 3 || op.num[0] < 0) return -1;
        uint32_t at = uint32_t(op.num[0]);
        pinned = pinned && frame && at + op.len[1] <= size &&
                 !memcmp(frame + at, op.bytes(1), op.len[1]);
    }
    if (n == 24) return -1;
    // "event" stands for any event, "anything" for any line.
    if (same(pattern, "anything")) return 1;
    static const char *const kEvents[] = {"error ", "notify ", "data ", "str ", "refused "};
    for (const char *e : kEvents)
        if (same(pattern, "event") && !strncmp(line, e, strlen(e))) return 1;
    return pinned && matches({words, len ? len - 1 : 0}, line);
}

}  // namespace

void expectNothing() {
    g_wants = 0, g_hasAnswer = false, g_seen[0] = '\0';
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
        bool number = (*s >= '0' && *s <= '9') || *s == '-' || (*s >= 'A' && *s <= 'Z');
        if (n == 0 || (number && !g_hasAnswer && parseNumber(s, n, g_answer))) {
            g_hasAnswer = g_hasAnswer || n;
            continue;
        }
        Expect e = {{s, n}, n > 3 && !memcmp(s, "no ", 3), false};
        if (e.no) e.t.p += 3, e.t.n -= 3;
        if (holds(e.t, "") < 0)
            return "a pattern that cannot be read (at= takes an offset and bytes)";
        if (g_wants == 16) return "more than 16 expectations on a line";
        if (log || e.no || memcmp(s, "log ", 4)) g_want[g_wants++] = e;  // no log lines here
    }
    return nullptr;
}

const char *seen(const char *line, const uint8_t *frame, uint32_t size) {
    size_t used = strlen(g_seen), n = strlen(line);
    if (used + n + 6 < sizeof g_seen)
        memcpy(g_seen + used, "\n    ", 5), memcpy(g_seen + used + 5, line, n + 1);
    for (Expect *e = g_want; e < g_want + g_wants; ++e)
        if (e->no && holds(e->t, line, frame, size) > 0)
            return g_why.n = 0, g_why.put("unexpected: ").put(line).s;
    for (Expect *e = g_want; e < g_want + g_wants; ++e)
        if (!e->no && !e->met) {
            e->met = holds(e->t, line, frame, size) > 0;
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
            g_why.put("expected: ").put(e->t.p, e->t.n).put("\n  happened:");
            return g_why.put(g_seen[0] ? g_seen : " nothing").s;
        }
    return nullptr;
}

}  // namespace story
