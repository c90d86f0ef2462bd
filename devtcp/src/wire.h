// SPDX-License-Identifier: MIT
// The frame codec: the layout as named constants, and pure helpers that build and read
// every frame (header, peer section, login request and reply, text, error, data and
// string frames) in a caller's buffer. Little-endian fields are read and written so that
// frames can start at any offset on any host. Header-only, no I/O and no state: the
// library, the agent, the story runner and the benchmarks all build and read frames here.
#ifndef DEVTCP_WIRE_H
#define DEVTCP_WIRE_H

#include <stdint.h>
#include <string.h>

#include "xr_dev_tcp.h"

namespace devtcp {
namespace wire {

// Frame header layout: the session opens it.
constexpr uint32_t kOffType = 4;
constexpr uint32_t kOffFlags = 5;
constexpr uint32_t kOffLength = 6;
constexpr uint32_t kHeadSize = XR_DEV_TCP_HEAD_SIZE;
constexpr uint32_t kMaxPayload = XR_DEV_TCP_BUF_SIZE - XR_DEV_TCP_HEAD_SIZE;

// Peer section, at the start of the payload: 2 reserved bytes, 2 bytes of peer length
// (the name's bytes with its NUL), the name padded to a multiple of 4.
constexpr uint32_t kPeerOffLength = 2;
constexpr uint32_t kPeerOffName = 4;
constexpr uint32_t kPeerPrefix = 4;
constexpr uint32_t kOffPeerLength = kHeadSize + kPeerOffLength;
constexpr uint32_t kOffPeerName = kHeadSize + kPeerOffName;

// Login request payload (device to agent): the user field opens it.
constexpr uint32_t kLoginReqSize = 256;
constexpr uint32_t kLoginReqOffPass = 128;
constexpr uint32_t kLoginReqOffVersion = 192;
constexpr char kLoginVersion[] = "1.3.0";

// Login reply data (agent to device): the 32-bit result opens it.
constexpr uint32_t kLoginReplySize = 132;
constexpr uint32_t kLoginReplyOffAddr = 4;
constexpr uint32_t kLoginReplyOffTime = 68;

// Redirect and time frames carry one text field; an error frame one 32-bit code.
constexpr uint32_t kTextFieldSize = 64;
constexpr uint32_t kErrorSize = 4;

// What the wire asks of the configured buffer size: the login frames must fit, and the
// length of any frame that fits must fit the header's 16-bit field.
static_assert(XR_DEV_TCP_BUF_SIZE >= kHeadSize + kLoginReqSize &&
                  XR_DEV_TCP_BUF_SIZE >= kHeadSize + kLoginReplySize,
              "XR_DEV_TCP_BUF_SIZE cannot hold a login request (264 bytes) or reply (140)");
static_assert(XR_DEV_TCP_BUF_SIZE <= kHeadSize + 0xFFFFu,
              "XR_DEV_TCP_BUF_SIZE above the largest frame, 65543 bytes");

// On a little-endian host a fixed-size memcpy is the same bytes in the same order, and
// compilers turn it into one (unaligned) load or store instead of a byte-wise sequence.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
inline uint32_t readLe16(const uint8_t *p) {
    uint16_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

inline uint32_t readLe32(const uint8_t *p) {
    uint32_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

inline void writeLe16(uint8_t *p, uint32_t v) {
    uint16_t w = uint16_t(v);
    memcpy(p, &w, sizeof w);
}

inline void writeLe32(uint8_t *p, uint32_t v) {
    memcpy(p, &v, sizeof v);
}
#else
inline uint32_t readLe16(const uint8_t *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8;
}

inline uint32_t readLe32(const uint8_t *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline void writeLe16(uint8_t *p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

inline void writeLe32(uint8_t *p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}
#endif

// A peer name is padded so that the data after it starts on a 4-byte boundary.
constexpr uint32_t paddedPeerLength(uint32_t uPeerSize) {
    return (uPeerSize + 3u) & ~3u;
}

// Payload of a frame: the data, plus the peer section when there is one.
constexpr uint32_t payloadLength(uint32_t uDataSize, uint32_t uPeerSize) {
    return uDataSize + (uPeerSize ? kPeerPrefix + paddedPeerLength(uPeerSize) : 0u);
}

constexpr uint32_t frameSize(uint32_t uDataSize, uint32_t uPeerSize) {
    return kHeadSize + payloadLength(uDataSize, uPeerSize);
}

// Length of a text that may fill its field without a NUL: at most uMax.
inline uint32_t textLength(const char *lpsz, uint32_t uMax) {
    uint32_t n = 0;
    while (n < uMax && lpsz[n] != '\0') ++n;
    return n;
}

struct Header {
    uint32_t uSessID;
    uint32_t uType;
    uint32_t uFlags;
    uint32_t uPayload;  // bytes after the header, as the header says
};

inline Header readHeader(const uint8_t *p) {
    return {readLe32(p), p[kOffType], p[kOffFlags], readLe16(p + kOffLength)};
}

inline void writeHeader(uint8_t *p, uint32_t uSessID, uint32_t uType, uint32_t uFlags,
                        uint32_t uPayload) {
    writeLe32(p, uSessID);
    p[kOffType] = uint8_t(uType);
    p[kOffFlags] = uint8_t(uFlags);
    writeLe16(p + kOffLength, uPayload);
}

// A payload split into its optional peer section and its data.
struct Body {
    bool bPeer;          // there is a peer section
    uint32_t uPeerSize;  // its length field; the name starts at kPeerOffName
    uint32_t uDataOff;   // where the data starts, from the start of the payload
    uint32_t uDataSize;
};

// Splits the uPayload bytes at lpPayload of a frame with flags uFlags. False when the
// peer section does not fit the payload: the frame is malformed.
inline bool readBody(const uint8_t *lpPayload, uint32_t uPayload, uint32_t uFlags, Body &b) {
    b = Body();
    b.uDataSize = uPayload;
    if (!(uFlags & XR_DEV_TCP_FLAG_PEER)) return true;
    if (uPayload < kPeerPrefix) return false;
    uint32_t uPeer = readLe16(lpPayload + kPeerOffLength);
    uint32_t uSection = kPeerPrefix + paddedPeerLength(uPeer);
    if (uSection > uPayload) return false;
    b = {true, uPeer, uSection, uPayload - uSection};
    return true;
}

// Writes a whole frame at p, which has room for frameSize(uDataSize, uPeerSize) bytes: the
// header, a peer section when uPeerSize is not 0 (uPeerSize bytes of lpszPeer, its NUL
// counted, zero padding), then the data. Returns the frame's size.
inline uint32_t writeFrame(uint8_t *p, uint32_t uSessID, uint32_t uType, const void *lpData,
                           uint32_t uDataSize, const char *lpszPeer, uint32_t uPeerSize) {
    uint32_t uPayload = payloadLength(uDataSize, uPeerSize);
    writeHeader(p, uSessID, uType, uPeerSize ? XR_DEV_TCP_FLAG_PEER : 0, uPayload);
    uint8_t *q = p + kHeadSize;
    if (uPeerSize) {
        uint32_t uPadded = paddedPeerLength(uPeerSize);
        writeLe16(q, 0);
        writeLe16(q + kPeerOffLength, uPeerSize);
        memcpy(q + kPeerOffName, lpszPeer, uPeerSize);
        // The buffer may hold older bytes where the (at most 3) padding bytes go.
        for (uint32_t i = uPeerSize; i < uPadded; ++i) q[kPeerOffName + i] = 0;
        q += kPeerPrefix + uPadded;
    }
    if (uDataSize) memcpy(q, lpData, uDataSize);
    return kHeadSize + uPayload;
}

// A text in a zero-filled field of uSize bytes, cut to uSize - 1 characters.
inline void writeField(uint8_t *p, uint32_t uSize, const char *lpsz) {
    memset(p, 0, uSize);
    memcpy(p, lpsz, textLength(lpsz, uSize - 1));
}

// The login request's payload (kLoginReqSize bytes): user, password, version.
inline void writeLoginRequest(uint8_t *p, const char *lpszUser, const char *lpszPass) {
    writeField(p, kLoginReqOffPass, lpszUser);  // the user field opens the payload
    writeField(p + kLoginReqOffPass, kLoginReqOffVersion - kLoginReqOffPass, lpszPass);
    writeField(p + kLoginReqOffVersion, kLoginReqSize - kLoginReqOffVersion, kLoginVersion);
}

// The login reply's data (kLoginReplySize bytes): result, redirect address, time text.
inline void writeLoginReply(uint8_t *p, int32_t iResult, const char *lpszAddr,
                            const char *lpszTime) {
    writeLe32(p, uint32_t(iResult));  // the result opens the data
    writeField(p + kLoginReplyOffAddr, kTextFieldSize, lpszAddr);
    writeField(p + kLoginReplyOffTime, kTextFieldSize, lpszTime);
}

}  // namespace wire
}  // namespace devtcp

#endif
