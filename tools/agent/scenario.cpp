// SPDX-License-Identifier: MIT
#include "scenario.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>

#include "frames.h"
#include "server.h"
#include "wire.h"

namespace agent {

namespace {

namespace n = notation;
namespace w = devtcp::wire;

// clang-format off
const n::Form kForms[] = {
    {kOpExpect, "expect", 0, {}, ""},
    {kOpSend, "send", 2, {n::kFrameNames[0], n::kFrameNames[1], n::kFrameNames[2],
        n::kFrameNames[3], n::kFrameNames[4], n::kFrameNames[5], n::kFrameNames[6],
        n::kFrameNames[7], n::kFrameNames[8], n::kFrameNames[9], n::kFrameNames[10],
        n::kFrameNames[11], n::kFrameNames[12], n::kFrameNames[13], n::kFrameNames[14]},
        n::kFrameKinds},
    {kOpWait, "wait", 1, {"ms"}, "n"},
    {kOpSilent, "silent", 1, {"ms"}, "n"},
    {kOpClose, "close", 0, {}, ""},
    {kOpQuiet, "quiet", 0, {}, ""},
};
// clang-format on

// The words of a described frame that a pattern may name, besides its type and texts.
const char *const kPatternKeys[] = {"sess", "peer", "user", "pass", "version", "size"};
const char *const kTypeWords[] = {"KEEPALIVE", "ERROR", "LOGIN", "LOGOUT", "REDIRECT",
                                  "TIME",      "DATA",  "STR",   "close"};
constexpr uint32_t kMaxPatternWords = 12;  // what notation::matches() looks at

// A pattern is a described frame's first word (or "close", or a type number) and words
// that such a line may carry: a typing error is found when the file is read, not after
// a step has waited for nothing.
const char *checkPattern(const std::string &pattern) {
    n::Tok t[kMaxPatternWords + 1];
    uint32_t count = n::tokens({pattern.data(), pattern.size()}, t, kMaxPatternWords + 1);
    if (count == 0) return "a pattern is needed";
    if (count > kMaxPatternWords) return "a pattern has at most 12 words";
    bool typed = std::all_of(t[0].p, t[0].p + t[0].n, [](char c) { return c >= '0' && c <= '9'; });
    for (const char *word : kTypeWords) typed = typed || n::same(t[0], word);
    if (!typed) return "a pattern starts with a frame type or close";
    unsigned seen = 0;
    for (uint32_t i = 1; i < count; ++i) {
        auto eq = static_cast<const char *>(std::memchr(t[i].p, '=', t[i].n));
        if (!eq || t[i].p[0] == '"') continue;
        unsigned key = 0;
        for (unsigned k = 0; k < sizeof kPatternKeys / sizeof *kPatternKeys; ++k)
            if (n::same({t[i].p, size_t(eq - t[i].p)}, kPatternKeys[k])) key = 1u << k;
        if (!key) return "a pattern's key=value word names sess, peer, user, pass, version or size";
        if (seen & key) return "a pattern names a key twice";
        seen |= key;
    }
    return nullptr;
}

// Times are written in digits (the notation's numbers also take type names, and "quiet
// LOGOUT", its time left out, is not to be read as 3 ms), from 0 to 2^31-1 ms.
bool readTime(n::Tok t, int32_t &ms, const char *&why) {
    if (t.n == 0 || t.p[0] < '0' || t.p[0] > '9') return why = "not a time", false;
    if (!n::parseNumber(t.p, t.n, ms) || ms < 0)
        return why = "a time is at most 2147483647 ms", false;
    return true;
}

// A step ready to run.
struct Action {
    uint8_t code = 0;
    bool hasMs = false;
    int32_t ms = 0;
    std::string pattern;  // expect and quiet
    n::Op op;             // send (the notation's fields)
};

// expect and quiet take a pattern of free words: "expect STR "hi" within=500".
bool parsePattern(const std::string &text, Action &a, const char *&why, size_t &column) {
    const char *line = text.c_str();
    n::Tok rest = {line, n::opLength(line)}, t;
    n::tokens(rest, &t, 1);  // the operation's word
    for (rest = {t.p + t.n, rest.n - size_t(t.p + t.n - line)}; n::tokens(rest, &t, 1);
         rest = {t.p + t.n, rest.n - size_t(t.p + t.n - rest.p)}) {
        column = size_t(t.p - line) + 1;
        bool within = a.code == kOpExpect && t.n > 7 && !std::memcmp(t.p, "within=", 7);
        if (within || (a.code == kOpQuiet && !a.hasMs)) {
            if (a.hasMs) return why = "a field given twice", false;
            n::Tok v = within ? n::Tok{t.p + 7, t.n - 7} : t;
            if (!readTime(v, a.ms, why)) return false;
            a.hasMs = true;
            continue;
        }
        a.pattern += (a.pattern.empty() ? "" : " ") + std::string(t.p, t.n);
    }
    column = 0;
    if (a.code == kOpQuiet && !a.hasMs) return why = "quiet needs its time", false;
    if (a.code == kOpExpect || !a.pattern.empty())
        if ((why = checkPattern(a.pattern))) return false;
    return true;
}

// Frame fields the notation reads as 32-bit numbers that a frame holds in fewer bits.
const char *checkSend(const n::Op &op) {
    auto in = [&op](uint32_t f, int64_t lo, int64_t hi) {
        return !op.has(f) || (op.num[f] >= lo && op.num[f] <= hi);
    };
    if (!op.has(n::kType)) return "send needs a frame type";
    if (!in(n::kType, 0, 255) && op.num[n::kType] != n::kRaw && op.num[n::kType] != n::kClose)
        return "a frame type is from 0 to 255";
    if (!in(n::kFlags, 0, 255)) return "flags= is from 0 to 255";
    if (!in(n::kPeerSize, 0, 0xFFFF) || !in(n::kLen, 0, 0xFFFF) || !in(n::kSize, 0, 0xFFFF))
        return "peersize=, len= and size= are from 0 to 65535";
    if (!in(n::kCut, 0, 0xFFFF + w::kHeadSize)) return "cut= is from 0 to 65543";
    if (!in(n::kJoin, 0, 1)) return "join= is 0 or 1";
    return nullptr;
}

bool parseStep(const std::string &text, Action &a, const char *&why, size_t &column) {
    a = Action();
    size_t length = n::opLength(text.c_str()), open = n::openQuote(text.data(), length);
    column = open < length ? open + 1 : 0;
    if (column) return why = "a quote is not closed", false;
    n::Tok first = {"", 0};
    n::tokens({text.data(), length}, &first, 1);
    if (n::same(first, "expect") || n::same(first, "quiet")) {
        a.code = n::same(first, "expect") ? kOpExpect : kOpQuiet;
        return parsePattern(text, a, why, column);
    }
    if (!n::parseOp(kScenarioLanguage, text.c_str(), a.op, why, column)) return false;
    a.code = a.op.code;
    if (a.code == kOpWait || a.code == kOpSilent) {
        n::Tok t[2] = {{"", 0}, {"", 0}};
        n::tokens({text.data(), length}, t, 2);
        n::Tok v =
            t[1].n > 3 && !std::memcmp(t[1].p, "ms=", 3) ? n::Tok{t[1].p + 3, t[1].n - 3} : t[1];
        if ((a.hasMs = a.op.has(kFieldMs)) && !readTime(v, a.ms, why))
            return column = size_t(t[1].p - text.data()) + 1, false;
    }
    if (a.code == kOpWait && !a.hasMs) return why = "wait needs its time", false;
    if (a.code == kOpSend && (why = checkSend(a.op))) return false;
    return true;
}

// Every "{agent}" in @p s as @p addr, in one pass.
std::string withAgent(const std::string &s, const std::string &addr) {
    static const std::string kWord = "{agent}";
    std::string out;
    size_t from = 0;
    for (size_t at; (at = s.find(kWord, from)) != std::string::npos; from = at + kWord.size())
        out.append(s, from, at - from).append(addr);
    return out.append(s, from, std::string::npos);
}

// At most @p most characters of a text for a person to read: control bytes escaped, and
// how much was left out.
std::string excerpt(const std::string &s, size_t most) {
    std::string out;
    size_t i = 0;
    for (; i < s.size() && out.size() < most; ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c < 0x7F) {
            out += char(c);
        } else {
            const char hex[] = {'\\', 'x', "0123456789abcdef"[c >> 4], "0123456789abcdef"[c & 15]};
            out.append(hex, 4);
        }
    }
    if (i < s.size()) out += "... (" + std::to_string(s.size()) + " bytes)";
    return out;
}

// A frame as a line, whole, however long.
std::string described(const uint8_t *frame, size_t size, bool whole) {
    std::vector<char> room(n::describedRoom(size) + 16);
    n::Line l(room.data(), room.size());
    if (whole)
        n::describeFrame(frame, l);
    else
        l.put("bytes ").bytes(frame, size);
    return std::string(l.s, l.n);
}

// ---- Playing

using Ms = std::chrono::milliseconds;
constexpr Ms kWriteLimit{10000};     // a device that takes no bytes for this long fails a send
constexpr size_t kShownLines = 4;    // of what came during a failed step
constexpr size_t kShownChars = 300;  // of a frame's line in an event or a verdict
constexpr size_t kMaxWaiting = 8;    // connections waiting for the device's to end
constexpr uint32_t kFrameRoom = w::kHeadSize + 0x10000;  // a header's length field at most
// What came and no step has looked at yet, at most: beyond it the device is not read
// until a step has taken some.
constexpr size_t kMaxHeldLines = 4096;
constexpr size_t kMaxHeldChars = 1024 * 1024;

class Player : public Role {
  public:
    Player(const Options &o, Output &out, Script script)
        : opt_(o), out_(out), script_(std::move(script)), nextSession_(o.firstSession) {
        out_.emit(Event("scenario", 0, Level::Summary)
                      .str("file", opt_.scenario)
                      .num("steps", int64_t(script_.steps.size())));
    }

