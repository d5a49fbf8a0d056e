#include "app/accountListMarks.h"

#include "sync/accountHealthModel.h"
#include "sync/accountListModel.h"

#include <QApplication>
#include <QColor>
#include <QStyle>

QColor UnhealthyTint()
{
    return {255, 228, 225};
}

const TAccountHealthRecord* TAccountListMarks::RecordOf(int ARow) const
{
    const QString userId = index(ARow, TAccountListModel::colUserId).data(Qt::DisplayRole).toString();
    const auto found = FByUserId.find(userId);
    return found == FByUserId.end() ? nullptr : &found->second;
}

bool TAccountListMarks::Marked(int ARow) const
{
    const TAccountHealthRecord* record = RecordOf(ARow);
    return record && !record->unhealthy.isEmpty();
}

QVariant TAccountListMarks::data(const QModelIndex& AIndex, int ARole) const
{
    if (ARole != Qt::BackgroundRole && ARole != Qt::ToolTipRole && ARole != Qt::DecorationRole)
        return QIdentityProxyModel::data(AIndex, ARole);
    const TAccountHealthRecord* record = AIndex.isValid() ? RecordOf(AIndex.row()) : nullptr;
    if (!record)
        return QIdentityProxyModel::data(AIndex, ARole);
    const bool unhealthy = !record->unhealthy.isEmpty();
    switch (ARole) {
    case Qt::ToolTipRole:
        return HealthTooltip(*record, FNow);
    case Qt::BackgroundRole:
        return unhealthy ? QVariant(UnhealthyTint()) : QVariant();
    case Qt::DecorationRole:
        if (unhealthy && AIndex.column() == TAccountListModel::colUserId)
            return QApplication::style()->standardIcon(QStyle::SP_MessageBoxWarning);
        return {};
    default:
        return {};
    }
}

void TAccountListMarks::Refresh(const std::vector<TAccountHealthRecord>& AAccounts, const QDateTime& ANow)
{
    FByUserId.clear();
    for (const TAccountHealthRecord& record : AAccounts)
        FByUserId.emplace(record.userId, record);
    FNow = ANow;
    if (rowCount() > 0)
        Q_EMIT dataChanged(index(0, 0), index(rowCount() - 1, columnCount() - 1),
            {Qt::BackgroundRole, Qt::ToolTipRole, Qt::DecorationRole});
}

const TAccountHealthRecord* THealthRows::Record(int ARow) const
{
    const auto* health = qobject_cast<const TAccountHealthModel*>(sourceModel());
    return health ? health->Record(mapToSource(index(ARow, 0)).row()) : nullptr;
}

QVariant THealthRows::data(const QModelIndex& AIndex, int ARole) const
{
    if (ARole != Qt::BackgroundRole)
        return QSortFilterProxyModel::data(AIndex, ARole);
    const TAccountHealthRecord* record = AIndex.isValid() ? Record(AIndex.row()) : nullptr;
    return record && !record->unhealthy.isEmpty() ? QVariant(UnhealthyTint()) : QVariant();
}
