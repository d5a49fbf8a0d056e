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
    EXPECT_EQ(stopped.exitCode, 0) << stopped.err.toStdString();
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
    EXPECT_EQ(stopped.exitCode, 0) << stopped.err.toStdString();
}

} // namespace
