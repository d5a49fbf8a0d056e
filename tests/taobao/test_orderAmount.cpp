#include "taobao/orderAmount.h"

#include "foundation/qerror.h"
#include "foundation/qjson.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

constexpr qint64 kMin = std::numeric_limits<qint64>::min();

TEST(AmountToFen, FromNumbersAndNumberTexts)
{
    const struct {
        const char* json;
        qint64 fen;
    } cases[] = {
        {"\"0.29\"", 29},
        {"\"12.50\"", 1250},
        {"\"12.505\"", 1250},
        {"\"-0.29\"", -29},
        {"\"0\"", 0},
        {"\"7\"", 700},
        {"\"+1\"", 100},
        {"0.29", 29},
        {"12.5", 1250},
        {"12", 1200},
        {"+1", 100},
        {"1.5e2", 15000},
        {"1.9999999999999999e0", 199},
        {"\"2.5E-1\"", 25},
        {"\"99999999999.99\"", 9999999999999},
        {"\"-92233720368547758.08\"", kMin},
        {"-92233720368547758.08", kMin},
        {"null", 0},
        // The gateway's placeholders for an amount it does not know yet read like a missing amount.
        {"\"\"", 0},
        {"\" \"", 0},
        {"\"--\"", 0},
        {"\"0x10\"", 1600},
        {"\"$ff\"", 25500},
    };
    for (const auto& c : cases) {
        TQJson document;
        ASSERT_TRUE(document.TryParse(QByteArray("{\"v\":") + c.json + "}")) << c.json;
        EXPECT_EQ(AmountToFen(*document.ItemByPath(u"v")), c.fen) << c.json;
    }
}

TEST(AmountToFen, RaisesForWhatIsNoAmount)
{
    for (const char* bad : {"\"abc\"", "\"-\"", "\"---\"", "\"1.2.3\"", "[1]", "{}", "true", "false", "\"1e17\"",
             "92233720368547758.08", "\"-92233720368547758.09\"", "\"0x7fffffffffffffff\"", "\"0x\""}) {
        TQJson document;
        ASSERT_TRUE(document.TryParse(QByteArray("{\"v\":") + bad + "}")) << bad;
        EXPECT_THROW(AmountToFen(*document.ItemByPath(u"v")), EQuenlarError) << bad;
    }
    TQJson unknown;
    EXPECT_THROW(AmountToFen(unknown), EQuenlarError);
}

TEST(AmountValue, ReadsPlaceholdersAndAbsenceAsZeroAndRaisesForWords)
{
    TQJson document;
    ASSERT_TRUE(document.TryParse(QStringLiteral(R"({"a":"12.50","b":"","c":"--","d":3,"e":"abc"})")));
    EXPECT_DOUBLE_EQ(AmountValue(document.ItemByName(u"a")), 12.5);
    EXPECT_DOUBLE_EQ(AmountValue(document.ItemByName(u"b")), 0.0);
    EXPECT_DOUBLE_EQ(AmountValue(document.ItemByName(u"c")), 0.0);
    EXPECT_DOUBLE_EQ(AmountValue(document.ItemByName(u"d")), 3.0);
    EXPECT_DOUBLE_EQ(AmountValue(nullptr), 0.0);
    EXPECT_THROW(AmountValue(document.ItemByName(u"e")), EQuenlarError);
}

TEST(AmountToFen, FloatsSetByValue)
{
    TQJson json;
    json.SetAsFloat(12.34);
    EXPECT_EQ(AmountToFen(json), 1234);
    json.SetAsFloat(1e300);
    EXPECT_THROW(AmountToFen(json), EQuenlarError);
}

} // namespace
