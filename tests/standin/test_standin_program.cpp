// The stand-in accepts what the program itself sends: its two downloads, delivered by its delivery step through its
// operator client.

#include "standin/standin.h"

#include "foundation/globals.h"
#include "foundation/qjson.h"
#include "operator/uapiApp.h"
#include "standInFolder.h"
#include "standinclient.h"
#include "store/ucommon.h"
#include "store/udb.h"
#include "sync/agedOutOrders.h"
#include "sync/delivery.h"
#include "taobao/topApiGetOrders.h"
#include "testwait.h"

#include <QDateTime>
#include <QFile>

#include <gtest/gtest.h>

namespace {

class ProgramAgainstStandIn : public ::testing::Test, protected TStandInFixture, protected TStandInFolder {
protected:
    ProgramAgainstStandIn()
        : TStandInFolder(FreePorts(11, 2))
    {
    }

    void SetUp() override
    {
        ASSERT_TRUE(WriteConf());
        FCommon = std::make_unique<TCommon>(FFolder.path());
        FCommonScope = std::make_unique<TGlobalScope<TCommon>>(FCommon.get());
        CreateOrderCache(FFolder.filePath(QStringLiteral("db.db")));
        FCache = std::make_unique<TDBCacheClass>(FFolder.path());
        FApp = std::make_unique<TAPIApp>();
    }

    std::unique_ptr<TCommon> FCommon;
    std::unique_ptr<TGlobalScope<TCommon>> FCommonScope;
    std::unique_ptr<TDBCacheClass> FCache;
    std::unique_ptr<TAPIApp> FApp;
    TAgedOutOrders FAgedOut;
    TDelivery FDelivery {FAgedOut};
};

TEST_F(ProgramAgainstStandIn, SignsInListsAccountsAndDeliversInvalidOrders)
{
    QString error;
    EXPECT_FALSE(FApp->Login(QString::fromStdString(FStandIn.Operator().Phone()), QStringLiteral("wrong"), error));
    EXPECT_FALSE(error.isEmpty());
    ASSERT_TRUE(FApp->Login(QString::fromStdString(FStandIn.Operator().Phone()),
        QString::fromStdString(FStandIn.Operator().Password()), error))
        << error.toStdString();
    const std::unique_ptr<TQJson> accounts = FApp->getAlimmTokens();
    ASSERT_EQ(accounts->Count(), 2);
    const QString token = accounts->ItemByPath(u"[0].accessToken")->AsString();

    // Two days of slices, the way a sync pass asks, well before the demo clock's now.
    const QDateTime end = QDateTime::fromSecsSinceEpoch(DemoNow() - qint64(20) * 86400);
    std::vector<TInvalidOrder> lines;
    TTopApiGetOrders(token, QString(), QString()).getOrdersToList(end.addDays(-2), end, 13, lines);
    const int served = FStandIn.Ledger().Summary()[QStringLiteral("served")][QStringLiteral("status13")].toInt();
    ASSERT_GT(served, 0);
    EXPECT_EQ(static_cast<int>(lines.size()), served);

    EXPECT_TRUE(FDelivery.PostInvalid(*FCache, *FApp, lines).AllAccepted());
    const QJsonObject invalid = FStandIn.Received()[QStringLiteral("invalidOrders")].toObject();
    EXPECT_EQ(invalid[QStringLiteral("orders")].toInt(), served);
    EXPECT_EQ(invalid[QStringLiteral("batches")].toInt(), (served + 99) / 100);
    EXPECT_EQ(invalid[QStringLiteral("duplicates")].toInt(), 0);
    EXPECT_EQ(invalid[QStringLiteral("unknown")].toInt(), 0);
    EXPECT_EQ(FStandIn.Operator().Rejections()[QStringLiteral("badSign")].toInt(), 0);
}

TEST_F(ProgramAgainstStandIn, DownloadsAndDeliversSuccessfulRefunds)
{
    QString error;
    ASSERT_TRUE(FApp->Login(QString::fromStdString(FStandIn.Operator().Phone()),
        QString::fromStdString(FStandIn.Operator().Password()), error));
    const TAlimamaHosts::TSignIn signIn = FStandIn.Alimama().SignIn(FStandIn.Data().Accounts()[1].userId);
    ASSERT_TRUE(signIn.ok);

    const QDateTime now = QDateTime::fromSecsSinceEpoch(DemoNow());
    const std::vector<TWeiQuanOrderInfo> refunds = TTopApiGetOrders(QString(), QString::fromStdString(signIn.cookies),
        QStringLiteral("_tb_token_=") + QString::fromStdString(signIn.tbToken))
                                                       .getWeiquanOrders(now.addDays(-90), now);
    ASSERT_GT(refunds.size(), 40u); // more than one page
    const int served
        = FStandIn.Ledger().Summary()[QStringLiteral("served")][QStringLiteral("successfulRefunds")].toInt();
    EXPECT_EQ(static_cast<int>(refunds.size()), served);

    EXPECT_TRUE(FDelivery.PostRefunds(*FCache, *FApp, refunds).AllAccepted());
    const QJsonObject received = FStandIn.Received()[QStringLiteral("refunds")].toObject();
    EXPECT_EQ(received[QStringLiteral("orders")].toInt(), served);
    EXPECT_EQ(received[QStringLiteral("unknown")].toInt(), 0);
    EXPECT_EQ(received[QStringLiteral("duplicates")].toInt(), 0);
}

} // namespace
