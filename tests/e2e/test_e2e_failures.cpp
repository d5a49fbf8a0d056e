// The headless program against a stand-in that fails in one way at a time: each failure shows the same truth in
// the log, the account health, the status file and the exit code.
#include "e2eFixture.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <functional>

namespace {

// What one failure looks like from outside.
struct TFailureCase {
    const char* name;
    std::function<void(TEndToEnd&, TStandIn&)> arrange; // turns the stand-in's switch, or the program's folder
    bool signIn; // the sign-in browsers run first (--alimama-login), so refunds come from the report
    int exitCode;
    const char16_t* logged; // a part of one log line on stdout
    bool namesAccount; // that line also names account 0 (name and id)
    const char* source; // the failure's kind in the status file; empty: no failure
    bool accountEvent; // the failure is account 0's (its lastError); otherwise one of the run's problems
    bool othersGoOn = true; // account 1's invalid-order pass completes all the same
    QStringList extra = {}; // more arguments
};

class EndToEndFailures : public TEndToEnd, public ::testing::WithParamInterface<TFailureCase> {
protected:
    QJsonObject StatusFile() const
    {
        QFile file(FFolder.filePath(QStringLiteral("status.json")));
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QJsonDocument::fromJson(file.readAll()).object();
    }

    QJsonObject AccountIn(const QJsonObject& AStatus, const std::string& AUserId) const
    {
        for (const QJsonValue& account : AStatus.value(u"accounts").toArray()) {
            if (account[u"userId"].toString() == QString::fromStdString(AUserId))
                return account.toObject();
        }
        return {};
    }
};

TEST_P(EndToEndFailures, ShowTheSameTruthInTheLogTheHealthTheStatusFileAndTheExitCode)
{
    const TFailureCase& c = GetParam();
    Prepare(false, true);
    c.arrange(*this, *FStandIn);
    const TDemoAccount& account = FStandIn->Data().Accounts().at(0);
    const QString name = QString::fromStdString(account.userName);
    const QString id = QString::fromStdString(account.userId);
    Start(QStringList {QStringLiteral("--status-file"), QStringLiteral("status.json")} + c.extra, c.signIn);
    const TRun run = Finish();
    ASSERT_TRUE(run.finished);
    const std::string both = (run.out + run.err).toStdString();

    // The exit code.
    EXPECT_EQ(run.exitCode, c.exitCode) << both;
    // The log line.
    const QString logged = QString::fromUtf16(c.logged);
    QStringList lines = run.out.split(u'\n').filter(logged);
    if (c.namesAccount)
        lines = lines.filter(name).filter(id);
    EXPECT_FALSE(lines.isEmpty()) << both;
    // The health event, as the status file and stderr give it.
    const QJsonObject status = StatusFile();
    ASSERT_FALSE(status.isEmpty()) << both;
    const QString source = QString::fromLatin1(c.source);
    const QJsonArray problems = status.value(u"problems").toArray();
    if (source.isEmpty()) {
        EXPECT_TRUE(problems.isEmpty()) << both;
        EXPECT_FALSE(run.err.contains(QStringLiteral("quenlar:"))) << both;
    } else if (c.accountEvent) {
        const QJsonObject failed = AccountIn(status, account.userId);
        EXPECT_EQ(failed[u"lastError"][u"source"].toString(), source) << both;
        EXPECT_FALSE(failed[u"lastError"][u"advice"].toString().isEmpty()) << both;
        EXPECT_TRUE(run.err.contains(QStringLiteral("quenlar: account %1 (%2): ").arg(name, id))) << both;
    } else {
        ASSERT_EQ(problems.size(), 1) << both;
        EXPECT_EQ(problems[0][u"source"].toString(), source);
        EXPECT_TRUE(run.err.contains(problems[0][u"text"].toString())) << both;
    }
    // One bad item costs only itself: the other account's orders went all the same.
    const TDemoAccount& other = FStandIn->Data().Accounts().at(1);
    if (c.othersGoOn) {
        EXPECT_EQ(AccountIn(status, other.userId)[u"invalidOrders"][u"outcome"].toString(), QStringLiteral("complete"))
            << both;
    }
}

const auto kNothing = [](TEndToEnd&, TStandIn&) {};

INSTANTIATE_TEST_SUITE_P(Paths, EndToEndFailures,
    ::testing::Values(TFailureCase {"RevokedToken",
                          [](TEndToEnd&, TStandIn& AStandIn) {
                              AStandIn.Top().SetRefusedAccounts({AStandIn.Data().Accounts().at(0).userId});
                          },
                          false, 4, u"失效订单同步失败: 淘宝开放平台授权已失效", true, "top", true},
        TFailureCase {"PermissionRefused",
            [](TEndToEnd&, TStandIn& AStandIn) {
                AStandIn.Top().SetOrderError(TTopOrderError::NoPermission, {AStandIn.Data().Accounts().at(0).userId});
            },
            false, 4, u"失效订单同步失败: 淘宝开放平台权限不足", true, "top", true},
        TFailureCase {"ClockOff", [](TEndToEnd&, TStandIn& AStandIn) { AStandIn.Top().SetClockSkew(-3600); }, false, 4,
            u"失效订单同步失败: 本机时间与北京时间相差超过10分钟", true, "clock", true, false},
        TFailureCase {"RefusedBatches",
            [](TEndToEnd&, TStandIn& AStandIn) {
                TFaultSettings refused;
                refused.errorShare = 1;
                refused.hosts = 1u << static_cast<unsigned>(TStandInHost::Intake);
                AStandIn.Faults().Set(refused);
            },
            false, 4, u"失效订单同步失败: 失效/已收货订单提交失败---", true, "backend", true, false},
        TFailureCase {"UnreadableAmountInTheReport",
            [](TEndToEnd&, TStandIn& AStandIn) {
                AStandIn.Alimama().SetBadAmount(AStandIn.Data().Accounts().at(0).userId);
            },
            true, 4, u"维权订单同步失败: 1 条记录无法读取", true, "record", true},
        TFailureCase {"ListItemWithoutUserId",
            [](TEndToEnd&, TStandIn& AStandIn) { AStandIn.Operator().SetListItemFault("userid"); }, false, 4,
            u"联盟账号列表第 1 项没有 userId,已跳过", false, "list", false},
        TFailureCase {"ListItemWithUnreadableTimes",
            [](TEndToEnd&, TStandIn& AStandIn) { AStandIn.Operator().SetListItemFault("times"); }, false, 0,
            u"的时间无法读取,按未知处理", true, "", false},
        TFailureCase {"SilentSignInBrowser",
            [](TEndToEnd& AThis, TStandIn&) {
                // A browser that never reports: the sign-in times out (the fixture waits 20 s for it).
                QFile browser(AThis.Folder().filePath(QStringLiteral("browser.exe")));
                ASSERT_TRUE(browser.remove());
                ASSERT_TRUE(browser.open(QIODevice::WriteOnly));
                browser.write("#!/bin/sh\nexec sleep 120\n");
                browser.close();
                browser.setPermissions(browser.permissions() | QFileDevice::ExeOwner);
            },
            true, 4, u"[联盟账号] 联盟登录超时未回报,已结束登录程序:", false, "signin", true, true,
            {QStringLiteral("--alimama-login-timeout"), QStringLiteral("2")}},
        TFailureCase {"NoFailure", kNothing, false, 0, u"失效订单同步结束: 账号 2 个", false, "", false}),
    [](const ::testing::TestParamInfo<TFailureCase>& AInfo) { return std::string(AInfo.param.name); });

// A cron job's runs: each --once starts from the health the one before left, so two failed passes in a row make
// the account unhealthy in the status file, with what to do; a good run makes it healthy again.
TEST_F(TEndToEnd, TwoFailingOnceRunsInARowLeaveTheAccountUnhealthyInTheStatusFile)
{
    Prepare(false, true);
    const TDemoAccount& account = FStandIn->Data().Accounts().at(0);
    FStandIn->Top().SetRefusedAccounts({account.userId});
    const auto accountStatus = [&] {
        QFile file(FFolder.filePath(QStringLiteral("status.json")));
        EXPECT_TRUE(file.open(QIODevice::ReadOnly));
        for (const QJsonValue& item : QJsonDocument::fromJson(file.readAll())[u"accounts"].toArray()) {
            if (item[u"userId"].toString() == QString::fromStdString(account.userId))
                return item.toObject();
        }
        return QJsonObject();
    };
    for (int run = 1; run <= 2; ++run) {
        Start({QStringLiteral("--status-file"), QStringLiteral("status.json")}, false);
        const TRun failed = Finish();
        ASSERT_TRUE(failed.finished);
        EXPECT_EQ(failed.exitCode, 4) << failed.err.toStdString();
        const QJsonObject status = accountStatus();
        EXPECT_EQ(status[u"invalidOrders"][u"failedInARow"].toInt(), run);
        EXPECT_EQ(status[u"healthy"].toBool(), run == 1) << run;
        if (run == 2) {
            EXPECT_TRUE(status[u"reason"].toString().contains(QStringLiteral("失效订单同步连续 2 次失败")));
            EXPECT_EQ(status[u"advice"].toString(), QStringLiteral("在运营商后台重新授权该联盟账号"));
            EXPECT_TRUE(failed.out.contains(QStringLiteral("状态异常"))) << failed.out.toStdString();
        }
    }
    FStandIn->Top().SetRefusedAccounts({});
    Start({QStringLiteral("--status-file"), QStringLiteral("status.json")}, false);
    const TRun good = Finish();
    ASSERT_TRUE(good.finished);
    EXPECT_EQ(good.exitCode, 0) << good.err.toStdString();
    EXPECT_TRUE(accountStatus()[u"healthy"].toBool());
    EXPECT_TRUE(good.out.contains(QStringLiteral("恢复正常"))) << good.out.toStdString();
}

// A status file that cannot be written is a failure of the run like any other: its line, and exit 4.
TEST_F(TEndToEnd, AStatusFileThatCannotBeWrittenFailsTheRun)
{
    Prepare(false, true);
    // A file where its folder should be: not even root can write there.
    const QString path = FFolder.filePath(QStringLiteral("conf.ini/status.json"));
    Start({QStringLiteral("--status-file"), path}, false);
    const TRun run = Finish();
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 4) << run.err.toStdString();
    const QString said = QStringLiteral("状态文件无法写入 ") + path;
    EXPECT_EQ(run.out.split(u'\n').filter(said).size(), 1) << run.out.toStdString(); // once, not per change
    EXPECT_TRUE(run.err.contains(QStringLiteral("quenlar: ") + said)) << run.err.toStdString();
}

// A sign-in that never reaches the back end names the host and the reason beside the back end's text.
TEST_F(TEndToEnd, AnUnreachableBackEndIsNamedWithItsHostAndCause)
{
    Prepare(false, true);
    QFile ini(FFolder.filePath(QStringLiteral("conf.ini")));
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ini.write("[hosts]\noperatorService=127.0.0.1:1\n");
    ini.close();
    const TRun run = RunOnce(false);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(
        run.err.contains(QStringLiteral("quenlar: the operator back end could not be reached (http://127.0.0.1:1")))
        << run.err.toStdString();
    EXPECT_TRUE(run.err.contains(QStringLiteral("服务器访问失败-本地"))) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains(QStringLiteral("connect"), Qt::CaseInsensitive)) << run.err.toStdString();
}

} // namespace
