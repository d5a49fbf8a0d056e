#include "taobao/invalidOrder.h"

#include "foundation/qjson.h"

#include <algorithm>

namespace {

// A value as it stands inside a JSON string, written by the document's own encoder.
QString JsonEscaped(const QString& AValue)
{
    const bool plain = std::none_of(
        AValue.cbegin(), AValue.cend(), [](QChar c) { return c.unicode() < 0x20 || c == u'"' || c == u'\\'; });
    if (plain)
        return AValue; // the usual digit ids
    TQJson node;
    node.SetAsString(AValue);
    const QString quoted = node.Encode(false, false);
    return quoted.mid(1, quoted.size() - 2);
}

} // namespace

bool TInvalidOrder::HasIds() const
{
    return tradeId && tradeParentId && !tradeId->isEmpty() && !tradeParentId->isEmpty();
}

std::pair<QString, QString> TInvalidOrder::LineIds() const
{
    return {tradeParentId.value_or(QStringLiteral("[tradeParentId]")), tradeId.value_or(QStringLiteral("[tradeId]"))};
}

QString TInvalidOrder::Line() const
{
    return InvalidOrderLine(
        tradeId ? &*tradeId : nullptr, tradeParentId ? &*tradeParentId : nullptr, tkStatus, payPrice, pubShareFee);
}

QString InvalidOrderLine(
    const QString* ATradeId, const QString* ATradeParentId, int AStauts, qint64 APayPrice, qint64 APubShareFee)
{
    // Built piece by piece rather than by replacing placeholders, so an id can never be mistaken for one.
    QString line;
    line.reserve(128);
    line += u"{\"tradeId\":\"";
    line += ATradeId ? JsonEscaped(*ATradeId) : QStringLiteral("[tradeId]");
    line += u"\",\"tradeParentId\":\"";
    line += ATradeParentId ? JsonEscaped(*ATradeParentId) : QStringLiteral("[tradeParentId]");
    line += u"\",\"tkStatus\":";
    line += QString::number(AStauts);
    line += u",\"payPrice\":\"";
    line += QString::number(APayPrice);
    line += u"\",\"pubShareFee\":\"";
    line += QString::number(APubShareFee);
    line += u"\"}";
    return line;
}
