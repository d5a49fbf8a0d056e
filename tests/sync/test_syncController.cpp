#include "sync/syncController.h"

#include "sessions/alimmTokenMgr.h"
#include "store/inifile.h"
#include "store/ucommon.h"
#include "syncfixture.h"
#include "testwait.h"

#include <QNetworkInterface>
#include <QNetworkProxy>
#include <QProcess>
#include <QTimer>
#include <QUdpSocket>

#include <csignal>

namespace {

using TCol = TAccountListModel::TColumn;

const QString kNotSignedIn = QStringLiteral("未登录");
const QString kSignedIn = QStringLiteral("已登录");
const QString kWaiting = QStringLiteral("等待同步");

void SendDatagram(quint16 APort, const QByteArray& AData, const QHostAddress& ATo = QHostAddress::LocalHost)
{
    QUdpSocket socket;
    socket.setProxy(QNetworkProxy::NoProxy); // no system proxy lookup for loopback
    ASSERT_EQ(socket.writeDatagram(AData, ATo, APort), AData.size());
}

QByteArray SignInDatagram(const QString& AUserId, const QString& ANick, const QString& AMemberId,
    const QString& ACookies, qint64 AProcessId = 0)
{
    return QStringLiteral(R"({"cmd":1000,"userId":"%1","nickname":"%2","memberid":"%3","cookies":"%4","processId":%5})")
        .arg(AUserId, ANick, AMemberId, ACookies)
        .arg(AProcessId)
        .toUtf8();
}

class SyncController : public SyncFixture { };

TEST_F(SyncController, FreshControllerIsSignedOutIdleAndEmpty)
{
    EXPECT_EQ(FController->OperatorPanelText(), QStringLiteral("运营商：未登录"));
    EXPECT_EQ(FController->StartTag(), 1);
    EXPECT_EQ(FController->StartCaption(), QStringLiteral("开始同步订单(失效/维权/已收货)"));
    EXPECT_EQ(FController->Accounts().Count(), 0);
    EXPECT_TRUE(FController->ManualRefundEnabled());
    EXPECT_GE(FController->ListenerPort(), TSignInListener::FirstPort);
    EXPECT_LE(FController->ListenerPort(), TSignInListener::LastPort);
}

TEST_F(SyncController, AcceptedSignInBuildsTheListWithFreshStates)
{
    SetAccounts({{" 1001 ", "nick-a", "tok-a"}, {"1002", "nick-b", "tok-b"}});
    SignInAndList();
    EXPECT_EQ(FFrontEnd.FPanel, QStringLiteral("运营商：已登录"));
    EXPECT_EQ(FController->OperatorPanelText(), QStringLiteral("运营商：已登录"));
    const TAccountListModel& accounts = FController->Accounts();
    ASSERT_EQ(accounts.Count(), 2);
    EXPECT_EQ(accounts.Text(0, TCol::colUserId), QStringLiteral("1001"));
    EXPECT_EQ(accounts.Text(0, TCol::colUserName), QStringLiteral("nick-a"));
    EXPECT_EQ(accounts.Text(1, TCol::colLoginState), kNotSignedIn);
    EXPECT_EQ(accounts.Text(1, TCol::colRunState), kWaiting);
    EXPECT_EQ(AlimmTokenMgr()->count(), 2);
    EXPECT_EQ(AlimmTokenMgr()->get(QStringLiteral("1002"))->token(), QStringLiteral("tok-b"));
}

TEST_F(SyncController, RefusedSignInReportsTheBackEndMessageAndAsksNothingMore)
{
    {
        const std::scoped_lock lock(FMutex);
        FLoginReply = R"({"code":401,"msg":"密码错误"})";
    }
    std::optional<std::pair<bool, QString>> result;
    ASSERT_TRUE(FController->SignIn(QStringLiteral("p"), QStringLiteral("x"),
        [&result](bool AOk, const QString& AError) { result = std::make_pair(AOk, AError); }));
    ASSERT_TRUE(WaitMain([&] { return result.has_value() && !FController->OperatorRequestRunning(); }));
    EXPECT_FALSE(result->first);
    EXPECT_EQ(result->second, QStringLiteral("密码错误"));
    EXPECT_EQ(FController->OperatorPanelText(), QStringLiteral("运营商：未登录"));
    EXPECT_EQ(FOperator.RequestCount(), 1u);
}

TEST_F(SyncController, EmptyAccountOrPasswordSendsNothing)
{
    std::optional<QString> error;
    FController->SignIn(
        QStringLiteral("  "), QStringLiteral("pw"), [&error](bool, const QString& AError) { error = AError; });
    EXPECT_EQ(error.value_or(QString()), QStringLiteral("账号或密码不能为空!!!"));
    EXPECT_EQ(FOperator.RequestCount(), 0u);
}

TEST_F(SyncController, SecondOperatorRequestIsRefusedWhileOneRuns)
{
    std::atomic<bool> release {false};
    {
        const std::scoped_lock lock(FMutex);
        FBeforeAccountList = [&release] { WaitForCondition([&] { return release.load(); }); };
    }
    SetAccounts({{"1", "a", "t"}});
    bool done = false;
    ASSERT_TRUE(
        FController->SignIn(QStringLiteral("p"), QStringLiteral("x"), [&done](bool, const QString&) { done = true; }));
    EXPECT_TRUE(FController->OperatorRequestRunning());
    EXPECT_FALSE(FController->SignIn(QStringLiteral("p"), QStringLiteral("x"), [](bool, const QString&) {}));
    EXPECT_FALSE(FController->RefreshAuthorizedAccounts());
    ASSERT_TRUE(WaitMain([&] { return done; })); // the login answered; the list request now hangs
    EXPECT_TRUE(FController->OperatorRequestRunning());
    release = true;
    ASSERT_TRUE(WaitMain([&] { return !FController->OperatorRequestRunning(); }));
    EXPECT_EQ(FController->Accounts().Count(), 1);
}

TEST_F(SyncController, RefreshBeforeSignInOnlyShowsItsMessage)
{
    FController->RefreshClick();
    ASSERT_EQ(FFrontEnd.FMessages.size(), 1u);
    EXPECT_EQ(FFrontEnd.FMessages[0].text, QStringLiteral("请先登录运营商平台!!!"));
    EXPECT_EQ(FFrontEnd.FMessages[0].title, QStringLiteral("提示"));
    EXPECT_EQ(FOperator.RequestCount(), 0u);
}

TEST_F(SyncController, RefreshKeepsSignedInAccountsAndResetsRunStates)
{
    SetAccounts({{"1001", "nick-a", "tok-a"}, {"1002", "nick-b", "tok-b"}});
    SignInAndList();
    SendDatagram(FController->ListenerPort(),
        SignInDatagram(QStringLiteral("1001"), QStringLiteral("nick-a"), QStringLiteral("m1"), QStringLiteral("c=1")));
    ASSERT_TRUE(WaitMain([&] { return FController->Accounts().Text(0, TCol::colLoginState) == kSignedIn; }));
    FController->Status().SendStatus(QStringLiteral("nick-b"), 1);
    ASSERT_TRUE(WaitMain([&] { return FController->Accounts().Text(1, TCol::colRunState) != kWaiting; }));

    SetAccounts({{"1001", "nick-a", "tok-a2"}, {"1002", "nick-b", "tok-b"}});
    bool refreshed = false;
    QObject::connect(FController.get(), &TSyncController::AccountsRefreshed, [&refreshed](bool) { refreshed = true; });
    FController->RefreshClick();
    ASSERT_TRUE(WaitMain([&] { return refreshed; }));
    EXPECT_EQ(FController->Accounts().Text(0, TCol::colLoginState), kSignedIn);
    EXPECT_EQ(FController->Accounts().Text(1, TCol::colLoginState), kNotSignedIn);
    EXPECT_EQ(FController->Accounts().Text(1, TCol::colRunState), kWaiting);
    EXPECT_EQ(AlimmTokenMgr()->get(QStringLiteral("1001"))->token(), QStringLiteral("tok-a2"));
}

TEST_F(SyncController, StartWithAnEmptyListShowsTheMessageAndChangesNothing)
{
    FController->StartStopClick();
    ASSERT_EQ(FFrontEnd.FMessages.size(), 1u);
    EXPECT_EQ(FFrontEnd.FMessages[0].text, QStringLiteral("必须有联盟授权才能同步失效订单"));
    EXPECT_EQ(FFrontEnd.FMessages[0].buttons, TSyncFrontEnd::TButtons::OkCancel);
    EXPECT_EQ(FController->StartTag(), 1);
    EXPECT_EQ(FGateway.RequestCount(), 0u);
}

TEST_F(SyncController, StartStopStartRunsPassesAndTurnsTheSwitch)
{
    SetAccounts({{"1001", "nick-a", "tok-a"}});
    SignInAndList();
    FController->StartStopClick();
    EXPECT_EQ(FController->StartTag(), 2);
    EXPECT_EQ(FController->StartCaption(), QStringLiteral("停止同步"));
    // The immediate pass delivers the account's one new order.
    ASSERT_TRUE(WaitMain([&] { return FIntakeBatches.load() >= 1; }));
    ASSERT_TRUE(
        WaitMain([&] { return FController->Accounts().Text(0, TCol::colRunState) == QStringLiteral("同步完成"); }));

    FController->StartStopClick();
    EXPECT_TRUE(FController->Stopping());
    ASSERT_TRUE(WaitMain([&] { return !FController->Stopping(); }));
    EXPECT_EQ(FController->StartTag(), 1);
    EXPECT_EQ(FController->StartCaption(), QStringLiteral("开始同步订单(失效/维权/已收货)"));

    const size_t before = FGateway.RequestCount();
    FController->StartStopClick();
    EXPECT_EQ(FController->StartTag(), 2);
    ASSERT_TRUE(FGateway.WaitForRequests(before + 1));
}

TEST_F(SyncController, PassesOfOneKindNeverOverlapSoNoOrderIsPostedTwice)
{
    SetAccounts({{"1001", "nick-a", "tok-a"}});
    SignInAndList();
    std::atomic<bool> release {false};
    {
        const std::scoped_lock lock(FMutex);
        FBeforeGatewayPage = [&release] { WaitForCondition([&] { return release.load(); }); };
    }
    std::atomic<int> done {0};
    for (int i = 0; i < 2; ++i) {
        JobScheduler()->Post([this, &done](TQJob* AJob) {
            FController->Passes().SyncInvalidOrdersJob(AJob);
            ++done;
        });
    }
    // The second pass finds the first one running and skips its turn.
    ASSERT_TRUE(WaitMain([&] { return done.load() == 1; }));
    release = true;
    ASSERT_TRUE(WaitMain([&] { return done.load() == 2; }));
    EXPECT_EQ(FIntakeBatches.load(), 1);
    {
        const std::scoped_lock lock(FMutex);
        FBeforeGatewayPage = nullptr;
    }
}

struct TStatusCase {
    int code;
    TCol column;
    const char16_t* text;
};

class StatusMessages : public SyncFixture, public ::testing::WithParamInterface<TStatusCase> { };

TEST_P(StatusMessages, ReachTheirColumnOfTheFirstMatchingRowOnly)
{
    SetAccounts({{"1", " twin ", "t1"}, {"2", "twin", "t2"}, {"3", "other", "t3"}});
    SignInAndList();
    const TStatusCase& status = GetParam();
    FController->Status().SendStatus(QStringLiteral("twin\t"), status.code);
    const QString wanted = QString::fromUtf16(status.text);
    ASSERT_TRUE(WaitMain([&] { return FController->Accounts().Text(0, status.column) == wanted; }));
    const TCol other = status.column == TCol::colRunState ? TCol::colLoginState : TCol::colRunState;
    EXPECT_EQ(FController->Accounts().Text(0, other), other == TCol::colRunState ? kWaiting : kNotSignedIn);
    EXPECT_EQ(
        FController->Accounts().Text(1, status.column), status.column == TCol::colRunState ? kWaiting : kNotSignedIn);
}

INSTANTIATE_TEST_SUITE_P(Codes, StatusMessages,
    ::testing::Values(TStatusCase {0, TCol::colRunState, u"正在同步"}, TStatusCase {1, TCol::colRunState, u"同步完成"},
        TStatusCase {2, TCol::colLoginState, u"已登录"}, TStatusCase {3, TCol::colLoginState, u"已掉线"}));

TEST_F(SyncController, UnknownStatusCodeChangesNothing)
{
    SetAccounts({{"1", "a", "t"}});
    SignInAndList();
    FController->Status().SendStatus(QStringLiteral("a"), 7);
    FController->Status().SendStatus(QStringLiteral("a"), 1); // a barrier: applied after the first
    ASSERT_TRUE(
        WaitMain([&] { return FController->Accounts().Text(0, TCol::colRunState) == QStringLiteral("同步完成"); }));
    EXPECT_EQ(FController->Accounts().Text(0, TCol::colLoginState), kNotSignedIn);
}

TEST_F(SyncController, SignInDatagramStoresCookiesAndMarksTheRow)
{
    SetAccounts({{"1001", "nick-a", "tok-a"}});
    SignInAndList();
    SendDatagram(FController->ListenerPort(),
        SignInDatagram(QStringLiteral("1001"), QStringLiteral("nick-a"), QStringLiteral("m1"),
            QStringLiteral("a=1; _tb_token_=abc; b=2")));
    ASSERT_TRUE(WaitMain([&] { return FController->Accounts().Text(0, TCol::colLoginState) == kSignedIn; }));
    const PAlimmTokenData account = AlimmTokenMgr()->get(QStringLiteral("1001"));
    EXPECT_TRUE(account->isLogin());
    EXPECT_EQ(account->cookies(), QStringLiteral("a=1; _tb_token_=abc; b=2"));
    EXPECT_TRUE(WaitForCondition([&] { return FLog->Contains(QStringLiteral("[联盟账号] nick-a 登录成功!")); }));
}

TEST_F(SyncController, FailedSignInDatagramLogsAndChangesNothing)
{
    SetAccounts({{"1001", "nick-a", "tok-a"}});
    SignInAndList();
    bool reported = false;
    QObject::connect(FController.get(), &TSyncController::SignInReported,
        [&reported](const QString& AUserId, bool AOk) { reported = AUserId == QStringLiteral("1001") && !AOk; });
    SendDatagram(FController->ListenerPort(),
        SignInDatagram(QStringLiteral("1001"), QStringLiteral("nick-a"), QStringLiteral(" "), QStringLiteral("a=1")));
    ASSERT_TRUE(WaitMain([&] { return reported; }));
    EXPECT_TRUE(WaitForCondition([&] { return FLog->Contains(QStringLiteral("[联盟账号] 登录失败...")); }));
    EXPECT_TRUE(AlimmTokenMgr()->get(QStringLiteral("1001"))->cookies().isEmpty());
    EXPECT_EQ(FController->Accounts().Text(0, TCol::colLoginState), kNotSignedIn);
}

TEST_F(SyncController, DatagramNamingAProcessWeDidNotStartEndsNothing)
{
    QProcess other;
    other.start(QStringLiteral("sleep"), {QStringLiteral("30")});
    ASSERT_TRUE(other.waitForStarted());
    bool reported = false;
    QObject::connect(
        FController.get(), &TSyncController::SignInReported, [&reported](const QString&, bool) { reported = true; });
    SendDatagram(FController->ListenerPort(),
        SignInDatagram(QStringLiteral("x"), QStringLiteral("x"), QString(), QString(), other.processId()));
    ASSERT_TRUE(WaitMain([&] { return reported; }));
    EXPECT_EQ(other.state(), QProcess::Running);
    EXPECT_EQ(::kill(static_cast<pid_t>(other.processId()), 0), 0);
    other.kill();
    other.waitForFinished();
}

TEST_F(SyncController, OversizedDatagramIsDroppedWhole)
{
    SetAccounts({{"1001", "nick-a", "tok-a"}});
    SignInAndList();
    QByteArray big = SignInDatagram(QStringLiteral("1001"), QStringLiteral("nick-a"), QStringLiteral("m1"),
        QStringLiteral("a=1; _tb_token_=big;") + QString(9000, u'x'));
    ASSERT_GT(big.size(), TSignInListener::MaxDatagram);
    bool reported = false;
    QObject::connect(
        FController.get(), &TSyncController::SignInReported, [&reported](const QString&, bool) { reported = true; });
    SendDatagram(FController->ListenerPort(), big);
    // A small one behind it shows the big one was read and dropped, not merely delayed.
    SendDatagram(FController->ListenerPort(),
        SignInDatagram(QStringLiteral("1001"), QStringLiteral("nick-a"), QString(), QStringLiteral("b=1")));
    ASSERT_TRUE(WaitMain([&] { return reported; }));
    EXPECT_TRUE(AlimmTokenMgr()->get(QStringLiteral("1001"))->cookies().isEmpty());
    EXPECT_FALSE(FLog->Contains(QStringLiteral("[联盟账号] nick-a 登录成功!")));
}

TEST_F(SyncController, ListenerTakesLoopbackOnly)
{
    QHostAddress external;
    for (const QHostAddress& address : QNetworkInterface::allAddresses()) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback())
            external = address;
    }
    if (external.isNull())
        GTEST_SKIP() << "no non-loopback IPv4 address on this machine";
    // The port is free on the outside address: nothing of ours listens there.
    QUdpSocket probe;
    probe.setProxy(QNetworkProxy::NoProxy);
    EXPECT_TRUE(probe.bind(external, FController->ListenerPort()));
    probe.close();
    int reports = 0;
    QObject::connect(
        FController.get(), &TSyncController::SignInReported, [&reports](const QString&, bool) { ++reports; });
    SendDatagram(FController->ListenerPort(),
        SignInDatagram(QStringLiteral("x"), QStringLiteral("x"), QString(), QString()), external);
    SendDatagram(
        FController->ListenerPort(), SignInDatagram(QStringLiteral("y"), QStringLiteral("y"), QString(), QString()));
    ASSERT_TRUE(WaitMain([&] { return reports >= 1; }));
    EXPECT_EQ(reports, 1);
}

