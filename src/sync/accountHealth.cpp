#include "sync/accountHealth.h"

#include "foundation/beijingtime.h"
#include "foundation/textutil.h"
#include "log/QLog.h"
#include "taobao/topLimits.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <algorithm>

namespace {

QDate ChinaDay(const QDateTime& ATime)
{
    return Beijing::Of(ATime).date();
}

const char* KindKey(TPassKind AKind)
{
    return AKind == TPassKind::Invalid ? "invalidOrders" : "refunds";
}

QString StateText(const TPassRecord& ARecord)
{
    if (!ARecord.ran)
        return QStringLiteral("none");
    switch (ARecord.state) {
    case TAccountPassOutcome::TState::Complete:
        return QStringLiteral("complete");
    case TAccountPassOutcome::TState::Stopped:
        return QStringLiteral("stopped");
    case TAccountPassOutcome::TState::Failed:
        return QStringLiteral("failed");
    }
    return QStringLiteral("none");
}

QJsonValue TimeValue(const QDateTime& ATime)
{
    if (!ATime.isValid())
        return QJsonValue::Null;
    return ATime.toOffsetFromUtc(ATime.offsetFromUtc()).toString(Qt::ISODate);
}

QJsonValue TimeValueMs(qint64 AMs)
{
    return AMs <= 0 ? QJsonValue(QJsonValue::Null) : TimeValue(QDateTime::fromMSecsSinceEpoch(AMs));
}

QJsonObject PassJson(const TPassRecord& ARecord, const TDeliveryCounts& ACounts)
{
    QJsonObject pass;
    pass[u"outcome"] = StateText(ARecord);
    pass[u"start"] = TimeValue(ARecord.start);
    pass[u"end"] = TimeValue(ARecord.end);
    pass[u"cause"] = ARecord.cause.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(ARecord.cause);
    pass[u"found"] = ACounts.lastFound;
    pass[u"delivered"] = ACounts.lastDelivered;
    pass[u"deliveredToday"] = ACounts.today;
    pass[u"deliveredSinceStart"] = ACounts.total;
    return pass;
}

} // namespace

QString WebSessionText(TWebSession ASession)
{
    switch (ASession) {
    case TWebSession::SignedIn:
        return QStringLiteral("已登录");
    case TWebSession::Dropped:
        return QStringLiteral("已掉线");
    case TWebSession::NotSignedIn:
        break;
    }
    return QStringLiteral("未登录");
}

int TAccountHealthRecord::DaysLeft(const QDateTime& ANow) const
{
    const qint64 seconds = tokenExpiry - ANow.toSecsSinceEpoch();
    // Whole days, rounded down: a token with 6.5 days left has 6.
    return static_cast<int>(seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400));
}

QString UnhealthyReason(const TAccountHealthRecord& ARecord, const QDateTime& ANow)
{
    QStringList reasons;
    if (ARecord.failedInARow[static_cast<int>(TPassKind::Invalid)] >= TAccountHealth::kFailedPassesToWarn)
        reasons << QStringLiteral("失效订单同步连续 %1 次失败(%2)")
                       .arg(ARecord.failedInARow[static_cast<int>(TPassKind::Invalid)])
                       .arg(ARecord.last[static_cast<int>(TPassKind::Invalid)].cause);
    if (ARecord.failedInARow[static_cast<int>(TPassKind::Refund)] >= TAccountHealth::kFailedPassesToWarn)
        reasons << QStringLiteral("维权订单同步连续 %1 次失败(%2)")
                       .arg(ARecord.failedInARow[static_cast<int>(TPassKind::Refund)])
                       .arg(ARecord.last[static_cast<int>(TPassKind::Refund)].cause);
    if (ARecord.tokenExpiry > 0) {
        const int days = ARecord.DaysLeft(ANow);
        if (ARecord.tokenExpiry <= ANow.toSecsSinceEpoch())
            reasons << QStringLiteral("授权已到期");
        else if (days < TAccountHealth::kExpiryWarningDays)
            reasons << QStringLiteral("授权 %1 天后到期").arg(days);
    }
    if (ARecord.session == TWebSession::Dropped)
        reasons << QStringLiteral("联盟登录已掉线");
    return reasons.join(QStringLiteral("；"));
}

