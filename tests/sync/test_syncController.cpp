#include "sync/signin/signInBrowser.h"
#include "sync/syncController.h"
#include "sync/throttledLog.h"

#include "sessions/alimmTokenMgr.h"
#include "store/inifile.h"
#include "store/ucommon.h"
#include "syncfixture.h"
#include "testwait.h"

#include <QFile>
#include <QFileInfo>
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

// "PID" as the process id is the sign-in browser's own, and "SECRET" the one-time secret it was started with, both
// filled in by the browser of WriteBrowser.
QByteArray SignInDatagram(const QString& AUserId, const QString& ANick, const QString& AMemberId,
    const QString& ACookies, const QString& AProcessId = QStringLiteral("PID"))
{
    return QStringLiteral(R"({"cmd":1000,"userId":"%1","nickname":"%2","memberid":"%3","cookies":"%4","processId":%5,)"
                          R"("secret":"SECRET"})")
        .arg(AUserId, ANick, AMemberId, ACookies, AProcessId)
        .toUtf8();
}

// A sign-in browser for the tests, started by the controller like the real one ("2", account, port, in the data
// folder): it records its environment and process id, sends the datagram prepared for its account (its own process
// id in place of "PID", its secret in place of "SECRET") from a socket of its own, and waits to be ended.
void WriteBrowser(const QString& AFolder)
{
    QFile script(AFolder + QStringLiteral("/browser.exe"));
    ASSERT_TRUE(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/bash\n"
                 "env > \"env-$2\"\n"
                 "echo $$ > \"pid-$2.tmp\" && mv \"pid-$2.tmp\" \"pid-$2\"\n"
                 "if [ -f \"datagram-$2\" ]; then\n"
                 "  data=$(cat \"datagram-$2\")\n"
                 "  data=${data//PID/$$}\n"
                 "  printf '%s' \"${data//SECRET/$QUENLAR_SIGNIN_SECRET}\" > /dev/udp/127.0.0.1/$3\n"
                 "fi\n"
                 "exec sleep 120\n");
    script.close();
    script.setPermissions(script.permissions() | QFileDevice::ExeOwner);
}

void PrepareDatagram(const QString& AFolder, const QString& AUserId, const QByteArray& ADatagram)
{
    QFile file(AFolder + QStringLiteral("/datagram-") + AUserId);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(ADatagram);
}

// The process id the test browser of that account wrote; 0 until it did.
qint64 BrowserPid(const QString& AFolder, const QString& AUserId)
{
    QFile file(AFolder + QStringLiteral("/pid-") + AUserId);
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toLongLong() : 0;
}

