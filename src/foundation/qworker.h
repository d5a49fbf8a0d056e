#pragma once

#include "foundation/globals.h"

#include <QMetaObject>
#include <QtGlobal>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <exception>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

class TQJob;
class TQWorkers;

// Scheduler times and delays are counts of 0.1 ms.
constexpr qint64 Q1MillSecond = 10;
constexpr qint64 Q1Second = 10000;

// Now, in 0.1 ms since the unit first asked the clock (a monotonic clock).
qint64 QJobNow() noexcept;

// A method of an object that takes the job record. Two procedures are the same when object and method are: the
// member-function pointer is kept as its bytes so that Clear can compare it exactly.
class TQJobProc {
public:
    TQJobProc() noexcept = default;

    template <class C>
    TQJobProc(std::type_identity_t<C>* AObject, void (C::*AMethod)(TQJob*)) noexcept
        : FObject(AObject)
        , FInvoke(AMethod ? &InvokeAs<C> : nullptr)
    {
        static_assert(sizeof(AMethod) <= sizeof(FMethod), "member-function pointer does not fit");
        std::memcpy(FMethod, &AMethod, sizeof(AMethod));
    }

    explicit operator bool() const noexcept { return FObject != nullptr && FInvoke != nullptr; }
    void operator()(TQJob* AJob) const { FInvoke(FObject, FMethod, AJob); }
    const void* Object() const noexcept { return FObject; }

    friend bool operator==(const TQJobProc& A, const TQJobProc& B) noexcept
    {
        return A.FObject == B.FObject && std::memcmp(A.FMethod, B.FMethod, sizeof(FMethod)) == 0;
    }

private:
    struct TProbe { };

    template <class C> static void InvokeAs(void* AObject, const unsigned char* AMethod, TQJob* AJob)
    {
        void (C::*method)(TQJob*) = nullptr;
        std::memcpy(&method, AMethod, sizeof(method));
        (static_cast<C*>(AObject)->*method)(AJob);
    }

    void* FObject = nullptr;
    unsigned char FMethod[sizeof(void(TProbe::*)())] = {};
    void (*FInvoke)(void*, const unsigned char*, TQJob*) = nullptr;
};

// An anonymous procedure that takes the job record.
using TQJobProcA = std::function<void(TQJob*)>;

// A job's payload: a pointer that the caller keeps owning, or an object that the job owns and destroys when the job
// ends (given as a unique_ptr so the right destructor runs).
class TQJobData {
public:
    TQJobData() noexcept = default;
    TQJobData(std::nullptr_t) noexcept { }
    TQJobData(void* AData) noexcept
        : FData(AData)
    {
    }
    template <class T>
    TQJobData(std::unique_ptr<T> AData) noexcept
        : FData(AData.release())
        , FFree(&FreeAs<T>)
    {
    }
    TQJobData(TQJobData&& AOther) noexcept
        : FData(std::exchange(AOther.FData, nullptr))
        , FFree(std::exchange(AOther.FFree, nullptr))
    {
    }
    TQJobData& operator=(TQJobData&& AOther) noexcept;
    TQJobData(const TQJobData&) = delete;
    TQJobData& operator=(const TQJobData&) = delete;
    ~TQJobData() { Reset(); }

    void* Get() const noexcept { return FData; }
    void Reset() noexcept;

private:
    template <class T> static void FreeAs(void* AData) noexcept { std::default_delete<T>()(static_cast<T*>(AData)); }

    void* FData = nullptr;
    void (*FFree)(void*) noexcept = nullptr;
};

// One job, handed to its procedure while it runs. The procedure must not keep the pointer after it returns.
class TQJob {
public:
    TQJob() noexcept = default;
    TQJob(const TQJob&) = delete;
    TQJob& operator=(const TQJob&) = delete;

    int Runs() const noexcept { return FRuns; } // the runs of a repeating job that ended before this one
    TQWorkers* Owner() const noexcept { return FOwner; }

