#include "taobao/orderAmount.h"

#include "foundation/decimaltext.h"
#include "foundation/qerror.h"
#include "foundation/qjson.h"
#include "foundation/textutil.h"
#include "log/QLog.h"

#include <exception>

#include <QtNumeric>

#include <optional>

namespace {

[[noreturn]] void RaiseNotANumber(const TQJson& ANode)
{
    throw EQuenlarError(TQJson::TypeName(ANode.DataType()) + QStringLiteral(" 不是一个有效的 Numeric 类型的值。"));
}

bool IsHexText(QStringView AText)
{
    return AText.startsWith(u'$') || AText.startsWith(u'&') || AText.startsWith(u"0x", Qt::CaseInsensitive);
}

} // namespace

bool IsAmountPlaceholder(const TQJson& AAmount)
{
    if (AAmount.DataType() != jdtString)
        return false;
    const QString text = Trim(AAmount.AsString());
    return text.isEmpty() || text == u"--";
}

qint64 AmountToFen(const TQJson& AAmount)
{
    if (IsAmountPlaceholder(AAmount))
        return 0;
    switch (AAmount.DataType()) {
    case jdtNull:
        return 0;
    case jdtString:
    case jdtInteger:
    case jdtFloat:
    case jdtBcd:
        break;
    default:
        RaiseNotANumber(AAmount);
    }
    const QString text = AAmount.NumberText();
    if (const std::optional<qint64> fen = DecimalTextToFen(text))
        return *fen;
    if (AAmount.DataType() == jdtString && IsHexText(text)) {
        const qint64 units = AAmount.AsInt64(); // raises for a malformed text
        qint64 fen = 0;
        if (!qMulOverflow(units, qint64(100), &fen))
            return fen;
    }
    RaiseNotANumber(AAmount);
}

double AmountValue(const TQJson* AAmount)
{
    if (AAmount == nullptr || IsAmountPlaceholder(*AAmount))
        return 0.0;
    return AAmount->AsFloat();
}

void LogUnreadableAmount(const QString& AWhat, const QString& AParentId, const QString& AChildId)
{
    LogLine(llError,
        AWhat + u' ' + AParentId + u'/' + AChildId + QStringLiteral(" 的金额无法读取,未提交:")
            + ErrorMessageOf(std::current_exception()));
}
