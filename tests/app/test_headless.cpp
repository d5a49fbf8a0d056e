#include "standin/testservices.h"
#include "store/udb.h"
#include "testwait.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <functional>
#include <string>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// The real executable, copied into a program folder of its own whose conf.ini points at the stand-ins.
class HeadlessRun : public ::testing::Test, protected TStandInServices {
protected:
    void SetUp() override
    {
        FProgram = FFolder.filePath(QStringLiteral("quenlar"));
        ASSERT_TRUE(QFile::copy(QStringLiteral(QUENLAR_BINARY), FProgram));
        ASSERT_TRUE(WriteSettings(FFolder.path()));
        CreateOrderCache(FFolder.filePath(QStringLiteral("db.db")));
    }

    void Start(const QStringList& AArguments, const QString& APassword = QStringLiteral("pw"))
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QUENLAR_PASSWORD"), APassword);
        FProcess.setProcessEnvironment(environment);
        FProcess.setWorkingDirectory(FFolder.path());
        FProcess.start(FProgram, AArguments);
        ASSERT_TRUE(FProcess.waitForStarted());
    }

    // Waits for the end (generously bounded) and keeps what it printed.
    bool Finish()
    {
        const bool finished = FProcess.waitForFinished(static_cast<int>(kTestWaitLimit.count()));
        FOut = QString::fromUtf8(FProcess.readAllStandardOutput());
        FErr = QString::fromUtf8(FProcess.readAllStandardError());
        return finished;
    }

    QTemporaryDir FFolder;
    QString FProgram;
    QProcess FProcess;
    QString FOut;
    QString FErr;
};