    void onListen(const std::string &addr) override { addr_ = addr; }
    const char *onConnect(Connection &c) override;
    const char *onFrame(Connection &c, const DeviceFrame &f, Clock::time_point now) override;
    // The keepalive answers of a turn, in one write.
    void onTimer(Connection &c, Clock::time_point) override {
        if (&c == conn_ && !answers_.empty()) c.queue(std::move(answers_));
        answers_.clear();
    }
    Clock::time_point nextDue(const Connection &) const override {
        return Clock::time_point::max();
    }
    void onWritten(Connection &c) override;
    void onClose(Connection &c, const std::string &reason, int error) override;
    void onTurn(Clock::time_point now) override;
    Clock::time_point due() const override {
        // "At once" is the clock's start: far in the past, and no overflow for the loop.
        return wake_ ? Clock::time_point() : active_ ? deadline_ : Clock::time_point::max();
    }
    bool done() const override { return finished_; }
    int finish(const std::string &why) override;

  private:
    enum class Verdict { Pending, Pass, Fail };
    void start(Clock::time_point now);
    Verdict progress(Clock::time_point now);
    Verdict send(Clock::time_point now);
    void report(bool ok);
    void takeTurn();
    std::string nextLine();

    const Options &opt_;
    Output &out_;
    Script script_;
    std::string addr_;
    Connection *conn_ = nullptr;        // the device in play
    std::deque<Connection *> waiting_;  // connections after it, oldest first, paused
    // What the device did and no step has looked at yet, in order: its frames as
    // described lines, and "close" when its connection ended.
    std::deque<std::string> lines_;
    size_t heldChars_ = 0;
    uint32_t session_ = 0;  // of the last accepted login reply sent
    uint32_t nextSession_;
    Clock::time_point silentUntil_;  // keepalives go unanswered until then
    std::vector<Bytes> unit_;        // the pieces of frames joined to the next send's
    Bytes answers_;                  // to the device's keepalives, not yet queued
    uint32_t passed_ = 0, failed_ = 0;

