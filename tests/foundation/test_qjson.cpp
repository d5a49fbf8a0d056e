#include "foundation/qjson.h"

#include "foundation/qerror.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <thread>

// Readable failure output for the texts compared below.
static void PrintTo(const QString& AText, std::ostream* AOut)
{
    *AOut << '"' << AText.toStdString() << '"';
}

namespace {

// The code units as written (QString::fromUtf16 would take a leading U+FEFF away).
QString Q(const char16_t* AText)
{
    return QStringView(AText).toString();
}

// The message of the error that ACall raises, or an empty text when it raises nothing.
template <typename F> QString ErrorOf(F ACall)
{
    try {
        ACall();
    } catch (const EQuenlarError& error) {
        return error.Message();
    }
    return QString();
}

QString ConvertError(const char16_t* AType, const char16_t* ATarget)
{
    return Q(AType) + Q(u" 不是一个有效的 ") + Q(ATarget) + Q(u" 类型的值。");
}

// ---- what the parser accepts --------------------------------------------------------------------------------

struct TAcceptCase {
    const char16_t* FText;
    bool FAccepted;
};

class QJsonAccept : public ::testing::TestWithParam<TAcceptCase> { };

TEST_P(QJsonAccept, TryParseAnswers)
{
    TQJson json;
    EXPECT_EQ(json.TryParse(QStringView(GetParam().FText)), GetParam().FAccepted) << Q(GetParam().FText).toStdString();
}

INSTANTIATE_TEST_SUITE_P(Texts, QJsonAccept,
    ::testing::Values(TAcceptCase {u"", false}, TAcceptCase {u"   ", false}, TAcceptCase {u"hello", false},
        TAcceptCase {u"{}", true}, TAcceptCase {u"[]", true}, TAcceptCase {u" { } ", true},
        TAcceptCase {u"{} trailing words", true}, TAcceptCase {u"[1]]]", true}, TAcceptCase {u"12", true},
        TAcceptCase {u"12 ", true}, TAcceptCase {u"12 x", false}, TAcceptCase {u"12x", false},
        TAcceptCase {u"12,", true}, TAcceptCase {u"\"a\"}", true}, TAcceptCase {u"{'a':'b'}", true},
        TAcceptCase {u"{a:1, b c :2}", true}, TAcceptCase {u"{\"a\":1,}", true}, TAcceptCase {u"[1,2,]", true},
        TAcceptCase {u"[,]", false}, TAcceptCase {u"{,}", false}, TAcceptCase {u"[1,,2]", false},
        TAcceptCase {u"{:1}", false}, TAcceptCase {u"[1}", false}, TAcceptCase {u"{\"a\":1]", false},
        TAcceptCase {u"{\"a\" 1}", false}, TAcceptCase {u"[1 2]", false}, TAcceptCase {u"{\"a\":1", false},
        TAcceptCase {u"[", false}, TAcceptCase {u"{a", false}, TAcceptCase {u"// note\n{}", true},
        TAcceptCase {u"/* a */[1 /* b */, // c\n 2]", true}, TAcceptCase {u"/ {}", false},
        TAcceptCase {u"[1 /* open", false}, TAcceptCase {u"\"abc", false}, TAcceptCase {u"'abc\"", false},
        TAcceptCase {u"\"\\u12\"", false}, TAcceptCase {u"\"\\u12g4\"", false}, TAcceptCase {u"\"abc\\", false},
        TAcceptCase {u"tRuE", true}, TAcceptCase {u"NULL", true}, TAcceptCase {u"[False]", true},
        TAcceptCase {u"nul", false}, TAcceptCase {u"truex", false}, TAcceptCase {u"-", false},
        TAcceptCase {u"+5", true}, TAcceptCase {u".5", false}, TAcceptCase {u"5.", true}, TAcceptCase {u"1.2.3", false},
        TAcceptCase {u"1e", false}, TAcceptCase {u"[1e999]", false}, TAcceptCase {u"\uFEFF{}", true},
        TAcceptCase {u"\uFEFF", false}));

TEST(QJson, ByteSwappedTextIsTurnedFirst)
{
    // "{"a":1}" with every code unit byte-swapped, behind the swapped byte-order mark.
    QString swapped;
    for (const QChar c : Q(u"\uFEFF{\"a\":1}"))
        swapped += QChar(char16_t((c.unicode() << 8) | (c.unicode() >> 8)));
    TQJson json;
    ASSERT_TRUE(json.TryParse(swapped));
    ASSERT_NE(json.ItemByPath(u"a"), nullptr);
    EXPECT_EQ(json.ItemByPath(u"a")->AsInteger(), 1);
}

TEST(QJson, DecimalsOfMoreThan64DigitsAreRefused)
{
    TQJson json;
    EXPECT_TRUE(json.TryParse(QString(64, u'9')));
    EXPECT_EQ(json.DataType(), jdtBcd);
    EXPECT_TRUE(json.TryParse(QString(30, u'1') + u'.' + QString(34, u'2') + QString(40, u'0')));
    EXPECT_FALSE(json.TryParse(QString(65, u'9')));
    EXPECT_FALSE(json.TryParse(QString(30, u'1') + u'.' + QString(35, u'2')));
}

// ---- how values are typed and shown ---------------------------------------------------------------------------

struct TValueCase {
    const char16_t* FText;
    TQJsonDataType FType;
    const char16_t* FAsString;
};

class QJsonValue : public ::testing::TestWithParam<TValueCase> { };

TEST_P(QJsonValue, TypeAndText)
{
    TQJson json;
    ASSERT_TRUE(json.TryParse(QStringView(GetParam().FText)));
    EXPECT_EQ(json.DataType(), GetParam().FType);
    EXPECT_EQ(json.AsString(), Q(GetParam().FAsString));
}

INSTANTIATE_TEST_SUITE_P(Numbers, QJsonValue,
    ::testing::Values(TValueCase {u"12", jdtInteger, u"12"}, TValueCase {u"12.0", jdtInteger, u"12"},
        TValueCase {u"12.000", jdtInteger, u"12"}, TValueCase {u"-7", jdtInteger, u"-7"},
        TValueCase {u"+7", jdtInteger, u"7"}, TValueCase {u"-0", jdtInteger, u"0"},
        TValueCase {u"007", jdtInteger, u"7"}, TValueCase {u"9223372036854775807", jdtInteger, u"9223372036854775807"},
        TValueCase {u"12.50", jdtBcd, u"12.5"}, TValueCase {u"-012.50", jdtBcd, u"-12.5"},
        TValueCase {u"0.000001", jdtBcd, u"0.000001"},
        TValueCase {u"1.123456789012345678", jdtBcd, u"1.123456789012345678"},
        TValueCase {u"9223372036854775808", jdtBcd, u"9223372036854775808"},
        TValueCase {u"-000123456789012345678901.10", jdtBcd, u"-123456789012345678901.1"},
        TValueCase {u"1.5e2", jdtFloat, u"150"}, TValueCase {u"-2.5E-1", jdtFloat, u"-0.25"},
        TValueCase {u"1e20", jdtFloat, u"1E20"}, TValueCase {u"1E-400", jdtFloat, u"0"}));

INSTANTIATE_TEST_SUITE_P(Words, QJsonValue,
    ::testing::Values(TValueCase {u"true", jdtBoolean, u"true"}, TValueCase {u"FALSE", jdtBoolean, u"false"},
        TValueCase {u"Null", jdtNull, u""}, TValueCase {u"\"\"", jdtString, u""}, TValueCase {u"[]", jdtArray, u"[]"},
        TValueCase {u"{}", jdtObject, u"{}"}));

INSTANTIATE_TEST_SUITE_P(Strings, QJsonValue,
    ::testing::Values(TValueCase {u"\"plain\"", jdtString, u"plain"}, TValueCase {u"'single'", jdtString, u"single"},
        TValueCase {u"'it''s'", jdtString, u"it's"}, TValueCase {u"\"say \"\"hi\"\"\"", jdtString, u"say \"hi\""},
        TValueCase {u"'a\"b'", jdtString, u"a\"b"}, TValueCase {u"\"\\\"\\'\\\\\\/\"", jdtString, u"\"'\\/"},
        TValueCase {u"\"\\a\\b\\f\\n\\r\\t\\v\"", jdtString, u"\a\b\f\n\r\t\v"},
        TValueCase {u"\"\\u0007\\u000b\"", jdtString, u"\a\v"}, TValueCase {u"\"\\u4E2d\\u0041\"", jdtString, u"中A"},
        TValueCase {u"\"\\ud83d\\ude00\"", jdtString, u"\U0001F600"}, TValueCase {u"\"\\q\\%\"", jdtString, u"q%"},
        TValueCase {u"\"line\nbreak\"", jdtString, u"line\nbreak"}));

TEST(QJson, FloatText)
{
    const struct {
        double FValue;
        const char16_t* FText;
    } cases[] = {{0.0, u"0"}, {3.0, u"3"}, {12.5, u"12.5"}, {-2.5, u"-2.5"}, {0.1 + 0.2, u"0.3"},
        {1.0 / 3.0, u"0.333333333333333"}, {2.0 / 3.0, u"0.666666666666667"}, {0.0001, u"0.0001"},
        {0.00012345, u"0.00012345"}, {5e-5, u"5E-5"}, {1.5e-6, u"1.5E-6"}, {123456789012345.0, u"123456789012345"},
        {999999999999999.0, u"999999999999999"}, {1e15, u"1E15"}, {9999999999999999.0, u"1E16"}, {1e20, u"1E20"},
        {-1.25e100, u"-1.25E100"}, {1e-300, u"1E-300"}, {-1.7976931348623e308, u"-1.7976931348623E308"},
        {std::numeric_limits<double>::max(), u"1.7976931348623157E308"},
        {-std::numeric_limits<double>::max(), u"-1.7976931348623157E308"}};
    TQJson json;
    for (const auto& c : cases) {
        json.SetAsFloat(c.FValue);
        EXPECT_EQ(json.AsString(), Q(c.FText)) << c.FValue;
    }
}

TEST(QJson, EncodedFloatsReadBack)
{
    for (const double value : {std::numeric_limits<double>::max(), -std::numeric_limits<double>::max(), 1e308,
             0.1 + 0.2, 12.5, 1e-300, std::numeric_limits<double>::denorm_min()}) {
        TQJson json;
        json.Add(QStringLiteral("v"))->SetAsFloat(value);
        TQJson back;
        ASSERT_TRUE(back.TryParse(json.Encode(false, false))) << value;
        // 15 significant digits where they read back, as they always do below the top of the range.
        EXPECT_EQ(back.ItemByPath(u"v")->AsString(), json.ItemByPath(u"v")->AsString()) << value;
    }
    TQJson top;
    ASSERT_TRUE(top.TryParse(QStringLiteral("[1.7976931348623157e308]")));
    EXPECT_EQ(top.Items(0)->AsFloat(), std::numeric_limits<double>::max());
    TQJson back;
    ASSERT_TRUE(back.TryParse(top.Encode(false, false)));
    EXPECT_EQ(back.Items(0)->AsFloat(), std::numeric_limits<double>::max());
}

TEST(QJson, NumberTextKeepsAParsedFloatAsWritten)
{
    TQJson json;
    ASSERT_TRUE(json.TryParse(QStringLiteral("{\"e\":1.9999999999999999e0,\"d\":12.50,\"i\":7,\"s\":\"3.25\"}")));
    EXPECT_EQ(json.ItemByPath(u"e")->NumberText(), QStringLiteral("1.9999999999999999e0"));
    EXPECT_EQ(json.ItemByPath(u"e")->AsString(), QStringLiteral("2"));
    EXPECT_EQ(json.ItemByPath(u"d")->NumberText(), QStringLiteral("12.5"));
    EXPECT_EQ(json.ItemByPath(u"i")->NumberText(), QStringLiteral("7"));
    EXPECT_EQ(json.ItemByPath(u"s")->NumberText(), QStringLiteral("3.25"));
    json.ItemByPath(u"e")->SetAsFloat(0.5);
    EXPECT_EQ(json.ItemByPath(u"e")->NumberText(), QStringLiteral("0.5"));
}

// ---- paths ----------------------------------------------------------------------------------------------------

class QJsonPath : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(FJson.TryParse(QStringLiteral(
            "{\"code\":200, \"data\":{\"list\":[10,20,[30,31]], \"name\":\"x\"}, \"dup\":1, \"dup\":2, \"a.b\":3}")));
    }
    // The text of the node at APath, or "nil".
    QString At(const char16_t* APath) const
    {
        const TQJson* node = FJson.ItemByPath(QStringView(APath));
        return node == nullptr ? QStringLiteral("nil") : node->AsString();
    }
    TQJson FJson;
};

