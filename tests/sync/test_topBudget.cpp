// The TOP call budget against the stand-in gateway on a simulated clock: limits, the daily quota, and incremental
// sync delivering what full passes deliver.
#include "orderday.h"
#include "taobao/topApiGetOrders.h"
#include "testwait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <set>

namespace {

// --- the limits against the stand-in gateway, on a simulated clock ---

class TopLimits : public ::testing::Test {
protected:
    // One account's orders of every status over [AFrom, AFrom + 2 h).
    bool Download(const std::string& AToken, qint64 AFrom, QStringList& ALines, const TTopClock* AClock,
        const TStopCheck& AStop = {})
    {
        TTopApiGetOrders orders(QString::fromStdString(AToken), QString(), QString(), AStop);
        orders.setAccountName(QStringLiteral("演示账号01"));
        orders.setClock(AClock);
        orders.setGate(&FGate);
        const QDateTime from = QDateTime::fromMSecsSinceEpoch(AFrom);
        return orders.getOrdersToList(from, from.addSecs(7200), -1, ALines);
    }
    const std::string& Token() { return FDay.StandIn().Data().Accounts()[0].accessToken; }
    long long Calls() { return FDay.StandIn().Top().CallsOf(0); }

    static constexpr qint64 kStart = 1'772'416'800'000; // 2026-03-02 10:00 UTC+8
    TOrderDay FDay {1, false, kStart};
    TTopGate FGate;
    const qint64 FWindow = kStart - 2 * 86'400'000;
};

TEST_F(TopLimits, ABanIsWaitedOutOnceAndTheSamePageIsRead)
{
    QStringList reference;
    ASSERT_TRUE(Download(Token(), FWindow, reference, &FDay.Clock()));
    ASSERT_FALSE(reference.isEmpty());
    const long long before = Calls();
    FDay.StandIn().Top().SetBan(0, 30);
    const qint64 waitedBefore = FDay.Clock().WaitedMs();
    QStringList lines;
    ASSERT_TRUE(Download(Token(), FWindow, lines, &FDay.Clock()));
    EXPECT_EQ(lines, reference);
    EXPECT_EQ(Calls() - before, 2); // the banned request and the same page again
    const qint64 waited = FDay.Clock().WaitedMs() - waitedBefore;
    EXPECT_GE(waited, 31'000);
    EXPECT_LT(waited, 32'000);
}

TEST_F(TopLimits, TransientFailuresAreAskedAgainTwice)
{
    struct TCase {
        int failures;
        bool read;
        long long calls;
    };
    for (const TCase& c : {TCase {1, true, 2}, TCase {2, true, 3}, TCase {3, false, 3}}) {
        const long long before = Calls();
        FDay.StandIn().Top().SetTransientErrors(c.failures);
        QStringList lines;
        EXPECT_EQ(Download(Token(), FWindow, lines, &FDay.Clock()), c.read) << c.failures;
        EXPECT_EQ(Calls() - before, c.calls) << c.failures;
        FDay.StandIn().Top().SetTransientErrors(0);
    }
}

TEST_F(TopLimits, ARefusedSessionCostsOneRequestPerPass)
{
    const long long before = FDay.StandIn().Top().Counters()[QStringLiteral("calls")].toInteger();
    TTopApiGetOrders orders(QStringLiteral("6101expired"), QString(), QString());
    orders.setClock(&FDay.Clock());
    orders.setGate(&FGate);
    QStringList lines;
    const QDateTime now = QDateTime::fromMSecsSinceEpoch(kStart);
    EXPECT_FALSE(orders.getOrdersToList(now.addDays(-15), now, 13, lines));
    EXPECT_EQ(FDay.StandIn().Top().Counters()[QStringLiteral("calls")].toInteger() - before, 1);
}

TEST_F(TopLimits, AStopDuringABanEndsThePass)
{
    FDay.StandIn().Top().SetBan(0, 30);
    std::atomic<bool> stop {false};
    QStringList lines;
    // Real time here: the ban is waited on the system clock, as in the program.
    auto pass = std::async(std::launch::async,
        [&] { return Download(Token(), FWindow, lines, &SystemTopClock(), [&] { return stop.load(); }); });
    ASSERT_TRUE(WaitForCondition([&] { return FGate.BannedUntil() != 0; }));
    const auto stoppedAt = std::chrono::steady_clock::now();
    stop = true;
    EXPECT_FALSE(pass.get());
    // Far below the 31 s the ban would hold the pass; the latency itself is a benchmark.
    EXPECT_LT(std::chrono::steady_clock::now() - stoppedAt, std::chrono::seconds(10));
    EXPECT_EQ(Calls(), 1);
}

TEST(TopQuotaDay, AQuotaSpentAtTenAsksNothingUntilMidnightUtc8)
{
    constexpr qint64 k5Min = 5 * 60'000;
    TOrderDay day(2, false, Utc8Ms(2026, 3, 2, 9, 55));
    day.Pass(Utc8Ms(2026, 3, 2, 9, 55));
    day.StandIn().Top().SetDailyQuota(10); // ten more requests today
    const long long before = day.Calls();
    day.Pass(Utc8Ms(2026, 3, 2, 10));
    EXPECT_EQ(day.Calls() - before, 11); // ten answered, the eleventh refused
    EXPECT_EQ(day.Gate().QuotaSpentUntil(), Utc8Ms(2026, 3, 3, 0));
    day.Passes(Utc8Ms(2026, 3, 2, 10, 5), Utc8Ms(2026, 3, 3, 0), k5Min);
    EXPECT_EQ(day.Calls() - before, 11);
    day.StandIn().Top().SetDailyQuota(0);
    day.Pass(Utc8Ms(2026, 3, 3, 0));
    EXPECT_GT(day.Calls() - before, 11);
}

// --- incremental sync: the same deliveries as full passes, for far fewer requests ---

struct TDayOutcome {
    std::set<TStandInLedger::TKey> received;
    long long duplicates = 0;
    long long calls = 0;
};

TDayOutcome RunDay(bool AIncremental, int AAccounts, qint64 AEveryMs)
{
    const qint64 from = Utc8Ms(2026, 3, 2, 0);
    TOrderDay day(AAccounts, AIncremental, from);
    day.Passes(from, from + 86'400'000 + 1, AEveryMs);
    TDayOutcome outcome;
    outcome.received = day.StandIn().Ledger().ReceivedOrders();
    outcome.duplicates
        = day.StandIn().Received()[QStringLiteral("invalidOrders")][QStringLiteral("duplicates")].toInteger();
    outcome.calls = day.Calls();
    return outcome;
}

TEST(TopIncremental, DeliversWhatFullPassesDeliverOverADayForTwentyAccounts)
{
    constexpr qint64 kEvery = 4 * 3'600'000;
    const TDayOutcome full = RunDay(false, 20, kEvery);
    const TDayOutcome incremental = RunDay(true, 20, kEvery);
    EXPECT_FALSE(full.received.empty());
    EXPECT_EQ(incremental.received, full.received);
    EXPECT_EQ(full.duplicates, 0);
    EXPECT_EQ(incremental.duplicates, 0);
    EXPECT_LT(incremental.calls, full.calls);
}

} // namespace
