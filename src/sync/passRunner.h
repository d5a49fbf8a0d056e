#pragma once

#include "foundation/qworker.h"
#include "store/ucommon.h"
#include "sync/agedOutOrders.h"
#include "sync/cacheCheck.h"
#include "sync/jobSupport.h"
#include "sync/passOutcome.h"
#include "sync/passSlot.h"
#include "sync/syncFrontEnd.h"

#include <QDateTime>

#include <atomic>
#include <functional>
#include <mutex>

class TAccountHealth;
class TAccountStatus;
enum class TPassKind;

// The order and refund passes: the repeating jobs a start sets up, the pass a click asks for, the one-off passes
// of the headless mode. Passes of one kind never overlap (their slots); an invalid-order pass gives its slot back
// only once its batches are recorded.
class TPassRunner {
public:
    TPassRunner(TSyncFrontEnd& AFrontEnd, TAccountStatus& AStatus, TAccountHealth& AHealth, qint64 ASyncInterval,
        qint64 ARefundInterval);
    ~TPassRunner();
    TPassRunner(const TPassRunner&) = delete;
    TPassRunner& operator=(const TPassRunner&) = delete;

    // The repeating jobs, each with a first pass at once. Main thread.
    void Start();
    // Cancels the repeating jobs and waits for their running passes on a worker; AStopped runs on the main thread
    // afterwards. Main thread.
    void Stop(std::function<void()> AStopped);
    bool Running() const { return FSyncOrderThread1 != 0; }

    bool ManualRefundEnabled() const { return FManualRefunds.load() == 0; }
    // The manual refund run, posted as a job of its own.
    void SyncWeiquanClick();

    // One invalid-order pass and one refund pass on a worker, then waits for every batch post; ADone runs on the
    // main thread afterwards.
    void RunPassesOnce(std::function<void()> ADone);

    // Per account (user id), the orders that left the download window undelivered since the start.
    const TAgedOutOrders& AgedOutOrders() const { return FAgedOut; }

    // Job procedures.
    void SyncInvalidOrdersJob(TQJob* AJob);
    void SyncRefundOrdersNow(TQJob* AJob);

private:
    void SyncRefundOrdersJob(TQJob* AJob);
    void RunInvalidPass(TQJob* AJob, bool AWaitTurn);
    void RunRefundPass(TQJob* AJob, bool AWaitTurn);
    using TSynchronise = std::function<TAccountPassOutcome(PAlimmTokenData)>;
    // One pass: each account of the store, with its row showing the run; ends early on a stop. ASkip tells the
    // accounts this pass leaves out; they keep their rows as they are. Up to AConcurrency accounts run at once.
    void ForEachAccount(TPassKind AKind, const TStopCheck& AStop, const TSynchronise& ASynchronise,
        const std::function<bool(const TAlimmTokenRecord&)>& ASkip = {}, int AConcurrency = 1);
    // One account's part of a pass, its row and its health.
    void SynchroniseAccount(TPassKind AKind, const PAlimmTokenData& AAccount, const TSynchronise& ASynchronise);
    TAccountPassOutcome SyncInvalidOrdersOfAccount(PAlimmTokenData AAccount, const TStopCheck& AStop);
    TAccountPassOutcome SyncRefundOrdersOfAccount(PAlimmTokenData AAccount, const QDateTime& ABegin,
        const QDateTime& AEnd, const TStopCheck& AStop, TRefundSource ASource);
    void ControlsChangedOnMain();
    // Why the order cache cannot serve this account's pass (said once: an error line and a message box); empty
    // when it can.
    QString CacheProblem();

    TSyncFrontEnd& FFrontEnd;
    TAccountStatus& FStatus;
    TAccountHealth& FHealth;
    const qint64 FSyncInterval;
    const qint64 FRefundInterval;
    std::atomic<intptr_t> FSyncOrderThread1 {0}; // read by the passes for the next turn's time
    std::atomic<intptr_t> FSyncOrderThread2 {0};
    std::atomic<int> FManualRefunds {0};
    TAgedOutOrders FAgedOut;
    // Held while an account's count line is written and its orders posted: the post's lines name no account, so
    // with accounts downloaded at once they must follow their account's line.
    std::mutex FPostTurn;
    TPassSlot FInvalidPass;
    TPassSlot FRefundPass; // the repeating, the immediate and the manual refund runs
    TCacheCheck FCacheCheck;
};
