#include "behaviour.h"

#include <algorithm>
#include <ctime>

#include "scenario_frames.h"
#include "wire.h"

namespace agent {

namespace {

std::string timeText() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char buf[64];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &local);
    return buf;
}

std::chrono::milliseconds msOf(unsigned ms) {
    return std::chrono::milliseconds(ms);
}

// Describes a frame's content for an rx or tx line.
void describeFrame(Event &e, uint32_t session, uint8_t type, uint32_t length, const Bytes &raw) {
    e.str("type", typeName(type)).num("type_id", type).num("session", session);
    e.num("length", length);
    e.hex("frame", raw.data(), raw.size(), true);
}

void describeContent(Event &e, uint8_t type, const std::string *peer, const Bytes &data) {
    if (peer) e.str("peer", *peer);
    if (type == XR_DEV_TCP_MSG_STR) {
        e.str("text", fieldText(data.data(), data.size()));
    } else if (type == XR_DEV_TCP_MSG_DATA) {
        e.num("size", int64_t(data.size())).hex("data_hex", data.data(), data.size());
    }
}

}  // namespace

Behaviour::Behaviour(const Options &options, Output &out)
    : opt_(options), out_(out), nextSession_(options.firstSession) {}

void Behaviour::onConnect(Connection &c) {
    ++connections_;
    out_.emit(Event("connect", c.id()).str("from", c.from()));
}

void Behaviour::send(Connection &c, Bytes frame, const std::string &note) {
    ++framesTx_;
    Event e("tx", c.id());
    uint32_t session = devtcp::wire::readLe32(frame.data());
    uint8_t type = frame[devtcp::wire::kOffType];
    uint32_t length = devtcp::wire::readLe16(frame.data() + devtcp::wire::kOffLength);
    describeFrame(e, session, type, length, frame);
    if (!note.empty()) e.str("note", note);
    out_.emit(e);
    c.queue(std::move(frame));
}

void Behaviour::reportRx(const Connection &c, const DeviceFrame &f) {
    Event e("rx", c.id());
    describeFrame(e, f.session, f.type, f.length, f.raw);
    if (f.type != XR_DEV_TCP_MSG_LOGIN)
        describeContent(e, f.type, f.hasPeer ? &f.peer : nullptr, f.data);
    if (f.peerOverrun) e.str("malformed", "peer-overrun");
    if (f.length > devtcp::wire::kMaxPayload) e.str("malformed", "oversize");
    // Once logged in, every frame of the device must carry its session.
    if (c.loggedIn) e.flag("session_ok", f.session == c.session);
    out_.emit(e);
}

bool Behaviour::onFrame(Connection &c, const DeviceFrame &f, Clock::time_point now) {
    ++framesRx_;
    ++c.framesRx;
    reportRx(c, f);
    if (!opt_.silent) {
        switch (f.type) {
            case XR_DEV_TCP_MSG_LOGIN:
                handleLogin(c, f, now);
                break;
            case XR_DEV_TCP_MSG_KEEPALIVE:
                if (c.loggedIn) send(c, makeFrame(c.session, XR_DEV_TCP_MSG_KEEPALIVE, nullptr, 0));
                break;
            case XR_DEV_TCP_MSG_LOGOUT:
                out_.emit(Event("logout", c.id()).str("user", c.user).num("session", f.session));
                c.loggedIn = false;
                break;
            case XR_DEV_TCP_MSG_DATA:
            case XR_DEV_TCP_MSG_STR:
                handleEcho(c, f, now);
                break;
            default:
                break;
        }
    }
    return !(opt_.closeAfter && c.framesRx >= opt_.closeAfter);
}

void Behaviour::handleLogin(Connection &c, const DeviceFrame &f, Clock::time_point now) {
    LoginRequest req = parseLoginRequest(f);
    int32_t result = 0;
    if (opt_.refuse)
        result = opt_.refuseCode;
    else if (!req.sizeOk || req.version != opt_.versionText)
        result = kResultBadRequest;
    else if (req.password != opt_.password)
        result = kResultBadPassword;

    uint32_t session = 0;
    if (result == 0) {
        session = nextSession_++;
        if (session == 0) session = nextSession_++;  // 0 means "no session" to a device
    }
    Event e("login", c.id());
    e.str("user", req.user).str("password", req.password).str("version", req.version);
    e.num("result", result).num("session", session).flag("accepted", result == 0);
    out_.emit(e);

    send(c, makeLoginReply(session, result, opt_.replyAddr, timeText()));
    if (result != 0) {
        ++refused_;
        c.loggedIn = false;
        return;
    }
    ++logins_;
    c.loggedIn = true;
    c.session = session;
    c.user = req.user;
    greet(c, now);
}