TEST_F(SyncController, KeepAliveRotatesPastTheDroppedAccount)
{
    SetAccounts({{"1", "first", "t"}, {"2", "second", "t"}, {"3", "third", "t"}});
    SignInAndList();
    {
        const std::scoped_lock lock(FMutex);
        FLiveCookies = {{"k=1", "first"}, {"k=3", "third"}};
    }
    for (const char* id : {"1", "2", "3"})
        AlimmTokenMgr()->updateCookies(QString::fromLatin1(id), QStringLiteral("k=") + QString::fromLatin1(id));

    RunJob([this](TQJob* AJob) { FController->KeepAlive().KeepSessionsOnline(AJob); });
    std::vector<std::string> probed;
    for (const TRecordedRequest& request : FPublisher.Requests())
        probed.push_back(request.Header("Cookie"));
    EXPECT_EQ(probed, (std::vector<std::string> {"k=1", "k=2"}));
    EXPECT_FALSE(AlimmTokenMgr()->get(QStringLiteral("2"))->isLogin());
    EXPECT_FALSE(AlimmTokenMgr()->get(QStringLiteral("2"))->cookies().isEmpty());
    ASSERT_TRUE(
        WaitMain([&] { return FController->Accounts().Text(1, TCol::colLoginState) == QStringLiteral("已掉线"); }));
    EXPECT_TRUE(WaitForCondition([&] { return FLog->Contains(QStringLiteral("联盟账号 first 在线!")); }));
    EXPECT_TRUE(
        WaitForCondition([&] { return FLog->Contains(QStringLiteral("联盟账号 second 已掉线,请重新登录...")); }));

    RunJob([this](TQJob* AJob) { FController->KeepAlive().KeepSessionsOnline(AJob); });
    ASSERT_GE(FPublisher.RequestCount(), 3u);
    EXPECT_EQ(FPublisher.Requests()[2].Header("Cookie"), "k=3");
}