    void* Data() const noexcept { return FDataKey; }
    template <class T> T* DataAs() const noexcept { return static_cast<T*>(FDataKey); }

    // True when the running job should return early: the scheduler terminates, or the job was cancelled while
    // running. A job that is not running answers false.
    bool IsStopRequested() const noexcept;

private:
    friend class TQWorkers;
    friend class TMainThreadJob;

    bool HasProc() const noexcept { return static_cast<bool>(FProcA) || static_cast<bool>(FProc); }

    // Set at the post, then read only.
    TQJobProc FProc;
    TQJobProcA FProcA; // set for an anonymous procedure; released with the data
    bool FAnonymous = false;
    TQJobData FData; // released by the thread that ends the job, just before it counts as ended
    void* FDataKey = nullptr; // FData's pointer, which Clear compares while the data may be going
    TQWorkers* FOwner = nullptr;
    quint64 FSerial = 0; // the number in the job's handle, never given to another job
    qint64 FDelay = 0;
    bool FInMainThread = false;
    bool FRepeat = false;
    bool FInsertFirst = false;

    // Under the owner's lock.
    bool FCancelled = false; // a running repeating job that must not run again
    // Written under the owner's lock as a run starts or ends; read by the run.
    int FRuns = 0;
    bool FActive = false;
    std::atomic<bool> FStopRequested {false}; // this run: set by Clear, read by the procedure
};

// Timings that tests scale down; the default is the program's.
struct TQWorkersTiming {
    int FireTimeout = 15000; // ms a worker beyond the minimum waits idle before it leaves
};

// The job scheduler: worker threads running jobs once, after a delay, or repeatedly with a pause counted from the
// end of each run. One lock guards the run-once queue, the delayed jobs by due time, the running jobs and the
// workers. There are MinWorkers threads; one more starts while every worker is busy or more jobs wait than idle
// workers, up to MaxWorkers, and a thread beyond the minimum leaves after FireTimeout idle. One idle worker watches
// the clock for the first delayed job.
//
// Main-thread jobs go through the main-thread call bridge (MainThreadCalls()), which must outlive the scheduler;
// with no bridge they are skipped. The worker that takes one hands it over and goes back to the queue: the job
// counts as running until the main thread has run or skipped it.
class TQWorkers {
public:
    using TErrorEvent = std::function<void(TQJob*, std::exception_ptr)>;

    // Matches any data in Clear.
    static inline const void* const AnyData = reinterpret_cast<const void*>(intptr_t(-1));

    explicit TQWorkers(int AMinWorkers = 2, const TQWorkersTiming& ATiming = {});
    ~TQWorkers();
    TQWorkers(const TQWorkers&) = delete;
    TQWorkers& operator=(const TQWorkers&) = delete;

    // A job handle: a number no other job of this scheduler ever gets, with the job's kind in its low bits (0
    // run-once at once, 1 delayed or repeating); 0 = refused. A handle kept after its job ended clears nothing.
    intptr_t Post(TQJobProc AProc, TQJobData AData = {}, bool ARunInMainThread = false, bool AInsertToFirst = false);
    intptr_t Post(TQJobProcA AProc, TQJobData AData = {}, bool ARunInMainThread = false, bool AInsertToFirst = false);
    // ADelay in 0.1 ms. A repeating job first runs a full delay after the post, then a full delay after each run ends.
    intptr_t Delay(
        TQJobProc AProc, qint64 ADelay, TQJobData AData = {}, bool ARunInMainThread = false, bool ARepeat = false);
    intptr_t Delay(
        TQJobProcA AProc, qint64 ADelay, TQJobData AData = {}, bool ARunInMainThread = false, bool ARepeat = false);

