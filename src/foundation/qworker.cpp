#include "foundation/qworker.h"

#include "foundation/cpuload.h"
#include "foundation/mainthread.h"
#include "foundation/mainthreadcalls.h"
#include "foundation/qhttp.h"

#include <QCoreApplication>
#include <QRandomGenerator>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <limits>
#include <map>
#include <system_error>

#include <pthread.h>

#if defined(Q_OS_LINUX)
#include <sys/syscall.h>
#include <unistd.h>
#endif

using namespace std::chrono;

namespace {

constexpr qint64 KParked = std::numeric_limits<qint64>::max(); // a delay-repeat job whose copy is running
constexpr std::size_t KPoolSize = 1024;
constexpr int KNewWorkerIdle = 1000; // ms of idleness a new worker starts with
constexpr std::size_t KSpareBatch = 32; // records a worker gives back to the pool at a time
// A job handle is the job's serial, unique for the scheduler's life, above two bits that name its queue. A handle
// kept after its job ended therefore matches no later job, even one that reuses the record.
constexpr int KHandleKindBits = 2;
constexpr intptr_t KHandleKindMask = (intptr_t(1) << KHandleKindBits) - 1;
constexpr intptr_t KRunOnceKind = 0;
constexpr intptr_t KRepeatKind = 1;
// Keeps apart fields that different threads write, so that one thread's writes do not evict the other's lines.
constexpr std::size_t KCacheLine = 64;

const steady_clock::time_point& ClockStart()
{
    static const steady_clock::time_point start = steady_clock::now();
    return start;
}

// The clock instant of a scheduler time; saturates for the parked value.
steady_clock::time_point TimeOf(qint64 AJobTime)
{
    constexpr qint64 limit = std::numeric_limits<qint64>::max() / 1000000;
    if (AJobTime >= limit)
        return steady_clock::time_point::max();
    return ClockStart() + microseconds(AJobTime * 100);
}

void NameThread(const char* APrefix)
{
#if defined(Q_OS_LINUX)
    char name[16];
    std::snprintf(name, sizeof(name), "%s%ld", APrefix, static_cast<long>(syscall(SYS_gettid)));
    pthread_setname_np(pthread_self(), name);
#else
    Q_UNUSED(APrefix);
#endif
}

} // namespace

qint64 QJobNow() noexcept
{
    return duration_cast<microseconds>(steady_clock::now() - ClockStart()).count() / 100;
}

namespace qworker_detail {

// Auto-reset event.
class TEvent {
public:
    // Notifies under the lock: the waiter may destroy the event as soon as it sees the flag.
    void Set()
    {
        std::scoped_lock lock(FLock);
        FSignaled = true;
        FCond.notify_one();
    }
    void Wait()
    {
        std::unique_lock lock(FLock);
        FCond.wait(lock, [this] { return FSignaled; });
        FSignaled = false;
    }
    // True when the event was set before the time.
    bool WaitUntil(steady_clock::time_point ATime)
    {
        std::unique_lock lock(FLock);
        const bool signaled = FCond.wait_until(lock, ATime, [this] { return FSignaled; });
        FSignaled = false;
        return signaled;
    }

private:
    std::mutex FLock;
    std::condition_variable FCond;
    bool FSignaled = false;
};

// A lock for state that one thread writes for every job and others read now and then: taking it costs one atomic
// exchange and giving it back a plain store. Holders keep it for a few instructions only.
class TSpinLock {
public:
    void lock() noexcept
    {
        while (FLocked.exchange(true, std::memory_order_acquire)) {
            while (FLocked.load(std::memory_order_relaxed))
                std::this_thread::yield();
        }
    }
    void unlock() noexcept { FLocked.store(false, std::memory_order_release); }

private:
    std::atomic<bool> FLocked {false};
};

} // namespace qworker_detail

using qworker_detail::TEvent;
using qworker_detail::TSpinLock;

// One worker thread, on cache lines of its own: it writes its state for every job.
class alignas(KCacheLine) TQWorker {
public:
    TQWorker(int AFireDelay)
        : FFireDelay(AFireDelay)
    {
        FSpare.reserve(KSpareBatch);
    }

    const int FFireDelay; // ms of extra idleness this worker allows itself before retiring
    std::thread FThread;
    TEvent FEvent;
    TEvent FSyncEvent; // set when its main-thread job is done or skipped

    // Under the owner's FLocker.
    // Set under the owner's FLocker; FBusy is cleared without it (a post that still sees it busy is seen in turn:
    // the worker looks at the queue again before it sleeps).
    std::atomic<bool> FPending {false}; // woken for work, not yet working
    std::atomic<bool> FBusy {false};
    bool FFiring = false; // retiring; under the owner's FLocker

    // The worker thread's own.
    int FTimeout = KNewWorkerIdle;
    quint64 FProcessed = 0;
    qint64 FLastActiveTime = 0;

    // Records this worker has run, already emptied, on their way back to the pool in one locked step.
    std::vector<std::unique_ptr<TQJob>> FSpare;