// Ended: no such process, or one that only waits to be reaped.
bool ProcessGone(qint64 APid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(APid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray text = stat.readAll();
    const qsizetype close = text.lastIndexOf(')');
    return close >= 0 && text.mid(close + 2, 1) == "Z";
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
    WriteBrowser(FFolder.path());
    PrepareDatagram(FFolder.path(), QStringLiteral("1001"),
        SignInDatagram(QStringLiteral("1001"), QStringLiteral("nick-a"), QStringLiteral("m1"), QStringLiteral("c=1")));
    ASSERT_TRUE(FController->StartSignInBrowser(QStringLiteral("1001")));
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

// One unreadable item costs only itself: unreadable times are kept as unknown, an item without a user id is left
// out, each named in a line; the rest of the list goes on. An account the operator takes out of the list is not
// synchronised any more.
TEST_F(SyncController, AnUnreadableListItemCostsOnlyItselfAndAnUnlistedAccountIsNoLongerSynchronised)
{
    {
        const std::scoped_lock lock(FMutex);
        FAccountListReply
            = R"({"code":200,"msg":"ok","time":1,"data":[)"
              R"({"userId":"1001","userName":"nick-a","authTime":"abc","exptime":"abc","accessToken":"tok-a"},)"
              R"({"userName":"nameless","accessToken":"tok-x"},)"
              R"({"userId":"1003","userName":"nick-c","authTime":1600000000,"exptime":1900000000,)"
              R"("accessToken":"tok-c"}]})";
    }
    SignInAndList();
    const TAccountListModel& accounts = FController->Accounts();
    ASSERT_EQ(accounts.Count(), 2);
    EXPECT_EQ(accounts.Text(0, TCol::colUserId), QStringLiteral("1001"));
    EXPECT_EQ(accounts.Text(1, TCol::colUserId), QStringLiteral("1003"));
    EXPECT_EQ(AlimmTokenMgr()->get(QStringLiteral("1001"))->expTime(), 0);
    EXPECT_TRUE(WaitMain([&] {
        return FLog->Count({QStringLiteral("nick-a"), QStringLiteral("1001"), QStringLiteral("时间无法读取")}) == 1
            && FLog->Count({QStringLiteral("联盟账号列表第 2 项没有 userId")}) == 1;
    })) << FLog->Lines().join(u'\n').toStdString();

    {
        const std::scoped_lock lock(FMutex);
        FAccountListReply.clear();
    }
    SetAccounts({{"1003", "nick-c", "tok-c"}});
    bool refreshed = false;
    QObject::connect(FController.get(), &TSyncController::AccountsRefreshed, [&refreshed](bool) { refreshed = true; });
    FController->RefreshClick();
    ASSERT_TRUE(WaitMain([&] { return refreshed; }));
    EXPECT_FALSE(AlimmTokenMgr()->get(QStringLiteral("1001"))->listed());
    EXPECT_TRUE(AlimmTokenMgr()->get(QStringLiteral("1003"))->listed());
    FController->StartStopClick();
    ASSERT_TRUE(WaitMain([&] { return FGateway.RequestCount() > 0; }));
    FController->StartStopClick();
    ASSERT_TRUE(WaitMain([&] { return FController->StartTag() == 1; }));
    for (const TRecordedRequest& request : FGateway.Requests())
        EXPECT_NE(FieldValue(request.FormFields(), "session"), "tok-a");
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

TEST_F(SyncController, AnUnusableCacheIsShownOnceAndThePassesSendNothingUntilItIsBack)
{
    const QString cache = FFolder.filePath(QStringLiteral("db.db"));
    ASSERT_TRUE(QFile::rename(cache, cache + QStringLiteral(".away")));
    SetAccounts({{"1001", "nick-a", "tok-a"}});
    SignInAndList();
    for (int pass = 0; pass < 2; ++pass)
        RunJob([this](TQJob* AJob) { FController->Passes().SyncInvalidOrdersJob(AJob); });
    EXPECT_EQ(FIntakeBatches.load(), 0);
    ASSERT_TRUE(WaitMain([this] { return !FFrontEnd.FMessages.empty(); }));
    QCoreApplication::processEvents();
    ASSERT_EQ(FFrontEnd.FMessages.size(), 1u);
    EXPECT_TRUE(FFrontEnd.FMessages.front().text.contains(QStringLiteral("quenlar-initdb")));
    EXPECT_EQ(FFrontEnd.FMessages.front().icon, TSyncFrontEnd::TIcon::Error);

    ASSERT_TRUE(QFile::rename(cache + QStringLiteral(".away"), cache));
    RunJob([this](TQJob* AJob) { FController->Passes().SyncInvalidOrdersJob(AJob); });
    EXPECT_EQ(FIntakeBatches.load(), 1);
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
        TStatusCase {2, TCol::colLoginState, u"已登录"}, TStatusCase {3, TCol::colLoginState, u"已掉线"},
        TStatusCase {4, TCol::colRunState, u"已停止"}, TStatusCase {5, TCol::colRunState, u"同步失败"}));

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
    WriteBrowser(FFolder.path());
    PrepareDatagram(FFolder.path(), QStringLiteral("1001"),
        SignInDatagram(QStringLiteral("1001"), QStringLiteral("nick-a"), QStringLiteral("m1"),
            QStringLiteral("a=1; _tb_token_=abc; b=2")));
    ASSERT_TRUE(FController->StartSignInBrowser(QStringLiteral("1001")));
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
    WriteBrowser(FFolder.path());
    PrepareDatagram(FFolder.path(), QStringLiteral("1001"),
        SignInDatagram(QStringLiteral("1001"), QStringLiteral("nick-a"), QStringLiteral(" "), QStringLiteral("a=1")));
    ASSERT_TRUE(FController->StartSignInBrowser(QStringLiteral("1001")));
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
    SetAccounts({{"1001", "nick-a", "tok-a"}});
    SignInAndList();
    SendDatagram(FController->ListenerPort(),
        SignInDatagram(
            QStringLiteral("1001"), QStringLiteral("x"), QString(), QString(), QString::number(other.processId())));
    ASSERT_TRUE(
        WaitMain([&] { return FLog->Contains(QStringLiteral("[联盟账号] 忽略未经本程序发起的登录消息:1001")); }));
    EXPECT_EQ(other.state(), QProcess::Running);
    EXPECT_EQ(::kill(static_cast<pid_t>(other.processId()), 0), 0);
    other.kill();
    other.waitForFinished();
}

// Only the browser this program started for a pending sign-in may hand over that account's session, and only in
// the datagram's exact shape; anything else is ignored with one log line.
struct TForeignDatagramCase {
    const char* name;
    const char* browserFor; // the account whose sign-in is started; empty: none
    const char* datagram; // "PID": the started browser's process id
    bool fromTheTest; // sent by this test's process, not by the browser
    const char16_t* logged;
    bool closesItsSocket = false; // the test's socket is closed right after sending, as a forger's would be
};

class ForeignDatagram : public SyncFixture, public ::testing::WithParamInterface<TForeignDatagramCase> { };

TEST_P(ForeignDatagram, IsIgnoredWithOneLogLine)
{
    const TForeignDatagramCase& c = GetParam();
    SetAccounts({{"1001", "nick-a", "tok-a"}});
    SignInAndList();
    WriteBrowser(FFolder.path());
    const QString account = QString::fromLatin1(c.browserFor);
    if (!c.fromTheTest && !account.isEmpty())
        PrepareDatagram(FFolder.path(), account, QByteArray(c.datagram));
    if (!account.isEmpty()) {
        ASSERT_TRUE(FController->StartSignInBrowser(account));
    }
    QUdpSocket socket; // held open until the datagram was judged
    socket.setProxy(QNetworkProxy::NoProxy);
    if (c.fromTheTest) {
        qint64 pid = 0;
        if (!account.isEmpty()) {
            ASSERT_TRUE(WaitForCondition([&] { return (pid = BrowserPid(FFolder.path(), account)) != 0; }));
        }
        const QByteArray datagram = QByteArray(c.datagram).replace("PID", QByteArray::number(pid));
        ASSERT_EQ(
            socket.writeDatagram(datagram, QHostAddress::LocalHost, FController->ListenerPort()), datagram.size());
        if (c.closesItsSocket)
            socket.close();
    }
    ASSERT_TRUE(WaitMain([&] { return FLog->Contains(QString::fromUtf16(c.logged)); }));
    EXPECT_TRUE(AlimmTokenMgr()->get(QStringLiteral("1001"))->cookies().isEmpty());
    EXPECT_FALSE(FLog->Contains(QStringLiteral("登录成功")));
    EXPECT_EQ(FController->Accounts().Text(0, TCol::colLoginState), kNotSignedIn);
}

constexpr char kGood[] = R"({"cmd":1000,"userId":"1001","nickname":"nick-a","memberid":"m1","cookies":"a=1",)"
                         R"("processId":PID,"secret":"SECRET"})";

INSTANTIATE_TEST_SUITE_P(SignIn, ForeignDatagram,
    ::testing::Values(
        TForeignDatagramCase {"NoSignInPending", "", kGood, true, u"[联盟账号] 忽略未经本程序发起的登录消息:1001"},
        TForeignDatagramCase {
            "AnotherProcessNamingTheBrowser", "1001", kGood, true, u"[联盟账号] 忽略未经本程序发起的登录消息:1001"},
        // Another local user reads the browser's process id and the port from its command line, sends and closes
        // its socket at once, so no socket is left to check: only the secret tells it from the browser.
        TForeignDatagramCase {"AForgerThatClosesItsSocketAtOnce", "1001", kGood, true,
            u"[联盟账号] 忽略未经本程序发起的登录消息:1001", true},
        TForeignDatagramCase {"TheBrowserWithoutTheSecret", "1001",
            R"({"cmd":1000,"userId":"1001","nickname":"n","memberid":"m1","cookies":"a=1","processId":PID})", false,
            u"[联盟账号] 忽略未经本程序发起的登录消息:1001"},
        TForeignDatagramCase {"TheBrowserWithAWrongSecret", "1001",
            R"({"cmd":1000,"userId":"1001","nickname":"n","memberid":"m1","cookies":"a=1","processId":PID,)"
            R"("secret":"00000000000000000000000000000000000000000000000000000000000000ff"})",
            false, u"[联盟账号] 忽略未经本程序发起的登录消息:1001"},
        TForeignDatagramCase {"SecretAsNumber", "1001",
            R"({"cmd":1000,"userId":"1001","nickname":"n","memberid":"m1","cookies":"a=1","processId":PID,"secret":1})",
            false, u"[联盟账号] 忽略格式不符的登录消息"},
        TForeignDatagramCase {"CmdAsText", "1001",
            R"({"cmd":"1000","userId":"1001","nickname":"n","memberid":"m1","cookies":"a=1","processId":PID})", false,
            u"[联盟账号] 忽略格式不符的登录消息"},
        TForeignDatagramCase {"MemberIdAsArray", "1001",
            R"({"cmd":1000,"userId":"1001","nickname":"n","memberid":[1],"cookies":"a=1","processId":PID})", false,
            u"[联盟账号] 忽略格式不符的登录消息"},
        TForeignDatagramCase {"AccountNotInTheList", "1002",
            R"({"cmd":1000,"userId":"1002","nickname":"n","memberid":"m1","cookies":"a=1","processId":PID})", false,
            u"[联盟账号] 忽略不在账号列表中的登录消息:1002"}),
    [](const auto& AInfo) { return std::string(AInfo.param.name); });

// The bytes the kernel still holds for the IPv4 socket bound to APort on loopback; -1 when there is none.
qint64 QueuedFor(quint16 APort)
{
    QFile table(QStringLiteral("/proc/net/udp"));
    if (!table.open(QIODevice::ReadOnly))
        return -1;
    table.readLine(); // the header
    while (!table.atEnd()) {
        const QList<QByteArray> fields = table.readLine().simplified().split(' ');
        if (fields.size() > 4 && fields[1].split(':').value(1).toUInt(nullptr, 16) == APort)
            return fields[4].split(':').value(1).toLongLong(nullptr, 16);
    }
    return -1;
}

// Anyone on the machine may send datagrams: a flood of them writes one line a minute, never a log full of them.
TEST_F(SyncController, AFloodOfForeignDatagramsWritesOneLineAndTheBrowsersReportStillCounts)
{
    SetAccounts({{"1001", "nick-a", "tok-a"}});
    SignInAndList();
    WriteBrowser(FFolder.path());
    QUdpSocket socket;
    socket.setProxy(QNetworkProxy::NoProxy);
    const QByteArray forged
        = R"({"cmd":1000,"userId":"1001","nickname":"x","memberid":"m","cookies":"c","processId":1})";
    for (int i = 0; i < 300; ++i) {
        const QByteArray datagram = i % 2 == 0 ? forged : QByteArray("not json");
        ASSERT_EQ(
            socket.writeDatagram(datagram, QHostAddress::LocalHost, FController->ListenerPort()), datagram.size());
    }
    // The flood is judged before the browser reports: a flood the kernel still holds when the report comes would
    // have it dropped, which a slow machine shows and which says nothing of the program.
    ASSERT_TRUE(WaitMain([&] { return QueuedFor(FController->ListenerPort()) == 0; }));
    PrepareDatagram(FFolder.path(), QStringLiteral("1001"),
        SignInDatagram(QStringLiteral("1001"), QStringLiteral("nick-a"), QStringLiteral("m1"), QStringLiteral("c=1")));
    ASSERT_TRUE(FController->StartSignInBrowser(QStringLiteral("1001")));
    ASSERT_TRUE(WaitMain([&] { return FLog->Contains(QStringLiteral("[联盟账号] nick-a 登录成功!")); }));
    EXPECT_EQ(FLog->Count({QStringLiteral("忽略")}), 1) << FLog->Lines().join(u'\n').toStdString();
}

TEST_F(SyncController, ThrottledLinesAreCountedAndSaidWhenTheWindowEnds)
{
    TThrottledLog log(QStringLiteral("另有 %1 条"), std::chrono::milliseconds(50));
    for (int i = 0; i < 5; ++i)
        log.Line(QStringLiteral("外来 ") + QString::number(i));
    EXPECT_EQ(log.Suppressed(), 4);
    ASSERT_TRUE(WaitMain([&] { return FLog->Contains(QStringLiteral("另有 4 条")); }));
    EXPECT_EQ(FLog->Count({QStringLiteral("外来")}), 1);
    EXPECT_EQ(log.Suppressed(), 0);
}

TEST_F(SyncController, SignInBrowserGetsNoClientPassword)
{
    qputenv("QUENLAR_PASSWORD", "secret-pw");
    qputenv("QUENLAR_TEST_MARK", "kept");
    WriteBrowser(FFolder.path());
    ASSERT_TRUE(FController->StartSignInBrowser(QStringLiteral("1001")));
    qunsetenv("QUENLAR_PASSWORD");
    ASSERT_TRUE(WaitForCondition([&] { return BrowserPid(FFolder.path(), QStringLiteral("1001")) != 0; }));
    QFile env(FFolder.filePath(QStringLiteral("env-1001")));
    ASSERT_TRUE(env.open(QIODevice::ReadOnly));
    const QByteArray text = env.readAll();
    EXPECT_TRUE(text.contains("QUENLAR_TEST_MARK=kept"));
    EXPECT_FALSE(text.contains("QUENLAR_PASSWORD"));
    EXPECT_FALSE(text.contains("secret-pw"));
    const QString home = FFolder.filePath(QStringLiteral("browser-profile/home"));
    EXPECT_TRUE(text.split('\n').contains("HOME=" + home.toUtf8())) << text.toStdString();
    EXPECT_EQ(QFileInfo(home).permissions() & (QFileDevice::ReadOther | QFileDevice::ReadGroup), 0);
    // Its sign-in's one-time secret comes through its environment, never its command line.
    const qsizetype at = text.indexOf("QUENLAR_SIGNIN_SECRET=");
    ASSERT_GE(at, 0);
    const QByteArray secret = text.mid(at + 22, text.indexOf('\n', at) - at - 22);
    EXPECT_EQ(secret.size(), 64);
    QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(BrowserPid(FFolder.path(), QStringLiteral("1001"))));
    ASSERT_TRUE(cmdline.open(QIODevice::ReadOnly));
    EXPECT_FALSE(cmdline.readAll().contains(secret));
}

