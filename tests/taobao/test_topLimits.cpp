#include "taobao/topLimits.h"

#include "foundation/qjson.h"
#include "taobao/orderPass.h"

#include <QTimeZone>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <vector>

namespace {

qint64 Utc8Ms(int AYear, int AMonth, int ADay, int AHour, int AMinute = 0)
{
    return QDateTime(QDate(AYear, AMonth, ADay), QTime(AHour, AMinute), QTimeZone(8 * 3600)).toMSecsSinceEpoch();
}

// --- reading the gateway's answers ---

struct TReplyCase {
    const char* name;
    const char* body;
    TTopReplyKind kind;
    int code;
    const char* subCode;
    qint64 banSeconds;
};

class TopReplies : public ::testing::TestWithParam<TReplyCase> { };

TEST_P(TopReplies, AreSortedByWhatThePageMustDoNext)
{
    const TReplyCase& c = GetParam();
    TQJson reply;
    reply.TryParse(QString::fromUtf8(c.body));
    const TTopReply read = ClassifyTopReply(reply);
    EXPECT_EQ(read.kind, c.kind);
    EXPECT_EQ(read.code, c.code);
    EXPECT_EQ(read.subCode, QString::fromUtf8(c.subCode));
    EXPECT_EQ(read.banSeconds, c.banSeconds);
}

INSTANTIATE_TEST_SUITE_P(Top, TopReplies,
    ::testing::Values(TReplyCase {"Page", R"({"tbk_sc_order_details_get_response":{"data":{"has_next":false}}})",
                          TTopReplyKind::Data, 0, "", 0},
        TReplyCase {"ApiBan",
            R"({"error_response":{"code":7,"msg":"App Call Limited","sub_code":"accesscontrol.limited-by-api-access-count","sub_msg":"This ban will last for 30 more seconds"}})",
            TTopReplyKind::Ban, 7, "accesscontrol.limited-by-api-access-count", 30},
        TReplyCase {"AppApiBanInMsg",
            R"({"error_response":{"code":"7","msg":"This ban will last 12 more seconds","sub_code":"accesscontrol.limited-by-app-api-access-count"}})",
            TTopReplyKind::Ban, 7, "accesscontrol.limited-by-app-api-access-count", 12},
        TReplyCase {"DailyQuota",
            R"({"error_response":{"code":7,"msg":"App Call Limited","sub_code":"accesscontrol.limited-by-app-access-count","sub_msg":"This ban will last for 50400 more seconds"}})",
            TTopReplyKind::Quota, 7, "accesscontrol.limited-by-app-access-count", 50400},
        TReplyCase {"RemoteTimeout",
            R"({"error_response":{"code":15,"msg":"Remote service error","sub_code":"isp.top-remote-connection-timeout"}})",
            TTopReplyKind::Transient, 15, "isp.top-remote-connection-timeout", 0},
        TReplyCase {"ExpiredSession",
            R"({"error_response":{"code":27,"msg":"Invalid session","sub_code":"invalid-sessionkey"}})",
            TTopReplyKind::Session, 27, "invalid-sessionkey", 0},
        TReplyCase {"MissingSession", R"({"error_response":{"code":26,"msg":"Missing session"}})",
            TTopReplyKind::Session, 26, "", 0},
        TReplyCase {"AppLacksTheApi",
            R"({"error_response":{"code":11,"msg":"Insufficient isv permissions","sub_code":"isv.permission-api-package-limit","sub_msg":"scope ids is 11655 11998"}})",
            TTopReplyKind::Permission, 11, "isv.permission-api-package-limit", 0},
        TReplyCase {"UserLacksTheApi",
            R"({"error_response":{"code":12,"msg":"Insufficient user permissions","sub_code":"isv.user-permission-limit"}})",
            TTopReplyKind::Permission, 12, "isv.user-permission-limit", 0},
        TReplyCase {"ClockOff", R"({"error_response":{"code":31,"msg":"Invalid timestamp","request_id":"x"}})",
            TTopReplyKind::ClockOff, 31, "", 0},
        TReplyCase {"BanWithoutSubCode", R"({"error_response":{"code":7,"msg":"App Call Limited"}})",
            TTopReplyKind::Ban, 7, "", 0},
        TReplyCase {"RemoteServiceWithoutSubCode", R"({"error_response":{"code":15,"msg":"Remote service error"}})",
            TTopReplyKind::Transient, 15, "", 0},
        TReplyCase {"ServiceBusy",
            R"({"error_response":{"code":15,"msg":"Remote service error","sub_code":"3001","sub_msg":"系统繁忙"}})",
            TTopReplyKind::Transient, 15, "3001", 0},
        TReplyCase {"AccountRateLimit",
            R"({"error_response":{"code":15,"msg":"Remote service error","sub_code":"9100","sub_msg":"访问过于频繁"}})",
            TTopReplyKind::AccountLimited, 15, "9100", 0},
        TReplyCase {"AccountRateLimitWithPrefix",
            R"({"error_response":{"code":15,"msg":"Remote service error","sub_code":"isv.3000"}})",
            TTopReplyKind::AccountLimited, 15, "isv.3000", 0},
        TReplyCase {"WindowTooLong",
            R"({"error_response":{"code":15,"msg":"Remote service error","sub_code":"2007","sub_msg":"查询时间跨度过长"}})",
            TTopReplyKind::WindowTooLong, 15, "2007", 0},
        TReplyCase {"NotABusinessCode",
            R"({"error_response":{"code":15,"msg":"Remote service error","sub_code":"isv.invalid-parameter"}})",
            TTopReplyKind::Refused, 15, "isv.invalid-parameter", 0},
        TReplyCase {"OtherRefusal", R"({"error_response":{"code":25,"msg":"Invalid signature"}})",
            TTopReplyKind::Refused, 25, "", 0},
        TReplyCase {"NoAnswer", "", TTopReplyKind::Transient, 0, "", 0},
        TReplyCase {"NotJson", "<html>502</html>", TTopReplyKind::Transient, 0, "", 0},
        TReplyCase {"EmptyObject", "{}", TTopReplyKind::Unknown, 0, "", 0}),
    [](const auto& AInfo) { return std::string(AInfo.param.name); });

TEST(TopReplies, ABusinessErrorOfTheMethodIsNeverAnEmptyPage)
{
    TQJson reply;
    ASSERT_TRUE(reply.TryParse(QStringLiteral(R"({"tbk_sc_order_refund_get_response":{"result_code":400,)"
                                              R"("biz_error_code":102,"biz_error_desc":"结束时间不能为空"}})")));
    const TTopReply read = ClassifyTopReply(reply, u"tbk_sc_order_refund_get_response");
    EXPECT_EQ(read.kind, TTopReplyKind::Business);
    EXPECT_EQ(read.code, 102);
    EXPECT_EQ(read.message, QStringLiteral("结束时间不能为空"));
    // With data beside it, a business code still fails the page.
    ASSERT_TRUE(reply.TryParse(
        QStringLiteral(R"({"tbk_sc_order_refund_get_response":{"data":{"has_next":false},"biz_error_code":"103"}})")));
    EXPECT_EQ(ClassifyTopReply(reply, u"tbk_sc_order_refund_get_response").kind, TTopReplyKind::Business);
    ASSERT_TRUE(reply.TryParse(QStringLiteral(
        R"({"tbk_sc_order_refund_get_response":{"data":{"has_next":false},"result_code":200,"biz_error_code":0}})")));
    EXPECT_EQ(ClassifyTopReply(reply, u"tbk_sc_order_refund_get_response").kind, TTopReplyKind::Data);
}

struct TListCase {
    const char* name;
    const char* list; // the value of "results"
    int count;
};

class TopLists : public ::testing::TestWithParam<TListCase> { };

TEST_P(TopLists, AreReadInEveryShape)
{
    TQJson document;
    ASSERT_TRUE(document.TryParse(QStringLiteral("{\"results\":") + QString::fromUtf8(GetParam().list) + u'}'));
    const std::vector<const TQJson*> items = TopListItems(document.ItemByName(u"results"), u"publisher_order_dto");
    ASSERT_EQ(int(items.size()), GetParam().count);
    for (const TQJson* item : items)
        EXPECT_EQ(item->MemberText(u"trade_id"), QStringLiteral("C"));
}

INSTANTIATE_TEST_SUITE_P(Top, TopLists,
    ::testing::Values(TListCase {"Wrapped", R"({"publisher_order_dto":[{"trade_id":"C"},{"trade_id":"C"}]})", 2},
        TListCase {"EmptyObject", "{}", 0}, TListCase {"EmptyWrapped", R"({"publisher_order_dto":[]})", 0},
        TListCase {"BareArray", R"([{"trade_id":"C"}])", 1},
        TListCase {"WrappedSingle", R"({"publisher_order_dto":{"trade_id":"C"}})", 1}, TListCase {"Null", "null", 0}),
    [](const auto& AInfo) { return std::string(AInfo.param.name); });

TEST(TopLists, AMissingListHoldsNothing)
{
    EXPECT_TRUE(TopListItems(nullptr, u"publisher_order_dto").empty());
}

TEST(TopGateClock, ARefusedClockHoldsEveryTurnUntilAPageIsRead)
{
    TManualTopClock clock {Utc8Ms(2026, 3, 2, 10)};
    TTopGate gate;
    EXPECT_TRUE(gate.RefuseClock(clock.NowMs())); // the first report is the one to say
    EXPECT_FALSE(gate.RefuseClock(clock.NowMs()));
    EXPECT_FALSE(gate.AwaitTurn(clock, {}));
    clock.Set(clock.NowMs() + TTopGate::kClockHoldMs);
    EXPECT_TRUE(gate.AwaitTurn(clock, {}));
    EXPECT_FALSE(gate.RefuseClock(clock.NowMs())); // still off: not said again
    gate.ClockAccepted();
    EXPECT_TRUE(gate.AwaitTurn(clock, {}));
    EXPECT_TRUE(gate.RefuseClock(clock.NowMs())); // off again after it was right: said again
}

struct TResetCase {
    qint64 now;
    qint64 reset;
};

TEST(TopQuota, EndsAtTheNextMidnightInUtc8)
{
    const TResetCase cases[] = {
        {Utc8Ms(2026, 3, 2, 10), Utc8Ms(2026, 3, 3, 0)},
        {Utc8Ms(2026, 3, 2, 0), Utc8Ms(2026, 3, 3, 0)},
        {Utc8Ms(2026, 3, 3, 0) - 1, Utc8Ms(2026, 3, 3, 0)},
        {Utc8Ms(2026, 12, 31, 23, 59), Utc8Ms(2027, 1, 1, 0)},
    };
    for (const TResetCase& c : cases)
        EXPECT_EQ(NextQuotaResetMs(c.now), c.reset) << c.now;
}

TEST(TopQuota, TheGateReportsTheFirstSpendOfADayOnly)
{
    TTopGate gate;
    EXPECT_TRUE(gate.SpendQuota(Utc8Ms(2026, 3, 2, 10)));
    EXPECT_FALSE(gate.SpendQuota(Utc8Ms(2026, 3, 2, 11)));
    EXPECT_EQ(gate.QuotaSpentUntil(), Utc8Ms(2026, 3, 3, 0));
    EXPECT_TRUE(gate.SpendQuota(Utc8Ms(2026, 3, 3, 9)));
    EXPECT_EQ(gate.QuotaSpentUntil(), Utc8Ms(2026, 3, 4, 0));
}

TEST(TopClock, AWaitEndsWhenTheStopCheckTurns)
{
    std::atomic<bool> stop {false};
    auto wait
        = std::async(std::launch::async, [&] { return SystemTopClock().Wait(60'000, [&] { return stop.load(); }); });
    stop = true;
    EXPECT_FALSE(wait.get());
    EXPECT_TRUE(SystemTopClock().Wait(1, {}));
}

TEST(TopClock, AManualClockMovesByItsWaitsUnlessStopped)
{
    TManualTopClock clock(1000);
    EXPECT_TRUE(clock.Wait(31'000, {}));
    EXPECT_EQ(clock.NowMs(), 32'000);
    EXPECT_FALSE(clock.Wait(5, [] { return true; }));
    EXPECT_EQ(clock.NowMs(), 32'000);
    EXPECT_EQ(clock.WaitedMs(), 31'000);
}

// The turns a gate hands out on a simulated clock: with a limit of N a second, no N + 1 of them fall within the
// pacing window, however the requests were asked for; without one, nothing waits.
TEST(TopGatePacing, NoMoreTurnsInAWindowThanTheLimit)
{
    for (const int limit : {0, 1, 7, 40}) {
        TManualTopClock clock(1'772'416'800'000);
        TTopGate gate;
        gate.SetCallLimit(limit);
        std::vector<qint64> turns;
        for (int i = 0; i < 100; ++i) {
            ASSERT_TRUE(gate.AwaitTurn(clock, {}));
            turns.push_back(clock.NowMs());
            if (i % 3 == 0)
                clock.Set(clock.NowMs() + 13); // the request's own time
        }
        if (limit == 0) {
            EXPECT_EQ(clock.WaitedMs(), 0);
            continue;
        }
        for (size_t i = static_cast<size_t>(limit); i < turns.size(); ++i)
            EXPECT_GE(turns[i] - turns[i - limit], TTopGate::kPacingWindowMs) << limit << ' ' << i;
    }
}

TEST(TopGatePacing, ABanHoldsEveryTurnAndAStopEndsTheWait)
{
    TManualTopClock clock(1'772'416'800'000);
    TTopGate gate;
    gate.Ban(clock.NowMs() + 31'000);
    ASSERT_TRUE(gate.AwaitTurn(clock, {}));
    EXPECT_GE(clock.NowMs(), gate.BannedUntil());
    gate.Ban(clock.NowMs() + 5'000);
    EXPECT_FALSE(gate.AwaitTurn(clock, [] { return true; }));
    gate.SpendQuota(clock.NowMs());
    EXPECT_FALSE(gate.AwaitTurn(clock, {}));
}

TEST(TopFullPass, IsDueWithoutAWatermarkAndOnceADayFromTheHour)
{
    const QDateTime at0330(QDate(2026, 3, 2), QTime(3, 30));
    const QDateTime at0400(QDate(2026, 3, 2), QTime(4, 0));
    const qint64 yesterday0500 = QDateTime(QDate(2026, 3, 1), QTime(5, 0)).toSecsSinceEpoch();
    const qint64 today0405 = QDateTime(QDate(2026, 3, 2), QTime(4, 5)).toSecsSinceEpoch();
    EXPECT_TRUE(TOrderPass::FullPassDue(std::nullopt, at0330, 4));
    EXPECT_FALSE(TOrderPass::FullPassDue(TOrderWatermark {0, yesterday0500}, at0330, 4));
    EXPECT_TRUE(TOrderPass::FullPassDue(TOrderWatermark {0, yesterday0500}, at0400, 4));
    EXPECT_FALSE(TOrderPass::FullPassDue(TOrderWatermark {0, today0405}, at0400.addSecs(600), 4));
    EXPECT_TRUE(TOrderPass::FullPassDue(TOrderWatermark {0, yesterday0500}, at0330, 0));
    // An account's turn comes AOffsetS into the hour, not before.
    EXPECT_FALSE(TOrderPass::FullPassDue(TOrderWatermark {0, yesterday0500}, at0400.addSecs(1799), 4, 1800));
    EXPECT_TRUE(TOrderPass::FullPassDue(TOrderWatermark {0, yesterday0500}, at0400.addSecs(1800), 4, 1800));
}

// A day of passes every 5 minutes over 200 accounts: each account reads the whole window once, in the hour from
// 04:00, and no pass of that hour carries much more than its share of whole reads.
TEST(TopFullPass, WholeReadsSpreadOverTheHour)
{
    constexpr int kAccounts = 200;
    constexpr int kPassesInHour = 12;
    const QDateTime midnight(QDate(2026, 3, 2), QTime(0, 0));
    std::vector<qint64> fullAt(kAccounts, midnight.addSecs(-19 * 3600).toSecsSinceEpoch()); // yesterday 05:00
    std::vector<int> wholeReads(kAccounts, 0);
    int busiest = 0;
    for (int pass = 0; pass < 24 * kPassesInHour; ++pass) {
        const QDateTime now = midnight.addSecs(pass * 300);
        int whole = 0;
        for (int account = 0; account < kAccounts; ++account) {
            const QString key = QString::number(2'000'000'000LL + account * 7919LL);
            const qint64 offset = TOrderPass::FullPassOffsetS(key);
            ASSERT_GE(offset, 0);
            ASSERT_LT(offset, 3600);
            if (!TOrderPass::FullPassDue(TOrderWatermark {0, fullAt[account]}, now, 4, offset))
                continue;
            // The pass at 05:00 takes the turns of the hour's last 5 minutes.
            EXPECT_TRUE(now >= midnight.addSecs(4 * 3600) && now <= midnight.addSecs(5 * 3600)) << key.toStdString();
            fullAt[account] = now.toSecsSinceEpoch();
            ++wholeReads[account];
            ++whole;
        }
        busiest = std::max(busiest, whole);
    }
    EXPECT_EQ(std::count(wholeReads.begin(), wholeReads.end(), 1), kAccounts);
    EXPECT_LE(busiest, 2 * kAccounts / kPassesInHour);
}

} // namespace
