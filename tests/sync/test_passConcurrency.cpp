// Invalid-order passes that download several accounts at once (passConcurrency), with real threads against the
// stand-ins: every order arrives once, every account is read once a pass, the gateway's limits hold every worker,
// and a stop ends them all.
#include "sessions/alimmTokenMgr.h"
#include "standin/standin.h"
#include "store/inifile.h"
#include "store/udb.h"
#include "sync/accountHealth.h"
#include "syncfixture.h"
#include "taobao/topLimits.h"
#include "testwait.h"

#include <QFile>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <set>
#include <tuple>

namespace {

using TCol = TAccountListModel::TColumn;

constexpr int kAccounts = 6;

// The whole stand-in (demo accounts, orders and a ledger of what arrived) and the program around it, signed in as
// the demo operator, with the accounts listed.
class ConcurrentPass : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override
    {
        TStandInOptions options;
        options.ports.fill(0);
        options.controlPort = 0;
        options.accounts = kAccounts;
        options.seed = 23;
        options.record = true;
        FStandIn = std::make_unique<TStandIn>(options);
        FStandIn->Start();
        QFile ini(FFolder.filePath(QStringLiteral("conf.ini")));
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
        ini.write(FStandIn->HostsSection().toUtf8()
            + "[setting]\nsyncysh=1\nopenLarge=0\npassConcurrency=" + QByteArray::number(GetParam()) + "\n");
        ini.close();
        CreateOrderCache(FFolder.filePath(QStringLiteral("db.db")));
        TProcessObjects::TOptions objects;
        objects.dataFolder = FFolder.path();
        objects.moduleFileName = FFolder.filePath(QStringLiteral("quenlar"));
        FObjects = std::make_unique<TProcessObjects>(objects);
        FLog = TLogLines::Attach(*GlobalLog());
        FController = std::make_unique<TSyncController>(FFrontEnd, TSyncPaths {FFolder.path(), FFolder.path()});
        FController->Open();
        bool refreshed = false;
        const QMetaObject::Connection connection = QObject::connect(
            FController.get(), &TSyncController::AccountsRefreshed, [&refreshed](bool) { refreshed = true; });
        ASSERT_TRUE(FController->SignIn(
            QStringLiteral("13800138000"), QStringLiteral("demo1234"), [](bool, const QString&) {}));
        ASSERT_TRUE(WaitForCondition(
            [&] { return refreshed && !FController->OperatorRequestRunning(); }, kTestWaitLimit, true));
        QObject::disconnect(connection);
        ASSERT_EQ(AlimmTokenMgr()->count(), kAccounts);
    }
    void TearDown() override
    {
        FController->CloseListener();
        FObjects->StopJobs();
        FController.reset();
        FObjects.reset();
    }

    // One invalid-order pass, waited for; its rows are left as the pass left them.
    void WaitForPass()
    {
        std::atomic<bool> done {false};
        JobScheduler()->Post([this, &done](TQJob* AJob) {
            FController->Passes().SyncInvalidOrdersJob(AJob);
            done = true;
        });
        // 1 440 page requests: more time than one request's bound.
        ASSERT_TRUE(WaitForCondition([&] { return done.load(); }, std::chrono::minutes(3), true));
    }

    // One invalid-order pass that completes for every account.
    void RunPass()
    {
        ASSERT_NO_FATAL_FAILURE(WaitForPass());
        // The rows' last states come as main-thread calls.
        ASSERT_TRUE(WaitForCondition(
            [&] {
                for (int row = 0; row < kAccounts; ++row)
                    if (FController->Accounts().Text(row, TCol::colRunState) != QStringLiteral("同步完成"))
                        return false;
                return true;
            },
            kTestWaitLimit, true));
    }

    long long Served()
    {
        const QJsonObject counts = FStandIn->Ledger().Summary().value(QStringLiteral("served")).toObject();
        return counts.value(QStringLiteral("status13")).toInteger()
            + counts.value(QStringLiteral("status14")).toInteger();
    }
    // A service's count as the stand-in's status shows it.
    int Network(TStandInHost AHost, const char* AName) const
    {
        const QJsonObject hosts = FStandIn->Network()[QStringLiteral("hosts")].toObject();
        return hosts[QLatin1String(HostName(AHost))][QLatin1String(AName)].toInt();
    }
    long long Duplicates()
    {
        return FStandIn->Received()[QStringLiteral("invalidOrders")][QStringLiteral("duplicates")].toInteger();
    }

