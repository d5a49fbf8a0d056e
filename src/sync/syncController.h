#pragma once

#include "foundation/ownedthreads.h"
#include "foundation/qworker.h"
#include "sync/accountListModel.h"
#include "sync/passSlot.h"
#include "sync/signInBrowser.h"
#include "sync/signInListener.h"
#include "sync/syncFrontEnd.h"

#include <QDateTime>
#include <QObject>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>

class TAlimmTokenRecord;
class TDBCacheClass;
class TQJson;
using PAlimmTokenData = TAlimmTokenRecord*;
using TStopCheck = std::function<bool()>;

// Intervals and time-outs; tests shorten them. Scheduler units are 0.1 ms.
struct TSyncTiming {
    qint64 syncInterval = 300 * Q1Second;
    qint64 refundInterval = 18000 * Q1Second;
    qint64 keepAliveInterval = 480 * Q1Second;
    qint64 tokenRefreshInterval = 600 * Q1Second;
    int probeConnectTimeoutMs = 10000;
    int probeReadTimeoutMs = 10000;
};

// The program's logic behind its window, without a widget: the operator sign-in and the account list, the order
// and refund jobs, the sign-in browser and its listener, the session keep-alive. It lives on the main thread; the
// network runs on the scheduler's workers and comes back as main-thread calls, so the main thread never waits.
// Needs the process-wide objects (settings, token store, scheduler, log, operator client) for its whole life.
class TSyncController : public QObject {
    Q_OBJECT

public:
    using TSignInDone = std::function<void(bool ASucceeded, const QString& AError)>;

    TSyncController(TSyncFrontEnd& AFrontEnd, const QString& AProgramFolder, const TSyncTiming& ATiming = {});
    ~TSyncController() override;
    TSyncController(const TSyncController&) = delete;
    TSyncController& operator=(const TSyncController&) = delete;

    // What the window's creation does beyond its widgets: the listener, the order cache, the keep-alive job.
    void Open();
    // The first step of the end: no datagram is taken any more. The scheduler is stopped after it, and the order
    // cache is released with the controller.
    void CloseListener();

    TAccountListModel& Accounts() { return FAccounts; }
    quint16 ListenerPort() const { return FListener.Port(); }
    const QString& ProgramFolder() const { return FProgramFolder; }

    // Operator: one request at a time. SignIn answers false (and calls nothing) while one runs.
    QString OperatorPanelText() const { return FOperatorPanel; }
    bool OperatorRequestRunning() const { return FOperatorBusy.load(); }
    bool SignIn(const QString& APhone, const QString& APwd, TSignInDone ADone);
    void RefreshClick();
    // Fetches the account list on a worker and rebuilds the list from it on the main thread; false while another
    // operator request runs.
    bool RefreshAuthorizedAccounts();

    // Synchronisation switch: tag 1 idle, 2 running.
    int StartTag() const { return FStartTag; }
    QString StartCaption() const;
    bool Stopping() const { return FStopping; }
    void StartStopClick();
    bool ManualRefundEnabled() const { return FManualRefunds.load() == 0; }
    void SyncWeiquanClick();

    // The context menu's sign-in: AUserId is the selected row's first column, empty when no row is selected.
    void LoginAlimmClick(const QString& AUserId);
    // Starts the sign-in browser for an account without asking anything; false when it cannot be started.
    bool StartSignInBrowser(const QString& AUserId);

    // One invalid-order pass and one refund pass on a worker, then waits for every batch post; ADone runs on the
    // main thread afterwards.
    void RunPassesOnce(std::function<void()> ADone);

    // Job procedures and their steps.
    void SyncInvalidOrdersJob(TQJob* AJob);
    void SyncInvalidOrdersOfAccount(PAlimmTokenData AAccount, const TStopCheck& AStop);
    void SyncRefundOrdersJob(TQJob* AJob);
    void SyncRefundOrdersOfAccount(
        PAlimmTokenData AAccount, const QDateTime& ABegin, const QDateTime& AEnd, const TStopCheck& AStop);
    void SyncRefundOrdersNow(TQJob* AJob);
    void KeepSessionsOnline(TQJob* AJob);
    bool CheckAffiliateSession(PAlimmTokenData AAccount, const TStopCheck& AStop);
    QString Web_Http(const QString& AUrl, const QString& ACookies, const TStopCheck& AStop);
    void ShowAccountStatus(TQJob* AJob);
    void udpServerUDPRead(const QByteArray& AData);
    void HandleSignInMessage(const QString& AText);

    // Posts a status message for the row of that account name to the main thread.
    void SendStatus(const QString& AUserName, int AStatus);

Q_SIGNALS:
    // A sign-in browser reported for that account (a failed sign-in too).
    void SignInReported(const QString& AUserId, bool ASucceeded);
    // The account list was rebuilt (ASucceeded false: the request failed and the list is empty).
    void AccountsRefreshed(bool ASucceeded);

private:
    struct TAccountsReply;

    bool BeginOperatorRequest();
    void EndOperatorRequest();
    void AfterSignIn();
    void ApplyAccounts(const TQJson& AAccounts);
    void ScheduleTokenRefresh();
    void TokenRefreshJob(TQJob* AJob);
    void FetchAccountsOnWorker(TQJob* ARunning);
    void FinishStop();
    void RunInvalidPass(TQJob* AJob, bool AWaitTurn);
    void RunRefundPass(TQJob* AJob, bool AWaitTurn);
    // One pass: each account of the store, with its row showing the run; ends early on a stop.
    void ForEachAccount(const TStopCheck& AStop, const std::function<void(PAlimmTokenData)>& ASynchronise);
    void ShowError(const QString& AText);
    void ControlsChanged();
    void RunOnMain(std::function<void()> ACall);

    TSyncFrontEnd& FFrontEnd;
    const QString FProgramFolder;
    const TSyncTiming FTiming;
    TAccountListModel FAccounts;
    QString FOperatorPanel = QStringLiteral("运营商：未登录");
    std::atomic<bool> FOperatorBusy {false};
    int FStartTag = 1;
    bool FStopping = false;
    intptr_t FSyncOrderThread1 = 0;
    intptr_t FSyncOrderThread2 = 0;
    intptr_t FAtKeepOnlineJobID = 0;
    intptr_t FTokenRefreshJob = 0;
    std::atomic<int> FManualRefunds {0};
    TPassSlot FInvalidPass;
    TPassSlot FRefundPass; // the repeating, the immediate and the manual refund runs
    TBrowserProcesses FBrowsers;
    TSignInListener FListener;
    std::unique_ptr<TDBCacheClass> FDBCache;
    TOwnedThreads FSignInThreads; // last: joined before anything their messages use goes away
};
