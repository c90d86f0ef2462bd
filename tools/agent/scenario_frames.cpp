// SPDX-License-Identifier: MIT
#include "scenario_frames.h"

#include "options.h"
#include "wire.h"

namespace agent {

namespace w = devtcp::wire;

std::vector<NotedFrame> wrongSessionFrames(uint32_t session) {
    const uint32_t next = session + 1;
    const std::string ghost = "ghost-peer";
    const std::string text = "wrong session";
    const uint8_t data[] = {0xde, 0xad, 0xbe, 0xef};
    return {
        {makeTextFrame(next, XR_DEV_TCP_MSG_TIME, "wrong-session time"), "wrong-session"},
        {makeFrame(0, XR_DEV_TCP_MSG_WAKE, nullptr, 0), "wrong-session"},
        {makeErrorFrame(next, 999), "wrong-session"},
        {makeFrame(0, XR_DEV_TCP_MSG_STR, reinterpret_cast<const uint8_t *>(text.c_str()),
                   text.size() + 1, &ghost),
         "wrong-session"},
        {makeFrame(next, XR_DEV_TCP_MSG_DATA, data, sizeof data, &ghost), "wrong-session"},
        {makeTextFrame(0, XR_DEV_TCP_MSG_REDIRECT, "127.0.0.1:1"), "wrong-session"},
        // A refusal that a device obeying it would drop its link for.
        {makeLoginReply(next, -1, "", "wrong-session login reply"), "wrong-session"},
    };
}

std::vector<NotedFrame> malformedFrames(uint32_t session, unsigned kinds) {
    std::vector<NotedFrame> out;
    if (kinds & kMalformedPeerOverrun) {
        // Peer length 40 in a payload of 8.
        out.push_back({makeRawFrame(session, XR_DEV_TCP_MSG_STR, XR_DEV_TCP_FLAG_PEER, 8,
                                    {0, 0, 40, 0, 'o', 'v', 'e', 'r'}),
                       "malformed:peer-overrun"});
        // Peer length 1 pads to 4: one byte more than the payload holds. Flag bit 1 is
        // set too; only bit 0 means a peer section.
        out.push_back({makeRawFrame(session, XR_DEV_TCP_MSG_DATA, 0x03, 7, {0, 0, 1, 0, 'x', 0, 0}),
                       "malformed:peer-overrun"});
        // A payload too short to hold even the peer length field.
        out.push_back({makeRawFrame(session, XR_DEV_TCP_MSG_STR, XR_DEV_TCP_FLAG_PEER, 2, {0, 0}),
                       "malformed:peer-overrun"});
    }
    if (kinds & kMalformedOversize) {
        // Payload lengths a 2048-byte frame cannot hold; every announced byte is sent so
        // that the stream stays in step for a receiver that skips them.
        for (uint16_t length : {uint16_t(w::kMaxPayload + 1), uint16_t(3000)}) {
            Bytes payload(length, 0x55);
            out.push_back({makeRawFrame(session, XR_DEV_TCP_MSG_DATA, 0, length, payload),
                           "malformed:oversize"});
        }
    }
    if (kinds & kMalformedShort) {
        // Each is shorter than its type's layout. The bytes after each frame (the next
        // header, led by the session identifier) are not zero, so a receiver that read
        // past the frame would see a redirect address, an error code or a login result
        // that is not there.
        out.push_back(
            {makeRawFrame(session, XR_DEV_TCP_MSG_ERROR, 0, 2, {0x07, 0x00}), "malformed:short"});
        out.push_back(
            {makeRawFrame(session, XR_DEV_TCP_MSG_REDIRECT, 0, 2, {0, 0}), "malformed:short"});
        out.push_back(
            {makeRawFrame(session, XR_DEV_TCP_MSG_TIME, 0, 2, {'a', 'b'}), "malformed:short"});
        out.push_back(
            {makeRawFrame(session, XR_DEV_TCP_MSG_LOGIN, 0, 3, {0, 0, 0}), "malformed:short"});
        out.push_back(
            {makeRawFrame(session, XR_DEV_TCP_MSG_REDIRECT, 0, 0, {}), "malformed:short"});
        // A string message with a peer but no data, and one whose peer length is 0.
        out.push_back({makeRawFrame(session, XR_DEV_TCP_MSG_STR, XR_DEV_TCP_FLAG_PEER, 8,
                                    {0, 0, 3, 0, 'p', 'q', 0, 0}),
                       "malformed:short"});
        out.push_back({makeRawFrame(session, XR_DEV_TCP_MSG_STR, XR_DEV_TCP_FLAG_PEER, 7,
                                    {0, 0, 0, 0, 'h', 'i', 0}),
                       "malformed:short"});
    }
    return out;
}

}  // namespace agent
