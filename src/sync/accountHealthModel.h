#pragma once

#include "sync/accountHealth.h"

#include <QAbstractTableModel>
#include <QDateTime>

#include <vector>

// The account health as a table: one row per account, the figures as columns. Display texts for a view, and under
// SortRole the values to sort by (numbers as numbers, times as times). Main thread only; Refresh takes a new copy.
class TAccountHealthModel : public QAbstractTableModel {
    Q_OBJECT

public:
    enum TColumn {
        colUserId,
        colUserName,
        colHealth,
        colInvalidLast,
        colInvalidOutcome,
        colInvalidDelivered,
        colRefundLast,
        colRefundOutcome,
        colRefundDelivered,
        colLastError,
        colTokenDays,
        colWebSession,
        colAgedOut,
        colReason,
        colAdvice,
        colCount
    };
    static constexpr int SortRole = Qt::UserRole + 1;

    using QAbstractTableModel::QAbstractTableModel;

    int rowCount(const QModelIndex& AParent = {}) const override;
    int columnCount(const QModelIndex& AParent = {}) const override;
    QVariant data(const QModelIndex& AIndex, int ARole = Qt::DisplayRole) const override;
    QVariant headerData(int ASection, Qt::Orientation AOrientation, int ARole = Qt::DisplayRole) const override;

    void Refresh(std::vector<TAccountHealthRecord> AAccounts, const QDateTime& ANow);
    const TAccountHealthRecord* Record(int ARow) const;
    // The time the days and ages are counted to.
    const QDateTime& Now() const { return FNow; }

private:
    QString Text(const TAccountHealthRecord& ARecord, int AColumn) const;
    QVariant SortValue(const TAccountHealthRecord& ARecord, int AColumn) const;

    std::vector<TAccountHealthRecord> FAccounts;
    QDateTime FNow;
};

// Everything the health says of one account, in lines, for a tooltip.
QString HealthTooltip(const TAccountHealthRecord& ARecord, const QDateTime& ANow);
