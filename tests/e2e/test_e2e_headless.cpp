// The headless program against the stand-in services: what the back end receives from whole runs.
#include "e2eFixture.h"

#include <QElapsedTimer>

#include <csignal>

namespace {

struct TDeliveryCase {
    const char* name;
    bool receivedOrders;
    bool largeModel;
};

class EndToEndDelivery : public TEndToEnd, public ::testing::WithParamInterface<TDeliveryCase> { };

TEST_P(EndToEndDelivery, EveryOrderAndRefundLandsOnceAndASecondRunPostsNothing)
{
    Prepare(GetParam().receivedOrders, GetParam().largeModel);
    const TRun first = RunOnce();
    ASSERT_TRUE(first.finished);
    ASSERT_EQ(first.exitCode, 0) << first.err.toStdString();
    EXPECT_TRUE(first.out.contains(QStringLiteral("登录成功"))) << first.out.toStdString();
    ExpectAllDeliveredOnce();
    if (GetParam().receivedOrders) {
        EXPECT_GT(FStandIn->Ledger().Summary()[QStringLiteral("served")][QStringLiteral("status14")].toInteger(), 0);
    }

    const long long invalidBatches = Count("invalidOrders", "batches");
    const long long refundBatches = Count("refunds", "batches");
    const TRun second = RunOnce();
    ASSERT_TRUE(second.finished);
    ASSERT_EQ(second.exitCode, 0) << second.err.toStdString();
    EXPECT_EQ(Count("invalidOrders", "batches"), invalidBatches);
    EXPECT_EQ(Count("refunds", "batches"), refundBatches);
    ExpectAllDeliveredOnce();
}

INSTANTIATE_TEST_SUITE_P(Settings, EndToEndDelivery,
    ::testing::Values(
        TDeliveryCase {"InvalidOrders15Days", false, false}, TDeliveryCase {"ReceivedOrdersToo2Days", true, true}),
    [](const ::testing::TestParamInfo<TDeliveryCase>& AInfo) { return std::string(AInfo.param.name); });

TEST_F(TEndToEnd, SigtermMidPassEndsPromptlyAndTheNextRunDeliversTheRest)
{
    Prepare(false, false);
    // Slow enough that the first account's batch lands well before the second account's pass ends.
    TFaultSettings slow;
    slow.latencyMs = 15;
    slow.hosts = 1u << static_cast<unsigned>(TStandInHost::Top);
    FStandIn->Faults().Set(slow);
    Start();
    ASSERT_TRUE(WaitForCondition([this] { return Count("invalidOrders", "batches") > 0; }, std::chrono::seconds(60)));
    QElapsedTimer clock;
    clock.start();
    ::kill(static_cast<pid_t>(FProcess.processId()), SIGTERM);
    const TRun stopped = Finish();
    ASSERT_TRUE(stopped.finished);
    EXPECT_LT(clock.elapsed(), 5000);
    EXPECT_EQ(stopped.exitCode, 6) << stopped.err.toStdString(); // interrupted
    EXPECT_LT(FStandIn->Ledger().ReceivedOrders().size(), ExpectedOrders().size());

    FStandIn->Faults().Set(TFaultSettings());
    const TRun next = RunOnce();
    ASSERT_TRUE(next.finished);
    ASSERT_EQ(next.exitCode, 0) << next.err.toStdString();
    ExpectAllDeliveredOnce();
}

} // namespace

namespace {

TEST_F(TEndToEnd, SigtermWhileABatchPostHangsEndsPromptly)
{
    Prepare(false, true, 1);
    TFaultSettings silent;
    silent.silent = true;
    silent.hosts = 1u << static_cast<unsigned>(TStandInHost::Intake);
    FStandIn->Faults().Set(silent);
    Start();
    ASSERT_TRUE(
        WaitForCondition([this] { return FStandIn->Faults().Counters().value(QStringLiteral("held")).toInteger() > 0; },
            std::chrono::seconds(60)));
    QElapsedTimer clock;
    clock.start();
    ::kill(static_cast<pid_t>(FProcess.processId()), SIGTERM);
    const TRun stopped = Finish();
    ASSERT_TRUE(stopped.finished);
    // The post in flight gets the end's grace of 15 s, and not much more.
    EXPECT_LT(clock.elapsed(), 20000);
    EXPECT_EQ(stopped.exitCode, 6) << stopped.err.toStdString(); // interrupted
}

} // namespace

