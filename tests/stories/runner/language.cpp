// SPDX-License-Identifier: MIT
#include "language.h"

#include <stdio.h>
#include <string.h>

#include "xr_dev_tcp.h"

namespace story {

namespace {

// Each operation's fields by number: a name and a kind, 'n' for a number, 't' for a text
// or bytes. The first `positional` fields may also be given without their names.
struct Spec {
    uint8_t code;
    const char *word;
    uint8_t positional;
    const char *names[kMaxFields];
    const char *kinds;  // by field number
};

// clang-format off
const Spec kSpecs[] = {
    {kLogin, "login", 3, {"addr", "user", "pass"}, "ttt"},
    {kLogout, "logout", 1, {"id"}, "n"},
    {kSend, "send", 2, {"type", "body", "peer", "peersize", "size", nullptr, nullptr, nullptr,
        nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, "id"}, "nttnn----------n"},
    {kTick, "tick", 1, {"ms", "at"}, "nn"},
    {kWait, "wait", 1, {"ms"}, "n"},
    {kAgent, "agent", 2, {"type", "body", "peer", "peersize", "size", "sess", "flags", "len",
        "result", "addr", "time", "code", "split", "cut", "join"}, "nttnnnnnnttnnnn"},
    {kNet, "net", 0, {"open", "check", "send", "recv", "over"}, "nntnn"},
    {kApp, "app", 0, {"echo", "on", "do", "nth", "without", "answer"}, "nttntn"},
    {kLink, "link", 1, {"slot"}, "n"},
    {kState, "state", 0, {}, ""},
};
// clang-format on

const char *const kTypeNames[] = {"KEEPALIVE", "ERROR", "LOGIN", "LOGOUT",
                                  "REDIRECT",  "TIME",  "DATA",  "STR"};
constexpr int32_t kRaw = 256;  // agent type "raw": the body is sent as it is

const Spec *specOf(uint8_t code) {
    for (const Spec &s : kSpecs)
        if (s.code == code) return &s;
    return nullptr;
}

char kindOf(const Spec &s, uint32_t f) {
    return f < strlen(s.kinds) ? s.kinds[f] : '-';
}

bool same(const char *a, size_t n, const char *word) {
    return strlen(word) == n && memcmp(a, word, n) == 0;
}

// A token: a run of characters up to a blank, or a quoted text with its *N repeat.
struct Token {
    const char *p;
    size_t n;
};

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The end of the operation part: "=>", a comment, or the line's end, outside quotes.
bool atEnd(const char *p) {
    return *p == '\0' || *p == '#' || (p[0] == '=' && p[1] == '>');
}

const char *skipQuoted(const char *p) {
    for (++p; *p && *p != '"'; ++p)
        if (*p == '\\' && p[1]) ++p;
    return *p ? p + 1 : p;
}

bool nextToken(const char *&p, Token &t) {
    while (isBlank(*p)) ++p;
    if (atEnd(p)) return false;
    t.p = p;
    while (*p && !isBlank(*p) && !atEnd(p)) p = *p == '"' ? skipQuoted(p) : p + 1;
    t.n = size_t(p - t.p);
    return true;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Appends a field's bytes to the pool: a quoted text (its NUL added when bNul) repeated
// *N times, or for a body a run of hex digits, or else the token's characters.
bool putText(Op &op, uint32_t f, Token t, bool bBody) {
    uint8_t *out = op.pool + op.used;
    size_t room = kPoolSize - op.used, n = 0;
    if (t.n > 0 && t.p[0] == '"') {
        const char *end = skipQuoted(t.p);
        uint8_t one[256];
        size_t k = 0;
        for (const char *q = t.p + 1; q < end - 1 && k < sizeof one; ++q) {
            if (*q != '\\') {
                one[k++] = uint8_t(*q);
            } else if (q[1] == 'x' && hexDigit(q[2]) >= 0 && hexDigit(q[3]) >= 0) {
                one[k++] = uint8_t(hexDigit(q[2]) << 4 | hexDigit(q[3]));
                q += 3;
            } else {
                ++q;
                one[k++] = *q == 'n' ? '\n' : *q == '0' ? '\0' : uint8_t(*q);
            }
        }
        int32_t times = 1;
        size_t rest = t.n - size_t(end - t.p);
        if (rest && (end[0] != '*' || !parseNumber(end + 1, rest - 1, times) || times < 0))
            return false;
        for (int32_t i = 0; i < times; ++i, n += k)
            if (n + k > room)
                return false;
            else
                memcpy(out + n, one, k);
        if (bBody && n < room) out[n++] = '\0';  // a quoted body is sent with its NUL
    } else if (bBody) {
        if (t.n % 2 || t.n / 2 > room) return false;
        for (size_t i = 0; i < t.n; i += 2) {
            int hi = hexDigit(t.p[i]), lo = hexDigit(t.p[i + 1]);
            if (hi < 0 || lo < 0) return false;
            out[n++] = uint8_t(hi << 4 | lo);
        }
    } else {
        if (t.n > room) return false;
        memcpy(out, t.p, n = t.n);
    }
    op.off[f] = uint16_t(op.used);
    op.len[f] = uint16_t(n);
    op.used += uint32_t(n);
    return true;
}

bool putField(Op &op, const Spec &s, uint32_t f, Token v) {
    if (same(v.p, v.n, "NULL")) return true;  // left out: the call gets a null pointer
    op.mask = uint16_t(op.mask | 1u << f);
    if (kindOf(s, f) == 'n') return parseNumber(v.p, v.n, op.num[f]);
    return putText(op, f, v, f == kBody && (s.code == kSend || s.code == kAgent));
}

}  // namespace

bool parseNumber(const char *p, size_t n, int32_t &value) {
    static const struct {
        const char *name;
        int32_t value;
    } kNames[] = {{"KEEPALIVE", 0}, {"ERROR", 1},        {"LOGIN", 2},
                  {"LOGOUT", 3},    {"REDIRECT", 4},     {"TIME", 5},
                  {"DATA", 6},      {"STR", 7},          {"WAKE", 14},
                  {"raw", kRaw},    {"close", kRaw + 1}, {"BUF", XR_DEV_TCP_BUF_SIZE}};
    size_t k = 0;
    while (k < n && (p[k] == '_' || (p[k] >= 'A' && p[k] <= 'Z') || (p[k] >= 'a' && p[k] <= 'z')))
        ++k;
    int64_t base = 0;
    bool named = k > 0 && !(k == 1 && p[0] == 'x');
    if (named) {
        bool found = false;
        for (auto &e : kNames)
            if (same(p, k, e.name)) base = e.value, found = true;
        if (!found) return false;
        p += k, n -= k;
        if (n == 0) return value = int32_t(base), true;
    }
    bool neg = n > 0 && p[0] == '-';
    if (n > 0 && (p[0] == '-' || p[0] == '+'))
        ++p, --n;
    else if (named)
        return false;
    if (n == 0) return false;
    uint64_t v = 0;
    bool hex = n > 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X');
    for (size_t i = hex ? 2 : 0; i < n; ++i) {
        int d = hexDigit(p[i]);
        if (d < 0 || (!hex && d > 9) || v > 0xFFFFFFFFull) return false;
        v = v * (hex ? 16 : 10) + uint64_t(d);
    }
    value = int32_t(uint32_t(base + (neg ? -int64_t(v) : int64_t(v))));
    return true;
}

bool parseOp(const char *p, Op &op, const char *&lpszWhy) {
    memset(&op, 0, sizeof op);
    Token t;
    if (!nextToken(p, t)) return true;
    const Spec *s = nullptr;
    for (const Spec &c : kSpecs)
        if (same(t.p, t.n, c.word)) s = &c;
    if (!s) return lpszWhy = "unknown operation", false;
    op.code = s->code;
    for (uint32_t pos = 0; nextToken(p, t);) {
        const char *eq = static_cast<const char *>(memchr(t.p, '=', t.n));
        uint32_t f = kMaxFields;
        if (eq && t.p[0] != '"') {
            for (uint32_t i = 0; i < kMaxFields; ++i)
                if (s->names[i] && same(t.p, size_t(eq - t.p), s->names[i])) f = i;
            if (f == kMaxFields) return lpszWhy = "unknown field", false;
            t.n -= size_t(eq + 1 - t.p), t.p = eq + 1;
        } else {
            if (pos >= s->positional) return lpszWhy = "too many values", false;
            f = pos++;
        }
        if (!putField(op, *s, f, t)) return lpszWhy = "bad value", false;
    }
    return true;
}

size_t encodeOp(const Op &op, uint8_t *out, size_t room) {
    const Spec *s = specOf(op.code);
    size_t n = 3;
    if (!s || room < n) return 0;
    out[0] = op.code, out[1] = uint8_t(op.mask), out[2] = uint8_t(op.mask >> 8);
    for (uint32_t f = 0; f < kMaxFields; ++f) {
        if (!op.has(f)) continue;
        bool num = kindOf(*s, f) == 'n';
        size_t need = num ? 4 : 2u + op.len[f];
        if (n + need > room) return 0;
        uint32_t v = num ? uint32_t(op.num[f]) : op.len[f];
        for (int i = 0; i < (num ? 4 : 2); ++i) out[n++] = uint8_t(v >> 8 * i);
        if (!num) memcpy(out + n, op.bytes(f), op.len[f]), n += op.len[f];
    }
    return n;
}

size_t decodeOp(const uint8_t *in, size_t size, Op &op) {
    memset(&op, 0, sizeof op);
    if (size == 0) return 0;
    const Spec *s = specOf(in[0]);
    if (!s || size < 3) return 1;  // not an operation: the next byte may start one
    size_t n = 3;
    uint16_t mask = uint16_t(in[1] | in[2] << 8);
    op.code = s->code;
    for (uint32_t f = 0; f < kMaxFields; ++f) {
        if (!(mask >> f & 1u) || kindOf(*s, f) == '-') continue;
        bool num = kindOf(*s, f) == 'n';
        if (size - n < (num ? 4u : 2u)) break;
        uint32_t v = 0;
        for (int i = 0; i < (num ? 4 : 2); ++i) v |= uint32_t(in[n++]) << 8 * i;
        op.mask = uint16_t(op.mask | 1u << f);
        if (num) {
            op.num[f] = int32_t(v);
            continue;
        }
        if (v > size - n || v > kPoolSize - op.used) v = 0;  // a cut text is empty
        memcpy(op.pool + op.used, in + n, v);
        op.off[f] = uint16_t(op.used), op.len[f] = uint16_t(v);
        op.used += v, n += v;
    }
    return n;
}

void formatOp(const Op &op, char *out, size_t room) {
    const Spec *s = specOf(op.code);
    size_t n = 0;
    auto put = [&](const char *fmt, auto... a) {
        int k = snprintf(out + n, room - n, fmt, a...);
        if (k > 0) n = n + size_t(k) < room ? n + size_t(k) : room - 1;
    };
    out[0] = '\0';
    if (!s) return;
    put("%s", s->word);
    for (uint32_t f = 0; f < kMaxFields; ++f) {
        if (!op.has(f) || kindOf(*s, f) == '-') continue;
        if (f >= s->positional)
            put(" %s=", s->names[f]);
        else
            put("%s", " ");
        if (kindOf(*s, f) == 'n') {
            int32_t v = op.num[f];
            bool typed = f == kType && (op.code == kSend || op.code == kAgent);
            if (typed && v >= 0 && v < 8)
                put("%s", kTypeNames[v]);
            else if (typed && v == XR_DEV_TCP_MSG_WAKE)
                put("%s", "WAKE");
            else if (typed && v == kRaw)
                put("%s", "raw");
            else if (typed && v == kRaw + 1)
                put("%s", "close");
            else if (f == kSess)
                put("0x%x", unsigned(v));
            else
                put("%d", int(v));
            continue;
        }
        const uint8_t *b = op.bytes(f);
        size_t len = op.len[f];
        bool body = f == kBody && (op.code == kSend || op.code == kAgent);
        bool printable = !body || (len > 0 && b[len - 1] == '\0');
        for (size_t i = 0; i + (body ? 1 : 0) < len; ++i)
            printable = printable && b[i] >= 0x20 && b[i] < 0x7F;
        if (body && !printable) {
            for (size_t i = 0; i < len; ++i) put("%02x", b[i]);
            if (len == 0) put("%s", "\"\"*0");
            continue;
        }
        put("%s", "\"");
        for (size_t i = 0; i + (body ? 1 : 0) < len; ++i)
            put(b[i] == '"' || b[i] == '\\'   ? "\\%c"
                : b[i] >= 0x20 && b[i] < 0x7F ? "%c"
                                              : "\\x%02x",
                b[i]);
        put("%s", "\"");
    }
}

}  // namespace story
