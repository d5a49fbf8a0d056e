#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <QStringList>

#include <array>
#include <vector>

struct TAlimmTokenData;

// The account list: one row per affiliate account, six text columns. Main thread only; rows are rebuilt by the
// account refresh and their two state columns changed by status messages.
class TAccountListModel : public QAbstractTableModel {
    Q_OBJECT

public:
    enum TColumn { colUserId, colUserName, colAuthTime, colExpTime, colLoginState, colRunState, colCount };

    using QAbstractTableModel::QAbstractTableModel;

    int rowCount(const QModelIndex& AParent = {}) const override;
    int columnCount(const QModelIndex& AParent = {}) const override;
    QVariant data(const QModelIndex& AIndex, int ARole = Qt::DisplayRole) const override;
    QVariant headerData(int ASection, Qt::Orientation AOrientation, int ARole = Qt::DisplayRole) const override;

    static QString ColumnCaption(int AColumn);

    void Clear();
    // A row for the account: its trimmed id, name, the two times as local date-time texts, the given web-session
    // state and "等待同步".
    void AppendAccount(const TAlimmTokenData& AAccount, const QString& ALoginState);
    // The first row whose account name, trimmed, equals the trimmed name (letter case significant); -1 when none.
    int FindByUserName(const QString& AUserName) const;
    // The row of that account (its trimmed id); -1 when none.
    int FindByUserId(const QString& AUserId) const;
    void SetText(int ARow, int AColumn, const QString& AText);
    QString Text(int ARow, int AColumn) const;
    int Count() const { return static_cast<int>(FRows.size()); }

private:
    std::vector<std::array<QString, colCount>> FRows;
};
