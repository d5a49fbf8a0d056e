#pragma once

#include <QDate>
#include <QTime>
#include <QtGlobal>

#include <optional>
#include <string>

// Beijing time (UTC+8, no daylight saving): the zone in which TOP and Alimama read and write every date and time,
// whatever the zone of the machine the stand-in runs on.
inline constexpr qint64 kBeijingOffsetS = 8 * 3600;

// "yyyy-MM-dd HH:mm:ss" in Beijing time.
std::string BeijingText(qint64 AUnix);
// "yyyy-MM-dd", the Beijing day.
std::string BeijingDateText(qint64 AUnix);
// Unix seconds of a Beijing wall-clock time.
qint64 BeijingSecs(const QDate& ADate, const QTime& ATime = QTime(0, 0));
// A Beijing "yyyy-MM-dd HH:mm:ss", exactly; nothing for any other text.
std::optional<qint64> ParseBeijingTime(const std::string& AText);
// The Beijing midnight that starts "yyyy-MM-dd"; nothing for any other text.
std::optional<qint64> ParseBeijingDate(const std::string& AText);
