// The TOP call budget against the stand-in gateway on a simulated clock.
// BM_TopCallsPerDay: requests per account over one simulated day of invalid-order passes every 5 minutes (status 13
// and 14), with full passes and with incremental sync; the counter "requests_per_account" is the figure.
// BM_StopDuringBan: from the stop request to the end of a pass that waits out a 30 s ban (real time).
#include "standInFolder.h"
#include "standin/standin.h"
#include "store/ucommon.h"
#include "store/udb.h"
#include "sync/delivery.h"
#include "taobao/orderPass.h"
#include "taobao/topApiGetOrders.h"
#include "taobao/topLimits.h"

#include <QTimeZone>

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

namespace {

constexpr int kAccounts = 2;

qint64 Utc8Ms(int AYear, int AMonth, int ADay, int AHour)
{
    return QDateTime(QDate(AYear, AMonth, ADay), QTime(AHour, 0), QTimeZone(8 * 3600)).toMSecsSinceEpoch();
}

// The stand-in on a manual clock, and the settings and order cache of the program. Lines are not delivered: what a
// pass asks of the gateway does not depend on the cache's orders, only on its watermarks.
class TOrderDay {
public:
    TOrderDay(int AAccounts, bool AIncremental, qint64 AStartMs)
        : FClock(AStartMs)
        , FFolder(StandInOptions(AAccounts, FClock),
              "syncysh=1\nsyncIncrement=" + QByteArray(AIncremental ? "1" : "0") + "\n")
    {
        CreateOrderCache(FFolder.filePath(QStringLiteral("db.db")));
        FCommon = std::make_unique<TCommon>(FFolder.path());
        FCommonScope = std::make_unique<TGlobalScope<TCommon>>(FCommon.get());
        FCache = std::make_unique<TDBCacheClass>(FFolder.path());
        FCacheScope = std::make_unique<TGlobalScope<TDBCacheClass>>(FCache.get());
    }

    void Passes(qint64 AFromMs, qint64 AToMs, qint64 AEveryMs)
    {
        for (qint64 at = AFromMs; at < AToMs; at += AEveryMs) {
            FClock.Set(std::max(at, FClock.NowMs()));
            for (const TDemoAccount& account : FFolder.StandIn().Data().Accounts()) {
                // Nothing is posted here: every pass counts as delivered, so the watermarks move as after an
                // accepted batch.
                const QString userId = QString::fromStdString(account.userId);
                const TOrderPassResult pass
                    = TOrderPass(FClock, &FGate)
                          .Run(userId, QString::fromStdString(account.userName),
                              QString::fromStdString(account.accessToken), TDelivery::Watermarks(*FCache, userId), {});
                for (const auto& [status, mark] : pass.watermarks)
                    FCache->setWatermark(pass.accountKey, status, mark);
            }
        }
    }

    long long Calls() const
    {
        long long calls = 0;
        for (const TDemoAccount& account : FFolder.StandIn().Data().Accounts())
            calls += FFolder.StandIn().Top().CallsOf(account.index);
        return calls;
    }

    TStandIn& StandIn() { return FFolder.StandIn(); }

private:
    static TStandInOptions StandInOptions(int AAccounts, const TManualTopClock& AClock)
    {
        TStandInOptions options;
        options.seed = 11;
        options.accounts = AAccounts;
        options.clock = [&AClock] { return AClock.NowMs() / 1000; };
        return options;
    }

    TManualTopClock FClock;
    TTopGate FGate;
    TStandInFolder FFolder;
    std::unique_ptr<TCommon> FCommon;
    std::unique_ptr<TGlobalScope<TCommon>> FCommonScope;
    std::unique_ptr<TDBCacheClass> FCache;
    std::unique_ptr<TGlobalScope<TDBCacheClass>> FCacheScope;
};

void BM_TopCallsPerDay(benchmark::State& AState)
{
    const bool incremental = AState.range(0) != 0;
    const qint64 from = Utc8Ms(2026, 3, 2, 0);
    long long calls = 0;
    for (auto _ : AState) {
        TOrderDay day(kAccounts, incremental, from);
        day.Passes(from, from + 86'400'000, 5 * 60'000);
        calls = day.Calls();
    }
    AState.counters["requests_per_account"] = static_cast<double>(calls) / kAccounts;
}
BENCHMARK(BM_TopCallsPerDay)->Name("BM_TopCallsPerDay/full")->Arg(0)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_TopCallsPerDay)->Name("BM_TopCallsPerDay/incremental")->Arg(1)->Iterations(1)->Unit(benchmark::kSecond);

void BM_StopDuringBan(benchmark::State& AState)
{
    TOrderDay day(1, false, Utc8Ms(2026, 3, 2, 10));
    const QString token = QString::fromStdString(day.StandIn().Data().Accounts()[0].accessToken);
    for (auto _ : AState) {
        day.StandIn().Top().SetBan(0, 30);
        TTopGate gate;
        std::atomic<bool> stop {false};
        TTopApiGetOrders orders(token, QString(), QString(), [&] { return stop.load(); });
        orders.setGate(&gate);
        auto pass = std::async(std::launch::async, [&] {
            std::vector<TInvalidOrder> lines;
            const QDateTime now = QDateTime::currentDateTime();
            orders.getOrdersToList(now.addDays(-15), now, 13, lines);
        });
        while (gate.BannedUntil() == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const auto start = std::chrono::steady_clock::now();
        stop = true;
        pass.get();
        AState.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
}
BENCHMARK(BM_StopDuringBan)
    ->Name("BM_StopDuringBan/quenlar")
    ->UseManualTime()
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond);

} // namespace
