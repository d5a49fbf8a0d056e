#include "foundation/qworker.h"

#include "foundation/mainthreadcalls.h"
#include "foundation/qmsgpack.h"
#include "testwait.h"

#include <QCoreApplication>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr auto KLimit = kTestWaitLimit;

// Waits for a condition while letting the main thread's queued calls run.
bool WaitUntil(const std::function<bool()>& ACondition, std::chrono::milliseconds ALimit = KLimit)
{
    return WaitForCondition(ACondition, ALimit, true);
}

// The same, without running the main thread's queued calls.
bool WaitWithoutEvents(const std::function<bool()>& ACondition)
{
    return WaitForCondition(ACondition);
}

// Waits, with a bound, until a repeating job of ADelay queued now has run ARuns times: by then a job of the same
// delay queued before it would have run at least once as well.
bool WaitForWitnessRuns(TQWorkers& AWorkers, qint64 ADelay, int ARuns)
{
    std::atomic<int> runs {0};
    const intptr_t witness = AWorkers.Delay([&](TQJob*) { ++runs; }, ADelay, {}, false, true);
    const bool ran = WaitUntil([&] { return runs.load() >= ARuns; });
    AWorkers.ClearSingleJob(witness, true);
    return ran;
}

bool OnMainThread()
{
    return QThread::currentThread() == QCoreApplication::instance()->thread();
}

// A gate that jobs wait at until the test opens it.
class TGate {
public:
    void Open()
    {
        {
            std::scoped_lock lock(FLock);
            FOpen = true;
        }
        FCond.notify_all();
    }
    void Pass()
    {
        std::unique_lock lock(FLock);
        FCond.wait_for(lock, KLimit, [this] { return FOpen; });
    }

private:
    std::mutex FLock;
    std::condition_variable FCond;
    bool FOpen = false;
};

// Names in the order jobs added them.
class TOrder {
public:
    void Add(char AName)
    {
        std::scoped_lock lock(FLock);
        FNames.push_back(AName);
    }
    std::vector<char> Get()
    {
        std::scoped_lock lock(FLock);
        return FNames;
    }

private:
    std::mutex FLock;
    std::vector<char> FNames;
};

// An object whose methods are job procedures.
class TTarget {
public:
    void Run(TQJob* AJob)
    {
        LastData.store(AJob->Data());
        OnMain.store(OnMainThread());
        ++Runs;
    }
    void Other(TQJob*) { ++OtherRuns; }

    std::atomic<int> Runs {0};
    std::atomic<int> OtherRuns {0};
    std::atomic<void*> LastData {nullptr};
    std::atomic<bool> OnMain {false};
};

// A payload that counts its destruction.
struct TPayload {
    explicit TPayload(std::atomic<int>& ADestroyed)
        : Destroyed(ADestroyed)
    {
    }
    ~TPayload() { ++Destroyed; }
    std::atomic<int>& Destroyed;
    int Value = 42;
};

TQWorkersTiming FastTiming()
{
    TQWorkersTiming timing;
    timing.FireTimeout = 100;
    return timing;
}

class QWorkers : public ::testing::Test {
protected:
    ~QWorkers() override { Gate.Open(); } // before the scheduler waits for its jobs

    // These outlive the scheduler's jobs, also when a test fails half-way.
    TTarget Target;
    TGate Gate;
    std::atomic<int> Started {0};
    std::atomic<int> Finished {0};
    TMainThreadCalls MainCalls; // as the program entry does: before the scheduler, gone after it
    TQWorkers Workers {2, FastTiming()};
};

} // namespace

TEST_F(QWorkers, PostRunsOnceOnAWorkerOrOnTheMainThread)
{
    int data = 0;
    const intptr_t handle = Workers.Post(TQJobProc(&Target, &TTarget::Run), &data);
    ASSERT_NE(handle, 0);
    EXPECT_EQ(handle & 3, 0);
    ASSERT_TRUE(WaitUntil([&] { return Target.Runs.load() == 1; }));
    EXPECT_EQ(Target.LastData.load(), &data);
    EXPECT_FALSE(Target.OnMain.load());

    ASSERT_NE(Workers.Post(TQJobProc(&Target, &TTarget::Run), nullptr, true), 0);
    ASSERT_TRUE(WaitUntil([&] { return Target.Runs.load() == 2; }));
    EXPECT_TRUE(Target.OnMain.load());
    EXPECT_EQ(Target.LastData.load(), nullptr);

    std::atomic<bool> lambdaRan {false};
    ASSERT_NE(Workers.Post([&](TQJob*) { lambdaRan = true; }), 0);
    ASSERT_TRUE(WaitUntil([&] { return lambdaRan.load(); }));
}

