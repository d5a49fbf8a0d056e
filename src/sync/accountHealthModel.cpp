#include "sync/accountHealthModel.h"

#include <QStringList>

#include <limits>

namespace {

QString TimeText(const QDateTime& ATime)
{
    return ATime.isValid() ? ATime.toLocalTime().toString(QStringLiteral("MM-dd HH:mm:ss")) : QString();
}

QString OutcomeText(const TPassRecord& APass)
{
    if (!APass.ran)
        return QString();
    switch (APass.state) {
    case TAccountPassOutcome::TState::Complete:
        return QStringLiteral("完成");
    case TAccountPassOutcome::TState::Stopped:
        return QStringLiteral("已停止");
    case TAccountPassOutcome::TState::Failed:
        return QStringLiteral("失败: ") + APass.cause;
    case TAccountPassOutcome::TState::Skipped:
        return QStringLiteral("已跳过");
    }
    return QString();
}

QString DeliveredText(const TDeliveryCounts& ACounts)
{
    return QStringLiteral("%1 / %2 / %3").arg(ACounts.lastDelivered).arg(ACounts.today).arg(ACounts.total);
}

const TPassRecord& Last(const TAccountHealthRecord& ARecord, TPassKind AKind)
{
    return ARecord.last[static_cast<int>(AKind)];
}

const TDeliveryCounts& Counts(const TAccountHealthRecord& ARecord, TPassKind AKind)
{
    return ARecord.counts[static_cast<int>(AKind)];
}

} // namespace

int TAccountHealthModel::rowCount(const QModelIndex& AParent) const
{
    return AParent.isValid() ? 0 : static_cast<int>(FAccounts.size());
}

int TAccountHealthModel::columnCount(const QModelIndex& AParent) const
{
    return AParent.isValid() ? 0 : colCount;
}

QVariant TAccountHealthModel::data(const QModelIndex& AIndex, int ARole) const
{
    const TAccountHealthRecord* record = AIndex.isValid() ? Record(AIndex.row()) : nullptr;
    if (!record)
        return {};
    switch (ARole) {
    case Qt::DisplayRole:
        return Text(*record, AIndex.column());
    case SortRole:
        return SortValue(*record, AIndex.column());
    case Qt::ToolTipRole:
        return HealthTooltip(*record, FNow);
    default:
        return {};
    }
}

QVariant TAccountHealthModel::headerData(int ASection, Qt::Orientation AOrientation, int ARole) const
{
    if (AOrientation != Qt::Horizontal || ARole != Qt::DisplayRole)
        return {};
    static const char16_t* const captions[colCount] = {u"联盟ID", u"账号名称", u"状态", u"失效订单上次同步",
        u"失效订单结果", u"失效订单提交(本次/今日/累计)", u"维权上次同步", u"维权结果", u"维权提交(本次/今日/累计)",
        u"最近错误", u"授权剩余天数", u"联盟登录", u"过期未送达", u"异常原因", u"处理建议"};
    return ASection >= 0 && ASection < colCount ? QString::fromUtf16(captions[ASection]) : QVariant();
}

void TAccountHealthModel::Refresh(std::vector<TAccountHealthRecord> AAccounts, const QDateTime& ANow)
{
    beginResetModel();
    FAccounts = std::move(AAccounts);
    FNow = ANow;
    endResetModel();
}

const TAccountHealthRecord* TAccountHealthModel::Record(int ARow) const
{
    return ARow >= 0 && ARow < static_cast<int>(FAccounts.size()) ? &FAccounts[static_cast<size_t>(ARow)] : nullptr;
}

