#include "log/uLog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>
#include <QtEndian>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include <sys/file.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

QByteArray ReadAll(const QString& APath)
{
    QFile file(APath);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The lines of a log file, checked for its byte-order mark and CR LF endings.
QStringList Lines(const QString& APath)
{
    const QByteArray bytes = ReadAll(APath);
    EXPECT_TRUE(bytes.startsWith("\xFF\xFE")) << APath.toStdString();
    EXPECT_EQ(bytes.size() % 2, 0);
    QString text(static_cast<qsizetype>((bytes.size() - 2) / 2), Qt::Uninitialized);
    qFromLittleEndian<quint16>(bytes.constData() + 2, text.size(), text.data());
    EXPECT_TRUE(text.endsWith(u"\r\n"));
    QStringList lines = text.split(QStringLiteral("\r\n"));
    lines.removeLast();
    return lines;
}

void WriteFile(const QString& APath, const QByteArray& ABytes)
{
    QFile file(APath);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(ABytes);
}

class ULog : public ::testing::Test {
protected:
    QString Path(const QString& AName) const { return Dir.filePath(AName); }
    // A stand-in executable in the temporary folder: the default log is "quenlar.log" beside it.
    QString Module() const { return Path(QStringLiteral("quenlar")); }
    QString DefaultLog() const { return Path(QStringLiteral("quenlar.log")); }

    QTemporaryDir Dir;
};

} // namespace

TEST_F(ULog, WritesUtf16LinesWithATimeStamp)
{
    TLogManage log(Module());
    log.WriteToLog(QStringLiteral("同步完成"));
    log.WriteToLog(QStringLiteral("second"));
    const QStringList lines = Lines(DefaultLog());
    ASSERT_EQ(lines.size(), 2);
    const QRegularExpression stamp(QStringLiteral("^\\[\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\] (.*)$"));
    const QRegularExpressionMatch first = stamp.match(lines[0]);
    ASSERT_TRUE(first.hasMatch()) << lines[0].toStdString();
    EXPECT_EQ(first.captured(1), QStringLiteral("同步完成"));
    EXPECT_EQ(stamp.match(lines[1]).captured(1), QStringLiteral("second"));
}

TEST_F(ULog, WithoutTimeStampsLinesAreTheTextAlone)
{
    TLogManage log(Module());
    log.SetWriteDT(false);
    log.WriteToLog(QStringLiteral("a"));
    log.WriteToLog(QString());
    EXPECT_EQ(ReadAll(DefaultLog()),
        QByteArray("\xFF\xFE"
                   "a\0\r\0\n\0\r\0\n\0",
            12));
}

TEST_F(ULog, AppendsToAnExistingFileWithoutASecondMark)
{
    WriteFile(DefaultLog(),
        QByteArray("\xFF\xFE"
                   "o\0\r\0\n\0",
            8));
    TLogManage log(Module());
    log.SetWriteDT(false);
    log.WriteToLog(QStringLiteral("n"));
    EXPECT_EQ(Lines(DefaultLog()), (QStringList {QStringLiteral("o"), QStringLiteral("n")}));
}

TEST_F(ULog, Utf8LinesHaveNoMarkAndEndInALineFeed)
{
    TLogManage log(Module());
    log.SetEncoding(TLogEncoding::Utf8);
    log.SetWriteDT(false);
    log.WriteToLog(QStringLiteral("同步完成"));
    log.WriteToLog(QStringLiteral("b"));
    EXPECT_EQ(ReadAll(DefaultLog()), QStringLiteral("同步完成\nb\n").toUtf8());
}

// A file never mixes the two encodings: one found in the other is rotated to its backup before the first line.
TEST_F(ULog, AFileInTheOtherEncodingIsRotatedAwayFirst)
{
    const QByteArray utf16 = QByteArray("\xFF\xFE"
                                        "o\0\r\0\n\0",
        8);
    WriteFile(DefaultLog(), utf16);
    {
        TLogManage log(Module());
        log.SetEncoding(TLogEncoding::Utf8);
        log.SetWriteDT(false);
        log.WriteToLog(QStringLiteral("n"));
    }
    EXPECT_EQ(ReadAll(DefaultLog()), QByteArray("n\n"));
    EXPECT_EQ(ReadAll(DefaultLog() + QStringLiteral(".bak1")), utf16);

    TLogManage back(Module());
    back.SetWriteDT(false);
    back.WriteToLog(QStringLiteral("u"));
    EXPECT_EQ(Lines(DefaultLog()), QStringList {QStringLiteral("u")});
    EXPECT_EQ(ReadAll(DefaultLog() + QStringLiteral(".bak1")), QByteArray("n\n"));
}

