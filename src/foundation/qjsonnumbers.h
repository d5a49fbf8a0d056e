#pragma once

#include <QString>
#include <QStringView>

#include <optional>

// Number texts as the JSON document reads and writes them; shared by the node getters, the reader and the writer.

// Nearest double of a decimal text (optional '-', digits, fraction, exponent). Underflow gives 0; false on
// overflow or a malformed text.
bool DecimalToDouble(QStringView AText, double& AValue);

// A text read as a number: "$", "&", "0x" hexadecimal, or -digits[.digits][e[sign]digits]. Integer texts are
// kept exact so that 18-19 digit ids survive.
struct TTextNumber {
    bool FIsInteger = false;
    qint64 FInteger = 0;
    double FFloat = 0;
};
bool ReadTextNumber(QStringView AText, TTextNumber& AResult);

// The value of a whole number text with its sign, when it fits 64 bits.
std::optional<qint64> SignedInteger(QStringView ADigits, bool ANegative);

// Truncation toward zero; false when the value lies outside the 64-bit range.
bool TruncToInt64(double AValue, qint64& AResult);

// Shortest text with at most 15 significant digits: the value rounded to 15 digits without its trailing zeros
// (two different texts of 15 digits or fewer never name the same double). Near the largest double those 15
// digits round up past it and would no longer parse: there the shortest text that reads back, of up to 17.
// Plain notation for 0 and 1e-4 <= |v| < 1e15, otherwise mantissa "E" exponent.
QString FloatText(double AValue);
