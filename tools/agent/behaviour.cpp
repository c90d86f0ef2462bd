// SPDX-License-Identifier: MIT
#include "behaviour.h"

#include <algorithm>
#include <ctime>

#include "chaos.h"
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

const char *Behaviour::onConnect(Connection &c) {
    ++connections_;
    out_.emit(Event("connect", c.id()).str("from", c.from()).str("to", c.local()));
    if (!opt_.chaos) return nullptr;
    ChaosPlan plan =
        makeChaosPlan(opt_, opt_.chaosSeed, c.id(), lastBackedOff_, addrs_, c.local(), lastLogin_);
    lastBackedOff_ = backsOff(plan.ending);
    c.opt = plan.opt;
    Event e("chaos", c.id());
    describePlan(e, plan);
    out_.emit(e);
    return nullptr;
}

void Behaviour::onWritten(Connection &c) {
    for (uint64_t tag : c.takeWritten()) {
        if (tag == c.refusalTag) {
            c.closeRequest = kReasonRefused;
            continue;
        }
        if (tag == c.replyTag) {
            lastLogin_ = c.local();
            continue;
        }
        demo_.written(tag, Clock::now());
        if (opt_.chaos) out_.emit(Event("written", c.id()).num("msg", int64_t(tag)));
    }
}

void Behaviour::send(Connection &c, Bytes frame, const std::string &note, uint64_t tag) {
    ++framesTx_;
    Event e("tx", c.id());
    devtcp::wire::Header h = devtcp::wire::readHeader(frame.data());
    describeFrame(e, h.uSessID, uint8_t(h.uType), h.uPayload, frame);
    if (!note.empty()) e.str("note", note);
    if (tag) e.num("msg", int64_t(tag));
    out_.emit(e);
    c.queue(std::move(frame), tag);
}

void Behaviour::reportRx(const Connection &c, const DeviceFrame &f) {
    Event e("rx", c.id());
    describeFrame(e, f.session, f.type, f.length, frameToShow(f, opt_.showPasswords));
    if (f.type != XR_DEV_TCP_MSG_LOGIN)
        describeContent(e, f.type, f.hasPeer ? &f.peer : nullptr, f.data);
    if (f.peerOverrun) e.str("malformed", "peer-overrun");
    if (f.length > devtcp::wire::kMaxPayload) e.str("malformed", "oversize");
    // Once logged in, every frame of the device must carry its session.
    if (c.loggedIn) e.flag("session_ok", f.session == c.session);
    out_.emit(e);
}

const char *Behaviour::onFrame(Connection &c, const DeviceFrame &f, Clock::time_point now) {
    ++framesRx_;
    ++c.framesRx;
    reportRx(c, f);
    if (!c.opt.silent) {
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
                // The device closes next, maybe with a reset for the frames it left
                // unread; either way its link ended as it meant to.
                return kReasonLogout;
            case XR_DEV_TCP_MSG_DATA:
            case XR_DEV_TCP_MSG_STR:
                handleEcho(c, f, now);
                break;
            default:
                break;
        }
    }
    return c.opt.closeAfter && c.framesRx >= c.opt.closeAfter ? "close-after" : nullptr;
}

void Behaviour::handleLogin(Connection &c, const DeviceFrame &f, Clock::time_point now) {
    if (c.opt.replyDelayMs) {
        // Silence before the reply, once per connection.
        c.replyPending = true;
        c.deferredLogin = f;
        c.replyAt = now + msOf(c.opt.replyDelayMs);
        c.opt.replyDelayMs = 0;
        return;
    }
    LoginRequest req = parseLoginRequest(f);
    int32_t result = 0;
    if (c.opt.refuse)
        result = c.opt.refuseCode;
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
    e.str("user", req.user).str("password", opt_.showPasswords ? req.password : "***");
    e.str("version", req.version);
    e.num("result", result).num("session", session).flag("accepted", result == 0);
    out_.emit(e);

    // In chaos mode the reply names only another address, where the device goes.
    bool loginHere = !opt_.chaos || c.opt.replyAddr.empty();
    c.replyTag = opt_.chaos && result == 0 && loginHere ? ++messages_ : 0;
    c.refusalTag = result != 0 ? ++messages_ : 0;
    send(c, makeLoginReply(session, result, c.opt.replyAddr, timeText()), "",
         c.replyTag | c.refusalTag);
    if (result != 0) {
        ++refused_;
        c.loggedIn = false;
        c.paused = true;  // nothing more is taken from it: no second guess
        return;
    }
    ++logins_;
    c.loginBy = Clock::time_point::max();
    if (!loginHere) return;
    c.loggedIn = true;
    c.session = session;
    c.user = req.user;
    greet(c, now);
}

