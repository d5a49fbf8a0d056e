#pragma once

#include "foundation/qworker.h"
#include "sessions/alimmTokenMgr.h"
#include "sync/syncFrontEnd.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <functional>
#include <optional>

class TAccountHealth;
class TAccountListModel;
class TQJson;

// The operator back end as this program sees it: the sign-in, the account list and its periodic refresh. One
// request at a time; each runs on a worker and its result comes back as a main-thread call. Main thread only.
class TOperatorSession : public QObject {
    Q_OBJECT

public:
    using TSignInDone = std::function<void(bool ASucceeded, const QString& AError)>;

    TOperatorSession(
        TSyncFrontEnd& AFrontEnd, TAccountListModel& AAccounts, TAccountHealth& AHealth, qint64 ATokenRefreshInterval);
    ~TOperatorSession() override;
    TOperatorSession(const TOperatorSession&) = delete;
    TOperatorSession& operator=(const TOperatorSession&) = delete;

    QString OperatorPanelText() const { return FOperatorPanel; }
    bool OperatorRequestRunning() const { return FOperatorBusy.load(); }
    // Answers false (and calls nothing) while another operator request runs.
    bool SignIn(const QString& APhone, const QString& APwd, TSignInDone ADone);
    // Why the last sign-in's request failed before the back end could answer: the host and the reason (refused,
    // time-out, TLS, HTTP status); empty when the back end answered. Set before the sign-in's ADone runs.
    const QString& SignInCause() const { return FSignInCause; }
    void RefreshClick();
    // Fetches the account list on a worker and rebuilds the list from it on the main thread; false while another
    // operator request runs.
    bool RefreshAuthorizedAccounts();

Q_SIGNALS:
    // The account list was rebuilt, or its request failed (ASucceeded false, AError the reason; the list stays as
    // it was). ASucceeded is false for an empty list too.
    void AccountsRefreshed(bool ASucceeded, const QString& AError);

private:
    struct TAccountsReply;

    bool BeginOperatorRequest();
    void EndOperatorRequest();
    void AfterSignIn(const QString& APhone);
    // A refused or unanswered sign-in, as one failure event.
    void SignInFailed(const QString& AError);
    void ApplyAccounts(const TQJson& AAccounts);
    // One item of the list, or none (said in an error line) when it has no user id or cannot be read.
    std::optional<TAlimmTokenData> AccountOf(const TQJson& AItem, int AIndex);
    // An item of the list that is not synchronised: a failure of its own.
    void ItemLeftOut(const QString& AWhy);
    void ScheduleTokenRefresh();
    void TokenRefreshJob(TQJob* AJob);
    void FetchAccountsOnWorker(TQJob* ARunning);

    TSyncFrontEnd& FFrontEnd;
    TAccountListModel& FAccounts;
    TAccountHealth& FHealth;
    const qint64 FTokenRefreshInterval;
    QString FOperatorPanel = QStringLiteral("运营商：未登录");
    QString FSignInCause;
    std::atomic<bool> FOperatorBusy {false};
    intptr_t FTokenRefreshJob = 0;
};