    // Removes queued jobs of the procedure with the data (AnyData: any), and running repeating ones from their next
    // run, at most AMaxTimes (-1: all); asks the running ones to stop and waits for them when asked; returns the
    // number removed. The wait runs no event loop: on the main thread it blocks, and drops the wait for (and
    // skips) a main-thread job, which only the main thread could run.
    int Clear(const TQJobProc& AProc, const void* AData, int AMaxTimes = -1, bool AWaitRunningDone = true);
    void ClearSingleJob(intptr_t AHandle, bool AWaitRunningDone = true);

    bool Terminating() const noexcept;
    // Called when the application begins to terminate (connected to QCoreApplication::aboutToQuit).
    void SetAppTerminating() noexcept { FAppTerminating.store(true); }
    // Set before posting; the handler runs on the thread that ran the failing job and must not throw.
    void SetOnError(TErrorEvent AHandler) { FOnError = std::move(AHandler); }

    int MinWorkers() const noexcept { return FMinWorkers; }
    int MaxWorkers() const noexcept { return FMaxWorkers; }
    int WorkerCount() const;
    int BusyCount() const;
    int MainThreadJobs() const noexcept { return FMainThreadJobs.load(); }

private:
    friend class TMainThreadJob;

    using TJobPtr = std::unique_ptr<TQJob>;
    using TThreads = std::list<std::thread>;
    using TMatch = std::function<bool(const TQJob&)>;

    intptr_t Enqueue(TJobPtr AJob);
    // Under FLock.
    void Schedule(TJobPtr AJob, qint64 ADue);
    bool ClaimIdle();
    std::condition_variable* WakeOne(); // the one to notify for a run-once job, if any
    bool KickTimer();
    void HandOverTimer();
    void Grow();
    void StartWorker();
    TJobPtr TakeDue();
    bool WaitForWork(std::unique_lock<std::mutex>& ALock, qint64 AIdleSince);
    void Leave(TThreads::iterator ASelf, std::unique_lock<std::mutex>& ALock);
    void Unregister(const TQJob& AJob);

    void WorkerLoop(TThreads::iterator ASelf);
    void HandToMainThread(TJobPtr AJob);
    void Invoke(TQJob& AJob) noexcept;
    TJobPtr EndRun(TJobPtr AJob, std::unique_lock<std::mutex>& ALock); // takes ALock; returns the spent record
    void Finish(TJobPtr AJob); // a main-thread job's end, from any thread
    int Cancel(const TMatch& AMatches, int AMaxTimes, bool AWaitRunningDone);
    void WaitRunning(const TMatch& AMatches);

    const TQWorkersTiming FTiming;
    int FMinWorkers = 2;
    int FMaxWorkers = 5;
    std::atomic<bool> FTerminating {false};
    std::atomic<bool> FAppTerminating {false};
    std::atomic<int> FMainThreadJobs {0};
    TErrorEvent FOnError;

    mutable std::mutex FLock;
    quint64 FLastSerial = 0;
    std::deque<TJobPtr> FQueue; // run-once jobs, oldest first
    std::multimap<qint64, TJobPtr> FDelayed; // by due time
    std::vector<TQJob*> FRunning; // on a worker or handed to the main thread
    TThreads FThreads; // the workers
    std::thread FLeft; // the last worker that left, joined by the next one to leave or at the end
    int FWorkerCount = 0;
    int FIdle = 0; // workers not running a job
    int FIdleWaiters = 0; // workers waiting on FWork
    int FWaking = 0; // of them, those already notified
    bool FTimerWaiting = false; // a worker waits on FTimer for the first delayed job
    bool FTimerKicked = false; // and was notified
    qint64 FTimerDue = 0; // what it waits for
    int FEndWaiters = 0; // Clear calls waiting on FJobEnded
    std::condition_variable FWork;
    std::condition_variable FTimer;
    std::condition_variable FJobEnded;
    QMetaObject::Connection FQuitConnection;
};

// The process-wide scheduler, installed by the program entry.
inline TQWorkers* JobScheduler()
{
    return TGlobal<TQWorkers>::Get();
}
