#include "foundation/mainthreadcalls.h"

#include "foundation/mainthread.h"
#include "testwait.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// What the calls of one test did, kept outside the calls.
struct TLog {
    std::mutex lock;
    std::vector<int> ran;
    std::atomic<int> skipped {0};
    std::atomic<bool> offMain {false};

    std::vector<int> Ran()
    {
        std::scoped_lock guard(lock);
        return ran;
    }
};

class TRecordedCall : public TMainThreadCall {
public:
    TRecordedCall(TLog& ALog, int AId)
        : FLog(ALog)
        , FId(AId)
    {
    }
    ~TRecordedCall() override
    {
        if (!FRan)
            ++FLog.skipped;
    }
    void Run() override
    {
        FRan = true;
        if (!IsMainThread())
            FLog.offMain = true;
        std::scoped_lock guard(FLog.lock);
        FLog.ran.push_back(FId);
    }

private:
    TLog& FLog;
    const int FId;
    bool FRan = false;
};

bool RunQueuedCallsUntil(const std::function<bool()>& ACondition)
{
    return WaitForCondition(ACondition, kTestWaitLimit, true);
}

} // namespace

TEST(MainThread, IsTheApplicationsThreadOnly)
{
    EXPECT_TRUE(IsMainThread());
    bool elsewhere = true;
    std::thread([&] { elsewhere = IsMainThread(); }).join();
    EXPECT_FALSE(elsewhere);
}

TEST(MainThreadCalls, IsTheProcessWideBridgeForItsLifetime)
{
    EXPECT_EQ(MainThreadCalls(), nullptr);
    {
        TMainThreadCalls calls;
        EXPECT_EQ(MainThreadCalls(), &calls);
    }
    EXPECT_EQ(MainThreadCalls(), nullptr);
}

TEST(MainThreadCalls, CallsFromOtherThreadsRunOnTheMainThreadOldestFirst)
{
    TLog log;
    TMainThreadCalls calls;
    const int owner = 0;
    std::thread([&] {
        for (int i = 0; i < 5; ++i)
            calls.Post(&owner, std::make_unique<TRecordedCall>(log, i));
    }).join();
    EXPECT_TRUE(log.Ran().empty()); // only the main loop runs them
    ASSERT_TRUE(RunQueuedCallsUntil([&] { return log.Ran().size() == 5; }));
    EXPECT_EQ(log.Ran(), (std::vector<int> {0, 1, 2, 3, 4}));
    EXPECT_FALSE(log.offMain.load());
    EXPECT_EQ(log.skipped.load(), 0);
}

TEST(MainThreadCalls, SkipDropsOnlyTheOwnersCalls)
{
    TLog log;
    TMainThreadCalls calls;
    const int mine = 0;
    const int other = 0;
    calls.Post(&mine, std::make_unique<TRecordedCall>(log, 1));
    calls.Post(&other, std::make_unique<TRecordedCall>(log, 2));
    calls.Post(&mine, std::make_unique<TRecordedCall>(log, 3));
    calls.Skip(&mine);
    EXPECT_EQ(log.skipped.load(), 2);
    ASSERT_TRUE(RunQueuedCallsUntil([&] { return log.Ran().size() == 1; }));
    QCoreApplication::processEvents(); // the invocations of the skipped calls find nothing to run
    EXPECT_EQ(log.Ran(), std::vector<int> {2});
}

TEST(MainThreadCalls, CallsLeftWhenTheBridgeGoesAreSkipped)
{
    TLog log;
    const int owner = 0;
    {
        TMainThreadCalls calls;
        calls.Post(&owner, std::make_unique<TRecordedCall>(log, 1));
        calls.Post(&owner, std::make_unique<TRecordedCall>(log, 2));
    }
    EXPECT_EQ(log.skipped.load(), 2);
    // The old invocations are still queued and now meet a new bridge: its call still runs exactly once.
    TMainThreadCalls next;
    next.Post(&owner, std::make_unique<TRecordedCall>(log, 3));
    ASSERT_TRUE(RunQueuedCallsUntil([&] { return log.Ran().size() == 1; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(log.Ran(), std::vector<int> {3});
}
