#pragma once

#include <QString>

#include <optional>
#include <utility>

// One invalid (or received) order as an order page gives it: the ids (absent when the page has none, and the batch
// line then keeps its placeholder), the status it was asked under and the amounts in fen.
struct TInvalidOrder {
    std::optional<QString> tradeId;
    std::optional<QString> tradeParentId;
    int tkStatus = 0;
    qint64 payPrice = 0;
    qint64 pubShareFee = 0;

    // Whether both ids are there: only then can a delivered order be told apart.
    bool HasIds() const;
    // The ids as the batch line carries them, parent first: what is recorded as delivered once the batch is accepted.
    std::pair<QString, QString> LineIds() const;
    // The order's line of an invalid-order batch.
    QString Line() const;

    bool operator==(const TInvalidOrder&) const = default;
};

// One invalid-order line. Absent ids keep their placeholders; values are JSON-escaped.
QString InvalidOrderLine(
    const QString* ATradeId, const QString* ATradeParentId, int AStauts, qint64 APayPrice, qint64 APubShareFee);