    // Under FStateLock: what the wait step of Clear looks at.
    TSpinLock FStateLock;
    std::atomic<bool> FTaking {false}; // set without the lock: a scan that sees it waits a step more
    const TQJob* FActiveJob = nullptr;
    quint64 FActiveJobSerial = 0;
    TQJobProc FActiveJobProc;
    bool FActiveIsAnonymous = false;
    const void* FActiveJobData = nullptr;
    quint64 FActiveJobSourceSerial = 0;
    bool FActiveInMainThread = false;

    std::atomic<const TQJob*> FTerminatingJob {nullptr}; // the running job that was cancelled
    std::atomic<bool> FTerminated {false};
};

TQJobData& TQJobData::operator=(TQJobData&& AOther) noexcept
{
    if (this != &AOther) {
        Reset();
        FData = std::exchange(AOther.FData, nullptr);
        FFree = AOther.FFree;
    }
    return *this;
}

void TQJobData::Reset() noexcept
{
    void* data = std::exchange(FData, nullptr);
    if (data && FFree)
        FFree(data);
    FFree = nullptr;
}

bool TQJob::IsStopRequested() const noexcept
{
    if (!FWorker)
        return false;
    return (FOwner && FOwner->Terminating()) || FWorker->FTerminated.load() || FWorker->FTerminatingJob.load() == this;
}

// Recycled job records; posting does not allocate in steady state. Records are taken from one list and given back
// to another, each with its own lock, so that a poster and the workers returning records do not meet.
class TJobPool {
public:
    explicit TJobPool(std::size_t ASize)
        : FSize(ASize)
    {
        FFree.reserve(ASize);
        FReturned.reserve(ASize);
    }

    // A zero-filled record.
    TQJobPtr Acquire()
    {
        std::unique_ptr<TQJob> job;
        // Both lists empty, as a deep queue keeps them: fresh memory without taking the locks.
        if (FFreeBound.load(std::memory_order_relaxed) != 0 || FReturnedCount.load(std::memory_order_relaxed) != 0) {
            std::scoped_lock lock(FTakeLock);
            if (FFree.empty()) {
                std::scoped_lock returned(FReturnLock);
                FFree.swap(FReturned);
                FReturnedCount.store(0, std::memory_order_relaxed);
                FFreeBound.store(FFree.size(), std::memory_order_relaxed);
            }
            if (!FFree.empty()) {
                job = std::move(FFree.back());
                FFree.pop_back();
                // The returning side only needs a bound: refreshing it now and then spares a shared write per job.
                if (FFree.size() % KBoundStep == 0)
                    FFreeBound.store(FFree.size(), std::memory_order_relaxed);
            }
        }
        if (job)
            *job = TQJob(); // the poster fills the record next, so it writes these lines anyway
        else
            job = std::make_unique<TQJob>();
        return TQJobPtr(job.release(), TJobRelease {this});
    }

    // Releases what a record owns: its data and the procedure reference. The rest is cleared when it is handed
    // out again, and never for a record whose memory is freed.
    static void Disown(TQJob& AJob) noexcept
    {
        AJob.FData.Reset();
        AJob.FProcA.reset();
    }

    void Release(TQJob* AJob) noexcept
    {
        std::unique_ptr<TQJob> job(AJob);
        Disown(*job); // outside the locks
        std::scoped_lock lock(FReturnLock);
        if (Room() > 0)
            Keep(std::move(job));
    }

    // Takes back disowned records; those beyond the pool's size are freed.
    void Return(std::vector<std::unique_ptr<TQJob>>& ARecords) noexcept
    {
        {
            std::scoped_lock lock(FReturnLock);
            for (std::size_t room = Room(); room > 0 && !ARecords.empty(); --room) {
                Keep(std::move(ARecords.back()));
                ARecords.pop_back();
            }
        }
        ARecords.clear();
    }

private:
    static constexpr std::size_t KBoundStep = 32;

    // Under FReturnLock. The bound is never below what the taking list holds, so both lists together keep at most
    // FSize records and the reserved room is never exceeded.
    std::size_t Room() const noexcept
    {
        const std::size_t kept = FReturned.size() + FFreeBound.load(std::memory_order_relaxed);
        return kept < FSize ? FSize - kept : 0;
    }

    // Under FReturnLock.
    void Keep(std::unique_ptr<TQJob> AJob) noexcept
    {
        FReturned.push_back(std::move(AJob));
        FReturnedCount.store(FReturned.size(), std::memory_order_relaxed);
    }

    alignas(KCacheLine) std::mutex FTakeLock; // before FReturnLock when both are taken
    std::vector<std::unique_ptr<TQJob>> FFree;
    alignas(KCacheLine) std::mutex FReturnLock;
    std::vector<std::unique_ptr<TQJob>> FReturned;
    std::atomic<std::size_t> FReturnedCount {0}; // FReturned.size(); written under FReturnLock
    std::atomic<std::size_t> FFreeBound {0}; // at least FFree.size(); written under FTakeLock
    const std::size_t FSize;
};

