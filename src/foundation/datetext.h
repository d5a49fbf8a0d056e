#pragma once

#include <QDateTime>
#include <QString>
#include <QStringView>

// Date texts in a fixed format ("yyyy-MM-dd", "HH:mm:ss"), independent of the user's locale. The operator
// requests and the order downloads both write them.
QString DateTimeToText(const QDateTime& AValue); // the date alone at exactly midnight
QDateTime TextToDateTime(QStringView AText); // the current local date-time when the text does not parse
QString DateToText(const QDateTime& AValue);