TEST_F(QJsonPath, Lookups)
{
    const struct {
        const char16_t* FPath;
        const char16_t* FText;
    } cases[] = {{u"code", u"200"}, {u"CODE", u"nil"}, {u"data.name", u"x"}, {u"data/name", u"x"},
        {u"data\\name", u"x"}, {u"..data..name.", u"x"}, {u"data.list[1]", u"20"}, {u"data.list[2][1]", u"31"},
        {u"data.list[3]", u"nil"}, {u"data.list.[0]", u"10"}, {u"data.list[-1]", u"nil"}, {u"data.list[x]", u"nil"},
        {u"data.list[1", u"nil"}, {u"data.list[]", u"nil"}, {u"data.list[0]z", u"nil"}, {u"data.name[0]", u"nil"},
        {u"data.list.name", u"nil"}, {u"code.x", u"nil"}, {u"dup", u"1"}, {u"a.b", u"nil"}, {u"missing", u"nil"},
        {u"", u"nil"}, {u"./\\", u"nil"}, {u"data.list[99999999999999999999]", u"nil"}};
    for (const auto& c : cases)
        EXPECT_EQ(At(c.FPath), Q(c.FText)) << Q(c.FPath).toStdString();
}

TEST_F(QJsonPath, TreeShape)
{
    EXPECT_EQ(FJson.Count(), 5);
    TQJson* data = FJson.ItemByPath(u"data");
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data->Parent(), &FJson);
    EXPECT_EQ(data->Name(), QStringLiteral("data"));
    EXPECT_EQ(FJson.Items(1), data);
    EXPECT_EQ(FJson.Items(3)->AsInteger(), 2);
    EXPECT_EQ(FJson.IndexOf(u"dup"), 2);
    EXPECT_EQ(FJson.IndexOf(u"none"), -1);
    TQJson* list = data->ItemByPath(u"list");
    EXPECT_EQ(list->Count(), 3);
    EXPECT_EQ(list->Items(0)->Name(), QString());
    EXPECT_EQ(list->ItemByPath(u"[2][0]")->AsInteger(), 30);
    EXPECT_EQ(FJson.Items(0)->Count(), 0);
    for (int bad : {-1, 5})
        EXPECT_EQ(ErrorOf([&] { FJson.Items(bad); }), QStringLiteral("Argument out of range"));
}

