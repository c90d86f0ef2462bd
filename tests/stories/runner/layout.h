// SPDX-License-Identifier: MIT
// The frame layout as docs/protocol.md gives it, apart from the library's codec, so that an
// offset or a size wrong in the codec shows instead of cancelling out. Offsets count from a
// frame's first byte.
#ifndef DEVTCP_STORY_LAYOUT_H
#define DEVTCP_STORY_LAYOUT_H

#include <stdint.h>

namespace layout {

constexpr uint32_t kOffSess = 0, kOffType = 4, kOffFlags = 5, kOffLength = 6, kHead = 8;
constexpr uint32_t kOffReserved = 8, kOffPeerLength = 10, kOffPeerName = 12;  // flags bit 0
constexpr uint32_t kOffUser = 8, kOffPass = 136, kOffVersion = 200, kLoginEnd = 264;

inline uint32_t le16(const uint8_t *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8;
}
inline uint32_t le32(const uint8_t *p) {
    return le16(p) | le16(p + 2) << 16;
}
inline uint32_t frameSize(const uint8_t *p) {
    return kHead + le16(p + kOffLength);
}
// Where the data starts: after the header, or after the peer section and its padding.
inline uint32_t dataStart(const uint8_t *p) {
    return p[kOffFlags] & 1 ? kOffPeerName + (le16(p + kOffPeerLength) + 3) / 4 * 4 : kHead;
}

}  // namespace layout

#endif
