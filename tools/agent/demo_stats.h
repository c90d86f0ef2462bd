// SPDX-License-Identifier: MIT
// Round trips of the demo messages: each message sent is remembered until its echo
// comes back byte for byte (a round trip), it waits too long once written whole on a
// link that stays open (lost), or its link ends, whoever ends it (in flight). Round trips
// go into a histogram of fixed size for the running p50 and p99, so that an echo costs
// the same at the millionth as at the first.
#ifndef DEVTCP_AGENT_DEMO_STATS_H
#define DEVTCP_AGENT_DEMO_STATS_H

#include <array>
#include <cstdint>
#include <vector>

#include "frames.h"
#include "output.h"

namespace agent {

struct Pending {
    int conn;
    uint8_t type;
    uint32_t seq;
    Bytes data;
    Clock::time_point sent;                                // queued
    uint64_t tag;                                          // the connection's tag of its frame
    Clock::time_point written = Clock::time_point::max();  // its last byte handed to the socket
};

// Round trips in microseconds, counted in fixed bins: one per microsecond below 1024 us,
// then 512 bins per doubling up to 2^40 us (12.7 days; longer ones share the last bin).
// A bin is at most 1/512 of its values wide, so a percentile, given as its bin's middle,
// is within 0.1 % (below a millisecond: 0.5 us) of the exact nearest-rank figure, and never
// outside the smallest and largest round trip seen, which are kept exactly. 128 KiB,
// allocated once; a percentile looks at most at 32 group totals and 512 bins.
class RttHistogram {
  public:
    RttHistogram();
    void add(double ms);
    uint64_t count() const { return count_; }
    // Nearest-rank percentile in milliseconds, 0 when there are none.
    double percentile(double p) const;

  private:
    static constexpr unsigned kSubBits = 9;  // 512 bins per doubling
    static constexpr unsigned kGroups = 32;
    static size_t binOf(uint64_t us);
    static double middleOf(size_t bin);

    std::vector<uint64_t> bins_;
    std::array<uint64_t, kGroups> groups_{};  // bins_ totals, 512 bins a group
    uint64_t count_ = 0;
    double minMs_ = 0;
    double maxMs_ = 0;
};

class DemoStats {
  public:
    void sent(int conn, uint8_t type, uint32_t seq, const Bytes &data, Clock::time_point at,
              uint64_t tag);
    // The message with @p tag is written whole: its echo is timed from now on. A message
    // held up by the agent's own slow writes (--split) is neither late nor lost.
    void written(uint64_t tag, Clock::time_point at);

    // The echo of a pending message of this connection with exactly these bytes;
    // fills @p match and records the round trip. False when nothing matches.
    bool echoed(int conn, uint8_t type, const Bytes &data, Clock::time_point at, Pending &match,
                double &rttMs);

    // Pending messages written whole longer than @p timeout ago become lost; they are
    // returned.
    std::vector<Pending> expire(Clock::time_point now, Clock::duration timeout);
    // The pending messages of connection @p conn, which ended: in flight. They are
    // returned.
    std::vector<Pending> dropConnection(int conn);

    void unmatched() { ++unmatched_; }

    uint64_t sentCount() const { return sent_; }
    uint64_t count() const { return rtts_.count(); }
    uint64_t lost() const { return lost_; }
    uint64_t inFlight() const { return inFlight_; }
    uint64_t unmatchedCount() const { return unmatched_; }
    // Nearest-rank percentile of the round trips so far (RttHistogram), 0 when there are none.
    double percentile(double p) const { return rtts_.percentile(p); }

    // Adds count, p50, p99, lost (and unmatched and in_flight when there were any) to @p e.
    void describe(Event &e) const;

  private:
    std::vector<Pending> pending_;
    RttHistogram rtts_;
    uint64_t sent_ = 0;
    uint64_t lost_ = 0;
    uint64_t unmatched_ = 0;
    uint64_t inFlight_ = 0;
};

}  // namespace agent

#endif