void TJobRelease::operator()(TQJob* AJob) const noexcept
{
    FPool->Release(AJob);
}

// The run-once queue: first in, first out; insert-first jobs go to the head. Posts append to an incoming list
// under one lock, workers take from an outgoing list under another and move the incoming jobs over when it runs
// dry, so a poster and its workers hardly ever wait for each other. Each side counts its own jobs on its own cache
// line: the queue is empty when as many have been taken as were pushed.
class TQSimpleJobs {
public:
    void Push(TQJobPtr AJob)
    {
        AJob->FPushTime = QJobNow();
        if (AJob->FFlags & JOB_INSERT_FIRST) {
            std::scoped_lock lock(FHeadLock, FTailLock);
            FOut.push_front(std::move(AJob));
            Pushed(1);
        } else {
            std::scoped_lock lock(FTailLock);
            FIn.push_back(std::move(AJob));
            Pushed(1);
        }
    }

    // Looks at the pushing side only when the taken side has run dry: a worker draining a batch leaves the poster's
    // cache line alone.
    TQJobPtr Pop()
    {
        TQJobPtr job;
        {
            std::scoped_lock lock(FHeadLock);
            if (FOut.empty()) {
                if (FTaken.load(std::memory_order_relaxed) == FPushed.load())
                    return {};
                std::scoped_lock tail(FTailLock);
                FOut.swap(FIn);
            }
            if (FOut.empty())
                return {};
            job = std::move(FOut.front());
            FOut.pop_front();
            Taken(1);
        }
        job->FPopTime = QJobNow();
        return job;
    }

    // A post seen here as not yet taken is seen by a worker that checks before it sleeps: the push and that
    // check are sequentially consistent with the worker's busy flag.
    bool Empty() const noexcept
    {
        const std::size_t taken = FTaken.load(std::memory_order_acquire); // never more than pushed, read first
        return taken == FPushed.load();
    }

    template <class TPred> void Remove(TPred AMatches, int& AMaxTimes, std::vector<TQJobPtr>& ARemoved)
    {
        std::scoped_lock lock(FHeadLock, FTailLock);
        for (std::deque<TQJobPtr>* items : {&FOut, &FIn}) {
            for (auto it = items->begin(); it != items->end() && AMaxTimes != 0;) {
                if (AMatches(**it)) {
                    ARemoved.push_back(std::move(*it));
                    it = items->erase(it);
                    Taken(1);
                    --AMaxTimes;
                } else {
                    ++it;
                }
            }
        }
    }

    TQJobPtr RemoveSerial(quint64 ASerial)
    {
        std::scoped_lock lock(FHeadLock, FTailLock);
        for (std::deque<TQJobPtr>* items : {&FOut, &FIn}) {
            const auto it = std::find_if(
                items->begin(), items->end(), [ASerial](const TQJobPtr& AJob) { return AJob->FSerial == ASerial; });
            if (it != items->end()) {
                TQJobPtr job = std::move(*it);
                items->erase(it);
                Taken(1);
                return job;
            }
        }
        return {};
    }

    void TakeAll(std::vector<TQJobPtr>& AJobs)
    {
        std::scoped_lock lock(FHeadLock, FTailLock);
        for (std::deque<TQJobPtr>* items : {&FOut, &FIn}) {
            Taken(items->size());
            for (TQJobPtr& job : *items)
                AJobs.push_back(std::move(job));
            items->clear();
        }
    }

private:
    // Under FTailLock.
    void Pushed(std::size_t ACount) noexcept { FPushed.store(FPushed.load(std::memory_order_relaxed) + ACount); }
    // Under FHeadLock.
    void Taken(std::size_t ACount) noexcept
    {
        FTaken.store(FTaken.load(std::memory_order_relaxed) + ACount, std::memory_order_release);
    }

    alignas(KCacheLine) std::mutex FHeadLock; // before FTailLock when both are taken
    std::deque<TQJobPtr> FOut; // older jobs, taken from the front
    std::atomic<std::size_t> FTaken {0}; // jobs taken or removed, ever
    alignas(KCacheLine) std::mutex FTailLock;
    std::deque<TQJobPtr> FIn; // newer jobs, appended
    std::atomic<std::size_t> FPushed {0}; // jobs pushed, ever
};

// Delayed and repeating jobs ordered by due time; equal due times keep the newest first. A repeating job stays here
// while a copy of it runs.
class TQRepeatJobs {
public:
    void Push(TQJobPtr AJob)
    {
        const qint64 now = QJobNow();
        AJob->FPushTime = now;
        std::scoped_lock lock(FLocker);
        Store(std::move(AJob), now);
    }

    bool Empty() const noexcept { return FCount.load(std::memory_order_relaxed) == 0; }
    // Smallest due time; the parked value when nothing can fall due.
    qint64 FirstFireTime() const noexcept { return FFirstFireTime.load(std::memory_order_relaxed); }

