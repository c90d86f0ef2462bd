// SPDX-License-Identifier: MIT
#include "demo_stats.h"

#include <algorithm>
#include <cmath>

namespace agent {

RttHistogram::RttHistogram() : bins_(size_t(kGroups) << kSubBits) {}

size_t RttHistogram::binOf(uint64_t us) {
    constexpr uint64_t kExact = uint64_t(2) << kSubBits;  // 1024
    if (us < kExact) return size_t(us);
    us = std::min<uint64_t>(us, (uint64_t(1) << 40) - 1);
    unsigned bits = 0;
    for (uint64_t v = us; v; v >>= 1) ++bits;
    const unsigned shift = bits - (kSubBits + 1);  // us >> shift is in [512, 1024)
    return (size_t(shift) << kSubBits) + size_t(us >> shift);
}

double RttHistogram::middleOf(size_t bin) {
    constexpr size_t kExact = size_t(2) << kSubBits;
    if (bin < kExact) return (double(bin) + 0.5) / 1000.0;
    const unsigned shift = unsigned(bin >> kSubBits) - 1;
    const uint64_t low = uint64_t(bin - (size_t(shift) << kSubBits)) << shift;
    return (double(low) + double(uint64_t(1) << shift) / 2) / 1000.0;
}

void RttHistogram::add(double ms) {
    // Whole microseconds, cut: the bin then holds the exact value, not a rounded one.
    const uint64_t us = ms <= 0 ? 0 : uint64_t(std::min(ms, 1e15) * 1000.0);
    const size_t bin = binOf(us);
    ++bins_[bin];
    ++groups_[bin >> kSubBits];
    minMs_ = count_ == 0 ? ms : std::min(minMs_, ms);
    maxMs_ = count_ == 0 ? ms : std::max(maxMs_, ms);
    ++count_;
}

double RttHistogram::percentile(double p) const {
    if (count_ == 0) return 0;
    uint64_t rank = uint64_t(std::ceil(p / 100.0 * double(count_)));
    rank = std::min(std::max<uint64_t>(rank, 1), count_);
    size_t group = 0;
    for (; rank > groups_[group]; ++group) rank -= groups_[group];
    size_t bin = group << kSubBits;
    for (; rank > bins_[bin]; ++bin) rank -= bins_[bin];
    return std::min(std::max(middleOf(bin), minMs_), maxMs_);
}

void DemoStats::sent(int conn, uint8_t type, uint32_t seq, const Bytes &data, Clock::time_point at,
                     uint64_t tag) {
    pending_.push_back({conn, type, seq, data, at, tag});
    ++sent_;
}

void DemoStats::written(uint64_t tag, Clock::time_point at) {
    for (Pending &p : pending_)
        if (p.tag == tag) p.written = at;
}

bool DemoStats::echoed(int conn, uint8_t type, const Bytes &data, Clock::time_point at,
                       Pending &match, double &rttMs) {
    auto it = std::find_if(pending_.begin(), pending_.end(), [&](const Pending &p) {
        return p.conn == conn && p.type == type && p.data == data;
    });
    if (it == pending_.end()) return false;
    match = *it;
    pending_.erase(it);
    // From the last byte written: the time the agent took to write it is not the link's.
    Clock::time_point from = match.written != Clock::time_point::max() ? match.written : match.sent;
    rttMs = std::chrono::duration<double, std::milli>(at - from).count();
    rtts_.add(rttMs);
    return true;
}

std::vector<Pending> DemoStats::expire(Clock::time_point now, Clock::duration timeout) {
    std::vector<Pending> gone;
    auto keep = std::stable_partition(pending_.begin(), pending_.end(), [&](const Pending &p) {
        return p.written == Clock::time_point::max() || now - p.written < timeout;
    });
    gone.assign(keep, pending_.end());
    pending_.erase(keep, pending_.end());
    lost_ += gone.size();
    return gone;
}

std::vector<Pending> DemoStats::dropConnection(int conn) {
    std::vector<Pending> gone;
    auto keep = std::stable_partition(pending_.begin(), pending_.end(),
                                      [&](const Pending &p) { return p.conn != conn; });
    gone.assign(keep, pending_.end());
    pending_.erase(keep, pending_.end());
    inFlight_ += gone.size();
    return gone;
}

void DemoStats::describe(Event &e) const {
    e.num("count", int64_t(count())).ms("p50_ms", percentile(50)).ms("p99_ms", percentile(99));
    e.num("lost", int64_t(lost_));
    if (unmatched_) e.num("unmatched", int64_t(unmatched_));
    if (inFlight_) e.num("in_flight", int64_t(inFlight_));
}

}  // namespace agent
