// The settings file on any bytes: reading never fails; a written value reads back; writing the same value again
// changes no byte; and every line the write did not touch keeps its bytes.
#include "store/inifile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace {

void Check(bool ACondition)
{
    if (!ACondition)
        std::abort();
}

QByteArray ReadAll(const QString& APath)
{
    QFile file(APath);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QList<QByteArray> Lines(QByteArrayView AText)
{
    while (AText.startsWith("\xEF\xBB\xBF"))
        AText = AText.sliced(3);
    return AText.toByteArray().replace("\r\n", "\n").replace('\r', '\n').split('\n');
}

bool IsAdded(const QByteArray& ALine)
{
    return ALine.isEmpty() || ALine == "[setting]" || ALine == "openLarge=1";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize)
{
    // In memory where there is a tmpfs: every write is synced to disk.
    static const QTemporaryDir dir(QDir(QStringLiteral("/dev/shm")).exists()
            ? QStringLiteral("/dev/shm/quenlar-fuzz-XXXXXX")
            : QDir::tempPath() + QStringLiteral("/quenlar-fuzz-XXXXXX"));
    const QString path = dir.filePath(QStringLiteral("conf.ini"));
    const QByteArray input(reinterpret_cast<const char*>(AData), qsizetype(ASize));
    {
        QFile file(path);
        Check(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(input) == input.size());
    }
    TIniFile ini(path);
    ini.Load();
    for (const char16_t* key : {u"syncysh", u"syncapiwq", u"openLarge"}) {
        if (const std::optional<QString> value = ini.ReadString(u"setting", key))
            (void)ParseIniInteger(*value);
    }
    (void)ini.ReadString(u"hosts", u"topGateway");

    ini.WriteString(u"setting", u"openLarge", QStringLiteral("1"));
    const QByteArray written = ReadAll(path);
    TIniFile again(path);
    again.Load();
    Check(again.ReadString(u"setting", u"openLarge") == QStringLiteral("1"));
    again.WriteString(u"setting", u"openLarge", QStringLiteral("1"));
    Check(ReadAll(path) == written);

    // The input's lines keep their bytes and their order: leaving out the lines a write may add, the output's lines
    // are the input's with at most one missing (the one replaced).
    const QList<QByteArray> before = Lines(input);
    const QList<QByteArray> after = Lines(written);
    Check(after.size() >= before.size());
    const auto kept = [](const QList<QByteArray>& ALines) {
        return std::count_if(ALines.begin(), ALines.end(), [](const QByteArray& ALine) { return !IsAdded(ALine); });
    };
    Check(kept(after) + 1 >= kept(before));
    qsizetype next = 0;
    for (const QByteArray& line : after) {
        if (IsAdded(line))
            continue;
        while (next < before.size() && (IsAdded(before[next]) || before[next] != line))
            ++next;
        Check(next < before.size());
        ++next;
    }
    return 0;
}