    // The due job, or for a repeating one a copy of it to run.
    TQJobPtr Pop(TJobPool& APool)
    {
        if (Empty() || FirstFireTime() > QJobNow())
            return {};
        std::scoped_lock lock(FLocker);
        const qint64 now = QJobNow();
        if (FItems.empty() || now < FItems.begin()->first)
            return {};
        TQJobPtr job = std::move(FItems.begin()->second);
        FItems.erase(FItems.begin());
        job->FPopTime = now;
        if (job->FFlags & JOB_RUN_ONCE) {
            Refresh();
            return job;
        }
        TQJobPtr copy = APool.Acquire();
        CopyForRun(*job, *copy);
        const qint64 next = (job->FFlags & JOB_DELAY_REPEAT) ? KParked : job->FNextTime + job->FInterval;
        Insert(std::move(job), next);
        Refresh();
        return copy;
    }

    // After a copy's run: counts the run on its job and re-arms it; false when the job is gone or not re-armed.
    bool AfterRun(const TQJob& ACopy)
    {
        std::scoped_lock lock(FLocker);
        const auto it = Find(ACopy.FSourceSerial);
        if (it == FItems.end())
            return false;
        TQJob& source = *it->second;
        ++source.FRuns;
        source.FStartTime = ACopy.FStartTime;
        source.FDoneTime = ACopy.FDoneTime;
        if (!(source.FFlags & JOB_DELAY_REPEAT))
            return false;
        TQJobPtr job = std::move(it->second);
        FItems.erase(it);
        Store(std::move(job), QJobNow());
        return true;
    }

    template <class TPred> void Remove(TPred AMatches, int& AMaxTimes, std::vector<TQJobPtr>& ARemoved)
    {
        std::scoped_lock lock(FLocker);
        for (auto it = FItems.begin(); it != FItems.end() && AMaxTimes != 0;) {
            if (AMatches(*it->second)) {
                ARemoved.push_back(std::move(it->second));
                it = FItems.erase(it);
                --AMaxTimes;
            } else {
                ++it;
            }
        }
        Refresh();
    }

    TQJobPtr RemoveSerial(quint64 ASerial)
    {
        std::scoped_lock lock(FLocker);
        const auto it = Find(ASerial);
        if (it == FItems.end())
            return {};
        TQJobPtr job = std::move(it->second);
        FItems.erase(it);
        Refresh();
        return job;
    }

    void TakeAll(std::vector<TQJobPtr>& AJobs)
    {
        std::scoped_lock lock(FLocker);
        for (auto& item : FItems)
            AJobs.push_back(std::move(item.second));
        FItems.clear();
        Refresh();
    }

private:
    using TItems = std::multimap<qint64, TQJobPtr>;

    static qint64 DueTime(const TQJob& AJob, qint64 ANow)
    {
        if (AJob.FFlags & JOB_DELAY_REPEAT)
            return ANow + AJob.FFirstDelay;
        if (AJob.FRuns == 0 && AJob.FFirstDelay != 0)
            return AJob.FPushTime + AJob.FFirstDelay;
        if (AJob.FInterval == 0)
            return ANow;
        return AJob.FNextTime == 0 ? ANow + AJob.FInterval : AJob.FNextTime + AJob.FInterval;
    }

    static void CopyForRun(const TQJob& AJob, TQJob& ACopy)
    {
        ACopy.FStartTime = AJob.FStartTime;
        ACopy.FPushTime = AJob.FPushTime;
        ACopy.FPopTime = AJob.FPopTime;
        ACopy.FDoneTime = AJob.FDoneTime;
        ACopy.FNextTime = AJob.FNextTime;
        ACopy.FProc = AJob.FProc;
        ACopy.FProcA = AJob.FProcA;
        ACopy.FOwner = AJob.FOwner;
        ACopy.FRuns = AJob.FRuns;
        ACopy.FFlags = AJob.FFlags & ~JOB_FREE_TYPE_MASK; // the copy never owns the data
        ACopy.FData = AJob.FData.Borrow();
        ACopy.FInterval = AJob.FInterval;
        ACopy.FFirstDelay = AJob.FFirstDelay;
        ACopy.FSource = &AJob;
        ACopy.FSourceSerial = AJob.FSerial;
    }

    void Store(TQJobPtr AJob, qint64 ANow)
    {
        const qint64 due = DueTime(*AJob, ANow);
        Insert(std::move(AJob), due);
        Refresh();
    }

    void Insert(TQJobPtr AJob, qint64 ANextTime)
    {
        AJob->FNextTime = ANextTime;
        FItems.emplace_hint(FItems.lower_bound(ANextTime), ANextTime, std::move(AJob));
    }

    void Refresh()
    {
        FFirstFireTime.store(FItems.empty() ? KParked : FItems.begin()->first, std::memory_order_relaxed);
        FCount.store(FItems.size(), std::memory_order_relaxed);
    }

    // By serial, which no other job ever had: a job removed meanwhile is simply not found, even when its record
    // went to a new job.
    TItems::iterator Find(quint64 ASerial)
    {
        const auto matches = [ASerial](const TItems::value_type& AItem) { return AItem.second->FSerial == ASerial; };
        const auto [first, last] = FItems.equal_range(KParked);
        const auto parked = std::find_if(first, last, matches);
        return parked != last ? parked : std::find_if(FItems.begin(), FItems.end(), matches);
    }