TEST_F(HeadlessRun, OnceSignsInDeliversTheNewOrdersAndExits)
{
    SetAccounts({{"1001", "nick-a", "tok-a"}, {"1002", "nick-b", "tok-b"}});
    Start({QStringLiteral("--headless"), QStringLiteral("--phone"), QStringLiteral("13800000000"),
        QStringLiteral("--once")});
    ASSERT_TRUE(Finish());
    EXPECT_EQ(FProcess.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(FProcess.exitCode(), 0) << FErr.toStdString();
    const TRecordedRequest login = FOperator.Requests().front();
    EXPECT_EQ(login.target, "/client/dbmove/login");
    EXPECT_EQ(FieldValue(login.FormFields(), "phone"), "13800000000");
    EXPECT_EQ(FieldValue(login.FormFields(), "pwd"), "pw");
    EXPECT_EQ(FIntakeBatches.load(), 2); // one batch per account
    EXPECT_TRUE(FOut.contains(QStringLiteral("同步失效/确认收货订单:nick-a;15天内共 1 条未同步订单!")));
    EXPECT_TRUE(FOut.contains(QStringLiteral("运营商：已登录")));

    // The orders are recorded: a second run finds nothing new.
    Start({QStringLiteral("--headless"), QStringLiteral("--phone"), QStringLiteral("13800000000"),
        QStringLiteral("--once")});
    ASSERT_TRUE(Finish());
    EXPECT_EQ(FProcess.exitCode(), 0);
    EXPECT_TRUE(FOut.contains(QStringLiteral("同步失效/确认收货订单:nick-a;15天内共 0 条未同步订单!")));
}

TEST_F(HeadlessRun, RefusedSignInExitsNonZeroWithTheMessageAndAsksNothingMore)
{
    {
        const std::scoped_lock lock(FMutex);
        FLoginReply = R"({"code":401,"msg":"账号不存在"})";
    }
    Start({QStringLiteral("--headless"), QStringLiteral("--phone"), QStringLiteral("1"), QStringLiteral("--once")});
    ASSERT_TRUE(Finish());
    EXPECT_NE(FProcess.exitCode(), 0);
    EXPECT_TRUE(FErr.contains(QStringLiteral("账号不存在"))) << FErr.toStdString();
    EXPECT_EQ(FOperator.RequestCount(), 1u);
    EXPECT_EQ(FGateway.RequestCount(), 0u);
}

TEST_F(HeadlessRun, UnreachableBackEndExitsNonZeroWithTheLocalFailure)
{
    ASSERT_TRUE(WriteConfIni(FFolder.path(), {{"operatorService", QStringLiteral("127.0.0.1:1")}}));
    Start({QStringLiteral("--headless"), QStringLiteral("--phone"), QStringLiteral("1"), QStringLiteral("--once")});
    ASSERT_TRUE(Finish());
    EXPECT_NE(FProcess.exitCode(), 0);
    EXPECT_TRUE(FErr.contains(QStringLiteral("服务器访问失败-本地"))) << FErr.toStdString();
}

TEST_F(HeadlessRun, SigtermDuringAPassEndsThePromptly)
{
    SetAccounts({{"1001", "nick-a", "tok-a"}});
    Start({QStringLiteral("--headless"), QStringLiteral("--phone"), QStringLiteral("1")});
    ASSERT_TRUE(FGateway.WaitForRequests(5));
    QElapsedTimer clock;
    clock.start();
    ::kill(static_cast<pid_t>(FProcess.processId()), SIGTERM);
    ASSERT_TRUE(Finish());
    EXPECT_LT(clock.elapsed(), 5000);
    EXPECT_EQ(FProcess.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(FProcess.exitCode(), 0) << FErr.toStdString();
}

// Under a service manager whose journal is stdout, every line carries its syslog priority and no time of its own
// (the journal stamps it); a stdout that is not the journal keeps the time.
TEST_F(HeadlessRun, LinesForTheJournalCarryTheirPriorityAndNoTime)
{
    SetAccounts({{"1001", "nick-a", "tok-a"}, {"1002", "nick-b", "tok-b"}});
    {
        const std::scoped_lock lock(FMutex);
        FRefusedSessions = {"tok-b"};
    }
    const QString journal = FFolder.filePath(QStringLiteral("journal"));
    ASSERT_TRUE(QFile(journal).open(QIODevice::WriteOnly));
    struct stat info { };
    ASSERT_EQ(::stat(QFile::encodeName(journal).constData(), &info), 0);
    for (const bool named : {true, false}) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QUENLAR_PASSWORD"), QStringLiteral("pw"));
        environment.insert(QStringLiteral("JOURNAL_STREAM"),
            named ? QStringLiteral("%1:%2").arg(info.st_dev).arg(info.st_ino) : QStringLiteral("1:1"));
        FProcess.setProcessEnvironment(environment);
        FProcess.setWorkingDirectory(FFolder.path());
        FProcess.setStandardOutputFile(journal);
        FProcess.start(FProgram,
            {QStringLiteral("--headless"), QStringLiteral("--phone"), QStringLiteral("1"), QStringLiteral("--once")});
        ASSERT_TRUE(FProcess.waitForFinished(static_cast<int>(kTestWaitLimit.count())));
        QFile file(journal);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QString out = QString::fromUtf8(file.readAll());
        if (named) {
            EXPECT_TRUE(out.contains(QStringLiteral("<6>运营商：已登录\n"))) << out.toStdString();
            EXPECT_TRUE(out.contains(QStringLiteral("\n<3>同步失效/确认收货订单:nick-b;"))) << out.toStdString();
            EXPECT_FALSE(out.contains(QStringLiteral("]  "))) << out.toStdString();
        } else {
            EXPECT_FALSE(out.contains(QStringLiteral("<6>"))) << out.toStdString();
            EXPECT_TRUE(out.contains(QStringLiteral("]  运营商：已登录"))) << out.toStdString();
        }
    }
}

// A service manager's notification socket: a bound AF_UNIX datagram socket, as systemd hands one over in NOTIFY_SOCKET,
// keeping every state line the program sends.
class TNotifySocket {
public:
    explicit TNotifySocket(const QString& APath)
        : FFd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        const QByteArray path = QFile::encodeName(APath);
        if (FFd < 0 || static_cast<size_t>(path.size()) >= sizeof(address.sun_path))
            return;
        std::copy(path.begin(), path.end(), address.sun_path);
        FBound = ::bind(FFd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    }
    ~TNotifySocket()
    {
        if (FFd >= 0)
            ::close(FFd);
    }
    TNotifySocket(const TNotifySocket&) = delete;
    TNotifySocket& operator=(const TNotifySocket&) = delete;

    bool IsBound() const { return FBound; }

    // Reads datagrams until ACondition holds of those read so far (generously bounded); false when it never does.
    bool WaitUntil(const std::function<bool()>& ACondition)
    {
        const auto until = std::chrono::steady_clock::now() + kTestWaitLimit;
        while (!ACondition()) {
            const auto left
                = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
            pollfd readable {FFd, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&readable, 1, static_cast<int>(left.count())) <= 0)
                return false;
            char datagram[4096];
            const ssize_t size = ::recv(FFd, datagram, sizeof(datagram), 0);
            if (size > 0)
                FStates.emplace_back(datagram, static_cast<size_t>(size));
        }
        return true;
    }

    bool WaitFor(const std::string& AState)
    {
        return WaitUntil([this, &AState] { return Count(AState) > 0; });
    }

    // How many datagrams from the AFrom-th on hold the line AState.
    size_t Count(const std::string& AState, size_t AFrom = 0) const
    {
        return static_cast<size_t>(
            std::count_if(FStates.begin() + static_cast<std::ptrdiff_t>(std::min(AFrom, FStates.size())), FStates.end(),
                [&AState](const std::string& ADatagram) {
                    return ("\n" + ADatagram + "\n").find("\n" + AState + "\n") != std::string::npos;
                }));
    }

    size_t Size() const { return FStates.size(); }

private:
    int FFd;
    bool FBound = false;
    std::vector<std::string> FStates;
};

