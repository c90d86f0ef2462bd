// SPDX-License-Identifier: MIT
// Round trips of the demo messages: each message sent is remembered until its echo
// comes back byte for byte (a round trip), it waits too long once written whole (lost),
// or its link goes away: lost when the link broke, in flight when the device logged out
// or the agent stopped. Times are kept for the running p50 and p99.
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
    Clock::time_point sent;                                // queued
    uint64_t tag;                                          // the connection's tag of its frame
    Clock::time_point written = Clock::time_point::max();  // its last byte handed to the socket
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
    // The pending messages of connection @p conn, which ended: lost, or in flight when
    // the link ended on purpose (@p lost false). They are returned.
    std::vector<Pending> dropConnection(int conn, bool lost);

    void unmatched() { ++unmatched_; }

    uint64_t sentCount() const { return sent_; }
    uint64_t count() const { return rtts_.size(); }
    uint64_t lost() const { return lost_; }
    uint64_t inFlight() const { return inFlight_; }
    uint64_t unmatchedCount() const { return unmatched_; }
    // Nearest-rank percentile of the round trips so far, 0 when there are none.
    double percentile(double p) const;

    // Adds count, p50, p99, lost (and unmatched and in_flight when there were any) to @p e.
    void describe(Event &e) const;

  private:
    std::vector<Pending> pending_;
    std::vector<double> rtts_;
    uint64_t sent_ = 0;
    uint64_t lost_ = 0;
    uint64_t unmatched_ = 0;
    uint64_t inFlight_ = 0;
};

}  // namespace agent

#endif
