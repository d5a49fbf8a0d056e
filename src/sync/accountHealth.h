#pragma once

#include "sync/passOutcome.h"

#include <QByteArray>
#include <QDate>
#include <QDateTime>
#include <QString>

#include <array>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

enum class TPassKind { Invalid = 0, Refund = 1 };
constexpr int kPassKinds = 2;

// The web session of an account as the rows show it: "未登录", "已登录", "已掉线".
enum class TWebSession { NotSignedIn, SignedIn, Dropped };
QString WebSessionText(TWebSession ASession);

// An account's last pass of one kind.
struct TPassRecord {
    bool ran = false;
    QDateTime start;
    QDateTime end;
    TAccountPassOutcome::TState state = TAccountPassOutcome::TState::Complete;
    QString cause;
    QString source; // the failure's kind
};

// What one kind of pass delivered for an account.
struct TDeliveryCounts {
    int lastFound = 0;
    int lastDelivered = 0;
    int today = 0; // delivered on the current UTC+8 day
    qint64 total = 0; // delivered since the program started
    QDate day; // the UTC+8 day that today counts
};

struct TAccountError {
    QDateTime time;
    QString source; // a failure's kind: see THealthEvent
    QString text;
};

// One failure, as every place that tells of it sees it: the error line of the log, the account's last error and
// row, the status file, the window's health tab, the headless summary and stderr, the exit code of --once.
struct THealthEvent {
    QDateTime time;
    QString userId; // empty: no one account's (an item of the account list, the status file)
    QString userName; // filled in from the account's record when empty
    // "top", "clock", "backend", "report", "record", "cache", "session", "error" (an account's pass, see
    // TAccountPassOutcome), "signin" (a sign-in browser that never reported or could not start), "list" (an item of
    // the account list left out), "statusfile" (the status file cannot be written), "operator" (the operator back
    // end refused the sign-in or could not be reached)
    QString source;
    QString text; // what failed and why, as stderr and the status file say it
    QString logLine; // the error line; empty: made from the account and the text
    int pass = -1; // the TPassKind of a failed pass; -1 for other failures
    QString advice; // what the operator should do; empty when nothing helps but waiting
};

// A turn of an account's health, or a failure of the whole run, as the alerts tell it: one for each turn to unhealthy
// and back, one for each failure of the run (a refused sign-in; the gateway refusing this machine's clock, once
// until a pass gets past the gateway again).
struct THealthAlert {
    enum class TState { Unhealthy, Recovered, Failed };
    TState state = TState::Unhealthy;
    QDateTime time;
    QString userId; // empty for a failure of the run
    QString userName;
    QString source; // a failure's kind (see THealthEvent); empty for a turn
    QString reason; // why the account is unhealthy, or what failed
    QString advice; // what the operator should do; empty when nothing helps but waiting
};

// What the operator should do about a failure of that kind and text; empty when the next pass may well mend it.
QString AdviceFor(const QString& ASource, const QString& AText);

// The state a row of the account list shows, as the health model sees it change.
enum class TRowState { Syncing, Synced, Failed, Stopped, SignedIn, Dropped };

struct TAccountHealthRecord {
    QString userId;
    QString userName;
    std::array<TPassRecord, kPassKinds> last;
    std::array<int, kPassKinds> failedInARow {};
    std::array<TDeliveryCounts, kPassKinds> counts;
    TAccountError lastError;
    qint64 tokenExpiry = 0; // Unix seconds; 0 unknown
    TWebSession session = TWebSession::NotSignedIn;
    QDateTime sessionSince;
    int agedOut = 0; // orders that left the window undelivered
    QString unhealthy; // why the account is unhealthy; empty when it is healthy
    QString advice; // what the operator should do about it; empty when healthy

    // Whole days until the token expires (negative once it has); only meaningful with a known expiry.
    int DaysLeft(const QDateTime& ANow) const;
};

struct TProcessHealth {
    QString version;
    QDateTime started;
    QString operatorName; // the signed-in operator; empty before the sign-in
    std::array<QDateTime, kPassKinds> lastPassStart;
    std::array<QDateTime, kPassKinds> lastPassEnd;
    std::array<QDateTime, kPassKinds> nextPass;
    std::array<qint64, kPassKinds> delivered {};
    std::array<std::optional<TPassEnd>, kPassKinds> lastPassOutcome; // none before the first pass ended
    qint64 topBannedUntilMs = 0;
    qint64 topQuotaSpentUntilMs = 0;
};

// Per-account health: how each account's passes went, what they delivered, its last error, token expiry, web
// session and the gateway's limits, and whether the account is healthy. Fed by the passes, the keep-alive and the
// sign-in flow on any thread; read by both front ends. A turn to unhealthy and back is logged once each.
class TAccountHealth {
public:
    static constexpr int kFailedPassesToWarn = 2;
    static constexpr int kExpiryWarningDays = 7;

