#pragma once

#include <QDate>
#include <QDateTime>
#include <QString>
#include <QStringView>
#include <QtGlobal>

// TOP and Alimama read and write times as Beijing time (UTC+8, no daylight saving), whatever the machine's zone.
// Every time exchanged with them goes through here; what a person reads stays in the machine's local time.
namespace Beijing {

inline constexpr int kOffsetS = 8 * 3600;

// The instant ASecs/AMs as a date-time at UTC+8, so its date(), time() and texts are Beijing's.
QDateTime FromUnix(qint64 ASecs);
QDateTime FromUnixMs(qint64 AMs);
// The same instant at UTC+8.
QDateTime Of(const QDateTime& AValue);
// The wall-clock date and time ADate ATime in Beijing.
QDateTime At(const QDate& ADate, const QTime& ATime);
// 00:00 in Beijing of the Beijing day that holds AValue.
QDateTime DayStart(const QDateTime& AValue);
// The Beijing day of a Unix time in milliseconds.
QDate DayOfMs(qint64 AMs);
// The next 00:00 in Beijing after AMs, in Unix milliseconds.
qint64 NextMidnightMs(qint64 AMs);

// "yyyy-MM-dd HH:mm:ss" and "yyyy-MM-dd" of the instant in Beijing.
QString Text(const QDateTime& AValue);
QString DateText(const QDateTime& AValue);
// A "yyyy-MM-dd[ HH:mm[:ss[.zzz]]]" text read as Beijing time; invalid when it does not parse.
QDateTime Parse(QStringView AText);

} // namespace Beijing

// The current time as a date-time at UTC+8.
QDateTime BeijingNow();
