// The headless program against failing stand-in services: runs repeated until everything is in.
#include "e2eFixture.h"

#include <iostream>

namespace {

TEST_F(TEndToEnd, RepeatedRunsThroughFaultsDeliverEveryOrderAndNoBatchTwice)
{
    // One account and few orders keep the number of runs small. The faults hit the report, the session probes and
    // the batch posts of invalid orders. The operator service stays sound, or nearly every run would end at its
    // sign-in and the report's later pages (reached only through every page before them) would take many times
    // as many runs; so does the TOP gateway, whose failed pages are asked again after a back-off, which at this
    // share of failures makes one run last half a minute (the gateway's faults have tests of their own on a
    // simulated clock).
    Prepare(false, false, 1, 1);
    TFaultSettings faults;
    faults.errorShare = 1.0 / 3;
    faults.dropShare = 0.05;
    ASSERT_TRUE(TFaultSettings::ParseHosts("intake,publisher,media", faults.hosts));
    FStandIn->Faults().Set(faults);

    const std::set<TStandInLedger::TKey> expectedOrders = ExpectedOrders();
    const std::set<TStandInLedger::TKey> expectedRefunds = ExpectedRefunds();
    const auto complete = [&] {
        const auto orders = FStandIn->Ledger().ReceivedOrders();
        const auto refunds = FStandIn->Ledger().ReceivedRefunds();
        return std::includes(orders.begin(), orders.end(), expectedOrders.begin(), expectedOrders.end())
            && std::includes(refunds.begin(), refunds.end(), expectedRefunds.begin(), expectedRefunds.end());
    };
    // Each run fails somewhere with high odds; the bound is far above what the shares need.
    constexpr int kMostRuns = 60;
    int runs = 0;
    for (; runs < kMostRuns && !complete(); ++runs) {
        const TRun run = RunOnce();
        ASSERT_TRUE(run.finished) << "run " << runs;
        // A refused or failed sign-in ends a run with an error, a refused batch fails its account's pass (4); the
        // next run starts over.
        EXPECT_TRUE(run.exitCode == 0 || run.exitCode == 1 || run.exitCode == 4)
            << run.exitCode << run.err.toStdString();
    }
    EXPECT_TRUE(complete()) << "after " << runs << " runs: " << FStandIn->Ledger().ReceivedOrders().size() << " of "
                            << expectedOrders.size() << " orders, " << FStandIn->Ledger().ReceivedRefunds().size()
                            << " of " << expectedRefunds.size() << " refunds";
    const QJsonObject counters = FStandIn->Faults().Counters();
    EXPECT_GT(counters.value(QStringLiteral("errors")).toInteger(), 0);
    EXPECT_GT(counters.value(QStringLiteral("dropped")).toInteger(), 0);

    FStandIn->Faults().Set(TFaultSettings());
    const TRun clean = RunOnce();
    ASSERT_EQ(clean.exitCode, 0) << clean.err.toStdString();
    ExpectAllDeliveredOnce();
    std::cout << "[          ] delivered through faults in " << runs << " runs\n";
}

// A gateway that fails every request (a trickle or a stall ends the same way, only slower) is down for the rest of
// the pass after a few failures in a row: the other accounts fail at once instead of spending a time-out on every
// slice; it is said once, and the next run tries again and delivers everything.
TEST_F(TEndToEnd, AGatewayFailingEveryRequestIsDownForTheRestOfThePass)
{
    Prepare(false, false, 3);
    TFaultSettings failing;
    failing.errorShare = 1;
    failing.hosts = 1u << static_cast<unsigned>(TStandInHost::Top);
    FStandIn->Faults().Set(failing);
    const TRun down = RunOnce(false);
    ASSERT_TRUE(down.finished);
    EXPECT_EQ(down.exitCode, 4) << down.err.toStdString();
    EXPECT_EQ(FStandIn->Faults().Counters().value(QStringLiteral("errors")).toInteger(), 4);
    EXPECT_EQ(down.out.count(QStringLiteral("本次同步的其余请求不再发出")), 1) << down.out.toStdString();
    for (const TDemoAccount& account : FStandIn->Data().Accounts())
        EXPECT_TRUE(down.err.contains(QString::fromStdString(account.userName))) << down.err.toStdString();

    FStandIn->Faults().Set(TFaultSettings());
    const TRun next = RunOnce(false);
    ASSERT_TRUE(next.finished);
    ASSERT_EQ(next.exitCode, 0) << next.err.toStdString();
    const std::set<TStandInLedger::TKey> received = FStandIn->Ledger().ReceivedOrders();
    const std::set<TStandInLedger::TKey> expected = ExpectedOrders();
    EXPECT_TRUE(std::includes(received.begin(), received.end(), expected.begin(), expected.end()));
}

} // namespace
