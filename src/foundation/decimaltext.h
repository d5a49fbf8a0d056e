#pragma once

#include <QStringView>

#include <optional>

// Three readers turn decimal text into a number, each by its own rule, on the pieces below:
// - a JSON string read as a number (TQJson getters): no plus sign, digits before the point and after it, nearest
//   double unless it is a 64-bit integer, and hexadecimal after "$", "&" or "0x";
// - an amount (DecimalTextToFen): any sign, digits on either side of the point, exact in fen or refused;
// - a settings value (ParseIniInteger): integers only, decimal or hexadecimal after "0x", with a sign.

bool IsAsciiDigit(char16_t AChar);

// The value of decimal (ABase 10) or hexadecimal (ABase 16) digits; nullopt for no digit, another character or a
// value above 64 bits.
std::optional<quint64> DigitsValue(QStringView ADigits, int ABase);

// A text of the shape [sign] digits [. digits] [(e|E) [sign] digits], split; either digit run may be empty, the
// exponent's may not. Nullopt for any other text.
struct TDecimalParts {
    char16_t FSign = 0; // '-', '+' or 0
    QStringView FInteger;
    QStringView FFraction;
    bool FHasPoint = false;
    bool FHasExponent = false;
    qint64 FExponent = 0; // held within ±kExponentLimit: beyond it every text means zero or overflow anyway

    static constexpr qint64 kExponentLimit = qint64(1) << 50;
    bool Negative() const { return FSign == u'-'; }
};
std::optional<TDecimalParts> SplitDecimalText(QStringView AText);

// An amount in fen from its decimal text, exact and truncated below one fen: "12.505" gives 1250, "-0.29" -29,
// "+1" 100, "1.9999999999999999e0" 199. Nullopt for another form or a value outside 64 bits.
std::optional<qint64> DecimalTextToFen(QStringView AText);