TEST_F(QWorkers, HandlesTellTheQueuesApart)
{
    struct TCase {
        const char* name;
        std::function<intptr_t()> post;
        intptr_t kind;
    };
    const TCase cases[] = {
        {"post", [&] { return Workers.Post(TQJobProc(&Target, &TTarget::Other)); }, 0},
        {"delay 0 once", [&] { return Workers.Delay(TQJobProc(&Target, &TTarget::Other), 0); }, 0},
        {"delay once", [&] { return Workers.Delay(TQJobProc(&Target, &TTarget::Other), 100 * Q1Second); }, 1},
        {"delay repeat",
            [&] { return Workers.Delay(TQJobProc(&Target, &TTarget::Other), 100 * Q1Second, {}, false, true); }, 1},
        {"lambda delay", [&] { return Workers.Delay([](TQJob*) {}, 100 * Q1Second, {}, false, true); }, 1},
    };
    for (const TCase& c : cases) {
        const intptr_t handle = c.post();
        EXPECT_NE(handle, 0) << c.name;
        EXPECT_EQ(handle & 3, c.kind) << c.name;
    }
}

TEST_F(QWorkers, PostsWithoutAProcedureAreRefusedAndReleaseTheirData)
{
    std::atomic<int> destroyed {0};
    EXPECT_EQ(Workers.Post(TQJobProcA(), std::make_unique<TPayload>(destroyed)), 0);
    EXPECT_EQ(destroyed.load(), 1);
    EXPECT_EQ(Workers.Delay(TQJobProc(), 10, std::make_unique<TPayload>(destroyed), false, true), 0);
    EXPECT_EQ(destroyed.load(), 2);
}

TEST_F(QWorkers, InsertFirstJobsGoToTheHeadOfTheQueue)
{
    // Occupy every worker, so that the queue fills; then free one worker, which takes the queue in order.
    const int workers = Workers.MaxWorkers();
    std::vector<std::shared_ptr<TGate>> gates;
    auto started = std::make_shared<std::atomic<int>>(0);
    for (int i = 0; i < workers; ++i) {
        gates.push_back(std::make_shared<TGate>());
        Workers.Post([started, gate = gates.back()](TQJob*) {
            ++*started;
            gate->Pass();
        });
    }
    ASSERT_TRUE(WaitUntil([&] { return started->load() == workers; }));
    EXPECT_EQ(Workers.WorkerCount(), workers);

    auto order = std::make_shared<TOrder>();
    Workers.Post([order](TQJob*) { order->Add('a'); });
    Workers.Post([order](TQJob*) { order->Add('b'); });
    Workers.Post([order](TQJob*) { order->Add('c'); }, {}, false, true);
    gates[0]->Open();
    ASSERT_TRUE(WaitUntil([&] { return order->Get().size() == 3; }));
    EXPECT_EQ(order->Get(), (std::vector<char> {'c', 'a', 'b'}));
    for (auto& gate : gates)
        gate->Open();
}

TEST_F(QWorkers, ThePoolGrowsToItsLimitAndSpareWorkersRetire)
{
    EXPECT_EQ(Workers.WorkerCount(), 2);
    const int max = Workers.MaxWorkers();
    for (int i = 0; i < max + 2; ++i) {
        Workers.Post([this](TQJob*) {
            ++Started;
            Gate.Pass();
            ++Finished;
        });
    }
    ASSERT_TRUE(WaitUntil([&] { return Started.load() == max; }));
    EXPECT_EQ(Workers.WorkerCount(), max);
    EXPECT_EQ(Started.load(), max); // the rest wait in the queue: no worker beyond the limit
    Gate.Open();
    ASSERT_TRUE(WaitUntil([&] { return Finished.load() == max + 2; }));
    ASSERT_TRUE(WaitUntil([&] { return Workers.WorkerCount() == Workers.MinWorkers(); }));
}