QString TAccountHealthModel::Text(const TAccountHealthRecord& ARecord, int AColumn) const
{
    switch (AColumn) {
    case colUserId:
        return ARecord.userId;
    case colUserName:
        return ARecord.userName;
    case colHealth:
        return ARecord.unhealthy.isEmpty() ? QStringLiteral("正常") : QStringLiteral("异常");
    case colReason:
        return ARecord.unhealthy;
    case colAdvice:
        return ARecord.advice;
    case colInvalidLast:
        return TimeText(Last(ARecord, TPassKind::Invalid).end);
    case colInvalidOutcome:
        return OutcomeText(Last(ARecord, TPassKind::Invalid));
    case colInvalidDelivered:
        return DeliveredText(Counts(ARecord, TPassKind::Invalid));
    case colRefundLast:
        return TimeText(Last(ARecord, TPassKind::Refund).end);
    case colRefundOutcome:
        return OutcomeText(Last(ARecord, TPassKind::Refund));
    case colRefundDelivered:
        return DeliveredText(Counts(ARecord, TPassKind::Refund));
    case colLastError:
        return ARecord.lastError.time.isValid() ? TimeText(ARecord.lastError.time) + u' ' + ARecord.lastError.text
                                                : QString();
    case colTokenDays:
        return ARecord.tokenExpiry > 0 ? QString::number(ARecord.DaysLeft(FNow)) : QString();
    case colWebSession:
        return WebSessionText(ARecord.session);
    case colAgedOut:
        return QString::number(ARecord.agedOut);
    default:
        return QString();
    }
}

QVariant TAccountHealthModel::SortValue(const TAccountHealthRecord& ARecord, int AColumn) const
{
    switch (AColumn) {
    case colHealth:
        return ARecord.unhealthy.isEmpty() ? 1 : 0; // the unhealthy first when sorted up
    case colInvalidLast:
        return Last(ARecord, TPassKind::Invalid).end;
    case colInvalidDelivered:
        return Counts(ARecord, TPassKind::Invalid).total;
    case colRefundLast:
        return Last(ARecord, TPassKind::Refund).end;
    case colRefundDelivered:
        return Counts(ARecord, TPassKind::Refund).total;
    case colLastError:
        return ARecord.lastError.time;
    case colTokenDays:
        return ARecord.tokenExpiry > 0 ? ARecord.DaysLeft(FNow) : std::numeric_limits<int>::max();
    case colAgedOut:
        return ARecord.agedOut;
    default:
        return Text(ARecord, AColumn);
    }
}

QString HealthTooltip(const TAccountHealthRecord& ARecord, const QDateTime& ANow)
{
    QStringList lines;
    lines << ARecord.userName + QStringLiteral(" (") + ARecord.userId + u')';
    lines << (ARecord.unhealthy.isEmpty() ? QStringLiteral("状态: 正常")
                                          : QStringLiteral("状态异常: ") + ARecord.unhealthy);
    if (!ARecord.advice.isEmpty())
        lines << QStringLiteral("处理建议: ") + ARecord.advice;
    const auto pass = [&lines](const QString& AName, const TPassRecord& APass, const TDeliveryCounts& ACounts) {
        lines << AName + QStringLiteral(": ")
                + (APass.ran ? TimeText(APass.end) + u' ' + OutcomeText(APass) : QStringLiteral("尚未同步"))
                + QStringLiteral("; 提交 本次 %1 / 今日 %2 / 累计 %3")
                      .arg(ACounts.lastDelivered)
                      .arg(ACounts.today)
                      .arg(ACounts.total);
    };
    pass(QStringLiteral("失效订单"), Last(ARecord, TPassKind::Invalid), Counts(ARecord, TPassKind::Invalid));
    pass(QStringLiteral("维权订单"), Last(ARecord, TPassKind::Refund), Counts(ARecord, TPassKind::Refund));
    if (ARecord.lastError.time.isValid())
        lines << QStringLiteral("最近错误: ") + TimeText(ARecord.lastError.time) + u' ' + ARecord.lastError.text;
    if (ARecord.tokenExpiry > 0)
        lines << QStringLiteral("授权到期: ")
                + QDateTime::fromSecsSinceEpoch(ARecord.tokenExpiry).toString(QStringLiteral("yyyy-MM-dd HH:mm"))
                + QStringLiteral(" (剩 %1 天)").arg(ARecord.DaysLeft(ANow));
    lines << QStringLiteral("联盟登录: ") + WebSessionText(ARecord.session) + QStringLiteral(" 自 ")
            + TimeText(ARecord.sessionSince);
    if (ARecord.agedOut > 0)
        lines << QStringLiteral("过期未送达订单: %1").arg(ARecord.agedOut);
    return lines.join(u'\n');
}
