// The wall time of one invalid-order pass of the program's pass runner (download, cache look-ups, batch posts, rows
// and health) against the stand-in answering every request kLatencyMs late, at a given passConcurrency:
//   /full         the whole 15-day window of both statuses (240 requests an account), at concurrency 1 and 4 over
//                 the same kFullAccounts accounts;
//   /incremental  200 accounts with watermarks 5 minutes old (one slice of each status an account), concurrency 4;
//   /paced        the same at concurrency 8 with topCallLimit 50 and the stand-in refusing a 51st call a second.
// Counters: the wall time, the TOP requests, the peak requests in one wall-clock second at the gateway and the calls
// it refused as over its limit, and the wall time projected to a gateway that takes 100 ms a request:
// wall + requests x (100 ms - latency) / concurrency, the latency-bound part of the pass scaled up (for /full also
// for 50 accounts).
#include "foundation/globals.h"
#include "sessions/alimmTokenMgr.h"
#include "standInFolder.h"
#include "standin/standin.h"
#include "store/udb.h"
#include "sync/processObjects.h"
#include "sync/syncController.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QTime>

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>

namespace {

constexpr int kLatencyMs = 10;
constexpr int kFullAccounts = 8;
constexpr int kIncrementalAccounts = 200;
constexpr int kProjectedLatencyMs = 100;
constexpr int kProjectedFullAccounts = 50;
constexpr int kGenerousCallLimit = 400; // above what four workers ask at this latency: nothing is paced
constexpr int kPacedCallLimit = 50;

class TSilentFrontEnd : public TSyncFrontEnd {
public:
    void MessageBox(const QString&, const QString&, TButtons, TIcon) override { }
    void OperatorPanelChanged(const QString&) override { }
    void ControlsChanged() override { }
};

struct TWorldOptions {
    int accounts = kFullAccounts;
    int concurrency = 1;
    bool incremental = false;
    int callLimit = kGenerousCallLimit; // the program's topCallLimit and the stand-in's call limit
};

// The stand-in, a program folder pointing at it, the process objects and a controller whose account store holds
// every demo account.
class TPassWallWorld {
public:
    explicit TPassWallWorld(const TWorldOptions& AOptions)
        : FOptions(AOptions)
        , FFolder(StandInOptions(AOptions), Settings(AOptions))
    {
        CreateOrderCache(FFolder.filePath(QStringLiteral("db.db")));
        FObjects = FFolder.ProcessObjects();
        FController = std::make_unique<TSyncController>(FFrontEnd, TSyncPaths {FFolder.path(), FFolder.path()});
        FController->Open();
        for (const TDemoAccount& account : FFolder.StandIn().Data().Accounts()) {
            TAlimmTokenData data;
            data.userId = QString::fromStdString(account.userId);
            data.userName = QString::fromStdString(account.userName);
            data.token = QString::fromStdString(account.accessToken);
            AlimmTokenMgr()->updateToken(data);
        }
    }
    ~TPassWallWorld()
    {
        FController->CloseListener();
        FObjects->StopJobs();
        FController.reset();
        FObjects.reset();
    }

    // Every account as if its last pass ended 5 minutes ago and its whole read an hour ago.
    void SetWatermarks() const
    {
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        for (const TDemoAccount& account : FFolder.StandIn().Data().Accounts())
            for (const int status : {13, 14})
                DBCache()->setWatermark(QString::fromStdString(account.userId), status, {now - 300, now - 3600});
    }

    // A fresh order cache, so that a whole read finds every order new again.
    void FreshCache() const
    {
        QFile::remove(FFolder.filePath(QStringLiteral("db.db")));
        CreateOrderCache(FFolder.filePath(QStringLiteral("db.db")));
    }

    // One invalid-order pass on a worker, the main thread's calls running meanwhile; its wall time in seconds.
    double Pass()
    {
        std::atomic<bool> done {false};
        const auto start = std::chrono::steady_clock::now();
        JobScheduler()->Post([this, &done](TQJob* AJob) {
            FController->Passes().SyncInvalidOrdersJob(AJob);
            done = true;
        });
        while (!done.load())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }

    qint64 Counter(const char* AName) const
    {
        return FFolder.StandIn().Top().Counters().value(QLatin1String(AName)).toInteger();
    }
    const TWorldOptions& Options() const { return FOptions; }

private:
    static TStandInOptions StandInOptions(const TWorldOptions& AOptions)
    {
        TStandInOptions options;
        options.accounts = AOptions.accounts;
        options.seed = 7;
        options.faults.latencyMs = kLatencyMs;
        options.topCallLimit = AOptions.callLimit;
        return options;
    }

    static QByteArray Settings(const TWorldOptions& AOptions)
    {
        // Far from now: no whole read falls due during an incremental case.
        const int fullSyncHour = (QTime::currentTime().hour() + 2) % 24;
        return QStringLiteral("syncysh=1\nopenLarge=0\nsyncIncrement=%1\nfullSyncHour=%2\npassConcurrency=%3\n"
                              "topCallLimit=%4\n")
            .arg(AOptions.incremental ? 1 : 0)
            .arg(fullSyncHour)
            .arg(AOptions.concurrency)
            .arg(AOptions.callLimit)
            .toUtf8();
    }

    const TWorldOptions FOptions;
    TStandInFolder FFolder;
    TSilentFrontEnd FFrontEnd;
    std::unique_ptr<TProcessObjects> FObjects;
    std::unique_ptr<TSyncController> FController;
};

void PassWallTime(benchmark::State& AState, const TWorldOptions& AOptions)
{
    TPassWallWorld world(AOptions);
    double seconds = 0;
    const qint64 callsBefore = world.Counter("calls");
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
    const double requests = static_cast<double>(world.Counter("calls") - callsBefore) / passes;
    const double projected = wall + requests * (kProjectedLatencyMs - kLatencyMs) / 1000.0 / AOptions.concurrency;
    AState.counters["accounts"] = AOptions.accounts;
    AState.counters["concurrency"] = AOptions.concurrency;
    AState.counters["latency_ms"] = kLatencyMs;
    AState.counters["wall_s"] = wall;
    AState.counters["top_requests"] = requests;
    AState.counters["projected_100ms_s"] = projected;
    if (!AOptions.incremental)
        AState.counters["projected_100ms_50acc_s"] = projected * kProjectedFullAccounts / AOptions.accounts;
    AState.counters["call_limit"] = AOptions.callLimit;
    AState.counters["peak_req_per_s"] = static_cast<double>(world.Counter("peakCallsPerSecond"));
    AState.counters["over_limit_refusals"] = static_cast<double>(world.Counter("callLimited"));
}

void BM_PassWallTime_full(benchmark::State& AState)
{
    PassWallTime(AState, {kFullAccounts, static_cast<int>(AState.range(0)), false, kGenerousCallLimit});
}

void BM_PassWallTime_incremental(benchmark::State& AState)
{
    PassWallTime(AState, {kIncrementalAccounts, 4, true, kGenerousCallLimit});
}

void BM_PassWallTime_paced(benchmark::State& AState)
{
    PassWallTime(AState, {kIncrementalAccounts, 8, true, kPacedCallLimit});
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