// Under systemd (Type=notify, WatchdogSec=): ready once signed in, the watchdog pinged from the running main loop,
// stopping on SIGTERM. The same run without NOTIFY_SOCKET is every other test here.
TEST_F(HeadlessRun, TellsTheServiceManagerItIsReadyAliveAndStopping)
{
#ifndef QUENLAR_WITH_SYSTEMD
    GTEST_SKIP() << "this build has no libsystemd";
#endif
    SetAccounts({{"1001", "nick-a", "tok-a"}});
    TNotifySocket manager(FFolder.filePath(QStringLiteral("notify")));
    ASSERT_TRUE(manager.IsBound());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QUENLAR_PASSWORD"), QStringLiteral("pw"));
    environment.insert(QStringLiteral("NOTIFY_SOCKET"), FFolder.filePath(QStringLiteral("notify")));
    environment.insert(QStringLiteral("WATCHDOG_USEC"), QStringLiteral("400000"));
    FProcess.setProcessEnvironment(environment);
    FProcess.setWorkingDirectory(FFolder.path());
    FProcess.start(FProgram, {QStringLiteral("--headless"), QStringLiteral("--phone"), QStringLiteral("1")});
    ASSERT_TRUE(FProcess.waitForStarted());

    ASSERT_TRUE(manager.WaitFor("READY=1"));
    // Ready means signed in: the back end has had the sign-in by then.
    EXPECT_GE(FOperator.RequestCount(), 1u);
    EXPECT_EQ(FOperator.Requests().front().target, "/client/dbmove/login");
    // Pings keep coming from the running loop, not only one at the start.
    const size_t afterReady = manager.Size();
    ASSERT_TRUE(manager.WaitUntil([&manager, afterReady] { return manager.Count("WATCHDOG=1", afterReady) >= 2; }));
    EXPECT_EQ(manager.Count("STOPPING=1"), 0u);

    ::kill(static_cast<pid_t>(FProcess.processId()), SIGTERM);
    EXPECT_TRUE(manager.WaitFor("STOPPING=1"));
    ASSERT_TRUE(Finish());
    EXPECT_EQ(FProcess.exitCode(), 0) << FErr.toStdString();
}

