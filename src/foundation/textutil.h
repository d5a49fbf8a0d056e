#pragma once

#include <QString>
#include <QStringView>

// Removes leading and trailing code units up to U+0020. Ids and cookies are compared after this trim;
// QString::trimmed() differs (it also strips U+00A0, U+3000 …), so it must not be used for them.
QString Trim(QStringView text);
