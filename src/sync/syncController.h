#pragma once

#include "foundation/qworker.h"
#include "sync/accountHealth.h"
#include "sync/accountListModel.h"
#include "sync/accountStatus.h"
#include "sync/alertNotifier.h"
#include "sync/keepAlive.h"
#include "sync/latestFile.h"
#include "sync/operatorSession.h"
#include "sync/passRunner.h"
#include "sync/signin/signInBrowsers.h"
#include "sync/syncFrontEnd.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>

// Intervals and time-outs; tests shorten them. Scheduler units are 0.1 ms.
struct TSyncTiming {
    qint64 syncInterval = 300 * Q1Second;
    qint64 refundInterval = 18000 * Q1Second;
    qint64 keepAliveInterval = 480 * Q1Second;
    qint64 tokenRefreshInterval = 600 * Q1Second;
    int probeConnectTimeoutMs = 10000;
    int probeReadTimeoutMs = 10000;
};

// Where the program is: the folder of the executable and browser.exe, and the folder of its data (settings, order
// cache, logs, the browser's profiles).
struct TSyncPaths {
    QString programFolder;
    QString dataFolder;
    bool newDataFolder = false; // no run has used it: its order cache is made on opening
};

// The program's logic behind its window, without a widget: it owns the parts that do the work (the operator
// session, the passes, the sign-in browsers, the keep-alive) and ties them to the front end. It lives on the main
// thread; the network runs on the scheduler's workers and comes back as main-thread calls, so the main thread never
// waits. Needs the process-wide objects for its whole life.
class TSyncController : public QObject {
    Q_OBJECT

public:
    using TSignInDone = TOperatorSession::TSignInDone;

    TSyncController(TSyncFrontEnd& AFrontEnd, const TSyncPaths& APaths, const TSyncTiming& ATiming = {});
    ~TSyncController() override;
    TSyncController(const TSyncController&) = delete;
    TSyncController& operator=(const TSyncController&) = delete;

    // What the window's creation does beyond its widgets: the listener and the keep-alive job.
    void Open();
    // The first step of the end: no datagram is taken any more. The scheduler is stopped after it.
    void CloseListener();

    TAccountListModel& Accounts() { return FAccounts; }
    const TSyncPaths& Paths() const { return FPaths; }
    TAccountStatus& Status() { return FStatus; }
    TAccountHealth& Health() { return FHealth; }
    const TAccountHealth& Health() const { return FHealth; }
    TOperatorSession& Session() { return FSession; }
    TPassRunner& Passes() { return FPasses; }
    TSignInBrowsers& SignIns() { return FSignIns; }
    TKeepAlive& KeepAlive() { return FKeepAlive; }
    quint16 ListenerPort() const { return FSignIns.ListenerPort(); }

    // Operator: one request at a time. SignIn answers false (and calls nothing) while one runs.
    QString OperatorPanelText() const { return FSession.OperatorPanelText(); }
    bool OperatorRequestRunning() const { return FSession.OperatorRequestRunning(); }
    bool SignIn(const QString& APhone, const QString& APwd, TSignInDone ADone);
    const QString& SignInCause() const { return FSession.SignInCause(); }
    void RefreshClick() { FSession.RefreshClick(); }
    bool RefreshAuthorizedAccounts() { return FSession.RefreshAuthorizedAccounts(); }

    // Synchronisation switch: tag 1 idle, 2 running.
    int StartTag() const { return FStartTag; }
    QString StartCaption() const;
    bool Stopping() const { return FStopping; }
    void StartStopClick();
    bool ManualRefundEnabled() const { return FPasses.ManualRefundEnabled(); }
    void SyncWeiquanClick() { FPasses.SyncWeiquanClick(); }
    void RunPassesOnce(std::function<void()> ADone) { FPasses.RunPassesOnce(std::move(ADone)); }

    void LoginAlimmClick(const QString& AUserId) { FSignIns.LoginAlimmClick(AUserId); }
    bool StartSignInBrowser(
        const QString& AUserId, std::chrono::milliseconds ATimeout = TSignInBrowsers::kSignInTimeout)
    {
        return FSignIns.StartSignInBrowser(AUserId, ATimeout);
    }

    // Where the account health is kept between runs, in the data folder.
    static QString HealthFileName() { return QStringLiteral("health.json"); }

Q_SIGNALS:
    // A sign-in browser reported for that account (a failed sign-in too), or was ended at its time-out unreported.
    void SignInReported(const QString& AUserId, bool ASucceeded);
    // The account list was rebuilt, or its request failed (ASucceeded false, AError the reason). ASucceeded is
    // false for an empty list too.
    void AccountsRefreshed(bool ASucceeded, const QString& AError);
    // The account health changed; at most one is queued at a time, so a pass over many accounts costs the main
    // thread little.
    void HealthChanged();
    // A pass of that kind over the accounts ended (complete, stopped or with failed accounts).
    void PassEnded(TPassKind AKind);

private:
    // A data folder no run has used gets its order cache, so that a desktop's first sync delivers.
    void MakeFirstCache() const;
    void FinishStop();
    void QueueHealthChanged();
    // Reads the health the last run left and keeps it up to date from now on.
    void KeepHealth();
    void ShowRow(const QString& AUserId, const QString& AUserName, TRowState AState);
    // Sends the health's alerts where section "notify" says, when it names a usable webhook.
    void KeepAlerts();

    TSyncFrontEnd& FFrontEnd;
    const TSyncPaths FPaths;
    const TSyncTiming FTiming;
    TAccountListModel FAccounts;
    TAccountStatus FStatus;
    TAccountHealth FHealth;
    std::unique_ptr<TLatestFile> FHealthFile; // none without a data folder
    std::atomic<bool> FHealthChangeQueued {false};
    std::unique_ptr<TAlertNotifier> FNotifier; // none without a usable webhook
    QString FNotifyProblem; // said once at the start
    TOperatorSession FSession;
    TPassRunner FPasses;
    TKeepAlive FKeepAlive;
    TSignInBrowsers FSignIns; // last: its threads are joined before anything their messages use goes away
    int FStartTag = 1;
    bool FStopping = false;
};