// What the web engine writes of its own stays in the data folder; what the desktop set is still found.
TEST(SignInBrowserEnvironment, WritesLeadIntoTheProfileFolderAndSettingsAreStillRead)
{
    const QString own = QStringLiteral("/data/browser-profile/home");
    const struct {
        const char* name;
        QStringList base; // NAME=value
        QStringList expected;
    } cases[] = {
        {"a desktop that names nothing", {QStringLiteral("HOME=/home/op")},
            {QStringLiteral("HOME=") + own, QStringLiteral("XDG_DATA_HOME=") + own + QStringLiteral("/.local/share"),
                QStringLiteral("XDG_CACHE_HOME=") + own + QStringLiteral("/.cache"),
                QStringLiteral("XDG_CONFIG_HOME=/home/op/.config"), QStringLiteral("XAUTHORITY=/home/op/.Xauthority")}},
        {"a desktop that names its own",
            {QStringLiteral("HOME=/home/op"), QStringLiteral("XDG_CONFIG_HOME=/cfg"),
                QStringLiteral("XAUTHORITY=/run/user/1000/xauth"), QStringLiteral("XDG_DATA_HOME=/home/op/d"),
                QStringLiteral("XDG_RUNTIME_DIR=/run/user/1000")},
            {QStringLiteral("HOME=") + own, QStringLiteral("XDG_DATA_HOME=") + own + QStringLiteral("/.local/share"),
                QStringLiteral("XDG_CONFIG_HOME=/cfg"), QStringLiteral("XAUTHORITY=/run/user/1000/xauth"),
                QStringLiteral("XDG_RUNTIME_DIR=/run/user/1000")}},
        {"a service without a home", {}, {QStringLiteral("HOME=") + own}},
    };
    for (const auto& c : cases) {
        QProcessEnvironment base;
        for (const QString& item : c.base)
            base.insert(item.section(u'=', 0, 0), item.section(u'=', 1));
        const QStringList result
            = TBrowserProcesses::BrowserEnvironment(base, QStringLiteral("s"), QStringLiteral("/data")).toStringList();
        for (const QString& item : c.expected)
            EXPECT_TRUE(result.contains(item)) << c.name << ": " << item.toStdString();
    }
}

