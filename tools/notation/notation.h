// SPDX-License-Identifier: MIT
// The symbolic notation of frames and scripts that the library's stories and the agent's
// scenarios share: a line is an operation word and its fields ("agent STR "hi" peer=p",
// "send LOGIN sess=0x55 result=0"), read from text or from a compact binary form with
// fixed operation codes, and written back as text; frames are built from such fields and
// described as such lines; a pattern ("sent DATA peer=p") is matched against a described
// line. No heap, no streams and no I/O, so that it also runs on a device.
#ifndef DEVTCP_NOTATION_H
#define DEVTCP_NOTATION_H

#include <stddef.h>
#include <stdint.h>

#include "xr_dev_tcp.h"

namespace notation {

// A word of a line: a run of characters up to a blank, a quoted text counting as one.
struct Tok {
    const char *p;
    size_t n;
};
uint32_t tokens(Tok in, Tok *out, uint32_t max);
bool same(Tok a, const char *word);

// A number: decimal, signed or 0x hex, or a name (the message types, "raw" and "close"
// for the agent's bytes and close, BUF for the configured buffer size) with +N or -N.
// False when it is none, or outside -2^31 .. 2^32-1: a value above 2^31-1 is kept as its
// 32 bits (sess=0xFFFFFFFF), nothing wraps.
bool parseNumber(const char *p, size_t n, int32_t &value);

// ---- Operations

constexpr uint32_t kMaxFields = 16;
// The longest frame a text field may take part in: a frame buffer of the configuration.
constexpr uint32_t kMaxFrame = XR_DEV_TCP_BUF_SIZE;
// Bytes of all text fields of one operation: a frame's texts whole, and room for others.
constexpr uint32_t kPoolSize = kMaxFrame + 512;

struct Op {
    uint8_t code;
    uint16_t mask;  // the fields present
    int32_t num[kMaxFields];
    uint16_t off[kMaxFields], len[kMaxFields];  // texts, in pool
    uint8_t pool[kPoolSize];
    uint32_t used;
    bool has(uint32_t f) const { return mask >> f & 1u; }
    const uint8_t *bytes(uint32_t f) const { return pool + off[f]; }
};

// An operation's word, its code in the binary form (a fixed value, never a position, so
// that a new operation leaves every older input's meaning alone), and its fields by number:
// each a name and a kind ('n' a number, 't' a text, 'b' a body: a quoted text with its NUL,
// or hex bytes). The first `positional` fields may be given without their names.
struct Form {
    uint8_t code;
    const char *word;
    uint8_t positional;
    const char *names[kMaxFields];
    const char *kinds;
};
struct Language {
    const Form *forms;
    size_t count;
};

// Reads one line's operation, up to "=>" or "#". False, with a reason, when it is not one:
// an unknown word or field, a field given twice, a number out of range, a quote left open,
// split= below 1, or a body and peer that make a frame longer than kMaxFrame. A blank line
// or a comment yields code 0. @p column gets where the fault is, from 1 (0: the line).
bool parseOp(const Language &lang, const char *line, Op &op, const char *&why, size_t &column);
bool parseOp(const Language &lang, const char *line, Op &op, const char *&why);
// Where a quote that is not closed opens in p[0..n), or n when every quote is closed.
size_t openQuote(const char *p, size_t n);
// The length of a line's operation: up to "=>" or "#" outside quotes.
size_t opLength(const char *line);
// The binary form: code, mask, then each field present in order (a number in 4 bytes, a
// text as a 2-byte length and its bytes). Returns the bytes written, 0 when out of room.
size_t encodeOp(const Language &lang, const Op &op, uint8_t *out, size_t room);
// Reads one operation; returns the bytes taken (at least 1), or 0 at the end. Any byte
// string decodes: unknown codes and cut fields are skipped.
size_t decodeOp(const Language &lang, const uint8_t *in, size_t size, Op &op);
// Writes the operation as a line.
void formatOp(const Language &lang, const Op &op, char *out, size_t room);

// ---- Frames from the agent's side

// The fields of an operation that describes a frame: "TYPE [body] sess= peer= ...".
enum FrameField : uint8_t {
    kType = 0,      // a message type, raw (the body's bytes as they are) or close
    kBody = 1,      // the data; for REDIRECT and TIME a text field, unless longer
    kPeer = 2,      // a peer section with this name
    kPeerSize = 3,  // its length field, when it should not be the name's size
    kSize = 4,      // the data padded with a pattern, or cut, to this size
    kSess = 5,      // the session; else the one the caller gives
    kFlags = 6,
    kLen = 7,  // a header length that lies: the frame carries that many payload bytes
    kResult = 8,
    kAddr = 9,  // login reply: result, redirect address, time text
    kTime = 10,
    kCode = 11,   // error frame's code
    kSplit = 12,  // delivery: in pieces of this many bytes, or joined to what came before
    kJoin = 13,
    kCut = 14,  // the frame's last bytes left off, as a close would cut it
};
constexpr int32_t kRaw = 256, kClose = 257;
constexpr const char *kFrameNames[kMaxFields] = {"type", "body",  "peer",  "peersize", "size",
                                                 "sess", "flags", "len",   "result",   "addr",
                                                 "time", "code",  "split", "join",     "cut"};
constexpr const char *kFrameKinds = "nbtnnnnnnttnnnn";

// Builds the frame of such an operation in out, which holds room bytes; returns its size,
// or -1 when it does not fit. A close has no bytes.
int32_t buildFrame(const Op &op, uint32_t sess, uint8_t *out, uint32_t room);

// ---- Lines

// A line written out, without printf, into its own 400 bytes or into the caller's buffer.
// What does not fit is left out: cut() says so, and the line then ends in kCutMark, after
// what was kept of the word being written.
constexpr const char *kCutMark = " (cut)";
class Line {
  public:
    // constexpr: a Line of static storage needs no constructor run at start-up.
    constexpr Line() : s(own_), room_(sizeof own_), own_{} {}
    Line(char *buf, size_t room) : s(buf), room_(room) { buf[0] = '\0'; }
    Line(const Line &) = delete;
    Line &operator=(const Line &) = delete;