TEST_F(SyncController, ManualRefundRunLogsAccountsWithoutSession)
{
    SetAccounts({{"1", "nosession", "t"}, {"2", "withsession", "t"}});
    SignInAndList();
    AlimmTokenMgr()->updateCookies(QStringLiteral("2"), QStringLiteral("a=1; _tb_token_=tk; b=2"));
    RunJob([this](TQJob* AJob) { FController->Passes().SyncRefundOrdersNow(AJob); });
    const std::vector<QString> lines = FLog->Lines();
    EXPECT_TRUE(WaitForCondition([&] { return FLog->Contains(QStringLiteral("维权订单同步完成")); }));
    EXPECT_TRUE(FLog->Contains(QStringLiteral("开始同步维权订单")));
    EXPECT_TRUE(FLog->Contains(QStringLiteral("同步维权订单-联盟账号:nosession 未登录，请先登录")));
    EXPECT_TRUE(FLog->Contains(QStringLiteral("同步维权订单-联盟账号:withsession;90天内共有 1 条维权订单未同步!")));
    EXPECT_EQ(FRefundBatches.load(), 1);
    EXPECT_EQ(FController->Accounts().Text(0, TCol::colRunState), kWaiting);
    EXPECT_TRUE(WaitMain([&] { return FController->ManualRefundEnabled(); }));
}