TEST_F(QWorkers, ADelayedJobFallsDueWhileEveryWorkerIsBusy)
{
    // The pool must not wait for a busy worker to notice that a delayed job is due.
    for (int i = 0; i < Workers.MinWorkers(); ++i) {
        Workers.Post([this](TQJob*) {
            ++Started;
            Gate.Pass();
        });
    }
    ASSERT_TRUE(WaitUntil([&] { return Started.load() == Workers.MinWorkers(); }));
    std::atomic<bool> ran {false};
    Workers.Delay([&](TQJob*) { ran = true; }, 1 * Q1MillSecond);
    ASSERT_TRUE(WaitUntil([&] { return ran.load(); }));
    EXPECT_LE(Workers.WorkerCount(), Workers.MaxWorkers());
}

// An idle worker that watches the clock for a far delayed job is still one of the idle workers: jobs posted in a
// burst reach it too, instead of waiting in the queue for the delay to pass.
TEST_F(QWorkers, TheWorkerWatchingTheClockTakesJobsToo)
{
    const intptr_t far = Workers.Delay([](TQJob*) {}, 100 * Q1Second, {}, false, true);
    // Once a job has run and no worker is busy, one worker waits for the clock and the other for jobs.
    std::atomic<bool> ran {false};
    Workers.Post([&ran](TQJob*) { ran = true; });
    ASSERT_TRUE(WaitUntil([&] { return ran.load() && Workers.BusyCount() == 0; }));
    // Each job runs until it has seen every one of them start: they must run side by side.
    const int jobs = Workers.MinWorkers();
    for (int i = 0; i < jobs; ++i) {
        Workers.Post([this, jobs](TQJob*) {
            ++Started;
            if (WaitWithoutEvents([&] { return Started.load() == jobs; }))
                ++Finished;
        });
    }
    ASSERT_TRUE(WaitUntil([&] { return Started.load() == jobs && Workers.BusyCount() == 0; }));
    EXPECT_EQ(Finished.load(), jobs);
    Workers.ClearSingleJob(far, true);
}

TEST(QWorkersPoolSize, MinimumAndMaximum)
{
    const int top = 2 * std::max(1, QThread::idealThreadCount()) + 1;
    struct TCase {
        int minArg;
        int min;
        int max;
    };
    const TCase cases[] = {
        {0, 2, top},
        {-3, 2, top},
        {1, 1, top},
        {top - 1, top - 1, top},
        {top, top, 2 * top + 1},
    };
    for (const TCase& c : cases) {
        TQWorkers workers(c.minArg, FastTiming());
        EXPECT_EQ(workers.MinWorkers(), c.min) << c.minArg;
        EXPECT_EQ(workers.WorkerCount(), c.min) << c.minArg;
        EXPECT_EQ(workers.MaxWorkers(), c.max) << c.minArg;
    }
}

TEST_F(QWorkers, DelayedJobRunsOnceAfterItsDelay)
{
    constexpr qint64 delay = 30 * Q1MillSecond;
    std::atomic<qint64> ranAt {0};
    const qint64 postedAt = QJobNow();
    Workers.Delay([&](TQJob*) { ranAt = QJobNow(); }, delay);
    ASSERT_TRUE(WaitUntil([&] { return ranAt.load() != 0; }));
    EXPECT_GE(ranAt.load(), postedAt + delay);
}

TEST_F(QWorkers, RepeatingJobPausesAFullDelayAfterEachRunAndNeverOverlaps)
{
    // Each run lasts longer than the delay, so a schedule counted from the start would overlap.
    constexpr qint64 delay = 10 * Q1MillSecond;
    constexpr auto runTime = 25ms;
    std::mutex lock;
    std::vector<std::pair<qint64, qint64>> runs;
    std::atomic<bool> running {false};
    std::atomic<bool> overlapped {false};
    const qint64 postedAt = QJobNow();
    const intptr_t handle = Workers.Delay(
        [&](TQJob*) {
            if (running.exchange(true))
                overlapped = true;
            const qint64 start = QJobNow();
            std::this_thread::sleep_for(runTime);
            running = false;
            std::scoped_lock guard(lock);
            runs.emplace_back(start, QJobNow());
        },
        delay, {}, false, true);
    ASSERT_TRUE(WaitUntil([&] {
        std::scoped_lock guard(lock);
        return runs.size() >= 4;
    }));
    Workers.ClearSingleJob(handle, true);
    EXPECT_FALSE(overlapped.load());
    std::scoped_lock guard(lock);
    EXPECT_GE(runs[0].first, postedAt + delay); // never at once
    for (std::size_t k = 1; k < runs.size(); ++k)
        EXPECT_GE(runs[k].first, runs[k - 1].second + delay) << "run " << k;
}

