#include "store/inifile.h"

#include "foundation/decimaltext.h"
#include "foundation/qerror.h"
#include "foundation/textutil.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>
#include <limits>

namespace {

const QByteArray kBom("\xEF\xBB\xBF");

// "[name]" with blanks allowed around; returns the name or an empty view.
QStringView SectionName(QStringView line)
{
    const QStringView trimmed = TrimView(line);
    if (trimmed.size() < 2 || !trimmed.startsWith(u'[') || !trimmed.endsWith(u']'))
        return {};
    return TrimView(trimmed.sliced(1, trimmed.size() - 2));
}

bool IsSection(QStringView line)
{
    const QStringView trimmed = TrimView(line);
    return trimmed.startsWith(u'[') && trimmed.endsWith(u']');
}

bool IsComment(QStringView line)
{
    const QStringView trimmed = TrimView(line);
    return trimmed.startsWith(u';') || trimmed.startsWith(u'#');
}

QStringView KeyOf(QStringView line)
{
    const qsizetype eq = line.indexOf(u'=');
    if (eq < 0 || IsComment(line))
        return {};
    return TrimView(line.first(eq));
}

// Profile readers drop one pair of matching quotes around a value.
QString Unquote(QStringView value)
{
    if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') && value.back() == value.front())
        value = value.sliced(1, value.size() - 2);
    return value.toString();
}

} // namespace

TIniFile::TIniFile(QString path)
    : FPath(std::move(path))
{
}

void TIniFile::Load()
{
    FLines.clear();
    FLineBreak = QByteArrayLiteral("\r\n");
    FHasBom = false;
    FProblem.clear();
    const QFileInfo info(FPath);
    if (info.isDir()) {
        FProblem = QStringLiteral("是一个文件夹,不是配置文件");
        return;
    }
    QFile file(FPath);
    if (!file.open(QIODevice::ReadOnly)) {
        FProblem = info.exists() ? QStringLiteral("无法读取:") + file.errorString() : QStringLiteral("不存在");
        return;
    }
    const QByteArray bytes = file.readAll();
    if (bytes.contains('\0'))
        FProblem = QStringLiteral("不是文本,不是配置文件");
    QByteArrayView rest(bytes);
    while (rest.startsWith(kBom)) {
        rest = rest.sliced(kBom.size());
        FHasBom = true;
    }
    if (!rest.contains("\r\n") && rest.contains('\n'))
        FLineBreak = QByteArrayLiteral("\n");
    while (!rest.isEmpty()) {
        qsizetype end = 0;
        while (end < rest.size() && rest[end] != '\n' && rest[end] != '\r')
            ++end;
        qsizetype breakSize = 0;
        if (end < rest.size())
            breakSize = rest[end] == '\r' && end + 1 < rest.size() && rest[end + 1] == '\n' ? 2 : 1;
        const QByteArray line = rest.first(end).toByteArray();
        FLines.append({line, rest.sliced(end, breakSize).toByteArray(), QString::fromUtf8(line)});
        rest = rest.sliced(end + breakSize);
    }
    if (FProblem.isEmpty()) {
        const auto odd = std::find_if(FLines.cbegin(), FLines.cend(), [](const TLine& ALine) {
            const QStringView text = TrimView(ALine.FText);
            return !text.isEmpty() && !text.startsWith(u';') && !text.startsWith(u'#') && !text.startsWith(u'[')
                && !text.contains(u'=');
        });
        if (odd != FLines.cend())
            FProblem = QStringLiteral("第 %1 行不是设置:").arg(odd - FLines.cbegin() + 1) + odd->FText.left(40);
    }
}

void TIniFile::SetLine(qsizetype index, const QString& text)
{
    FLines[index] = {text.toUtf8(), FLineBreak, text};
}

void TIniFile::InsertLine(qsizetype index, const QString& text)
{
    if (index > 0 && FLines[index - 1].FEnd.isEmpty())
        FLines[index - 1].FEnd = FLineBreak;
    QByteArray end = FLineBreak;
    // An empty line's LF right after a lone CR would join it into one CR LF break, and the line would be gone.
    if (text.isEmpty() && index > 0 && FLines[index - 1].FEnd == "\r" && end.startsWith('\n'))
        end = QByteArrayLiteral("\r");
    FLines.insert(index, {text.toUtf8(), end, text});
}

qsizetype TIniFile::FindSection(QStringView section) const
{
    for (qsizetype i = 0; i < FLines.size(); ++i) {
        if (IsSection(FLines[i].FText) && SectionName(FLines[i].FText).compare(section, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

qsizetype TIniFile::SectionEnd(qsizetype sectionLine) const
{
    qsizetype end = sectionLine + 1;
    while (end < FLines.size() && !IsSection(FLines[end].FText))
        ++end;
    return end;
}

qsizetype TIniFile::FindKey(qsizetype sectionLine, QStringView key) const
{
    const qsizetype end = SectionEnd(sectionLine);
    for (qsizetype i = sectionLine + 1; i < end; ++i) {
        const QStringView name = KeyOf(FLines[i].FText);
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
    const QStringView line = FLines[keyLine].FText;
    return Unquote(TrimView(line.sliced(line.indexOf(u'=') + 1)));
}

void TIniFile::WriteString(QStringView section, QStringView key, const QString& value)
{
    const QString entry = key.toString() + u'=' + value;
    const qsizetype sectionLine = FindSection(section);
    if (sectionLine < 0) {
        if (!FLines.isEmpty() && !TrimView(FLines.back().FText).isEmpty())
            InsertLine(FLines.size(), QString());
        InsertLine(FLines.size(), u'[' + section.toString() + u']');
        InsertLine(FLines.size(), entry);
    } else if (const qsizetype keyLine = FindKey(sectionLine, key); keyLine >= 0) {
        SetLine(keyLine, entry);
    } else {
        // After the section's last non-blank line, so a blank separator before the next section stays.
        qsizetype at = SectionEnd(sectionLine);
        while (at > sectionLine + 1 && TrimView(FLines[at - 1].FText).isEmpty())
            --at;
        InsertLine(at, entry);
    }
    Save();
}

void TIniFile::Save() const
{
    QSaveFile file(FPath);
    QByteArray bytes = FHasBom ? kBom : QByteArray();
    for (const TLine& line : FLines)
        bytes += line.FBytes + line.FEnd;
    // A new file may come to hold the hosts and the CA file: its owner's only. An existing one keeps its mode.
    const bool created = !QFile::exists(FPath);
    const bool ok = file.open(QIODevice::WriteOnly)
        && (!created || file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        && file.write(bytes) == bytes.size() && file.commit();
    if (!ok)
        throw EQuenlarError(QStringLiteral("Unable to write to %1").arg(FPath));
}

// Integers only, with a sign, decimal or hexadecimal after "0x": not the amount rule.
std::optional<qint64> ParseIniInteger(QStringView text)
{
    QStringView digits = TrimView(text);
    bool negative = false;
    if (digits.startsWith(u'-') || digits.startsWith(u'+')) {
        negative = digits.front() == u'-';
        digits = digits.sliced(1);
    }
    int base = 10;
    if (digits.startsWith(u"0x", Qt::CaseInsensitive)) {
        base = 16;
        digits = digits.sliced(2);
    }
    const std::optional<quint64> magnitude = DigitsValue(digits, base);
    if (!magnitude || *magnitude > quint64(std::numeric_limits<qint64>::max()))
        return std::nullopt;
    return negative ? -qint64(*magnitude) : qint64(*magnitude);
}