    std::mutex FLocker;
    TItems FItems;
    std::atomic<qint64> FFirstFireTime {KParked};
    std::atomic<std::size_t> FCount {0};
};

// A worker's call of its main-thread job, run through the main-thread call bridge. A call that is destroyed without
// running (skipped at shutdown, or with no bridge to run it) still frees its worker.
class TMainThreadJob : public TMainThreadCall {
public:
    TMainThreadJob(TQWorkers& AOwner, TQWorker& AWorker, TQJob& AJob)
        : FOwner(AOwner)
        , FWorker(AWorker)
        , FJob(AJob)
    {
    }
    ~TMainThreadJob() override { Finish(); }

    void Run() override
    {
        if (!FJob.IsStopRequested() && !FOwner.Terminating())
            FOwner.Invoke(FJob);
        Finish();
    }

private:
    void Finish() noexcept
    {
        if (FDone)
            return;
        FDone = true;
        FOwner.FMainThreadJobs.fetch_sub(1);
        FWorker.FSyncEvent.Set(); // last touch: the worker may go on at once
    }

    TQWorkers& FOwner;
    TQWorker& FWorker;
    TQJob& FJob;
    bool FDone = false;
};

namespace {

// A fire time-out below 2 ms would let idle workers spin.
TQWorkersTiming Sane(TQWorkersTiming ATiming)
{
    ATiming.FireTimeout = std::max(ATiming.FireTimeout, 2);
    ATiming.MonitorInterval = std::max(ATiming.MonitorInterval, 1);
    ATiming.WaitStep = std::max(ATiming.WaitStep, 1);
    return ATiming;
}

} // namespace

TQWorkers::TQWorkers(int AMinWorkers, const TQWorkersTiming& ATiming)
    : FTiming(Sane(ATiming))
    , FPool(std::make_unique<TJobPool>(KPoolSize))
    , FSimpleJobs(std::make_unique<TQSimpleJobs>())
    , FRepeatJobs(std::make_unique<TQRepeatJobs>())
{
    const int processors = std::max(1, QThread::idealThreadCount());
    FMinWorkers = AMinWorkers <= 0 ? 2 : AMinWorkers;
    FMaxWorkers = 2 * processors + 1;
    if (FMinWorkers >= FMaxWorkers)
        FMaxWorkers = 2 * FMinWorkers + 1;
    QJobNow(); // starts the clock
    if (QCoreApplication* app = QCoreApplication::instance())
        FQuitConnection = QObject::connect(app, &QCoreApplication::aboutToQuit, [this] { SetAppTerminating(); });
    FStaticThread = std::thread([this] { MonitorLoop(); });
    std::scoped_lock lock(FLocker);
    for (int i = 0; i < FMinWorkers; ++i)
        StartWorker(false);
}

TQWorkers::~TQWorkers()
{
    QObject::disconnect(FQuitConnection);
    FTerminating.store(true);
    {
        std::scoped_lock lock(FLocker);
        for (const auto& worker : FWorkers)
            worker->FEvent.Set();
    }
    // Running jobs are waited for. Their queued main-thread calls would see the stop and skip: they are skipped
    // here at once, from whichever thread shuts down, which frees their workers.
    {
        std::unique_lock lock(FLocker);
        while (!FWorkers.empty()) {
            if (FMainThreadJobs.load() > 0) {
                lock.unlock();
                if (TMainThreadCalls* calls = MainThreadCalls())
                    calls->Skip(this);
                lock.lock();
            }
            FWorkersGone.wait_for(lock, milliseconds(10), [this] { return FWorkers.empty(); });
        }
    }
    {
        std::scoped_lock lock(FMonitorLock);
        FMonitorStop = true;
    }
    FMonitorCond.notify_all();
    FStaticThread.join();
    JoinRetired();
    std::vector<TQJobPtr> left;
    FSimpleJobs->TakeAll(left);
    FRepeatJobs->TakeAll(left);
    left.clear(); // queued jobs go back to the pool with their data, before the pool goes
}

bool TQWorkers::Terminating() const noexcept
{
    return FTerminating.load() || FAppTerminating.load();
}

intptr_t TQWorkers::Post(TQJobProc AProc, TQJobData AData, bool ARunInMainThread, bool AInsertToFirst)
{
    TQJobPtr job = FPool->Acquire();
    job->FProc = AProc;
    job->FFlags = JOB_RUN_ONCE | (ARunInMainThread ? JOB_IN_MAINTHREAD : 0) | (AInsertToFirst ? JOB_INSERT_FIRST : 0)
        | (AData.FreeType() << 8);
    job->FData = std::move(AData);
    return Enqueue(std::move(job));
}

