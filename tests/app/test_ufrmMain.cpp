#include "app/ufrmMain.h"

#include "log/QLog.h"
#include "store/ucommon.h"
#include "sync/accountListModel.h"
#include "sync/syncController.h"
#include "testwait.h"
#include "windowFixture.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStatusBar>
#include <QStyle>
#include <QTabWidget>
#include <QTableView>
#include <QTest>
#include <QTextBlock>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>

#include <thread>

namespace {

constexpr int kWait = 20000; // ms; generous for a loaded machine, never reached by correct code

const char* const kTwoAccounts = R"({"code":200,"data":[)"
                                 R"({"userId":" 1001 ","userName":"nick-a","authTime":0,"exptime":1700000000},)"
                                 R"({"userId":"1002","userName":"店铺b","authTime":1600000000,"exptime":4102444800}]})";

QByteArray ReadFile(const QString& APath)
{
    QFile file(APath);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList PaneLines(const QPlainTextEdit& APane)
{
    QStringList lines;
    if (APane.toPlainText().isEmpty())
        return lines;
    for (QTextBlock block = APane.document()->begin(); block.isValid(); block = block.next())
        lines << block.text();
    return lines;
}

QString Cell(const QTableView& AView, int ARow, int AColumn)
{
    return AView.model()->index(ARow, AColumn).data().toString();
}

// A window signed in through its dialog against a back end of its own, the account list in. A failed sign-in
// fails the test; the caller returns when QTest::currentTestFailed().
struct TSignedInWindow {
    TSignedInWindow()
    {
        backEnd.Answer("/client/dbmove/login", {R"({"code":200,"data":{"uid":"u1","token":"t1"}})"});
        backEnd.Answer("/client/alimmtoken/getSyncOrderToken", {kTwoAccounts});
        fixture.Start();
        QTest::mouseClick(fixture.Child<QToolButton>("btn_loginOperation"), Qt::LeftButton);
        QPointer<TfrmLogin> dialog = fixture.Window().LoginDialog();
        QVERIFY(dialog);
        SignInWith(*dialog, QStringLiteral(" 13800000000 "), QStringLiteral(" secret "));
        QTRY_VERIFY_WITH_TIMEOUT(!dialog, kWait);
        QTRY_VERIFY_WITH_TIMEOUT(!fixture.Controller().OperatorRequestRunning(), kWait);
    }

    TOperatorBackEnd backEnd;
    TWindowFixture fixture {TWindowFixture::HostsIni(backEnd.Server())};
};

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Only the report reads refunds through a sign-in; with the API the window does not ask for one.
    void statusBarAsksForTheSignInOnlyForTheReport_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<bool>("asks");
        QTest::newRow("no setting") << QByteArray() << true;
        QTest::newRow("report") << QByteArray("[setting]\nrefundSource=report\n") << true;
        QTest::newRow("api") << QByteArray("[setting]\nrefundSource=api\n") << false;
        QTest::newRow("auto") << QByteArray("[setting]\nrefundSource=auto\n") << false;
    }
    void statusBarAsksForTheSignInOnlyForTheReport()
    {
        QFETCH(QByteArray, ini);
        QFETCH(bool, asks);
        TWindowFixture fixture(ini);
        TfrmMain& window = fixture.Start().Window();
        QCOMPARE(window.PanelText(2), asks ? QStringLiteral("维权订单需要登录联盟，点击右键登录联盟。") : QString());
    }

    void freshStartShowsTheInitialState()
    {
        TWindowFixture fixture;
        TfrmMain& window = fixture.Start().Window();
        QCOMPARE(window.windowTitle(), QStringLiteral("Quenlar 20220903"));
        QCOMPARE(window.size(), QSize(750, 497));
        QCOMPARE(window.minimumSize(), window.maximumSize());
        QVERIFY(!(window.windowFlags() & Qt::WindowMaximizeButtonHint));
        QCOMPARE(window.PanelText(0), QStringLiteral("Quenlar version 1.0.0.4"));
        QCOMPARE(window.PanelText(1), QStringLiteral("运营商：未登录"));
        QCOMPARE(window.PanelText(2), QStringLiteral("维权订单需要登录联盟，点击右键登录联盟。"));

        auto* pages = fixture.Child<QTabWidget>("RzPageControl1");
        QCOMPARE(pages->currentIndex(), 0);
        QCOMPARE(pages->count(), 4);
        const QStringList tabs {QStringLiteral("淘宝订单"), QStringLiteral("运行日志"), QStringLiteral("软件说明"),
            QStringLiteral("账号状态")};
        const char* const tabNames[] = {"tab_Taobao", "tab_log", "TabSheet1", "tab_AccountHealth"};
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(pages->tabText(i), tabs.at(i));
            QCOMPARE(pages->widget(i)->objectName(), QString::fromLatin1(tabNames[i]));
            QCOMPARE(pages->tabBar()->tabRect(i).size(), QSize(100, 30));
        }