// ---- getters --------------------------------------------------------------------------------------------------

// Each getter's answer: a value, or nothing when it raises the conversion error.
struct TGetterCase {
    const char16_t* FText; // parsed as the value of member "v"; nullptr for a node never given a value
    std::optional<qint64> FInt64;
    std::optional<double> FFloat;
    std::optional<bool> FBoolean;
    const char16_t* FTypeName;
};

class QJsonGetters : public ::testing::TestWithParam<TGetterCase> { };

TEST_P(QJsonGetters, ConvertOrRaise)
{
    const TGetterCase& c = GetParam();
    TQJson json;
    TQJson* node = nullptr;
    if (c.FText == nullptr) {
        node = json.Add(QStringLiteral("v"));
    } else {
        ASSERT_TRUE(json.TryParse(Q(u"{\"v\":") + Q(c.FText) + u'}'));
        node = json.ItemByPath(u"v");
    }
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(TQJson::TypeName(node->DataType()), Q(c.FTypeName));
    if (c.FInt64) {
        EXPECT_EQ(node->AsInt64(), *c.FInt64);
        EXPECT_EQ(node->AsInteger(), int(qint32(quint32(quint64(*c.FInt64)))));
    } else {
        EXPECT_EQ(ErrorOf([&] { node->AsInt64(); }), ConvertError(c.FTypeName, u"Numeric"));
        EXPECT_EQ(ErrorOf([&] { node->AsInteger(); }), ConvertError(c.FTypeName, u"Numeric"));
    }
    if (c.FFloat)
        EXPECT_DOUBLE_EQ(node->AsFloat(), *c.FFloat);
    else
        EXPECT_EQ(ErrorOf([&] { node->AsFloat(); }), ConvertError(c.FTypeName, u"Numeric"));
    if (c.FBoolean)
        EXPECT_EQ(node->AsBoolean(), *c.FBoolean);
    else
        EXPECT_EQ(ErrorOf([&] { node->AsBoolean(); }), ConvertError(c.FTypeName, u"Boolean"));
}