intptr_t TQWorkers::Post(TQJobProcA AProc, TQJobData AData, bool ARunInMainThread, bool AInsertToFirst)
{
    TQJobPtr job = FPool->Acquire();
    if (AProc)
        job->FProcA = std::make_shared<const TQJobProcA>(std::move(AProc));
    job->FFlags = JOB_RUN_ONCE | (ARunInMainThread ? JOB_IN_MAINTHREAD : 0) | (AInsertToFirst ? JOB_INSERT_FIRST : 0)
        | (AData.FreeType() << 8);
    job->FData = std::move(AData);
    return Enqueue(std::move(job));
}

intptr_t TQWorkers::Delay(TQJobProc AProc, qint64 ADelay, TQJobData AData, bool ARunInMainThread, bool ARepeat)
{
    TQJobPtr job = FPool->Acquire();
    job->FProc = AProc;
    job->FFlags = (ARepeat ? JOB_DELAY_REPEAT : JOB_RUN_ONCE) | (ARunInMainThread ? JOB_IN_MAINTHREAD : 0)
        | (AData.FreeType() << 8);
    job->FData = std::move(AData);
    job->FFirstDelay = std::max<qint64>(ADelay, 0);
    return Enqueue(std::move(job));
}

intptr_t TQWorkers::Delay(TQJobProcA AProc, qint64 ADelay, TQJobData AData, bool ARunInMainThread, bool ARepeat)
{
    TQJobPtr job = FPool->Acquire();
    if (AProc)
        job->FProcA = std::make_shared<const TQJobProcA>(std::move(AProc));
    job->FFlags = (ARepeat ? JOB_DELAY_REPEAT : JOB_RUN_ONCE) | (ARunInMainThread ? JOB_IN_MAINTHREAD : 0)
        | (AData.FreeType() << 8);
    job->FData = std::move(AData);
    job->FFirstDelay = std::max<qint64>(ADelay, 0);
    return Enqueue(std::move(job));
}

intptr_t TQWorkers::Enqueue(TQJobPtr AJob)
{
    if (FTerminating.load() || !AJob->HasProc())
        return 0; // the record and its data are released here, at once
    AJob->FOwner = this;
    AJob->FSerial = FLastSerial.fetch_add(1, std::memory_order_relaxed) + 1;
    intptr_t handle = static_cast<intptr_t>(AJob->FSerial << KHandleKindBits);
    if ((AJob->FFlags & JOB_RUN_ONCE) && AJob->FFirstDelay == 0) {
        FSimpleJobs->Push(std::move(AJob));
    } else {
        FRepeatJobs->Push(std::move(AJob));
        handle |= KRepeatKind;
    }
    WakeWorker();
    return handle;
}

void TQWorkers::StartWorker(bool AWake)
{
    const int fireDelay = static_cast<int>(QRandomGenerator::global()->bounded(FTiming.FireTimeout / 2));
    auto worker = std::make_unique<TQWorker>(fireDelay);
    TQWorker& w = *worker;
    if (AWake) {
        w.FPending.store(true);
        FPendingCount.fetch_add(1);
        w.FEvent.Set();
    }
    try {
        w.FThread = std::thread([this, &w] { WorkerLoop(w); });
    } catch (const std::system_error&) {
        return; // no thread to be had: the job waits in its queue for a worker
    }
    FWorkers.push_back(std::move(worker));
    FWorkerCount.store(static_cast<int>(FWorkers.size()));
}

void TQWorkers::WakeWorker()
{
    // A worker already woken takes every due job before it rests, so it takes this one too.
    if (FPendingCount.load() > 0 || FBusyCount.load() >= FMaxWorkers || FTerminating.load())
        return;
    std::scoped_lock lock(FLocker);
    if (FTerminating.load())
        return;
    bool anyPending = false;
    for (const auto& worker : FWorkers) {
        if (worker->FBusy.load() || worker->FFiring)
            continue;
        bool pending = false;
        if (!worker->FPending.compare_exchange_strong(pending, true)) {
            anyPending = true;
            continue;
        }
        FPendingCount.fetch_add(1);
        worker->FEvent.Set();
        return;
    }
    if (!anyPending && static_cast<int>(FWorkers.size()) < FMaxWorkers)
        StartWorker(true);
}

void TQWorkers::WorkerLoop(TQWorker& AWorker)
{
    NameThread("QWorker.");
    while (!AWorker.FTerminated.load() && !FTerminating.load()) {
        if (WaitForWork(AWorker))
            DoWork(AWorker);
        if (!KeepWorker(AWorker))
            break;
    }
    LeaveWorker(AWorker);
}

bool TQWorkers::WaitForWork(TQWorker& AWorker)
{
    if (!FSimpleJobs->Empty())
        return true;
    const int fire = FTiming.FireTimeout;
    const int allowance = std::min(fire, fire + AWorker.FFireDelay - AWorker.FTimeout);
    const steady_clock::time_point start = steady_clock::now();
    if (FRepeatJobs->Empty()) {
        if (allowance <= 0)
            return false;
        if (AWorker.FEvent.WaitUntil(start + milliseconds(allowance)))
            return true;
        AWorker.FTimeout += allowance;
        return false;
    }
    // Sleep exactly until the first delayed job falls due, within the idle allowance.
    const steady_clock::time_point due = TimeOf(FRepeatJobs->FirstFireTime());
    const steady_clock::time_point until = allowance > 0 ? std::min(due, start + milliseconds(allowance)) : start;
    if (until > start && !AWorker.FEvent.WaitUntil(until))
        AWorker.FTimeout += static_cast<int>(duration_cast<milliseconds>(steady_clock::now() - start).count());
    return true;
}

