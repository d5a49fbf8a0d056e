// What --once costs on a real network: one invalid-order pass in full mode and one refund pass through the TOP
// refund method (refundSource=api), every batch post awaited, against the stand-in with a kRttMs round trip charged
// for every new connection and for every exchange (a TLS handshake flight included) and no other delay. The
// arguments are the accounts (2, 8) and passConcurrency (1, 4).
//
// The floor is one round trip per request on the path the passes walk: the order pages shared among the pass's
// workers (min(concurrency, accounts)), then the refund pass's requests one after another (it runs on one worker),
// its refund pages and its refund batch posts. The invalid-order batches go out from threads of their own while the
// downloads go on and are left out. Counters: the wall time, the requests, the floor and the wall time over it
// (x_floor; goal at most 1.15), the same over the flat floor of every request of the pass at the concurrency
// setting (x_flat_floor), the program's own pause after every page on that path (pause_s, TTopPages::kPagePauseMs
// each) and the wall time over floor and pause together (x_floor_and_pause), and the connections the program opened
// per service (goal: one per worker to the gateway; a batch post always opens its own).
#include "passWorld.h"
#include "taobao/topPages.h"

#include <benchmark/benchmark.h>

#include <algorithm>

namespace {

constexpr int kRttMs = 40;

struct TNetworkCounts {
    double top = 0;
    double refundPages = 0;
    double operatorRequests = 0;
    double intakeRequests = 0;
    double topConnections = 0;
    double operatorConnections = 0;
    double intakeConnections = 0;

    static TNetworkCounts Of(const TPassWorld& AWorld)
    {
        const auto net = [&AWorld](TStandInHost AHost, const char* AName) {
            return static_cast<double>(AWorld.NetworkCounter(AHost, AName));
        };
        return {static_cast<double>(AWorld.TopCounter("calls")), static_cast<double>(AWorld.TopCounter("refundPages")),
            net(TStandInHost::Operator, "requests"), net(TStandInHost::Intake, "requests"),
            net(TStandInHost::Top, "connections"), net(TStandInHost::Operator, "connections"),
            net(TStandInHost::Intake, "connections")};
    }
    TNetworkCounts PerPass(const TNetworkCounts& ABefore, double APasses) const
    {
        return {(top - ABefore.top) / APasses, (refundPages - ABefore.refundPages) / APasses,
            (operatorRequests - ABefore.operatorRequests) / APasses,
            (intakeRequests - ABefore.intakeRequests) / APasses, (topConnections - ABefore.topConnections) / APasses,
            (operatorConnections - ABefore.operatorConnections) / APasses,
            (intakeConnections - ABefore.intakeConnections) / APasses};
    }
};

void BM_PassAtRtt(benchmark::State& AState)
{
    TPassWorldOptions options;
    options.accounts = static_cast<int>(AState.range(0));
    options.concurrency = static_cast<int>(AState.range(1));
    options.latencyMs = 0;
    options.rttMs = kRttMs;
    options.refundSource = QStringLiteral("api");
    options.signIn = true;
    TPassWorld world(options);
    const TNetworkCounts before = TNetworkCounts::Of(world);
    double seconds = 0;
    for (auto _ : AState) {
        AState.PauseTiming();
        world.FreshCache();
        AState.ResumeTiming();
        const double wall = world.PassesOnce();
        AState.SetIterationTime(wall);
        seconds += wall;
    }
    const double passes = static_cast<double>(AState.iterations());
    const TNetworkCounts pass = TNetworkCounts::Of(world).PerPass(before, passes);
    const double wall = seconds / passes;
    const double rtt = kRttMs / 1000.0;
    const double workers = std::min(options.concurrency, options.accounts);
    const double orderPages = pass.top - pass.refundPages;
    const double floor = rtt * (orderPages / workers + pass.refundPages + pass.operatorRequests);
    const double pause = TTopPages::kPagePauseMs / 1000.0 * (orderPages / workers + pass.refundPages);
    const double requests = pass.top + pass.operatorRequests + pass.intakeRequests;
    const double flatFloor = rtt * requests / options.concurrency;
    AState.counters["accounts"] = options.accounts;
    AState.counters["concurrency"] = options.concurrency;
    AState.counters["rtt_ms"] = kRttMs;
    AState.counters["wall_s"] = wall;
    AState.counters["requests"] = requests;
    AState.counters["top_requests"] = pass.top;
    AState.counters["floor_s"] = floor;
    AState.counters["x_floor"] = wall / floor;
    AState.counters["x_flat_floor"] = wall / flatFloor;
    AState.counters["pause_s"] = pause;
    AState.counters["x_floor_and_pause"] = wall / (floor + pause);
    AState.counters["top_conns"] = pass.topConnections;
    AState.counters["top_conns_per_worker"] = pass.topConnections / workers;
    AState.counters["operator_conns"] = pass.operatorConnections;
    AState.counters["operator_requests"] = pass.operatorRequests;
    AState.counters["intake_conns"] = pass.intakeConnections;
    AState.counters["intake_requests"] = pass.intakeRequests;
}

} // namespace

BENCHMARK(BM_PassAtRtt)
    ->ArgNames({"accounts", "concurrency"})
    ->Args({2, 1})
    ->Args({2, 4})
    ->Args({8, 1})
    ->Args({8, 4})
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
