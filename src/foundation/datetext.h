#pragma once

#include <QDateTime>
#include <QString>
#include <QStringView>

#include <optional>
#include <utility>

// Date texts in a fixed format ("yyyy-MM-dd", "HH:mm:ss"), independent of the user's locale. The operator
// requests and the order downloads both write them.
QString DateTimeToText(const QDateTime& AValue); // the date alone at exactly midnight
QDateTime TextToDateTime(QStringView AText); // the current local date-time when the text does not parse
QString DateToText(const QDateTime& AValue);
// The date and time of a "yyyy-MM-dd[ HH:mm[:ss[.zzz]]]" text (short parts accepted), without a zone; none when
// it does not parse.
std::optional<std::pair<QDate, QTime>> ParseDateTimeText(QStringView AText);
