#include "foundation/datetext.h"

#include "foundation/textutil.h"

#include <QRegularExpression>

QString DateTimeToText(const QDateTime& AValue)
{
    const QString date = DateToText(AValue);
    const QTime time = AValue.time();
    if (time == QTime(0, 0))
        return date;
    return date + u' ' + time.toString(u"HH:mm:ss");
}

std::optional<std::pair<QDate, QTime>> ParseDateTimeText(QStringView AText)
{
    static const QRegularExpression pattern(
        QStringLiteral(R"(^(\d{1,4})-(\d{1,2})-(\d{1,2})(?:\s+(\d{1,2}):(\d{1,2})(?::(\d{1,2})(?:\.(\d{1,3}))?)?)?$)"));
    const QString text = Trim(AText);
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    const auto number = [&](int group) { return match.capturedView(group).toInt(); };
    const QDate date(number(1), number(2), number(3));
    const QString msText = match.captured(7).leftJustified(3, u'0');
    const QTime time(number(4), number(5), number(6), match.hasCaptured(7) ? msText.toInt() : 0);
    if (!date.isValid() || !time.isValid())
        return std::nullopt;
    return std::make_pair(date, time);
}

QDateTime TextToDateTime(QStringView AText)
{
    if (const std::optional<std::pair<QDate, QTime>> parts = ParseDateTimeText(AText))
        return QDateTime(parts->first, parts->second, Qt::LocalTime);
    return QDateTime::currentDateTime();
}

QString DateToText(const QDateTime& AValue)
{
    return AValue.date().toString(u"yyyy-MM-dd");
}
