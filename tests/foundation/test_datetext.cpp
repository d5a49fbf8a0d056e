#include "foundation/datetext.h"

#include <QLocale>

#include <gtest/gtest.h>

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

} // namespace
