#include "foundation/mainthreadcalls.h"

#include "foundation/mainthread.h"
#include "testwait.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
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

// Records its id, then does what it was given (on the main thread).
class TRecordedThenCall : public TRecordedCall {
public:
    TRecordedThenCall(TLog& ALog, int AId, std::function<void()> AThen)
        : TRecordedCall(ALog, AId)
        , FThen(std::move(AThen))
    {
    }
    void Run() override
    {
        TRecordedCall::Run();
        FThen();
    }

private:
    std::function<void()> FThen;
};

// Counts the queued invocations that the main thread's loop delivers while it exists.
class TQueuedInvocations : public QObject {
public:
    TQueuedInvocations() { QCoreApplication::instance()->installEventFilter(this); }
    ~TQueuedInvocations() override { QCoreApplication::instance()->removeEventFilter(this); }
    int Count() const { return FCount; }

protected:
    bool eventFilter(QObject* AWatched, QEvent* AEvent) override
    {
        if (AEvent->type() == QEvent::MetaCall)
            ++FCount;
        return QObject::eventFilter(AWatched, AEvent);
    }

private:
    int FCount = 0;
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
    // The old bridge's wake-up went with it; a new bridge's call still runs exactly once.
    TMainThreadCalls next;
    next.Post(&owner, std::make_unique<TRecordedCall>(log, 3));
    ASSERT_TRUE(RunQueuedCallsUntil([&] { return log.Ran().size() == 1; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(log.Ran(), std::vector<int> {3});
}

// The poster posts one call at a time and waits until it has run, still running meanwhile and never joined before the
// end: only the bridge orders what the poster wrote before posting before what the main thread reads, and nothing the
// poster allocated while posting may be freed on the main thread unordered (ThreadSanitizer checks both).
TEST(MainThreadCalls, ARunningThreadHandsOverWhatItWroteBeforePosting)
{
    constexpr int kCalls = 20;
    struct TPayloadCall : TMainThreadCall {
        TPayloadCall(std::vector<std::string>& ASeen, std::string AText, std::promise<void>& ARan)
            : seen(ASeen)
            , text(std::move(AText))
            , ran(ARan)
        {
        }
        void Run() override
        {
            seen.push_back(text);
            ran.set_value();
        }
        std::vector<std::string>& seen;
        std::string text;
        std::promise<void>& ran;
    };
    const auto text = [](int AIndex) { return std::string(64, static_cast<char>('a' + AIndex)); };
    std::vector<std::string> seen; // the main thread's only
    std::vector<std::promise<void>> ran(kCalls);
    TMainThreadCalls calls;
    const int owner = 0;
    std::thread poster([&] {
        for (int i = 0; i < kCalls; ++i) {
            std::future<void> done = ran[i].get_future();
            calls.Post(&owner, std::make_unique<TPayloadCall>(seen, text(i), ran[i]));
            done.wait();
        }
    });
    // Posted events are delivered straight from the queue, never through the event loop's wake-up file, whose
    // reads and writes ThreadSanitizer would take for an order of their own.
    const bool allRan = WaitForCondition([&] {
        QCoreApplication::sendPostedEvents();
        return seen.size() == kCalls;
    });
    poster.join();
    ASSERT_TRUE(allRan);
    for (int i = 0; i < kCalls; ++i)
        EXPECT_EQ(seen[i], text(i)) << i;
}

TEST(MainThreadCalls, ABurstOfCallsCostsOneQueuedInvocation)
{
    TLog log;
    TMainThreadCalls calls;
    const int owner = 0;
    const TQueuedInvocations invocations;
    std::thread([&] {
        for (int i = 0; i < 100; ++i)
            calls.Post(&owner, std::make_unique<TRecordedCall>(log, i));
    }).join();
    ASSERT_TRUE(RunQueuedCallsUntil([&] { return log.Ran().size() == 100; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(invocations.Count(), 1);
}

// What the calls of one turn do to the queue: post (the new call waits for the next turn), skip (the skipped calls
// never run), throw (the calls after it still run, on a turn of their own).
TEST(MainThreadCalls, EachTurnRunsTheCallsQueuedWhenItStarts)
{
    TLog log;
    TMainThreadCalls calls;
    const int mine = 0;
    const int other = 0;
    calls.Post(&mine, std::make_unique<TRecordedThenCall>(log, 1, [&] {
        calls.Post(&mine, std::make_unique<TRecordedCall>(log, 4));
        calls.Skip(&other);
    }));
    calls.Post(&other, std::make_unique<TRecordedCall>(log, 2));
    calls.Post(&mine, std::make_unique<TRecordedCall>(log, 3));
    calls.RunQueued();
    EXPECT_EQ(log.Ran(), (std::vector<int> {1, 3}));
    EXPECT_EQ(log.skipped.load(), 1);
    ASSERT_TRUE(RunQueuedCallsUntil([&] { return log.Ran().size() == 3; }));
    EXPECT_EQ(log.Ran(), (std::vector<int> {1, 3, 4}));

    calls.Post(&mine, std::make_unique<TRecordedThenCall>(log, 5, [] { throw std::runtime_error("call fault"); }));
    calls.Post(&mine, std::make_unique<TRecordedCall>(log, 6));
    EXPECT_THROW(calls.RunQueued(), std::runtime_error);
    ASSERT_TRUE(RunQueuedCallsUntil([&] { return log.Ran().size() == 5; }));
    EXPECT_EQ(log.Ran(), (std::vector<int> {1, 3, 4, 5, 6}));
    EXPECT_FALSE(log.offMain.load());
}