    QTemporaryDir FFolder;
    std::unique_ptr<TStandIn> FStandIn;
    std::shared_ptr<TLogLines> FLog;
    TRecordingFrontEnd FFrontEnd;
    std::unique_ptr<TProcessObjects> FObjects;
    std::unique_ptr<TSyncController> FController;
};

TEST_P(ConcurrentPass, EveryOrderArrivesOnceAndEveryAccountIsReadOnce)
{
    RunPass();
    ASSERT_GT(Served(), 0);
    EXPECT_EQ(static_cast<long long>(FStandIn->Ledger().ReceivedOrders().size()), Served());
    EXPECT_EQ(Duplicates(), 0);

    // Each account asked for every slice of both statuses, and no page twice.
    std::set<std::tuple<std::string, std::string, std::string, std::string, std::string>> pages;
    std::map<std::string, std::set<std::pair<std::string, std::string>>> slices; // session -> (status, start)
    for (const TRecordedRequest& request : FStandIn->Server(TStandInHost::Top).Requests()) {
        const TFormFields fields = request.FormFields();
        const auto field = [&fields](const char* AName) { return FieldValue(fields, AName); };
        EXPECT_TRUE(pages
                        .emplace(field("session"), field("tk_status"), field("start_time"), field("page_no"),
                            field("position_index"))
                        .second)
            << field("session") << ' ' << field("tk_status") << ' ' << field("start_time");
        slices[field("session")].emplace(field("tk_status"), field("start_time"));
    }
    ASSERT_EQ(slices.size(), static_cast<size_t>(kAccounts));
    for (const auto& [session, read] : slices)
        EXPECT_EQ(read.size(), 2u * 15 * 8) << session; // 15 days of 3-hour slices, statuses 13 and 14

    // What each account found is what the back end accepted of it, and its pass counts as complete.
    long long delivered = 0;
    for (const TDemoAccount& account : FStandIn->Data().Accounts()) {
        const TAccountHealthRecord record = FController->Health().Account(QString::fromStdString(account.userId));
        const auto invalid = static_cast<size_t>(TPassKind::Invalid);
        EXPECT_TRUE(record.last[invalid].ran) << account.userId;
        EXPECT_EQ(record.last[invalid].state, TAccountPassOutcome::TState::Complete) << account.userId;
        EXPECT_EQ(record.counts[invalid].lastFound, record.counts[invalid].lastDelivered) << account.userId;
        delivered += record.counts[invalid].lastDelivered;
    }
    EXPECT_EQ(delivered, Served());

    // A post's lines name no account: they follow their account's count line, one per batch of 100.
    ASSERT_TRUE(WaitForCondition([] { return GlobalLog()->Flushed() >= GlobalLog()->Count(); }));
    int expectedPosts = 0;
    int posts = 0;
    for (const QString& line : FLog->Lines()) {
        if (line.startsWith(QStringLiteral("同步失效/确认收货订单:"))) {
            EXPECT_EQ(posts, expectedPosts) << line.toStdString();
            const QString count = line.section(QStringLiteral("共 "), 1).section(u' ', 0, 0);
            expectedPosts = (count.toInt() + 99) / 100;
            posts = 0;
        } else if (line == QStringLiteral("失效/已收货订单提交成功")) {
            ++posts;
        }
    }
    EXPECT_EQ(posts, expectedPosts);

    // The next pass finds nothing new and sends nothing twice.
    RunPass();
    EXPECT_EQ(Duplicates(), 0);
}

// Each worker keeps one connection to the gateway for every page of its accounts, every batch post opens one of its
// own, and the job's end closes them all: the next pass opens as many again.
TEST_P(ConcurrentPass, EachWorkerKeepsOneConnectionToTheGateway)
{
    const int workers = std::min(GetParam(), kAccounts);
    const int pages = 2 * 15 * 8 * kAccounts;
    RunPass();
    EXPECT_EQ(Network(TStandInHost::Top, "connections"), workers);
    EXPECT_EQ(Network(TStandInHost::Top, "requests"), pages);
    EXPECT_GT(Network(TStandInHost::Intake, "requests"), 0);
    EXPECT_EQ(Network(TStandInHost::Intake, "connections"), Network(TStandInHost::Intake, "requests"));
    EXPECT_TRUE(WaitForCondition([&] { return Network(TStandInHost::Top, "open") == 0; }));

    // Kept connections that the gateway drops under a page: the page is asked again at once on a new connection,
    // and the pass completes as if nothing had happened.
    TFaultSettings faults;
    faults.keptDrops = 4;
    ASSERT_TRUE(TFaultSettings::ParseHosts("top", faults.hosts));
    FStandIn->Faults().Set(faults);
    RunPass();
    EXPECT_EQ(Network(TStandInHost::Top, "lostReplies"), 4);
    EXPECT_EQ(Network(TStandInHost::Top, "connections"), 2 * workers + 4);
    EXPECT_EQ(Network(TStandInHost::Top, "requests"), 2 * pages + 4);
    EXPECT_EQ(Duplicates(), 0);
}

