#include "foundation/qmsgpack.h"

#include <gtest/gtest.h>

TEST(QMsgPack, AddMakesARecordOfNamedValues)
{
    TQMsgPack record;
    EXPECT_EQ(record.DataType(), mptUnknown);
    EXPECT_EQ(record.ItemByPath(u"log"), nullptr);

    TQMsgPack* log = record.Add(QStringLiteral("log"), QStringLiteral("x"));
    EXPECT_EQ(record.DataType(), mptMap);
    EXPECT_EQ(log->Parent(), &record);
    EXPECT_EQ(record.ItemByPath(u"log"), log);
    EXPECT_EQ(record.ItemByPath(u"Log"), nullptr);
    EXPECT_EQ(record.ItemByPath(u""), nullptr);
    EXPECT_EQ(log->AsString(), QStringLiteral("x"));
}

TEST(QMsgPack, IntegerValues)
{
    TQMsgPack record;
    record.Add(QStringLiteral("status"), 3);
    record.Add(QStringLiteral("big"), qint64(0x100000005));
    record.Add(QStringLiteral("neg"), qint64(-42));
    EXPECT_EQ(record.ItemByPath(u"status")->AsString(), QStringLiteral("3"));
    EXPECT_EQ(record.ItemByPath(u"status")->AsInteger(), 3);
    EXPECT_EQ(record.ItemByPath(u"big")->AsInteger(), 5); // truncated to 32 bits
    EXPECT_EQ(record.ItemByPath(u"big")->AsString(), QStringLiteral("4294967301"));
    EXPECT_EQ(record.ItemByPath(u"neg")->AsString(), QStringLiteral("-42"));
}

TEST(QMsgPack, DuplicateNamesKeepBothFirstWins)
{
    TQMsgPack record;
    TQMsgPack* first = record.Add(QStringLiteral("a"), QStringLiteral("1"));
    record.Add(QStringLiteral("a"), QStringLiteral("2"));
    EXPECT_EQ(record.Count(), 2);
    EXPECT_EQ(record.ItemByPath(u"a"), first);
}

TEST(QMsgPack, EmptyTextAndPaths)
{
    TQMsgPack record;
    record.Add(QStringLiteral("userName"), QString());
    EXPECT_EQ(record.ItemByPath(u"userName")->AsString(), QString());
    EXPECT_EQ(record.ItemByPath(u"userName")->DataType(), mptString);
    EXPECT_EQ(record.ItemByPath(u"[0]"), record.Items(0));
    EXPECT_EQ(record.ItemByPath(u"[1]"), nullptr);
    EXPECT_EQ(record.ItemByPath(u"userName.x"), nullptr);
    EXPECT_EQ(record.Items(5), nullptr);
}
