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

// Stored state names; StateOf reads them back.
const char* const kStates[] = {"complete", "stopped", "failed", "skipped"};

TAccountPassOutcome::TState StateOf(const QString& AText)
{
    for (int i = 0; i < 4; ++i) {
        if (AText == QLatin1String(kStates[i]))
            return static_cast<TAccountPassOutcome::TState>(i);
    }
    return TAccountPassOutcome::TState::Complete;
}

QString StoredTime(const QDateTime& ATime)
{
    return ATime.isValid() ? ATime.toUTC().toString(Qt::ISODateWithMs) : QString();
}

QDateTime TimeOf(const QJsonValue& AValue)
{
    const QDateTime time = QDateTime::fromString(AValue.toString(), Qt::ISODateWithMs);
    return time.isValid() ? time.toLocalTime() : QDateTime();
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

QString AdviceFor(const QString& ASource, const QString& AText)
{
    const QString reauthorise = QStringLiteral("在运营商后台重新授权该联盟账号");
    const QString signIn = QStringLiteral("重新登录阿里妈妈(账号右键菜单“登录阿里妈妈”,无桌面时 --alimama-login)");
    if (ASource == u"top") {
        if (AText.contains(QStringLiteral("授权已失效")))
            return reauthorise;
        if (AText.contains(QStringLiteral("权限不足")))
            return QStringLiteral("在淘宝开放平台为应用开通该接口的权限,或改用 refundSource=report");
        return {};
    }
    if (ASource == u"clock")
        return QStringLiteral("校准本机时间(开启 NTP 时间同步)");
    if (ASource == u"backend")
        return QStringLiteral("检查运营商订单接收服务是否在运行并接受订单");
    if (ASource == u"report" || ASource == u"session")
        return signIn;
    if (ASource == u"record")
        return QStringLiteral("日志中列出了未提交的订单号,请核对并人工处理");
    if (ASource == u"cache")
        return QStringLiteral("检查数据文件夹中的订单缓存 db.db(用 quenlar-initdb 准备)");
    if (ASource == u"signin")
        return QStringLiteral("检查联盟登录程序 browser.exe 能否启动并完成登录");
    if (ASource == u"operator")
        return QStringLiteral("检查运营商手机号和客户端密码(QUENLAR_PASSWORD),以及运营商后台能否访问");
    if (ASource == u"list")
        return QStringLiteral("在运营商后台检查该联盟账号的资料");
    if (ASource == u"statusfile")
        return QStringLiteral("检查状态文件所在的文件夹能否写入");
    return {};
}

QString UnhealthyAdvice(const TAccountHealthRecord& ARecord, const QDateTime& ANow)
{
    QStringList advice;
    const auto add = [&advice](const QString& AText) {
        if (!AText.isEmpty() && !advice.contains(AText))
            advice << AText;
    };
    for (int kind = 0; kind < kPassKinds; ++kind) {
        if (ARecord.failedInARow[kind] >= TAccountHealth::kFailedPassesToWarn) {
            const QString advised = AdviceFor(ARecord.last[kind].source, ARecord.last[kind].cause);
            add(advised.isEmpty() ? QStringLiteral("查看日志中该账号的错误") : advised);
        }
    }
    if (ARecord.tokenExpiry > 0 && ARecord.DaysLeft(ANow) < TAccountHealth::kExpiryWarningDays)
        add(AdviceFor(QStringLiteral("top"), QStringLiteral("授权已失效")));
    if (ARecord.session == TWebSession::Dropped)
        add(AdviceFor(QStringLiteral("session"), {}));
    return advice.join(QStringLiteral("；"));
}

QString PassEndText(TPassEnd AEnd)
{
    switch (AEnd) {
    case TPassEnd::Complete:
        return QStringLiteral("complete");
    case TPassEnd::Failed:
        return QStringLiteral("failed");
    case TPassEnd::Stopped:
        return QStringLiteral("stopped");
    case TPassEnd::Skipped:
        return QStringLiteral("skipped");
    }
    return QStringLiteral("none");
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

void TAccountHealth::SetOnRowChanged(TRowChanged AOnRowChanged)
{
    const std::scoped_lock lock(FLock);
    FOnRowChanged = std::move(AOnRowChanged);
}

void TAccountHealth::SetOnAlert(std::function<void(const THealthAlert&)> AOnAlert)
{
    const std::scoped_lock lock(FLock);
    FOnAlert = std::move(AOnAlert);
}

void TAccountHealth::RowChanged(const QString& AUserId, const QString& AUserName, TRowState AState) const
{
    TRowChanged onRowChanged;
    {
        const std::scoped_lock lock(FLock);
        onRowChanged = FOnRowChanged;
    }
    if (onRowChanged)
        onRowChanged(AUserId, AUserName, AState);
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
    ARecord.advice = UnhealthyAdvice(ARecord, ANow);
    if (was == !reason.isEmpty())
        return {};
    THealthAlert alert;
    alert.state = was ? THealthAlert::TState::Recovered : THealthAlert::TState::Unhealthy;
    alert.time = ANow;
    alert.userId = ARecord.userId;
    alert.userName = ARecord.userName;
    alert.reason = reason;
    alert.advice = ARecord.advice;
    FAlerts.push_back(std::move(alert));
    if (!was)
        return QStringLiteral("联盟账号 ") + ARecord.userName + QStringLiteral(" 状态异常: ") + reason;
    return QStringLiteral("联盟账号 ") + ARecord.userName + QStringLiteral(" 恢复正常");
}

void TAccountHealth::AlertOfEvent(const THealthEvent& AEvent)
{
    const bool signIn = AEvent.source == u"operator";
    const bool clock = AEvent.source == u"clock" && !FClockRefused;
    if (!signIn && !clock)
        return;
    if (clock)
        FClockRefused = true;
    THealthAlert alert;
    alert.state = THealthAlert::TState::Failed;
    alert.time = AEvent.time;
    alert.source = AEvent.source;
    alert.reason = AEvent.text;
    alert.advice = AEvent.advice;
    FAlerts.push_back(std::move(alert));
}

void TAccountHealth::Changed(const QString& ALogLine)
{
    // Outside the lock: neither a log line nor the front end's call runs while we hold it.
    if (!ALogLine.isEmpty())
        LogLine(llWarning, ALogLine);
    std::function<void()> onChanged;
    std::function<void(const THealthAlert&)> onAlert;
    std::vector<THealthAlert> alerts;
    {
        const std::scoped_lock lock(FLock);
        onChanged = FOnChanged;
        onAlert = FOnAlert;
        alerts.swap(FAlerts);
    }
    if (onAlert) {
        for (const THealthAlert& alert : alerts)
            onAlert(alert);
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

void TAccountHealth::AccountPassStarted(TPassKind, const QString& AUserId)
{
    QString name;
    {
        const std::scoped_lock lock(FLock);
        const TAccountHealthRecord* record = Find(AUserId);
        if (!record)
            return;
        name = record->userName;
    }
    RowChanged(Trim(AUserId), name, TRowState::Syncing);
}

namespace {

TRowState RowStateOf(TAccountPassOutcome::TState AState)
{
    switch (AState) {
    case TAccountPassOutcome::TState::Failed:
        return TRowState::Failed;
    case TAccountPassOutcome::TState::Stopped:
        return TRowState::Stopped;
    default:
        return TRowState::Synced;
    }
}

QString PassFailedText(TPassKind AKind, const QString& ACause)
{
    return (AKind == TPassKind::Invalid ? QStringLiteral("失效订单同步失败: ") : QStringLiteral("维权订单同步失败: "))
        + ACause;
}

} // namespace

void TAccountHealth::AccountPassEnded(
    TPassKind AKind, const QString& AUserId, const QDateTime& AStart, const TAccountPassOutcome& AOutcome)
{
    QString line;
    QString name;
    QString failure;
    THealthEvent event;
    {
        const std::scoped_lock lock(FLock);
        TAccountHealthRecord* record = Find(AUserId);
        if (!record)
            return;
        name = record->userName;
        const int kind = static_cast<int>(AKind);
        const QDateTime now = Now();
        TPassRecord& pass = record->last[kind];
        pass.ran = true;
        pass.start = AStart;
        pass.end = now;
        pass.state = AOutcome.state;
        pass.cause = AOutcome.cause;
        pass.source = AOutcome.source;
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
        // A stopped or skipped pass says nothing about the account either way.
        if (AOutcome.state == TAccountPassOutcome::TState::Failed) {
            ++record->failedInARow[kind];
            event.userId = record->userId;
            event.source = AOutcome.source;
            event.text = PassFailedText(AKind, AOutcome.cause);
            event.pass = kind;
            failure = Keep(event);
            record->lastError = {event.time, event.source, AOutcome.cause};
            line = Evaluate(*record, now);
        } else {
            if (AOutcome.state == TAccountPassOutcome::TState::Complete)
                record->failedInARow[kind] = 0;
            // A whole invalid-order pass asked the gateway and was answered: it takes this machine's time again.
            if (AOutcome.state == TAccountPassOutcome::TState::Complete && AKind == TPassKind::Invalid)
                FClockRefused = false;
            line = Evaluate(*record, now);
        }
    }
    // The failure first, then the turn it may cause.
    if (!failure.isEmpty())
        LogLine(llError, failure);
    if (AOutcome.state != TAccountPassOutcome::TState::Skipped)
        RowChanged(Trim(AUserId), name, RowStateOf(AOutcome.state));
    Changed(line);
}

QString TAccountHealth::Keep(THealthEvent& AEvent)
{
    AEvent.time = Now();
    if (const TAccountHealthRecord* record = AEvent.userId.isEmpty() ? nullptr : Find(AEvent.userId);
        record != nullptr && AEvent.userName.isEmpty())
        AEvent.userName = record->userName;
    if (AEvent.advice.isEmpty())
        AEvent.advice = AdviceFor(AEvent.source, AEvent.text);
    if (AEvent.logLine.isEmpty() && AEvent.userId.isEmpty())
        AEvent.logLine = AEvent.text;
    else if (AEvent.logLine.isEmpty())
        AEvent.logLine = QStringLiteral("联盟账号 ") + (AEvent.userName.isEmpty() ? QString() : AEvent.userName + u' ')
            + u'(' + AEvent.userId + QStringLiteral("): ") + AEvent.text;
    if (FEvents.size() >= kOwnEvents)
        FEvents.erase(FEvents.begin());
    FEvents.push_back(AEvent);
    AlertOfEvent(AEvent);
    return AEvent.logLine;
}

void TAccountHealth::Report(THealthEvent AEvent)
{
    QString failure;
    {
        const std::scoped_lock lock(FLock);
        AEvent.userId = Trim(AEvent.userId);
        failure = Keep(AEvent);
        if (TAccountHealthRecord* record = AEvent.userId.isEmpty() ? nullptr : Find(AEvent.userId))
            record->lastError = {AEvent.time, AEvent.source, AEvent.text};
    }
    LogLine(llError, failure);
    Changed();
}

std::vector<THealthEvent> TAccountHealth::Events() const
{
    const std::scoped_lock lock(FLock);
    return FEvents;
}

void TAccountHealth::PassStarted(TPassKind AKind)
{
    {
        const std::scoped_lock lock(FLock);
        FProcess.lastPassStart[static_cast<int>(AKind)] = Now();
    }
    Changed();
}

void TAccountHealth::PassSkipped(TPassKind AKind)
{
    {
        const std::scoped_lock lock(FLock);
        FProcess.lastPassOutcome[static_cast<int>(AKind)] = TPassEnd::Skipped;
    }
    Changed();
}

void TAccountHealth::PassEnded(TPassKind AKind, qint64 AIntervalMs, TPassEnd AOutcome)
{
    std::function<void(TPassKind)> onPassEnded;
    {
        const std::scoped_lock lock(FLock);
        onPassEnded = FOnPassEnded;
        const QDateTime now = Now();
        FProcess.lastPassOutcome[static_cast<int>(AKind)] = AOutcome;
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
    QString name;
    bool changed = false;
    {
        const std::scoped_lock lock(FLock);
        TAccountHealthRecord* record = Find(AUserId);
        if (!record)
            return;
        name = record->userName;
        changed = record->session != ASession;
        if (changed) {
            const QDateTime now = Now();
            record->session = ASession;
            record->sessionSince = now;
            if (ASession == TWebSession::Dropped)
                record->lastError = {now, QStringLiteral("session"), QStringLiteral("联盟登录已掉线")};
            line = Evaluate(*record, now);
        }
    }
    // The row shows it even when the health knew it: a refresh of the list writes its own state there.
    if (ASession != TWebSession::NotSignedIn)
        RowChanged(Trim(AUserId), name, ASession == TWebSession::SignedIn ? TRowState::SignedIn : TRowState::Dropped);
    if (changed)
        Changed(line);
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

QByteArray TAccountHealth::ToStoredJson() const
{
    const std::scoped_lock lock(FLock);
    QJsonArray accounts;
    for (const TAccountHealthRecord& record : FAccounts) {
        QJsonObject account;
        account[u"userId"] = record.userId;
        account[u"userName"] = record.userName;
        QJsonArray passes;
        for (int kind = 0; kind < kPassKinds; ++kind) {
            const TPassRecord& last = record.last[kind];
            const TDeliveryCounts& counts = record.counts[kind];
            QJsonObject pass;
            pass[u"ran"] = last.ran;
            pass[u"start"] = StoredTime(last.start);
            pass[u"end"] = StoredTime(last.end);
            pass[u"state"] = QLatin1String(kStates[static_cast<int>(last.state)]);
            pass[u"cause"] = last.cause;
            pass[u"source"] = last.source;
            pass[u"failedInARow"] = record.failedInARow[kind];
            pass[u"lastFound"] = counts.lastFound;
            pass[u"lastDelivered"] = counts.lastDelivered;
            pass[u"today"] = counts.today;
            pass[u"day"] = counts.day.toString(Qt::ISODate);
            passes.append(pass);
        }
        account[u"passes"] = passes;
        account[u"errorTime"] = StoredTime(record.lastError.time);
        account[u"errorSource"] = record.lastError.source;
        account[u"errorText"] = record.lastError.text;
        account[u"agedOut"] = record.agedOut;
        // Kept so that a token near its expiry is one turn to unhealthy, not one per run.
        account[u"tokenExpiry"] = record.tokenExpiry;
        accounts.append(account);
    }
    QJsonObject stored;
    stored[u"format"] = 1;
    stored[u"accounts"] = accounts;
    stored[u"clockRefused"] = FClockRefused;
    return QJsonDocument(stored).toJson(QJsonDocument::Compact);
}

void TAccountHealth::LoadStored(const QByteArray& AStored)
{
    const QJsonObject stored = QJsonDocument::fromJson(AStored).object();
    const QJsonArray accounts = stored.value(u"accounts").toArray();
    std::vector<TAccountHealthRecord> records;
    for (const QJsonValue& value : accounts) {
        const QJsonObject account = value.toObject();
        TAccountHealthRecord record;
        record.userId = Trim(account.value(u"userId").toString());
        if (record.userId.isEmpty())
            continue;
        record.userName = account.value(u"userName").toString();
        const QJsonArray passes = account.value(u"passes").toArray();
        for (int kind = 0; kind < kPassKinds && kind < passes.size(); ++kind) {
            const QJsonObject pass = passes.at(kind).toObject();
            TPassRecord& last = record.last[kind];
            last.ran = pass.value(u"ran").toBool();
            last.start = TimeOf(pass.value(u"start"));
            last.end = TimeOf(pass.value(u"end"));
            last.state = StateOf(pass.value(u"state").toString());
            last.cause = pass.value(u"cause").toString();
            last.source = pass.value(u"source").toString();
            record.failedInARow[kind] = pass.value(u"failedInARow").toInt();
            TDeliveryCounts& counts = record.counts[kind];
            counts.lastFound = pass.value(u"lastFound").toInt();
            counts.lastDelivered = pass.value(u"lastDelivered").toInt();
            counts.today = pass.value(u"today").toInt();
            counts.day = QDate::fromString(pass.value(u"day").toString(), Qt::ISODate);
        }
        record.lastError = {TimeOf(account.value(u"errorTime")), account.value(u"errorSource").toString(),
            account.value(u"errorText").toString()};
        record.agedOut = account.value(u"agedOut").toInt();
        record.tokenExpiry = account.value(u"tokenExpiry").toInteger();
        records.push_back(std::move(record));
    }
    {
        const std::scoped_lock lock(FLock);
        const QDateTime now = Now();
        for (TAccountHealthRecord& record : records) {
            // A counter of another day starts the day at 0, as a long run does at midnight.
            for (TDeliveryCounts& counts : record.counts) {
                if (counts.day != ChinaDay(now))
                    counts.today = 0;
            }
            record.sessionSince = now;
            record.unhealthy = UnhealthyReason(record, now);
            record.advice = UnhealthyAdvice(record, now);
        }
        FAccounts = std::move(records);
        FClockRefused = stored.value(u"clockRefused").toBool();
    }
    Changed();
}