// A batch whose reply is lost reached the back end and is not sent again in that pass: its account's pass is not
// complete. The next pass delivers its orders again, as it must when it cannot know they arrived.
TEST_P(ConcurrentPass, ABatchWhoseReplyIsLostIsNotSentAgainInThatPass)
{
    TFaultSettings faults;
    faults.lostReplies = 1;
    ASSERT_TRUE(TFaultSettings::ParseHosts("intake", faults.hosts));
    FStandIn->Faults().Set(faults);
    WaitForPass();
    EXPECT_EQ(Network(TStandInHost::Intake, "lostReplies"), 1);
    const QJsonObject invalid = FStandIn->Received()[QStringLiteral("invalidOrders")].toObject();
    EXPECT_EQ(invalid[QStringLiteral("batches")].toInt(), Network(TStandInHost::Intake, "requests"));
    EXPECT_EQ(Duplicates(), 0);
    EXPECT_EQ(static_cast<long long>(FStandIn->Ledger().ReceivedOrders().size()), Served());
    int complete = 0;
    for (const TDemoAccount& account : FStandIn->Data().Accounts()) {
        const TAccountHealthRecord record = FController->Health().Account(QString::fromStdString(account.userId));
        complete += record.last[static_cast<size_t>(TPassKind::Invalid)].state == TAccountPassOutcome::TState::Complete;
    }
    EXPECT_EQ(complete, kAccounts - 1);

    RunPass();
    EXPECT_GT(Duplicates(), 0);
    EXPECT_LE(Duplicates(), 100); // that one batch's orders
}

INSTANTIATE_TEST_SUITE_P(Workers, ConcurrentPass, ::testing::Values(3, 8),
    [](const ::testing::TestParamInfo<int>& AInfo) { return "concurrency" + std::to_string(AInfo.param); });

// The scripted stand-ins, whose gateway a test holds or answers per account, and passes of four accounts at once.
class HeldGateway : public SyncFixture {
protected:
    void SetUp() override
    {
        SyncFixture::SetUp();
        TIniFile ini(FFolder.filePath(QStringLiteral("conf.ini")));
        ini.Load();
        ini.WriteString(u"setting", u"passConcurrency", QStringLiteral("4"));
    }
    void TearDown() override
    {
        FRelease = true;
        {
            const std::scoped_lock lock(FMutex);
            FGatewayAnswer = nullptr;
        }
        // The gateway's handlers use the fixture's members: none may still be inside the test's answer.
        EXPECT_TRUE(WaitForCondition([this] { return FInAnswer.load() == 0; }));
        SyncFixture::TearDown();
    }

    // Installs the test's answer of the gateway, counted while it runs.
    void AnswerGateway(std::function<std::optional<std::string>(const std::string&)> AAnswer)
    {
        const std::scoped_lock lock(FMutex);
        FGatewayAnswer = [this, answer = std::move(AAnswer)](const std::string& ASession) {
            ++FInAnswer;
            std::optional<std::string> text = answer(ASession);
            --FInAnswer;
            return text;
        };
    }

    // Starts an invalid-order pass on a worker; FPassDone turns true when it has ended.
    intptr_t StartPass()
    {
        return JobScheduler()->Post([this](TQJob* AJob) {
            FController->Passes().SyncInvalidOrdersJob(AJob);
            FPassDone = true;
        });
    }
    std::string RunState(int ARow) const { return FController->Accounts().Text(ARow, TCol::colRunState).toStdString(); }

    std::atomic<bool> FRelease {false};
    std::atomic<bool> FPassDone {false};
    std::atomic<int> FInAnswer {0};
    std::mutex FCallsLock;
    std::multiset<std::string> FHeld; // sessions whose request the gateway holds, guarded by FCallsLock
    size_t FMostHeld = 0; // guarded by FCallsLock
    std::map<std::string, int> FCalls; // requests by session, guarded by FCallsLock
};