// A browser that never reports is ended when its sign-in times out, and every browser still open at the end.
TEST_F(SyncController, SilentSignInBrowsersAreEndedAtTheirTimeOutAndAtTheEnd)
{
    WriteBrowser(FFolder.path());
    ASSERT_TRUE(FController->StartSignInBrowser(QStringLiteral("1001"), std::chrono::milliseconds(300)));
    ASSERT_TRUE(FController->StartSignInBrowser(QStringLiteral("1002"), std::chrono::minutes(10)));
    qint64 timedOut = 0;
    qint64 open = 0;
    ASSERT_TRUE(WaitForCondition([&] {
        timedOut = BrowserPid(FFolder.path(), QStringLiteral("1001"));
        open = BrowserPid(FFolder.path(), QStringLiteral("1002"));
        return timedOut != 0 && open != 0;
    }));
    ASSERT_TRUE(WaitMain([&] { return ProcessGone(timedOut); }));
    EXPECT_TRUE(
        WaitMain([&] { return FLog->Contains(QStringLiteral("[联盟账号] 联盟登录超时未回报,已结束登录程序:1001")); }));
    EXPECT_FALSE(ProcessGone(open));
    Shutdown();
    EXPECT_TRUE(WaitForCondition([&] { return ProcessGone(open); }));
}