constexpr std::nullopt_t kRaises = std::nullopt;

INSTANTIATE_TEST_SUITE_P(NodeTypes, QJsonGetters,
    ::testing::Values(TGetterCase {nullptr, kRaises, kRaises, kRaises, u"Unknown"},
        TGetterCase {u"null", 0, 0.0, kRaises, u"Null"}, TGetterCase {u"12", 12, 12.0, true, u"Integer"},
        TGetterCase {u"0", 0, 0.0, false, u"Integer"},
        TGetterCase {u"4294967301", 4294967301, 4294967301.0, true, u"Integer"},
        TGetterCase {u"-1.5e0", -1, -1.5, true, u"Float"}, TGetterCase {u"0e0", 0, 0.0, false, u"Float"},
        TGetterCase {u"1e19", kRaises, 1e19, true, u"Float"}, TGetterCase {u"12.50", 12, 12.5, true, u"Bcd"},
        TGetterCase {u"-0.29", 0, -0.29, true, u"Bcd"},
        TGetterCase {u"-9223372036854775808", std::numeric_limits<qint64>::min(), -9223372036854775808.0, true, u"Bcd"},
        TGetterCase {u"12345678901234567890.5", kRaises, 12345678901234567890.5, true, u"Bcd"},
        TGetterCase {u"true", 1, 1.0, true, u"Boolean"}, TGetterCase {u"false", 0, 0.0, false, u"Boolean"},
        TGetterCase {u"[1]", kRaises, kRaises, kRaises, u"Array"},
        TGetterCase {u"{}", kRaises, kRaises, kRaises, u"Object"}));

