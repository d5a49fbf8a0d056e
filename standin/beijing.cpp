#include "standin/beijing.h"

#include <QDateTime>
#include <QString>

namespace {

// The Beijing wall clock as a UTC date-time, for formatting.
QDateTime BeijingWallClock(qint64 AUnix)
{
    return QDateTime::fromSecsSinceEpoch(AUnix + kBeijingOffsetS, Qt::UTC);
}

} // namespace

std::string BeijingText(qint64 AUnix)
{
    return BeijingWallClock(AUnix).toString(u"yyyy-MM-dd HH:mm:ss").toStdString();
}

std::string BeijingDateText(qint64 AUnix)
{
    return BeijingWallClock(AUnix).toString(u"yyyy-MM-dd").toStdString();
}

qint64 BeijingSecs(const QDate& ADate, const QTime& ATime)
{
    return QDateTime(ADate, ATime, Qt::UTC).toSecsSinceEpoch() - kBeijingOffsetS;
}

std::optional<qint64> ParseBeijingTime(const std::string& AText)
{
    const QString text = QString::fromStdString(AText);
    if (text.size() != 19)
        return std::nullopt;
    const QDate date = QDate::fromString(text.left(10), u"yyyy-MM-dd");
    const QTime time = QTime::fromString(text.mid(11), u"HH:mm:ss");
    if (!date.isValid() || !time.isValid() || text.at(10) != u' ')
        return std::nullopt;
    return BeijingSecs(date, time);
}

std::optional<qint64> ParseBeijingDate(const std::string& AText)
{
    const QDate date = QDate::fromString(QString::fromStdString(AText), u"yyyy-MM-dd");
    if (!date.isValid())
        return std::nullopt;
    return BeijingSecs(date);
}