void Behaviour::greet(Connection &c, Clock::time_point now) {
    if (opt_.wake) send(c, makeFrame(c.session, XR_DEV_TCP_MSG_WAKE, nullptr, 0));
    if (opt_.sendError) send(c, makeErrorFrame(c.session, opt_.errorCode));
    if (opt_.wrongSession)
        for (auto &nf : wrongSessionFrames(c.session)) send(c, std::move(nf.frame), nf.note);
    if (opt_.malformed)
        for (auto &nf : malformedFrames(c.session, opt_.malformed))
            send(c, std::move(nf.frame), nf.note);
    c.nextDemo = now;
    c.nextTime = now + msOf(opt_.timeIntervalMs);
    if (opt_.demo) demoRound(c, now);
    if (!opt_.redirectAddr.empty())
        send(c, makeTextFrame(c.session, XR_DEV_TCP_MSG_REDIRECT, opt_.redirectAddr));
}

void Behaviour::demoRound(Connection &c, Clock::time_point now) {
    uint32_t seq = ++c.demoSeq;
    std::string text = "hello from " + opt_.peer + " #" + std::to_string(seq);
    Bytes str(text.begin(), text.end());
    str.push_back(0);  // a string message carries its NUL
    // Binary data with the bytes a text path would mangle: NUL, line ends, high bit.
    Bytes bin = {uint8_t(seq),
                 uint8_t(seq >> 8),
                 uint8_t(seq >> 16),
                 uint8_t(seq >> 24),
                 0x00,
                 0x0a,
                 0x0d,
                 0x7f,
                 0x80,
                 0xfe,
                 0xff,
                 0x01};
    send(c, makeFrame(c.session, XR_DEV_TCP_MSG_STR, str.data(), str.size(), &opt_.peer));
    demo_.sent(c.id(), XR_DEV_TCP_MSG_STR, seq, str, now);
    send(c, makeFrame(c.session, XR_DEV_TCP_MSG_DATA, bin.data(), bin.size(), &opt_.peer));
    demo_.sent(c.id(), XR_DEV_TCP_MSG_DATA, seq, bin, now);
    c.nextDemo = now + msOf(opt_.intervalMs);
}

void Behaviour::handleEcho(Connection &c, const DeviceFrame &f, Clock::time_point now) {
    Pending match;
    double rtt = 0;
    if (f.hasPeer && f.peer == opt_.peer && demo_.echoed(c.id(), f.type, f.data, now, match, rtt)) {
        Event e("echo", c.id());
        e.str("kind", typeName(f.type)).num("seq", match.seq).ms("rtt_ms", rtt);
        demo_.describe(e);
        out_.emit(e);
        return;
    }
    demo_.unmatched();
    out_.emit(Event("unmatched", c.id(), Level::Warn)
                  .str("kind", typeName(f.type))
                  .str("peer", f.hasPeer ? f.peer : "(none)")
                  .hex("data_hex", f.data.data(), f.data.size()));
}

void Behaviour::onTimer(Connection &c, Clock::time_point now) {
    if (!c.loggedIn || opt_.silent) return;
    if (opt_.demo && now >= c.nextDemo) demoRound(c, now);
    if (opt_.timeIntervalMs && now >= c.nextTime) {
        send(c, makeTextFrame(c.session, XR_DEV_TCP_MSG_TIME, timeText()));
        c.nextTime = now + msOf(opt_.timeIntervalMs);
    }
}

Clock::time_point Behaviour::nextDue(const Connection &c) const {
    Clock::time_point due = Clock::time_point::max();
    if (!c.loggedIn || opt_.silent) return due;
    if (opt_.demo) due = std::min(due, c.nextDemo);
    if (opt_.timeIntervalMs) due = std::min(due, c.nextTime);
    return due;
}

void Behaviour::onClose(Connection &c, const std::string &reason, int error) {
    Event e("close", c.id());
    e.str("reason", reason);
    if (error) e.num("errno", error);
    e.num("frames_rx", int64_t(c.framesRx)).num("frames_tx", int64_t(c.framesTx));
    e.num("writes", int64_t(c.writes())).num("bytes_out", int64_t(c.bytesOut()));
    out_.emit(e);
    for (const auto &p : demo_.dropConnection(c.id()))
        out_.emit(
            Event("lost", p.conn, Level::Warn).str("kind", typeName(p.type)).num("seq", p.seq));
}

void Behaviour::expireEchoes(Clock::time_point now) {
    for (const auto &p : demo_.expire(now, msOf(opt_.echoTimeoutMs)))
        out_.emit(
            Event("lost", p.conn, Level::Warn).str("kind", typeName(p.type)).num("seq", p.seq));
}

void Behaviour::summary(const std::string &why) {
    Event e("summary", 0, Level::Summary);
    e.str("why", why).num("connections", int64_t(connections_)).num("logins", int64_t(logins_));
    e.num("refused", int64_t(refused_)).num("frames_rx", int64_t(framesRx_));
    e.num("frames_tx", int64_t(framesTx_)).num("demo_sent", int64_t(demo_.sentCount()));
    demo_.describe(e);
    out_.emit(e);
}

}  // namespace agent
