#pragma once

#include "foundation/globals.h"

#include <QMetaObject>
#include <QtGlobal>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

class TQJob;
class TQWorker;
class TQWorkers;
class TQSimpleJobs;
class TQRepeatJobs;
class TJobPool;

// Returns a record to its pool (releasing its data); the queues hold records through it.
struct TJobRelease {
    TJobPool* FPool = nullptr;
    void operator()(TQJob* AJob) const noexcept;
};
using TQJobPtr = std::unique_ptr<TQJob, TJobRelease>;

// Scheduler times and delays are counts of 0.1 ms.
constexpr qint64 Q1MillSecond = 10;
constexpr qint64 Q1Second = 10000;

// Now, in 0.1 ms since the unit first asked the clock (a monotonic clock).
qint64 QJobNow() noexcept;

// How the scheduler releases a job's data when the record that owns it goes back to the pool.
enum TQJobDataFreeType { jdfFreeByUser, jdfFreeAsObject };

// Job flag bits.
constexpr int JOB_RUN_ONCE = 0x0001;
constexpr int JOB_IN_MAINTHREAD = 0x0002;
constexpr int JOB_FREE_TYPE_MASK = 0x0F00;
constexpr int JOB_DELAY_REPEAT = 0x2000;
constexpr int JOB_INSERT_FIRST = 0x4000;

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

// A job's payload: a pointer that the caller keeps owning (jdfFreeByUser), or an object that the job owns and
// destroys when its record is released (jdfFreeAsObject, given as a unique_ptr so the right destructor runs).
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
        , FFree(AOther.FFree)
    {
    }
    TQJobData& operator=(TQJobData&& AOther) noexcept;
    TQJobData(const TQJobData&) = delete;
    TQJobData& operator=(const TQJobData&) = delete;
    ~TQJobData() { Reset(); }

    void* Get() const noexcept { return FData; }
    TQJobDataFreeType FreeType() const noexcept { return FFree && FData ? jdfFreeAsObject : jdfFreeByUser; }
    // The same pointer, owned by nobody: what the running copy of a repeating job carries.
    TQJobData Borrow() const noexcept { return TQJobData(FData); }
    void Reset() noexcept;

private:
    template <class T> static void FreeAs(void* AData) noexcept { std::default_delete<T>()(static_cast<T*>(AData)); }

    void* FData = nullptr;
    void (*FFree)(void*) noexcept = nullptr;
};

// One job record, handed to the job procedure. The procedure must not keep it after it returns: the record is
// recycled.
class TQJob {
public:
    TQJob() noexcept = default;

    qint64 StartTime() const noexcept { return FStartTime; }
    qint64 PushTime() const noexcept { return FPushTime; }
    qint64 PopTime() const noexcept { return FPopTime; }
    qint64 DoneTime() const noexcept { return FDoneTime; }
    qint64 NextTime() const noexcept { return FNextTime; }
    int Runs() const noexcept { return FRuns; }
    int Flags() const noexcept { return FFlags; }
    qint64 FirstDelay() const noexcept { return FFirstDelay; }
    const TQJob* Source() const noexcept { return FSource; }
    TQWorkers* Owner() const noexcept { return FOwner; }

    void* Data() const noexcept { return FData.Get(); }
    template <class T> T* DataAs() const noexcept { return static_cast<T*>(FData.Get()); }

    // True when the running job should return early: the scheduler terminates, or the job was cancelled while
    // running. A job that is not running answers false.
    bool IsStopRequested() const noexcept;

private:
    friend class TQWorkers;
    friend class TQSimpleJobs;
    friend class TQRepeatJobs;
    friend class TJobPool;

    bool HasProc() const noexcept { return FProcA ? static_cast<bool>(*FProcA) : static_cast<bool>(FProc); }
    TQJobDataFreeType FreeType() const noexcept
    {
        return static_cast<TQJobDataFreeType>((FFlags & JOB_FREE_TYPE_MASK) >> 8);
    }

    qint64 FStartTime = 0;
    qint64 FPushTime = 0;
    qint64 FPopTime = 0;
    qint64 FDoneTime = 0;
    qint64 FNextTime = 0;
    TQJobProc FProc;
    std::shared_ptr<const TQJobProcA> FProcA; // set for an anonymous procedure; shared by a repeating job's copies
    TQWorkers* FOwner = nullptr;
    TQWorker* FWorker = nullptr;
    int FRuns = 0;
    int FFlags = 0;
    TQJobData FData;
    qint64 FInterval = 0;
    qint64 FFirstDelay = 0;
    const TQJob* FSource = nullptr;
    quint64 FSourceSerial = 0;
    quint64 FSerial = 0; // the job's number in its handle, new for every post: a recycled record is never its old job
};

// Timings that tests scale down; the defaults are the program's.
struct TQWorkersTiming {
    int FireTimeout = 15000; // ms of idleness (plus a random share of up to half of it) before a spare worker retires
    int MonitorInterval = 1000; // ms between the monitor's load checks
    int WaitStep = 10; // ms between the scans of a Clear that waits for running jobs
};

// The job scheduler: a pool of worker threads running jobs once, after a delay, or repeatedly with a pause counted
// from the end of each run. Main-thread jobs go through the main-thread call bridge (MainThreadCalls()), which must
// outlive the scheduler; with no bridge they are skipped.
class TQWorkers {
public:
    using TErrorEvent = std::function<void(TQJob*, std::exception_ptr)>;