INSTANTIATE_TEST_SUITE_P(StringsReadAsNumbers, QJsonGetters,
    ::testing::Values(TGetterCase {u"\"12\"", 12, 12.0, true, u"String"},
        TGetterCase {u"\"\"", kRaises, kRaises, kRaises, u"String"},
        TGetterCase {u"\"1234567890123456789\"", 1234567890123456789, 1234567890123456789.0, true, u"String"},
        TGetterCase {u"\"12.50\"", 12, 12.5, true, u"String"}, TGetterCase {u"\"-12.7\"", -12, -12.7, true, u"String"},
        TGetterCase {u"\"1.5e3\"", 1500, 1500.0, true, u"String"}, TGetterCase {u"\"0.0\"", 0, 0.0, false, u"String"},
        TGetterCase {u"\"$FF\"", 255, 255.0, true, u"String"}, TGetterCase {u"\"&10\"", 16, 16.0, true, u"String"},
        TGetterCase {u"\"0x1f\"", 31, 31.0, true, u"String"},
        TGetterCase {u"\"TRUE\"", kRaises, kRaises, true, u"String"},
        TGetterCase {u"\"False\"", kRaises, kRaises, false, u"String"},
        TGetterCase {u"\" 12\"", kRaises, kRaises, kRaises, u"String"},
        TGetterCase {u"\"+12\"", kRaises, kRaises, kRaises, u"String"},
        TGetterCase {u"\"12.\"", kRaises, kRaises, kRaises, u"String"},
        TGetterCase {u"\"12a\"", kRaises, kRaises, kRaises, u"String"},
        TGetterCase {u"\"0x\"", kRaises, kRaises, kRaises, u"String"},
        TGetterCase {u"\"99999999999999999999\"", kRaises, 99999999999999999999.0, true, u"String"},
        TGetterCase {u"\"yes\"", kRaises, kRaises, kRaises, u"String"}));

TEST(QJson, ContainerAsStringIsItsFormattedText)
{
    TQJson json;
    ASSERT_TRUE(json.TryParse(QStringLiteral("{\"a\":{\"b\":[1,2]}}")));
    EXPECT_EQ(json.ItemByPath(u"a")->AsString(), QStringLiteral("{\r\n  \"b\":[1,2]\r\n}"));
}

// ---- building and encoding ------------------------------------------------------------------------------------

TEST(QJson, BuildsTheRefundRecordOnOneLine)
{
    TQJson json;
    json.Add(QStringLiteral("tradeId"))->SetAsString(QStringLiteral("1234567890123456789"));
    json.Add(QStringLiteral("title"))->SetAsString(Q(u"中文\"标题\""));
    json.Add(QStringLiteral("payPrice"))->SetAsFloat(12.5);
    json.Add(QStringLiteral("fee"))->SetAsFloat(0.29);
    json.Add(QStringLiteral("status"))->SetAsInteger(3);
    json.Add(QStringLiteral("refundTime"))->SetAsInteger(1700000000);
    json.Add(QStringLiteral("ok"))->SetAsBoolean(true);
    json.Add(QStringLiteral("none"))->SetNull();
    json.Add(QStringLiteral("unset"));
    EXPECT_EQ(json.DataType(), jdtObject);
    EXPECT_EQ(json.Encode(false, false),
        Q(u"{\"tradeId\":\"1234567890123456789\",\"title\":\"中文\\\"标题\\\"\",\"payPrice\":12.5,"
          u"\"fee\":0.29,\"status\":3,\"refundTime\":1700000000,\"ok\":true,\"none\":null,\"unset\":null}"));
}

TEST(QJson, EscapingOfTexts)
{
    const struct {
        const char16_t* FText;
        bool FDoEscape;
        const char16_t* FEncoded;
    } cases[] = {
        {u"line\nfeed", false, u"\"line\\nfeed\""},
        {u"\a\b\t\n\v\f\r", false, u"\"\\u0007\\b\\t\\n\\u000b\\f\\r\""},
        {u"\x01\x1f", false, u"\"\\u0001\\u001f\""},
        {u"q\"b\\s/", false, u"\"q\\\"b\\\\s/\""},
        {u"\x7f", false, u"\"\x7f\""},
        {u"\x7f", true, u"\"\\u007f\""},
        {u"中", false, u"\"中\""},
        {u"中", true, u"\"\\u4e2d\""},
        {u"\U0001F600", true, u"\"\\ud83d\\ude00\""},
        {u"é~", true, u"\"\\u00e9~\""},
    };
    TQJson json;
    for (const auto& c : cases) {
        json.SetAsString(Q(c.FText));
        EXPECT_EQ(json.Encode(false, c.FDoEscape), Q(c.FEncoded)) << Q(c.FEncoded).toStdString();
    }
    // Names go through the same escaping.
    TQJson record;
    record.Add(Q(u"名\n"))->SetAsInteger(1);
    EXPECT_EQ(record.Encode(false, true), QStringLiteral("{\"\\u540d\\n\":1}"));
}

