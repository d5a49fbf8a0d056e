#include "sync/statusFile.h"

#include "sync/accountHealth.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <QFileInfo>
#include <QSaveFile>

#include <unistd.h>

namespace {

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
    case TAccountPassOutcome::TState::Skipped:
        return QStringLiteral("skipped");
    }
    return QStringLiteral("none");
}

// A long run's status file shows the latest of its problems, not all of them.
constexpr qsizetype kProblemsShown = 20;

QJsonValue TextOrNull(const QString& AText)
{
    return AText.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(AText);
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
    pass[u"cause"] = TextOrNull(ARecord.cause);
    pass[u"found"] = ACounts.lastFound;
    pass[u"delivered"] = ACounts.lastDelivered;
    pass[u"deliveredToday"] = ACounts.today;
    pass[u"deliveredSinceStart"] = ACounts.total;
    return pass;
}

} // namespace

bool WriteFileAtomically(const QString& APath, const QByteArray& AContent, QString* AError)
{
    QSaveFile file(APath);
    const auto fail = [&file, AError] {
        if (AError)
            *AError = file.errorString();
        file.cancelWriting();
        return false;
    };
    if (!file.open(QIODevice::WriteOnly))
        return fail();
    // The status can name accounts and the operator: nobody else reads it.
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (file.write(AContent) != AContent.size() || !file.flush() || ::fsync(file.handle()) != 0)
        return fail();
    if (!file.commit()) {
        if (AError)
            *AError = file.errorString();
        return false;
    }
    return true;
}

QByteArray StatusFileJson(const TAccountHealth& AHealth)
{
    const TProcessHealth process = AHealth.Process();
    const std::vector<TAccountHealthRecord> accounts = AHealth.Accounts();
    const QDateTime now = AHealth.Now();
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
        const std::optional<TPassEnd>& outcome = process.lastPassOutcome[index];
        pass[u"outcome"] = outcome ? QJsonValue(PassEndText(*outcome)) : QJsonValue();
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
        item[u"advice"] = TextOrNull(account.advice);
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
            error[u"advice"] = TextOrNull(AdviceFor(account.lastError.source, account.lastError.text));
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
    // Failures of this run that are no one account's (a list item left out, the status file), the latest first.
    QJsonArray problems;
    const std::vector<THealthEvent> events = AHealth.Events();
    for (auto event = events.rbegin(); event != events.rend() && problems.size() < kProblemsShown; ++event) {
        if (!event->userId.isEmpty())
            continue;
        QJsonObject problem;
        problem[u"time"] = TimeValue(event->time);
        problem[u"source"] = event->source;
        problem[u"text"] = event->text;
        problem[u"advice"] = TextOrNull(event->advice);
        problems.append(problem);
    }
    top[u"problems"] = problems;
    top[u"accountCount"] = static_cast<int>(accounts.size());
    top[u"unhealthyCount"] = unhealthy;
    top[u"accounts"] = list;
    return QJsonDocument(top).toJson(QJsonDocument::Indented);
}