TEST_F(HeldGateway, FourAccountsRunAtOnceAndAStopEndsThemAll)
{
    SetAccounts(
        {{"1", "a", "t1"}, {"2", "b", "t2"}, {"3", "c", "t3"}, {"4", "d", "t4"}, {"5", "e", "t5"}, {"6", "f", "t6"}});
    SignInAndList();
    AnswerGateway([this](const std::string& ASession) -> std::optional<std::string> {
        {
            const std::scoped_lock hold(FCallsLock);
            FHeld.insert(ASession);
            FMostHeld = std::max(FMostHeld, FHeld.size());
        }
        WaitForCondition([this] { return FRelease.load(); }, std::chrono::seconds(60));
        const std::scoped_lock hold(FCallsLock);
        FHeld.erase(FHeld.find(ASession));
        return std::nullopt;
    });
    const intptr_t pass = StartPass();
    const auto heldSessions = [&] {
        const std::scoped_lock hold(FCallsLock);
        return std::set<std::string>(FHeld.begin(), FHeld.end());
    };
    ASSERT_TRUE(WaitMain([&] { return heldSessions().size() == 4; }));
    ASSERT_TRUE(WaitMain([&] {
        int syncing = 0;
        for (int row = 0; row < 6; ++row)
            syncing += RunState(row) == "正在同步";
        return syncing == 4;
    }));

    const auto stoppedAt = std::chrono::steady_clock::now();
    JobScheduler()->ClearSingleJob(pass, false);
    // Each worker's exchange ends within 200 ms of the stop (the latency is a benchmark); a bound far below the
    // gateway's hold shows that no worker waited for its answer.
    ASSERT_TRUE(WaitForCondition([&] { return FPassDone.load(); }, std::chrono::seconds(10)));
    EXPECT_LT(std::chrono::steady_clock::now() - stoppedAt, std::chrono::seconds(10));
    {
        const std::scoped_lock hold(FCallsLock);
        EXPECT_EQ(FMostHeld, 4u);
    }
    // The four running accounts show the stop; the two never started keep their state.
    ASSERT_TRUE(WaitMain([&] {
        int stopped = 0;
        for (int row = 0; row < 6; ++row)
            stopped += RunState(row) == "已停止";
        return stopped == 4;
    }));
    for (int row = 0; row < 6; ++row)
        EXPECT_NE(RunState(row), "正在同步") << row;
}

TEST_F(HeldGateway, ABanSeenByOneWorkerHoldsTheOthers)
{
    SetAccounts({{"1", "a", "t1"}, {"2", "b", "t2"}, {"3", "c", "t3"}, {"4", "d", "t4"}});
    SignInAndList();
    AnswerGateway([this](const std::string& ASession) -> std::optional<std::string> {
        {
            const std::scoped_lock count(FCallsLock);
            ++FCalls[ASession];
        }
        if (ASession == "t1")
            return R"({"error_response":{"code":7,"msg":"App Call Limited",)"
                   R"("sub_code":"accesscontrol.limited-by-api-access-count",)"
                   R"("sub_msg":"This ban will last for 30 more seconds"}})";
        // The others' first pages are answered only once account a's worker has met the ban.
        WaitForCondition([] { return TopGate()->BannedUntil() != 0; });
        return std::nullopt;
    });
    const intptr_t pass = StartPass();
    // Every worker waits for the ban to end: none asks for its next page.
    ASSERT_TRUE(WaitMain([&] { return TopGate()->BanWaiters() == 4; }));
    {
        const std::scoped_lock count(FCallsLock);
        EXPECT_EQ(FCalls["t1"], 1);
        for (const char* session : {"t2", "t3", "t4"})
            EXPECT_LE(FCalls[session], 1) << session;
    }
    JobScheduler()->ClearSingleJob(pass, false);
    ASSERT_TRUE(WaitForCondition([&] { return FPassDone.load(); }, std::chrono::seconds(10)));
    EXPECT_EQ(TopGate()->BanWaiters(), 0);
    {
        const std::scoped_lock count(FCallsLock);
        EXPECT_EQ(FCalls["t1"], 1);
        for (const char* session : {"t2", "t3", "t4"})
            EXPECT_LE(FCalls[session], 1) << session;
    }
    EXPECT_TRUE(WaitForCondition([&] {
        return FLog->Contains(
            QStringLiteral("联盟账号 a 调用淘宝开放平台被限流(accesscontrol.limited-by-api-access-count),"
                           "等待 31 秒后重新请求..."));
    }));
}

} // namespace
