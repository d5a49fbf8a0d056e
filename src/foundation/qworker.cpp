#include "foundation/qworker.h"

#include "foundation/mainthread.h"
#include "foundation/mainthreadcalls.h"
#include "foundation/qhttp.h"

#include <QCoreApplication>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <system_error>

#include <pthread.h>

#if defined(Q_OS_LINUX)
#include <sys/syscall.h>
#include <unistd.h>
#endif

using namespace std::chrono;

namespace {

// A job handle is the job's serial, unique for the scheduler's life, above two bits that name its kind.
constexpr int KHandleKindBits = 2;
constexpr intptr_t KDelayedKind = 1;
// Longer delays wait this long (ten years), which keeps the clock arithmetic in range.
constexpr qint64 KMaxDelay = qint64(3650) * 24 * 3600 * Q1Second;

const steady_clock::time_point& ClockStart()
{
    static const steady_clock::time_point start = steady_clock::now();
    return start;
}

steady_clock::time_point TimeOf(qint64 AJobTime)
{
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

TQJobData& TQJobData::operator=(TQJobData&& AOther) noexcept
{
    if (this != &AOther) {
        Reset();
        FData = std::exchange(AOther.FData, nullptr);
        FFree = std::exchange(AOther.FFree, nullptr);
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
    return FActive && FOwner && (FOwner->Terminating() || FStopRequested.load());
}

// A main-thread job on its way through the main-thread call bridge. Destroyed without running (skipped at
// shutdown, or with no bridge to run it), it still ends the job.
class TMainThreadJob : public TMainThreadCall {
public:
    TMainThreadJob(TQWorkers& AOwner, std::unique_ptr<TQJob> AJob)
        : FOwner(AOwner)
        , FJob(std::move(AJob))
    {
    }
    ~TMainThreadJob() override
    {
        if (FJob)
            FOwner.Finish(std::move(FJob));
    }

    void Run() override
    {
        if (!FJob->IsStopRequested())
            FOwner.Invoke(*FJob);
        FOwner.Finish(std::move(FJob));
    }

private:
    TQWorkers& FOwner;
    std::unique_ptr<TQJob> FJob;
};

TQWorkers::TQWorkers(int AMinWorkers, const TQWorkersTiming& ATiming)
    : FTiming(ATiming)
{
    const int processors = std::max(1, QThread::idealThreadCount());
    FMinWorkers = AMinWorkers <= 0 ? 2 : AMinWorkers;
    FMaxWorkers = 2 * processors + 1;
    if (FMinWorkers >= FMaxWorkers)
        FMaxWorkers = 2 * FMinWorkers + 1;
    QJobNow(); // starts the clock
    if (QCoreApplication* app = QCoreApplication::instance())
        FQuitConnection = QObject::connect(app, &QCoreApplication::aboutToQuit, [this] { SetAppTerminating(); });
    std::scoped_lock lock(FLock);
    for (int i = 0; i < FMinWorkers; ++i)
        StartWorker();
}

TQWorkers::~TQWorkers()
{
    QObject::disconnect(FQuitConnection);
    {
        std::scoped_lock lock(FLock);
        FTerminating.store(true);
        FWork.notify_all();
        FTimer.notify_all();
    }
    // The main thread may be this one, so the main-thread calls still queued are skipped rather than waited for;
    // a worker that hands one over after this skips it itself.
    if (TMainThreadCalls* calls = MainThreadCalls())
        calls->Skip(this);
    std::vector<TJobPtr> left;
    std::thread last;
    {
        std::unique_lock lock(FLock);
        ++FEndWaiters;
        FJobEnded.wait(lock, [this] { return FWorkerCount == 0 && FRunning.empty(); });
        --FEndWaiters;
        last = std::move(FLeft);
        for (TJobPtr& job : FQueue)
            left.push_back(std::move(job));
        for (auto& [due, job] : FDelayed)
            left.push_back(std::move(job));
        FQueue.clear();
        FDelayed.clear();
    }
    if (last.joinable())
        last.join();
    left.clear(); // queued jobs go with their data, outside the lock
}

bool TQWorkers::Terminating() const noexcept
{
    return FTerminating.load() || FAppTerminating.load();
}

int TQWorkers::WorkerCount() const
{
    std::scoped_lock lock(FLock);
    return FWorkerCount;
}

int TQWorkers::BusyCount() const
{
    std::scoped_lock lock(FLock);
    return FWorkerCount - FIdle;
}

intptr_t TQWorkers::Post(TQJobProc AProc, TQJobData AData, bool ARunInMainThread, bool AInsertToFirst)
{
    auto job = std::make_unique<TQJob>();
    job->FProc = AProc;
    job->FData = std::move(AData);
    job->FInMainThread = ARunInMainThread;
    job->FInsertFirst = AInsertToFirst;
    return Enqueue(std::move(job));
}

intptr_t TQWorkers::Post(TQJobProcA AProc, TQJobData AData, bool ARunInMainThread, bool AInsertToFirst)
{
    auto job = std::make_unique<TQJob>();
    job->FProcA = std::move(AProc);
    job->FAnonymous = true;
    job->FData = std::move(AData);
    job->FInMainThread = ARunInMainThread;
    job->FInsertFirst = AInsertToFirst;
    return Enqueue(std::move(job));
}

intptr_t TQWorkers::Delay(TQJobProc AProc, qint64 ADelay, TQJobData AData, bool ARunInMainThread, bool ARepeat)
{
    auto job = std::make_unique<TQJob>();
    job->FProc = AProc;
    job->FData = std::move(AData);
    job->FInMainThread = ARunInMainThread;
    job->FRepeat = ARepeat;
    job->FDelay = std::clamp<qint64>(ADelay, 0, KMaxDelay);
    return Enqueue(std::move(job));
}

intptr_t TQWorkers::Delay(TQJobProcA AProc, qint64 ADelay, TQJobData AData, bool ARunInMainThread, bool ARepeat)
{
    auto job = std::make_unique<TQJob>();
    job->FProcA = std::move(AProc);
    job->FAnonymous = true;
    job->FData = std::move(AData);
    job->FInMainThread = ARunInMainThread;
    job->FRepeat = ARepeat;
    job->FDelay = std::clamp<qint64>(ADelay, 0, KMaxDelay);
    return Enqueue(std::move(job));
}

intptr_t TQWorkers::Enqueue(TJobPtr AJob)
{
    if (!AJob->HasProc())
        return 0; // the job and its data go at once
    AJob->FOwner = this;
    AJob->FDataKey = AJob->FData.Get();
    const bool delayed = AJob->FRepeat || AJob->FDelay > 0;
    const qint64 due = delayed ? QJobNow() + AJob->FDelay : 0;
    std::unique_lock lock(FLock);
    if (FTerminating.load()) {
        lock.unlock();
        return 0;
    }
    AJob->FSerial = ++FLastSerial;
    const intptr_t handle = static_cast<intptr_t>(AJob->FSerial << KHandleKindBits) | (delayed ? KDelayedKind : 0);
    std::condition_variable* wake = nullptr;
    if (delayed) {
        Schedule(std::move(AJob), due);
    } else {
        if (AJob->FInsertFirst)
            FQueue.push_front(std::move(AJob));
        else
            FQueue.push_back(std::move(AJob));
        wake = WakeOne();
    }
    Grow();
    lock.unlock();
    if (wake)
        wake->notify_one();
    return handle;
}

void TQWorkers::Schedule(TJobPtr AJob, qint64 ADue)
{
    FDelayed.emplace(ADue, std::move(AJob));
    if (FTimerWaiting) {
        if (ADue < FTimerDue && KickTimer())
            FTimer.notify_one();
    } else if (ClaimIdle()) {
        FWork.notify_one(); // it becomes the one that watches the clock
    }
}

bool TQWorkers::ClaimIdle()
{
    // A worker being woken takes every job there is before it rests: while one is on its way, a post wakes no other.
    if (FIdleWaiters == 0 || FWaking > 0)
        return false;
    ++FWaking;
    return true;
}

std::condition_variable* TQWorkers::WakeOne()
{
    // The worker watching the clock is idle too: when it is the only one, it takes the job.
    if (ClaimIdle())
        return &FWork;
    if (KickTimer())
        return &FTimer;
    return nullptr;
}

bool TQWorkers::KickTimer()
{
    if (!FTimerWaiting || FTimerKicked)
        return false;
    FTimerKicked = true;
    return true;
}

void TQWorkers::HandOverTimer()
{
    if (!FDelayed.empty() && !FTimerWaiting && ClaimIdle())
        FWork.notify_one();
}

void TQWorkers::Grow()
{
    // More jobs waiting than idle workers to take them, or none idle to notice a delayed job falling due.
    if (FWorkerCount < FMaxWorkers && (FIdle == 0 || FQueue.size() > static_cast<std::size_t>(FIdle)))
        StartWorker();
}

void TQWorkers::StartWorker()
{
    const auto self = FThreads.emplace(FThreads.end());
    try {
        // The new thread starts by taking FLock, which the caller holds until the thread is stored.
        *self = std::thread([this, self] { WorkerLoop(self); });
    } catch (const std::system_error&) {
        FThreads.erase(self); // no thread to be had: the jobs wait for the workers there are
        return;
    }
    ++FWorkerCount;
    ++FIdle;
}

void TQWorkers::WorkerLoop(TThreads::iterator ASelf)
{
    NameThread("QWorker.");
    std::unique_lock lock(FLock);
    qint64 idleSince = QJobNow();
    bool worked = false;
    TJobPtr spent; // freed outside the lock while jobs keep coming
    while (!FTerminating.load()) {
        TJobPtr job = TakeDue();
        if (!job) {
            spent.reset();
            if (std::exchange(worked, false))
                idleSince = QJobNow();
            if (!WaitForWork(lock, idleSince))
                break;
            continue;
        }
        --FIdle;
        if (!FQueue.empty()) {
            if (std::condition_variable* wake = WakeOne())
                wake->notify_one(); // more jobs wait: one more idle worker shares them
        }
        HandOverTimer();
        Grow();
        lock.unlock();
        spent.reset();
        if (job->FInMainThread) {
            HandToMainThread(std::move(job));
            lock.lock();
        } else {
            Invoke(*job);
            spent = EndRun(std::move(job), lock);
        }
        ++FIdle;
        worked = true;
    }
    spent.reset();
    Leave(ASelf, lock);
}

TQWorkers::TJobPtr TQWorkers::TakeDue()
{
    TJobPtr job;
    if (!FQueue.empty()) {
        job = std::move(FQueue.front());
        FQueue.pop_front();
    } else if (!FDelayed.empty() && FDelayed.begin()->first <= QJobNow()) {
        job = std::move(FDelayed.begin()->second);
        FDelayed.erase(FDelayed.begin());
    } else {
        return {};
    }
    job->FActive = true;
    FRunning.push_back(job.get());
    return job;
}

bool TQWorkers::WaitForWork(std::unique_lock<std::mutex>& ALock, qint64 AIdleSince)
{
    // Only a worker beyond the minimum has a time to leave; the others sleep until there is work.
    const bool spare = FWorkerCount > FMinWorkers;
    const qint64 leaveAt = AIdleSince + qint64(FTiming.FireTimeout) * Q1MillSecond;
    if (spare && QJobNow() >= leaveAt)
        return false;
    const steady_clock::time_point leave = spare ? TimeOf(leaveAt) : steady_clock::time_point::max();
    if (!FDelayed.empty() && !FTimerWaiting) {
        // One worker watches the clock for the first delayed job; the others are not woken by it.
        FTimerWaiting = true;
        FTimerKicked = false;
        FTimerDue = FDelayed.begin()->first;
        FTimer.wait_until(ALock, std::min(TimeOf(FTimerDue), leave));
        FTimerWaiting = false;
    } else {
        ++FIdleWaiters;
        if (spare)
            FWork.wait_until(ALock, leave);
        else
            FWork.wait(ALock);
        --FIdleWaiters;
        if (FWaking > 0)
            --FWaking;
    }
    return true;
}

void TQWorkers::Leave(TThreads::iterator ASelf, std::unique_lock<std::mutex>& ALock)
{
    --FWorkerCount;
    --FIdle;
    // Each worker that leaves joins the one that left before it; the last is joined at the end.
    std::thread previous = std::exchange(FLeft, std::move(*ASelf));
    FThreads.erase(ASelf);
    HandOverTimer();
    if (FEndWaiters > 0)
        FJobEnded.notify_all();
    ALock.unlock();
    if (previous.joinable())
        previous.join();
}

void TQWorkers::HandToMainThread(TJobPtr AJob)
{
    FMainThreadJobs.fetch_add(1);
    auto call = std::make_unique<TMainThreadJob>(*this, std::move(AJob));
    TMainThreadCalls* calls = MainThreadCalls();
    if (!calls)
        return; // no bridge, no main loop to run it: skipped as the call goes
    calls->Post(this, std::move(call));
    if (FTerminating.load())
        calls->Skip(this); // the shutdown may have skipped the queued calls before this one came
}

void TQWorkers::Invoke(TQJob& AJob) noexcept
{
    // A job's exchanges keep their connections open for one another; its end closes them.
    const THttpConnectionScope connections;
    try {
        if (AJob.FProcA)
            AJob.FProcA(&AJob);
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

TQWorkers::TJobPtr TQWorkers::EndRun(TJobPtr AJob, std::unique_lock<std::mutex>& ALock)
{
    if (AJob->FRepeat) {
        ALock.lock();
        AJob->FActive = false;
        ++AJob->FRuns;
        if (!AJob->FCancelled && !FTerminating.load()) {
            AJob->FStopRequested.store(false);
            Unregister(*AJob);
            const qint64 due = QJobNow() + AJob->FDelay; // the pause counts from the end of the run
            Schedule(std::move(AJob), due);
            return {};
        }
        ALock.unlock();
    }
    // A job that ends releases what it owns before it counts as ended: a Clear that waited for it finds its data
    // gone.
    AJob->FData.Reset();
    AJob->FProcA = nullptr;
    ALock.lock();
    Unregister(*AJob);
    return AJob;
}

void TQWorkers::Unregister(const TQJob& AJob)
{
    const auto it = std::find(FRunning.begin(), FRunning.end(), &AJob);
    *it = FRunning.back();
    FRunning.pop_back();
    if (FEndWaiters > 0)
        FJobEnded.notify_all();
}

void TQWorkers::Finish(TJobPtr AJob)
{
    FMainThreadJobs.fetch_sub(1);
    std::unique_lock lock(FLock, std::defer_lock);
    TJobPtr spent = EndRun(std::move(AJob), lock);
    lock.unlock(); // from here on the scheduler may be gone
}

int TQWorkers::Cancel(const TMatch& AMatches, int AMaxTimes, bool AWaitRunningDone)
{
    std::vector<TJobPtr> removed;
    int cancelled = 0;
    int left = AMaxTimes < 0 ? -1 : AMaxTimes;
    {
        std::scoped_lock lock(FLock);
        for (auto it = FQueue.begin(); it != FQueue.end() && left != 0;) {
            if (AMatches(**it)) {
                removed.push_back(std::move(*it));
                it = FQueue.erase(it);
                --left;
            } else {
                ++it;
            }
        }
        for (auto it = FDelayed.begin(); it != FDelayed.end() && left != 0;) {
            if (AMatches(*it->second)) {
                removed.push_back(std::move(it->second));
                it = FDelayed.erase(it);
                --left;
            } else {
                ++it;
            }
        }
        for (TQJob* job : FRunning) {
            if (!AMatches(*job))
                continue;
            job->FStopRequested.store(true);
            if (job->FRepeat && !job->FCancelled && left != 0) {
                job->FCancelled = true;
                ++cancelled;
                --left;
            }
        }
    }
    const int count = static_cast<int>(removed.size()) + cancelled;
    removed.clear(); // with their data, outside the lock: none of them runs
    if (AWaitRunningDone)
        WaitRunning(AMatches);
    return count;
}

void TQWorkers::WaitRunning(const TMatch& AMatches)
{
    // The main thread cannot wait for a call that only it can run: the job was asked to stop, so it is skipped.
    const bool onMain = IsMainThread();
    const auto running = [&] {
        return std::any_of(FRunning.begin(), FRunning.end(),
            [&](const TQJob* AJob) { return AMatches(*AJob) && !(onMain && AJob->FInMainThread); });
    };
    // No event loop here, on the main thread either: a click must never run inside another's wait.
    std::unique_lock lock(FLock);
    ++FEndWaiters;
    FJobEnded.wait(lock, [&] { return !running(); });
    --FEndWaiters;
}

int TQWorkers::Clear(const TQJobProc& AProc, const void* AData, int AMaxTimes, bool AWaitRunningDone)
{
    return Cancel(
        [&](const TQJob& AJob) {
            return !AJob.FAnonymous && AJob.FProc == AProc && (AData == AnyData || AJob.FDataKey == AData);
        },
        AMaxTimes, AWaitRunningDone);
}

void TQWorkers::ClearSingleJob(intptr_t AHandle, bool AWaitRunningDone)
{
    const quint64 serial = static_cast<quint64>(AHandle) >> KHandleKindBits;
    if (AHandle <= 0 || serial == 0)
        return;
    Cancel([serial](const TQJob& AJob) { return AJob.FSerial == serial; }, 1, AWaitRunningDone);
}
