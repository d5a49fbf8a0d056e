#include "foundation/textutil.h"

#include <QCryptographicHash>

QStringView TrimView(QStringView text)
{
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && text[first].unicode() <= 0x20)
        ++first;
    while (last > first && text[last - 1].unicode() <= 0x20)
        --last;
    return text.sliced(first, last - first);
}

QString Trim(QStringView text)
{
    return TrimView(text).toString();
}

QString Md5HexUpper(const QString& text)
{
    return QString::fromLatin1(QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Md5).toHex().toUpper());
}
