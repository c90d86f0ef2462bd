// SPDX-License-Identifier: MIT
#include "frames.h"

#include <algorithm>
#include <cstring>

#include "wire.h"

namespace agent {

namespace w = devtcp::wire;

bool cutFrame(Bytes &buf, DeviceFrame &f) {
    if (buf.size() < w::kHeadSize) return false;
    const uint8_t *p = buf.data();
    uint32_t length = w::readLe16(p + w::kOffLength);
    size_t total = w::kHeadSize + length;
    if (buf.size() < total) return false;

    f = DeviceFrame();
    f.session = w::readLe32(p + w::kOffSession);
    f.type = p[w::kOffType];
    f.flags = p[w::kOffFlags];
    f.length = length;
    f.raw.assign(p, p + total);
    size_t dataOff = w::kHeadSize;
    if (f.flags & XR_DEV_TCP_FLAG_PEER) {
        f.hasPeer = true;
        // The peer length field itself lies inside the payload; a payload too short to
        // hold it is as malformed as one too short for the name.
        uint32_t peerLen = length >= w::kPeerPrefix ? w::readLe16(p + w::kOffPeerLength) : 0;
        uint32_t padded = w::paddedPeerLength(peerLen);
        if (length < w::kPeerPrefix || w::kPeerPrefix + padded > length) {
            f.peerOverrun = true;
        } else {
            f.peer = fieldText(p + w::kOffPeerName, peerLen);
            dataOff = w::kOffPeerName + padded;
        }
    }
    if (!f.peerOverrun) f.data.assign(p + dataOff, p + total);
    buf.erase(buf.begin(), buf.begin() + total);
    return true;
}

LoginRequest parseLoginRequest(const DeviceFrame &f) {
    LoginRequest r;
    r.sizeOk = !f.hasPeer && f.data.size() == w::kLoginReqSize;
    if (!r.sizeOk) return r;
    const uint8_t *d = f.data.data();
    r.user = fieldText(d + w::kLoginReqOffUser, w::kLoginReqOffPass - w::kLoginReqOffUser);
    r.password = fieldText(d + w::kLoginReqOffPass, w::kLoginReqOffVersion - w::kLoginReqOffPass);
    r.version = fieldText(d + w::kLoginReqOffVersion, w::kLoginReqSize - w::kLoginReqOffVersion);
    return r;
}

Bytes makeFrame(uint32_t session, uint8_t type, const uint8_t *data, size_t size,
                const std::string *peer) {
    uint32_t peerLen = peer ? uint32_t(peer->size() + 1) : 0;  // the NUL is counted
    uint32_t payload = w::payloadLength(uint32_t(size), peerLen);
    Bytes out(w::kHeadSize + payload, 0);
    w::writeHeader(out.data(), session, type, peer ? XR_DEV_TCP_FLAG_PEER : 0, payload);
    size_t off = w::kHeadSize;
    if (peer) {
        w::writeLe16(out.data() + w::kOffPeerLength, peerLen);
        std::memcpy(out.data() + w::kOffPeerName, peer->data(), peer->size());
        off = w::kOffPeerName + w::paddedPeerLength(peerLen);
    }
    if (size) std::memcpy(out.data() + off, data, size);
    return out;
}

Bytes makeRawFrame(uint32_t session, uint8_t type, uint8_t flags, uint16_t length,
                   const Bytes &payload) {
    Bytes out(w::kHeadSize + payload.size(), 0);
    w::writeHeader(out.data(), session, type, flags, length);
    if (!payload.empty()) std::memcpy(out.data() + w::kHeadSize, payload.data(), payload.size());
    return out;
}

namespace {
void putText(uint8_t *field, size_t size, const std::string &text) {
    std::memcpy(field, text.data(), std::min(text.size(), size - 1));
}
}  // namespace

Bytes makeLoginReply(uint32_t session, int32_t result, const std::string &addr,
                     const std::string &timeText) {
    Bytes data(w::kLoginReplySize, 0);
    w::writeLe32(data.data() + w::kLoginReplyOffResult, uint32_t(result));
    putText(data.data() + w::kLoginReplyOffAddr, w::kTextFieldSize, addr);
    putText(data.data() + w::kLoginReplyOffTime, w::kTextFieldSize, timeText);
    return makeFrame(session, XR_DEV_TCP_MSG_LOGIN, data.data(), data.size());
}

Bytes makeTextFrame(uint32_t session, uint8_t type, const std::string &text) {
    Bytes data(w::kTextFieldSize, 0);
    putText(data.data(), data.size(), text);
    return makeFrame(session, type, data.data(), data.size());
}

Bytes makeErrorFrame(uint32_t session, int32_t code) {
    uint8_t data[w::kErrorSize];
    w::writeLe32(data, uint32_t(code));
    return makeFrame(session, XR_DEV_TCP_MSG_ERROR, data, sizeof data);
}

std::string fieldText(const uint8_t *field, size_t size) {
    const void *nul = std::memchr(field, 0, size);
    size_t n = nul ? size_t(static_cast<const uint8_t *>(nul) - field) : size;
    return std::string(reinterpret_cast<const char *>(field), n);
}

const char *typeName(uint8_t type) {
    switch (type) {
        case XR_DEV_TCP_MSG_KEEPALIVE:
            return "keepalive";
        case XR_DEV_TCP_MSG_ERROR:
            return "error";
        case XR_DEV_TCP_MSG_LOGIN:
            return "login";
        case XR_DEV_TCP_MSG_LOGOUT:
            return "logout";
        case XR_DEV_TCP_MSG_REDIRECT:
            return "redirect";
        case XR_DEV_TCP_MSG_TIME:
            return "time";
        case XR_DEV_TCP_MSG_DATA:
            return "data";
        case XR_DEV_TCP_MSG_STR:
            return "str";
        case XR_DEV_TCP_MSG_WAKE:
            return "wake";
        default:
            return "other";
    }
}

}  // namespace agent