QString PassSummary(const std::vector<TAccountHealthRecord>& AAccounts, TPassKind AKind)
{
    const int kind = static_cast<int>(AKind);
    qint64 delivered = 0;
    QStringList failed;
    for (const TAccountHealthRecord& account : AAccounts) {
        delivered += account.counts[kind].lastDelivered;
        if (account.last[kind].ran && account.last[kind].state == TAccountPassOutcome::TState::Failed)
            failed << account.userName + u'(' + account.last[kind].cause + u')';
    }
    QString line
        = (AKind == TPassKind::Invalid ? QStringLiteral("失效订单同步结束: ") : QStringLiteral("维权订单同步结束: "))
        + QStringLiteral("账号 %1 个, 提交 %2 条, 失败账号 %3 个")
              .arg(AAccounts.size())
              .arg(delivered)
              .arg(failed.size());
    if (!failed.isEmpty())
        line += QStringLiteral(": ") + failed.join(QStringLiteral("; "));
    return line;
}

TAccountHealth::TAccountHealth(TClock AClock)
    : FClock(std::move(AClock))
{
    FProcess.started = Now();
}

QDateTime TAccountHealth::Now() const
{
    return FClock ? FClock() : QDateTime::currentDateTime();
}

void TAccountHealth::SetOnChanged(std::function<void()> AOnChanged)
{
    const std::scoped_lock lock(FLock);
    FOnChanged = std::move(AOnChanged);
}

void TAccountHealth::SetOnPassEnded(std::function<void(TPassKind)> AOnPassEnded)
{
    const std::scoped_lock lock(FLock);
    FOnPassEnded = std::move(AOnPassEnded);
}

TAccountHealthRecord* TAccountHealth::Find(const QString& AUserId)
{
    const QString key = Trim(AUserId);
    const auto found = std::find_if(FAccounts.begin(), FAccounts.end(),
        [&key](const TAccountHealthRecord& ARecord) { return ARecord.userId == key; });
    return found == FAccounts.end() ? nullptr : &*found;
}

QString TAccountHealth::Evaluate(TAccountHealthRecord& ARecord, const QDateTime& ANow)
{
    const QString reason = UnhealthyReason(ARecord, ANow);
    const bool was = !ARecord.unhealthy.isEmpty();
    ARecord.unhealthy = reason;
    if (!was && !reason.isEmpty())
        return QStringLiteral("联盟账号 ") + ARecord.userName + QStringLiteral(" 状态异常: ") + reason;
    if (was && reason.isEmpty())
        return QStringLiteral("联盟账号 ") + ARecord.userName + QStringLiteral(" 恢复正常");
    return {};
}

void TAccountHealth::Changed(const QString& ALogLine)
{
    // Outside the lock: neither a log line nor the front end's call runs while we hold it.
    if (!ALogLine.isEmpty())
        LogLine(llWarning, ALogLine);
    std::function<void()> onChanged;
    {
        const std::scoped_lock lock(FLock);
        onChanged = FOnChanged;
    }
    if (onChanged)
        onChanged();
}

void TAccountHealth::SetAccounts(const std::vector<TListedAccount>& AAccounts)
{
    QStringList lines;
    {
        const std::scoped_lock lock(FLock);
        const QDateTime now = Now();
        std::vector<TAccountHealthRecord> accounts;
        accounts.reserve(AAccounts.size());
        for (const TListedAccount& listed : AAccounts) {
            TAccountHealthRecord* known = Find(listed.userId);
            TAccountHealthRecord record = known ? std::move(*known) : TAccountHealthRecord();
            if (!known) {
                record.session = listed.signedIn ? TWebSession::SignedIn : TWebSession::NotSignedIn;
                record.sessionSince = now;
            }
            record.userId = Trim(listed.userId);
            record.userName = listed.userName;
            record.tokenExpiry = listed.tokenExpiry;
            const QString line = Evaluate(record, now);
            if (!line.isEmpty())
                lines << line;
            accounts.push_back(std::move(record));
        }
        FAccounts = std::move(accounts);
    }
    for (const QString& line : lines)
        LogLine(llWarning, line);
    Changed();
}

