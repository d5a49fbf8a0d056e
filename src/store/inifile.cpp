#include "store/inifile.h"

#include "foundation/qerror.h"
#include "foundation/textutil.h"

#include <QFile>
#include <QSaveFile>

namespace {

// "[name]" with blanks allowed around; returns the name or an empty view.
QStringView SectionName(QStringView line)
{
    const QString trimmed = Trim(line);
    if (trimmed.size() < 2 || !trimmed.startsWith(u'[') || !trimmed.endsWith(u']'))
        return {};
    const qsizetype open = line.indexOf(u'[');
    const qsizetype close = line.lastIndexOf(u']');
    return line.mid(open + 1, close - open - 1).trimmed();
}

bool IsSection(QStringView line)
{
    const QString trimmed = Trim(line);
    return trimmed.startsWith(u'[') && trimmed.endsWith(u']');
}

bool IsComment(QStringView line)
{
    const QString trimmed = Trim(line);
    return trimmed.startsWith(u';') || trimmed.startsWith(u'#');
}

QStringView KeyOf(QStringView line)
{
    const qsizetype eq = line.indexOf(u'=');
    if (eq < 0 || IsComment(line))
        return {};
    return line.left(eq).trimmed();
}

// Profile readers drop one pair of matching quotes around a value.
QString Unquote(const QString& value)
{
    if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') && value.back() == value.front())
        return value.mid(1, value.size() - 2);
    return value;
}

} // namespace

TIniFile::TIniFile(QString path)
    : FPath(std::move(path))
{
}

void TIniFile::Load()
{
    FLines.clear();
    FLineBreak = QStringLiteral("\r\n");
    QFile file(FPath);
    if (!file.open(QIODevice::ReadOnly))
        return;
    QString text = QString::fromUtf8(file.readAll());
    if (text.startsWith(QChar(0xFEFF)))
        text.remove(0, 1);
    if (!text.contains(u"\r\n") && text.contains(u'\n'))
        FLineBreak = QStringLiteral("\n");
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    FLines = text.split(u'\n');
    if (!FLines.isEmpty() && FLines.back().isEmpty())
        FLines.removeLast(); // the final line break
}

qsizetype TIniFile::FindSection(QStringView section) const
{
    for (qsizetype i = 0; i < FLines.size(); ++i) {
        if (IsSection(FLines[i]) && SectionName(FLines[i]).compare(section, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

qsizetype TIniFile::SectionEnd(qsizetype sectionLine) const
{
    qsizetype end = sectionLine + 1;
    while (end < FLines.size() && !IsSection(FLines[end]))
        ++end;
    return end;
}

qsizetype TIniFile::FindKey(qsizetype sectionLine, QStringView key) const
{
    const qsizetype end = SectionEnd(sectionLine);
    for (qsizetype i = sectionLine + 1; i < end; ++i) {
        const QStringView name = KeyOf(FLines[i]);
        if (!name.isEmpty() && name.compare(key, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

std::optional<QString> TIniFile::ReadString(QStringView section, QStringView key) const
{
    const qsizetype sectionLine = FindSection(section);
    if (sectionLine < 0)
        return std::nullopt;
    const qsizetype keyLine = FindKey(sectionLine, key);
    if (keyLine < 0)
        return std::nullopt;
    const QString& line = FLines[keyLine];
    return Unquote(Trim(QStringView(line).mid(line.indexOf(u'=') + 1)));
}

void TIniFile::WriteString(QStringView section, QStringView key, const QString& value)
{
    const QString entry = key.toString() + u'=' + value;
    const qsizetype sectionLine = FindSection(section);
    if (sectionLine < 0) {
        if (!FLines.isEmpty() && !Trim(FLines.back()).isEmpty())
            FLines.append(QString());
        FLines.append(u'[' + section.toString() + u']');
        FLines.append(entry);
    } else if (const qsizetype keyLine = FindKey(sectionLine, key); keyLine >= 0) {
        FLines[keyLine] = entry;
    } else {
        // After the section's last non-blank line, so a blank separator before the next section stays.
        qsizetype at = SectionEnd(sectionLine);
        while (at > sectionLine + 1 && Trim(FLines[at - 1]).isEmpty())
            --at;
        FLines.insert(at, entry);
    }
    Save();
}

void TIniFile::Save() const
{
    QSaveFile file(FPath);
    QByteArray bytes;
    for (const QString& line : FLines)
        bytes += (line + FLineBreak).toUtf8();
    const bool ok = file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit();
    if (!ok)
        throw EQuenlarError(QStringLiteral("Unable to write to %1").arg(FPath));
}

std::optional<qint64> ParseIniInteger(QStringView text)
{
    const QString trimmed = Trim(text);
    QStringView digits = trimmed;
    bool negative = false;
    if (digits.startsWith(u'-') || digits.startsWith(u'+')) {
        negative = digits.front() == u'-';
        digits = digits.mid(1);
    }
    int base = 10;
    if (digits.startsWith(u"0x", Qt::CaseInsensitive)) {
        base = 16;
        digits = digits.mid(2);
    }
    if (digits.isEmpty())
        return std::nullopt;
    for (const QChar c : digits) {
        const bool valid = base == 16 ? isxdigit(c.unicode()) && c.unicode() < 0x80 : c.isDigit() && c.unicode() < 0x80;
        if (!valid)
            return std::nullopt;
    }
    bool ok = false;
    const qint64 value = digits.toLongLong(&ok, base);
    if (!ok)
        return std::nullopt;
    return negative ? -value : value;
}
