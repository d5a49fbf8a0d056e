#include "sync/agedOutOrders.h"

#include <gtest/gtest.h>

#include <set>

namespace {

TAgedOutOrders::TKey Ids(const char* AParent, const char* AChild)
{
    return {QLatin1String(AParent), QLatin1String(AChild)};
}

// One account's passes: what each found undelivered, whether it read the whole window, what is delivered by then.
struct TPassStep {
    std::vector<TAgedOutOrders::TKey> found;
    bool wholeWindow;
    std::set<TAgedOutOrders::TKey> delivered;
    int agedOut; // expected from this pass
    bool allDelivered = false; // the pass's batches were all accepted
};

struct TAgedCase {
    const char* name;
    std::vector<TPassStep> passes;
    int total;
};

class AgedOut : public ::testing::TestWithParam<TAgedCase> { };

TEST_P(AgedOut, CountsOrdersThatLeaveTheWindowUndeliveredOnce)
{
    TAgedOutOrders aged;
    int step = 0;
    for (const TPassStep& pass : GetParam().passes) {
        const auto delivered = [&pass](const TAgedOutOrders::TKey& AKey) { return pass.delivered.count(AKey) != 0; };
        EXPECT_EQ(aged.PassEnded(QStringLiteral("u1"), QStringLiteral("a"), pass.found, pass.wholeWindow,
                      pass.allDelivered, delivered),
            pass.agedOut)
            << "pass " << step++;
    }
    EXPECT_EQ(aged.Count(QStringLiteral("u1")), GetParam().total);
    EXPECT_EQ(aged.Count(QStringLiteral("u2")), 0);
}

const TAgedOutOrders::TKey kP1 {QStringLiteral("P1"), QStringLiteral("C1")};

INSTANTIATE_TEST_SUITE_P(Sync, AgedOut,
    ::testing::Values(
        TAgedCase {"GoneUndelivered", {{{Ids("P1", "C1")}, true, {}, 0}, {{}, true, {}, 1}, {{}, true, {}, 0}}, 1},
        TAgedCase {"GoneDelivered", {{{Ids("P1", "C1")}, true, {}, 0}, {{}, true, {kP1}, 0}}, 0},
        TAgedCase {"StillFound", {{{Ids("P1", "C1")}, true, {}, 0}, {{Ids("P1", "C1")}, true, {}, 0}}, 0},
        // A pass that read only what changed proves nothing about orders it did not see.
        TAgedCase {"PartialPassWaits",
            {{{Ids("P1", "C1")}, true, {}, 0}, {{}, false, {}, 0}, {{Ids("P2", "C2")}, true, {}, 1}}, 1},
        // Orders delivered by the pass that found them are not watched, even where the cache could not confirm
        // them later.
        TAgedCase {"DeliveredAtOnceIsNotWatched", {{{Ids("P1", "C1")}, true, {}, 0, true}, {{}, true, {}, 0}}, 0},
        TAgedCase {"FailedThenDeliveredIsDropped",
            {{{Ids("P1", "C1")}, true, {}, 0}, {{Ids("P1", "C1")}, true, {}, 0, true}, {{}, true, {}, 0}}, 0},
        // A failed order still ages out when a later pass delivered only other orders.
        TAgedCase {"OthersDeliveredKeepsTheFailedOne",
            {{{Ids("P1", "C1")}, true, {}, 0}, {{Ids("P2", "C2")}, true, {}, 1, true}}, 1},
        TAgedCase {"DeliveredPartialPassKeepsTheUnseen",
            {{{Ids("P1", "C1")}, true, {}, 0}, {{Ids("P2", "C2")}, false, {}, 0, true}, {{}, true, {}, 1}}, 1}),
    [](const auto& AInfo) { return std::string(AInfo.param.name); });

} // namespace