TEST(QJson, FormattedEncoding)
{
    const struct {
        const char16_t* FText;
        const char16_t* FIndent;
        const char16_t* FFormatted;
        const char16_t* FPlain;
    } cases[] = {
        {u"{}", u"  ", u"{}", u"{}"},
        {u"[]", u"  ", u"[]", u"[]"},
        {u"{\"a\":{}}", u"  ", u"{\r\n  \"a\":{}\r\n}", u"{\"a\":{}}"},
        {u"{ \"a\" : 1 , \"b\" : [ 1 , 'x' , null ] }", u"  ", u"{\r\n  \"a\":1,\r\n  \"b\":[1,\"x\",null]\r\n}",
            u"{\"a\":1,\"b\":[1,\"x\",null]}"},
        {u"{\"a\":[1,{\"b\":2}]}", u"  ", u"{\r\n  \"a\":[1,\r\n    {\r\n      \"b\":2\r\n    }\r\n  ]\r\n}",
            u"{\"a\":[1,{\"b\":2}]}"},
        {u"[[1],[2,[]]]", u"\t", u"[\r\n\t[1],\r\n\t[2,\r\n\t\t[]\r\n\t]\r\n]", u"[[1],[2,[]]]"},
        {u"{\"o\":{\"p\":{\"q\":true}}}", u"  ",
            u"{\r\n  \"o\":{\r\n    \"p\":{\r\n      \"q\":true\r\n    }\r\n  }\r\n}", u"{\"o\":{\"p\":{\"q\":true}}}"},
        {u"[12.50, 1.5e2, -0]", u"  ", u"[12.5,150,0]", u"[12.5,150,0]"},
    };
    for (const auto& c : cases) {
        TQJson json;
        ASSERT_TRUE(json.TryParse(QStringView(c.FText)));
        EXPECT_EQ(json.Encode(true, false, Q(c.FIndent)), Q(c.FFormatted)) << Q(c.FText).toStdString();
        EXPECT_EQ(json.Encode(false, false, Q(c.FIndent)), Q(c.FPlain)) << Q(c.FText).toStdString();
    }
}

TEST(QJson, EncodingAMemberLeavesOutItsOwnName)
{
    TQJson json;
    ASSERT_TRUE(json.TryParse(QStringLiteral("{\"a\":{\"b\":\"c\"},\"s\":\"t\"}")));
    EXPECT_EQ(json.ItemByPath(u"a")->Encode(false, false), QStringLiteral("{\"b\":\"c\"}"));
    EXPECT_EQ(json.ItemByPath(u"s")->Encode(false, false), QStringLiteral("\"t\""));
}

TEST(QJson, ParsedTextRoundTrips)
{
    const QString text = Q(u"{\"id\":\"1234567890123456789\",\"title\":\"中文 \\\"q\\\"\",\"n\":-5,\"f\":0.25,"
                           u"\"list\":[true,false,null,{\"x\":[]}],\"e\":\"a\\\\b\\n\"}");
    TQJson json;
    ASSERT_TRUE(json.TryParse(text));
    EXPECT_EQ(json.Encode(false, false), text);
    TQJson again;
    ASSERT_TRUE(again.TryParse(json.Encode(true, true, QStringLiteral("    "))));
    EXPECT_EQ(again.Encode(false, false), text);
}

TEST(QJson, SettersChangeTheType)
{
    TQJson json;
    EXPECT_EQ(json.DataType(), jdtUnknown);
    EXPECT_TRUE(json.IsNull());
    json.SetAsInteger(5);
    TQJson* child = json.Add(QStringLiteral("a")); // a scalar becomes an object
    EXPECT_EQ(json.DataType(), jdtObject);
    EXPECT_EQ(child->Parent(), &json);
    json.Add(QStringLiteral("a")); // names are not checked
    EXPECT_EQ(json.Count(), 2);
    json.SetAsString(QStringLiteral("s")); // drops the children
    EXPECT_EQ(json.Count(), 0);
    EXPECT_EQ(json.AsString(), QStringLiteral("s"));

    json.SetAsFloat(1.5);
    for (double bad : {std::nan(""), std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()})
        EXPECT_EQ(ErrorOf([&] { json.SetAsFloat(bad); }), Q(u"NaN/+∞/-∞不受JSON规范支持。"));
    EXPECT_EQ(json.DataType(), jdtFloat);
    EXPECT_EQ(json.AsFloat(), 1.5);

    json.SetDataType(jdtArray);
    json.Add(QStringLiteral("ignored"))->SetAsInteger(1);
    json.Add(QString())->SetAsInteger(2);
    json.Add(QString())->SetAsInteger(3);
    EXPECT_EQ(json.Encode(false, false), QStringLiteral("[1,2,3]"));
    json.Delete(1);
    EXPECT_EQ(json.Encode(false, false), QStringLiteral("[1,3]"));
    EXPECT_EQ(ErrorOf([&] { json.Delete(2); }), QStringLiteral("Argument out of range"));
    json.Clear();
    EXPECT_EQ(json.Encode(false, false), QStringLiteral("[]"));
}