// A cron job must never take an interrupted run for a complete one.
TEST_F(HeadlessRun, SigtermDuringAOnceRunExitsAsInterrupted)
{
    SetAccounts({{"1001", "nick-a", "tok-a"}});
    Start({QStringLiteral("--headless"), QStringLiteral("--phone"), QStringLiteral("1"), QStringLiteral("--once")});
    ASSERT_TRUE(FGateway.WaitForRequests(5));
    ::kill(static_cast<pid_t>(FProcess.processId()), SIGTERM);
    ASSERT_TRUE(Finish());
    EXPECT_EQ(FProcess.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(FProcess.exitCode(), 6) << FErr.toStdString();
}

struct TAccountListCase {
    const char* name;
    std::string reply; // the account list's reply; empty: the accounts set below
    bool withAccounts;
};

class HeadlessAccountList : public HeadlessRun, public ::testing::WithParamInterface<TAccountListCase> { };

// A run with nothing to synchronise must not look like a successful one to cron.
TEST_P(HeadlessAccountList, OnceWithoutUsableAccountsExits3AndSaysWhy)
{
    if (GetParam().withAccounts)
        SetAccounts({{"1001", "nick-a", "tok-a"}});
    {
        const std::scoped_lock lock(FMutex);
        FAccountListReply = GetParam().reply;
    }
    Start({QStringLiteral("--headless"), QStringLiteral("--phone"), QStringLiteral("1"), QStringLiteral("--once")});
    ASSERT_TRUE(Finish());
    EXPECT_EQ(FProcess.exitCode(), 3) << FErr.toStdString();
    EXPECT_TRUE(FErr.contains(QStringLiteral("no affiliate accounts to synchronise"))) << FErr.toStdString();
    EXPECT_EQ(FGateway.RequestCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, HeadlessAccountList,
    ::testing::Values(TAccountListCase {"empty", "", false},
        TAccountListCase {"refused", R"({"code":500,"msg":"服务繁忙","time":1})", true},
        TAccountListCase {"notJson", "<html>502</html>", true},
        TAccountListCase {"noItemWithAUserId", R"({"code":200,"msg":"ok","time":1,"data":[{"userName":"x"}]})", true}),
    [](const ::testing::TestParamInfo<TAccountListCase>& AInfo) { return std::string(AInfo.param.name); });

TEST_F(HeadlessRun, FailedAccountListIsLoggedWithTheBackEndsMessage)
{
    {
        const std::scoped_lock lock(FMutex);
        FAccountListReply = R"({"code":500,"msg":"服务繁忙","time":1})";
    }
    Start({QStringLiteral("--headless"), QStringLiteral("--phone"), QStringLiteral("1"), QStringLiteral("--once")});
    ASSERT_TRUE(Finish());
    EXPECT_TRUE(FOut.contains(QStringLiteral("获取联盟账号失败:"))) << FOut.toStdString();
    EXPECT_TRUE(FOut.contains(QStringLiteral("服务繁忙"))) << FOut.toStdString();
}

TEST_F(HeadlessRun, OnceWithARefusedAccountExits4NamingItAndStillDeliversTheOthers)
{
    SetAccounts({{"1001", "nick-a", "tok-a"}, {"1002", "nick-b", "tok-b"}});
    {
        const std::scoped_lock lock(FMutex);
        FRefusedSessions = {"tok-b"};
    }
    const QString status = FFolder.filePath(QStringLiteral("status.json"));
    Start({QStringLiteral("--headless"), QStringLiteral("--phone"), QStringLiteral("1"), QStringLiteral("--once"),
        QStringLiteral("--status-file"), status});
    ASSERT_TRUE(Finish());
    EXPECT_EQ(FProcess.exitCode(), 4) << FErr.toStdString();
    EXPECT_TRUE(FErr.contains(
        QStringLiteral("account nick-b (1002): 失效订单同步失败: 淘宝开放平台授权已失效,请重新授权该账号(code:27")))
        << FErr.toStdString();
    EXPECT_FALSE(FErr.contains(QStringLiteral("nick-a"))) << FErr.toStdString();
    EXPECT_EQ(FIntakeBatches.load(), 1); // nick-a's order went all the same
    EXPECT_TRUE(FOut.contains(QStringLiteral("失效订单同步结束: 账号 2 个"))) << FOut.toStdString();

    QFile file(status);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther), QFileDevice::Permissions());
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError);
    const QJsonArray accounts = document[u"accounts"].toArray();
    ASSERT_EQ(accounts.size(), 2);
    EXPECT_EQ(accounts[0][u"invalidOrders"][u"outcome"].toString(), QStringLiteral("complete"));
    EXPECT_EQ(accounts[1][u"invalidOrders"][u"outcome"].toString(), QStringLiteral("failed"));
    EXPECT_EQ(accounts[1][u"lastError"][u"source"].toString(), QStringLiteral("top"));
    EXPECT_EQ(document[u"operator"].toString(), QStringLiteral("1"));
    EXPECT_EQ(document[u"version"].toString(), QStringLiteral(QUENLAR_VERSION));
}

