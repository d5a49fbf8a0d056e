// The wall time of one invalid-order pass of the program's pass runner (download, cache look-ups, batch posts, rows
// and health) against the stand-in answering every request kLatencyMs late, at a given passConcurrency:
//   /full         the whole 15-day window of both statuses (240 requests an account), at concurrency 1 and 4 over
//                 the same kFullAccounts accounts;
//   /incremental  200 accounts with watermarks 5 minutes old (one slice of each status an account), concurrency 4;
//   /paced        the same at concurrency 8 with topCallLimit 50 and the stand-in refusing a 51st call a second.
// Counters: the wall time, the TOP requests and the connections they took, the peak requests in one wall-clock second
// at the gateway and the calls it refused as over its limit, and the wall time projected to a gateway that takes 100 ms
// a request: wall + requests x (100 ms - latency) / concurrency, the latency-bound part of the pass scaled up (for
// /full also for 50 accounts).
#include "passWorld.h"

#include <benchmark/benchmark.h>

namespace {

constexpr int kLatencyMs = 10;
constexpr int kFullAccounts = 8;
constexpr int kIncrementalAccounts = 200;
constexpr int kProjectedLatencyMs = 100;
constexpr int kProjectedFullAccounts = 50;
constexpr int kGenerousCallLimit = 400; // above what four workers ask at this latency: nothing is paced
constexpr int kPacedCallLimit = 50;

TPassWorldOptions WorldOptions(int AAccounts, int AConcurrency, bool AIncremental, int ACallLimit)
{
    TPassWorldOptions options;
    options.accounts = AAccounts;
    options.concurrency = AConcurrency;
    options.incremental = AIncremental;
    options.callLimit = ACallLimit;
    options.latencyMs = kLatencyMs;
    return options;
}

void PassWallTime(benchmark::State& AState, const TPassWorldOptions& AOptions)
{
    TPassWorld world(AOptions);
    double seconds = 0;
    const qint64 callsBefore = world.TopCounter("calls");
    const qint64 connectionsBefore = world.NetworkCounter(TStandInHost::Top, "connections");
    for (auto _ : AState) {
        AState.PauseTiming();
        if (AOptions.incremental)
            world.SetWatermarks();
        else
            world.FreshCache();
        AState.ResumeTiming();
        const double wall = world.Pass();
        AState.SetIterationTime(wall);
        seconds += wall;
    }
    const double passes = static_cast<double>(AState.iterations());
    const double wall = seconds / passes;
    const double requests = static_cast<double>(world.TopCounter("calls") - callsBefore) / passes;
    const double projected = wall + requests * (kProjectedLatencyMs - kLatencyMs) / 1000.0 / AOptions.concurrency;
    AState.counters["accounts"] = AOptions.accounts;
    AState.counters["concurrency"] = AOptions.concurrency;
    AState.counters["latency_ms"] = kLatencyMs;
    AState.counters["wall_s"] = wall;
    AState.counters["top_requests"] = requests;
    AState.counters["top_conns"]
        = static_cast<double>(world.NetworkCounter(TStandInHost::Top, "connections") - connectionsBefore) / passes;
    AState.counters["projected_100ms_s"] = projected;
    if (!AOptions.incremental)
        AState.counters["projected_100ms_50acc_s"] = projected * kProjectedFullAccounts / AOptions.accounts;
    AState.counters["call_limit"] = AOptions.callLimit;
    AState.counters["peak_req_per_s"] = static_cast<double>(world.TopCounter("peakCallsPerSecond"));
    AState.counters["over_limit_refusals"] = static_cast<double>(world.TopCounter("callLimited"));
}

void BM_PassWallTime_full(benchmark::State& AState)
{
    PassWallTime(AState, WorldOptions(kFullAccounts, static_cast<int>(AState.range(0)), false, kGenerousCallLimit));
}

void BM_PassWallTime_incremental(benchmark::State& AState)
{
    PassWallTime(AState, WorldOptions(kIncrementalAccounts, 4, true, kGenerousCallLimit));
}

void BM_PassWallTime_paced(benchmark::State& AState)
{
    PassWallTime(AState, WorldOptions(kIncrementalAccounts, 8, true, kPacedCallLimit));
}

} // namespace

BENCHMARK(BM_PassWallTime_full)
    ->Name("BM_PassWallTime/full")
    ->ArgName("concurrency")
    ->Arg(1)
    ->Arg(4)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PassWallTime_incremental)
    ->Name("BM_PassWallTime/incremental")
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PassWallTime_paced)
    ->Name("BM_PassWallTime/paced")
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
