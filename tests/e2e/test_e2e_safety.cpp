// The headless program against the stand-in services where a back end misbehaves on purpose: nothing may arrive
// twice, nothing may be counted as delivered that was not, and nobody else may hand the program a session.
#include "e2eFixture.h"

#include "standin/testservers.h"

#include <QElapsedTimer>

#include <csignal>

namespace {

long long FaultCounter(TStandIn& AStandIn, const char* AName)
{
    return AStandIn.Faults().Counters().value(QLatin1String(AName)).toInteger();
}

// The intake applies a batch and answers seconds later: a post cut at the end would make the next run send it
// again.
TEST_F(TEndToEnd, SigtermDuringASlowPostWaitsForItAndTheNextRunSendsNothingTwice)
{
    Prepare(false, true, 1);
    TFaultSettings slow;
    slow.latencyMs = 3000;
    slow.hosts = 1u << static_cast<unsigned>(TStandInHost::Intake);
    FStandIn->Faults().Set(slow);
    Start();
    ASSERT_TRUE(WaitForCondition([this] { return FaultCounter(*FStandIn, "delayed") > 0; }, std::chrono::seconds(60)));
    ::kill(static_cast<pid_t>(FProcess.processId()), SIGTERM);
    const TRun stopped = Finish();
    ASSERT_TRUE(stopped.finished);
    EXPECT_EQ(FaultCounter(*FStandIn, "delayed"), 1) << "a batch started after the end began";
    EXPECT_EQ(Count("invalidOrders", "batches"), 1);

    FStandIn->Faults().Set(TFaultSettings());
    const TRun next = RunOnce();
    ASSERT_TRUE(next.finished);
    ASSERT_EQ(next.exitCode, 0) << next.err.toStdString();
    ExpectAllDeliveredOnce();
}

// An intake that redirects elsewhere: the other host's {"code":200} must not count as a delivery.
TEST_F(TEndToEnd, IntakeAnswering302DeliversNothingElsewhereAndTheNextRunDeliversAll)
{
    Prepare(false, true, 1);
    TTestServer elsewhere;
    elsewhere.Get(".*", TTestServer::Reply(200, R"({"code":200,"msg":"ok"})"));
    elsewhere.Post(".*", TTestServer::Reply(200, R"({"code":200,"msg":"ok"})"));
    elsewhere.Start();
    TFaultSettings redirect;
    redirect.redirectStatus = 302;
    redirect.redirectTo = elsewhere.BaseUrl().toStdString() + "/orders/tborder/invalid/push";
    redirect.hosts = 1u << static_cast<unsigned>(TStandInHost::Intake);
    FStandIn->Faults().Set(redirect);
    const TRun redirected = RunOnce();
    ASSERT_TRUE(redirected.finished);
    EXPECT_GT(FaultCounter(*FStandIn, "redirected"), 0);
    EXPECT_EQ(elsewhere.RequestCount(), 0u);
    EXPECT_TRUE(FStandIn->Ledger().ReceivedOrders().empty());

    FStandIn->Faults().Set(TFaultSettings());
    const TRun next = RunOnce();
    ASSERT_TRUE(next.finished);
    ASSERT_EQ(next.exitCode, 0) << next.err.toStdString();
    ExpectAllDeliveredOnce();
}

} // namespace