    // The step in play.
    size_t step_ = 0;
    bool active_ = false, finished_ = false, wake_ = true;
    Action action_;
    std::string detail_;
    Clock::time_point started_, deadline_;
    std::vector<std::string> came_;  // the last lines passed over, for a failed step
    size_t passedOver_ = 0;
    int sendConn_ = 0;
    uint64_t sendTag_ = 0;
    bool sendWritten_ = false;
};

const char *Player::onConnect(Connection &c) {
    c.loginBy = Clock::time_point::max();  // the steps say how long a login may take
    Event e("connect", c.id());
    e.str("from", c.from()).str("to", c.local());
    if (conn_ && waiting_.size() >= kMaxWaiting) {
        out_.emit(e);
        out_.emit(Event("warning", c.id(), Level::Warn)
                      .str("message", "too many connections waiting: closed")
                      .str("from", c.from()));
        return "too many connections waiting";
    }
    // One device at a time: a connection that comes while the device's is open (its next
    // one, maybe, before the close of this one is read) waits, unread, for its turn.
    if (conn_) e.str("note", "waits for the open connection to end");
    out_.emit(e);
    c.paused = conn_ != nullptr;
    (conn_ ? waiting_.emplace_back() : conn_) = &c;
    wake_ = true;
    return nullptr;
}

const char *Player::onFrame(Connection &c, const DeviceFrame &f, Clock::time_point now) {
    std::string line = described(f.raw.data(), f.raw.size(), true);
    if (out_.shows(Level::Info))
        out_.emit(Event("rx", c.id())
                      .str("frame", excerpt(linesToShow(line, opt_.showPasswords), kShownChars)));
    heldChars_ += line.size();
    lines_.push_back(std::move(line));
    if (lines_.size() >= kMaxHeldLines || heldChars_ >= kMaxHeldChars) c.paused = true;
    wake_ = true;
    if (f.type == XR_DEV_TCP_MSG_KEEPALIVE && now >= silentUntil_) {
        Bytes answer = makeFrame(session_, XR_DEV_TCP_MSG_KEEPALIVE, nullptr, 0);
        if (out_.shows(Level::Info))
            out_.emit(Event("tx", c.id())
                          .str("frame", described(answer.data(), answer.size(), true))
                          .str("note", "keepalive answer"));
        answers_.insert(answers_.end(), answer.begin(), answer.end());
    }
    return nullptr;
}

void Player::onWritten(Connection &c) {
    for (uint64_t tag : c.takeWritten()) sendWritten_ = sendWritten_ || tag == sendTag_;
    wake_ = true;
}

// A connection's end, with the writes made on it. The device's end is a line "close" for
// the steps, which then go on with the next connection.
void Player::onClose(Connection &c, const std::string &reason, int error) {
    Event e("close", c.id());
    e.str("reason", reason);
    if (error) e.num("errno", error);
    e.num("writes", int64_t(c.writes())).num("bytes_out", int64_t(c.bytesOut()));
    out_.emit(e);
    waiting_.erase(std::remove(waiting_.begin(), waiting_.end(), &c), waiting_.end());
    if (&c != conn_) return;
    lines_.push_back("close");
    conn_ = nullptr;
    answers_.clear();
    takeTurn();
}

void Player::takeTurn() {
    wake_ = true;
    if (conn_ || waiting_.empty()) return;
    conn_ = waiting_.front();
    waiting_.pop_front();
    conn_->paused = false;
    out_.emit(Event("turn", conn_->id()).str("note", "the scenario goes on on this connection"));
}

std::string Player::nextLine() {
    std::string l = std::move(lines_.front());
    lines_.pop_front();
    heldChars_ -= l == "close" ? 0 : l.size();
    // Room again: the device is read on.
    if (conn_ && conn_->paused && lines_.size() < kMaxHeldLines && heldChars_ < kMaxHeldChars)
        conn_->paused = false;
    return l;
}

void Player::onTurn(Clock::time_point now) {
    wake_ = false;
    while (!finished_) {
        if (!active_) {
            if (step_ == script_.steps.size()) {
                finished_ = true;
                for (Connection *c : waiting_) c->closeRequest = "scenario ended";
                if (conn_) conn_->closeRequest = "scenario ended";
                return;
            }
            start(now);
        }
        Verdict v = progress(now);
        if (v == Verdict::Pending) return;
        report(v == Verdict::Pass);
    }
}

void Player::start(Clock::time_point now) {
    active_ = true;
    detail_.clear();
    came_.clear();
    passedOver_ = 0;
    started_ = now;
    const char *why = "";
    size_t column = 0;
    // "{agent}": the address the device came in on, or else the one listened on.
    if (!parseStep(withAgent(script_.step(step_), conn_ ? conn_->local() : addr_), action_, why,
                   column)) {
        action_.code = 0;
        detail_ = why;
        return;
    }
    deadline_ = now + Ms(action_.hasMs ? action_.ms : kDefaultWithinMs);
    if (action_.code == kOpSend) deadline_ = Clock::time_point::max();  // set once queued
}

Player::Verdict Player::progress(Clock::time_point now) {
    switch (action_.code) {
        case kOpExpect: {
            while (!lines_.empty()) {
                std::string l = nextLine();
                if (n::matches({action_.pattern.data(), action_.pattern.size()}, l.c_str())) {
                    auto ms = std::chrono::duration_cast<Ms>(now - started_).count();
                    detail_ = excerpt(l, kShownChars) + " (after " + std::to_string(ms) + " ms)";
                    return Verdict::Pass;
                }
                if (++passedOver_, came_.push_back(std::move(l)), came_.size() > kShownLines)
                    came_.erase(came_.begin());
                // A closed connection ends what this step may hear: what comes after it is
                // another connection's.
                if (came_.back() == "close")
                    return detail_ = "the device closed the connection first", Verdict::Fail;
            }
            if (now < deadline_) return Verdict::Pending;
            detail_ = "nothing like it within " + std::to_string(action_.ms) + " ms";
            return Verdict::Fail;
        }
        case kOpQuiet:
            // Without a pattern anything but a keepalive breaks the quiet: a device sends
            // those on its own once the agent has said nothing for a while.
            while (!lines_.empty()) {
                std::string l = nextLine();
                if (action_.pattern.empty()
                        ? l.rfind("KEEPALIVE", 0) != 0
                        : n::matches({action_.pattern.data(), action_.pattern.size()}, l.c_str())) {
                    auto ms = std::chrono::duration_cast<Ms>(now - started_).count();
                    detail_ =
                        "came after " + std::to_string(ms) + " ms: " + excerpt(l, kShownChars);
                    return Verdict::Fail;
                }
            }
            return now < deadline_ ? Verdict::Pending : Verdict::Pass;
        case kOpSend:
            return send(now);
        case kOpClose:
            if (!conn_) return detail_ = "no device connection", Verdict::Fail;
            conn_->closeRequest = "scenario";
            conn_ = nullptr;
            takeTurn();
            return Verdict::Pass;
        case kOpWait:
            return now < deadline_ ? Verdict::Pending : Verdict::Pass;
        case kOpSilent:
            silentUntil_ = action_.hasMs ? now + Ms(action_.ms) : Clock::time_point::max();
            detail_ = "keepalives go unanswered " +
                      (action_.hasMs ? "for " + std::to_string(action_.ms) + " ms" : "from now on");
            return Verdict::Pass;
        default:
            if (detail_.empty()) detail_ = "not an operation of a scenario";
            return Verdict::Fail;
    }
}

Player::Verdict Player::send(Clock::time_point now) {
    if (deadline_ != Clock::time_point::max()) {  // queued: done once the last byte is written
        if (sendWritten_) return Verdict::Pass;
        if (!conn_ || conn_->id() != sendConn_)
            return detail_ += "; the connection ended before it was written", Verdict::Fail;
        if (now < deadline_) return Verdict::Pending;
        detail_ += "; not all written within 10 s: the device reads nothing";
        return Verdict::Fail;
    }
    const n::Op &op = action_.op;
    if (op.num[n::kType] == n::kClose) {
        action_.code = kOpClose;
        return progress(now);
    }
    if (!conn_) return detail_ = "no device connection", unit_.clear(), Verdict::Fail;
    int32_t type = op.num[n::kType];
    uint32_t session = session_;
    // A login reply that accepts gives the device its session (the next one from
    // --first-session unless it names one); the frames after it carry that one unless
    // they say otherwise. A reply cut short or with a length that lies gives none.
    if (type == XR_DEV_TCP_MSG_LOGIN && !op.has(n::kBody) && !op.has(n::kLen) && !op.has(n::kCut)) {
        bool accepted = op.num[n::kResult] == 0;
        session = op.has(n::kSess) ? uint32_t(op.num[n::kSess]) : accepted ? nextSession_++ : 0;
        if (accepted && !op.has(n::kSess) && session == 0) session = nextSession_++;
        if (accepted) session_ = session;
    }
    Bytes frame(kFrameRoom + 8, 0);
    int32_t size = n::buildFrame(op, session, frame.data(), kFrameRoom);
    if (size < 0)
        return detail_ = "the frame does not fit in 65543 bytes", unit_.clear(), Verdict::Fail;
    // Described as the device's frames are, when the bytes are one whole frame.
    w::Header h = w::readHeader(frame.data());
    bool whole = type != n::kRaw && !op.has(n::kCut) && uint32_t(size) >= w::kHeadSize &&
                 w::kHeadSize + h.uPayload == uint32_t(size);
    std::string line = described(frame.data(), size_t(size), whole);
    detail_ = excerpt(line, kShownChars);
    out_.emit(Event("tx", conn_->id()).str("frame", detail_));
    frame.resize(size_t(size));

    // The pieces of the frame: split= cuts it, join= puts its first piece in the write
    // that went before.
    uint32_t step = op.has(n::kSplit) ? uint32_t(op.num[n::kSplit]) : uint32_t(size) + 1;
    for (uint32_t at = 0; at < uint32_t(size); at += step) {
        Bytes piece(frame.begin() + at,
                    frame.begin() + std::min<uint32_t>(uint32_t(size), at + step));
        if (at == 0 && op.has(n::kJoin) && op.num[n::kJoin] && !unit_.empty())
            unit_.back().insert(unit_.back().end(), piece.begin(), piece.end());
        else
            unit_.push_back(std::move(piece));
    }
    // The next step, when it is a send joined to this one, goes in the same write.
    Action next;
    const char *why = nullptr;
    size_t column = 0;
    if (step_ + 1 < script_.steps.size() &&
        parseStep(withAgent(script_.step(step_ + 1), conn_->local()), next, why, column) &&
        next.code == kOpSend && next.op.has(n::kJoin) && next.op.num[n::kJoin] &&
        next.op.num[n::kType] != n::kClose)
        return detail_ += " (written with the next)", Verdict::Pass;
    // Written once its last byte went to the connection, or failed when the connection
    // ends first (another one may have taken its place).
    const Ms gap(opt_.byteGapMs);
    sendTag_ = uint64_t(step_) + 1;
    sendWritten_ = false;
    sendConn_ = conn_->id();
    for (size_t k = 0; k < unit_.size(); ++k)
        conn_->queue(std::move(unit_[k]), k + 1 == unit_.size() ? sendTag_ : 0, k ? gap : Ms(0));
    conn_->commit(WriteMode::Frame);
    deadline_ = now + kWriteLimit + gap * unit_.size();
    unit_.clear();
    wake_ = true;  // the loop writes what was queued before it waits
    return Verdict::Pending;
}

void Player::report(bool ok) {
    ++(ok ? passed_ : failed_);
    const Script::Step &s = script_.steps[step_];
    std::string text = excerpt(script_.step(step_), kShownChars);
    if (!ok && !came_.empty()) {
        detail_ += "; came: ";
        if (passedOver_ > came_.size())
            detail_ += std::to_string(passedOver_ - came_.size()) + " more, then ";
        for (size_t i = 0; i < came_.size(); ++i)
            detail_ += (i ? ", " : "") + excerpt(came_[i], kShownChars);
    } else if (!ok && action_.code == kOpExpect && detail_.rfind("nothing like", 0) == 0) {
        detail_ += "; came: nothing";
    }
    detail_ = linesToShow(detail_, opt_.showPasswords);
    active_ = false;
    ++step_;
    if (out_.json()) {
        out_.emit(Event("step", 0, Level::Summary)
                      .str("verdict", ok ? "PASS" : "FAIL")
                      .num("line", s.line)
                      .str("step", text)
                      .str("detail", detail_));
        return;
    }
    std::printf("%s line %u: %s%s%s\n", ok ? "PASS" : "FAIL", unsigned(s.line), text.c_str(),
                detail_.empty() ? "" : " -- ", detail_.c_str());
    std::fflush(stdout);
}

int Player::finish(const std::string &why) {
    if (!why.empty() && active_) {
        detail_ += (detail_.empty() ? "" : "; ") + ("stopped by " + why);
        came_.clear();
        report(false);
    }
    size_t notRun = script_.steps.size() - step_;
    std::string text = std::to_string(passed_) + " passed, " + std::to_string(failed_) + " failed";
    if (!why.empty())
        text += ", stopped by " + why + " with " + std::to_string(notRun) + " steps not run";
    Event e("verdict", 0, Level::Summary);
    e.num("passed", passed_).num("failed", failed_).num("not_run", int64_t(notRun));
    if (out_.json())
        out_.emit(e);
    else
        std::printf("%s\n", text.c_str());
    std::fflush(stdout);
    return failed_ == 0 && why.empty() ? kExitOk : kExitFailure;
}

}  // namespace

