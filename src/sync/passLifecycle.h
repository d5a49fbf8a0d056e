#pragma once

#include "foundation/qworker.h"
#include "foundation/stopCheck.h"
#include "sync/accountHealth.h"
#include "sync/passOutcome.h"

#include <QString>
#include <QStringList>
#include <exception>

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

// Every pass job of the controller: the first passes a start posts, the repeating ones, the manual refund run and
// the one-off passes of --once. Each keeps a handle here until it has ended, so a stop reaches all of them, the
// ones posted at once too, and says when the last one has ended.
class TPassJobs {
public:
    // A pass: its job and the stop it must poll (the job's own stop, or a StopAll since it was posted).
    using TPass = std::function<void(TQJob* AJob, const TStopCheck& AStop)>;

    TPassJobs();
    ~TPassJobs();
    TPassJobs(const TPassJobs&) = delete;
    TPassJobs& operator=(const TPassJobs&) = delete;

    // A pass at once on a worker; false when the scheduler refused it.
    bool Post(TPass APass);
    // A pass every AInterval (scheduler units), each a full interval after the end of the one before.
    bool Repeat(TPass APass, qint64 AInterval);
    // Whether repeating passes are scheduled.
    bool Repeating() const;
    // Ends every pass posted so far: the repeating ones are cancelled, every running or queued one is asked to
    // stop; once all have ended (waited for on a worker), ADone runs on the main thread. Main thread.
    void StopAll(std::function<void()> ADone);

private:
    struct TState {
        mutable std::mutex lock;
        std::condition_variable ended;
        quint64 generation = 0; // a StopAll ends every pass of an earlier generation
        std::map<quint64, int> open; // generation → one-off passes posted and not yet ended
        std::vector<intptr_t> repeating; // handles of the repeating jobs
        bool Stale(quint64 AGeneration) const;
    };
    // Wraps a pass with its generation's stop and its bookkeeping.
    static TQJobProcA Job(const std::shared_ptr<TState>& AState, quint64 AGeneration, TPass APass, bool AOneOff);
    quint64 Generation() const;

    // Shared with the jobs: a job the scheduler drops unrun still holds it safely.
    std::shared_ptr<TState> FState = std::make_shared<TState>();
};

// One pass over the accounts from its start to its end. Made once the pass holds its slot; when it goes, the pass
// ends exactly once with how it ended (complete, failed, stopped), whatever was thrown, and its summary line is
// logged for both front ends.
class TPassScope {
public:
    using TInterval = std::function<qint64()>; // ms to the next pass of the kind; 0 when none is scheduled

    // ALogSummary false: the pass closes with a line of its own (the manual refund run).
    TPassScope(
        TAccountHealth& AHealth, TPassKind AKind, TStopCheck AStop, TInterval AInterval, bool ALogSummary = true);
    ~TPassScope();
    TPassScope(const TPassScope&) = delete;
    TPassScope& operator=(const TPassScope&) = delete;

    // One account's part ended; any thread.
    void AccountEnded(const QString& AUserName, const TAccountPassOutcome& AOutcome);
    // How the pass ends, as far as it went.
    TPassEnd End() const;
    // "name(cause)" of each account that failed so far.
    QStringList Failed() const;
    // A pass that never ran: another of its kind held the slot, or a stop came first.
    static void Skipped(TAccountHealth& AHealth, TPassKind AKind);

private:
    QString Summary(TPassEnd AEnd) const;

    TAccountHealth& FHealth;
    const TPassKind FKind;
    const TStopCheck FStop;
    const TInterval FInterval;
    const bool FLogSummary;
    const int FUncaught; // exceptions in flight when the pass began
    mutable std::mutex FLock;
    int FAccounts = 0;
    int FSkipped = 0;
    qint64 FDelivered = 0;
    QStringList FFailed;
};

// Logs an error that a job let out ("同步任务出错:<message>"); the scheduler's error handler, and the runs that catch
// their own.
void LogJobError(TQJob* AJob, std::exception_ptr AError);