TEST_F(QWorkers, RepeatingJobKeepsItsRunCountAndData)
{
    std::atomic<int> destroyed {0};
    std::atomic<int> seen {0};
    std::atomic<int> lastRuns {-1};
    const intptr_t handle = Workers.Delay(
        [&](TQJob* AJob) {
            if (AJob->DataAs<TPayload>()->Value == 42)
                ++seen;
            lastRuns = AJob->Runs();
        },
        1 * Q1MillSecond, std::make_unique<TPayload>(destroyed), false, true);
    ASSERT_TRUE(WaitUntil([&] { return seen.load() >= 3; }));
    EXPECT_EQ(destroyed.load(), 0); // the copies that ran never owned it
    Workers.ClearSingleJob(handle, true);
    EXPECT_EQ(destroyed.load(), 1);
    EXPECT_GE(lastRuns.load(), 2);
}

TEST_F(QWorkers, ClearSingleJobOfARunningRepeatingJobWaitsAndStopsIt)
{
    std::atomic<int> runs {0};
    std::atomic<bool> started {false};
    std::atomic<bool> sawStop {false};
    std::atomic<bool> finished {false};
    const intptr_t handle = Workers.Delay(
        [&](TQJob* AJob) {
            ++runs;
            started = true;
            WaitWithoutEvents([&] { return AJob->IsStopRequested(); });
            sawStop = AJob->IsStopRequested();
            std::this_thread::sleep_for(5ms);
            finished = true;
        },
        1 * Q1MillSecond, {}, false, true);
    ASSERT_TRUE(WaitUntil([&] { return started.load(); }));
    Workers.ClearSingleJob(handle, true);
    EXPECT_TRUE(finished.load()); // returned only after the run ended
    EXPECT_TRUE(sawStop.load());
    ASSERT_TRUE(WaitForWitnessRuns(Workers, 1 * Q1MillSecond, 3)); // it would have run again by now
    EXPECT_EQ(runs.load(), 1);
}

TEST_F(QWorkers, ClearSingleJobOfAnIdleRepeatingJobReturnsAtOnce)
{
    std::atomic<int> runs {0};
    const intptr_t handle = Workers.Delay([&](TQJob*) { ++runs; }, 20 * Q1MillSecond, {}, false, true);
    Workers.ClearSingleJob(handle, true);
    Workers.ClearSingleJob(handle, true); // no longer queued: nothing
    ASSERT_TRUE(WaitForWitnessRuns(Workers, 20 * Q1MillSecond, 2));
    EXPECT_EQ(runs.load(), 0);
}

TEST_F(QWorkers, ClearSingleJobRemovesAQueuedRunOnceJob)
{
    for (int i = 0; i < Workers.MaxWorkers(); ++i)
        Workers.Post([this](TQJob*) {
            ++Started;
            Gate.Pass();
            ++Finished;
        });
    ASSERT_TRUE(WaitUntil([&] { return Started.load() == Workers.MaxWorkers(); }));
    std::atomic<int> destroyed {0};
    const intptr_t handle = Workers.Post(TQJobProc(&Target, &TTarget::Run), std::make_unique<TPayload>(destroyed));
    Workers.ClearSingleJob(handle, false);
    EXPECT_EQ(destroyed.load(), 1);
    Gate.Open();
    ASSERT_TRUE(WaitUntil([&] { return Finished.load() == Workers.MaxWorkers(); }));
    EXPECT_EQ(Target.Runs.load(), 0);
}