    using TClock = std::function<QDateTime()>;

    explicit TAccountHealth(TClock AClock = {});
    TAccountHealth(const TAccountHealth&) = delete;
    TAccountHealth& operator=(const TAccountHealth&) = delete;

    // Called after every change, outside the lock, on the thread that made it.
    void SetOnChanged(std::function<void()> AOnChanged);
    // Called at the end of every pass over the accounts, after its last change, on the pass's thread.
    void SetOnPassEnded(std::function<void(TPassKind)> AOnPassEnded);
    // Called when an account's row should show another state (a pass of it starts or ends, its web session
    // changes), outside the lock, on the thread that made the change.
    using TRowChanged = std::function<void(const QString& AUserId, const QString& AUserName, TRowState AState)>;
    void SetOnRowChanged(TRowChanged AOnRowChanged);
    // Called for every alert, after the change that made it, outside the lock, on the thread that made it.
    void SetOnAlert(std::function<void(const THealthAlert&)> AOnAlert);

    // The account list as the back end gave it; records of accounts no longer listed go.
    struct TListedAccount {
        QString userId;
        QString userName;
        qint64 tokenExpiry = 0;
        bool signedIn = false;
    };
    void SetAccounts(const std::vector<TListedAccount>& AAccounts);
    void SetOperator(const QString& AOperator);
    void SetVersion(const QString& AVersion);

    void AccountPassStarted(TPassKind AKind, const QString& AUserId);
    // A failed outcome is also a failure event (see Report).
    void AccountPassEnded(
        TPassKind AKind, const QString& AUserId, const QDateTime& AStart, const TAccountPassOutcome& AOutcome);
    void PassStarted(TPassKind AKind);
    // AInterval 0: no repeating pass of that kind is scheduled.
    void PassEnded(TPassKind AKind, qint64 AIntervalMs, TPassEnd AOutcome = TPassEnd::Complete);
    // A pass that never ran: another of its kind held the slot, or a stop came first.
    void PassSkipped(TPassKind AKind);
    void SessionChanged(const QString& AUserId, TWebSession ASession);
    // A failure: its error line is logged (llError), it becomes the account's last error and one of this
    // process's events. Every failure the program meets comes through here.
    void Report(THealthEvent AEvent);
    void OrdersAgedOut(const QString& AUserId, int ACount);

    // The failures since this object was made (the newest kOwnEvents), oldest first.
    static constexpr size_t kOwnEvents = 1000;
    std::vector<THealthEvent> Events() const;

    // The figures that count across runs, as kept in the data folder: passes, failures in a row, today's
    // deliveries, last errors, orders aged out. Loading puts the accounts back until the next list replaces them.
    QByteArray ToStoredJson() const;
    void LoadStored(const QByteArray& AStored);

    std::vector<TAccountHealthRecord> Accounts() const;
    TProcessHealth Process() const;
    int UnhealthyCount() const;
    // The record of that account; an empty record when it is not listed.
    TAccountHealthRecord Account(const QString& AUserId) const;
    // Now by the health's clock.
    QDateTime Now() const;

private:
    TAccountHealthRecord* Find(const QString& AUserId);
    // Re-evaluates the account; returns the log line of a turn, empty when there was none, and queues its alert.
    QString Evaluate(TAccountHealthRecord& ARecord, const QDateTime& ANow);
    // Sends the alerts queued under the lock, then tells of the change.
    void Changed(const QString& ALogLine = {});
    // Under the lock: the alert a failure event raises, if it is a failure of the run.
    void AlertOfEvent(const THealthEvent& AEvent);
    // Fills in the event's time, name, advice and line and keeps it; the line to log.
    QString Keep(THealthEvent& AEvent);
    void RowChanged(const QString& AUserId, const QString& AUserName, TRowState AState) const;

    const TClock FClock;
    mutable std::mutex FLock;
    std::vector<TAccountHealthRecord> FAccounts; // in the list's order
    TProcessHealth FProcess;
    std::function<void()> FOnChanged;
    std::function<void(TPassKind)> FOnPassEnded;
    TRowChanged FOnRowChanged;
    std::function<void(const THealthAlert&)> FOnAlert;
    std::vector<THealthAlert> FAlerts; // made under the lock, sent by Changed
    // The gateway refused this machine's clock and no pass got past it since; kept across runs, so that a clock
    // that stays off is one alert, not one per run.
    bool FClockRefused = false;
    std::vector<THealthEvent> FEvents;
};

// Why a record is unhealthy, from its figures alone; empty when it is healthy.
QString UnhealthyReason(const TAccountHealthRecord& ARecord, const QDateTime& ANow);
// What the operator should do about an unhealthy record; empty when it is healthy.
QString UnhealthyAdvice(const TAccountHealthRecord& ARecord, const QDateTime& ANow);
QString PassEndText(TPassEnd AEnd);
