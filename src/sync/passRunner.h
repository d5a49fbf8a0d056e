#pragma once

#include "foundation/qworker.h"
#include "foundation/stopCheck.h"
#include "sessions/alimmTokenMgr.h"
#include "store/ucommon.h"
#include "sync/agedOutOrders.h"
#include "sync/cacheCheck.h"
#include "sync/delivery.h"
#include "sync/passLifecycle.h"
#include "sync/passOutcome.h"
#include "sync/passSlot.h"
#include "sync/syncFrontEnd.h"

#include <QDateTime>

#include <atomic>
#include <functional>

class TAccountHealth;

// The order and refund passes: the first and the repeating passes a start sets up, the manual refund run, the
// one-off passes of the headless mode. Each is a job of FJobs, so a stop ends every one of them, and each pass over
// the accounts is a TPassScope, so it ends exactly once with its outcome. Passes of one kind never overlap (their
// slots); an account's orders go from its reader through the delivery step on the pass's own worker, so a pass
// gives its slot back only once its batches are recorded.
class TPassRunner {
public:
    TPassRunner(TSyncFrontEnd& AFrontEnd, TAccountHealth& AHealth, qint64 ASyncInterval, qint64 ARefundInterval);
    ~TPassRunner();
    TPassRunner(const TPassRunner&) = delete;
    TPassRunner& operator=(const TPassRunner&) = delete;

    // The repeating jobs, each with a first pass at once. Main thread.
    void Start();
    // Ends every pass (the first ones, the repeating ones, a manual refund run) and waits for them on a worker;
    // AStopped runs on the main thread once they have all ended. Main thread.
    void Stop(std::function<void()> AStopped);
    bool Running() const { return FJobs.Repeating(); }

    bool ManualRefundEnabled() const { return FManualRefunds.load() == 0; }
    // The manual refund run, posted as a pass job of its own.
    void SyncWeiquanClick();

    // One invalid-order pass and one refund pass on a worker, batches and all; ADone runs on the main thread
    // afterwards.
    void RunPassesOnce(std::function<void()> ADone);

    // Per account (user id), the orders that left the download window undelivered since the start.
    const TAgedOutOrders& AgedOutOrders() const { return FAgedOut; }

    // Job procedures.
    void SyncInvalidOrdersJob(TQJob* AJob);
    void SyncRefundOrdersNow(TQJob* AJob);

private:
    void RunInvalidPass(const TStopCheck& AStop, bool AWaitTurn);
    void RunRefundPass(const TStopCheck& AStop, bool AWaitTurn);
    void RunManualRefunds(const TStopCheck& AStop);
    using TSynchronise = std::function<TAccountPassOutcome(PAlimmTokenData)>;
    // The accounts of one pass, each with its row and health; ends early on a stop. ASkip tells the accounts this
    // pass leaves out (recorded as skipped; their rows stay as they are). Up to AConcurrency accounts run at once.
    void ForEachAccount(TPassScope& APass, TPassKind AKind, const TStopCheck& AStop, const TSynchronise& ASynchronise,
        const std::function<bool(const TAlimmTokenRecord&)>& ASkip = {}, int AConcurrency = 1);
    // One account's part of a pass: whatever it throws is that account's failure, and the pass goes on.
    void SynchroniseAccount(
        TPassScope& APass, TPassKind AKind, const PAlimmTokenData& AAccount, const TSynchronise& ASynchronise);
    qint64 IntervalMs(TPassKind AKind) const;
    TAccountPassOutcome SyncInvalidOrdersOfAccount(PAlimmTokenData AAccount, const TStopCheck& AStop);
    TAccountPassOutcome SyncRefundOrdersOfAccount(PAlimmTokenData AAccount, const QDateTime& ABegin,
        const QDateTime& AEnd, const TStopCheck& AStop, TRefundSource ASource);
    void ControlsChangedOnMain();
    // Why the order cache cannot serve this account's pass (said once: an error line and a message box); empty
    // when it can.
    QString CacheProblem(const TDBCacheClass* ACache);

    TSyncFrontEnd& FFrontEnd;
    TAccountHealth& FHealth;
    const qint64 FSyncInterval;
    const qint64 FRefundInterval;
    std::atomic<int> FManualRefunds {0};
    TAgedOutOrders FAgedOut;
    TDelivery FDelivery; // feeds FAgedOut
    TPassSlot FInvalidPass;
    TPassSlot FRefundPass; // the repeating, the immediate and the manual refund runs
    TCacheCheck FCacheCheck;
    TPassJobs FJobs; // last: its jobs use everything above
};
