// SPDX-License-Identifier: MIT
// A trivial socket table and an echoing event table for measuring the library alone:
// every operation answers at once from memory, and the receive handler echoes the data
// to its sender the way the console client does.
#ifndef DEVTCP_BENCH_TRIVIAL_NET_H
#define DEVTCP_BENCH_TRIVIAL_NET_H

#include <stdint.h>

namespace bench {

constexpr uint32_t kTickMs = 50;
constexpr char kPeer[] = "peer-01";  // 8 bytes with its NUL: no padding
constexpr uint32_t kPeerSize = sizeof kPeer;

// Installs the tables into a fresh library and logs two users in, so that both slots
// are Logined with an open socket; returns the tick reached. Handles in ids[2].
uint32_t setUpTwoLinks(int32_t ids[2]);

// The next SocketRecv on slot 0's socket hands out these bytes (at most once).
void arriveOnSlot0(const uint8_t *lpFrame, uint32_t uSize);

// A data frame from kPeer with uDataSize bytes, as the agent sends it; returns its size.
uint32_t buildDataFrame(uint8_t *lpOut, uint32_t uSessID, uint32_t uDataSize);

// Bytes taken by SocketSend so far.
uint64_t bytesSent();

// Restarts both slots' silence timers so that a run of any length stays idle.
void keepAlive(uint32_t uTick);

}  // namespace bench

#endif
