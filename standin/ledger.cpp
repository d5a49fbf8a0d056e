#include "standin/ledger.h"

#include <QCryptographicHash>
#include <QString>

TStandInLedger::TKind& TStandInLedger::Kind(const std::string& AKind)
{
    return AKind == "refund" ? FRefunds : FInvalid;
}

void TStandInLedger::AcceptBatch(
    const std::string& AKind, const std::string& ABatchText, const std::vector<std::pair<TKey, QJsonObject>>& AOrders)
{
    const std::string digest
        = QCryptographicHash::hash(QByteArray::fromStdString(ABatchText), QCryptographicHash::Sha256)
              .toHex()
              .toStdString();
    const std::scoped_lock lock(FMutex);
    TKind& kind = Kind(AKind);
    ++kind.batchCount;
    if (!kind.batches.insert(digest).second)
        ++kind.duplicateBatches;
    for (const auto& [key, order] : AOrders) {
        auto [it, inserted] = kind.orders.try_emplace(key);
        if (inserted) {
            it->second.order = order;
            kind.arrival.push_back(key);
        } else {
            ++kind.duplicates;
        }
        ++it->second.receipts;
    }
}

void TStandInLedger::ServedOrder(const TKey& AKey, int AStatus)
{
    const std::scoped_lock lock(FMutex);
    FServedOrders[AKey] = AStatus;
}

void TStandInLedger::ServedRefund(const TKey& AKey)
{
    const std::scoped_lock lock(FMutex);
    FServedRefunds[AKey] = 1;
}

void TStandInLedger::Clear()
{
    const std::scoped_lock lock(FMutex);
    FInvalid = TKind();
    FRefunds = TKind();
    FServedOrders.clear();
    FServedRefunds.clear();
}

QJsonObject TStandInLedger::KindSummary(const TKind& AKind, const std::map<TKey, int>& AServed, bool ACountUnknown)
{
    long long unknown = 0;
    if (ACountUnknown) {
        for (const auto& [key, received] : AKind.orders)
            unknown += AServed.count(key) == 0;
    }
    return QJsonObject {{QStringLiteral("batches"), AKind.batchCount},
        {QStringLiteral("duplicateBatches"), AKind.duplicateBatches},
        {QStringLiteral("orders"), static_cast<qint64>(AKind.orders.size())},
        {QStringLiteral("duplicates"), AKind.duplicates}, {QStringLiteral("unknown"), unknown}};
}

QJsonObject TStandInLedger::Summary() const
{
    const std::scoped_lock lock(FMutex);
    QJsonObject served;
    long long byStatus[4] = {0, 0, 0, 0}; // 12, 13, 14, 3
    for (const auto& [key, status] : FServedOrders) {
        byStatus[0] += status == 12;
        byStatus[1] += status == 13;
        byStatus[2] += status == 14;
        byStatus[3] += status == 3;
    }
    served.insert(QStringLiteral("orders"), static_cast<qint64>(FServedOrders.size()));
    served.insert(QStringLiteral("status12"), byStatus[0]);
    served.insert(QStringLiteral("status13"), byStatus[1]);
    served.insert(QStringLiteral("status14"), byStatus[2]);
    served.insert(QStringLiteral("status3"), byStatus[3]);
    served.insert(QStringLiteral("successfulRefunds"), static_cast<qint64>(FServedRefunds.size()));
    return QJsonObject {{QStringLiteral("invalidOrders"), KindSummary(FInvalid, FServedOrders, true)},
        {QStringLiteral("refunds"), KindSummary(FRefunds, FServedRefunds, true)}, {QStringLiteral("served"), served}};
}

QJsonObject TStandInLedger::Received() const
{
    QJsonObject all = Summary();
    const std::scoped_lock lock(FMutex);
    const auto list = [](const TKind& AKind) {
        QJsonArray orders;
        for (const TKey& key : AKind.arrival) {
            const TReceived& received = AKind.orders.at(key);
            QJsonObject order = received.order;
            order.insert(QStringLiteral("receipts"), received.receipts);
            orders.append(order);
        }
        return orders;
    };
    QJsonObject invalid = all.value(QStringLiteral("invalidOrders")).toObject();
    invalid.insert(QStringLiteral("list"), list(FInvalid));
    all.insert(QStringLiteral("invalidOrders"), invalid);
    QJsonObject refunds = all.value(QStringLiteral("refunds")).toObject();
    refunds.insert(QStringLiteral("list"), list(FRefunds));
    all.insert(QStringLiteral("refunds"), refunds);
    return all;
}

std::set<TStandInLedger::TKey> TStandInLedger::ReceivedOrders() const
{
    const std::scoped_lock lock(FMutex);
    return std::set<TKey>(FInvalid.arrival.begin(), FInvalid.arrival.end());
}

std::set<TStandInLedger::TKey> TStandInLedger::ReceivedRefunds() const
{
    const std::scoped_lock lock(FMutex);
    return std::set<TKey>(FRefunds.arrival.begin(), FRefunds.arrival.end());
}
