#include "sync/accountHealth.h"

#include "foundation/globals.h"
#include "log/QLog.h"
#include "logLines.h"
#include "sync/statusFile.h"
#include "testwait.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <memory>
#include <mutex>
#include <vector>

namespace {

using TState = TAccountPassOutcome::TState;

const QDateTime kNoon = QDateTime::fromSecsSinceEpoch(1765339200); // 2025-12-10 04:00 UTC, 12:00 UTC+8

class AccountHealth : public ::testing::Test {
protected:
    void SetUp() override
    {
        FHealth.SetAccounts({{QStringLiteral("1"), QStringLiteral("a"), kNoon.addDays(30).toSecsSinceEpoch(), true}});
        RecordAlerts(FHealth);
    }

    void RecordAlerts(TAccountHealth& AHealth)
    {
        AHealth.SetOnAlert([this](const THealthAlert& AAlert) { FAlerts.push_back(AAlert); });
    }

    // The warnings the model logged, once every line before the barrier has arrived.
    QStringList Logged()
    {
        const QString barrier = QStringLiteral("barrier %1").arg(++FBarriers);
        LogLine(llMessage, barrier);
        QStringList lines;
        EXPECT_TRUE(WaitForCondition([&] {
            lines = FLines->Lines();
            return !lines.empty() && lines.constLast() == barrier;
        }));
        lines.removeIf([](const QString& ALine) { return ALine.startsWith(QStringLiteral("barrier")); });
        return lines;
    }

    void Pass(TPassKind AKind, TState AState, int ADelivered = 0)
    {
        PassOf(FHealth, QStringLiteral(" 1 "), AKind, AState, QStringLiteral("top"), ADelivered);
    }

    void PassOf(TAccountHealth& AHealth, const QString& AUserId, TPassKind AKind, TState AState, const QString& ASource,
        int ADelivered = 0)
    {
        TAccountPassOutcome outcome;
        outcome.state = AState;
        outcome.cause = AState == TState::Failed ? QStringLiteral("淘宝开放平台拒绝") : QString();
        outcome.source = ASource;
        outcome.found = ADelivered;
        outcome.delivered = ADelivered;
        AHealth.AccountPassEnded(AKind, AUserId, FNow, outcome);
    }

