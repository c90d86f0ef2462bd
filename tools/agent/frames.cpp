// SPDX-License-Identifier: MIT
#include "frames.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "wire.h"

namespace agent {

namespace w = devtcp::wire;

bool cutFrame(Bytes &buf, DeviceFrame &f) {
    size_t total = readFrame(buf.data(), buf.size(), f);
    buf.erase(buf.begin(), buf.begin() + long(total));
    return total > 0;
}

size_t readFrame(const uint8_t *p, size_t size, DeviceFrame &f) {
    if (size < w::kHeadSize) return 0;
    w::Header h = w::readHeader(p);
    size_t total = w::kHeadSize + h.uPayload;
    if (size < total) return 0;

    f = DeviceFrame();
    f.session = h.uSessID;
    f.type = uint8_t(h.uType);
    f.flags = uint8_t(h.uFlags);
    f.length = h.uPayload;
    f.raw.assign(p, p + total);
    f.hasPeer = h.uFlags & XR_DEV_TCP_FLAG_PEER;
    w::Body b;
    f.peerOverrun = !w::readBody(p + w::kHeadSize, h.uPayload, h.uFlags, b);
    if (!f.peerOverrun) {
        if (b.bPeer) f.peer = fieldText(p + w::kOffPeerName, b.uPeerSize);
        f.data.assign(p + w::kHeadSize + b.uDataOff, p + total);
    }
    return total;
}

LoginRequest parseLoginRequest(const DeviceFrame &f) {
    LoginRequest r;
    r.sizeOk = !f.hasPeer && f.data.size() == w::kLoginReqSize;
    if (!r.sizeOk) return r;
    const uint8_t *d = f.data.data();
    r.user = fieldText(d, w::kLoginReqOffPass);
    r.password = fieldText(d + w::kLoginReqOffPass, w::kLoginReqOffVersion - w::kLoginReqOffPass);
    r.version = fieldText(d + w::kLoginReqOffVersion, w::kLoginReqSize - w::kLoginReqOffVersion);
    return r;
}

Bytes frameToShow(const DeviceFrame &f, bool showPasswords) {
    Bytes out = f.raw;
    if (showPasswords || f.type != XR_DEV_TCP_MSG_LOGIN || f.data.size() != w::kLoginReqSize)
        return out;
    uint8_t *pass = out.data() + (out.size() - f.data.size()) + w::kLoginReqOffPass;
    std::memset(pass, 0, w::kLoginReqOffVersion - w::kLoginReqOffPass);
    std::memcpy(pass, "***", 3);
    return out;
}

std::string linesToShow(const std::string &text, bool showPasswords) {
    if (showPasswords) return text;
    static const std::string kKey = " pass=";
    std::string out;
    bool quoted = false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (quoted) {
            out += text[i];
            if (text[i] == '\\' && i + 1 < text.size()) {
                out += text[++i];
            } else if (text[i] == '"') {
                quoted = false;
            }
        } else if (text.compare(i, kKey.size(), kKey) == 0) {
            // The word is bare (letters, digits, "._:-") or quoted with \" and \\ escapes.
            size_t end = i + kKey.size();
            if (end < text.size() && text[end] == '"') {
                for (++end; end < text.size() && text[end] != '"'; ++end)
                    if (text[end] == '\\') ++end;
                ++end;
            } else {
                while (end < text.size() && text[end] != '\0' &&
                       (std::isalnum(uint8_t(text[end])) || std::strchr("._:-", text[end])))
                    ++end;
            }
            out += kKey + "***";
            i = std::min(end, text.size()) - 1;
        } else {
            out += text[i];
            quoted = text[i] == '"';
        }
    }
    return out;
}

Bytes makeFrame(uint32_t session, uint8_t type, const uint8_t *data, size_t size,
                const std::string *peer) {
    uint32_t peerLen = peer ? uint32_t(peer->size() + 1) : 0;  // the NUL is counted
    Bytes out(w::frameSize(uint32_t(size), peerLen), 0);
    w::writeFrame(out.data(), session, type, data, uint32_t(size), peer ? peer->c_str() : nullptr,
                  peerLen);
    return out;
}

Bytes makeRawFrame(uint32_t session, uint8_t type, uint8_t flags, uint16_t length,
                   const Bytes &payload) {
    Bytes out(w::kHeadSize + payload.size(), 0);
    w::writeHeader(out.data(), session, type, flags, length);
    if (!payload.empty()) std::memcpy(out.data() + w::kHeadSize, payload.data(), payload.size());
    return out;
}

Bytes makeLoginReply(uint32_t session, int32_t result, const std::string &addr,
                     const std::string &timeText) {
    uint8_t data[w::kLoginReplySize];
    w::writeLoginReply(data, result, addr.c_str(), timeText.c_str());
    return makeFrame(session, XR_DEV_TCP_MSG_LOGIN, data, sizeof data);
}

Bytes makeTextFrame(uint32_t session, uint8_t type, const std::string &text) {
    uint8_t data[w::kTextFieldSize];
    w::writeField(data, sizeof data, text.c_str());
    return makeFrame(session, type, data, sizeof data);
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