void Behaviour::greet(Connection &c, Clock::time_point now) {
    const Options &o = c.opt;
    uint64_t before = c.framesTx;
    if (o.wake) send(c, makeFrame(c.session, XR_DEV_TCP_MSG_WAKE, nullptr, 0));
    if (o.sendError) send(c, makeErrorFrame(c.session, o.errorCode));
    if (o.wrongSession)
        for (auto &nf : wrongSessionFrames(c.session)) send(c, std::move(nf.frame), nf.note);
    if (o.malformed)
        for (auto &nf : malformedFrames(c.session, o.malformed))
            send(c, std::move(nf.frame), nf.note);
    c.nextDemo = now;
    // In chaos mode the first demo round waits until a device handling a frame per 50 ms
    // tick is through the greeting, so that its echo is due within a second.
    if (opt_.chaos) c.nextDemo += msOf(unsigned(60 * (c.framesTx - before)));
    c.nextTime = now + msOf(o.timeIntervalMs);
    if (opt_.demo && c.nextDemo <= now) demoRound(c, now);
    if (o.redirectAddr.empty()) return;
    if (o.redirectAfterMs)
        c.redirectAt = now + msOf(o.redirectAfterMs);
    else
        send(c, makeTextFrame(c.session, XR_DEV_TCP_MSG_REDIRECT, o.redirectAddr));
}

void Behaviour::demoRound(Connection &c, Clock::time_point now) {
    uint32_t seq = ++c.demoSeq;
    // Chaos mode names the connection too, so that every message is told apart.
    std::string text = "hello from " + opt_.peer + " #" +
                       (opt_.chaos ? std::to_string(c.id()) + "." : "") + std::to_string(seq);
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
    if (opt_.chaos)
        for (int shift = 0; shift < 32; shift += 8) bin.push_back(uint8_t(c.id() >> shift));
    if (!opt_.onePerRound || seq % 2 == 1) {
        send(c, makeFrame(c.session, XR_DEV_TCP_MSG_STR, str.data(), str.size(), &opt_.peer), "",
             ++messages_);
        demo_.sent(c.id(), XR_DEV_TCP_MSG_STR, seq, str, now, messages_);
    }
    if (!opt_.onePerRound || seq % 2 == 0) {
        send(c, makeFrame(c.session, XR_DEV_TCP_MSG_DATA, bin.data(), bin.size(), &opt_.peer), "",
             ++messages_);
        demo_.sent(c.id(), XR_DEV_TCP_MSG_DATA, seq, bin, now, messages_);
    }
    c.nextDemo = now + msOf(c.opt.intervalMs);
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
    // The data's first bytes are enough for a person; a device sets its size.
    out_.emit(Event("unmatched", c.id(), Level::Warn)
                  .str("kind", typeName(f.type))
                  .str("peer", f.hasPeer ? f.peer : "(none)")
                  .num("size", int64_t(f.data.size()))
                  .hex("data_hex", f.data.data(), std::min<size_t>(f.data.size(), 64)));
}

void Behaviour::onTimer(Connection &c, Clock::time_point now) {
    if (c.replyPending && now >= c.replyAt) {
        c.replyPending = false;
        handleLogin(c, c.deferredLogin, now);
    }
    if (!c.loggedIn || c.leaving || c.opt.silent) return;
    if (opt_.demo && now >= c.nextDemo) demoRound(c, now);
    if (c.opt.timeIntervalMs && now >= c.nextTime) {
        send(c, makeTextFrame(c.session, XR_DEV_TCP_MSG_TIME, timeText()));
        c.nextTime = now + msOf(c.opt.timeIntervalMs);
    }
    if (now >= c.redirectAt) {
        send(c, makeTextFrame(c.session, XR_DEV_TCP_MSG_REDIRECT, c.opt.redirectAddr));
        c.leaving = true;
    }
}

Clock::time_point Behaviour::nextDue(const Connection &c) const {
    Clock::time_point due = c.replyPending ? c.replyAt : Clock::time_point::max();
    if (!c.loggedIn || c.leaving || c.opt.silent) return due;
    if (opt_.demo) due = std::min(due, c.nextDemo);
    if (c.opt.timeIntervalMs) due = std::min(due, c.nextTime);
    return std::min(due, c.redirectAt);
}

void Behaviour::onClose(Connection &c, const std::string &reason, int error) {
    Event e("close", c.id());
    e.str("reason", reason);
    if (error) e.num("errno", error);
    e.num("frames_rx", int64_t(c.framesRx)).num("frames_tx", int64_t(c.framesTx));
    e.num("writes", int64_t(c.writes())).num("bytes_out", int64_t(c.bytesOut()));
    out_.emit(e);
    // Echoes still awaited were in flight when the link ended, whoever ended it: only
    // one that does not come while its link stays open is lost.
    for (const auto &p : demo_.dropConnection(c.id()))
        out_.emit(Event("in_flight", p.conn)
                      .str("kind", typeName(p.type))
                      .num("seq", p.seq)
                      .str("reason", reason));
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