    QDateTime FNow = kNoon;
    TQLog FLog;
    TGlobalScope<TQLog> FLogScope {&FLog};
    std::shared_ptr<TLogLines> FLines = TLogLines::Attach(FLog);
    int FBarriers = 0;
    TAccountHealth FHealth {[this] { return FNow; }};
    std::vector<THealthAlert> FAlerts; // every alert of FHealth and of the runs a test records
};

struct TTransitionCase {
    const char* name;
    std::vector<std::pair<TPassKind, TState>> passes;
    const char16_t* reason; // empty: healthy
    int turns; // log lines about the account
};

class HealthTransitions : public AccountHealth, public ::testing::WithParamInterface<TTransitionCase> { };

TEST_P(HealthTransitions, FollowThePassesWithOneLinePerTurn)
{
    for (const auto& [kind, state] : GetParam().passes)
        Pass(kind, state);
    const TAccountHealthRecord record = FHealth.Account(QStringLiteral("1"));
    const QString reason = QString::fromUtf16(GetParam().reason);
    if (reason.isEmpty())
        EXPECT_TRUE(record.unhealthy.isEmpty()) << record.unhealthy.toStdString();
    else
        EXPECT_TRUE(record.unhealthy.contains(reason)) << record.unhealthy.toStdString();
    // Besides the turns, each failed pass is one error line naming the account and the cause.
    const QStringList lines = Logged();
    const QStringList failures = lines.filter(QStringLiteral("联盟账号 a (1): "));
    EXPECT_EQ(static_cast<int>(lines.size() - failures.size()), GetParam().turns);
    const auto failed = std::count_if(GetParam().passes.begin(), GetParam().passes.end(),
        [](const auto& APass) { return APass.second == TState::Failed; });
    EXPECT_EQ(failures.size(), failed);
    for (const QString& line : failures)
        EXPECT_TRUE(line.endsWith(QStringLiteral("同步失败: 淘宝开放平台拒绝"))) << line.toStdString();
    EXPECT_EQ(FHealth.UnhealthyCount(), reason.isEmpty() ? 0 : 1);
    // One alert per turn, never one per pass: to unhealthy with the reason and advice, then back.
    ASSERT_EQ(static_cast<int>(FAlerts.size()), GetParam().turns);
    for (size_t i = 0; i < FAlerts.size(); ++i) {
        const THealthAlert& alert = FAlerts[i];
        EXPECT_EQ(alert.state, i % 2 == 0 ? THealthAlert::TState::Unhealthy : THealthAlert::TState::Recovered);
        EXPECT_EQ(alert.userId, QStringLiteral("1"));
        EXPECT_EQ(alert.userName, QStringLiteral("a"));
        EXPECT_EQ(alert.time, kNoon);
        EXPECT_EQ(alert.reason.isEmpty(), alert.state == THealthAlert::TState::Recovered);
    }
}

constexpr auto I = TPassKind::Invalid;
constexpr auto R = TPassKind::Refund;

INSTANTIATE_TEST_SUITE_P(Cases, HealthTransitions,
    ::testing::Values(TTransitionCase {"oneFailure", {{I, TState::Failed}}, u"", 0},
        TTransitionCase {"twoFailures", {{I, TState::Failed}, {I, TState::Failed}}, u"失效订单同步连续 2 次失败", 1},
        TTransitionCase {"threeFailuresStillOneLine", {{I, TState::Failed}, {I, TState::Failed}, {I, TState::Failed}},
            u"连续 3 次", 1},
        TTransitionCase {"recovers", {{I, TState::Failed}, {I, TState::Failed}, {I, TState::Complete}}, u"", 2},
        TTransitionCase {"stopBreaksNothing", {{I, TState::Failed}, {I, TState::Stopped}, {I, TState::Failed}},
            u"失效订单同步连续 2 次失败", 1},
        TTransitionCase {"kindsCountApart", {{I, TState::Failed}, {R, TState::Failed}}, u"", 0},
        TTransitionCase {"refunds", {{R, TState::Failed}, {R, TState::Failed}}, u"维权订单同步连续 2 次失败", 1}),
    [](const ::testing::TestParamInfo<TTransitionCase>& AInfo) { return std::string(AInfo.param.name); });

struct TExpiryCase {
    const char* name;
    qint64 secondsLeft;
    const char16_t* reason;
};

class TokenExpiry : public AccountHealth, public ::testing::WithParamInterface<TExpiryCase> { };

TEST_P(TokenExpiry, WarnsAWeekAhead)
{
    FHealth.SetAccounts(
        {{QStringLiteral("1"), QStringLiteral("a"), FNow.toSecsSinceEpoch() + GetParam().secondsLeft, true}});
    const TAccountHealthRecord record = FHealth.Account(QStringLiteral("1"));
    EXPECT_EQ(record.unhealthy, QString::fromUtf16(GetParam().reason));
    EXPECT_EQ(static_cast<int>(Logged().size()), record.unhealthy.isEmpty() ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(Cases, TokenExpiry,
    ::testing::Values(TExpiryCase {"eightDays", 8 * 86400, u""}, TExpiryCase {"sevenDays", 7 * 86400, u""},
        TExpiryCase {"almostSeven", 7 * 86400 - 1, u"授权 6 天后到期"}, TExpiryCase {"today", 60, u"授权 0 天后到期"},
        TExpiryCase {"expired", -1, u"授权已到期"}),
    [](const ::testing::TestParamInfo<TExpiryCase>& AInfo) { return std::string(AInfo.param.name); });

TEST_F(AccountHealth, ALapsedWebSessionIsUnhealthyUntilTheNextSignIn)
{
    FHealth.SessionChanged(QStringLiteral("1"), TWebSession::Dropped);
    EXPECT_EQ(FHealth.Account(QStringLiteral("1")).unhealthy, QStringLiteral("联盟登录已掉线"));
    EXPECT_EQ(FHealth.Account(QStringLiteral("1")).lastError.source, QStringLiteral("session"));
    FNow = FNow.addSecs(60);
    FHealth.SessionChanged(QStringLiteral("1"), TWebSession::SignedIn);
    const TAccountHealthRecord record = FHealth.Account(QStringLiteral("1"));
    EXPECT_TRUE(record.unhealthy.isEmpty());
    EXPECT_EQ(record.sessionSince, FNow);
    const QStringList lines = Logged();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], QStringLiteral("联盟账号 a 状态异常: 联盟登录已掉线"));
    EXPECT_EQ(lines[1], QStringLiteral("联盟账号 a 恢复正常"));
}

TEST_F(AccountHealth, CountsDeliveriesPerPassPerUtc8DayAndSinceTheStart)
{
    Pass(I, TState::Complete, 3);
    Pass(I, TState::Complete, 2);
    // 16:00 UTC is midnight in UTC+8: a new day there, though not in UTC.
    FNow = QDateTime(FNow.toUTC().date(), QTime(16, 0), Qt::UTC);
    Pass(I, TState::Complete, 4);
    Pass(R, TState::Complete, 1);
    const TAccountHealthRecord record = FHealth.Account(QStringLiteral("1"));
    const TDeliveryCounts& invalid = record.counts[static_cast<int>(I)];
    EXPECT_EQ(invalid.lastDelivered, 4);
    EXPECT_EQ(invalid.today, 4);
    EXPECT_EQ(invalid.total, 9);
    EXPECT_EQ(record.counts[static_cast<int>(R)].total, 1);
    EXPECT_EQ(FHealth.Process().delivered[static_cast<int>(I)], 9);
}

TEST_F(AccountHealth, KeepsRecordsOfListedAccountsOnlyAcrossRefreshes)
{
    Pass(I, TState::Failed);
    FHealth.SetAccounts({{QStringLiteral("2"), QStringLiteral("b"), 0, false},
        {QStringLiteral("1"), QStringLiteral("a2"), kNoon.addDays(30).toSecsSinceEpoch(), false}});
    const std::vector<TAccountHealthRecord> accounts = FHealth.Accounts();
    ASSERT_EQ(accounts.size(), 2u);
    EXPECT_EQ(accounts[0].userId, QStringLiteral("2"));
    EXPECT_EQ(accounts[0].session, TWebSession::NotSignedIn);
    EXPECT_EQ(accounts[1].userName, QStringLiteral("a2"));
    EXPECT_EQ(accounts[1].failedInARow[static_cast<int>(I)], 1); // its history stays
    EXPECT_EQ(accounts[1].session, TWebSession::SignedIn); // so does its session
    FHealth.SetAccounts({});
    EXPECT_TRUE(FHealth.Accounts().empty());
}

TEST_F(AccountHealth, TheStatusJsonMatchesTheModel)
{
    FHealth.SetOperator(QStringLiteral("13800000000"));
    FHealth.SetVersion(QStringLiteral("9.9"));
    Pass(I, TState::Failed);
    Pass(I, TState::Failed);
    Pass(R, TState::Complete, 5);
    FHealth.OrdersAgedOut(QStringLiteral("1"), 2);
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(StatusFileJson(FHealth), &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError);
    EXPECT_EQ(document[u"version"].toString(), QStringLiteral("9.9"));
    EXPECT_EQ(document[u"operator"].toString(), QStringLiteral("13800000000"));
    EXPECT_EQ(document[u"unhealthyCount"].toInt(), 1);
    // Times carry their offset, so a reader elsewhere reads them right.
    EXPECT_TRUE(QDateTime::fromString(document[u"started"].toString(), Qt::ISODate).isValid());
    EXPECT_TRUE(document[u"started"].toString().contains(u'+') || document[u"started"].toString().endsWith(u'Z'));
    const QJsonObject account = document[u"accounts"].toArray().at(0).toObject();
    EXPECT_EQ(account[u"userId"].toString(), QStringLiteral("1"));
    EXPECT_FALSE(account[u"healthy"].toBool());
    EXPECT_EQ(account[u"invalidOrders"][u"outcome"].toString(), QStringLiteral("failed"));
    EXPECT_EQ(account[u"invalidOrders"][u"failedInARow"].toInt(), 2);
    EXPECT_EQ(account[u"refunds"][u"deliveredSinceStart"].toInt(), 5);
    EXPECT_EQ(account[u"lastError"][u"source"].toString(), QStringLiteral("top"));
    EXPECT_EQ(account[u"token"][u"daysLeft"].toInt(), 30);
    EXPECT_EQ(account[u"webSession"][u"state"].toString(), QStringLiteral("已登录"));
    EXPECT_EQ(account[u"agedOutUndelivered"].toInt(), 2);
}

// What one run kept, the next reads back: failures in a row, today's deliveries, the last error, an expiry that was
// already said (no second turn line), the pass outcomes; a new day starts today's count at 0.
TEST_F(AccountHealth, WhatARunKeepsTheNextReadsBack)
{
    const qint64 expiry = FNow.addDays(3).toSecsSinceEpoch();
    FHealth.SetAccounts({{QStringLiteral("1"), QStringLiteral("a"), expiry, true}});
    Pass(I, TState::Failed);
    Pass(R, TState::Complete, 4);
    ASSERT_EQ(Logged().filter(QStringLiteral("状态异常")).size(), 1);

    TAccountHealth next {[this] { return FNow; }};
    next.LoadStored(FHealth.ToStoredJson());
    next.SetAccounts({{QStringLiteral("1"), QStringLiteral("a"), expiry, false}});
    TAccountHealthRecord record = next.Account(QStringLiteral("1"));
    EXPECT_EQ(record.failedInARow[static_cast<int>(I)], 1);
    EXPECT_EQ(record.last[static_cast<int>(I)].state, TState::Failed);
    EXPECT_EQ(record.last[static_cast<int>(I)].source, QStringLiteral("top"));
    EXPECT_EQ(record.lastError.text, QStringLiteral("淘宝开放平台拒绝"));
    EXPECT_EQ(record.counts[static_cast<int>(R)].today, 4);
    EXPECT_EQ(record.counts[static_cast<int>(R)].total, 0); // since this process started
    // The expiry was said by the run before: still the one line.
    EXPECT_EQ(Logged().filter(QStringLiteral("状态异常")).size(), 1);

    FNow = FNow.addDays(1);
    TAccountHealth tomorrow {[this] { return FNow; }};
    tomorrow.LoadStored(next.ToStoredJson());
    EXPECT_EQ(tomorrow.Account(QStringLiteral("1")).counts[static_cast<int>(R)].today, 0);
    // Garbage reads as nothing, never as a crash.
    TAccountHealth garbled;
    garbled.LoadStored("{not json");
    EXPECT_TRUE(garbled.Accounts().empty());
}

// Cron's runs each start from what the one before kept: two failing runs are one turn and one alert, a third none,
// and the good run after them one "recovered".
TEST_F(AccountHealth, AlertsCountTurnsAcrossRuns)
{
    QByteArray stored = FHealth.ToStoredJson();
    const std::vector<TState> runs {TState::Failed, TState::Failed, TState::Failed, TState::Complete};
    std::vector<size_t> alertsAfter;
    for (const TState state : runs) {
        TAccountHealth run {[this] { return FNow; }};
        RecordAlerts(run);
        run.LoadStored(stored);
        run.SetAccounts({{QStringLiteral("1"), QStringLiteral("a"), kNoon.addDays(30).toSecsSinceEpoch(), true}});
        PassOf(run, QStringLiteral("1"), I, state, QStringLiteral("top"));
        stored = run.ToStoredJson();
        alertsAfter.push_back(FAlerts.size());
    }
    EXPECT_EQ(alertsAfter, (std::vector<size_t> {0, 1, 1, 2}));
    ASSERT_EQ(FAlerts.size(), 2U);
    EXPECT_EQ(FAlerts[0].state, THealthAlert::TState::Unhealthy);
    EXPECT_TRUE(FAlerts[0].reason.contains(QStringLiteral("失效订单同步连续 2 次失败")))
        << FAlerts[0].reason.toStdString();
    EXPECT_FALSE(FAlerts[0].advice.isEmpty());
    EXPECT_EQ(FAlerts[1].state, THealthAlert::TState::Recovered);
}

// Failures of the run, not of an account: every refused sign-in is one; a clock the gateway refuses is one for all
// the accounts it fails and every pass after, until a pass gets past the gateway again, in this run or the next.
TEST_F(AccountHealth, FailuresOfTheRunAreOneAlertEach)
{
    FHealth.SetAccounts(
        {{QStringLiteral("1"), QStringLiteral("a"), 0, true}, {QStringLiteral("2"), QStringLiteral("b"), 0, true}});
    const auto runFailures = [this] {
        return std::count_if(FAlerts.begin(), FAlerts.end(),
            [](const THealthAlert& AAlert) { return AAlert.state == THealthAlert::TState::Failed; });
    };
    for (int i = 0; i < 2; ++i) {
        THealthEvent refused;
        refused.source = QStringLiteral("operator");
        refused.text = QStringLiteral("运营商后台拒绝登录: 密码错误");
        FHealth.Report(refused);
    }
    ASSERT_EQ(runFailures(), 2);
    EXPECT_EQ(FAlerts.back().source, QStringLiteral("operator"));
    EXPECT_EQ(FAlerts.back().reason, QStringLiteral("运营商后台拒绝登录: 密码错误"));
    EXPECT_FALSE(FAlerts.back().advice.isEmpty());
    EXPECT_TRUE(FAlerts.back().userId.isEmpty());

    const auto clockPass = [this](TAccountHealth& AHealth) {
        for (const QString& id : {QStringLiteral("1"), QStringLiteral("2")})
            PassOf(AHealth, id, I, TState::Failed, QStringLiteral("clock"));
    };
    FAlerts.clear();
    clockPass(FHealth);
    clockPass(FHealth);
    EXPECT_EQ(runFailures(), 1);
    EXPECT_EQ(FAlerts.front().source, QStringLiteral("clock"));
    EXPECT_EQ(FAlerts.front().advice, AdviceFor(QStringLiteral("clock"), {}));

    // The next run still knows the clock was said.
    TAccountHealth next {[this] { return FNow; }};
    RecordAlerts(next);
    next.LoadStored(FHealth.ToStoredJson());
    clockPass(next);
    EXPECT_EQ(runFailures(), 1);
    // A pass that got past the gateway: a clock refused again is a new failure.
    PassOf(next, QStringLiteral("1"), I, TState::Complete, QStringLiteral("top"));
    clockPass(next);
    EXPECT_EQ(runFailures(), 2);
}

// Not a check of its own: the writer that the next test starts as a process of its own and kills.
TEST(StatusFileWriter, WritesUntilKilled)
{
    const QString path = qEnvironmentVariable("QUENLAR_TEST_STATUS_WRITER");
    if (path.isEmpty())
        GTEST_SKIP() << "started by StatusFile.IsWholeAfterAKillAtAnyMoment";
    for (int i = 0;; ++i) {
        QByteArray text = "{\"round\":" + QByteArray::number(i) + ",\"pad\":\"";
        text += QByteArray(200000 + (i % 7) * 1000, 'x');
        text += "\"}";
        WriteFileAtomically(path, text);
    }
}

// A reader must always find a whole file: killed at any moment, the writer leaves the old text or the new one.
TEST(StatusFile, IsWholeAfterAKillAtAnyMoment)
{
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("status.json"));
    for (int round = 0; round < 5; ++round) {
        QProcess writer;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QUENLAR_TEST_STATUS_WRITER"), path);
        writer.setProcessEnvironment(environment);
        writer.start(QCoreApplication::applicationFilePath(),
            {QStringLiteral("--gtest_filter=StatusFileWriter.WritesUntilKilled")});
        ASSERT_TRUE(writer.waitForStarted());
        // Once it has written a few times, a kill lands somewhere inside a write.
        ASSERT_TRUE(WaitForCondition([&] { return QFileInfo(path).exists(); }));
        QThread::msleep(static_cast<unsigned long>(5 + round * 7));
        ::kill(static_cast<pid_t>(writer.processId()), SIGKILL);
        writer.waitForFinished();
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        QJsonParseError error;
        QJsonDocument::fromJson(file.readAll(), &error);
        EXPECT_EQ(error.error, QJsonParseError::NoError) << "round " << round;
        EXPECT_EQ(file.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther), QFileDevice::Permissions());
    }
}

TEST(StatusFile, ReportsAFolderItCannotWriteTo)
{
    QString error;
    EXPECT_FALSE(WriteFileAtomically(QStringLiteral("/proc/no/such/status.json"), "{}", &error));
    EXPECT_FALSE(error.isEmpty());
}

} // namespace
