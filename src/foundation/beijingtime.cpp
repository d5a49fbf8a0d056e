#include "foundation/beijingtime.h"

#include "foundation/datetext.h"

namespace {

constexpr qint64 kDayMs = 86'400'000;
constexpr qint64 kOffsetMs = qint64(Beijing::kOffsetS) * 1000;

} // namespace

namespace Beijing {

QDateTime FromUnix(qint64 ASecs)
{
    return QDateTime::fromSecsSinceEpoch(ASecs, Qt::UTC).toOffsetFromUtc(kOffsetS);
}

QDateTime FromUnixMs(qint64 AMs)
{
    return QDateTime::fromMSecsSinceEpoch(AMs, Qt::UTC).toOffsetFromUtc(kOffsetS);
}

QDateTime Of(const QDateTime& AValue)
{
    return AValue.toOffsetFromUtc(kOffsetS);
}

QDateTime At(const QDate& ADate, const QTime& ATime)
{
    // Built in UTC and moved back by the offset: no zone database, no daylight saving.
    return QDateTime(ADate, ATime, Qt::UTC).addSecs(-kOffsetS).toOffsetFromUtc(kOffsetS);
}

QDateTime DayStart(const QDateTime& AValue)
{
    return At(Of(AValue).date(), QTime(0, 0));
}

QDate DayOfMs(qint64 AMs)
{
    return FromUnixMs(AMs).date();
}

qint64 NextMidnightMs(qint64 AMs)
{
    const qint64 local = AMs + kOffsetMs;
    const qint64 day = local >= 0 ? local / kDayMs : (local - kDayMs + 1) / kDayMs;
    return (day + 1) * kDayMs - kOffsetMs;
}

QString Text(const QDateTime& AValue)
{
    return Of(AValue).toString(u"yyyy-MM-dd HH:mm:ss");
}

QString DateText(const QDateTime& AValue)
{
    return Of(AValue).date().toString(u"yyyy-MM-dd");
}

QDateTime Parse(QStringView AText)
{
    const std::optional<std::pair<QDate, QTime>> parts = ParseDateTimeText(AText);
    return parts ? At(parts->first, parts->second) : QDateTime();
}

} // namespace Beijing

QDateTime BeijingNow()
{
    return QDateTime::currentDateTimeUtc().toOffsetFromUtc(Beijing::kOffsetS);
}
