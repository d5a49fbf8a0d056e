#include "sync/alertNotifier.h"

#include "foundation/globals.h"
#include "log/QLog.h"
#include "logLines.h"
#include "standin/webhooks.h"
#include "testwait.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

const QDateTime kSent = QDateTime::fromSecsSinceEpoch(1765339200, QTimeZone(8 * 3600));

THealthAlert AlertOf(THealthAlert::TState AState, const QString& AUserId)
{
    return {AState, kSent, AUserId, QStringLiteral("账号") + AUserId, QString(), QStringLiteral("连续 2 次失败"),
        QStringLiteral("重新授权")};
}

// A notifier sending to a receiver on 127.0.0.1, and the error lines it logs.
class AlertNotifier : public ::testing::Test {
protected:
    void SetUp() override
    {
        FReceiver.Register(FServer);
        FServer.Post("/hang", FServer.Hang());
        FServer.Start();
    }

    std::unique_ptr<TAlertNotifier> Notifier(const QString& AUrl, TAlertFormat AFormat, const QString& ASecret = {},
        std::chrono::milliseconds ADeadline = TAlertNotifier::kDeadline)
    {
        return std::make_unique<TAlertNotifier>(
            TAlertTarget {AUrl, AFormat, ASecret}, QString(), ADeadline, [] { return kSent; });
    }

    // The lines logged so far, once every line before the barrier has arrived.
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

    TQLog FLog;
    TGlobalScope<TQLog> FLogScope {&FLog};
    std::shared_ptr<TLogLines> FLines = TLogLines::Attach(FLog);
    int FBarriers = 0;
    TTestServer FServer;
    TWebhookReceiver FReceiver;
};

struct TFormatCase {
    const char* name;
    TAlertFormat format;
    const char* path;
    const char* secret;
    bool checked; // the receiver checks this robot's signature
};

class AlertFormats : public AlertNotifier, public ::testing::WithParamInterface<TFormatCase> { };

// Every alert reaches the receiver, in order, as BuildAlertRequest writes it; the signed robots' signatures hold.
TEST_P(AlertFormats, ReachTheReceiverInOrder)
{
    const TFormatCase& c = GetParam();
    FReceiver.SetSecret("SECtest");
    const TAlertTarget target {
        FServer.BaseUrl() + QString::fromLatin1(c.path), c.format, QString::fromLatin1(c.secret)};
    const std::vector<THealthAlert> alerts {AlertOf(THealthAlert::TState::Unhealthy, QStringLiteral("1")),
        AlertOf(THealthAlert::TState::Recovered, QStringLiteral("1"))};
    {
        const std::unique_ptr<TAlertNotifier> notifier = Notifier(target.webhook, c.format, target.secret);
        for (const THealthAlert& alert : alerts)
            notifier->Post(alert);
    } // the end sends what is queued
    const QJsonArray received = FReceiver.Received();
    ASSERT_EQ(received.size(), 2);
    for (qsizetype i = 0; i < received.size(); ++i) {
        const QJsonObject message = received[i].toObject();
        EXPECT_EQ(message[u"path"].toString(), QString::fromLatin1(c.path).section(u'?', 0, 0));
        EXPECT_TRUE(message[u"contentType"].toString().startsWith(u"application/json"));
        const TAlertRequest expected = BuildAlertRequest(target, alerts[static_cast<size_t>(i)], kSent);
        EXPECT_EQ(message[u"body"].toObject(), QJsonDocument::fromJson(expected.body).object());
        if (c.checked)
            EXPECT_TRUE(message[u"signed"].toBool()) << QJsonDocument(message).toJson().toStdString();
        else
            EXPECT_TRUE(message[u"signed"].isNull());
    }
    EXPECT_TRUE(Logged().isEmpty()) << Logged().join(u'\n').toStdString();
}

