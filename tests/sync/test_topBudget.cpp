// The TOP call budget against the stand-in gateway on a simulated clock: limits, the daily quota, and incremental
// sync delivering what full passes deliver.
#include "log/QLog.h"
#include "logLines.h"
#include "orderday.h"
#include "taobao/topApiGetOrders.h"
#include "testwait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <set>
#include <vector>

namespace {

// The log lines written while it lives, as the program words them.
class TLoggedLines {
public:
    // How many lines hold every one of the texts, once every line logged so far has arrived.
    int Count(std::initializer_list<QString> ATexts)
    {
        EXPECT_TRUE(WaitForCondition([this] { return FLog.Flushed() >= FLog.Count(); }));
        return FLines->Count(ATexts);
    }

private:
    TQLog FLog;
    TGlobalScope<TQLog> FScope {&FLog};
    std::shared_ptr<TLogLines> FLines = TLogLines::Attach(FLog);
};

// --- the limits against the stand-in gateway, on a simulated clock ---

class TopLimits : public ::testing::Test {
protected:
    // One account's orders of every status over [AFrom, AFrom + 2 h).
    bool Download(const std::string& AToken, qint64 AFrom, std::vector<TInvalidOrder>& ALines, const TTopClock* AClock,
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
    TLoggedLines FLogLines;
    const qint64 FWindow = kStart - 2 * 86'400'000;
};

TEST_F(TopLimits, ABanIsWaitedOutOnceAndTheSamePageIsRead)
{
    std::vector<TInvalidOrder> reference;
    ASSERT_TRUE(Download(Token(), FWindow, reference, &FDay.Clock()));
    ASSERT_FALSE(reference.empty());
    const long long before = Calls();
    FDay.StandIn().Top().SetBan(0, 30);
    const qint64 waitedBefore = FDay.Clock().WaitedMs();
    std::vector<TInvalidOrder> lines;
    ASSERT_TRUE(Download(Token(), FWindow, lines, &FDay.Clock()));
    EXPECT_EQ(lines, reference);
    EXPECT_EQ(Calls() - before, 2); // the banned request and the same page again
    const qint64 waited = FDay.Clock().WaitedMs() - waitedBefore;
    EXPECT_GE(waited, 31'000);
    EXPECT_LT(waited, 32'000);
    EXPECT_EQ(FLogLines.Count({QStringLiteral("联盟账号 演示账号01"), QStringLiteral("被限流"),
                  QStringLiteral("accesscontrol.limited-by-api-access-count"), QStringLiteral("31 秒")}),
        1);
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
        std::vector<TInvalidOrder> lines;
        EXPECT_EQ(Download(Token(), FWindow, lines, &FDay.Clock()), c.read) << c.failures;
        EXPECT_EQ(Calls() - before, c.calls) << c.failures;
        FDay.StandIn().Top().SetTransientErrors(0);
    }
    EXPECT_EQ(FLogLines.Count({QStringLiteral("联盟账号 演示账号01"),
                  QStringLiteral("isp.top-remote-connection-timeout"), QStringLiteral("重试 2 次后放弃")}),
        1);
}

TEST_F(TopLimits, ARefusedSessionCostsOneRequestPerPass)
{
    const long long before = FDay.StandIn().Top().Counters()[QStringLiteral("calls")].toInteger();
    TTopApiGetOrders orders(QStringLiteral("6101expired"), QString(), QString());
    orders.setAccountName(QStringLiteral("过期账号"));
    orders.setClock(&FDay.Clock());
    orders.setGate(&FGate);
    std::vector<TInvalidOrder> lines;
    const QDateTime now = QDateTime::fromMSecsSinceEpoch(kStart);
    EXPECT_FALSE(orders.getOrdersToList(now.addDays(-15), now, 13, lines));
    EXPECT_EQ(FDay.StandIn().Top().Counters()[QStringLiteral("calls")].toInteger() - before, 1);
    EXPECT_EQ(FLogLines.Count({QStringLiteral("联盟账号 过期账号"), QStringLiteral("code:27"),
                  QStringLiteral("sub_code:invalid-sessionkey"), QStringLiteral("msg:Invalid session")}),
        1);
}

TEST_F(TopLimits, AStopDuringABanEndsThePass)
{
    FDay.StandIn().Top().SetBan(0, 30);
    std::atomic<bool> stop {false};
    std::vector<TInvalidOrder> lines;
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
    TLoggedLines log;
    TOrderDay day(2, false, Utc8Ms(2026, 3, 2, 9, 55));
    day.Pass(Utc8Ms(2026, 3, 2, 9, 55));
    day.StandIn().Top().SetDailyQuota(10); // ten more requests today
    const long long before = day.Calls();
    day.Pass(Utc8Ms(2026, 3, 2, 10));
    EXPECT_EQ(day.Calls() - before, 11); // ten answered, the eleventh refused
    EXPECT_EQ(day.Gate().QuotaSpentUntil(), Utc8Ms(2026, 3, 3, 0));
    day.Passes(Utc8Ms(2026, 3, 2, 10, 5), Utc8Ms(2026, 3, 3, 0), k5Min);
    EXPECT_EQ(day.Calls() - before, 11);
    const QString resume
        = QDateTime::fromMSecsSinceEpoch(Utc8Ms(2026, 3, 3, 0)).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    EXPECT_EQ(log.Count({QStringLiteral("今日调用次数已用完")}), 1);
    EXPECT_EQ(log.Count({QStringLiteral("今日调用次数已用完"), resume}), 1);
    day.StandIn().Top().SetDailyQuota(0);
    day.Pass(Utc8Ms(2026, 3, 3, 0));
    EXPECT_GT(day.Calls() - before, 11);
}

TEST(TopIncremental, AWatermarkMovesOnlyWhenEverySliceWasRead)
{
    constexpr qint64 k5Min = 5 * 60'000;
    const qint64 start = Utc8Ms(2026, 3, 2, 13);
    TOrderDay day(1, true, start, true);
    const QString key = QString::fromStdString(day.StandIn().Data().Accounts()[0].userId);
    day.Pass(start);
    for (const int status : {13, 14}) {
        const std::optional<TOrderWatermark> mark = day.Cache().watermark(key, status);
        ASSERT_TRUE(mark) << status;
        EXPECT_EQ(mark->updatedTo, start / 1000);
        EXPECT_EQ(mark->fullAt, start / 1000);
    }
    // The invalid orders' only slice fails for good; the received orders' one is read.
    day.StandIn().Top().SetTransientErrors(3);
    const size_t before = day.StandIn().Server(TStandInHost::Top).Requests().size();
    day.Pass(start + k5Min);
    EXPECT_EQ(day.Cache().watermark(key, 13)->updatedTo, start / 1000);
    EXPECT_EQ(day.Cache().watermark(key, 14)->updatedTo, (start + k5Min) / 1000);
    EXPECT_EQ(day.Cache().watermark(key, 14)->fullAt, start / 1000);
    const std::vector<TRecordedRequest> requests = day.StandIn().Server(TStandInHost::Top).Requests();
    ASSERT_EQ(requests.size() - before, 4u); // three tries for 13, one page for 14
    const TFormFields last = requests.back().FormFields();
    EXPECT_EQ(FieldValue(last, "query_type"), "4");
    EXPECT_EQ(FieldValue(last, "tk_status"), "14");
    EXPECT_EQ(FieldValue(last, "start_time"), "2026-03-02 12:50:00"); // Beijing time, the overlap before 13:00
}

// A pass whose batch the back end refuses must not move the watermark past the orders of that batch.
TEST(TopIncremental, ARefusedBatchIsDeliveredByTheVeryNextPass)
{
    const qint64 start = Utc8Ms(2026, 3, 2, 13);
    TOrderDay day(2, true, start);
    const auto served = [&day] {
        const QJsonObject counts = day.StandIn().Ledger().Summary().value(QStringLiteral("served")).toObject();
        return counts.value(QStringLiteral("status13")).toInteger()
            + counts.value(QStringLiteral("status14")).toInteger();
    };
    const auto received = [&day] { return static_cast<qint64>(day.StandIn().Ledger().ReceivedOrders().size()); };
    day.Pass(start);
    ASSERT_EQ(received(), served());
    TFaultSettings refusing;
    refusing.errorShare = 1;
    refusing.hosts = 1u << static_cast<unsigned>(TStandInHost::Intake);
    day.StandIn().Faults().Set(refusing);
    day.Pass(start + 3 * 3600'000);
    ASSERT_LT(received(), served()) << "the refused pass found nothing new";
    day.StandIn().Faults().Set(TFaultSettings());
    day.Pass(start + 3 * 3600'000 + 5 * 60'000);
    EXPECT_EQ(received(), served());
}

TEST(TopIncremental, OffByDefaultAsksTheWholeWindowByCreationTime)
{
    const qint64 start = Utc8Ms(2026, 3, 2, 13);
    TOrderDay day(1, false, start, true);
    day.Pass(start);
    day.Pass(start + 5 * 60'000);
    for (const TRecordedRequest& request : day.StandIn().Server(TStandInHost::Top).Requests())
        ASSERT_EQ(FieldValue(request.FormFields(), "query_type"), "1");
    EXPECT_FALSE(day.Cache().watermark(QString::fromStdString(day.StandIn().Data().Accounts()[0].userId), 13));
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
