#pragma once

#include <QString>
#include <QStringView>

// Removes leading and trailing code units up to U+0020. Ids and cookies are compared after this trim;
// QString::trimmed() differs (it also strips U+00A0, U+3000 …), so it must not be used for them.
QString Trim(QStringView text);
QStringView TrimView(QStringView text); // the same, without a copy

// MD5 of the text's UTF-8 bytes as 32 upper-case hex digits; both request signatures are built on it.
QString Md5HexUpper(const QString& text);
