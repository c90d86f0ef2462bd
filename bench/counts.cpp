// SPDX-License-Identifier: MIT
// Runs one measured case for callgrind: `devtcp_bench_counts CASE CALLS`. The measured
// library calls, and only they, are made from measureProc or measureSend, so that
// callgrind's --toggle-collect on that wrapper counts exactly those calls and nothing of
// the set-up.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "trivial_net.h"
#include "xr_dev_tcp.h"

namespace {

// The empty asm after the call keeps it from becoming a tail jump.
__attribute__((noinline, noclone)) void measureProc(uint32_t uTick) {
    xrDevTcpProc(uTick);
    asm volatile("");
}
__attribute__((noinline, noclone)) int32_t measureSend(int32_t id, const uint8_t *p, uint32_t n) {
    int32_t r = xrDevTcpSend(id, XR_DEV_TCP_MSG_DATA, p, n, bench::kPeer, bench::kPeerSize);
    asm volatile("");
    return r;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s idle|recv64|recv1024|send64|send1024 CALLS\n", argv[0]);
        return 2;
    }
    const char *c = argv[1];
    unsigned n = unsigned(std::strtoul(argv[2], nullptr, 10));
    int32_t ids[2];
    uint32_t uTick = bench::setUpTwoLinks(ids);
    static uint8_t frame[XR_DEV_TCP_BUF_SIZE];
    static uint8_t data[1024];
    uint64_t uSentBefore = bench::bytesSent();

    if (!std::strcmp(c, "idle")) {
        // 50 ms apart: a per-second pass every 20th call, as on a device. 1000 calls span
        // 50 s, below the 60 s after which keepalives would start.
        for (unsigned i = 0; i < n; ++i) measureProc(uTick += bench::kTickMs);
        if (bench::bytesSent() != uSentBefore) return 1;
    } else if (!std::strcmp(c, "recv64") || !std::strcmp(c, "recv1024")) {
        uint32_t uData = c[4] == '6' ? 64 : 1024;
        uint32_t uSize = bench::buildDataFrame(frame, 0x1001, uData);
        for (unsigned i = 0; i < n; ++i) {
            bench::arriveOnSlot0(frame, uSize);
            measureProc(uTick += bench::kTickMs);
        }
        // Every frame came back whole: same size out as in.
        if (bench::bytesSent() - uSentBefore != uint64_t(uSize) * n) return 1;
    } else if (!std::strcmp(c, "send64")) {
        for (unsigned i = 0; i < n; ++i)
            if (measureSend(ids[0], data, 64) != 64) return 1;
    } else if (!std::strcmp(c, "send1024")) {
        for (unsigned i = 0; i < n; ++i)
            if (measureSend(ids[0], data, 1024) != 1024) return 1;
    } else {
        return 2;
    }
    return 0;
}
