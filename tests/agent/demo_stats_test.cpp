// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <new>

#include "demo_stats.h"

namespace {

// Allocations of more than 4 KiB since the last reset: the demo's own records are smaller.
std::size_t g_large = 0;

}  // namespace

void *operator new(std::size_t size) {
    if (size > 4096) ++g_large;
    if (void *p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void *p) noexcept {
    std::free(p);
}
void operator delete(void *p, std::size_t) noexcept {
    std::free(p);
}

namespace agent {
namespace {

// One demo message sent, written and echoed after @p ms.
void roundTrip(DemoStats &stats, uint64_t tag, double ms) {
    const Clock::time_point t0{};
    const Bytes data = {uint8_t(tag), 1, 2};
    stats.sent(1, 7, uint32_t(tag), data, t0, tag);
    stats.written(tag, t0);
    Pending match;
    double rtt = 0;
    ASSERT_TRUE(
        stats.echoed(1, 7, data, t0 + std::chrono::nanoseconds(llround(ms * 1e6)), match, rtt));
}

// The running percentiles are the nearest-rank figures of every round trip so far, to
// within 0.1 % (0.5 us below a millisecond), from 20 us to 40 s.
TEST(DemoStats, PercentilesAreNearestRankWithinATenthOfAPercent) {
    DemoStats stats;
    EXPECT_EQ(stats.percentile(50), 0);
    std::vector<double> all;
    for (uint64_t i = 1; i <= 3000; ++i) {
        const double ms = 0.02 * std::pow(1.005, double((i * 7919) % 2900));
        roundTrip(stats, i, ms);
        all.push_back(ms);
        if (i > 20 && i % 100 != 0) continue;
        std::vector<double> sorted = all;
        std::sort(sorted.begin(), sorted.end());
        for (double p = 0.5; p <= 100; p += 0.5) {
            const double exact = sorted[size_t(std::ceil(p / 100 * double(i))) - 1];
            ASSERT_NEAR(stats.percentile(p), exact, std::max(exact * 0.001, 0.0005))
                << "p" << p << " of " << i;
        }
    }
    EXPECT_EQ(stats.count(), 3000u);
}

// Past the first echoes, an echo and its figures take no memory for the history: no round
// trip list that grows, no copy of it to sort.
TEST(DemoStats, EchoesTakeNoMemoryForTheirHistory) {
    DemoStats stats;
    for (uint64_t i = 1; i <= 100; ++i) roundTrip(stats, i, 3.0);
    g_large = 0;
    for (uint64_t i = 101; i <= 5000; ++i) {
        roundTrip(stats, i, double(i % 97));
        stats.percentile(50);
        stats.percentile(99);
    }
    EXPECT_EQ(g_large, 0u);
    EXPECT_EQ(stats.count(), 5000u);
}

}  // namespace
}  // namespace agent
