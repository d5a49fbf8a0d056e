// The headless program's alerts, sent to the stand-in's webhook receiver: one per turn of an account's health over
// cron's --once runs, one per failure of the run, none for a pass that merely fails again; a dead webhook costs one
// error line and never the pass.
#include "e2eFixture.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <string>

namespace {

class EndToEndAlerts : public TEndToEnd {
protected:
    // Adds section "notify" to the program's conf.ini.
    void SetNotify(const QString& AWebhook, const QString& AFormat, const QString& ASecret = {})
    {
        QFile ini(FFolder.filePath(QStringLiteral("conf.ini")));
        ASSERT_TRUE(ini.open(QIODevice::Append));
        ini.write(
            QStringLiteral("[notify]\nwebhook=%1\nformat=%2\nsecret=%3\n").arg(AWebhook, AFormat, ASecret).toUtf8());
    }

    TRun FailingRun()
    {
        const TRun run = RunOnce(false);
        EXPECT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, 4) << run.err.toStdString();
        return run;
    }

    QJsonArray Received() const { return FStandIn->Webhooks().Received(); }
};

struct TFormatCase {
    const char* name;
    const char* path; // below the stand-in's receiver
    const char* format;
    const char* secret;
};

class EndToEndAlertFormats : public EndToEndAlerts, public ::testing::WithParamInterface<TFormatCase> { };

