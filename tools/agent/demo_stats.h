// SPDX-License-Identifier: MIT
// Round trips of the demo messages: each message sent is remembered until its echo
// comes back byte for byte (a round trip), its link goes away or it waits too long
// (lost). Times are kept for the running p50 and p99.
#ifndef DEVTCP_AGENT_DEMO_STATS_H
#define DEVTCP_AGENT_DEMO_STATS_H

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
    Clock::time_point sent;
};

class DemoStats {
  public:
    void sent(int conn, uint8_t type, uint32_t seq, const Bytes &data, Clock::time_point at);

    // The echo of a pending message of this connection with exactly these bytes;
    // fills @p match and records the round trip. False when nothing matches.
    bool echoed(int conn, uint8_t type, const Bytes &data, Clock::time_point at, Pending &match,
                double &rttMs);

    // Pending messages older than @p timeout, or of connection @p conn when it is
    // given (a closed link), become lost; they are returned.
    std::vector<Pending> expire(Clock::time_point now, Clock::duration timeout);
    std::vector<Pending> dropConnection(int conn);

    void unmatched() { ++unmatched_; }

    uint64_t sentCount() const { return sent_; }
    uint64_t count() const { return rtts_.size(); }
    uint64_t lost() const { return lost_; }
    uint64_t unmatchedCount() const { return unmatched_; }
    // Nearest-rank percentile of the round trips so far, 0 when there are none.
    double percentile(double p) const;

    // Adds count, p50, p99, lost (and unmatched when there were any) to @p e.
    void describe(Event &e) const;

  private:
    std::vector<Pending> pending_;
    std::vector<double> rtts_;
    uint64_t sent_ = 0;
    uint64_t lost_ = 0;
    uint64_t unmatched_ = 0;
};

}  // namespace agent

#endif