TEST_F(SyncController, StopDuringARefundPostFinishesAfterItWithoutBlockingTheMainThread)
{
    SetAccounts({{"1", "a", "t"}});
    SignInAndList();
    AlimmTokenMgr()->updateCookies(QStringLiteral("1"), QStringLiteral("a=1; _tb_token_=tk; b=2"));
    std::atomic<bool> posting {false};
    std::atomic<bool> release {false};
    {
        const std::scoped_lock lock(FMutex);
        FBeforeRefundPost = [&] {
            posting = true;
            WaitForCondition([&] { return release.load(); });
        };
    }
    FController->StartStopClick();
    ASSERT_TRUE(WaitMain([&] { return posting.load(); }));
    FController->StartStopClick();
    EXPECT_TRUE(FController->Stopping());
    // The main thread keeps running events while the post holds the operator client.
    bool timerFired = false;
    QTimer::singleShot(1, [&timerFired] { timerFired = true; });
    ASSERT_TRUE(WaitMain([&] { return timerFired; }));
    // A sign-in may be asked meanwhile and is not stuck behind the stop.
    std::optional<bool> signedIn;
    ASSERT_TRUE(FController->SignIn(
        QStringLiteral("p"), QStringLiteral("x"), [&](bool AOk, const QString&) { signedIn = AOk; }));
    release = true;
    ASSERT_TRUE(WaitMain([&] { return !FController->Stopping() && signedIn.has_value(); }));
    EXPECT_EQ(FController->StartTag(), 1);
    EXPECT_TRUE(*signedIn);
    EXPECT_EQ(FRefundBatches.load(), 1);
}