    // Matches any data in Clear.
    static inline const void* const AnyData = reinterpret_cast<const void*>(intptr_t(-1));

    explicit TQWorkers(int AMinWorkers = 2, const TQWorkersTiming& ATiming = {});
    ~TQWorkers();
    TQWorkers(const TQWorkers&) = delete;
    TQWorkers& operator=(const TQWorkers&) = delete;

    // A job handle: a number no other job of this scheduler ever gets, with the queue kind in its low bits (0 run-once,
    // 1 repeat); 0 = refused. A handle kept after its job ended clears nothing.
    intptr_t Post(TQJobProc AProc, TQJobData AData = {}, bool ARunInMainThread = false, bool AInsertToFirst = false);
    intptr_t Post(TQJobProcA AProc, TQJobData AData = {}, bool ARunInMainThread = false, bool AInsertToFirst = false);
    // ADelay in 0.1 ms. A repeating job first runs a full delay after the post, then a full delay after each run ends.
    intptr_t Delay(
        TQJobProc AProc, qint64 ADelay, TQJobData AData = {}, bool ARunInMainThread = false, bool ARepeat = false);
    intptr_t Delay(
        TQJobProcA AProc, qint64 ADelay, TQJobData AData = {}, bool ARunInMainThread = false, bool ARepeat = false);

    // Removes queued jobs of the procedure with the data (AnyData: any), at most AMaxTimes (-1: all), and waits for
    // running ones when asked; returns the number removed. The wait runs no event loop: on the main thread it
    // blocks, so a job it waits for must not wait for the main thread (the program waits on workers).
    int Clear(const TQJobProc& AProc, const void* AData, int AMaxTimes = -1, bool AWaitRunningDone = true);
    void ClearSingleJob(intptr_t AHandle, bool AWaitRunningDone = true);

    bool Terminating() const noexcept;
    // Called when the application begins to terminate (connected to QCoreApplication::aboutToQuit).
    void SetAppTerminating() noexcept { FAppTerminating.store(true); }
    // Set before posting; the handler runs on the thread that ran the failing job and must not throw.
    void SetOnError(TErrorEvent AHandler) { FOnError = std::move(AHandler); }

    int MinWorkers() const noexcept { return FMinWorkers; }
    int MaxWorkers() const noexcept { return FMaxWorkers; }
    int WorkerCount() const noexcept { return FWorkerCount.load(); }
    int BusyCount() const noexcept { return FBusyCount.load(); }
    int MainThreadJobs() const noexcept { return FMainThreadJobs.load(); }

private:
    friend class TQJob;
    friend class TMainThreadJob;

    intptr_t Enqueue(TQJobPtr AJob);
    void StartWorker(bool AWake); // under FLocker
    void WakeWorker();
    void WorkerLoop(TQWorker& AWorker);
    bool WaitForWork(TQWorker& AWorker);
    void DoWork(TQWorker& AWorker);
    bool KeepWorker(TQWorker& AWorker);
    void LeaveWorker(TQWorker& AWorker);
    void SetActive(TQWorker& AWorker, const TQJob* AJob);
    void RunJob(TQWorker& AWorker, TQJobPtr AJob);
    void RunInMainThread(TQWorker& AWorker, TQJob& AJob);
    void Invoke(TQJob& AJob) noexcept;
    void WaitRunning(const std::function<bool(const TQWorker&)>& AMatches, bool AWaitRunningDone);
    void MonitorLoop();
    void JoinRetired();

    const TQWorkersTiming FTiming;
    int FMinWorkers = 2;
    int FMaxWorkers = 5;
    // Read for every job and every post, written once: kept off the lines of the counters below.
    std::atomic<bool> FTerminating {false};
    std::atomic<bool> FAppTerminating {false};
    std::unique_ptr<TJobPool> FPool; // before the queues: their records go back to it
    std::unique_ptr<TQSimpleJobs> FSimpleJobs;
    std::unique_ptr<TQRepeatJobs> FRepeatJobs;
    TErrorEvent FOnError;

    std::mutex FLocker; // the worker array, the wake-up and wait-step scans
    std::condition_variable FWorkersGone;
    std::vector<std::unique_ptr<TQWorker>> FWorkers;
    std::vector<std::unique_ptr<TQWorker>> FRetired; // ended threads, joined by the monitor or at shutdown
    int FNextWorkerId = 0;
    alignas(64) std::atomic<int> FWorkerCount {0};
    std::atomic<int> FBusyCount {0};
    std::atomic<int> FPendingCount {0}; // workers woken for work that have not started on it
    std::atomic<int> FMainThreadJobs {0};

    alignas(64) std::atomic<quint64> FLastSerial {0}; // the serial of the latest post; written by every post

    alignas(64) std::mutex FJobDoneLock;
    std::condition_variable FJobDone; // a job ended; wakes a waiting Clear early

    std::mutex FMonitorLock;
    std::condition_variable FMonitorCond;
    bool FMonitorWoken = false;
    bool FMonitorStop = false;
    std::thread FStaticThread;
    QMetaObject::Connection FQuitConnection;
};

// The process-wide scheduler, installed by the program entry.
inline TQWorkers* JobScheduler()
{
    return TGlobal<TQWorkers>::Get();
}
