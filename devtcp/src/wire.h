// SPDX-License-Identifier: MIT
// Wire format helpers: little-endian fields read and written byte by byte, so frames
// can start at any offset on any host, and the frame layout as named constants.
// Header-only and free of I/O; the agent and the tests share them with the library.
#ifndef DEVTCP_WIRE_H
#define DEVTCP_WIRE_H

#include <stdint.h>
#include <string.h>

#include "xr_dev_tcp.h"

namespace devtcp {
namespace wire {

// Frame header layout.
constexpr uint32_t kOffSession = 0;
constexpr uint32_t kOffType = 4;
constexpr uint32_t kOffFlags = 5;
constexpr uint32_t kOffLength = 6;
constexpr uint32_t kHeadSize = XR_DEV_TCP_HEAD_SIZE;
constexpr uint32_t kMaxPayload = XR_DEV_TCP_BUF_SIZE - XR_DEV_TCP_HEAD_SIZE;

// Peer section: 2 reserved bytes, 2 bytes of peer length, the padded name.
constexpr uint32_t kOffPeerLength = 10;
constexpr uint32_t kOffPeerName = 12;
constexpr uint32_t kPeerPrefix = 4;

// Login request payload (device to agent).
constexpr uint32_t kLoginReqSize = 256;
constexpr uint32_t kLoginReqOffUser = 0;
constexpr uint32_t kLoginReqOffPass = 128;
constexpr uint32_t kLoginReqOffVersion = 192;
constexpr char kLoginVersion[] = "1.3.0";

// Login reply data (agent to device).
constexpr uint32_t kLoginReplySize = 132;
constexpr uint32_t kLoginReplyOffResult = 0;
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

inline void writeHeader(uint8_t *p, uint32_t uSessID, uint32_t uType, uint32_t uFlags,
                        uint32_t uPayload) {
    writeLe32(p + kOffSession, uSessID);
    p[kOffType] = uint8_t(uType);
    p[kOffFlags] = uint8_t(uFlags);
    writeLe16(p + kOffLength, uPayload);
}

}  // namespace wire
}  // namespace devtcp

#endif