namespace {

long long ReportPages(TStandIn& AStandIn)
{
    return AStandIn.Alimama().Counters().value(QStringLiteral("reportPages")).toInteger();
}

// Without any sign-in browser run, the refunds come through the TOP refund method alone, each once.
TEST_F(TEndToEnd, RefundSourceApiWithoutSignInDeliversEverySuccessfulRefundOnce)
{
    Prepare(false, true);
    SetRefundSource(QStringLiteral("api"));
    ASSERT_TRUE(QFile::remove(FFolder.filePath(QStringLiteral("browser.exe"))));
    const TRun first = RunOnce(false);
    ASSERT_TRUE(first.finished);
    ASSERT_EQ(first.exitCode, 0) << first.err.toStdString();
    ExpectAllDeliveredOnce();
    EXPECT_EQ(ReportPages(*FStandIn), 0);
    EXPECT_GT(FStandIn->Top().Counters().value(QStringLiteral("refundPages")).toInteger(), 0);

    const long long refundBatches = Count("refunds", "batches");
    const TRun second = RunOnce(false);
    ASSERT_TRUE(second.finished);
    ASSERT_EQ(second.exitCode, 0) << second.err.toStdString();
    EXPECT_EQ(Count("refunds", "batches"), refundBatches);
    ExpectAllDeliveredOnce();
}

// A machine whose clock is more than 10 minutes off Beijing time: the gateway refuses the first request, the run
// says so once, asks nothing more and fails (exit 4); with the clock right again the next run delivers everything.
TEST_F(TEndToEnd, AClockOffBeijingTimeIsSaidOnceCostsOneRequestAndFailsTheRun)
{
    Prepare(false, false);
    SetRefundSource(QStringLiteral("api"));
    FStandIn->Top().SetClockSkew(-3600);
    const TRun off = RunOnce(false);
    ASSERT_TRUE(off.finished);
    EXPECT_EQ(off.exitCode, 4) << off.err.toStdString();
    EXPECT_EQ(FStandIn->Top().Counters().value(QStringLiteral("calls")).toInteger(), 1);
    // The explanation once; each account's failure names it as its cause.
    EXPECT_EQ(off.out.count(QStringLiteral("请校准本机时间(")), 1) << off.out.toStdString();
    EXPECT_TRUE(off.err.contains(QStringLiteral("本机时间与北京时间相差超过10分钟"))) << off.err.toStdString();
    EXPECT_TRUE(FStandIn->Ledger().ReceivedOrders().empty());

    FStandIn->Top().SetClockSkew(0);
    const TRun right = RunOnce(false);
    ASSERT_TRUE(right.finished);
    ASSERT_EQ(right.exitCode, 0) << right.err.toStdString();
    ExpectAllDeliveredOnce();
}

// An account the app may not read orders for costs one request a pass, not one per slice.
TEST_F(TEndToEnd, APermissionRefusalCostsOneRequestPerAccountAndPass)
{
    Prepare(false, false);
    const TDemoAccount& refused = FStandIn->Data().Accounts().at(0);
    FStandIn->Top().SetOrderError(TTopOrderError::NoPermission, {refused.userId});
    const TRun run = RunOnce(false);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 4) << run.err.toStdString();
    EXPECT_EQ(FStandIn->Top().CallsOf(refused.index), 1);
    EXPECT_TRUE(run.err.contains(QString::fromStdString(refused.userName))) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains(QStringLiteral("权限不足"))) << run.err.toStdString();
    EXPECT_FALSE(FStandIn->Ledger().ReceivedOrders().empty()); // the other account's orders went all the same
}

// The cache is shared by the sources: what the report delivered, the API does not send again.
TEST_F(TEndToEnd, RefundsTheReportDeliveredAreNotSentAgainAfterASwitchToTheApi)
{
    Prepare(false, true);
    const TRun report = RunOnce();
    ASSERT_TRUE(report.finished);
    ASSERT_EQ(report.exitCode, 0) << report.err.toStdString();
    ExpectAllDeliveredOnce();
    ASSERT_GT(ReportPages(*FStandIn), 0);

    const long long refundBatches = Count("refunds", "batches");
    SetRefundSource(QStringLiteral("api"));
    const TRun api = RunOnce(false);
    ASSERT_TRUE(api.finished);
    ASSERT_EQ(api.exitCode, 0) << api.err.toStdString();
    EXPECT_GT(FStandIn->Top().Counters().value(QStringLiteral("refundPages")).toInteger(), 0);
    EXPECT_EQ(Count("refunds", "batches"), refundBatches);
    ExpectAllDeliveredOnce();
}

// api: an account the method is refused to gets no refunds, says why and fails the run; the others are delivered.
TEST_F(TEndToEnd, RefundSourceApiReportsAnAccountTheMethodIsRefusedTo)
{
    Prepare(false, true);
    SetRefundSource(QStringLiteral("api"));
    const TDemoAccount& refused = FStandIn->Data().Accounts().at(0);
    FStandIn->Top().SetRefundRefused(refused.userId);
    const TRun run = RunOnce(false);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 4) << run.err.toStdString();
    EXPECT_TRUE(run.out.contains(QStringLiteral("同步维权订单-联盟账号:") + QString::fromStdString(refused.userName)
        + QStringLiteral(" 淘宝开放平台权限不足,应用无权为该账号调用此接口(code:11")))
        << run.out.toStdString();
    EXPECT_EQ(ReportPages(*FStandIn), 0);
    const std::set<TStandInLedger::TKey> received = FStandIn->Ledger().ReceivedRefunds();
    for (const TDemoRefund& refund : FStandIn->Data().RefundsCreated(0, FNow - 89 * kDay, FNow))
        EXPECT_EQ(received.count({refund.parentId, refund.tradeId}), 0u);
    EXPECT_FALSE(received.empty());
    EXPECT_EQ(Count("refunds", "duplicates"), 0);
}

// auto: the account the gateway refuses the method to is read from the report, with one line saying so; the
// other through the API.
TEST_F(TEndToEnd, RefundSourceAutoFallsBackToTheReportPerAccount)
{
    Prepare(false, true);
    SetRefundSource(QStringLiteral("auto"));
    const std::string refused = FStandIn->Data().Accounts().at(0).userId;
    FStandIn->Top().SetRefundRefused(refused);
    const TRun run = RunOnce();
    ASSERT_TRUE(run.finished);
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    ExpectAllDeliveredOnce();
    EXPECT_EQ(run.out.count(QStringLiteral("无权调用淘宝开放平台维权订单接口,改用联盟维权报表")), 1)
        << run.out.toStdString();
    EXPECT_GT(ReportPages(*FStandIn), 0);
    EXPECT_GT(FStandIn->Top().Counters().value(QStringLiteral("refundPages")).toInteger(), 0);
}

} // namespace
