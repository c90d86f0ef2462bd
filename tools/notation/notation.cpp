// SPDX-License-Identifier: MIT
#include "notation.h"

#include <stdio.h>
#include <string.h>

#include "wire.h"

namespace notation {

using namespace devtcp::wire;

namespace {

const char *const kTypeNames[] = {"KEEPALIVE", "ERROR", "LOGIN", "LOGOUT",
                                  "REDIRECT",  "TIME",  "DATA",  "STR"};

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

const char *skipQuoted(const char *p, const char *end) {
    for (++p; p < end && *p != '"'; ++p)
        if (*p == '\\' && p + 1 < end) ++p;
    return p < end ? p + 1 : end;
}

const Form *formOf(const Language &lang, uint8_t code) {
    for (size_t i = 0; i < lang.count; ++i)
        if (lang.forms[i].code == code) return &lang.forms[i];
    return nullptr;
}

char kindOf(const Form &s, uint32_t f) {
    return f < strlen(s.kinds) ? s.kinds[f] : '-';
}

// The bytes of a quoted text one at a time, escapes read: \xNN, \n, \0, \c for c.
struct Unquoter {
    const char *p, *end;  // after the opening quote, at the closing one
    int next() {
        if (p >= end) return -1;
        char c = *p++;
        if (c != '\\' || p >= end) return uint8_t(c);
        c = *p++;
        if (c == 'x' && end - p >= 2 && hexDigit(p[0]) >= 0 && hexDigit(p[1]) >= 0) {
            p += 2;
            return hexDigit(p[-2]) << 4 | hexDigit(p[-1]);
        }
        return c == 'n' ? '\n' : c == '0' ? '\0' : uint8_t(c);
    }
};

// A quoted text's repeat count: nothing after the closing quote, or "*N" with N >= 0.
bool repeatCount(const char *p, const char *end, int32_t &times) {
    times = 1;
    return p == end || (*p == '*' && parseNumber(p + 1, size_t(end - p - 1), times) && times >= 0);
}

// Appends a field's bytes to the pool: a quoted text repeated *N times (with its NUL for a
// body), a body's hex digits, or else the word's characters. Every byte is kept or the
// field is refused.
bool putText(Op &op, uint32_t f, Tok t, bool body, const char *&why) {
    uint8_t *out = op.pool + op.used;
    size_t room = kPoolSize - op.used, n = 0;
    why = "a text longer than an operation holds";
    if (t.n > 0 && t.p[0] == '"') {
        const char *end = skipQuoted(t.p, t.p + t.n);
        int32_t times = 1;
        if (!repeatCount(end, t.p + t.n, times)) return why = "bad value", false;
        Unquoter u{t.p + 1, end - 1};
        for (int c; (c = u.next()) >= 0; out[n++] = uint8_t(c))
            if (n == room) return false;
        // The copies after the first, each of the first's bytes: linear in what is kept.
        if (times == 0) n = 0;
        if (n > 0 && uint64_t(n) * uint64_t(times) > room) return false;
        for (size_t k = n, i = 1; i < size_t(times) && k > 0; ++i) memcpy(out + i * k, out, k);
        n *= size_t(times);
        if (body) {
            if (n == room) return false;
            out[n++] = '\0';
        }
    } else if (body) {
        if (t.n / 2 > room) return false;
        if (t.n % 2) return why = "bad value", false;
        for (size_t i = 0; i < t.n; i += 2) {
            int hi = hexDigit(t.p[i]), lo = hexDigit(t.p[i + 1]);
            if (hi < 0 || lo < 0) return why = "bad value", false;
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

bool putField(Op &op, const Form &s, uint32_t f, Tok v, const char *&why) {
    if (same(v, "NULL")) return true;  // left out: the call gets a null pointer
    op.mask = uint16_t(op.mask | 1u << f);
    if (kindOf(s, f) == 'n') {
        if (parseNumber(v.p, v.n, op.num[f])) return true;
        return why = "bad value: a number from -2147483648 to 4294967295 or a name", false;
    }
    return putText(op, f, v, kindOf(s, f) == 'b', why);
}

bool named(const Form &s, uint32_t f, const char *name) {
    return f < kMaxFields && s.names[f] && !strcmp(s.names[f], name);
}

// What a whole operation may not be: a frame's texts longer than a frame, a text longer
// than its fixed field, a frame cut into pieces of no bytes.
const char *checkOp(const Form &s, const Op &op) {
    if (named(s, kSplit, "split") && op.has(kSplit) && op.num[kSplit] < 1)
        return "split= is at least 1";
    if (!named(s, kBody, "body") || !named(s, kPeer, "peer")) return nullptr;
    uint64_t size = kHeadSize + (op.has(kBody) ? op.len[kBody] : 0u);
    if (op.has(kPeer)) size += kPeerPrefix + paddedPeerLength(op.len[kPeer] + 1u);
#define NOTATION_TEXT(x) #x
#define NOTATION_NUMBER(x) NOTATION_TEXT(x)
    if (size > kMaxFrame)
        return "a body and peer that make a frame longer than " NOTATION_NUMBER(
            XR_DEV_TCP_BUF_SIZE) " bytes";
    for (uint32_t f = kAddr; f <= kTime; ++f)
        if (named(s, f, kFrameNames[f]) && op.has(f) && op.len[f] > kTextFieldSize)
            return "addr= and time= hold at most 64 bytes";
    return nullptr;
}

}  // namespace

uint32_t tokens(Tok in, Tok *out, uint32_t max) {
    uint32_t k = 0;
    for (size_t i = 0; i < in.n && k < max;) {
        while (i < in.n && (in.p[i] == ' ' || in.p[i] == '\t')) ++i;
        size_t s = i;
        while (i < in.n && in.p[i] != ' ' && in.p[i] != '\t')
            i = in.p[i] == '"' ? size_t(skipQuoted(in.p + i, in.p + in.n) - in.p) : i + 1;
        if (i > s) out[k++] = {in.p + s, i - s};
    }
    return k;
}

bool same(Tok a, const char *word) {
    return a.n == strlen(word) && memcmp(a.p, word, a.n) == 0;
}

bool parseNumber(const char *p, size_t n, int32_t &value) {
    static const struct {
        const char *name;
        int32_t value;
    } kNames[] = {{"KEEPALIVE", 0}, {"ERROR", 1},  {"LOGIN", 2},      {"LOGOUT", 3},
                  {"REDIRECT", 4},  {"TIME", 5},   {"DATA", 6},       {"STR", 7},
                  {"WAKE", 14},     {"raw", kRaw}, {"close", kClose}, {"BUF", XR_DEV_TCP_BUF_SIZE}};
    size_t k = 0;
    while (k < n && (p[k] == '_' || (p[k] >= 'A' && p[k] <= 'Z') || (p[k] >= 'a' && p[k] <= 'z')))
        ++k;
    int64_t base = 0;
    if (k > 0) {
        bool found = false;
        for (auto &e : kNames)
            if (same({p, k}, e.name)) base = e.value, found = true;
        if (!found) return false;
        p += k, n -= k;
        if (n == 0) return value = int32_t(base), true;
        if (p[0] != '-' && p[0] != '+') return false;
    }
    bool neg = n > 0 && p[0] == '-';
    if (n > 0 && (p[0] == '-' || p[0] == '+')) ++p, --n;
    bool hex = n > 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X');
    if (n == 0) return false;
    uint64_t v = 0;
    for (size_t i = hex ? 2 : 0; i < n; ++i) {
        int d = hexDigit(p[i]);
        if (d < 0 || (!hex && d > 9)) return false;
        v = v * (hex ? 16 : 10) + uint64_t(d);
        if (v > 0xFFFFFFFFull) return false;  // before it could wrap
    }
    int64_t sum = base + (neg ? -int64_t(v) : int64_t(v));
    if (sum < INT32_MIN || sum > int64_t(UINT32_MAX)) return false;
    value = int32_t(uint32_t(sum));
    return true;
}

size_t opLength(const char *p) {
    const char *s = p, *end = p + strlen(p);
    while (*p && *p != '#' && !(p[0] == '=' && p[1] == '>'))
        p = *p == '"' ? skipQuoted(p, end) : p + 1;
    return size_t(p - s);
}

size_t openQuote(const char *p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (p[i] != '"') continue;
        size_t at = i;
        for (++i; i < n && p[i] != '"'; ++i)
            if (p[i] == '\\') ++i;
        if (i >= n) return at;
    }
    return n;
}

bool parseOp(const Language &lang, const char *line, Op &op, const char *&why, size_t &column) {
    memset(&op, 0, sizeof op);
    column = 0;
    size_t length = opLength(line), open = openQuote(line, length);
    if (open < length) return column = open + 1, why = "a quote is not closed", false;
    Tok t[kMaxFields + 2];
    uint32_t n = tokens({line, length}, t, kMaxFields + 2);
    if (n == 0) return true;
    const Form *s = nullptr;
    for (size_t i = 0; i < lang.count; ++i)
        if (same(t[0], lang.forms[i].word)) s = &lang.forms[i];
    if (!s) return column = 1, why = "unknown operation", false;
    if (n > kMaxFields + 1)
        return column = size_t(t[n - 1].p - line) + 1, why = "too many values", false;
    op.code = s->code;
    uint32_t given = 0;
    for (uint32_t i = 1, pos = 0; i < n; ++i) {
        column = size_t(t[i].p - line) + 1;
        auto eq = static_cast<const char *>(memchr(t[i].p, '=', t[i].n));
        uint32_t f = kMaxFields;
        if (eq && t[i].p[0] != '"') {
            for (uint32_t k = 0; k < kMaxFields; ++k)
                if (s->names[k] && same({t[i].p, size_t(eq - t[i].p)}, s->names[k])) f = k;
            if (f == kMaxFields) return why = "unknown field", false;
            t[i].n -= size_t(eq + 1 - t[i].p), t[i].p = eq + 1;
        } else {
            if (pos >= s->positional) return why = "too many values", false;
            f = pos++;
        }
        if (given >> f & 1u) return why = "a field given twice", false;
        given |= 1u << f;
        if (!putField(op, *s, f, t[i], why)) return false;
    }
    column = 0;
    return !(why = checkOp(*s, op));
}

bool parseOp(const Language &lang, const char *line, Op &op, const char *&why) {
    size_t column = 0;
    return parseOp(lang, line, op, why, column);
}

size_t encodeOp(const Language &lang, const Op &op, uint8_t *out, size_t room) {
    const Form *s = formOf(lang, op.code);
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

size_t decodeOp(const Language &lang, const uint8_t *in, size_t size, Op &op) {
    memset(&op, 0, sizeof op);
    if (size == 0) return 0;
    const Form *s = formOf(lang, in[0]);
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

void formatOp(const Language &lang, const Op &op, char *out, size_t room) {
    const Form *s = formOf(lang, op.code);
    size_t n = 0;
    auto put = [&](const char *fmt, auto... a) {
        int k = snprintf(out + n, room - n, fmt, a...);
        if (k > 0) n = n + size_t(k) < room ? n + size_t(k) : room - 1;
    };
    out[0] = '\0';
    if (!s) return;
    put("%s", s->word);
    for (uint32_t f = 0; f < kMaxFields; ++f) {
        char kind = kindOf(*s, f);
        if (!op.has(f) || kind == '-') continue;
        put(f >= s->positional ? " %s=" : "%.0s ", s->names[f]);
        if (kind == 'n') {
            int32_t v = op.num[f];
            bool typed = f == kType && !strcmp(s->names[f], "type");
            if (typed && v >= 0 && v < 8)
                put("%s", kTypeNames[v]);
            else if (typed && (v == XR_DEV_TCP_MSG_WAKE || v == kRaw || v == kClose))
                put("%s", v == kRaw ? "raw" : v == kClose ? "close" : "WAKE");
            else
                put(f == kSess && !strcmp(s->names[f], "sess") ? "0x%x" : "%d", unsigned(v));
            continue;
        }
        const uint8_t *b = op.bytes(f);
        size_t len = op.len[f], shown = len - (kind == 'b' && len > 0);
        bool printable = kind != 'b' || (len > 0 && b[len - 1] == '\0');
        for (size_t i = 0; i < shown; ++i) printable = printable && b[i] >= 0x20 && b[i] < 0x7F;
        if (!printable) {  // a body that is not a text: hex
            for (size_t i = 0; i < len; ++i) put("%02x", b[i]);
            if (len == 0) put("%s", "\"\"*0");
            continue;
        }
        put("%s", "\"");
        for (size_t i = 0; i < shown; ++i)
            put(b[i] == '"' || b[i] == '\\'   ? "\\%c"
                : b[i] >= 0x20 && b[i] < 0x7F ? "%c"
                                              : "\\x%02x",
                b[i]);
        put("%s", "\"");
    }
}

int32_t buildFrame(const Op &op, uint32_t sess, uint8_t *out, uint32_t room) {
    int32_t type = op.num[kType];
    uint32_t size = op.len[kBody];
    const uint8_t *body = op.bytes(kBody);
    uint8_t fixed[kLoginReplySize] = {};
    char text[kTextFieldSize] = {};
    auto cText = [&op](uint32_t f, char *buf) {
        memcpy(buf, op.bytes(f), op.len[f] < kTextFieldSize - 1 ? op.len[f] : kTextFieldSize - 1);
        return buf;
    };
    if (type == kClose) return 0;
    if (type == XR_DEV_TCP_MSG_LOGIN && !op.has(kBody)) {
        char addr[kTextFieldSize] = {}, time[kTextFieldSize] = {};
        writeLoginReply(fixed, op.num[kResult], cText(kAddr, addr), cText(kTime, time));
        // A text that fills its field goes in whole, without a NUL.
        if (op.len[kAddr] >= kTextFieldSize)
            memcpy(fixed + kLoginReplyOffAddr, op.bytes(kAddr), kTextFieldSize);
        if (op.len[kTime] >= kTextFieldSize)
            memcpy(fixed + kLoginReplyOffTime, op.bytes(kTime), kTextFieldSize);
        body = fixed, size = kLoginReplySize;
    } else if ((type == XR_DEV_TCP_MSG_REDIRECT || type == XR_DEV_TCP_MSG_TIME) &&
               size <= kTextFieldSize) {
        writeField(fixed, kTextFieldSize, cText(kBody, text));
        body = fixed, size = kTextFieldSize;
    } else if (type == XR_DEV_TCP_MSG_ERROR && !op.has(kBody)) {
        writeLe32(fixed, uint32_t(op.num[kCode]));
        body = fixed, size = kErrorSize;
    }
    // The data: the body, then a pattern up to size= bytes.
    uint32_t want = op.has(kSize) ? uint32_t(op.num[kSize]) : size;
    uint32_t peerSize = op.has(kPeerSize) ? uint32_t(op.num[kPeerSize]) & 0xFFFFu
                        : op.has(kPeer)   ? op.len[kPeer] + 1u
                                          : 0;
    uint32_t head =
        type == kRaw ? 0
                     : kHeadSize + (op.has(kPeer) ? kPeerPrefix + paddedPeerLength(peerSize) : 0);
    uint32_t n = head + want;
    if (want > room || n > room ||
        (op.has(kLen) && kHeadSize + (uint32_t(op.num[kLen]) & 0xFFFFu) > room))
        return -1;
    memset(out, 0, head);
    for (uint32_t i = 0; i < want; ++i) out[head + i] = i < size ? body[i] : uint8_t(i * 7 + 1);
    if (type != kRaw) {
        if (op.has(kPeer)) {  // the name's bytes, as many as the length field says fit
            writeLe16(out + kOffPeerLength, peerSize);
            memcpy(out + kOffPeerName, op.bytes(kPeer),
                   op.len[kPeer] < peerSize ? op.len[kPeer] : peerSize);
        }
        uint32_t flags = op.has(kFlags)  ? uint32_t(op.num[kFlags])
                         : op.has(kPeer) ? XR_DEV_TCP_FLAG_PEER
                                         : 0;
        writeHeader(out, op.has(kSess) ? uint32_t(op.num[kSess]) : sess, uint32_t(type), flags,
                    n - kHeadSize);
        if (op.has(kLen)) {  // the header says len, and that many payload bytes follow
            uint32_t len = uint32_t(op.num[kLen]) & 0xFFFFu;
            if (kHeadSize + len > n) memset(out + n, 0, kHeadSize + len - n);
            writeLe16(out + kOffLength, len);
            n = kHeadSize + len;
        }
    }
    if (op.has(kCut)) n = uint32_t(op.num[kCut]) < n ? n - uint32_t(op.num[kCut]) : 0;
    return int32_t(n);
}

Line &Line::put(const char *t, size_t len) {
    if (n == 0) cut_ = false;
    if (cut_) return *this;
    size_t mark = strlen(kCutMark), k = len < room_ - 1 - n ? len : room_ - 1 - n;
    cut_ = k < len;
    // A cut line keeps room for its mark, when it has that much at all.
    if (cut_ && room_ > mark) {
        size_t end = room_ - 1 - mark;  // where the mark starts at the latest
        k = n < end ? end - n : 0;
        n = n < end ? n : end;
    }
    memcpy(s + n, t, k);
    n += k;
    if (cut_ && room_ > mark) memcpy(s + n, kCutMark, mark), n += mark;
    s[n] = '\0';
    return *this;
}

Line &Line::put(const char *t) {
    return put(t, strlen(t));
}

Line &Line::num(int32_t v, bool hex) {
    char d[12], *p = d + sizeof d;
    uint32_t u = v < 0 && !hex ? 0u - uint32_t(v) : uint32_t(v);
    do *--p = "0123456789abcdef"[u % (hex ? 16 : 10)];
    while ((u /= hex ? 16 : 10) != 0);
    put(hex ? "0x" : v < 0 ? "-" : "");
    return put(p, size_t(d + sizeof d - p));
}

Line &Line::text(const void *in, size_t len) {
    auto t = static_cast<const uint8_t *>(in);
    put("\"");
    for (size_t i = 0; i < len; ++i) {
        char c[4] = {'\\', 'x', "0123456789ABCDEF"[t[i] >> 4], "0123456789ABCDEF"[t[i] & 15]};
        if (t[i] == '"' || t[i] == '\\') put("\\");
        t[i] >= 0x20 && t[i] < 0x7F ? put(reinterpret_cast<const char *>(t + i), 1) : put(c, 4);
    }
    return put("\"");
}

Line &Line::word(const char *t, size_t len) {
    bool bare = len > 0;
    for (size_t i = 0; i < len; ++i)
        bare = bare && ((t[i] >= '0' && t[i] <= '9') || (t[i] >= 'a' && t[i] <= 'z') ||
                        (t[i] >= 'A' && t[i] <= 'Z') || strchr("._:-", t[i]));
    return bare ? put(t, len) : text(t, len);
}

Line &Line::bytes(const uint8_t *t, size_t len) {
    num(int32_t(len)).put(" ");
    for (size_t i = 0; i < len; ++i) {
        char h[2] = {"0123456789abcdef"[t[i] >> 4], "0123456789abcdef"[t[i] & 15]};
        put(h, 2);
    }
    return *this;
}

void describeFrame(const uint8_t *p, Line &l) {
    Header h = readHeader(p);
    Body b;
    readBody(p + kHeadSize, h.uPayload, h.uFlags, b);
    h.uType < 8 ? l.put(kTypeNames[h.uType]) : l.num(int32_t(h.uType));
    l.put(" sess=").num(int32_t(h.uSessID), true);
    auto d = reinterpret_cast<const char *>(p + kHeadSize + b.uDataOff);
    auto peer = reinterpret_cast<const char *>(p + kOffPeerName);
    if (b.bPeer) l.put(" peer=").word(peer, textLength(peer, b.uPeerSize));
    if (h.uType == XR_DEV_TCP_MSG_LOGIN && b.uDataSize == kLoginReqSize) {
        l.put(" size=")
            .num(int32_t(b.uDataSize))
            .put(" user=")
            .word(d, textLength(d, kLoginReqOffPass));
        l.put(" pass=").word(d + kLoginReqOffPass, textLength(d + kLoginReqOffPass, 64));
        l.put(" version=").word(d + kLoginReqOffVersion, textLength(d + kLoginReqOffVersion, 64));
    } else if (h.uType == XR_DEV_TCP_MSG_STR && b.uDataSize > 0) {
        size_t text = textLength(d, b.uDataSize);
        l.put(" ").text(d, text);
        // Bytes after the text's NUL, or no NUL: the data is shown whole as well.
        if (text + 1 != b.uDataSize)
            l.put(" size=").bytes(reinterpret_cast<const uint8_t *>(d), b.uDataSize);
    } else if (b.uDataSize > 0) {
        l.put(" size=").bytes(reinterpret_cast<const uint8_t *>(d), b.uDataSize);
    }
}

namespace {

// What follows word w of text t.
Tok restAfter(Tok t, Tok w) {
    size_t used = size_t(w.p + w.n - t.p);
    return {w.p + w.n, t.n - used};
}

// A value as bytes: a quoted text's, unescaped, or a bare word's characters.
Unquoter valueOf(const char *p, const char *end) {
    if (end - p >= 2 && p[0] == '"' && skipQuoted(p, end) == end && end[-1] == '"')
        return {p + 1, end - 1};
    return {p, end};
}

// Where a word's value starts: after its key's "=", before any quote; 0 without a key.
size_t keyLength(Tok w) {
    size_t k = 0;
    while (k < w.n && w.p[k] != '=' && w.p[k] != '"') ++k;
    return k < w.n && w.p[k] == '=' ? k + 1 : 0;
}

bool sameWord(Tok pat, Tok word) {
    if (pat.n == word.n && !memcmp(pat.p, word.p, pat.n)) return true;
    size_t k = keyLength(pat);
    if (k > word.n || memcmp(pat.p, word.p, k)) return false;
    const char *x = pat.p + k, *end = pat.p + pat.n, *v = word.p + k, *vend = word.p + word.n;
    if (x < end && x[0] == '"') {  // a text, the same bytes however escaped, or "x"*N
        const char *close = skipQuoted(x, end);
        int32_t times = 1;
        if (close[-1] != '"' || close - x < 2 || !repeatCount(close, end, times)) return false;
        Unquoter line = valueOf(v, vend), one{x + 1, close - 1};
        if (one.p == one.end || times == 0) return line.next() < 0;
        for (int32_t i = 0; i < times; ++i)
            for (Unquoter u = one; u.p < u.end;)
                if (u.next() != line.next()) return false;
        return line.next() < 0;
    }
    int32_t a, b;
    return k && parseNumber(x, size_t(end - x), a) && parseNumber(v, size_t(vend - v), b) && a == b;
}

}  // namespace

int match(Tok pattern, const char *line) {
    // Word by word, none left out, nothing held beyond the word at hand.
    Tok pw, lw, first;
    Tok ps = pattern, ls = {line, strlen(line)};
    size_t mark = strlen(kCutMark);
    bool cut = ls.n >= mark && !memcmp(line + ls.n - mark, kCutMark, mark);
    if (cut) ls.n -= mark;
    if (!tokens(ps, &pw, 1) || !tokens(ls, &first, 1) || !sameWord(pw, first)) return 0;
    Tok whole = restAfter(ls, first);
    if (cut) {  // the last word may be part of one: it is left out
        for (Tok l = whole; tokens(l, &lw, 1); l = restAfter(l, lw))
            whole.n = size_t(lw.p - whole.p);
        if (whole.n == ls.n - size_t(whole.p - ls.p)) return -1;  // the first word was the last
    }
    // A line names each key once: a key the cut line holds with another value decides.
    int result = 1;
    for (ps = restAfter(ps, pw); tokens(ps, &pw, 1); ps = restAfter(ps, pw)) {
        bool found = false, other = false;
        size_t k = keyLength(pw);
        for (Tok l = whole; !found && tokens(l, &lw, 1); l = restAfter(l, lw))
            found = sameWord(pw, lw), other = other || (k && lw.n >= k && !memcmp(pw.p, lw.p, k));
        if (!found && (!cut || other)) return 0;
        result = found ? result : -1;
    }
    return result;
}

bool matches(Tok pattern, const char *line) {
    return match(pattern, line) == 1;
}

}  // namespace notation