TEST_F(ULog, AnExplicitFileInAMissingFolderIsCreated)
{
    const QString name = Path(QStringLiteral("a/b/c.txt"));
    TLogManage log(Module());
    log.SetLogFile(name);
    log.WriteToLog(QStringLiteral("x"));
    EXPECT_EQ(Lines(name).size(), 1);
    EXPECT_FALSE(QFileInfo::exists(DefaultLog()));
}

struct TRotationCase {
    const char* name;
    int bakLogCount;
    QStringList existingBackups; // contents of .bak1, .bak2, ... before the rotation
    QStringList expectedBackups; // first line of .bak1, .bak2, ... after it; empty: that backup must not exist
};

class ULogRotation : public ULog, public ::testing::WithParamInterface<TRotationCase> { };

TEST_P(ULogRotation, RotatesToNumberedBackups)
{
    const TRotationCase& c = GetParam();
    for (int n = 0; n < c.existingBackups.size(); ++n) {
        QFile backup(DefaultLog() + QStringLiteral(".bak") + QString::number(n + 1));
        ASSERT_TRUE(backup.open(QIODevice::WriteOnly));
        backup.write(QByteArray("\xFF\xFE", 2)
            + QByteArray(reinterpret_cast<const char*>(c.existingBackups[n].utf16()), c.existingBackups[n].size() * 2)
            + QByteArray("\r\0\n\0", 4));
    }
    TLogManage log(Module());
    log.SetWriteDT(false);
    log.SetBakLogCount(c.bakLogCount);
    log.SetFileSizeMax(2); // every file with a line in it is full
    log.WriteToLog(QStringLiteral("old"));
    log.WriteToLog(QStringLiteral("new"));
    EXPECT_EQ(Lines(DefaultLog()), QStringList {QStringLiteral("new")});
    for (int n = 0; n < c.expectedBackups.size(); ++n) {
        const QString backup = DefaultLog() + QStringLiteral(".bak") + QString::number(n + 1);
        if (c.expectedBackups[n].isEmpty())
            EXPECT_FALSE(QFileInfo::exists(backup)) << backup.toStdString();
        else
            EXPECT_EQ(Lines(backup), QStringList {c.expectedBackups[n]}) << backup.toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(Backups, ULogRotation,
    ::testing::Values(TRotationCase {"one backup", 1, {}, {QStringLiteral("old"), QString()}},
        TRotationCase {"one backup replaced", 1, {QStringLiteral("older")}, {QStringLiteral("old"), QString()}},
        TRotationCase {"three backups shift", 3, {QStringLiteral("b1"), QStringLiteral("b2"), QStringLiteral("b3")},
            {QStringLiteral("old"), QStringLiteral("b1"), QStringLiteral("b2"), QString()}},
        TRotationCase {"no backups kept", 0, {}, {QString()}}),
    [](const ::testing::TestParamInfo<TRotationCase>& AInfo) {
        std::string name = AInfo.param.name;
        std::replace(name.begin(), name.end(), ' ', '_');
        return name;
    });

TEST_F(ULog, DetailLinesNeedTheSwitchFile)
{
    // Nothing written, no file left behind: at once when the file is shared, at the end when it is held open.
    for (const bool shareWrite : {true, false}) {
        {
            TLogManage log(Module());
            log.SetShareWrite(shareWrite);
            log.WriteToLog(QStringLiteral("detail"), true);
        }
        EXPECT_FALSE(QFileInfo::exists(DefaultLog())) << shareWrite;
    }
    WriteFile(Path(QStringLiteral("detaillog.ldt")), {});
    TLogManage log(Module());
    log.SetWriteDT(false);
    log.WriteToLog(QStringLiteral("detail"), true);
    EXPECT_EQ(Lines(DefaultLog()), QStringList {QStringLiteral("detail")});
}

TEST_F(ULog, ClosedLogWritesNothing)
{
    TLogManage log(Module());
    log.SetIsClose(true);
    log.WriteToLog(QStringLiteral("x"));
    EXPECT_FALSE(QFileInfo::exists(DefaultLog()));
}

TEST_F(ULog, AHeldFileMakesTheNextWriterUseANumberedName)
{
    TLogManage first(Module());
    first.SetShareWrite(false); // keeps the file open and locked
    first.SetWriteDT(false);
    first.WriteToLog(QStringLiteral("1"));
    TLogManage second(Module());
    second.SetShareWrite(false);
    second.SetWriteDT(false);
    second.WriteToLog(QStringLiteral("2"));
    TLogManage third(Module());
    third.SetWriteDT(false);
    third.WriteToLog(QStringLiteral("3"));
    EXPECT_EQ(Lines(DefaultLog()), QStringList {QStringLiteral("1")});
    EXPECT_EQ(Lines(Path(QStringLiteral("quenlar_1.log"))), QStringList {QStringLiteral("2")});
    EXPECT_EQ(Lines(Path(QStringLiteral("quenlar_2.log"))), QStringList {QStringLiteral("3")});
}

TEST_F(ULog, AnotherProcessHoldingTheFileSendsUsToTheNextName)
{
    WriteFile(DefaultLog(), {});
    QProcess holder;
    holder.start(QStringLiteral("flock"), {DefaultLog(), QStringLiteral("sleep"), QStringLiteral("30")});
    ASSERT_TRUE(holder.waitForStarted());
    // wait until the other process holds the lock
    const auto until = std::chrono::steady_clock::now() + 20s;
    while (true) {
        QFile probe(DefaultLog());
        ASSERT_TRUE(probe.open(QIODevice::ReadOnly));
        if (::flock(probe.handle(), LOCK_EX | LOCK_NB) != 0)
            break;
        ::flock(probe.handle(), LOCK_UN);
        ASSERT_LT(std::chrono::steady_clock::now(), until);
        std::this_thread::sleep_for(5ms);
    }
    TLogManage log(Module());
    log.SetWriteDT(false);
    log.WriteToLog(QStringLiteral("mine"));
    holder.kill();
    holder.waitForFinished();
    EXPECT_EQ(Lines(Path(QStringLiteral("quenlar_1.log"))), QStringList {QStringLiteral("mine")});
    EXPECT_EQ(ReadAll(DefaultLog()), QByteArray());
}

TEST_F(ULog, ChangingTheFileNameClosesTheOpenFile)
{
    TLogManage log(Module());
    log.SetShareWrite(false);
    log.SetWriteDT(false);
    log.WriteToLog(QStringLiteral("a"));
    log.SetLogFile(DefaultLog().toUpper()); // the same name but for case: stays open
    TLogManage other(Module());
    other.WriteToLog(QStringLiteral("held"));
    EXPECT_TRUE(QFileInfo::exists(Path(QStringLiteral("quenlar_1.log"))));

    log.SetLogFile(Path(QStringLiteral("b.log")));
    log.WriteToLog(QStringLiteral("b"));
    EXPECT_EQ(Lines(Path(QStringLiteral("b.log"))), QStringList {QStringLiteral("b")});
    TLogManage again(Module()); // the first file was released
    again.SetWriteDT(false);
    again.WriteToLog(QStringLiteral("c"));
    EXPECT_EQ(Lines(DefaultLog()), (QStringList {QStringLiteral("a"), QStringLiteral("c")}));
}

TEST_F(ULog, WriteFailuresAreSwallowedAndTheNextWriteTriesAgain)
{
    const QString name = Path(QStringLiteral("blocked.log"));
    ASSERT_TRUE(QDir().mkpath(name)); // a folder where the file should be
    TLogManage log(Module());
    log.SetLogFile(name);
    log.SetWriteDT(false);
    log.WriteToLog(QStringLiteral("lost"));
    ASSERT_TRUE(QDir(name).removeRecursively());
    log.WriteToLog(QStringLiteral("kept"));
    EXPECT_EQ(Lines(name), QStringList {QStringLiteral("kept")});
}

TEST_F(ULog, ConcurrentWritersNeverInterleave)
{
    TLogManage log(Module());
    log.SetShareWrite(false);
    log.SetFileSizeMax(1 << 30);
    constexpr int threads = 4;
    constexpr int perThread = 200;
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back([&log, t] {
            for (int i = 0; i < perThread; ++i)
                log.WriteToLog(QStringLiteral("thread %1 line %2").arg(t).arg(i));
        });
    }
    for (std::thread& writer : writers)
        writer.join();
    log.SetShareWrite(true);
    log.SetLogFile(Path(QStringLiteral("other.log"))); // closes the file
    const QStringList lines = Lines(DefaultLog());
    ASSERT_EQ(lines.size(), threads * perThread);
    const QRegularExpression shape(QStringLiteral("^\\[[^\\]]+\\] thread \\d line \\d+$"));
    for (const QString& line : lines)
        EXPECT_TRUE(shape.match(line).hasMatch()) << line.toStdString();
}
