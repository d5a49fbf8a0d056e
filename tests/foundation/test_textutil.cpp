#include "foundation/textutil.h"

#include <gtest/gtest.h>

TEST(Trim, RemovesControlAndBlankCodeUnitsOnly)
{
    const struct {
        QString in;
        QString out;
    } cases[] = {
        {QString(), QString()},
        {QStringLiteral("  \t\r\n"), QString()},
        {QStringLiteral(" abc "), QStringLiteral("abc")},
        {QStringLiteral("\x01"
                        "a b\x1f"),
            QStringLiteral("a b")},
        // No-break space and the ideographic space are not trimmed.
        {QString(QChar(0x00A0)) + u'x' + QChar(0x3000), QString(QChar(0x00A0)) + u'x' + QChar(0x3000)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Trim(c.in), c.out) << c.in.toStdString();
}
