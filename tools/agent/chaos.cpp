// SPDX-License-Identifier: MIT
#include "chaos.h"

#include <random>

namespace agent {

namespace {

const char *endingName(Ending e) {
    switch (e) {
        case Ending::Redirect:
            return "redirect";
        case Ending::ReplyRedirect:
            return "reply-redirect";
        case Ending::CloseAtBytes:
            return "close-at-bytes";
        case Ending::CloseAfterFrames:
            return "close-after-frames";
        case Ending::Refuse:
            return "refuse";
        case Ending::Silent:
            return "silent";
    }
    return "?";
}

const char *modeName(WriteMode m) {
    return m == WriteMode::Split ? "split" : m == WriteMode::Coalesce ? "coalesce" : "frame";
}

}  // namespace

bool backsOff(Ending e) {
    return e == Ending::CloseAtBytes || e == Ending::CloseAfterFrames || e == Ending::Refuse ||
           e == Ending::Silent;
}

ChaosPlan makeChaosPlan(const Options &base, uint64_t seed, int conn, bool calm,
                        const std::vector<std::string> &addrs, const std::string &local,
                        const std::string &lastLogin) {
    std::mt19937_64 rng(seed ^ (uint64_t(conn) * 0x9e3779b97f4a7c15ull));
    auto pick = [&](uint64_t lo, uint64_t hi) {
        return std::uniform_int_distribution<uint64_t>(lo, hi)(rng);
    };
    auto chance = [&](unsigned percent) { return pick(1, 100) <= percent; };

    ChaosPlan p;
    Options &o = p.opt;
    o = base;
    // Weights of the endings, in the order of the enum; a calm connection always ends
    // with a redirect frame after a completed login.
    const unsigned weights[] = {45, 15, 15, 10, 10, 5};
    unsigned total = 0;
    for (unsigned w : weights) total += w;
    unsigned roll = unsigned(pick(1, total));
    unsigned index = 0;
    while (roll > weights[index]) roll -= weights[index++];
    p.ending = calm ? Ending::Redirect : Ending(index);

    // An address other than these, drawn at random.
    auto other = [&](const std::string &a, const std::string &b) {
        std::vector<std::string> left;
        for (const auto &addr : addrs)
            if (addr != a && addr != b) left.push_back(addr);
        return left[pick(0, left.size() - 1)];
    };
    switch (p.ending) {
        case Ending::Redirect:
            o.redirectAddr = other(local, local);
            o.redirectAfterMs = unsigned(pick(300, 6000));
            break;
        case Ending::ReplyRedirect:
            o.replyAddr = other(local, lastLogin);
            break;
        case Ending::CloseAtBytes:
            o.closeAtBytes = pick(1, 3000);
            break;
        case Ending::CloseAfterFrames:
            o.closeAfter = unsigned(pick(1, 12));
            break;
        case Ending::Refuse:
            o.refuse = true;
            o.refuseCode = int32_t(pick(1, 0x7fffffff)) * (chance(50) ? -1 : 1);
            break;
        case Ending::Silent:
            o.silent = true;
            break;
    }
    unsigned mode = unsigned(pick(0, 2));
    o.writeMode = mode == 0 ? WriteMode::Frame : mode == 1 ? WriteMode::Split : WriteMode::Coalesce;
    o.byteGapMs = unsigned(pick(0, 1));
    o.replyDelayMs = chance(25) ? unsigned(pick(100, 3000)) : 0;
    o.wake = chance(30);
    o.sendError = chance(20);
    o.errorCode = int32_t(pick(0, 100000));
    o.wrongSession = chance(30);
    o.malformed = chance(30) ? unsigned(pick(1, 7)) : 0;
    // A kilobyte or more, one byte per millisecond, would hold up the demo for seconds.
    if (o.writeMode == WriteMode::Split && o.byteGapMs) o.malformed &= ~kMalformedOversize;
    o.intervalMs = unsigned(pick(250, 1200));
    o.timeIntervalMs = unsigned(pick(1000, 5000));
    return p;
}

void describePlan(Event &e, const ChaosPlan &p) {
    const Options &o = p.opt;
    e.str("ending", endingName(p.ending));
    if (!o.redirectAddr.empty())
        e.str("redirect", o.redirectAddr).num("redirect_after_ms", o.redirectAfterMs);
    if (!o.replyAddr.empty()) e.str("reply_addr", o.replyAddr);
    if (o.closeAtBytes) e.num("close_at_bytes", int64_t(o.closeAtBytes));
    if (o.closeAfter) e.num("close_after", o.closeAfter);
    if (o.refuse) e.num("refuse", o.refuseCode);
    e.str("write", modeName(o.writeMode));
    if (o.writeMode == WriteMode::Split) e.num("byte_gap_ms", o.byteGapMs);
    e.num("reply_delay_ms", o.replyDelayMs).flag("wake", o.wake);
    if (o.sendError) e.num("error", o.errorCode);
    e.flag("wrong_session", o.wrongSession).num("malformed", o.malformed);
    e.num("interval_ms", o.intervalMs).num("time_interval_ms", o.timeIntervalMs);
}

}  // namespace agent