// ---- parse life cycle -----------------------------------------------------------------------------------------

TEST(QJson, ValuesOutliveTheParsedText)
{
    TQJson json;
    {
        QString text = Q(u"{\"name\":\"张三\",'k':'v'}");
        ASSERT_TRUE(json.TryParse(text));
        text.fill(u'x'); // the document keeps its own copy of what it points into
    }
    EXPECT_EQ(json.ItemByPath(u"name")->AsString(), Q(u"张三"));
    EXPECT_EQ(json.ItemByPath(u"k")->Name(), QStringLiteral("k"));
    ASSERT_TRUE(json.TryParse(QStringView(u"{\"x\":1}")));
    EXPECT_EQ(json.Encode(false, false), QStringLiteral("{\"x\":1}"));
}

TEST(QJson, ParsesUtf8Bytes)
{
    TQJson json;
    ASSERT_TRUE(json.TryParse(QByteArray("{\"t\":\"\xe4\xb8\xad\xe6\x96\x87\"}")));
    EXPECT_EQ(json.ItemByPath(u"t")->AsString(), Q(u"中文"));
}

TEST(QJson, ReparsingReplacesTheTree)
{
    TQJson json;
    ASSERT_TRUE(json.TryParse(QStringLiteral("{\"a\":1,\"b\":2}")));
    ASSERT_TRUE(json.TryParse(QStringLiteral("[3]")));
    EXPECT_EQ(json.Encode(false, false), QStringLiteral("[3]"));

    // A member can be parsed on its own; its name stays.
    ASSERT_TRUE(json.TryParse(QStringLiteral("{\"a\":1,\"b\":2}")));
    TQJson* a = json.ItemByPath(u"a");
    ASSERT_TRUE(a->TryParse(QStringLiteral("{'x':[1]}")));
    EXPECT_EQ(json.Encode(false, false), QStringLiteral("{\"a\":{\"x\":[1]},\"b\":2}"));
    ASSERT_TRUE(json.TryParse(QStringLiteral("'text'")));
    ASSERT_FALSE(json.TryParse(QStringLiteral("{\"a\":")));
    EXPECT_EQ(json.DataType(), jdtObject);
}

TEST(QJson, ParsingAMemberKeepsNoTextInTheRoot)
{
    TQJson json;
    ASSERT_TRUE(json.TryParse(QStringLiteral("{\"a\":1}")));
    TQJson* a = json.ItemByPath(u"a");
    for (int round = 0; round < 3; ++round) {
        const QString text = QStringLiteral("{\"name%1\":\"value\",'n':1.5e1}").arg(round);
        ASSERT_TRUE(a->TryParse(text));
        // The document holds no share of the text: the member's nodes own copies.
        EXPECT_TRUE(text.isDetached()) << round;
        const QString broken = QString::fromUtf8("{\"kept\":\"x\","); // not static data, so sharing shows
        EXPECT_FALSE(a->TryParse(broken));
        EXPECT_TRUE(broken.isDetached()) << round;
    }
    ASSERT_TRUE(a->TryParse(QStringLiteral("{\"name\":\"value\",'n':1.5e1}")));
    EXPECT_EQ(json.Encode(false, false), QStringLiteral("{\"a\":{\"name\":\"value\",\"n\":15}}"));
    EXPECT_EQ(a->ItemByPath(u"n")->NumberText(), QStringLiteral("1.5e1"));

    // The root itself keeps sharing the text it parsed, until it is parsed again.
    const QString rootText = QString::fromUtf8("{\"r\":\"v\"}");
    ASSERT_TRUE(json.TryParse(rootText));
    EXPECT_FALSE(rootText.isDetached());
    ASSERT_TRUE(json.TryParse(QStringLiteral("[]")));
    EXPECT_TRUE(rootText.isDetached());
}

TEST(QJson, DocumentsOnEndingThreads)
{
    // Node memory is kept per thread for the next document; documents that outlive their thread, or that end
    // with it, give it back safely.
    const QString page
        = QStringLiteral("[") + QStringLiteral("{\"a\":\"b\",\"c\":[1,2,3]},").repeated(2000) + QStringLiteral("{}]");
    auto kept = std::make_unique<TQJson>();
    std::thread([&] {
        thread_local TQJson endsWithTheThread;
        ASSERT_TRUE(endsWithTheThread.TryParse(page));
        ASSERT_TRUE(kept->TryParse(page));
        for (int i = 0; i < 3; ++i) {
            TQJson json;
            ASSERT_TRUE(json.TryParse(page));
        }
    }).join();
    EXPECT_EQ(kept->Count(), 2001);
    EXPECT_EQ(kept->Items(1999)->ItemByPath(u"c[2]")->AsInteger(), 3);
    kept.reset();
    TQJson here;
    ASSERT_TRUE(here.TryParse(page));
    EXPECT_EQ(here.Count(), 2001);
}