TEST_F(SyncController, StopWhileASignInRequestIsInFlightDoesNotWaitForIt)
{
    SetAccounts({{"1", "a", "t"}});
    SignInAndList();
    FController->StartStopClick();
    std::atomic<bool> release {false};
    {
        const std::scoped_lock lock(FMutex);
        FBeforeAccountList = [&release] { WaitForCondition([&] { return release.load(); }); };
    }
    ASSERT_TRUE(FController->RefreshAuthorizedAccounts());
    FController->StartStopClick();
    ASSERT_TRUE(WaitMain([&] { return !FController->Stopping(); }));
    EXPECT_TRUE(FController->OperatorRequestRunning());
    release = true;
    ASSERT_TRUE(WaitMain([&] { return !FController->OperatorRequestRunning(); }));
}

TEST_F(SyncController, ShutdownDuringAPassEndsPromptlyAndCleanly)
{
    SetAccounts({{"1", "a", "t1"}, {"2", "b", "t2"}, {"3", "c", "t3"}});
    SignInAndList();
    FController->StartStopClick();
    ASSERT_TRUE(FGateway.WaitForRequests(3));
    Shutdown();
    const size_t after = FGateway.RequestCount();
    EXPECT_LT(after, 3u * 120u); // the pass did not run to its end
}

} // namespace

