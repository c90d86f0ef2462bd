// SPDX-License-Identifier: MIT
// What both fuzz targets share: the input read as a script of little-endian fields (past
// its end every read yields zeros, so any byte string is a script), and the final check.
#ifndef DEVTCP_FUZZ_READER_H
#define DEVTCP_FUZZ_READER_H

#include <algorithm>

#include "fake_net.h"

struct Reader {
    const uint8_t *p;
    size_t n;
    uint8_t u8() { return n ? (--n, *p++) : 0; }
    // Low byte first: each read is its own statement, as reads in one expression are unordered.
    uint16_t u16() {
        uint16_t lo = u8();
        return uint16_t(lo | u8() << 8);
    }
    uint32_t u32() {
        uint32_t lo = u16();
        return lo | uint32_t(u16()) << 16;
    }
    Bytes bytes(size_t uSize) {
        Bytes out(uSize);
        for (uint8_t &b : out) b = u8();
        return out;
    }
    // A SocketSend plan of 1 to 8 answers used round and round: 0 takes all, 1 nothing,
    // 2 fails, 3 claims more than offered, any other a takes up to a - 3 bytes.
    void sendPlan(FakeNet &net) {
        static const int32_t kPlan[] = {INT32_MAX, 0, FakeNet::kFail, FakeNet::kOverclaim};
        net.sendPlan.assign(u8() % 8u + 1u, 0);
        for (int32_t &a : net.sendPlan) a = u8(), a = a < 4 ? kPlan[a] : a - 3;
        net.planAt = 0;
    }
    // Short and per-second steps, the timers' long silences, jumps to just before the wrap.
    uint32_t tick(uint32_t t) {
        uint8_t b = u8();
        return b < 128   ? t + b * 8u
               : b < 192 ? t + (b - 128u) * 1000u
               : b < 240 ? t + (b - 192u) * 15000u
                         : 0xFFFFFFFFu - (b - 240u) * 40u;
    }
};

inline void logOutAllAndCheck(FakeNet &net) {  // leaves no socket open, every slot free
    for (uint32_t u = 0; u < kLinks; ++u) xrDevTcpLogout(devtcp::makeHandle(u));
    net.checkState();
    for (auto &s : net.sockets)
        if (s.second.open) FakeNet::fail("socket left open: " + std::to_string(s.first));
}

#endif
