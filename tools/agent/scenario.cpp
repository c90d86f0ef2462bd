// SPDX-License-Identifier: MIT
#include "scenario.h"

#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <memory>

#include "connection.h"
#include "frames.h"
#include "server.h"
#include "wire.h"

namespace agent {

namespace {

namespace n = notation;
namespace w = devtcp::wire;

// clang-format off
const n::Form kForms[] = {
    {kOpExpect, "expect", 0, {"within", "pattern"}, "nt"},
    {kOpSend, "send", 2, {n::kFrameNames[0], n::kFrameNames[1], n::kFrameNames[2],
        n::kFrameNames[3], n::kFrameNames[4], n::kFrameNames[5], n::kFrameNames[6],
        n::kFrameNames[7], n::kFrameNames[8], n::kFrameNames[9], n::kFrameNames[10],
        n::kFrameNames[11], n::kFrameNames[12], n::kFrameNames[13], n::kFrameNames[14]},
        n::kFrameKinds},
    {kOpWait, "wait", 1, {"ms"}, "n"},
    {kOpSilent, "silent", 1, {"ms"}, "n"},
    {kOpClose, "close", 0, {}, ""},
    {kOpQuiet, "quiet", 0, {"ms", "pattern"}, "nt"},
};
// clang-format on

// The words of a described frame that a pattern may name, besides its type and texts.
const char *const kPatternKeys[] = {"sess", "peer", "user", "pass", "version", "size"};
const char *const kTypeWords[] = {"KEEPALIVE", "ERROR", "LOGIN", "LOGOUT", "REDIRECT",
                                  "TIME",      "DATA",  "STR",   "close"};
constexpr uint32_t kMaxPatternWords = 12;  // what notation::matches() looks at

std::string textOf(const n::Op &op, uint32_t f) {
    return std::string(reinterpret_cast<const char *>(op.bytes(f)), op.len[f]);
}

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
    for (uint32_t i = 1; i < count; ++i) {
        auto eq = static_cast<const char *>(std::memchr(t[i].p, '=', t[i].n));
        if (!eq || t[i].p[0] == '"') continue;
        bool known = false;
        for (const char *key : kPatternKeys)
            known = known || n::same({t[i].p, size_t(eq - t[i].p)}, key);
        if (!known)
            return "a pattern's key=value word names sess, peer, user, pass, version or size";
    }
    return nullptr;
}

// Times are written in digits: the notation's numbers also take type names, and "quiet
// LOGOUT" (its time left out) is not to be read as 3 ms.
bool isTime(const std::string &word) {
    return !word.empty() && word[0] >= '0' && word[0] <= '9';
}

// expect and quiet take a pattern of free words, which the notation reads as one text
// field: "expect STR "hi" within=500" is read as expect within=500 pattern="STR \"hi\"".
bool parsePatternOp(const std::string &text, uint8_t code, n::Op &op, const char *&why) {
    n::Tok t[64];
    uint32_t count = n::tokens({text.data(), text.size()}, t, 64);
    std::string pattern, ms;
    for (uint32_t i = 1; i < count && t[i].p[0] != '#'; ++i) {
        std::string word(t[i].p, t[i].n);
        if (code == kOpExpect && word.rfind("within=", 0) == 0 && !ms.empty())
            return why = "a field given twice", false;
        if (code == kOpExpect && word.rfind("within=", 0) == 0)
            ms = word;
        else if (code == kOpQuiet && i == 1)
            ms = "ms=" + word;
        else
            pattern += (pattern.empty() ? "" : " ") + word;
    }
    if (code == kOpQuiet && ms.empty()) return why = "quiet needs its time", false;
    if (!ms.empty() && !isTime(ms.substr(ms.find('=') + 1))) return why = "not a time", false;
    if (code == kOpExpect || !pattern.empty())
        if ((why = checkPattern(pattern))) return false;
    std::string line = (code == kOpExpect ? "expect " : "quiet ") + ms;
    if (!pattern.empty()) {
        line += " pattern=\"";
        for (char c : pattern)
            line += c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
        line += '"';
    }
    return n::parseOp(kScenarioLanguage, line.c_str(), op, why);
}

bool parseStep(const std::string &text, n::Op &op, const char *&why, size_t &column) {
    size_t length = n::opLength(text.c_str()), open = n::openQuote(text.data(), length);
    column = open < length ? open + 1 : 0;
    if (column) return why = "a quote is not closed", false;
    n::Tok first[1] = {{"", 0}};
    n::tokens({text.data(), text.size()}, first, 1);
    bool read = n::same(first[0], "expect")  ? parsePatternOp(text, kOpExpect, op, why)
                : n::same(first[0], "quiet") ? parsePatternOp(text, kOpQuiet, op, why)
                                             : n::parseOp(kScenarioLanguage, text.c_str(), op, why, column);
    if (!read) return false;
    if (op.code == kOpWait || op.code == kOpSilent) {
        n::Tok t[2] = {{"", 0}, {"", 0}};
        n::tokens({text.data(), text.size()}, t, 2);
        std::string word(t[1].p, t[1].n);
        if (op.has(kFieldMs) && !isTime(word.rfind("ms=", 0) == 0 ? word.substr(3) : word))
            return why = "not a time", false;
    }
    if (op.code != kOpSend && op.has(kFieldMs) && op.num[kFieldMs] < 0)
        return why = "a time is at most 2147483647 ms", false;
    if (op.code == kOpSend && !op.has(n::kType)) return why = "send needs a frame type", false;
    if (op.code == kOpWait && !op.has(kFieldMs)) return why = "wait needs its time", false;
    return true;
}

std::string replaceAll(std::string s, const std::string &from, const std::string &to) {
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
    return s;
}

// ---- Playing

using Ms = std::chrono::milliseconds;
constexpr Ms kWriteLimit{10000};   // a device that takes no bytes for this long fails a send
constexpr size_t kShownLines = 4;  // of what came during a failed step
constexpr size_t kMaxWaiting = 8;  // connections waiting for the device's to end
constexpr uint32_t kFrameRoom = w::kHeadSize + 0x10000;  // a header's length field at most

// What came, for a verdict line: the last few lines the device gave.
std::string cameText(const std::vector<std::string> &came) {
    if (came.empty()) return "nothing";
    std::string s;
    size_t from = came.size() > kShownLines ? came.size() - kShownLines : 0;
    if (from) s = std::to_string(from) + " more, then ";
    for (size_t i = from; i < came.size(); ++i) s += (i > from ? ", " : "") + came[i];
    return s;
}

class Player {
  public:
    Player(const Options &o, Output &out, int signalFd, int listenFd, std::string addr,
           const TlsServer *tls)
        : opt_(o),
          out_(out),
          signalFd_(signalFd),
          listenFd_(listenFd),
          addr_(std::move(addr)),
          tls_(tls),
          nextSession_(o.firstSession) {}
    // Plays every step; true when each passed.
    bool play(const std::vector<Step> &steps);