// A handle kept after its job ended must not reach a later job like it: clearing it again removes nothing, whichever
// queue the handle named.
TEST_F(QWorkers, AStaleHandleClearsNothing)
{
    std::atomic<int> destroyed {0};
    std::atomic<int> runs {0};
    const auto job = [&runs](TQJob*) { ++runs; };

    // the delayed jobs: the first job is cleared, then a job like it is posted
    const intptr_t stale = Workers.Delay(job, 100 * Q1Second, std::make_unique<TPayload>(destroyed), false, true);
    Workers.ClearSingleJob(stale, false);
    ASSERT_EQ(destroyed.load(), 1);
    const intptr_t current = Workers.Delay(job, 100 * Q1Second, std::make_unique<TPayload>(destroyed), false, true);
    EXPECT_NE(current, stale);
    Workers.ClearSingleJob(stale, true);
    EXPECT_EQ(destroyed.load(), 1) << "the stale handle removed the new job";
    Workers.ClearSingleJob(current, true);
    EXPECT_EQ(destroyed.load(), 2);

    // the run-once queue, held up behind busy workers
    for (int i = 0; i < Workers.MaxWorkers(); ++i)
        Workers.Post([this](TQJob*) {
            ++Started;
            Gate.Pass();
            ++Finished;
        });
    ASSERT_TRUE(WaitUntil([&] { return Started.load() == Workers.MaxWorkers(); }));
    const intptr_t staleOnce = Workers.Post(job, std::make_unique<TPayload>(destroyed));
    Workers.ClearSingleJob(staleOnce, false);
    ASSERT_EQ(destroyed.load(), 3);
    Workers.Post(job, std::make_unique<TPayload>(destroyed));
    Workers.ClearSingleJob(staleOnce, false);
    EXPECT_EQ(destroyed.load(), 3) << "the stale handle removed the new job";
    Gate.Open();
    ASSERT_TRUE(WaitUntil([&] { return runs.load() == 1 && destroyed.load() == 4; }));
}

TEST_F(QWorkers, ClearingOneOfTwoRunningRepeatingJobsLeavesTheOther)
{
    struct TRuns {
        std::atomic<int> runs {0};
        std::atomic<bool> sawStop {false};
    } a, b;
    std::atomic<bool> open {false};
    // The first run of each lasts until the gate opens or it is told to stop.
    const auto job = [&open](TRuns& ARuns) {
        return [&open, &ARuns](TQJob* AJob) {
            if (++ARuns.runs == 1) {
                WaitWithoutEvents([&] { return open.load() || AJob->IsStopRequested(); });
                ARuns.sawStop = AJob->IsStopRequested();
            }
        };
    };
    const intptr_t handleA = Workers.Delay(job(a), 1 * Q1MillSecond, {}, false, true);
    Workers.Delay(job(b), 1 * Q1MillSecond, {}, false, true);
    ASSERT_TRUE(WaitUntil([&] { return a.runs.load() == 1 && b.runs.load() == 1; }));
    Workers.ClearSingleJob(handleA, true);
    EXPECT_TRUE(a.sawStop.load());
    open = true;
    ASSERT_TRUE(WaitUntil([&] { return b.runs.load() >= 3; }));
    EXPECT_FALSE(b.sawStop.load());
    EXPECT_EQ(a.runs.load(), 1);
}

TEST_F(QWorkers, ClearMatchesObjectMethodAndData)
{
    TTarget other;
    int d1 = 0;
    int d2 = 0;
    const TQJobProc run(&Target, &TTarget::Run);
    const auto queue = [&] {
        Workers.Delay(run, 100 * Q1Second, &d1, false, true);
        Workers.Delay(run, 100 * Q1Second, &d2, false, true);
        Workers.Delay(run, 100 * Q1Second, nullptr);
        Workers.Delay(TQJobProc(&other, &TTarget::Run), 100 * Q1Second, &d1, false, true);
        Workers.Delay(TQJobProc(&Target, &TTarget::Other), 100 * Q1Second, &d1, false, true);
    };
    struct TCase {
        const char* name;
        const void* data;
        int maxTimes;
        int removed;
    };
    const TCase cases[] = {
        {"one data", &d1, -1, 1},
        {"null data", nullptr, -1, 1},
        {"any data", TQWorkers::AnyData, -1, 3},
        {"any data, at most 2", TQWorkers::AnyData, 2, 2},
        {"nothing matches", &other, -1, 0},
    };
    for (const TCase& c : cases) {
        queue();
        EXPECT_EQ(Workers.Clear(run, c.data, c.maxTimes, true), c.removed) << c.name;
        // what is left: the other jobs of the method, the other object's, the other method's
        EXPECT_EQ(Workers.Clear(run, TQWorkers::AnyData), 3 - c.removed) << c.name;
        EXPECT_EQ(Workers.Clear(TQJobProc(&other, &TTarget::Run), TQWorkers::AnyData), 1) << c.name;
        EXPECT_EQ(Workers.Clear(TQJobProc(&Target, &TTarget::Other), TQWorkers::AnyData), 1) << c.name;
    }
}