TEST_F(SyncController, OversizedDatagramIsDroppedWhole)
{
    SetAccounts({{"1001", "nick-a", "tok-a"}});
    SignInAndList();
    QByteArray big = SignInDatagram(QStringLiteral("1001"), QStringLiteral("nick-a"), QStringLiteral("m1"),
        QStringLiteral("a=1; _tb_token_=big;") + QString(9000, u'x'));
    ASSERT_GT(big.size(), TSignInListener::MaxDatagram);
    SendDatagram(FController->ListenerPort(), big);
    // A small one behind it shows the big one was read and dropped, not merely delayed.
    SendDatagram(FController->ListenerPort(),
        SignInDatagram(
            QStringLiteral("1002"), QStringLiteral("nick-a"), QString(), QStringLiteral("b=1"), QStringLiteral("0")));
    ASSERT_TRUE(
        WaitMain([&] { return FLog->Contains(QStringLiteral("[联盟账号] 忽略不在账号列表中的登录消息:1002")); }));
    EXPECT_FALSE(FLog->Contains(QStringLiteral("[联盟账号] 忽略未经本程序发起的登录消息:1001")));
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
    SendDatagram(FController->ListenerPort(),
        SignInDatagram(QStringLiteral("x"), QStringLiteral("x"), QString(), QString(), QStringLiteral("0")), external);
    SendDatagram(FController->ListenerPort(),
        SignInDatagram(QStringLiteral("y"), QStringLiteral("y"), QString(), QString(), QStringLiteral("0")));
    // Each datagram that arrives is logged; the outside one never arrived.
    ASSERT_TRUE(WaitMain([&] { return FLog->Contains(QStringLiteral("[联盟账号] 忽略不在账号列表中的登录消息:y")); }));
    EXPECT_FALSE(FLog->Contains(QStringLiteral("[联盟账号] 忽略不在账号列表中的登录消息:x")));
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

namespace {

// Stop reaches the first passes a start posts, not only the repeating ones: pressed while the first pass's page is
// held at the gateway, it ends that pass, and the switch turns back only once it has ended.
TEST_F(SyncController, StopDuringTheFirstPassEndsItAndTurnsTheSwitchBackOnlyThen)
{
    SetAccounts({{"1", "a", "t1"}, {"2", "b", "t2"}, {"3", "c", "t3"}});
    SignInAndList();
    std::atomic<bool> release {false};
    {
        const std::scoped_lock lock(FMutex);
        FBeforeGatewayPage = [&release] { WaitForCondition([&] { return release.load(); }); };
    }
    FController->StartStopClick();
    ASSERT_TRUE(FGateway.WaitForRequests(1));
    FController->StartStopClick();
    EXPECT_TRUE(FController->Stopping());
    ASSERT_TRUE(WaitMain([&] { return !FController->Stopping(); }));
    // Ended by the time the switch turned back: its outcome is recorded, and it asks nothing more.
    const TProcessHealth process = FController->Health().Process();
    const auto& invalid = process.lastPassOutcome[static_cast<int>(TPassKind::Invalid)];
    ASSERT_TRUE(invalid.has_value());
    EXPECT_EQ(*invalid, TPassEnd::Stopped);
    EXPECT_EQ(FController->StartTag(), 1);
    EXPECT_EQ(FController->StartCaption(), QStringLiteral("开始同步订单(失效/维权/已收货)"));
    const size_t asked = FGateway.RequestCount();
    release = true;
    ASSERT_TRUE(
        WaitMain([&] { return FController->Accounts().Text(0, TCol::colRunState) == QStringLiteral("已停止"); }));
    EXPECT_EQ(FController->Accounts().Text(1, TCol::colRunState), kWaiting);
    EXPECT_EQ(FGateway.RequestCount(), asked);
    EXPECT_TRUE(WaitForCondition([&] {
        return FLog->Count({QStringLiteral("失效订单同步结束"), QStringLiteral("已停止")}) == 1;
    })) << FLog->Lines().join(u'\n').toStdString();
    {
        const std::scoped_lock lock(FMutex);
        FBeforeGatewayPage = nullptr;
    }
}

// A failed account's row says so, its failure is one error line naming it, and the window's log gets the same pass
// summary as the headless mode.
TEST_F(SyncController, AFailedAccountShowsSyncFailedAndThePassWritesItsSummary)
{
    SetAccounts({{"1001", "nick-a", "tok-a"}, {"1002", "nick-b", "tok-b"}});
    {
        const std::scoped_lock lock(FMutex);
        FRefusedSessions = {"tok-b"};
    }
    SignInAndList();
    RunJob([this](TQJob* AJob) { FController->Passes().SyncInvalidOrdersJob(AJob); });
    ASSERT_TRUE(WaitMain([&] {
        return FController->Accounts().Text(1, TCol::colRunState) == QStringLiteral("同步失败")
            && FController->Accounts().Text(0, TCol::colRunState) == QStringLiteral("同步完成");
    }));
    EXPECT_TRUE(WaitForCondition([&] {
        return FLog->Count({QStringLiteral("联盟账号 nick-b (1002): 失效订单同步失败: 淘宝开放平台授权已失效")}) == 1
            && FLog->Count({QStringLiteral("失效订单同步结束: 账号 2 个, 提交 1 条, 失败账号 1 个: nick-b(")}) == 1;
    })) << FLog->Lines().join(u'\n').toStdString();
    const std::vector<THealthEvent> events = FController->Health().Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].userId, QStringLiteral("1002"));
    EXPECT_EQ(events[0].source, QStringLiteral("top"));
    EXPECT_EQ(events[0].advice, QStringLiteral("在运营商后台重新授权该联盟账号"));
}

