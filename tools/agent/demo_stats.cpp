// SPDX-License-Identifier: MIT
#include "demo_stats.h"

#include <algorithm>
#include <cmath>

namespace agent {

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
    rtts_.push_back(rttMs);
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

std::vector<Pending> DemoStats::dropConnection(int conn, bool lost) {
    std::vector<Pending> gone;
    auto keep = std::stable_partition(pending_.begin(), pending_.end(),
                                      [&](const Pending &p) { return p.conn != conn; });
    gone.assign(keep, pending_.end());
    pending_.erase(keep, pending_.end());
    (lost ? lost_ : inFlight_) += gone.size();
    return gone;
}

double DemoStats::percentile(double p) const {
    if (rtts_.empty()) return 0;
    std::vector<double> sorted = rtts_;
    std::sort(sorted.begin(), sorted.end());
    size_t rank = size_t(std::ceil(p / 100.0 * double(sorted.size())));
    return sorted[std::max<size_t>(rank, 1) - 1];
}

void DemoStats::describe(Event &e) const {
    e.num("count", int64_t(count())).ms("p50_ms", percentile(50)).ms("p99_ms", percentile(99));
    e.num("lost", int64_t(lost_));
    if (unmatched_) e.num("unmatched", int64_t(unmatched_));
    if (inFlight_) e.num("in_flight", int64_t(inFlight_));
}

}  // namespace agent