TEST_F(QWorkers, ClearOnTheMainThreadRunsNoEventLoopWhileItWaits)
{
    // A main-thread job queued before the wait stays queued through it: no click or call runs inside the wait. The
    // running job ends only once the Clear has asked it to stop, so the Clear surely waits.
    std::atomic<bool> mainJobRan {false};
    std::atomic<bool> started {false};
    std::atomic<bool> finished {false};
    struct TWorker {
        std::atomic<bool>* started;
        std::atomic<bool>* finished;
        void Run(TQJob* AJob)
        {
            *started = true;
            WaitWithoutEvents([AJob] { return AJob->IsStopRequested(); });
            *finished = true;
        }
    } worker {&started, &finished};
    Workers.Post([&mainJobRan](TQJob*) { mainJobRan = true; }, {}, true);
    Workers.Post(TQJobProc(&worker, &TWorker::Run));
    ASSERT_TRUE(WaitWithoutEvents([&] { return started.load(); }));
    EXPECT_EQ(Workers.Clear(TQJobProc(&worker, &TWorker::Run), nullptr, -1, true), 0);
    EXPECT_TRUE(finished.load()); // it waited for the running job
    EXPECT_FALSE(mainJobRan.load()); // and ran no event loop meanwhile
    ASSERT_TRUE(WaitUntil([&] { return mainJobRan.load(); })); // the main-thread job runs in the loop, later
}

TEST_F(QWorkers, ClearOnTheMainThreadDropsTheWaitForAMainThreadJobAndSkipsIt)
{
    Workers.Post(TQJobProc(&Target, &TTarget::Run), nullptr, true);
    ASSERT_TRUE(WaitWithoutEvents([&] { return Workers.MainThreadJobs() == 1; }));
    Workers.Clear(TQJobProc(&Target, &TTarget::Run), TQWorkers::AnyData, -1, true); // must not hang
    ASSERT_TRUE(WaitUntil([&] { return Workers.MainThreadJobs() == 0; }));
    EXPECT_EQ(Target.Runs.load(), 0);
}

// A worker hands a main-thread job over and goes back to the queue: with more main-thread jobs waiting for the
// main thread than there can be workers, a worker job still runs, and the main-thread jobs still count as running.
TEST_F(QWorkers, MainThreadJobsWaitingForTheMainThreadHoldNoWorker)
{
    const int waiting = Workers.MaxWorkers() + 1;
    for (int i = 0; i < waiting; ++i)
        Workers.Post(TQJobProc(&Target, &TTarget::Run), nullptr, true);
    ASSERT_TRUE(WaitWithoutEvents([&] { return Workers.MainThreadJobs() == waiting; }));
    Workers.Post(TQJobProc(&Target, &TTarget::Other));
    ASSERT_TRUE(WaitWithoutEvents([&] { return Target.OtherRuns.load() == 1; }));
    EXPECT_EQ(Target.Runs.load(), 0);
    ASSERT_TRUE(WaitWithoutEvents([&] { return Workers.BusyCount() == 0; }));

    // A Clear off the main thread waits for them until the main thread has run them.
    std::atomic<bool> cleared {false};
    Workers.Post([&](TQJob* AJob) {
        AJob->Owner()->Clear(TQJobProc(&Target, &TTarget::Run), TQWorkers::AnyData, -1, true);
        cleared = true;
    });
    ASSERT_TRUE(WaitWithoutEvents([&] { return Workers.BusyCount() == 1; }));
    EXPECT_FALSE(cleared.load());
    ASSERT_TRUE(WaitUntil([&] { return cleared.load(); }));
    EXPECT_EQ(Workers.MainThreadJobs(), 0);
    EXPECT_EQ(Target.Runs.load(), 0); // asked to stop while on their way, so skipped
}

