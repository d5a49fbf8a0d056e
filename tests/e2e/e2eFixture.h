#pragma once

#include "standin/standin.h"
#include "store/udb.h"
#include "testwait.h"

#include <QDateTime>
#include <QFile>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>

// The stand-in services in this process on free loopback ports, and the real quenlar executable (with the sign-in
// browser beside it) in a program folder of its own whose conf.ini points at them. The demo world's clock stands
// still at the fixture's start, so every order keeps its status while the runs go on.
class TEndToEnd : public ::testing::Test {
public:
    // The program's folder, which is its data folder too.
    const QTemporaryDir& Folder() const { return FFolder; }

protected:
    struct TRun {
        bool finished = false;
        int exitCode = -1;
        QString out;
        QString err;
    };

    static constexpr qint64 kDay = 86400;
    // An order this close to the edge of the download window may fall out of it as the runs go on: not demanded.
    static constexpr qint64 kEdgeMarginS = 600;

    // ALargeModel: the 2-day window in 20-minute slices; otherwise 15 days in 3-hour slices.
    void Prepare(bool AReceivedOrders, bool ALargeModel, int AAccounts = 2, int AOrdersPerHour = 2)
    {
        FAccounts = AAccounts;
        FLargeModel = ALargeModel;
        FReceivedOrders = AReceivedOrders;
        TStandInOptions options;
        options.ports.fill(0);
        options.controlPort = 0;
        options.accounts = AAccounts;
        options.seed = 11;
        options.ordersPerHour = AOrdersPerHour;
        options.refundsPerDay = 2;
        options.clock = [now = FNow] { return now; };
        FStandIn = std::make_unique<TStandIn>(std::move(options));
        FStandIn->Start();

        FProgram = FFolder.filePath(QStringLiteral("quenlar"));
        ASSERT_TRUE(QFile::copy(QStringLiteral(QUENLAR_BINARY), FProgram));
        ASSERT_TRUE(QFile::copy(QStringLiteral(BROWSER_BINARY), FFolder.filePath(QStringLiteral("browser.exe"))));
        QFile ini(FFolder.filePath(QStringLiteral("conf.ini")));
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
        ini.write(FStandIn->HostsSection().toUtf8());
        ini.write(QStringLiteral("[setting]\nsyncysh=%1\nopenLarge=%2\n")
                      .arg(AReceivedOrders ? 1 : 0)
                      .arg(ALargeModel ? 1 : 0)
                      .toUtf8());
        ini.close();
        CreateOrderCache(FFolder.filePath(QStringLiteral("db.db")));
    }

    void TearDown() override
    {
        if (FProcess.state() != QProcess::NotRunning) {
            FProcess.kill();
            FProcess.waitForFinished();
        }
    }

    // Sets [setting] refundSource for the next runs (the section is the file's last).
    void SetRefundSource(const QString& ASource)
    {
        QFile ini(FFolder.filePath(QStringLiteral("conf.ini")));
        ASSERT_TRUE(ini.open(QIODevice::ReadOnly));
        QStringList lines = QString::fromUtf8(ini.readAll()).split(u'\n', Qt::SkipEmptyParts);
        ini.close();
        lines.removeIf([](const QString& ALine) { return ALine.startsWith(u"refundSource="); });
        lines.append(QStringLiteral("refundSource=") + ASource);
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ini.write((lines.join(u'\n') + u'\n').toUtf8());
    }