INSTANTIATE_TEST_SUITE_P(Formats, AlertFormats,
    ::testing::Values(TFormatCase {"Json", TAlertFormat::Json, "/standin/webhook", "", false},
        TFormatCase {"WeCom", TAlertFormat::WeCom, "/standin/webhook/wecom?key=k", "", false},
        TFormatCase {"DingTalk", TAlertFormat::DingTalk, "/standin/webhook/dingtalk?access_token=t", "SECtest", true},
        TFormatCase {"Feishu", TAlertFormat::Feishu, "/standin/webhook/feishu", "SECtest", true}),
    [](const ::testing::TestParamInfo<TFormatCase>& AInfo) { return std::string(AInfo.param.name); });

// A robot that refuses the message (here its signature) is asked once more, then the alert is one error line with
// what the robot said; the next alert still goes.
TEST_F(AlertNotifier, ARefusedAlertIsRetriedOnceThenOneErrorLine)
{
    FReceiver.SetSecret("another secret");
    {
        const std::unique_ptr<TAlertNotifier> notifier
            = Notifier(FServer.BaseUrl() + QStringLiteral("/standin/webhook/dingtalk"), TAlertFormat::DingTalk,
                QStringLiteral("SECtest"));
        notifier->Post(AlertOf(THealthAlert::TState::Unhealthy, QStringLiteral("1")));
        notifier->Post(AlertOf(THealthAlert::TState::Unhealthy, QStringLiteral("2")));
    }
    EXPECT_EQ(FReceiver.Received().size(), 4);
    const QStringList lines = Logged();
    ASSERT_EQ(lines.size(), 2) << lines.join(u'\n').toStdString();
    for (int i = 0; i < 2; ++i) {
        EXPECT_TRUE(lines[i].startsWith(QStringLiteral("告警发送失败(") + FServer.BaseUrl() + QStringLiteral("): ")))
            << lines[i].toStdString();
        EXPECT_TRUE(lines[i].contains(QStringLiteral("errcode 310000: sign not match"))) << lines[i].toStdString();
        EXPECT_TRUE(lines[i].endsWith(QStringLiteral("账号") + QString::number(i + 1))) << lines[i].toStdString();
    }
}

// Nothing listens: the alert costs one error line, naming only the host.
TEST_F(AlertNotifier, ADeadWebhookIsOneErrorLine)
{
    {
        const std::unique_ptr<TAlertNotifier> notifier
            = Notifier(QStringLiteral("http://127.0.0.1:1/hook?token=secret"), TAlertFormat::Json);
        notifier->Post(AlertOf(THealthAlert::TState::Unhealthy, QStringLiteral("1")));
    }
    const QStringList lines = Logged();
    ASSERT_EQ(lines.size(), 1) << lines.join(u'\n').toStdString();
    EXPECT_TRUE(lines[0].startsWith(QStringLiteral("告警发送失败(http://127.0.0.1:1): "))) << lines[0].toStdString();
    EXPECT_FALSE(lines[0].contains(QStringLiteral("secret")));
}

// A receiver that never answers: the end waits for the alert in flight only up to the deadline, and every alert is
// accounted for, either as failed or as cut at the end.
TEST_F(AlertNotifier, TheEndWaitsForAnAlertInFlightOnlyUpToTheDeadline)
{
    {
        const std::unique_ptr<TAlertNotifier> notifier = Notifier(
            FServer.BaseUrl() + QStringLiteral("/hang"), TAlertFormat::Json, {}, std::chrono::milliseconds(500));
        for (int i = 1; i <= 3; ++i)
            notifier->Post(AlertOf(THealthAlert::TState::Unhealthy, QString::number(i)));
        ASSERT_TRUE(FServer.WaitForRequests(1));
    }
    const QStringList lines = Logged();
    qsizetype accounted = lines.filter(QStringLiteral("告警发送失败")).size();
    static const QRegularExpression cut(QStringLiteral("程序退出时仍有 (\\d+) 条告警未发出"));
    for (const QString& line : lines) {
        if (const QRegularExpressionMatch match = cut.match(line); match.hasMatch())
            accounted += match.captured(1).toInt();
    }
    EXPECT_EQ(accounted, 3) << lines.join(u'\n').toStdString();
    for (const QString& line : lines.filter(QStringLiteral("告警发送失败")))
        EXPECT_TRUE(line.contains(QStringLiteral("no answer within 500 ms"))) << line.toStdString();
}

} // namespace