TEST_F(QWorkers, OwnedDataLivesExactlyAsLongAsItsJob)
{
    std::atomic<int> destroyed {0};
    std::atomic<bool> aliveWhileRunning {false};
    Workers.Post(
        [&](TQJob* AJob) { aliveWhileRunning = destroyed.load() == 0 && AJob->DataAs<TPayload>()->Value == 42; },
        std::make_unique<TPayload>(destroyed));
    ASSERT_TRUE(WaitUntil([&] { return destroyed.load() == 1; }));
    EXPECT_TRUE(aliveWhileRunning.load());

    // a main-thread job with a keyed value record, the program's usual payload
    auto record = std::make_unique<TQMsgPack>();
    record->Add(QStringLiteral("log"), QStringLiteral("x"));
    std::atomic<bool> read {false};
    Workers.Post(
        [&](TQJob* AJob) { read = AJob->DataAs<TQMsgPack>()->ItemByPath(u"log")->AsString() == QStringLiteral("x"); },
        std::move(record), true);
    ASSERT_TRUE(WaitUntil([&] { return read.load(); }));

    // a caller-owned pointer is never released
    TPayload mine(destroyed);
    Workers.Post([](TQJob*) {}, &mine);
    Workers.Delay([](TQJob*) {}, 100 * Q1Second, &mine, false, true);
    ASSERT_TRUE(WaitUntil([&] { return Workers.BusyCount() == 0; }));
    EXPECT_EQ(destroyed.load(), 1);
}

TEST_F(QWorkers, AThrowingJobNeverTakesAWorkerDown)
{
    std::atomic<int> errors {0};
    Workers.SetOnError([&](TQJob*, const std::exception_ptr& AError) {
        try {
            std::rethrow_exception(AError);
        } catch (const std::runtime_error&) {
            ++errors;
        }
    });
    std::atomic<int> repeats {0};
    const intptr_t handle = Workers.Delay(
        [&](TQJob*) {
            ++repeats;
            throw std::runtime_error("boom");
        },
        1 * Q1MillSecond, {}, false, true);
    for (int i = 0; i < 10; ++i)
        Workers.Post([](TQJob*) { throw std::runtime_error("boom"); });
    Workers.Post([](TQJob*) { throw 1; }, {}, true); // not a std::exception, on the main thread
    ASSERT_TRUE(WaitUntil([&] { return repeats.load() >= 3 && errors.load() >= 13; }));
    Workers.ClearSingleJob(handle, true);
    Workers.Post(TQJobProc(&Target, &TTarget::Run));
    ASSERT_TRUE(WaitUntil([&] { return Target.Runs.load() == 1; }));
    EXPECT_GE(Workers.WorkerCount(), Workers.MinWorkers());
}

TEST_F(QWorkers, AnAnonymousMainThreadJobRepeats)
{
    std::atomic<int> onMain {0};
    const intptr_t handle = Workers.Delay(
        [&](TQJob*) {
            if (OnMainThread())
                ++onMain;
        },
        1 * Q1MillSecond, {}, true, true);
    ASSERT_TRUE(WaitUntil([&] { return onMain.load() >= 3; }));
    Workers.ClearSingleJob(handle, true);
}

TEST_F(QWorkers, ApplicationTerminatingStopsJobsAndSkipsMainThreadCalls)
{
    TQJob idle;
    EXPECT_FALSE(idle.IsStopRequested()); // not running

    std::atomic<bool> started {false};
    std::atomic<bool> sawStop {false};
    Workers.Post([&](TQJob* AJob) {
        started = true;
        WaitWithoutEvents([&] { return AJob->IsStopRequested(); });
        sawStop = true;
    });
    ASSERT_TRUE(WaitUntil([&] { return started.load(); }));
    EXPECT_FALSE(Workers.Terminating());
    Workers.SetAppTerminating();
    EXPECT_TRUE(Workers.Terminating());
    ASSERT_TRUE(WaitUntil([&] { return sawStop.load(); }));

    Workers.Post(TQJobProc(&Target, &TTarget::Run), nullptr, true);
    ASSERT_TRUE(WaitWithoutEvents([&] { return Workers.MainThreadJobs() == 1; }));
    ASSERT_TRUE(WaitUntil([&] { return Workers.MainThreadJobs() == 0; }));
    EXPECT_EQ(Target.Runs.load(), 0);
}