void TAccountHealth::SetOperator(const QString& AOperator)
{
    {
        const std::scoped_lock lock(FLock);
        FProcess.operatorName = AOperator;
    }
    Changed();
}

void TAccountHealth::SetVersion(const QString& AVersion)
{
    const std::scoped_lock lock(FLock);
    FProcess.version = AVersion;
}

void TAccountHealth::AccountPassEnded(
    TPassKind AKind, const QString& AUserId, const QDateTime& AStart, const TAccountPassOutcome& AOutcome)
{
    QString line;
    {
        const std::scoped_lock lock(FLock);
        TAccountHealthRecord* record = Find(AUserId);
        if (!record)
            return;
        const int kind = static_cast<int>(AKind);
        const QDateTime now = Now();
        TPassRecord& pass = record->last[kind];
        pass.ran = true;
        pass.start = AStart;
        pass.end = now;
        pass.state = AOutcome.state;
        pass.cause = AOutcome.cause;
        TDeliveryCounts& counts = record->counts[kind];
        if (counts.day != ChinaDay(now)) {
            counts.day = ChinaDay(now);
            counts.today = 0;
        }
        counts.lastFound = AOutcome.found;
        counts.lastDelivered = AOutcome.delivered;
        counts.today += AOutcome.delivered;
        counts.total += AOutcome.delivered;
        FProcess.delivered[kind] += AOutcome.delivered;
        // A stopped pass says nothing about the account either way.
        if (AOutcome.state == TAccountPassOutcome::TState::Failed) {
            ++record->failedInARow[kind];
            record->lastError = {now, AOutcome.source, AOutcome.cause};
        } else if (AOutcome.state == TAccountPassOutcome::TState::Complete) {
            record->failedInARow[kind] = 0;
        }
        line = Evaluate(*record, now);
    }
    Changed(line);
}

void TAccountHealth::PassStarted(TPassKind AKind)
{
    {
        const std::scoped_lock lock(FLock);
        FProcess.lastPassStart[static_cast<int>(AKind)] = Now();
    }
    Changed();
}

void TAccountHealth::PassEnded(TPassKind AKind, qint64 AIntervalMs)
{
    std::function<void(TPassKind)> onPassEnded;
    {
        const std::scoped_lock lock(FLock);
        onPassEnded = FOnPassEnded;
        const QDateTime now = Now();
        FProcess.lastPassEnd[static_cast<int>(AKind)] = now;
        FProcess.nextPass[static_cast<int>(AKind)] = AIntervalMs > 0 ? now.addMSecs(AIntervalMs) : QDateTime();
    }
    Changed();
    if (onPassEnded)
        onPassEnded(AKind);
}

void TAccountHealth::SessionChanged(const QString& AUserId, TWebSession ASession)
{
    QString line;
    {
        const std::scoped_lock lock(FLock);
        TAccountHealthRecord* record = Find(AUserId);
        if (!record || record->session == ASession)
            return;
        const QDateTime now = Now();
        record->session = ASession;
        record->sessionSince = now;
        if (ASession == TWebSession::Dropped)
            record->lastError = {now, QStringLiteral("session"), QStringLiteral("联盟登录已掉线")};
        line = Evaluate(*record, now);
    }
    Changed(line);
}

void TAccountHealth::ErrorSeen(const QString& AUserId, const QString& ASource, const QString& AText)
{
    {
        const std::scoped_lock lock(FLock);
        TAccountHealthRecord* record = Find(AUserId);
        if (!record)
            return;
        record->lastError = {Now(), ASource, AText};
    }
    Changed();
}

void TAccountHealth::OrdersAgedOut(const QString& AUserId, int ACount)
{
    {
        const std::scoped_lock lock(FLock);
        TAccountHealthRecord* record = Find(AUserId);
        if (!record || ACount <= 0)
            return;
        record->agedOut += ACount;
    }
    Changed();
}

std::vector<TAccountHealthRecord> TAccountHealth::Accounts() const
{
    const std::scoped_lock lock(FLock);
    return FAccounts;
}

TProcessHealth TAccountHealth::Process() const
{
    TProcessHealth process;
    {
        const std::scoped_lock lock(FLock);
        process = FProcess;
    }
    if (const TTopGate* gate = TopGate()) {
        process.topBannedUntilMs = gate->BannedUntil();
        process.topQuotaSpentUntilMs = gate->QuotaSpentUntil();
    }
    return process;
}

