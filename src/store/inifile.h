#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// A profile-style INI file kept as its lines, so that writing one key leaves every other section, key and comment
// as it was, byte for byte (a comment in another encoding than UTF-8 included). Lines end at LF, CR LF or a lone
// CR. Section and key names compare without regard to case.
class TIniFile {
public:
    explicit TIniFile(QString path);

    // Reads the file; a missing or unreadable file reads as empty. Byte-order marks at the start are skipped (an
    // editor may have stacked several); one is written back.
    void Load();
    std::optional<QString> ReadString(QStringView section, QStringView key) const;
    // Replaces the key in place, or adds it (and the section) at the end, then writes the whole file through a
    // temporary file and a rename. Throws EQuenlarError "Unable to write to <path>" when that fails.
    void WriteString(QStringView section, QStringView key, const QString& value);

    const QString& Path() const { return FPath; }
    // After Load: empty when the file was read and looks like settings; otherwise what is wrong with it.
    const QString& Problem() const { return FProblem; }
    bool HasSection(QStringView section) const { return FindSection(section) >= 0; }

private:
    struct TLine {
        QByteArray FBytes; // as in the file
        QByteArray FEnd; // its line break, empty for a last line without one
        QString FText; // decoded, for matching
    };

    void SetLine(qsizetype index, const QString& text);
    void InsertLine(qsizetype index, const QString& text);
    qsizetype FindSection(QStringView section) const;
    qsizetype SectionEnd(qsizetype sectionLine) const;
    qsizetype FindKey(qsizetype sectionLine, QStringView key) const;
    void Save() const;

    QString FPath;
    QList<TLine> FLines;
    QByteArray FLineBreak;
    bool FHasBom = false;
    QString FProblem;
};

// Reads an integer the way the settings do: decimal, or hexadecimal after "0x"/"0X"; nullopt for anything else.
std::optional<qint64> ParseIniInteger(QStringView text);
