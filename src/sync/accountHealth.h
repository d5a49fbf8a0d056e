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
    QString source; // "top", "backend", "transport", "report", "cache", "session", "signin", "other"
    QString text;
};

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

    void AccountPassEnded(
        TPassKind AKind, const QString& AUserId, const QDateTime& AStart, const TAccountPassOutcome& AOutcome);
    void PassStarted(TPassKind AKind);
    // AInterval 0: no repeating pass of that kind is scheduled.
    void PassEnded(TPassKind AKind, qint64 AIntervalMs);
    void SessionChanged(const QString& AUserId, TWebSession ASession);
    void ErrorSeen(const QString& AUserId, const QString& ASource, const QString& AText);
    void OrdersAgedOut(const QString& AUserId, int ACount);

    std::vector<TAccountHealthRecord> Accounts() const;
    TProcessHealth Process() const;
    int UnhealthyCount() const;
    // The record of that account; an empty record when it is not listed.
    TAccountHealthRecord Account(const QString& AUserId) const;

    // The whole state as the status file's JSON.
    QByteArray ToJson() const;

private:
    QDateTime Now() const;
    TAccountHealthRecord* Find(const QString& AUserId);
    // Re-evaluates the account; returns the log line of a turn, empty when there was none.
    QString Evaluate(TAccountHealthRecord& ARecord, const QDateTime& ANow);
    void Changed(const QString& ALogLine = {});

    const TClock FClock;
    mutable std::mutex FLock;
    std::vector<TAccountHealthRecord> FAccounts; // in the list's order
    TProcessHealth FProcess;
    std::function<void()> FOnChanged;
    std::function<void(TPassKind)> FOnPassEnded;
};

// Why a record is unhealthy, from its figures alone; empty when it is healthy.
QString UnhealthyReason(const TAccountHealthRecord& ARecord, const QDateTime& ANow);
// One line on a pass of that kind over the accounts: how many, what was delivered, which failed and why.
QString PassSummary(const std::vector<TAccountHealthRecord>& AAccounts, TPassKind AKind);