int TAccountHealth::UnhealthyCount() const
{
    const std::scoped_lock lock(FLock);
    return static_cast<int>(std::count_if(FAccounts.begin(), FAccounts.end(),
        [](const TAccountHealthRecord& ARecord) { return !ARecord.unhealthy.isEmpty(); }));
}

TAccountHealthRecord TAccountHealth::Account(const QString& AUserId) const
{
    const std::scoped_lock lock(FLock);
    const TAccountHealthRecord* found = const_cast<TAccountHealth*>(this)->Find(AUserId);
    return found ? *found : TAccountHealthRecord();
}

QByteArray TAccountHealth::ToJson() const
{
    const TProcessHealth process = Process();
    const std::vector<TAccountHealthRecord> accounts = Accounts();
    const QDateTime now = Now();
    const qint64 nowMs = now.toMSecsSinceEpoch();

    QJsonObject top;
    top[u"version"] = process.version;
    top[u"written"] = TimeValue(now);
    top[u"started"] = TimeValue(process.started);
    top[u"operator"] = process.operatorName;
    QJsonObject passes;
    for (const TPassKind kind : {TPassKind::Invalid, TPassKind::Refund}) {
        const int index = static_cast<int>(kind);
        QJsonObject pass;
        pass[u"lastStart"] = TimeValue(process.lastPassStart[index]);
        pass[u"lastEnd"] = TimeValue(process.lastPassEnd[index]);
        pass[u"next"] = TimeValue(process.nextPass[index]);
        pass[u"deliveredSinceStart"] = process.delivered[index];
        passes[QLatin1String(KindKey(kind))] = pass;
    }
    top[u"passes"] = passes;
    QJsonObject limits;
    limits[u"bannedUntil"] = process.topBannedUntilMs > nowMs ? TimeValueMs(process.topBannedUntilMs) : QJsonValue();
    limits[u"quotaSpentUntil"]
        = process.topQuotaSpentUntilMs > nowMs ? TimeValueMs(process.topQuotaSpentUntilMs) : QJsonValue();
    top[u"topLimits"] = limits;

    QJsonArray list;
    int unhealthy = 0;
    for (const TAccountHealthRecord& account : accounts) {
        QJsonObject item;
        item[u"userId"] = account.userId;
        item[u"userName"] = account.userName;
        item[u"healthy"] = account.unhealthy.isEmpty();
        item[u"reason"] = account.unhealthy.isEmpty() ? QJsonValue() : QJsonValue(account.unhealthy);
        unhealthy += account.unhealthy.isEmpty() ? 0 : 1;
        for (const TPassKind kind : {TPassKind::Invalid, TPassKind::Refund}) {
            const int index = static_cast<int>(kind);
            QJsonObject pass = PassJson(account.last[index], account.counts[index]);
            pass[u"failedInARow"] = account.failedInARow[index];
            item[QLatin1String(KindKey(kind))] = pass;
        }
        if (account.lastError.time.isValid()) {
            QJsonObject error;
            error[u"time"] = TimeValue(account.lastError.time);
            error[u"source"] = account.lastError.source;
            error[u"text"] = account.lastError.text;
            item[u"lastError"] = error;
        } else {
            item[u"lastError"] = QJsonValue();
        }
        QJsonObject token;
        token[u"expires"]
            = account.tokenExpiry > 0 ? TimeValue(QDateTime::fromSecsSinceEpoch(account.tokenExpiry)) : QJsonValue();
        token[u"daysLeft"] = account.tokenExpiry > 0 ? QJsonValue(account.DaysLeft(now)) : QJsonValue();
        item[u"token"] = token;
        QJsonObject session;
        session[u"state"] = WebSessionText(account.session);
        session[u"since"] = TimeValue(account.sessionSince);
        item[u"webSession"] = session;
        item[u"agedOutUndelivered"] = account.agedOut;
        list.append(item);
    }
    top[u"accountCount"] = static_cast<int>(accounts.size());
    top[u"unhealthyCount"] = unhealthy;
    top[u"accounts"] = list;
    return QJsonDocument(top).toJson(QJsonDocument::Indented);
}
