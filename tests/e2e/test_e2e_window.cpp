// The window program against the stand-in services: sign in through the dialog, start, and the orders land.
#include "standin/standin.h"
#include "store/udb.h"
#include "windowFixture.h"

#include <QDateTime>
#include <QPushButton>
#include <QTableView>
#include <QToolButton>

#include <algorithm>
#include <set>

class TestWindowFlow : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void signInStartAndTheOrdersLand()
    {
        constexpr int kWait = 60000; // ms; generous for a loaded machine
        constexpr int kAccounts = 2;
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        TStandInOptions options;
        options.ports.fill(0);
        options.controlPort = 0;
        options.accounts = kAccounts;
        options.seed = 5;
        options.clock = [now] { return now; };
        TStandIn standIn(std::move(options));
        standIn.Start();

        // The 2-day window keeps the pass short; received orders stay off.
        TWindowFixture fixture(standIn.HostsSection().toUtf8() + "[setting]\nsyncysh=0\nopenLarge=1\n");
        CreateOrderCache(fixture.FolderPath() + QStringLiteral("/db.db"));
        fixture.Start();

        QTest::mouseClick(fixture.Child<QToolButton>("btn_loginOperation"), Qt::LeftButton);
        QPointer<TfrmLogin> dialog = fixture.Window().LoginDialog();
        QVERIFY(dialog);
        SignInWith(*dialog, QStringLiteral("13800138000"), QStringLiteral("demo1234"));
        QTRY_VERIFY_WITH_TIMEOUT(!dialog, kWait);
        auto* list = fixture.Child<QTableView>("lv_TaobaoAuths");
        QTRY_COMPARE_WITH_TIMEOUT(list->model()->rowCount(), kAccounts, kWait);
        QCOMPARE(fixture.Window().PanelText(1), QStringLiteral("运营商：已登录"));

        std::set<TStandInLedger::TKey> expected;
        for (int account = 0; account < kAccounts; ++account) {
            for (const TDemoOrder& order : standIn.Data().OrdersCreated(account, now - 2 * 86400 + 600, now)) {
                if (order.paidTime <= now && order.StatusAt(now) == 13)
                    expected.insert({order.parentId, order.tradeId});
            }
        }
        QVERIFY(!expected.empty());
        const auto landed = [&] {
            const std::set<TStandInLedger::TKey> received = standIn.Ledger().ReceivedOrders();
            return std::includes(received.begin(), received.end(), expected.begin(), expected.end());
        };

        auto* start = fixture.Child<QPushButton>("btn_Start");
        QTest::mouseClick(start, Qt::LeftButton);
        QCOMPARE(start->property("tag").toInt(), 2);
        QTRY_VERIFY_WITH_TIMEOUT(landed(), kWait);
        // Both rows show the finished pass.
        for (int row = 0; row < kAccounts; ++row)
            QTRY_COMPARE_WITH_TIMEOUT(
                list->model()->index(row, 5).data().toString(), QStringLiteral("同步完成"), kWait);
        const QJsonObject invalid = standIn.Ledger().Summary().value(QStringLiteral("invalidOrders")).toObject();
        QCOMPARE(invalid.value(QStringLiteral("duplicates")).toInteger(), 0);
        QCOMPARE(invalid.value(QStringLiteral("unknown")).toInteger(), 0);
        QVERIFY(fixture.Boxes().empty());

        QTest::mouseClick(start, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(start->property("tag").toInt(), 1, kWait);
        fixture.Close();
    }
};

QTEST_MAIN(TestWindowFlow)
#include "test_e2e_window.moc"