// Cron's runs: two failing runs of an account are one turn, one alert; a third failing run none; the good run after
// them one "recovered".
TEST_P(EndToEndAlertFormats, OneAlertPerTurnAcrossOnceRuns)
{
    const TFormatCase& c = GetParam();
    Prepare(false, true);
    FStandIn->Webhooks().SetSecret("SECe2e");
    SetNotify(FStandIn->WebhookUrl(QString::fromLatin1(c.path)), QString::fromLatin1(c.format),
        QString::fromLatin1(c.secret));
    const TDemoAccount& account = FStandIn->Data().Accounts().at(0);
    FStandIn->Top().SetRefusedAccounts({account.userId});
    const QDateTime first = QDateTime::currentDateTime().addSecs(-1);
    std::vector<qsizetype> alertsAfter;
    for (int run = 0; run < 3; ++run) {
        const TRun failed = FailingRun();
        EXPECT_FALSE(failed.out.contains(QStringLiteral("告警发送失败"))) << failed.out.toStdString();
        alertsAfter.push_back(Received().size());
    }
    EXPECT_EQ(alertsAfter, (std::vector<qsizetype> {0, 1, 1}));
    FStandIn->Top().SetRefusedAccounts({});
    const TRun good = RunOnce(false);
    ASSERT_TRUE(good.finished);
    EXPECT_EQ(good.exitCode, 0) << good.err.toStdString();
    const QJsonArray received = Received();
    ASSERT_EQ(received.size(), 2);

    const QString name = QString::fromStdString(account.userName);
    const QString id = QString::fromStdString(account.userId);
    for (const QJsonValue& value : received) {
        if (QString::fromLatin1(c.secret).isEmpty())
            EXPECT_TRUE(value[u"signed"].isNull());
        else
            EXPECT_TRUE(value[u"signed"].toBool()) << QJsonDocument(value.toObject()).toJson().toStdString();
    }
    if (QString::fromLatin1(c.format) == u"json") {
        const QJsonObject unhealthy = received[0][u"body"].toObject();
        EXPECT_EQ(unhealthy[u"state"].toString(), QStringLiteral("unhealthy"));
        EXPECT_EQ(unhealthy[u"account"].toString(), name);
        EXPECT_EQ(unhealthy[u"userId"].toString(), id);
        EXPECT_TRUE(unhealthy[u"reason"].toString().contains(QStringLiteral("失效订单同步连续 2 次失败")));
        EXPECT_EQ(unhealthy[u"advice"].toString(), QStringLiteral("在运营商后台重新授权该联盟账号"));
        // Local time with this machine's offset, within the runs.
        const QDateTime time = QDateTime::fromString(unhealthy[u"time"].toString(), Qt::ISODate);
        ASSERT_TRUE(time.isValid()) << unhealthy[u"time"].toString().toStdString();
        EXPECT_EQ(time.offsetFromUtc(), QDateTime::currentDateTime().offsetFromUtc());
        EXPECT_GE(time, first);
        EXPECT_LE(time, QDateTime::currentDateTime());
        const QJsonObject recovered = received[1][u"body"].toObject();
        EXPECT_EQ(recovered[u"state"].toString(), QStringLiteral("recovered"));
        EXPECT_EQ(recovered[u"userId"].toString(), id);
        EXPECT_TRUE(recovered[u"advice"].isNull());
    } else {
        const QString text = received[0][u"body"][u"content"][u"text"].toString();
        EXPECT_TRUE(text.contains(QStringLiteral("联盟账号 %1 (%2) 状态异常").arg(name, id))) << text.toStdString();
        EXPECT_TRUE(received[1][u"body"][u"content"][u"text"].toString().contains(QStringLiteral("恢复正常")));
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, EndToEndAlertFormats,
    ::testing::Values(
        TFormatCase {"Json", "?token=t", "json", ""}, TFormatCase {"SignedFeishu", "/feishu", "feishu", "SECe2e"}),
    [](const ::testing::TestParamInfo<TFormatCase>& AInfo) { return std::string(AInfo.param.name); });

// Nothing listens at the webhook: the run that turns the account is the same run (its passes, its exit code), with
// one error line for the alert it could not send.
TEST_F(EndToEndAlerts, ADeadWebhookCostsOneErrorLineAndNeverThePass)
{
    Prepare(false, true);
    SetNotify(QStringLiteral("http://127.0.0.1:1/hook?token=t"), QStringLiteral("json"));
    FStandIn->Top().SetRefusedAccounts({FStandIn->Data().Accounts().at(0).userId});
    const TRun before = FailingRun();
    EXPECT_FALSE(before.out.contains(QStringLiteral("告警发送失败"))) << before.out.toStdString();
    const TRun turned = FailingRun();
    const QStringList lines = turned.out.split(u'\n');
    EXPECT_EQ(lines.filter(QStringLiteral("告警发送失败(http://127.0.0.1:1): ")).size(), 1) << turned.out.toStdString();
    EXPECT_EQ(lines.filter(QStringLiteral("状态异常")).size(), 1) << turned.out.toStdString();
    EXPECT_EQ(lines.filter(QStringLiteral("失效订单同步结束: 账号 2 个")).size(), 1) << turned.out.toStdString();
    EXPECT_FALSE(turned.out.contains(QStringLiteral("token=t")));
}

// A failure of the run: a back end that cannot be reached is one "failed" alert with what to do.
TEST_F(EndToEndAlerts, AnUnreachableBackEndIsOneAlertOfTheRun)
{
    Prepare(false, true);
    QFile ini(FFolder.filePath(QStringLiteral("conf.ini")));
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ini.write("[hosts]\noperatorService=127.0.0.1:1\n");
    ini.close();
    SetNotify(FStandIn->WebhookUrl(), QStringLiteral("json"));
    const TRun run = RunOnce(false);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 1) << run.err.toStdString();
    const QJsonArray received = Received();
    ASSERT_EQ(received.size(), 1) << run.out.toStdString();
    const QJsonObject alert = received[0][u"body"].toObject();
    EXPECT_EQ(alert[u"state"].toString(), QStringLiteral("failed"));
    EXPECT_EQ(alert[u"source"].toString(), QStringLiteral("operator"));
    EXPECT_TRUE(alert[u"account"].isNull());
    EXPECT_TRUE(alert[u"reason"].toString().startsWith(QStringLiteral("运营商后台无法访问(http://127.0.0.1:1")))
        << alert[u"reason"].toString().toStdString();
    EXPECT_FALSE(alert[u"advice"].toString().isEmpty());
}

// Settings the program cannot use are one error line at the start; the run goes on without alerts.
TEST_F(EndToEndAlerts, UnusableSettingsAreOneLineAndNoAlerts)
{
    Prepare(false, true);
    SetNotify(FStandIn->WebhookUrl(), QStringLiteral("slack"));
    const TRun run = RunOnce(false);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_EQ(run.out.split(u'\n').filter(QStringLiteral("告警设置无效,不发送告警: [notify] format=slack")).size(), 1)
        << run.out.toStdString();
    EXPECT_TRUE(Received().isEmpty());
}

} // namespace