TEST(QWorkersShutdown, WaitsForRunningJobsAndRefusesNewPosts)
{
    std::atomic<int> destroyed {0};
    std::atomic<bool> started {false};
    std::atomic<bool> sawStop {false};
    std::atomic<intptr_t> latePost {-1};
    std::atomic<int> destroyedAtLatePost {-1};
    std::atomic<int> lateRuns {0};
    std::atomic<int> queuedDestroyed {0};
    {
        TQWorkers workers(2, FastTiming());
        workers.Delay([](TQJob*) {}, 100 * Q1Second, std::make_unique<TPayload>(queuedDestroyed), false, true);
        workers.Post([&](TQJob* AJob) {
            started = true;
            WaitWithoutEvents([&] { return AJob->IsStopRequested(); });
            sawStop = true;
            std::this_thread::sleep_for(20ms);
            latePost = AJob->Owner()->Post([&](TQJob*) { ++lateRuns; }, std::make_unique<TPayload>(destroyed));
            destroyedAtLatePost = destroyed.load();
        });
        ASSERT_TRUE(WaitUntil([&] { return started.load(); }));
    }
    EXPECT_TRUE(sawStop.load());
    EXPECT_EQ(latePost.load(), 0);
    EXPECT_EQ(destroyedAtLatePost.load(), 1); // released at once
    EXPECT_EQ(lateRuns.load(), 0);
    EXPECT_EQ(queuedDestroyed.load(), 1); // a queued repeating job goes with its data
}

TEST(QWorkersShutdown, SkipsAQueuedMainThreadJobAndReleasesItsWorker)
{
    TTarget target;
    std::atomic<int> destroyed {0};
    {
        TMainThreadCalls calls;
        TQWorkers workers(2, FastTiming());
        workers.Post(TQJobProc(&target, &TTarget::Run), std::make_unique<TPayload>(destroyed), true);
        ASSERT_TRUE(WaitWithoutEvents([&] { return workers.MainThreadJobs() == 1; }));
    }
    EXPECT_EQ(target.Runs.load(), 0);
    EXPECT_EQ(destroyed.load(), 1);
}

TEST(QWorkersMainThread, WithoutACallBridgeMainThreadJobsAreSkipped)
{
    ASSERT_EQ(MainThreadCalls(), nullptr);
    TTarget target;
    std::atomic<int> destroyed {0};
    TQWorkers workers(2, FastTiming());
    workers.Post(TQJobProc(&target, &TTarget::Run), std::make_unique<TPayload>(destroyed), true);
    ASSERT_TRUE(WaitUntil([&] { return destroyed.load() == 1; }));
    EXPECT_EQ(workers.MainThreadJobs(), 0);
    workers.Post(TQJobProc(&target, &TTarget::Other));
    ASSERT_TRUE(WaitUntil([&] { return target.OtherRuns.load() == 1; })); // the worker was freed
    EXPECT_EQ(target.Runs.load(), 0);
}

TEST(QJobProc, IdentityIsObjectAndMethod)
{
    struct TBase {
        virtual ~TBase() = default;
        virtual void V(TQJob*) { }
        void A(TQJob*) { }
        void B(TQJob*) { }
    };
    TBase x;
    TBase y;
    EXPECT_EQ(TQJobProc(&x, &TBase::A), TQJobProc(&x, &TBase::A));
    EXPECT_EQ(TQJobProc(&x, &TBase::V), TQJobProc(&x, &TBase::V));
    EXPECT_FALSE(TQJobProc(&x, &TBase::A) == TQJobProc(&x, &TBase::B));
    EXPECT_FALSE(TQJobProc(&x, &TBase::A) == TQJobProc(&y, &TBase::A));
    EXPECT_FALSE(TQJobProc(&x, &TBase::A) == TQJobProc(&x, &TBase::V));
    EXPECT_FALSE(static_cast<bool>(TQJobProc()));
    EXPECT_FALSE(static_cast<bool>(TQJobProc(static_cast<TBase*>(nullptr), &TBase::A)));
}
