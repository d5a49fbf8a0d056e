#include "foundation/qjsonnumbers.h"

#include "foundation/decimaltext.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace {

// The characters of a number text as ASCII for std::from_chars; callers have checked that they are ASCII.
struct TAsciiBuffer {
    explicit TAsciiBuffer(QStringView AText)
    {
        FText.resize(size_t(AText.size()));
        for (qsizetype i = 0; i < AText.size(); ++i)
            FText[size_t(i)] = char(AText[i].unicode());
    }
    const char* Begin() const { return FText.data(); }
    const char* End() const { return FText.data() + FText.size(); }
    std::string FText;
};

bool ReadHex(QStringView ADigits, TTextNumber& AResult)
{
    const std::optional<quint64> value = DigitsValue(ADigits, 16);
    if (!value)
        return false;
    AResult.FIsInteger = true;
    AResult.FInteger = qint64(*value);
    return true;
}

} // namespace

bool DecimalToDouble(QStringView AText, double& AValue)
{
    if (!AText.isEmpty() && AText.front() == u'+')
        AText = AText.mid(1);
    const TAsciiBuffer ascii(AText);
    double value = 0;
    const auto [end, ec] = std::from_chars(ascii.Begin(), ascii.End(), value);
    if (end != ascii.End())
        return false;
    if (ec == std::errc::result_out_of_range) {
        // from_chars reports underflow and overflow alike; only a negative exponent can underflow.
        const qsizetype e = AText.indexOf(u'e', 0, Qt::CaseInsensitive);
        if (e >= 0 && e + 1 < AText.size() && AText[e + 1] == u'-') {
            AValue = 0;
            return true;
        }
        return false;
    }
    if (ec != std::errc() || !std::isfinite(value))
        return false;
    AValue = value;
    return true;
}

std::optional<qint64> SignedInteger(QStringView ADigits, bool ANegative)
{
    const std::optional<quint64> magnitude = DigitsValue(ADigits, 10);
    constexpr quint64 kMax = quint64(std::numeric_limits<qint64>::max());
    if (!magnitude || *magnitude > kMax + (ANegative ? 1 : 0))
        return std::nullopt;
    return ANegative ? qint64(0 - *magnitude) : qint64(*magnitude);
}

bool ReadTextNumber(QStringView AText, TTextNumber& AResult)
{
    if (AText.isEmpty())
        return false;
    if (AText.front() == u'$' || AText.front() == u'&')
        return ReadHex(AText.mid(1), AResult);
    if (AText.size() > 1 && AText[0] == u'0' && (AText[1] == u'x' || AText[1] == u'X'))
        return ReadHex(AText.mid(2), AResult);

    const std::optional<TDecimalParts> parts = SplitDecimalText(AText);
    if (!parts || parts->FSign == u'+' || parts->FInteger.isEmpty() || (parts->FHasPoint && parts->FFraction.isEmpty()))
        return false;
    if (!parts->FHasPoint && !parts->FHasExponent) {
        if (const std::optional<qint64> value = SignedInteger(parts->FInteger, parts->Negative())) {
            AResult.FIsInteger = true;
            AResult.FInteger = *value;
            return true;
        }
    }
    AResult.FIsInteger = false;
    return DecimalToDouble(AText, AResult.FFloat);
}

bool TruncToInt64(double AValue, qint64& AResult)
{
    constexpr double kLimit = 9223372036854775808.0; // 2^63
    if (!(AValue >= -kLimit && AValue < kLimit))
        return false;
    AResult = qint64(AValue);
    return true;
}

QString FloatText(double AValue)
{
    if (AValue == 0)
        return QStringLiteral("0");
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, AValue, std::chars_format::scientific, 14);
    double back = 0;
    if (std::from_chars(buffer, result.ptr, back).ec == std::errc::result_out_of_range && std::abs(AValue) > 1)
        result = std::to_chars(buffer, buffer + sizeof buffer, AValue, std::chars_format::scientific);
    std::string_view text(buffer, size_t(result.ptr - buffer));
    // text is "[-]d[.ddd]e[+-]xx"
    const bool negative = text.front() == '-';
    if (negative)
        text.remove_prefix(1);
    const size_t ePos = text.find('e');
    std::string digits;
    for (const char c : text.substr(0, ePos))
        if (c != '.')
            digits.push_back(c);
    while (digits.size() > 1 && digits.back() == '0')
        digits.pop_back();
    int exponent = 0;
    std::string_view expText = text.substr(ePos + 1);
    if (expText.front() == '+')
        expText.remove_prefix(1);
    std::from_chars(expText.data(), expText.data() + expText.size(), exponent);

    std::string out;
    if (negative)
        out.push_back('-');
    if (exponent >= -4 && exponent < 15) {
        if (exponent >= 0) {
            const size_t intDigits = size_t(exponent) + 1;
            if (digits.size() <= intDigits) {
                out += digits;
                out.append(intDigits - digits.size(), '0');
            } else {
                out += digits.substr(0, intDigits);
                out.push_back('.');
                out += digits.substr(intDigits);
            }
        } else {
            out += "0.";
            out.append(size_t(-exponent - 1), '0');
            out += digits;
        }
    } else {
        out.push_back(digits.front());
        if (digits.size() > 1) {
            out.push_back('.');
            out += digits.substr(1);
        }
        out.push_back('E');
        out += std::to_string(exponent);
    }
    return QString::fromLatin1(out.data(), qsizetype(out.size()));
}