// What the wait step of Clear sees of a worker: the job it runs (or has just run), or nothing.
void TQWorkers::SetActive(TQWorker& AWorker, const TQJob* AJob)
{
    std::scoped_lock lock(AWorker.FStateLock);
    AWorker.FTaking.store(false, std::memory_order_relaxed);
    AWorker.FTerminatingJob.store(nullptr, std::memory_order_relaxed);
    AWorker.FActiveJob = AJob;
    AWorker.FActiveJobSerial = AJob ? AJob->FSerial : 0;
    AWorker.FActiveJobProc = AJob ? AJob->FProc : TQJobProc();
    AWorker.FActiveIsAnonymous = AJob && AJob->FProcA != nullptr;
    AWorker.FActiveJobData = AJob ? AJob->Data() : nullptr;
    AWorker.FActiveJobSourceSerial = AJob ? AJob->FSourceSerial : 0;
    AWorker.FActiveInMainThread = AJob && (AJob->FFlags & JOB_IN_MAINTHREAD) != 0;
}

void TQWorkers::DoWork(TQWorker& AWorker)
{
    {
        // Under the lock of the wake-up scan, so that it never marks a worker woken that has already started.
        std::scoped_lock lock(FLocker);
        if (AWorker.FPending.exchange(false))
            FPendingCount.fetch_sub(1);
        AWorker.FBusy.store(true);
    }
    const int workers = FWorkerCount.load();
    if (FBusyCount.fetch_add(1) + 1 >= workers && workers < FMaxWorkers) {
        {
            std::scoped_lock lock(FMonitorLock);
            FMonitorWoken = true;
        }
        FMonitorCond.notify_one();
    }
    while (!FTerminating.load() && !AWorker.FTerminated.load()) {
        // The queue lock that the take goes through orders this before a Clear's scan of the same queue.
        AWorker.FTaking.store(true, std::memory_order_release);
        TQJobPtr job = FSimpleJobs->Pop();
        if (!job)
            job = FRepeatJobs->Pop(*FPool);
        // The finished job stays on show until the next one replaces it: one lock per job.
        SetActive(AWorker, job.get());
        if (!job)
            break;
        AWorker.FTimeout = 0;
        RunJob(AWorker, std::move(job));
    }
    SetActive(AWorker, nullptr);
    FPool->Return(AWorker.FSpare);
    FJobDone.notify_all();
    FBusyCount.fetch_sub(1);
    AWorker.FBusy.store(false);
}

void TQWorkers::RunJob(TQWorker& AWorker, TQJobPtr AJob)
{
    TQJob& job = *AJob;
    AWorker.FLastActiveTime = job.FPopTime;
    job.FWorker = &AWorker;
    job.FStartTime = AWorker.FLastActiveTime;
    if (job.FFlags & JOB_IN_MAINTHREAD)
        RunInMainThread(AWorker, job);
    else
        Invoke(job);
    ++AWorker.FProcessed;
    job.FWorker = nullptr;
    // A run-once record is released right away: only a repeating job's copy needs the clock again.
    if (job.FSource) {
        job.FDoneTime = QJobNow();
        if (FRepeatJobs->AfterRun(job))
            WakeWorker();
    }
    // A run-once job's data is released here; the record goes back to the pool with others.
    TJobPool::Disown(job);
    AWorker.FSpare.emplace_back(AJob.release());
    if (AWorker.FSpare.size() >= KSpareBatch)
        FPool->Return(AWorker.FSpare);
    FJobDone.notify_all();
}

void TQWorkers::RunInMainThread(TQWorker& AWorker, TQJob& AJob)
{
    FMainThreadJobs.fetch_add(1);
    auto call = std::make_unique<TMainThreadJob>(*this, AWorker, AJob);
    if (TMainThreadCalls* calls = MainThreadCalls())
        calls->Post(this, std::move(call));
    else
        call.reset(); // no bridge, no main loop to run it: skipped
    AWorker.FSyncEvent.Wait();
}

void TQWorkers::Invoke(TQJob& AJob) noexcept
{
    // A job's exchanges keep their connections open for one another; its end closes them.
    const THttpConnectionScope connections;
    try {
        if (AJob.FProcA)
            (*AJob.FProcA)(&AJob);
        else
            AJob.FProc(&AJob);
    } catch (...) {
        if (FOnError) {
            try {
                FOnError(&AJob, std::current_exception());
            } catch (...) {
            }
        }
    }
}

