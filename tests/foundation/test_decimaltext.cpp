#include "foundation/decimaltext.h"

#include <QString>

#include <gtest/gtest.h>

#include <limits>
#include <optional>

namespace {

constexpr qint64 kMin = std::numeric_limits<qint64>::min();
constexpr qint64 kMax = std::numeric_limits<qint64>::max();

TEST(DecimalTextToFen, ExactOrRefused)
{
    const struct {
        const char16_t* text;
        std::optional<qint64> fen;
    } cases[] = {
        {u"0.29", 29},
        {u"12.50", 1250},
        {u"12.505", 1250},
        {u"-0.29", -29},
        {u"-0.009", 0},
        {u"+1", 100},
        {u"7", 700},
        {u".5", 50},
        {u"5.", 500},
        {u"1.5e2", 15000},
        {u"2.5E-1", 25},
        {u"1.9999999999999999e0", 199},
        {u"19999999999999999e-16", 199},
        {u"1.000e-9223372036854775808", 0},
        {u"0e9223372036854775807", 0},
        {u"0.0000000000000000000000000000001e31", 100},
        {u"92233720368547758.07", kMax},
        {u"-92233720368547758.08", kMin},
        {u"92233720368547758.08", std::nullopt},
        {u"-92233720368547758.09", std::nullopt},
        {u"1e17", std::nullopt},
        {u"1e9223372036854775807", std::nullopt},
        {u"", std::nullopt},
        {u"-", std::nullopt},
        {u".", std::nullopt},
        {u"e5", std::nullopt},
        {u"1e", std::nullopt},
        {u"1.2.3", std::nullopt},
        {u" 1", std::nullopt},
        {u"１", std::nullopt},
        {u"0x10", std::nullopt},
        {u"--1", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DecimalTextToFen(c.text), c.fen) << QStringView(c.text).toString().toStdString();
}

TEST(DigitsValue, DecimalAndHexadecimal)
{
    EXPECT_EQ(DigitsValue(u"0", 10), 0u);
    EXPECT_EQ(DigitsValue(u"18446744073709551615", 10), std::numeric_limits<quint64>::max());
    EXPECT_EQ(DigitsValue(u"18446744073709551616", 10), std::nullopt);
    EXPECT_EQ(DigitsValue(u"ffFF", 16), 0xffffu);
    EXPECT_EQ(DigitsValue(u"ff", 10), std::nullopt);
    EXPECT_EQ(DigitsValue(u"", 10), std::nullopt);
    EXPECT_EQ(DigitsValue(u"1\u0661", 10), std::nullopt); // Arabic-Indic one
    EXPECT_EQ(DigitsValue(u"\uff41", 16), std::nullopt); // full-width a
}

} // namespace
