#include "sync/accountListModel.h"

#include "foundation/datetext.h"
#include "foundation/textutil.h"
#include "sessions/alimmTokenMgr.h"

#include <QDateTime>

namespace {

QString UnixToText(qint64 ASeconds)
{
    return DateTimeToText(QDateTime::fromSecsSinceEpoch(ASeconds).toLocalTime());
}

} // namespace

int TAccountListModel::rowCount(const QModelIndex& AParent) const
{
    return AParent.isValid() ? 0 : Count();
}

int TAccountListModel::columnCount(const QModelIndex& AParent) const
{
    return AParent.isValid() ? 0 : colCount;
}

QVariant TAccountListModel::data(const QModelIndex& AIndex, int ARole) const
{
    if (ARole != Qt::DisplayRole || !AIndex.isValid() || AIndex.row() >= Count() || AIndex.column() >= colCount)
        return {};
    return FRows[static_cast<size_t>(AIndex.row())][static_cast<size_t>(AIndex.column())];
}

QVariant TAccountListModel::headerData(int ASection, Qt::Orientation AOrientation, int ARole) const
{
    if (AOrientation != Qt::Horizontal || ASection < 0 || ASection >= colCount)
        return {};
    if (ARole == Qt::DisplayRole)
        return ColumnCaption(ASection);
    return {};
}

QString TAccountListModel::ColumnCaption(int AColumn)
{
    static const std::array<QString, colCount> captions {QStringLiteral("联盟ID"), QStringLiteral("联盟账号"),
        QStringLiteral("授权日期"), QStringLiteral("授权到期时间"), QStringLiteral("登录状态"),
        QStringLiteral("运行状态")};
    return AColumn >= 0 && AColumn < colCount ? captions[static_cast<size_t>(AColumn)] : QString();
}

void TAccountListModel::Clear()
{
    if (FRows.empty())
        return;
    beginResetModel();
    FRows.clear();
    endResetModel();
}

void TAccountListModel::AppendAccount(const TAlimmTokenData& AAccount, const QString& ALoginState)
{
    const int row = Count();
    beginInsertRows({}, row, row);
    FRows.push_back({Trim(AAccount.userId), AAccount.userName, UnixToText(AAccount.authTime),
        UnixToText(AAccount.expTime), ALoginState, QStringLiteral("等待同步")});
    endInsertRows();
}

int TAccountListModel::FindByUserName(const QString& AUserName) const
{
    const QString wanted = Trim(AUserName);
    for (size_t row = 0; row < FRows.size(); ++row) {
        if (Trim(FRows[row][colUserName]) == wanted)
            return static_cast<int>(row);
    }
    return -1;
}

int TAccountListModel::FindByUserId(const QString& AUserId) const
{
    const QString wanted = Trim(AUserId);
    for (size_t row = 0; row < FRows.size(); ++row) {
        if (!wanted.isEmpty() && FRows[row][colUserId] == wanted)
            return static_cast<int>(row);
    }
    return -1;
}

void TAccountListModel::SetText(int ARow, int AColumn, const QString& AText)
{
    if (ARow < 0 || ARow >= Count() || AColumn < 0 || AColumn >= colCount)
        return;
    QString& cell = FRows[static_cast<size_t>(ARow)][static_cast<size_t>(AColumn)];
    if (cell == AText)
        return;
    cell = AText;
    const QModelIndex changed = index(ARow, AColumn);
    Q_EMIT dataChanged(changed, changed, {Qt::DisplayRole});
}

QString TAccountListModel::Text(int ARow, int AColumn) const
{
    if (ARow < 0 || ARow >= Count() || AColumn < 0 || AColumn >= colCount)
        return {};
    return FRows[static_cast<size_t>(ARow)][static_cast<size_t>(AColumn)];
}
