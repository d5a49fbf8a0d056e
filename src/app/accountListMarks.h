#pragma once

#include "sync/accountHealth.h"

#include <QColor>
#include <QIdentityProxyModel>
#include <QSortFilterProxyModel>

#include <map>

// The account list as the window shows it: rows of unhealthy accounts marked (a tint, a warning icon on the id)
// with the account's health as their tooltip. The list's six columns and texts stay as they are.
class TAccountListMarks : public QIdentityProxyModel {
    Q_OBJECT

public:
    using QIdentityProxyModel::QIdentityProxyModel;

    QVariant data(const QModelIndex& AIndex, int ARole = Qt::DisplayRole) const override;

    // A new copy of the health; marks every row again.
    void Refresh(const std::vector<TAccountHealthRecord>& AAccounts, const QDateTime& ANow);
    bool Marked(int ARow) const;

private:
    const TAccountHealthRecord* RecordOf(int ARow) const;

    std::map<QString, TAccountHealthRecord> FByUserId;
    QDateTime FNow;
};

// The health tab's rows: sortable, and those of unhealthy accounts tinted as in the account list.
class THealthRows : public QSortFilterProxyModel {
    Q_OBJECT

public:
    using QSortFilterProxyModel::QSortFilterProxyModel;

    QVariant data(const QModelIndex& AIndex, int ARole = Qt::DisplayRole) const override;
    // The account shown in that row of this model; null past the rows.
    const TAccountHealthRecord* Record(int ARow) const;
};

// The one tint of an unhealthy account's row, wherever it is listed.
QColor UnhealthyTint();