    char *s;
    size_t n = 0;  // the characters in s; writing starts over when set to 0
    bool cut() const { return cut_; }
    Line &put(const char *t, size_t len);
    Line &put(const char *t);
    Line &num(int32_t v, bool hex = false);
    Line &text(const void *t, size_t len);      // quoted, control bytes as \xNN
    Line &word(const char *t, size_t len);      // bare when it can be, else quoted
    Line &bytes(const uint8_t *t, size_t len);  // "N" and every byte in hex

  private:
    size_t room_;
    bool cut_ = false;
    char own_[400];
};

// A whole frame as a line: "DATA sess=0x55 peer=p size=3 010203", "LOGIN sess=0x0 user=u
// pass=p version=1.3.0", "STR sess=0x55 peer=p "hi"". The frame must be well formed.
void describeFrame(const uint8_t *frame, Line &out);
// Room for describeFrame() to write a frame of @p size bytes whole: at most four
// characters a byte (\xNN), and the words around them.
constexpr size_t describedRoom(size_t size) {
    return 4 * size + 64;
}

// A pattern matches a line when their first words agree and each of its other words is
// one of the line's. Words agree when they are the same, whole; when they are key=value
// words with values that are the same number however written (sess=85 and sess=0x55,
// size=BUF-8 and size=2040); when both are quoted texts with the same bytes however
// escaped ("\x41" and "A"); or when the pattern's value is written "x"*N, which stands
// for N copies of x.
bool matches(Tok pattern, const char *line);
// The same, for a line that may have been cut: 1 when it matches, 0 when it does not, -1
// when a word of the pattern is not among the cut line's whole words (the word cut short
// is compared with none), so that only the part left out could tell. A line names each key
// once: a key=value word whose key the cut line holds with another value does not match.
int match(Tok pattern, const char *line);

}  // namespace notation

#endif