TEST(QJson, NodesBeforeAnErrorStay)
{
    TQJson json;
    EXPECT_FALSE(json.TryParse(QStringLiteral("{\"a\":1,\"b\":[2,3,x]}")));
    EXPECT_EQ(json.ItemByPath(u"a")->AsInteger(), 1);
    EXPECT_EQ(json.ItemByPath(u"b[1]")->AsInteger(), 3);
}

TEST(QJson, CommentsAreKeptWithTheirNodes)
{
    TQJson json;
    ASSERT_TRUE(json.TryParse(QStringLiteral("{ /* first */ \"a\":1, // after b\n \"b\":2 }")));
    EXPECT_EQ(json.ItemByPath(u"a")->Comment(), QStringLiteral(" first "));
    EXPECT_EQ(json.ItemByPath(u"a")->CommentStyle(), jcsBeforeName);
    EXPECT_EQ(json.Encode(false, false), QStringLiteral("{\"a\":1,\"b\":2}"));
}

// ---- hostile input: no crash, no stack overflow, no exception -------------------------------------------------

TEST(QJsonHostile, DeepNestingIsRefused)
{
    TQJson json;
    for (const QString& open : {QStringLiteral("["), QStringLiteral("{\"a\":"), QStringLiteral("[{'a':")}) {
        const QString deep = open.repeated(100000);
        EXPECT_FALSE(json.TryParse(deep));
        EXPECT_FALSE(json.TryParse(deep + QString(100000, u']')));
    }
    const int depth = TQJson::MaxDepth;
    ASSERT_TRUE(json.TryParse(QString(depth, u'[') + QString(depth, u']')));
    EXPECT_EQ(json.Encode(false, false).size(), 2 * depth);
    EXPECT_FALSE(json.TryParse(QString(depth + 1, u'[') + QString(depth + 1, u']')));
}

TEST(QJsonHostile, EveryTruncationOfADocument)
{
    const QString text = Q(u"\uFEFF{ /*c*/ \"a\": [1, -2.5e3, 12.50, 'x''y', \"\\u4e2d\\n\", true, null, {b: {}}],"
                           u" // line\n \"c\" : \"中文\", }");
    TQJson complete;
    ASSERT_TRUE(complete.TryParse(text));
    for (qsizetype length = 0; length < text.size(); ++length) {
        TQJson json;
        EXPECT_FALSE(json.TryParse(QStringView(text).left(length))) << length;
        // What was read before the end stays, and encodes to a text that reads back as the same tree.
        const QString encoded = json.Encode(true, true);
        TQJson back;
        EXPECT_TRUE(back.TryParse(encoded)) << length;
        EXPECT_EQ(back.Encode(true, true), encoded) << length;
    }
}

// Whatever a parse left in the tree encodes to a text that reads back as the same tree.
void ExpectEncodingReadsBack(const TQJson& AJson, int ARound)
{
    for (const bool escape : {false, true}) {
        const QString encoded = AJson.Encode(false, escape);
        TQJson back;
        ASSERT_TRUE(back.TryParse(encoded)) << ARound << ' ' << encoded.toStdString();
        EXPECT_EQ(back.Encode(false, escape), encoded) << ARound;
    }
}

TEST(QJsonHostile, RandomInput)
{
    std::mt19937 random(20240501);
    const char16_t alphabet[] = u"{}[]:,'\"\\/*-+.0123456789eEtrufalsn xu\n中\uFEFF";
    std::uniform_int_distribution<int> length(0, 200);
    std::uniform_int_distribution<int> pick(0, int(std::size(alphabet)) - 2);
    std::uniform_int_distribution<int> unit(0, 0xFFFF);
    TQJson reused;
    for (int round = 0; round < 20000; ++round) {
        QString text;
        const int size = length(random);
        for (int i = 0; i < size; ++i)
            text += QChar(round % 2 == 0 ? alphabet[pick(random)] : char16_t(unit(random)));
        TQJson json;
        const bool ok = json.TryParse(text);
        EXPECT_EQ(reused.TryParse(text), ok) << round;
        ExpectEncodingReadsBack(json, round);
    }
    for (int round = 0; round < 2000; ++round) {
        QByteArray bytes;
        const int size = length(random);
        for (int i = 0; i < size; ++i)
            bytes += char(unit(random) & 0xFF);
        TQJson json;
        (void)json.TryParse(bytes); // either answer: what it left must encode and read back
        ExpectEncodingReadsBack(json, round);
    }
}

} // namespace
