// SPDX-License-Identifier: MIT
// The agent's side of the frame format: cutting the device's frames off a byte stream
// and building the frames that an agent sends. Pure functions over byte vectors; the
// layout constants come from the library's wire helpers.
#ifndef DEVTCP_AGENT_FRAMES_H
#define DEVTCP_AGENT_FRAMES_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace agent {

using Bytes = std::vector<uint8_t>;

struct DeviceFrame {
    uint32_t session = 0;
    uint8_t type = 0;
    uint8_t flags = 0;
    uint32_t length = 0;  // payload length from the header
    bool hasPeer = false;
    bool peerOverrun = false;  // peer section claims more than the payload
    std::string peer;          // up to the first NUL within the peer length
    Bytes data;
    Bytes raw;  // the whole frame as it arrived
};

// Takes one complete frame off the front of @p buf. False while the frame is incomplete.
bool cutFrame(Bytes &buf, DeviceFrame &frame);
// Reads the complete frame at @p p, of the @p size bytes there; returns its length, or 0
// while it is incomplete.
size_t readFrame(const uint8_t *p, size_t size, DeviceFrame &frame);

struct LoginRequest {
    bool sizeOk = false;  // payload of exactly the request's size
    std::string user;
    std::string password;
    std::string version;
};
LoginRequest parseLoginRequest(const DeviceFrame &frame);

// A frame with an optional peer section (the agent zero-fills its padding).
Bytes makeFrame(uint32_t session, uint8_t type, const uint8_t *data, size_t size,
                const std::string *peer = nullptr);
// A frame whose header says what the caller wants, whatever follows it.
Bytes makeRawFrame(uint32_t session, uint8_t type, uint8_t flags, uint16_t length,
                   const Bytes &payload);
Bytes makeLoginReply(uint32_t session, int32_t result, const std::string &addr,
                     const std::string &timeText);
// Redirect and time frames: one zero-filled 64-byte text field.
Bytes makeTextFrame(uint32_t session, uint8_t type, const std::string &text);
Bytes makeErrorFrame(uint32_t session, int32_t code);

// A device's frame as it may be printed: a login request's password field holds "***"
// instead, unless @p showPasswords.
Bytes frameToShow(const DeviceFrame &frame, bool showPasswords);
// Described frames (rx lines, a step's detail) as they may be printed: the word after
// every " pass=" outside quotes reads ***, unless @p showPasswords.
std::string linesToShow(const std::string &described, bool showPasswords);

// The text of a fixed field: its bytes up to the first NUL, never past the field.
std::string fieldText(const uint8_t *field, size_t size);
const char *typeName(uint8_t type);

}  // namespace agent

#endif
