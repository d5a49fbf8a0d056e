#include "foundation/decimaltext.h"

#include <algorithm>
#include <limits>

namespace {

constexpr quint64 kInt64Max = quint64(std::numeric_limits<qint64>::max());

int DigitOf(char16_t AChar, int ABase)
{
    if (IsAsciiDigit(AChar))
        return AChar - u'0';
    if (ABase == 16 && AChar >= u'a' && AChar <= u'f')
        return AChar - u'a' + 10;
    if (ABase == 16 && AChar >= u'A' && AChar <= u'F')
        return AChar - u'A' + 10;
    return -1;
}

qsizetype DigitRun(QStringView AText, qsizetype APos)
{
    qsizetype end = APos;
    while (end < AText.size() && IsAsciiDigit(AText[end].unicode()))
        ++end;
    return end;
}

qint64 SaturatedExponent(QStringView ADigits, bool ANegative)
{
    qint64 value = 0;
    for (const QChar c : ADigits) {
        value = value * 10 + (c.unicode() - u'0');
        if (value >= TDecimalParts::kExponentLimit) {
            value = TDecimalParts::kExponentLimit;
            break;
        }
    }
    return ANegative ? -value : value;
}

// Appends the digits to a magnitude that may not pass ALimit.
bool AccumulateDigits(QStringView ADigits, quint64 ALimit, quint64& AValue)
{
    for (const QChar c : ADigits) {
        const unsigned digit = c.unicode() - u'0';
        if (AValue > (ALimit - digit) / 10)
            return false;
        AValue = AValue * 10 + digit;
    }
    return true;
}

qint64 Signed(quint64 AMagnitude, bool ANegative)
{
    if (!ANegative)
        return qint64(AMagnitude);
    return AMagnitude == kInt64Max + 1 ? std::numeric_limits<qint64>::min() : -qint64(AMagnitude);
}

} // namespace

bool IsAsciiDigit(char16_t AChar)
{
    return AChar >= u'0' && AChar <= u'9';
}

std::optional<quint64> DigitsValue(QStringView ADigits, int ABase)
{
    if (ADigits.isEmpty())
        return std::nullopt;
    const quint64 base = quint64(ABase);
    quint64 value = 0;
    for (const QChar c : ADigits) {
        const int digit = DigitOf(c.unicode(), ABase);
        if (digit < 0 || value > (std::numeric_limits<quint64>::max() - quint64(digit)) / base)
            return std::nullopt;
        value = value * base + quint64(digit);
    }
    return value;
}

std::optional<TDecimalParts> SplitDecimalText(QStringView AText)
{
    TDecimalParts parts;
    qsizetype pos = 0;
    if (!AText.isEmpty() && (AText[0] == u'-' || AText[0] == u'+'))
        parts.FSign = AText[pos++].unicode();
    qsizetype end = DigitRun(AText, pos);
    parts.FInteger = AText.sliced(pos, end - pos);
    pos = end;
    if (pos < AText.size() && AText[pos] == u'.') {
        parts.FHasPoint = true;
        end = DigitRun(AText, ++pos);
        parts.FFraction = AText.sliced(pos, end - pos);
        pos = end;
    }
    if (pos < AText.size() && (AText[pos] == u'e' || AText[pos] == u'E')) {
        parts.FHasExponent = true;
        bool negative = false;
        if (++pos < AText.size() && (AText[pos] == u'-' || AText[pos] == u'+'))
            negative = AText[pos++] == u'-';
        end = DigitRun(AText, pos);
        if (end == pos)
            return std::nullopt;
        parts.FExponent = SaturatedExponent(AText.sliced(pos, end - pos), negative);
        pos = end;
    }
    if (pos != AText.size())
        return std::nullopt;
    return parts;
}

std::optional<qint64> DecimalTextToFen(QStringView AText)
{
    const std::optional<TDecimalParts> parts = SplitDecimalText(AText);
    if (!parts || (parts->FInteger.isEmpty() && parts->FFraction.isEmpty()))
        return std::nullopt;
    // The digits stand for digits × 10^shift fen; a negative shift cuts digits off (truncation toward zero).
    const qint64 shift = parts->FExponent - parts->FFraction.size() + 2;
    const qsizetype total = parts->FInteger.size() + parts->FFraction.size();
    const qint64 kept = shift < 0 ? std::max<qint64>(0, total + shift) : total;
    const quint64 limit = parts->Negative() ? kInt64Max + 1 : kInt64Max;
    quint64 fen = 0;
    const QStringView integer = parts->FInteger.first(std::min<qint64>(kept, parts->FInteger.size()));
    const QStringView fraction = parts->FFraction.first(kept - integer.size());
    if (!AccumulateDigits(integer, limit, fen) || !AccumulateDigits(fraction, limit, fen))
        return std::nullopt;
    for (qint64 i = 0; fen != 0 && i < shift; ++i) {
        if (fen > limit / 10)
            return std::nullopt;
        fen *= 10;
    }
    return Signed(fen, parts->Negative());
}