// A manual refund run that failed for an account names it instead of saying it completed; an account it skips is
// recorded as skipped, not as a complete pass.
TEST_F(SyncController, AManualRefundRunNamesItsFailedAccountsAndRecordsSkippedOnes)
{
    SetAccounts({{"1", "nosession", "t1"}, {"2", "refused", "t2"}});
    {
        const std::scoped_lock lock(FMutex);
        FRefusedSessions = {"t2"};
    }
    SignInAndList();
    RunJob([this](TQJob* AJob) { FController->Passes().SyncRefundOrdersNow(AJob); });
    const TAccountHealthRecord skipped = FController->Health().Account(QStringLiteral("1"));
    EXPECT_EQ(skipped.last[static_cast<int>(TPassKind::Refund)].state, TAccountPassOutcome::TState::Skipped);
    // Without a web session the report has nothing to read for either; with the API the refused one fails.
    TIniFile ini(FFolder.filePath(QStringLiteral("conf.ini")));
    ini.Load();
    ini.WriteString(u"setting", u"refundSource", QStringLiteral("api"));
    RunJob([this](TQJob* AJob) { FController->Passes().SyncRefundOrdersNow(AJob); });
    EXPECT_TRUE(WaitForCondition([&] {
        return FLog->Count({QStringLiteral("维权订单同步未完成,失败账号: refused(淘宝开放平台授权已失效")}) == 1;
    })) << FLog->Lines().join(u'\n').toStdString();
    EXPECT_EQ(FLog->Count({QStringLiteral("维权订单同步完成")}), 1); // the first run's only
    EXPECT_EQ(FController->Health().Account(QStringLiteral("2")).last[static_cast<int>(TPassKind::Refund)].state,
        TAccountPassOutcome::TState::Failed);
}