        auto* list = fixture.Child<QTableView>("lv_TaobaoAuths");
        QCOMPARE(list->model()->rowCount(), 0);
        QCOMPARE(list->size(), QSize(728, 351));
        QVERIFY(list->showGrid());
        QCOMPARE(list->selectionBehavior(), QAbstractItemView::SelectRows);
        QCOMPARE(list->editTriggers(), QAbstractItemView::NoEditTriggers);
        const QStringList captions {QStringLiteral("联盟ID"), QStringLiteral("联盟账号"), QStringLiteral("授权日期"),
            QStringLiteral("授权到期时间"), QStringLiteral("登录状态"), QStringLiteral("运行状态")};
        // The id column fits a 13-digit id beside the warning icon whatever the font; the time columns give what it
        // takes more, so the six still fit the list.
        const int widths[] = {110, 130, 150, 150, 70, 100};
        int total = 0;
        for (int column = 0; column < 6; ++column) {
            QCOMPARE(list->model()->headerData(column, Qt::Horizontal).toString(), captions.at(column));
            if (column == 1 || column > 3)
                QCOMPARE(list->columnWidth(column), widths[column]);
            total += list->columnWidth(column);
        }
        QCOMPARE(total, 710);
        QVERIFY(list->columnWidth(0) >= 110);
        QVERIFY(list->columnWidth(0) >= list->fontMetrics().horizontalAdvance(QStringLiteral("2211902013456"))
                + list->style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, list) + 12);

        auto* start = fixture.Child<QPushButton>("btn_Start");
        QCOMPARE(start->text(), QStringLiteral("开始同步订单(失效/维权/已收货)"));
        QCOMPARE(start->property("tag").toInt(), 1);
        QCOMPARE(start->size(), QSize(227, 30));
        QCOMPARE(fixture.Child<QPushButton>("btn_SyncWeiquan")->text(), QStringLiteral("手动同步维权订单"));
        QCOMPARE(fixture.Child<QPushButton>("btn_SyncWeiquan")->size(), QSize(145, 30));
        QCOMPARE(fixture.Child<QToolButton>("btn_loginOperation")->text(), QStringLiteral("运营商登录"));
        QCOMPARE(fixture.Child<QToolButton>("btn_refAuth")->text(), QStringLiteral("刷新联盟授权"));
        QCOMPARE(fixture.Child<QCheckBox>("cb_dcOpen")->text(), QStringLiteral("启用618、双11、双12大促下载规则"));
        QCOMPARE(fixture.Child<QCheckBox>("cb_yshSync")->text(),
            QStringLiteral("已收货状态订单正常给买家结算（商家未支付佣金）"));
        QCOMPARE(fixture.Child<QToolBar>("bar_mainTop")->height(), 29);
        QCOMPARE(fixture.Child<QStatusBar>("StatusBar1")->height(), 25);
        QCOMPARE(fixture.Child<QMenu>("pop_alimm")->actions().size(), 1);
        QCOMPARE(fixture.Child<QAction>("N_LoginAlimm")->text(), QStringLiteral("登录阿里妈妈"));

        auto* log = fixture.Child<QPlainTextEdit>("M_Log");
        QCOMPARE(log->size(), QSize(728, 386));
        QCOMPARE(log->maximumBlockCount(), TfrmMain::LogLineLimit);
        auto* about = fixture.Child<QPlainTextEdit>("M_SoftRemark");
        QVERIFY(about->isReadOnly());
        QCOMPARE(PaneLines(*about),
            QStringList({QStringLiteral("Quenlar"), QString(), QStringLiteral("使用说明："),
                QStringLiteral("①使用前必须先登录运营商账号，通过运营商账号和客户端密码登录。"),
                QStringLiteral("②维权订单必须登录阿里妈妈。"),
                QStringLiteral("③该工具只同步运营商管理后台设置需要同步的联盟账号。"), QString(),
                QStringLiteral("同步规则："), QStringLiteral("①每5分钟同步15天内的所有失效订单/已收货订单。"),
                QStringLiteral("②每5小时同步90天内的所有维权订单。"), QString(),
                QStringLiteral("版本：") + QStringLiteral(QUENLAR_VERSION)}));
        QVERIFY(fixture.Boxes().empty());
    }

    void checkBoxesWriteTheSettings_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<bool>("ysh");
        QTest::addColumn<bool>("large");
        QTest::addColumn<QByteArray>("afterStart");
        // No file: only the box whose state changed at start writes its key.
        QTest::newRow("no file") << QByteArray() << true << false << QByteArray("[setting]\r\nsyncysh=1\r\n");
        // Both boxes change at start and write back the values they were set from.
        QTest::newRow("both on") << QByteArray("[setting]\nsyncysh=1\nopenLarge=1\n") << true << true
                                 << QByteArray("[setting]\nsyncysh=1\nopenLarge=1\n");
        QTest::newRow("both off") << QByteArray("[setting]\nsyncysh=0\nopenLarge=0\n") << false << false
                                  << QByteArray("[setting]\nsyncysh=0\nopenLarge=0\n");
    }

    void checkBoxesWriteTheSettings()
    {
        QFETCH(QByteArray, ini);
        QFETCH(bool, ysh);
        QFETCH(bool, large);
        QFETCH(QByteArray, afterStart);
        TWindowFixture fixture(ini);
        fixture.Start();
        auto* yshBox = fixture.Child<QCheckBox>("cb_yshSync");
        auto* largeBox = fixture.Child<QCheckBox>("cb_dcOpen");
        QCOMPARE(yshBox->isChecked(), ysh);
        QCOMPARE(largeBox->isChecked(), large);
        QCOMPARE(ReadFile(fixture.IniPath()), afterStart);

        largeBox->click();
        QCOMPARE(Common()->openLargeModel(), !large);
        QVERIFY(ReadFile(fixture.IniPath()).contains(large ? "openLarge=0" : "openLarge=1"));
        largeBox->click();
        QVERIFY(ReadFile(fixture.IniPath()).contains(large ? "openLarge=1" : "openLarge=0"));
        yshBox->click();
        QCOMPARE(Common()->openSyncYSH(), !ysh);
        QVERIFY(ReadFile(fixture.IniPath()).contains(ysh ? "syncysh=0" : "syncysh=1"));
        QVERIFY(fixture.Boxes().empty());
    }

    void refusedSettingsWriteShowsItsErrorAndTheWindowGoesOn()
    {
        TWindowFixture fixture(QByteArray {});
        // A folder where the file belongs: no write can succeed, not even as root.
        QVERIFY(QDir(fixture.FolderPath()).mkdir(QStringLiteral("conf.ini")));
        fixture.Start();
        const QString error = QStringLiteral("Unable to write to ") + Common()->iniPath;
        // The received-orders box changes at start, so its write is refused at once.
        QCOMPARE(fixture.Boxes().size(), size_t(1));
        QCOMPARE(fixture.Boxes().back().text, error);
        QCOMPARE(fixture.Boxes().back().title, QStringLiteral("提示"));
        QCOMPARE(fixture.Boxes().back().icon, TMessageBoxes::TIcon::Error);

        auto* largeBox = fixture.Child<QCheckBox>("cb_dcOpen");
        largeBox->click();
        QCOMPARE(fixture.Boxes().size(), size_t(2));
        QCOMPARE(fixture.LastBoxText(), error);
        QVERIFY(largeBox->isChecked());
        QVERIFY(Common()->openLargeModel());
        // Still usable: the next click is handled like any other.
        QTest::mouseClick(fixture.Child<QToolButton>("btn_refAuth"), Qt::LeftButton);
        QCOMPARE(fixture.LastBoxText(), QStringLiteral("请先登录运营商平台!!!"));
    }

    void clicksThatOnlyAnswerWithAMessage_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("okCancel");
        QTest::newRow("refresh before sign-in")
            << QStringLiteral("btn_refAuth") << QStringLiteral("请先登录运营商平台!!!") << false;
        QTest::newRow("start with an empty list")
            << QStringLiteral("btn_Start") << QStringLiteral("必须有联盟授权才能同步失效订单") << true;
        QTest::newRow("sign-in browser without a selection")
            << QStringLiteral("N_LoginAlimm") << QStringLiteral("请先选择要登录的联盟账号") << false;
    }

    void clicksThatOnlyAnswerWithAMessage()
    {
        QFETCH(QString, button);
        QFETCH(QString, text);
        QFETCH(bool, okCancel);
        TWindowFixture fixture;
        fixture.Start();
        if (auto* action = fixture.Window().findChild<QAction*>(button))
            action->trigger();
        else
            QTest::mouseClick(fixture.Window().findChild<QAbstractButton*>(button), Qt::LeftButton);
        QCOMPARE(fixture.Boxes().size(), size_t(1));
        QCOMPARE(fixture.Boxes().back().text, text);
        QCOMPARE(fixture.Boxes().back().title, QStringLiteral("提示"));
        QCOMPARE(
            fixture.Boxes().back().buttons, okCancel ? TMessageBoxes::TButtons::OkCancel : TMessageBoxes::TButtons::Ok);
        auto* start = fixture.Child<QPushButton>("btn_Start");
        QCOMPARE(start->text(), QStringLiteral("开始同步订单(失效/维权/已收货)"));
        QCOMPARE(start->property("tag").toInt(), 1);
        QCOMPARE(fixture.Window().PanelText(1), QStringLiteral("运营商：未登录"));
    }

    void signInThroughTheDialogBuildsTheList()
    {
        TSignedInWindow signedIn;
        if (QTest::currentTestFailed())
            return;
        auto& [backEnd, fixture] = signedIn;
        QCOMPARE(fixture.Window().PanelText(1), QStringLiteral("运营商：已登录"));
        const TFormFields login = backEnd.Server().Requests().front().FormFields();
        QCOMPARE(FieldValue(login, "phone"), std::string("13800000000"));
        QCOMPARE(FieldValue(login, "pwd"), std::string("secret"));

        auto* list = fixture.Child<QTableView>("lv_TaobaoAuths");
        QCOMPARE(list->model()->rowCount(), 2);
        QCOMPARE(Cell(*list, 0, 0), QStringLiteral("1001"));
        QCOMPARE(Cell(*list, 0, 1), QStringLiteral("nick-a"));
        QCOMPARE(Cell(*list, 1, 1), QStringLiteral("店铺b"));
        for (int row = 0; row < 2; ++row) {
            QCOMPARE(Cell(*list, row, 4), QStringLiteral("未登录"));
            QCOMPARE(Cell(*list, row, 5), QStringLiteral("等待同步"));
        }
        QVERIFY(fixture.Child<QToolButton>("btn_loginOperation")->isEnabled());
        QVERIFY(fixture.Child<QToolButton>("btn_refAuth")->isEnabled());
        QVERIFY(fixture.Boxes().empty());

        // With a row selected, the sign-in browser is looked for beside the program.
        list->selectRow(1);
        fixture.Child<QAction>("N_LoginAlimm")->trigger();
        QCOMPARE(fixture.LastBoxText(), QStringLiteral("没有找到联盟登录应用程序!"));
    }

    // An account whose token has expired is marked in the list, explained in its tooltip and listed in the tab.
    void healthIsVisibleWithoutTheLog()
    {
        TSignedInWindow signedIn;
        if (QTest::currentTestFailed())
            return;
        auto& [backEnd, fixture] = signedIn;
        auto* list = fixture.Child<QTableView>("lv_TaobaoAuths");
        QTRY_VERIFY_WITH_TIMEOUT(list->model()->index(0, 0).data(Qt::BackgroundRole).isValid(), kWait);
        QVERIFY(!list->model()->index(1, 0).data(Qt::BackgroundRole).isValid());
        QVERIFY(!list->model()->index(0, 0).data(Qt::DecorationRole).isNull());
        QVERIFY(list->model()->index(0, 3).data(Qt::ToolTipRole).toString().contains(QStringLiteral("授权已到期")));
        QVERIFY(list->model()->index(1, 2).data(Qt::ToolTipRole).toString().contains(QStringLiteral("状态: 正常")));
        QCOMPARE(Cell(*list, 0, 0), QStringLiteral("1001")); // the texts stay the list's own
        QCOMPARE(fixture.Window().PanelText(2), QStringLiteral("1 个联盟账号状态异常，详见“账号状态”"));

        auto* health = fixture.Child<QTableView>("lv_AccountHealth");
        QCOMPARE(health->model()->rowCount(), 2);
        QCOMPARE(health->model()->headerData(TAccountHealthModel::colTokenDays, Qt::Horizontal).toString(),
            QStringLiteral("授权剩余天数"));
        // Sorted by health, the unhealthy account comes first whatever the list's order.
        health->sortByColumn(TAccountHealthModel::colUserId, Qt::DescendingOrder);
        QCOMPARE(Cell(*health, 0, TAccountHealthModel::colUserId), QStringLiteral("1002"));
        health->sortByColumn(TAccountHealthModel::colHealth, Qt::AscendingOrder);
        QCOMPARE(Cell(*health, 0, TAccountHealthModel::colUserId), QStringLiteral("1001"));
        QCOMPARE(Cell(*health, 0, TAccountHealthModel::colHealth), QStringLiteral("异常"));
        QCOMPARE(Cell(*health, 0, TAccountHealthModel::colReason), QStringLiteral("授权已到期"));
        // With what to do about it, in its column and in the row's tooltip.
        QCOMPARE(Cell(*health, 0, TAccountHealthModel::colAdvice), QStringLiteral("在运营商后台重新授权该联盟账号"));
        QVERIFY(health->model()
                    ->index(0, TAccountHealthModel::colUserId)
                    .data(Qt::ToolTipRole)
                    .toString()
                    .contains(QStringLiteral("处理建议: 在运营商后台重新授权该联盟账号")));
        QVERIFY(Cell(*health, 1, TAccountHealthModel::colAdvice).isEmpty());
        QCOMPARE(Cell(*health, 1, TAccountHealthModel::colHealth), QStringLiteral("正常"));
        QCOMPARE(Cell(*health, 1, TAccountHealthModel::colWebSession), QStringLiteral("未登录"));

        // It fits the window: the account, its state and the reason; the failing row tinted as in the list; the
        // selected account's reason, figures and advice in full below.
        QStringList shown;
        int width = 0;
        for (int column = 0; column < TAccountHealthModel::colCount; ++column) {
            if (!health->isColumnHidden(column)) {
                shown << health->model()->headerData(column, Qt::Horizontal).toString();
                width += health->columnWidth(column);
            }
        }
        QCOMPARE(shown,
            QStringList({QStringLiteral("联盟ID"), QStringLiteral("账号名称"), QStringLiteral("状态"),
                QStringLiteral("异常原因")}));
        QVERIFY(width <= health->viewport()->width());
        QCOMPARE(health->model()->index(0, TAccountHealthModel::colReason).data(Qt::BackgroundRole),
            list->model()->index(0, 0).data(Qt::BackgroundRole));
        QVERIFY(!health->model()->index(1, TAccountHealthModel::colReason).data(Qt::BackgroundRole).isValid());
        auto* detail = fixture.Child<QPlainTextEdit>("M_HealthDetail");
        health->selectRow(0);
        QVERIFY(detail->toPlainText().contains(QStringLiteral("状态异常: 授权已到期")));
        QVERIFY(detail->toPlainText().contains(QStringLiteral("处理建议: 在运营商后台重新授权该联盟账号")));
        QVERIFY(detail->geometry().bottom() < health->parentWidget()->height());
        health->selectRow(1);
        QVERIFY(detail->toPlainText().contains(QStringLiteral("状态: 正常")));
        // A new copy of the health keeps the account looked at.
        const QString looked = Cell(*health, 1, TAccountHealthModel::colUserId);
        Q_EMIT fixture.Controller().HealthChanged();
        QCOMPARE(Cell(*health, health->currentIndex().row(), TAccountHealthModel::colUserId), looked);
    }

    void operatorButtonsWaitForTheRequest()
    {
        TSignedInWindow signedIn;
        if (QTest::currentTestFailed())
            return;
        auto& [backEnd, fixture] = signedIn;
        backEnd.Hold();
        auto* refresh = fixture.Child<QToolButton>("btn_refAuth");
        auto* login = fixture.Child<QToolButton>("btn_loginOperation");
        auto* list = fixture.Child<QTableView>("lv_TaobaoAuths");
        std::vector<int> widths;
        widths.reserve(TAccountListModel::colCount);
        for (int column = 0; column < TAccountListModel::colCount; ++column)
            widths.push_back(list->columnWidth(column));
        QTest::mouseClick(refresh, Qt::LeftButton);
        QVERIFY(!refresh->isEnabled());
        QVERIFY(!login->isEnabled());
        backEnd.Release();
        QTRY_VERIFY_WITH_TIMEOUT(refresh->isEnabled(), kWait);
        QVERIFY(login->isEnabled());
        // The list was rebuilt from scratch; its columns keep their widths.
        QCOMPARE(list->model()->rowCount(), 2);
        for (int column = 0; column < TAccountListModel::colCount; ++column)
            QCOMPARE(list->columnWidth(column), widths[static_cast<size_t>(column)]);
    }

    void startAndStopChangeCaptionAndTag()
    {
        TSignedInWindow signedIn;
        if (QTest::currentTestFailed())
            return;
        auto& [backEnd, fixture] = signedIn;
        auto* start = fixture.Child<QPushButton>("btn_Start");
        for (int round = 0; round < 2; ++round) {
            QTest::mouseClick(start, Qt::LeftButton);
            QCOMPARE(start->text(), QStringLiteral("停止同步"));
            QCOMPARE(start->property("tag").toInt(), 2);
            QTest::mouseClick(start, Qt::LeftButton);
            // The stop finishes once the running passes have ended.
            QTRY_COMPARE_WITH_TIMEOUT(start->property("tag").toInt(), 1, kWait);
            QCOMPARE(start->text(), QStringLiteral("开始同步订单(失效/维权/已收货)"));
            QVERIFY(start->isEnabled());
        }
        QVERIFY(fixture.Boxes().empty());
    }

    void statusReachesItsRow_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("column");
        QTest::addColumn<QString>("text");
        QTest::newRow("syncing") << 0 << 5 << QStringLiteral("正在同步");
        QTest::newRow("synced") << 1 << 5 << QStringLiteral("同步完成");
        QTest::newRow("signed in") << 2 << 4 << QStringLiteral("已登录");
        QTest::newRow("dropped") << 3 << 4 << QStringLiteral("已掉线");
        QTest::newRow("stopped") << 4 << 5 << QStringLiteral("已停止");
        QTest::newRow("failed") << 5 << 5 << QStringLiteral("同步失败");
    }

    void statusReachesItsRow()
    {
        QFETCH(int, status);
        QFETCH(int, column);
        QFETCH(QString, text);
        TSignedInWindow signedIn;
        if (QTest::currentTestFailed())
            return;
        auto& [backEnd, fixture] = signedIn;
        auto* list = fixture.Child<QTableView>("lv_TaobaoAuths");
        fixture.Controller().Status().SendStatus(QStringLiteral(" 店铺b "), status);
        QTRY_COMPARE_WITH_TIMEOUT(Cell(*list, 1, column), text, kWait);
        // The other state column and the other row stay as they were.
        QCOMPARE(
            Cell(*list, 1, column == 5 ? 4 : 5), column == 5 ? QStringLiteral("未登录") : QStringLiteral("等待同步"));
        QCOMPARE(Cell(*list, 0, 4), QStringLiteral("未登录"));
        QCOMPARE(Cell(*list, 0, 5), QStringLiteral("等待同步"));
    }

    void manualRefundRunLogsAndGivesTheButtonBack()
    {
        TWindowFixture fixture;
        fixture.Start();
        auto* button = fixture.Child<QPushButton>("btn_SyncWeiquan");
        auto* log = fixture.Child<QPlainTextEdit>("M_Log");
        QTest::mouseClick(button, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(PaneLines(*log).size() >= 2, kWait);
        QVERIFY(PaneLines(*log).at(0).endsWith(QStringLiteral("]  开始同步维权订单")));
        QVERIFY(PaneLines(*log).at(1).endsWith(QStringLiteral("]  维权订单同步完成")));
        QTRY_VERIFY_WITH_TIMEOUT(button->isEnabled(), kWait);
    }

    void logPaneGetsStampedLines()
    {
        TWindowFixture fixture;
        fixture.Start();
        auto* log = fixture.Child<QPlainTextEdit>("M_Log");
        LogLine(llMessage, u"第一行");
        LogLine(llDebug, u"debug line");
        LogLine(llError, u"");
        QTRY_COMPARE_WITH_TIMEOUT(PaneLines(*log).size(), 3, kWait);
        const QRegularExpression shape(QStringLiteral(R"(^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\]  (.*)$)"));
        const QStringList texts {QStringLiteral("第一行"), QStringLiteral("debug line"), QString()};
        const QStringList lines = PaneLines(*log);
        for (int i = 0; i < 3; ++i) {
            const QRegularExpressionMatch match = shape.match(lines.at(i));
            QVERIFY2(match.hasMatch(), qPrintable(lines.at(i)));
            QCOMPARE(match.captured(1), texts.at(i));
        }
        QVERIFY(lines.at(2).endsWith(QStringLiteral("]  ")));
    }

    void linesForAGonePaneAreDropped()
    {
        auto pane = std::make_unique<QPlainTextEdit>();
        auto link = std::make_shared<TLogPaneLink>(pane.get());
        TMainAppLogWriter writer(link);
        const TQLogItemPtr item = NewLogItem(llMessage, u"queued before the pane went", {});
        QVERIFY(writer.WriteItem(*item));
        link->Detach();
        pane.reset();
        QVERIFY(writer.WriteItem(*item)); // after: accepted and dropped
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents();
    }

    void aMessageBoxHoldsNoCallerAndGoesWhenAnswered()
    {
        TWindowFixture fixture;
        fixture.Start();
        TMessageBoxes& boxes = fixture.Window().MessageBoxes();
        boxes.SetHook({}); // real boxes
        // The click returns with the box still up: nobody waits inside a loop of the box's own.
        QTest::mouseClick(fixture.Child<QToolButton>("btn_refAuth"), Qt::LeftButton);
        QCOMPARE(boxes.OpenCount(), std::size_t {1});
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        QVERIFY(box);
        QPointer<QMessageBox> watched(box);
        box->button(QMessageBox::Ok)->click();
        QCOMPARE(boxes.OpenCount(), std::size_t {0});
        QTRY_VERIFY(watched.isNull());
        // A box still up when the window closes goes with it.
        QTest::mouseClick(fixture.Child<QToolButton>("btn_refAuth"), Qt::LeftButton);
        QCOMPARE(boxes.OpenCount(), std::size_t {1});
        watched = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        fixture.Window().close();
        QVERIFY(!fixture.Window().isVisible());
        fixture.Close();
        QVERIFY(watched.isNull());
    }

    void closingDuringASlowSignInEndsCleanly()
    {
        TOperatorBackEnd backEnd;
        backEnd.Answer("/client/dbmove/login", {R"({"code":200,"data":{"uid":"u1","token":"t1"}})"});
        backEnd.Hold();
        TWindowFixture fixture(TWindowFixture::HostsIni(backEnd.Server()));
        fixture.Start();
        QSignalSpy closed(&fixture.Window(), &TfrmMain::Closed);
        QTest::mouseClick(fixture.Child<QToolButton>("btn_loginOperation"), Qt::LeftButton);
        QPointer<TfrmLogin> dialog = fixture.Window().LoginDialog();
        QVERIFY(dialog);
        SignInWith(*dialog, QStringLiteral("13800000000"), QStringLiteral("secret"));
        QVERIFY(dialog->SignInPending());
        QVERIFY(backEnd.Server().WaitForRequests(1));
        fixture.Window().close();
        QCOMPARE(closed.count(), 1);
        // The back end answers only once the program has begun to end; the answer must reach nothing that has gone.
        std::thread releaser([&backEnd] {
            WaitForCondition([] { return JobScheduler() == nullptr; });
            backEnd.Release();
        });
        fixture.Program().Close();
        releaser.join();
        QCoreApplication::processEvents();
        QVERIFY(!dialog);
        QVERIFY(fixture.Boxes().empty());
    }
};

QTEST_MAIN(TestMainWindow)
#include "test_ufrmMain.moc"
