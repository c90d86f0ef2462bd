// SPDX-License-Identifier: MIT
// The story language: one operation per line, read from text or from the compact binary
// form that the fuzz target takes, and written back as text. No heap and no streams, so
// that the same code runs on a device.
#ifndef DEVTCP_STORY_LANGUAGE_H
#define DEVTCP_STORY_LANGUAGE_H

#include <stddef.h>
#include <stdint.h>

namespace story {

// Operation codes are written into fuzz inputs: they are fixed values, never positions,
// so a new operation gets a new code and leaves every older input's meaning alone.
enum OpCode : uint8_t {
    kLogin = 1,
    kLogout = 2,
    kSend = 3,
    kTick = 4,
    kWait = 5,
    kAgent = 6,
    kNet = 7,
    kApp = 8,
    kLink = 9,
    kState = 10,
};

// Field numbers, per operation: the binary form marks the fields present in a 16-bit mask.
enum Field : uint8_t {
    // login
    kAddr = 0,
    kUser = 1,
    kPass = 2,
    // logout, send, agent: the first two are positional where they appear
    kId = 0,
    kType = 0,
    kBody = 1,
    kPeer = 2,
    kPeerSize = 3,
    kSize = 4,
    kSess = 5,
    kFlags = 6,
    kLen = 7,
    kResult = 8,
    kReplyAddr = 9,
    kTime = 10,
    kCode = 11,
    kSplit = 12,
    kCut = 13,
    kJoin = 14,
    kSendId = 15,
    // tick, wait, link
    kMs = 0,
    kAt = 1,
    kSlot = 0,
    // net
    kOpen = 0,
    kCheck = 1,
    kSendPlan = 2,
    kRecv = 3,
    kOver = 4,
    // app
    kEcho = 0,
    kOn = 1,
    kDo = 2,
    kNth = 3,
    kWithout = 4,
    kAnswer = 5,
};

constexpr uint32_t kMaxFields = 16;
constexpr uint32_t kPoolSize = 1024;  // bytes of all text fields of one operation

struct Op {
    uint8_t code;
    uint16_t mask;  // fields present
    int32_t num[kMaxFields];
    uint16_t off[kMaxFields], len[kMaxFields];  // text fields, in pool
    uint8_t pool[kPoolSize];
    uint32_t used;
    bool has(uint32_t f) const { return mask >> f & 1u; }
    const uint8_t *bytes(uint32_t f) const { return pool + off[f]; }
};

// The named numbers a story may write instead of digits (message types, BUF for the
// configured buffer size), optionally with +N or -N after them.
bool parseNumber(const char *lpsz, size_t uLen, int32_t &value);

// Reads one line's operation (what comes before "=>"). False, with a reason, when the
// line is not an operation; a blank line or comment yields code 0.
bool parseOp(const char *lpszLine, Op &op, const char *&lpszWhy);
// The binary form: code, mask, then each field present in order (a number in 4 bytes, a
// text as a 2-byte length and its bytes). Returns the bytes written, 0 when out of room.
size_t encodeOp(const Op &op, uint8_t *lpOut, size_t uRoom);
// Reads one operation at lpIn; returns the bytes taken (at least 1), or 0 at the end.
// Any byte string decodes: unknown codes and cut fields are skipped.
size_t decodeOp(const uint8_t *lpIn, size_t uSize, Op &op);
// Writes the operation as a story line.
void formatOp(const Op &op, char *lpszOut, size_t uRoom);

}  // namespace story

#endif