bool TQWorkers::KeepWorker(TQWorker& AWorker)
{
    if (AWorker.FTimeout < FTiming.FireTimeout + AWorker.FFireDelay)
        return true;
    std::scoped_lock lock(FLocker);
    const int others = static_cast<int>(FWorkers.size()) - 1;
    if (AWorker.FPending.load() || others < FMinWorkers || others == FBusyCount.load()) {
        AWorker.FTimeout = 0;
        return true;
    }
    AWorker.FFiring = true;
    return false;
}

void TQWorkers::LeaveWorker(TQWorker& AWorker)
{
    std::scoped_lock lock(FLocker);
    const auto it = std::find_if(FWorkers.begin(), FWorkers.end(),
        [&AWorker](const std::unique_ptr<TQWorker>& AItem) { return AItem.get() == &AWorker; });
    FRetired.push_back(std::move(*it));
    FWorkers.erase(it);
    FWorkerCount.store(static_cast<int>(FWorkers.size()));
    if (FWorkers.empty())
        FWorkersGone.notify_all();
}

void TQWorkers::JoinRetired()
{
    std::vector<std::unique_ptr<TQWorker>> retired;
    {
        std::scoped_lock lock(FLocker);
        retired.swap(FRetired);
    }
    for (const auto& worker : retired)
        worker->FThread.join();
}

void TQWorkers::MonitorLoop()
{
    NameThread("QStatic.");
    TCpuLoad load;
    load.Sample();
    std::unique_lock lock(FMonitorLock);
    while (!FMonitorStop) {
        const bool woken = FMonitorCond.wait_for(
            lock, milliseconds(FTiming.MonitorInterval), [this] { return FMonitorWoken || FMonitorStop; });
        if (FMonitorStop)
            break;
        FMonitorWoken = false;
        lock.unlock();
        JoinRetired();
        const int cpu = woken ? -1 : load.Sample();
        if (!Terminating() && FBusyCount.load() >= FWorkerCount.load()) {
            if (woken || (cpu >= 0 && cpu <= 59 && !FSimpleJobs->Empty()))
                WakeWorker();
        }
        lock.lock();
    }
}

void TQWorkers::WaitRunning(const std::function<bool(const TQWorker&)>& AMatches, bool AWaitRunningDone)
{
    const bool onMain = IsMainThread();
    while (true) {
        bool running = false;
        {
            std::scoped_lock lock(FLocker);
            for (const auto& worker : FWorkers) {
                std::scoped_lock state(worker->FStateLock);
                if (worker->FTaking.load()) {
                    running = true; // it may be taking a matching job
                    continue;
                }
                if (!worker->FActiveJob || !AMatches(*worker))
                    continue;
                worker->FTerminatingJob.store(worker->FActiveJob);
                // The main thread cannot wait for a call that only it can run.
                if (!(worker->FActiveInMainThread && onMain))
                    running = true;
            }
        }
        if (!running || !AWaitRunningDone)
            return;
        // No event loop here, on the main thread either: a click must never run inside another's wait. The program
        // waits for its jobs on workers; a main-thread caller that waits must not wait for a job that needs it.
        std::unique_lock lock(FJobDoneLock);
        FJobDone.wait_for(lock, milliseconds(FTiming.WaitStep));
    }
}

int TQWorkers::Clear(const TQJobProc& AProc, const void* AData, int AMaxTimes, bool AWaitRunningDone)
{
    const auto matches = [&](const TQJob& AJob) {
        return !AJob.FProcA && AJob.FProc == AProc && (AData == AnyData || AJob.Data() == AData);
    };
    std::vector<TQJobPtr> removed;
    int left = AMaxTimes < 0 ? -1 : AMaxTimes;
    FSimpleJobs->Remove(matches, left, removed);
    if (left != 0)
        FRepeatJobs->Remove(matches, left, removed);
    const int count = static_cast<int>(removed.size());
    WaitRunning(
        [&](const TQWorker& AWorker) {
            return !AWorker.FActiveIsAnonymous && AWorker.FActiveJobProc == AProc
                && (AData == AnyData || AWorker.FActiveJobData == AData);
        },
        AWaitRunningDone);
    // Released with their data only now, outside the queue locks: a running copy reads that data until it ends.
    removed.clear();
    return count;
}

void TQWorkers::ClearSingleJob(intptr_t AHandle, bool AWaitRunningDone)
{
    const quint64 serial = static_cast<quint64>(AHandle) >> KHandleKindBits;
    if (AHandle <= 0 || serial == 0)
        return;
    switch (AHandle & KHandleKindMask) {
    case KRunOnceKind:
        if (FSimpleJobs->RemoveSerial(serial))
            return;
        WaitRunning([serial](const TQWorker& AWorker) { return AWorker.FActiveJobSerial == serial; }, AWaitRunningDone);
        break;
    case KRepeatKind: {
        TQJobPtr job = FRepeatJobs->RemoveSerial(serial);
        if (!job)
            return;
        WaitRunning(
            [serial](const TQWorker& AWorker) { return AWorker.FActiveJobSourceSerial == serial; }, AWaitRunningDone);
        job.reset(); // a running copy reads the job's data until it ends: release it only now
        break;
    }
    default:
        break;
    }
}