const notation::Language kScenarioLanguage = {kForms, sizeof kForms / sizeof kForms[0]};

bool loadScenario(const std::string &path, const std::string &agentAddr, Script &script,
                  std::string &error) {
    script = Script();
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) {
        error = "cannot read the scenario file " + path + ": " + std::strerror(errno);
        return false;
    }
    // Read whole, up to the limit and one byte more to tell a file that is longer.
    std::string &text = script.text;
    char buf[65536];
    size_t got = 0;
    while (text.size() <= kMaxScenarioBytes && (got = std::fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, got);
    bool bad = std::ferror(f);
    std::fclose(f);
    if (bad) {  // a folder, say
        error = "cannot read the scenario file " + path;
        return false;
    }
    if (text.size() > kMaxScenarioBytes) {
        error = path + ": longer than " + std::to_string(kMaxScenarioBytes) + " bytes";
        return false;
    }
    Action a;
    for (size_t at = 0, line = 1; at < text.size(); ++line) {
        size_t end = std::min(text.find('\n', at), text.size()), next = end + 1;
        if (end > at && text[end - 1] == '\r') --end;
        std::string raw = text.substr(at, end - at);
        const char *why = "";
        size_t column = 0;
        if (!parseStep(withAgent(raw, agentAddr), a, why, column)) {
            error = path + ":" + std::to_string(line) +
                    (column ? ":" + std::to_string(column) : "") + ": " + why + ": " +
                    excerpt(raw, 80);
            return false;
        }
        if (a.code != 0) {
            // The operation as written: up to a comment, without the blanks around it.
            size_t length = n::opLength(raw.c_str());
            size_t from = raw.find_first_not_of(" \t");
            size_t to = raw.find_last_not_of(" \t", length - 1);
            script.steps.push_back({uint32_t(line), uint32_t(at + from), uint32_t(to + 1 - from)});
        }
        at = next;
    }
    if (script.steps.empty()) {
        error = path + ": no steps";
        return false;
    }
    return true;
}

std::unique_ptr<Role> makePlayer(const Options &o, Output &out, std::string &error) {
    Script script;
    // Read before listening, with the longest address "{agent}" may stand for.
    if (!loadScenario(o.scenario, "255.255.255.255:65535", script, error)) return nullptr;
    if (o.checkOnly) {
        out.emit(Event("scenario", 0, Level::Summary)
                     .str("file", o.scenario)
                     .num("steps", int64_t(script.steps.size())));
        return nullptr;
    }
    return std::make_unique<Player>(o, out, std::move(script));
}

}  // namespace agent