namespace {

// With the TOP method as refund source an account needs no web session: the manual run reads every account.
TEST_F(SyncController, ManualRefundRunWithTheApiReadsAccountsWithoutSession)
{
    SetAccounts({{"1", "nosession", "t1"}, {"2", "withsession", "t2"}});
    SignInAndList();
    AlimmTokenMgr()->updateCookies(QStringLiteral("2"), QStringLiteral("a=1; _tb_token_=tk; b=2"));
    TIniFile ini(FFolder.filePath(QStringLiteral("conf.ini")));
    ini.Load();
    ini.WriteString(u"setting", u"refundSource", QStringLiteral("api"));
    ASSERT_EQ(Common()->refundSource(), TRefundSource::Api) << Common()->iniPath.toStdString();
    RunJob([this](TQJob* AJob) { FController->Passes().SyncRefundOrdersNow(AJob); });
    EXPECT_TRUE(WaitForCondition([&] { return FLog->Contains(QStringLiteral("维权订单同步完成")); }));
    EXPECT_FALSE(FLog->Contains(QStringLiteral("同步维权订单-联盟账号:nosession 未登录，请先登录")));
    EXPECT_TRUE(FLog->Contains(QStringLiteral("同步维权订单-联盟账号:nosession;90天内共有 1 条维权订单未同步!")));
    EXPECT_TRUE(FLog->Contains(QStringLiteral("同步维权订单-联盟账号:withsession;90天内共有 1 条维权订单未同步!")));
    EXPECT_EQ(FRefundBatches.load(), 2);
    for (const TRecordedRequest& request : FPublisher.Requests())
        EXPECT_EQ(request.target.find("report.getTbkRefundOrderDetails"), std::string::npos) << request.target;
}

} // namespace