  private:
    bool run(const std::vector<Step> &steps, size_t i, std::string &detail);
    bool expect(const n::Op &op, std::string &detail);
    bool quiet(const n::Op &op, std::string &detail);
    bool send(const n::Op &op, bool joinsNext, std::string &detail);
    bool pump(Clock::time_point until, const std::function<bool()> &done);
    void acceptOne();
    void readDevice();
    void writeDevice(Clock::time_point now);
    void transmit(Bytes frame, Ms gapBefore);
    void lost(const std::string &reason, int error);
    void closeDevice(const std::string &reason, int error = 0);
    void report(const Step &s, bool ok, const std::string &detail);

    const Options &opt_;
    Output &out_;
    int signalFd_, listenFd_;
    std::string addr_;
    const TlsServer *tls_;
    std::unique_ptr<Connection> conn_;                 // the device in play
    std::deque<std::unique_ptr<Connection>> waiting_;  // connections after it, oldest first
    int nextId_ = 1;
    // What the device did, in order: its frames as described lines, and "close" when it
    // closed the connection. Steps take lines from the cursor on.
    std::vector<std::string> lines_;
    size_t cursor_ = 0;
    uint32_t session_ = 0;  // of the last accepted login reply sent
    uint32_t nextSession_;
    Clock::time_point silentUntil_;  // keepalives go unanswered until then
    std::string stopped_;            // the signal that stopped the play
    // Writes to make, each a separate write, a gap after the one before.
    struct Piece {
        Bytes bytes;
        Ms gapBefore;
    };
    std::deque<Piece> pieces_;
    Clock::time_point nextPiece_;
    std::vector<Bytes> unit_;  // the pieces of frames joined to the next send's
    uint32_t passed_ = 0, failed_ = 0;
};

bool Player::play(const std::vector<Step> &steps) {
    out_.emit(Event("scenario", 0, Level::Summary)
                  .str("file", opt_.scenario)
                  .num("steps", int64_t(steps.size())));
    size_t i = 0;
    for (; i < steps.size() && stopped_.empty(); ++i) {
        std::string detail;
        bool ok = run(steps, i, detail);
        report(steps[i], ok, detail);
    }
    for (const auto &c : waiting_)
        out_.emit(Event("close", c->id()).str("reason", "scenario ended"));
    waiting_.clear();
    if (conn_) closeDevice("scenario ended");
    std::string text = std::to_string(passed_) + " passed, " + std::to_string(failed_) + " failed";
    if (!stopped_.empty())
        text += ", stopped by " + stopped_ + " with " + std::to_string(steps.size() - i) +
                " steps not run";
    Event e("verdict", 0, Level::Summary);
    e.num("passed", passed_).num("failed", failed_).num("not_run", int64_t(steps.size() - i));
    if (out_.json())
        out_.emit(e);
    else
        std::printf("%s\n", text.c_str());
    std::fflush(stdout);
    return failed_ == 0 && stopped_.empty();
}

void Player::report(const Step &s, bool ok, const std::string &detail) {
    ++(ok ? passed_ : failed_);
    if (out_.json()) {
        out_.emit(Event("step", 0, Level::Summary)
                      .str("verdict", ok ? "PASS" : "FAIL")
                      .num("line", s.line)
                      .str("step", s.text)
                      .str("detail", detail));
        return;
    }
    std::printf("%s line %d: %s%s%s\n", ok ? "PASS" : "FAIL", s.line, s.text.c_str(),
                detail.empty() ? "" : " -- ", detail.c_str());
    std::fflush(stdout);
}

bool Player::run(const std::vector<Step> &steps, size_t i, std::string &detail) {
    n::Op op = steps[i].op;
    const char *why = nullptr;
    size_t column = 0;
    // The address the device came in on, or else the one listened on.
    if (steps[i].text.find("{agent}") != std::string::npos &&
        !parseStep(replaceAll(steps[i].text, "{agent}", conn_ ? conn_->local() : addr_), op, why,
                   column)) {
        detail = why;
        return false;
    }
    int32_t ms = op.num[kFieldMs];
    switch (op.code) {
        case kOpExpect:
            return expect(op, detail);
        case kOpQuiet:
            return quiet(op, detail);
        case kOpSend: {
            const n::Op *next = i + 1 < steps.size() ? &steps[i + 1].op : nullptr;
            bool joinsNext = next && next->code == kOpSend && next->has(n::kJoin) &&
                             next->num[n::kJoin] && next->num[n::kType] != n::kClose;
            if (op.num[n::kType] != n::kClose) {
                bool ok = send(op, joinsNext, detail);
                if (!ok) unit_.clear();  // frames joined to this one go with it
                return ok;
            }
        }
            [[fallthrough]];
        case kOpClose:
            if (!conn_) return detail = "no device connection", false;
            closeDevice("scenario");
            return true;
        case kOpWait:
            pump(Clock::now() + Ms(ms), [] { return false; });
            if (!stopped_.empty()) detail = "stopped by " + stopped_;
            return stopped_.empty();
        case kOpSilent:
            silentUntil_ = op.has(kFieldMs) ? Clock::now() + Ms(ms) : Clock::time_point::max();
            detail = "keepalives go unanswered " +
                     (op.has(kFieldMs) ? "for " + std::to_string(ms) + " ms" : "from now on");
            return true;
        default:
            return detail = "not an operation of a scenario", false;
    }
}

bool Player::expect(const n::Op &op, std::string &detail) {
    const std::string pattern = textOf(op, kFieldPattern);
    const int32_t within = op.has(kFieldMs) ? op.num[kFieldMs] : kDefaultWithinMs;
    const Clock::time_point start = Clock::now();
    std::vector<std::string> came;
    std::string hit;
    bool closed = false;
    bool found = pump(start + Ms(within), [&] {
        while (cursor_ < lines_.size()) {
            const std::string &l = lines_[cursor_++];
            if (n::matches({pattern.data(), pattern.size()}, l.c_str())) return hit = l, true;
            came.push_back(l);
            // A closed connection ends what this step may hear: what comes after it is
            // another connection's.
            if (l == "close") return closed = true;
        }
        return false;
    });
    auto ms = std::chrono::duration_cast<Ms>(Clock::now() - start).count();
    if (found && !closed) {
        detail = hit + " (after " + std::to_string(ms) + " ms)";
        return true;
    }
    detail = !stopped_.empty() ? "stopped by " + stopped_
             : closed          ? "the device closed the connection first"
                               : "nothing like it within " + std::to_string(within) + " ms";
    detail += "; came: " + cameText(came);
    return false;
}

bool Player::quiet(const n::Op &op, std::string &detail) {
    // Without a pattern anything but a keepalive breaks the quiet: a device sends those
    // on its own once the agent has said nothing for a while.
    const std::string pattern = op.has(kFieldPattern) ? textOf(op, kFieldPattern) : "";
    const Clock::time_point start = Clock::now();
    std::string heard;
    bool broken = pump(start + Ms(op.num[kFieldMs]), [&] {
        while (cursor_ < lines_.size()) {
            const std::string &l = lines_[cursor_++];
            if (pattern.empty() ? l.rfind("KEEPALIVE", 0) != 0
                                : n::matches({pattern.data(), pattern.size()}, l.c_str()))
                return heard = l, true;
        }
        return false;
    });
    auto ms = std::chrono::duration_cast<Ms>(Clock::now() - start).count();
    if (!stopped_.empty()) return detail = "stopped by " + stopped_, false;
    if (broken) return detail = "came after " + std::to_string(ms) + " ms: " + heard, false;
    return true;
}

bool Player::send(const n::Op &op, bool joinsNext, std::string &detail) {
    if (!conn_) return detail = "no device connection", false;
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
    if (size < 0) return detail = "the frame does not fit in 65543 bytes", false;
    // Described as the device's frames are, when the bytes are one whole frame.
    w::Header h = w::readHeader(frame.data());
    bool whole = type != n::kRaw && !op.has(n::kCut) && uint32_t(size) >= w::kHeadSize &&
                 w::kHeadSize + h.uPayload == uint32_t(size);
    n::Line l{};
    if (whole)
        n::describeFrame(frame.data(), l);
    else
        l.put("bytes ").bytes(frame.data(), uint32_t(size));
    detail = l.s;
    out_.emit(Event("tx", conn_->id()).str("frame", l.s));
    frame.resize(size_t(size));

    // The pieces of the frame: split= cuts it, join= puts its first piece in the write
    // that went before.
    uint32_t step = op.has(n::kSplit) && op.num[n::kSplit] > 0 ? uint32_t(op.num[n::kSplit])
                                                               : uint32_t(size) + 1;
    for (uint32_t at = 0; at < uint32_t(size); at += step) {
        Bytes piece(frame.begin() + at,
                    frame.begin() + std::min<uint32_t>(uint32_t(size), at + step));
        if (at == 0 && op.has(n::kJoin) && op.num[n::kJoin] && !unit_.empty())
            unit_.back().insert(unit_.back().end(), piece.begin(), piece.end());
        else
            unit_.push_back(std::move(piece));
    }
    if (joinsNext) return detail += " (written with the next)", true;
    for (size_t k = 0; k < unit_.size(); ++k)
        transmit(std::move(unit_[k]), k ? Ms(opt_.byteGapMs) : Ms(0));
    unit_.clear();
    // Done once the device has taken every byte, or its connection is gone (another one
    // may have taken its place).
    const int id = conn_->id();
    auto gone = [&] { return !conn_ || conn_->id() != id; };
    bool written = pump(Clock::now() + kWriteLimit + Ms(opt_.byteGapMs) * pieces_.size(),
                        [&] { return gone() || (pieces_.empty() && !conn_->hasOutput()); });
    if (!stopped_.empty()) return detail += "; stopped by " + stopped_, false;
    if (gone()) return detail += "; the connection ended before it was written", false;
    if (!written) return detail += "; not all written within 10 s: the device reads nothing", false;
    return true;
}

void Player::transmit(Bytes bytes, Ms gapBefore) {
    if (pieces_.empty()) nextPiece_ = Clock::now() + gapBefore;
    pieces_.push_back({std::move(bytes), gapBefore});
}

bool Player::pump(Clock::time_point until, const std::function<bool()> &done) {
    for (;;) {
        if (done()) return true;
        Clock::time_point now = Clock::now();
        if (!stopped_.empty() || now >= until) return false;
        Clock::time_point wake = std::min(until, now + Ms(1000));
        if (conn_ && !pieces_.empty()) wake = std::min(wake, nextPiece_);
        if (conn_ && conn_->tlsHasPending()) wake = now;
        pollfd fds[3] = {{signalFd_, POLLIN, 0}, {listenFd_, POLLIN, 0}, {-1, 0, 0}};
        if (conn_) {
            bool out = conn_->hasOutput() || conn_->tlsWantsWrite();
            fds[2] = {conn_->fd(), short(POLLIN | (out ? POLLOUT : 0)), 0};
        }
        auto timeout = std::chrono::ceil<Ms>(std::max(wake - now, Clock::duration(0))).count();
        if (poll(fds, 3, int(timeout)) < 0 && errno != EINTR) {
            fail(out_, std::string("poll: ") + std::strerror(errno));
            stopped_ = "a failed poll";
            return false;
        }
        unsigned char sig = 0;
        if ((fds[0].revents & POLLIN) && read(signalFd_, &sig, 1) == 1) {
            stopped_ = sig == SIGINT ? "SIGINT" : "SIGTERM";
            return false;
        }
        // The device's close before its next connection, when poll() reports both.
        if (conn_ && (fds[2].revents || conn_->tlsHasPending() || conn_->tlsWantsWrite()))
            readDevice();
        if (fds[1].revents) acceptOne();
        if (conn_) writeDevice(Clock::now());
    }
}

void Player::acceptOne() {
    sockaddr_in peer{}, local{};
    socklen_t len = sizeof peer, localLen = sizeof local;
    int fd = accept(listenFd_, reinterpret_cast<sockaddr *>(&peer), &len);
    if (fd < 0) return;
    if (conn_ && waiting_.size() >= kMaxWaiting) {
        out_.emit(Event("warning", 0, Level::Warn)
                      .str("message", "too many connections waiting: closed")
                      .str("from", addressText(peer)));
        ::close(fd);
        return;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    getsockname(fd, reinterpret_cast<sockaddr *>(&local), &localLen);
    ssl_st *ssl = tls_ ? tls_->accept(fd) : nullptr;
    if (!setNonBlocking(fd) || (tls_ && !ssl)) {
        out_.emit(Event("warning", 0, Level::Warn).str("message", "connection not taken"));
        ::close(fd);
        return;
    }
    auto c =
        std::make_unique<Connection>(fd, nextId_++, addressText(peer), addressText(local), opt_);
    c->useTls(ssl);
    Event e("connect", c->id());
    e.str("from", c->from()).str("to", c->local());
    // One device at a time: a connection that comes while the device's is open (its next
    // one, maybe, before the close of this one is read) waits, unread, for its turn.
    if (conn_) e.str("note", "waits for the open connection to end");
    out_.emit(e);
    (conn_ ? waiting_.emplace_back() : conn_) = std::move(c);
}

void Player::readDevice() {
    int error = 0;
    IoStatus st = conn_->readAvailable(error);
    DeviceFrame f;
    while (cutFrame(conn_->input(), f)) {
        n::Line l{};
        n::describeFrame(f.raw.data(), l);
        lines_.push_back(l.s);
        out_.emit(Event("rx", conn_->id()).str("frame", l.s));
        if (f.type == XR_DEV_TCP_MSG_KEEPALIVE && Clock::now() >= silentUntil_) {
            Bytes answer = makeFrame(session_, XR_DEV_TCP_MSG_KEEPALIVE, nullptr, 0);
            n::Line t{};
            n::describeFrame(answer.data(), t);
            out_.emit(Event("tx", conn_->id()).str("frame", t.s).str("note", "keepalive answer"));
            transmit(std::move(answer), Ms(0));
        }
    }
    if (st == IoStatus::Closed) lost("closed by device", 0);
    if (st == IoStatus::Failed)
        lost(conn_->tlsFailure().empty() ? "read failed" : conn_->tlsFailure(), error);
}

void Player::writeDevice(Clock::time_point now) {
    while (!pieces_.empty() && now >= nextPiece_) {
        conn_->queue(std::move(pieces_.front().bytes));
        conn_->commit(WriteMode::Frame);
        pieces_.pop_front();
        if (!pieces_.empty()) nextPiece_ = now + pieces_.front().gapBefore;
    }
    int error = 0;
    if (conn_->flush(WriteMode::Frame, Clock::duration(0), now, error) == IoStatus::Failed)
        lost(conn_->tlsFailure().empty() ? "write failed" : conn_->tlsFailure(), error);
}

// The device's end of the connection: a line "close" for the steps, which then wait
// for its next connection.
void Player::lost(const std::string &reason, int error) {
    lines_.push_back("close");
    closeDevice(reason, error);
}

// Reports the connection's end with the writes made on it, and closes it.
void Player::closeDevice(const std::string &reason, int error) {
    Event e("close", conn_->id());
    e.str("reason", reason);
    if (error) e.num("errno", error);
    e.num("writes", int64_t(conn_->writes())).num("bytes_out", int64_t(conn_->bytesOut()));
    out_.emit(e);
    conn_.reset();
    pieces_.clear();
    if (waiting_.empty()) return;
    conn_ = std::move(waiting_.front());
    waiting_.pop_front();
    out_.emit(Event("turn", conn_->id()).str("note", "the scenario goes on on this connection"));
}

}  // namespace

const notation::Language kScenarioLanguage = {kForms, sizeof kForms / sizeof kForms[0]};

bool loadScenario(const std::string &path, const std::string &agentAddr, std::vector<Step> &steps,
                  std::string &error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot read the scenario file " + path;
        return false;
    }
    steps.clear();
    std::string raw;
    for (int line = 1; std::getline(in, raw); ++line) {
        if (!raw.empty() && raw.back() == '\r') raw.pop_back();
        n::Op op;
        const char *why = "";
        size_t column = 0;
        if (!parseStep(replaceAll(raw, "{agent}", agentAddr), op, why, column)) {
            error = path + ":" + std::to_string(line) + (column ? ":" + std::to_string(column) : "") +
                    ": " + why + ": " + raw;
            return false;
        }
        if (op.code == 0) continue;
        // The operation as written: up to a comment, without the blanks around it.
        size_t end = raw.size();
        for (size_t k = 0, quoted = 0; k < raw.size(); ++k) {
            if (raw[k] == '"' && (k == 0 || raw[k - 1] != '\\')) quoted ^= 1;
            if (raw[k] == '#' && !quoted) {
                end = k;
                break;
            }
        }
        size_t from = raw.find_first_not_of(" \t");
        size_t to = raw.find_last_not_of(" \t", end - 1);
        steps.push_back({line, raw.substr(from, to + 1 - from), op});
    }
    if (in.bad()) {  // a folder, say
        error = "cannot read the scenario file " + path;
        return false;
    }
    if (steps.empty()) {
        error = path + ": no steps";
        return false;
    }
    return true;
}

int runScenario(const Options &o, Output &out, int signalFd) {
    std::vector<Step> steps;
    std::string error;
    // Read once before listening, with the longest address "{agent}" may stand for.
    if (!loadScenario(o.scenario, "255.255.255.255:65535", steps, error)) {
        fail(out, error);
        return kExitUsage;
    }
    if (o.checkOnly) {
        out.emit(Event("scenario", 0, Level::Summary)
                     .str("file", o.scenario)
                     .num("steps", int64_t(steps.size())));
        return kExitOk;
    }
    TlsServer tls;
    if (!o.tlsCert.empty() && !tls.load(o.tlsCert, o.tlsKey, error)) {
        fail(out, error);
        return kExitUsage;
    }
    std::string addr;
    int fd = listenOn(o.listen, "listening", out, addr);
    if (fd < 0) return kExitUsage;
    Player player(o, out, signalFd, fd, addr, o.tlsCert.empty() ? nullptr : &tls);
    bool ok = player.play(steps);
    ::close(fd);
    return ok ? kExitOk : kExitFailure;
}

}  // namespace agent
