#include "foundation/beijingtime.h"
#include "foundation/datetext.h"

#include <QLocale>

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

struct DateTextCase {
    QDateTime value;
    const char16_t* dateTime;
    const char16_t* date;
};

class DateTexts : public ::testing::TestWithParam<DateTextCase> { };

TEST_P(DateTexts, WriteAndReadBack)
{
    // A locale with its own digits and separators must not change the texts.
    const QLocale saved;
    QLocale::setDefault(QLocale(QLocale::Arabic, QLocale::Egypt));
    const DateTextCase& c = GetParam();
    EXPECT_EQ(DateTimeToText(c.value), QString::fromUtf16(c.dateTime));
    EXPECT_EQ(DateToText(c.value), QString::fromUtf16(c.date));
    EXPECT_EQ(TextToDateTime(QString::fromUtf16(c.dateTime)), c.value);
    QLocale::setDefault(saved);
}

INSTANTIATE_TEST_SUITE_P(Foundation, DateTexts,
    ::testing::Values(DateTextCase {QDateTime(QDate(2024, 3, 5), QTime(0, 0)), u"2024-03-05", u"2024-03-05"},
        DateTextCase {QDateTime(QDate(2024, 3, 5), QTime(0, 0, 1)), u"2024-03-05 00:00:01", u"2024-03-05"},
        DateTextCase {QDateTime(QDate(1999, 12, 31), QTime(23, 59, 59)), u"1999-12-31 23:59:59", u"1999-12-31"},
        DateTextCase {QDateTime(QDate(2024, 1, 9), QTime(13, 4, 0)), u"2024-01-09 13:04:00", u"2024-01-09"}));

TEST(TextToDateTime, AcceptsShortPartsAndOptionalSeconds)
{
    EXPECT_EQ(TextToDateTime(u"2024-3-5 7:08"), QDateTime(QDate(2024, 3, 5), QTime(7, 8)));
    EXPECT_EQ(TextToDateTime(u" 2024-03-05 07:08:09 "), QDateTime(QDate(2024, 3, 5), QTime(7, 8, 9)));
    EXPECT_EQ(TextToDateTime(u"2024-03-05 07:08:09.5"), QDateTime(QDate(2024, 3, 5), QTime(7, 8, 9, 500)));
}

class UnparsableDate : public ::testing::TestWithParam<const char16_t*> { };

TEST_P(UnparsableDate, YieldsTheCurrentLocalTime)
{
    const QDateTime before = QDateTime::currentDateTime();
    const QDateTime value = TextToDateTime(QStringView(GetParam()));
    EXPECT_GE(value, before);
    EXPECT_LE(value, QDateTime::currentDateTime());
    EXPECT_EQ(value.timeSpec(), Qt::LocalTime);
}

INSTANTIATE_TEST_SUITE_P(Foundation, UnparsableDate,
    ::testing::Values(u"", u"   ", u"abc", u"2024-13-01", u"2024-02-30", u"2024/03/05", u"2024-03-05 24:00:00",
        u"2024-03-05T10:00:00"));

// The outside services' times are Beijing's whatever the machine's zone; the test runs far from UTC+8.
struct TBeijingCase {
    const char* name;
    qint64 unix;
    const char16_t* text;
    const char16_t* date;
};

class BeijingTexts : public ::testing::TestWithParam<TBeijingCase> { };

TEST_P(BeijingTexts, NameTheInstantInUtc8BothWays)
{
    const TBeijingCase& c = GetParam();
    const QDateTime local = QDateTime::fromSecsSinceEpoch(c.unix);
    EXPECT_EQ(Beijing::Text(local), QString::fromUtf16(c.text));
    EXPECT_EQ(Beijing::DateText(local), QString::fromUtf16(c.date));
    EXPECT_EQ(Beijing::FromUnix(c.unix).toString(u"yyyy-MM-dd HH:mm:ss"), QString::fromUtf16(c.text));
    EXPECT_EQ(Beijing::Parse(QString::fromUtf16(c.text)).toSecsSinceEpoch(), c.unix);
    EXPECT_EQ(DateTimeToText(Beijing::Of(local)).left(10), QString::fromUtf16(c.date));
}

INSTANTIATE_TEST_SUITE_P(Foundation, BeijingTexts,
    ::testing::Values(TBeijingCase {"Epoch", 0, u"1970-01-01 08:00:00", u"1970-01-01"},
        // 16:00 UTC is already the next day in Beijing.
        TBeijingCase {"NextDayFromFourPmUtc", 1796140800, u"2026-12-02 00:00:00", u"2026-12-02"},
        TBeijingCase {"LastSecondOfTheDay", 1796140799, u"2026-12-01 23:59:59", u"2026-12-01"},
        // No daylight saving: a US switch day changes nothing.
        TBeijingCase {"UsDaylightSavingDay", 1772956800, u"2026-03-08 16:00:00", u"2026-03-08"},
        TBeijingCase {"After2038", 2209132800, u"2040-01-03 00:00:00", u"2040-01-03"}),
    [](const auto& AInfo) { return std::string(AInfo.param.name); });

TEST(BeijingTime, NowIsUtcPlusEightAndDaysStartAtItsMidnight)
{
    const QDateTime now = BeijingNow();
    EXPECT_EQ(now.offsetFromUtc(), 8 * 3600);
    EXPECT_LE(std::llabs(now.toSecsSinceEpoch() - QDateTime::currentSecsSinceEpoch()), 1);
    const QDateTime start = Beijing::DayStart(QDateTime::fromSecsSinceEpoch(1796140799));
    EXPECT_EQ(start.toSecsSinceEpoch(), 1796140800 - 86400);
    EXPECT_EQ(Beijing::NextMidnightMs(qint64(1796140799) * 1000), qint64(1796140800) * 1000);
    EXPECT_EQ(Beijing::NextMidnightMs(qint64(1796140800) * 1000), qint64(1796140800 + 86400) * 1000);
    EXPECT_EQ(Beijing::DayOfMs(qint64(1796140800) * 1000), QDate(2026, 12, 2));
    EXPECT_EQ(Beijing::At(QDate(2026, 12, 2), QTime(0, 0)).toSecsSinceEpoch(), 1796140800);
    EXPECT_FALSE(Beijing::Parse(u"2026-13-01 00:00:00").isValid());
    EXPECT_EQ(Beijing::Parse(u"2026-12-02").toSecsSinceEpoch(), 1796140800);
}

} // namespace
