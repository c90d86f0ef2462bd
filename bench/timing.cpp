// SPDX-License-Identifier: MIT
// Google Benchmark times of the same cases as the instruction counts, for the curious.
#include <benchmark/benchmark.h>

#include "trivial_net.h"
#include "xr_dev_tcp.h"

namespace {

struct Links {
    int32_t ids[2];
    uint32_t uTick;
    Links() { uTick = bench::setUpTwoLinks(ids); }
};

void IdleProc(benchmark::State &state) {
    Links links;
    uint32_t n = 0;
    for (auto _ : state) {
        xrDevTcpProc(links.uTick += bench::kTickMs);
        // Every 50 s of ticks the silence timers restart, so no keepalive is ever due.
        if (++n == 1000) {
            n = 0;
            bench::keepAlive(links.uTick);
        }
    }
}
BENCHMARK(IdleProc);

void RecvEchoProc(benchmark::State &state) {
    Links links;
    static uint8_t frame[XR_DEV_TCP_BUF_SIZE];
    uint32_t uSize = bench::buildDataFrame(frame, 0x1001, uint32_t(state.range(0)));
    uint64_t uSentBefore = bench::bytesSent();
    uint32_t n = 0;
    for (auto _ : state) {
        bench::arriveOnSlot0(frame, uSize);
        xrDevTcpProc(links.uTick += bench::kTickMs);
        // Slot 1 hears nothing: keep its silence below the keepalive threshold.
        if (++n == 1000) {
            n = 0;
            bench::keepAlive(links.uTick);
        }
    }
    if (bench::bytesSent() - uSentBefore != uint64_t(uSize) * state.iterations())
        state.SkipWithError("not every frame was echoed");
    state.SetBytesProcessed(int64_t(state.iterations()) * uSize);
}
BENCHMARK(RecvEchoProc)->Arg(64)->Arg(1024);

void Send(benchmark::State &state) {
    Links links;
    static uint8_t data[1024];
    uint32_t uSize = uint32_t(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(xrDevTcpSend(links.ids[0], XR_DEV_TCP_MSG_DATA, data, uSize,
                                              bench::kPeer, bench::kPeerSize));
    state.SetBytesProcessed(int64_t(state.iterations()) * uSize);
}
BENCHMARK(Send)->Arg(64)->Arg(1024);

}  // namespace

BENCHMARK_MAIN();