// The health outlives the controller: a new one on the same data folder counts failures in a row on from it.
TEST_F(SyncController, HealthIsKeptInTheDataFolderAcrossControllers)
{
    SetAccounts({{"1001", "nick-a", "tok-a"}});
    {
        const std::scoped_lock lock(FMutex);
        FRefusedSessions = {"tok-a"};
    }
    SignInAndList();
    RunJob([this](TQJob* AJob) { FController->Passes().SyncInvalidOrdersJob(AJob); });
    EXPECT_EQ(FController->Health().Account(QStringLiteral("1001")).failedInARow[0], 1);
    FController.reset(); // writes what it kept
    QFile stored(FFolder.filePath(TSyncController::HealthFileName()));
    ASSERT_TRUE(stored.exists());
    EXPECT_EQ(stored.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther), QFileDevice::Permissions());

    FController = std::make_unique<TSyncController>(FFrontEnd, TSyncPaths {FFolder.path(), FFolder.path()});
    FController->Open();
    EXPECT_EQ(FController->Health().Account(QStringLiteral("1001")).failedInARow[0], 1);
    SignInAndList();
    RunJob([this](TQJob* AJob) { FController->Passes().SyncInvalidOrdersJob(AJob); });
    const TAccountHealthRecord record = FController->Health().Account(QStringLiteral("1001"));
    EXPECT_EQ(record.failedInARow[0], 2);
    EXPECT_TRUE(record.unhealthy.contains(QStringLiteral("失效订单同步连续 2 次失败")))
        << record.unhealthy.toStdString();
    EXPECT_EQ(record.advice, QStringLiteral("在运营商后台重新授权该联盟账号"));
}

// A status message that names its account's id finds that row, whatever name it carries; one without an id finds
// its row by name.
TEST_F(SyncController, StatusMessagesFindTheirRowByUserIdFirst)
{
    SetAccounts({{"1", "twin", "t1"}, {"2", "twin", "t2"}});
    SignInAndList();
    FController->Status().SendStatus(QStringLiteral("2"), QStringLiteral("browser-nick"), TAccountStatus::scSignedIn);
    ASSERT_TRUE(WaitMain([&] { return FController->Accounts().Text(1, TCol::colLoginState) == kSignedIn; }));
    EXPECT_EQ(FController->Accounts().Text(0, TCol::colLoginState), kNotSignedIn);
    FController->Status().SendStatus(QStringLiteral("9"), QStringLiteral("twin"), TAccountStatus::scFailed);
    ASSERT_TRUE(
        WaitMain([&] { return FController->Accounts().Text(0, TCol::colRunState) == QStringLiteral("同步失败"); }));
    EXPECT_EQ(FController->Accounts().Text(1, TCol::colRunState), kWaiting);
}

} // namespace