struct TOptionCase {
    QStringList arguments;
    int exitCode;
    const char16_t* printed; // a part of stdout or stderr
};

class HeadlessOptions : public HeadlessRun, public ::testing::WithParamInterface<TOptionCase> { };

TEST_P(HeadlessOptions, AnswerAsUsersExpect)
{
    Start(GetParam().arguments);
    ASSERT_TRUE(Finish());
    EXPECT_EQ(FProcess.exitCode(), GetParam().exitCode);
    EXPECT_TRUE((FOut + FErr).contains(QString::fromUtf16(GetParam().printed))) << (FOut + FErr).toStdString();
    EXPECT_EQ(FOperator.RequestCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(CommandLine, HeadlessOptions,
    ::testing::Values(TOptionCase {{QStringLiteral("--help")}, 0, u"Usage: quenlar"},
        TOptionCase {{QStringLiteral("--version")}, 0, u"Quenlar 1.0.0.4"},
        TOptionCase {{QStringLiteral("--bogus")}, 2, u"unknown option: --bogus"},
        TOptionCase {{QStringLiteral("--headless")}, 2, u"--headless needs --phone"},
        TOptionCase {{QStringLiteral("--headless"), QStringLiteral("--phone")}, 2, u"needs a value"},
        TOptionCase {{QStringLiteral("--once")}, 2, u"belong to --headless"},
        TOptionCase {{QStringLiteral("--data-dir")}, 2, u"needs a value"},
        TOptionCase {{QStringLiteral("--headless"), QStringLiteral("--phone"), QStringLiteral("1"),
                         QStringLiteral("--data-dir"), QStringLiteral("/proc/version")},
            2, u"the data folder /proc/version is not a folder"},
        TOptionCase {{QStringLiteral("--headless"), QStringLiteral("--phone"), QStringLiteral("1"),
                         QStringLiteral("--data-dir=/proc/quenlar/data")},
            2, u"the data folder /proc/quenlar/data cannot be created"},
        TOptionCase {{QStringLiteral("--headless"), QStringLiteral("--phone=1"), QStringLiteral("--sync-interval=0")},
            2, u"--sync-interval needs a number of seconds"}));

// A cache that cannot tell delivered orders from new ones: nothing is sent, every account's pass fails naming the
// file, and the reason is said once however many accounts and passes meet it.
struct TCacheCase {
    const char* name;
    QByteArray contents; // written over db.db; "-" removes it, "/" puts a folder in its place
    const char16_t* reason;
};

class HeadlessUnusableCache : public HeadlessRun, public ::testing::WithParamInterface<TCacheCase> { };

TEST_P(HeadlessUnusableCache, SendsNothingAndExits4NamingTheFile)
{
    const QString cache = FFolder.filePath(QStringLiteral("db.db"));
    ASSERT_TRUE(QFile::remove(cache));
    // A folder some run has used: a cache gone from it is not made afresh, which would deliver everything again.
    ASSERT_TRUE(QFile(FFolder.filePath(QStringLiteral("quenlar.log"))).open(QIODevice::WriteOnly));
    const QByteArray& contents = GetParam().contents;
    if (contents == "/") {
        ASSERT_TRUE(QDir().mkdir(cache));
    } else if (contents != "-") {
        QFile file(cache);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(contents);
    }
    SetAccounts({{"1001", "nick-a", "tok-a"}, {"1002", "nick-b", "tok-b"}});
    Start({QStringLiteral("--headless"), QStringLiteral("--phone"), QStringLiteral("1"), QStringLiteral("--once")});
    ASSERT_TRUE(Finish());
    EXPECT_EQ(FProcess.exitCode(), 4) << FErr.toStdString();
    EXPECT_EQ(FIntakeBatches.load(), 0);
    const QString reason = QString::fromUtf16(GetParam().reason);
    EXPECT_TRUE(FErr.contains(QStringLiteral("account nick-a (1001):"))) << FErr.toStdString();
    EXPECT_TRUE(FErr.contains(QStringLiteral("account nick-b (1002):"))) << FErr.toStdString();
    EXPECT_TRUE(FErr.contains(reason)) << FErr.toStdString();
    // Said once: one line of its own, besides each account's failure line and the pass summaries that name each
    // failed account.
    const QStringList lines = FOut.split(u'\n').filter(reason);
    EXPECT_EQ(lines.filter(QStringLiteral("同步失败: ")).size(), 2) << FOut.toStdString();
    EXPECT_EQ(lines.size() - lines.filter(QStringLiteral("同步结束")).size() - 2, 1) << FOut.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Cache, HeadlessUnusableCache,
    ::testing::Values(TCacheCase {"missing", "-", u"quenlar-initdb"}, TCacheCase {"folder", "/", u"是一个文件夹"},
        TCacheCase {"zeroBytes", "", u"不是订单缓存数据库"},
        TCacheCase {"garbage", QByteArray(4096, 'x'), u"不是订单缓存数据库"}),
    [](const ::testing::TestParamInfo<TCacheCase>& AInfo) { return std::string(AInfo.param.name); });

// A desktop's first start: the package made no cache in the user's new data folder, and the first sync delivers.
TEST_F(HeadlessRun, AFolderNoRunHasUsedGetsItsCacheOnceAndDelivers)
{
    const QString cache = FFolder.filePath(QStringLiteral("db.db"));
    ASSERT_TRUE(QFile::remove(cache));
    const QString made = QStringLiteral("首次运行,已创建订单缓存");
    SetAccounts({{"1001", "nick-a", "tok-a"}});
    Start({QStringLiteral("--headless"), QStringLiteral("--phone"), QStringLiteral("1"), QStringLiteral("--once")});
    ASSERT_TRUE(Finish());
    EXPECT_EQ(FProcess.exitCode(), 0) << FErr.toStdString();
    EXPECT_EQ(FIntakeBatches.load(), 1);
    EXPECT_EQ(FOut.count(made), 1) << FOut.toStdString();
    struct stat info { };
    ASSERT_EQ(::stat(QFile::encodeName(cache).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600);

    Start({QStringLiteral("--headless"), QStringLiteral("--phone"), QStringLiteral("1"), QStringLiteral("--once")});
    ASSERT_TRUE(Finish());
    EXPECT_EQ(FProcess.exitCode(), 0) << FErr.toStdString();
    EXPECT_EQ(FIntakeBatches.load(), 1) << "the made cache recorded the first run's orders";
    EXPECT_FALSE(FOut.contains(made)) << FOut.toStdString();
}

TEST_F(HeadlessRun, AnUnwritableLogIsSaidOnceAndTheRunGoesOn)
{
    ASSERT_TRUE(QDir().mkdir(FFolder.filePath(QStringLiteral("quenlar.log")))); // a folder where the log goes
    SetAccounts({{"1001", "nick-a", "tok-a"}});
    Start({QStringLiteral("--headless"), QStringLiteral("--phone"), QStringLiteral("1"), QStringLiteral("--once")});
    ASSERT_TRUE(Finish());
    EXPECT_EQ(FProcess.exitCode(), 0) << FErr.toStdString();
    EXPECT_EQ(FIntakeBatches.load(), 1);
    EXPECT_EQ(FErr.count(QStringLiteral("日志文件无法写入")), 1) << FErr.toStdString();
    EXPECT_EQ(FOut.count(QStringLiteral("日志文件无法写入")), 1) << FOut.toStdString();
}

TEST_F(HeadlessRun, ABadSettingsFileIsNamedBeforeTheSignIn)
{
    const QString ini = FFolder.filePath(QStringLiteral("conf.ini"));
    ASSERT_TRUE(QFile::remove(ini));
    ASSERT_TRUE(QDir().mkdir(ini));
    Start({QStringLiteral("--headless"), QStringLiteral("--phone"), QStringLiteral("1"), QStringLiteral("--once")});
    ASSERT_TRUE(Finish());
    EXPECT_EQ(FProcess.exitCode(), 1); // the default back end address answers nobody here
    const qsizetype named = FOut.indexOf(QStringLiteral("是一个文件夹,不是配置文件"));
    ASSERT_GE(named, 0) << FOut.toStdString();
    EXPECT_TRUE(FOut.contains(ini)) << FOut.toStdString();
    const qsizetype failed = FOut.indexOf(QStringLiteral("服务器访问失败"));
    EXPECT_TRUE(failed < 0 || failed > named) << FOut.toStdString();
}

// The window is quenlar-window beside the program: quenlar becomes it, keeping the pid, the arguments and so the
// exit code a service manager or a script sees.
TEST_F(HeadlessRun, TheWindowIsTheProgramBesideItTakingOverTheProcess)
{
    const QString window = FFolder.filePath(QStringLiteral("quenlar-window"));
    QFile script(window);
    ASSERT_TRUE(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\necho \"pid $$ args $*\"\nexit 7\n");
    script.close();
    ASSERT_TRUE(script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

    Start({QStringLiteral("--data-dir"), FFolder.path()});
    const qint64 pid = FProcess.processId();
    ASSERT_TRUE(Finish());
    EXPECT_EQ(FProcess.exitCode(), 7) << FErr.toStdString();
    EXPECT_EQ(FOut.trimmed(), QStringLiteral("pid %1 args --data-dir %2").arg(pid).arg(FFolder.path()));

    // A command line the program refuses never reaches the window.
    Start({QStringLiteral("--bogus")});
    ASSERT_TRUE(Finish());
    EXPECT_EQ(FProcess.exitCode(), 2);
    EXPECT_FALSE(FOut.contains(QStringLiteral("pid")));
}

// The real window program, handed over to, writes the program's log: quenlar.log, not one named after itself.
TEST_F(HeadlessRun, TheWindowKeepsTheProgramsLogName)
{
#ifndef QUENLAR_WINDOW_BINARY
    GTEST_SKIP() << "this build has no window";
#else
    ASSERT_TRUE(QFile::copy(QStringLiteral(QUENLAR_WINDOW_BINARY), FFolder.filePath(QStringLiteral("quenlar-window"))));
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // A fresh data folder has no conf.ini, which the window logs as it starts.
    const QString data = FFolder.filePath(QStringLiteral("data"));
    Start({QStringLiteral("--data-dir"), data});
    EXPECT_TRUE(WaitForCondition([&] { return QFileInfo::exists(data + QStringLiteral("/quenlar.log")); }));
    FProcess.terminate();
    ASSERT_TRUE(Finish());
    EXPECT_FALSE(QFileInfo::exists(data + QStringLiteral("/quenlar-window.log")));
#endif
}

TEST_F(HeadlessRun, WithoutTheWindowProgramItSaysToRunHeadless)
{
    Start({});
    ASSERT_TRUE(Finish());
    EXPECT_EQ(FProcess.exitCode(), 2);
    EXPECT_TRUE(FErr.contains(QStringLiteral("quenlar-window is missing); run it with --headless")))
        << FErr.toStdString();
    EXPECT_EQ(FOperator.RequestCount(), 0u);
}

TEST_F(HeadlessRun, MissingPasswordIsAnErrorBeforeAnyRequest)
{
    Start({QStringLiteral("--headless"), QStringLiteral("--phone"), QStringLiteral("1")}, QString());
    ASSERT_TRUE(Finish());
    EXPECT_EQ(FProcess.exitCode(), 2);
    EXPECT_TRUE(FErr.contains(QStringLiteral("QUENLAR_PASSWORD")));
    EXPECT_EQ(FOperator.RequestCount(), 0u);
}

} // namespace