    // ASignIn: first sign every account in to the stand-in Alimama through the sign-in browser.
    void Start(QStringList AExtra = {}, bool ASignIn = true)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QUENLAR_PASSWORD"), QStringLiteral("demo1234"));
        FProcess.setProcessEnvironment(environment);
        FProcess.setWorkingDirectory(FFolder.path());
        QStringList arguments {QStringLiteral("--headless"), QStringLiteral("--phone"), QStringLiteral("13800138000"),
            QStringLiteral("--once")};
        if (ASignIn)
            arguments
                += {QStringLiteral("--alimama-login"), QStringLiteral("--alimama-login-timeout"), QStringLiteral("20")};
        arguments += AExtra;
        FProcess.start(FProgram, arguments);
        ASSERT_TRUE(FProcess.waitForStarted());
    }

    TRun Finish()
    {
        TRun run;
        run.finished = FProcess.waitForFinished(60000);
        run.exitCode = FProcess.exitStatus() == QProcess::NormalExit ? FProcess.exitCode() : -1;
        run.out = QString::fromUtf8(FProcess.readAllStandardOutput());
        run.err = QString::fromUtf8(FProcess.readAllStandardError());
        return run;
    }

    TRun RunOnce(bool ASignIn = true)
    {
        Start({}, ASignIn);
        return Finish();
    }

    QJsonObject Part(const char* AKind) const
    {
        return FStandIn->Ledger().Summary().value(QLatin1String(AKind)).toObject();
    }
    long long Count(const char* AKind, const char* AName) const
    {
        return Part(AKind).value(QLatin1String(AName)).toInteger();
    }

    // The orders a pass has to deliver: status 13 (and 14 with received orders on) in the download window, away
    // from its moving edge.
    std::set<TStandInLedger::TKey> ExpectedOrders() const
    {
        std::set<TStandInLedger::TKey> expected;
        const qint64 days = FLargeModel ? 2 : 15;
        for (int account = 0; account < FAccounts; ++account) {
            for (const TDemoOrder& order :
                FStandIn->Data().OrdersCreated(account, FNow - days * kDay + kEdgeMarginS, FNow)) {
                const int status = order.StatusAt(FNow);
                if (order.paidTime <= FNow && (status == 13 || (FReceivedOrders && status == 14)))
                    expected.insert({order.parentId, order.tradeId});
            }
        }
        return expected;
    }

    // The successful refunds of the 90-day report, away from its edge.
    std::set<TStandInLedger::TKey> ExpectedRefunds() const
    {
        std::set<TStandInLedger::TKey> expected;
        for (int account = 0; account < FAccounts; ++account) {
            for (const TDemoRefund& refund :
                FStandIn->Data().RefundsCreated(account, FNow - 89 * kDay, FNow - kEdgeMarginS)) {
                if (refund.StatusAt(FNow) == "维权成功")
                    expected.insert({refund.parentId, refund.tradeId});
            }
        }
        return expected;
    }

    // Every expected order and refund arrived, nothing else did, and nothing arrived twice.
    void ExpectAllDeliveredOnce() const
    {
        const std::set<TStandInLedger::TKey> orders = FStandIn->Ledger().ReceivedOrders();
        const std::set<TStandInLedger::TKey> refunds = FStandIn->Ledger().ReceivedRefunds();
        const std::set<TStandInLedger::TKey> expectedOrders = ExpectedOrders();
        const std::set<TStandInLedger::TKey> expectedRefunds = ExpectedRefunds();
        ASSERT_FALSE(expectedOrders.empty());
        ASSERT_FALSE(expectedRefunds.empty());
        EXPECT_TRUE(std::includes(orders.begin(), orders.end(), expectedOrders.begin(), expectedOrders.end()))
            << orders.size() << " orders arrived of " << expectedOrders.size();
        EXPECT_TRUE(std::includes(refunds.begin(), refunds.end(), expectedRefunds.begin(), expectedRefunds.end()))
            << refunds.size() << " refunds arrived of " << expectedRefunds.size();
        const QJsonObject served = FStandIn->Ledger().Summary().value(QStringLiteral("served")).toObject();
        const long long servedOrders = served.value(QStringLiteral("status13")).toInteger()
            + (FReceivedOrders ? served.value(QStringLiteral("status14")).toInteger() : 0);
        EXPECT_EQ(static_cast<long long>(orders.size()), servedOrders);
        EXPECT_EQ(
            static_cast<long long>(refunds.size()), served.value(QStringLiteral("successfulRefunds")).toInteger());
        for (const char* kind : {"invalidOrders", "refunds"}) {
            EXPECT_EQ(Count(kind, "duplicates"), 0) << kind;
            EXPECT_EQ(Count(kind, "duplicateBatches"), 0) << kind;
            EXPECT_EQ(Count(kind, "unknown"), 0) << kind;
        }
    }

    const qint64 FNow = QDateTime::currentSecsSinceEpoch();
    int FAccounts = 0;
    bool FLargeModel = false;
    bool FReceivedOrders = false;
    std::unique_ptr<TStandIn> FStandIn;
    QTemporaryDir FFolder;
    QString FProgram;
    QProcess FProcess;
};
