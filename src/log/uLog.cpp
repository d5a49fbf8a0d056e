#include "log/uLog.h"

#include "foundation/qerror.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QtEndian>

#include <algorithm>
#include <cerrno>

#include <sys/file.h>
#include <unistd.h>

namespace {

// Far more numbered names than processes that could share one log; a bound so that a broken folder cannot spin.
constexpr int KMaxAlternatives = 1000;

// The name with its extension (the part from the last dot of the file name) replaced.
QString ChangeExt(const QString& AName, const QString& AExt)
{
    const qsizetype slash = AName.lastIndexOf(u'/');
    const qsizetype dot = AName.lastIndexOf(u'.');
    return (dot > slash ? AName.left(dot) : AName) + AExt;
}

QByteArray Utf16Le(QStringView AText)
{
    QByteArray bytes(AText.size() * qsizetype(sizeof(char16_t)), Qt::Uninitialized);
    qToLittleEndian<quint16>(AText.utf16(), AText.size(), bytes.data());
    return bytes;
}

QString ExecutablePath()
{
    const QString path = QCoreApplication::instance() ? QCoreApplication::applicationFilePath() : QString();
    return path.isEmpty() ? QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget() : path;
}

} // namespace

TLogObj::TLogObj(const QString& ALogFile, const QString& AModuleFileName)
    : MoudleFileName(AModuleFileName)
{
    Open(ALogFile);
}

TLogObj::~TLogObj()
{
    if (!FS.isOpen())
        return;
    // Removed while still locked, so that no other writer can have taken the file over meanwhile.
    if (FFileSize == 0)
        ::unlink(QFile::encodeName(FLogFileName).constData());
    FS.close();
}

void TLogObj::Open(const QString& ALogFile)
{
    const QString base = ALogFile.isEmpty() ? ChangeExt(MoudleFileName, QStringLiteral(".log")) : ALogFile;
    for (int n = 0; n <= KMaxAlternatives; ++n) {
        if (TryOpen(n == 0 ? base : ChangeExt(base, QStringLiteral("_%1.log").arg(n))))
            return;
    }
    throw EQuenlarError(QStringLiteral("Every name of the log file is in use: ") + base);
}

// False when another writer holds the file.
bool TLogObj::TryOpen(const QString& AName)
{
    const QFileInfo info(AName);
    if (!info.exists())
        QDir().mkpath(info.absolutePath());
    FS.setFileName(AName);
    if (!FS.open(QIODevice::ReadWrite | QIODevice::Unbuffered))
        throw EQuenlarError(QStringLiteral("Unable to open the log file ") + AName);
    if (::flock(FS.handle(), LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        FS.close();
        if (error == EWOULDBLOCK)
            return false;
        throw EQuenlarError(QStringLiteral("Unable to lock the log file ") + AName);
    }
    FLogFileName = AName;
    FFileSize = FS.size();
    if (!FS.seek(FFileSize))
        throw EQuenlarError(QStringLiteral("Unable to write to the log file ") + AName);
    return true;
}

void TLogObj::WriteLog(const QString& LogContent, bool IsDetail)
{
    std::scoped_lock lock(CS);
    if (IsDetail && !QFileInfo::exists(QFileInfo(MoudleFileName).absolutePath() + QStringLiteral("/detaillog.ldt")))
        return;
    if (FFileSize >= FFileSizeMax || (!FEncodingChecked && WrittenInAnotherEncoding()))
        Rotate();
    FEncodingChecked = true;
    const bool utf16 = FEncoding == TLogEncoding::Utf16Le;
    if (FFileSize == 0 && utf16) {
        Write(QByteArray("\xFF\xFE", 2));
        FFileSize = 2;
    }
    QString line;
    if (FWriteDT)
        line = QDateTime::currentDateTime().toString(QStringLiteral("[yyyy-MM-dd HH:mm:ss.zzz] "));
    line += LogContent;
    line += utf16 ? u"\r\n" : u"\n";
    const QByteArray bytes = utf16 ? Utf16Le(line) : line.toUtf8();
    Write(bytes);
    FFileSize += bytes.size();
}

bool TLogObj::WrittenInAnotherEncoding()
{
    if (FFileSize == 0)
        return false;
    QFile existing(FLogFileName);
    if (!existing.open(QIODevice::ReadOnly))
        return false;
    const bool utf16 = existing.read(2) == QByteArray("\xFF\xFE", 2);
    return utf16 != (FEncoding == TLogEncoding::Utf16Le);
}

void TLogObj::Rotate()
{
    if (FBakLogCount > 0) {
        const QString bak = FLogFileName + QStringLiteral(".bak");
        QFile::remove(bak + QString::number(FBakLogCount));
        for (int n = FBakLogCount - 1; n >= 1; --n) {
            if (QFile::exists(bak + QString::number(n)))
                QFile::rename(bak + QString::number(n), bak + QString::number(n + 1));
        }
        QFile::remove(bak + u'1');
        // Without its backup the log is not truncated: the line is lost, the old lines are not.
        if (!QFile::copy(FLogFileName, bak + u'1'))
            throw EQuenlarError(QStringLiteral("Unable to back up the log file ") + FLogFileName);
    }
    if (!FS.resize(0) || !FS.seek(0))
        throw EQuenlarError(QStringLiteral("Unable to truncate the log file ") + FLogFileName);
    FFileSize = 0;
}

void TLogObj::Write(const QByteArray& ABytes)
{
    if (FS.write(ABytes) != ABytes.size())
        throw EQuenlarError(QStringLiteral("Unable to write to the log file ") + FLogFileName);
}

QString TLogObj::LogFileName() const
{
    std::scoped_lock lock(CS);
    return FLogFileName;
}

void TLogObj::SetBakLogCount(int ACount)
{
    std::scoped_lock lock(CS);
    FBakLogCount = std::clamp(ACount, 0, 255);
}

void TLogObj::SetWriteDT(bool AWriteDT)
{
    std::scoped_lock lock(CS);
    FWriteDT = AWriteDT;
}

void TLogObj::SetFileSizeMax(qint64 ASize)
{
    std::scoped_lock lock(CS);
    FFileSizeMax = ASize;
}

void TLogObj::SetEncoding(TLogEncoding AEncoding)
{
    std::scoped_lock lock(CS);
    FEncoding = AEncoding;
    FEncodingChecked = false;
}

TLogManage::TLogManage(const QString& AModuleFileName)
    : FModuleFileName(AModuleFileName.isEmpty() ? ExecutablePath() : AModuleFileName)
{
}

TLogManage::~TLogManage() = default;

QString TLogManage::WriteToLog(const QString& LogContent, bool IsDetail)
{
    if (FIsClose.load())
        return {};
    std::scoped_lock lock(FCS);
    try {
        if (!FLogObj) {
            FLogObj = std::make_unique<TLogObj>(FLogFile, FModuleFileName);
            FLogObj->SetBakLogCount(FBakLogCount);
            FLogObj->SetWriteDT(FWriteDT);
            FLogObj->SetFileSizeMax(FFileSizeMax);
            FLogObj->SetEncoding(FEncoding);
        }
        FLogObj->WriteLog(LogContent, IsDetail);
        if (FShareWrite)
            FLogObj.reset();
    } catch (const EQuenlarError& error) { // the line is lost; the next write opens the file again
        FLogObj.reset();
        return error.Message();
    } catch (const std::exception& error) {
        FLogObj.reset();
        return QString::fromLocal8Bit(error.what());
    }
    return {};
}

int TLogManage::BakLogCount() const
{
    std::scoped_lock lock(FCS);
    return FBakLogCount;
}

void TLogManage::SetBakLogCount(int ACount)
{
    std::scoped_lock lock(FCS);
    FBakLogCount = std::clamp(ACount, 0, 255);
    if (FLogObj)
        FLogObj->SetBakLogCount(FBakLogCount);
}

bool TLogManage::ShareWrite() const
{
    std::scoped_lock lock(FCS);
    return FShareWrite;
}

void TLogManage::SetShareWrite(bool AShareWrite)
{
    std::scoped_lock lock(FCS);
    FShareWrite = AShareWrite;
}

QString TLogManage::LogFile() const
{
    std::scoped_lock lock(FCS);
    return FLogFile;
}

void TLogManage::SetLogFile(const QString& ALogFile)
{
    std::scoped_lock lock(FCS);
    FLogFile = ALogFile;
    if (FLogObj && FLogObj->LogFileName().compare(ALogFile, Qt::CaseInsensitive) != 0)
        FLogObj.reset();
}

bool TLogManage::WriteDT() const
{
    std::scoped_lock lock(FCS);
    return FWriteDT;
}

void TLogManage::SetWriteDT(bool AWriteDT)
{
    std::scoped_lock lock(FCS);
    FWriteDT = AWriteDT;
    if (FLogObj)
        FLogObj->SetWriteDT(AWriteDT);
}

void TLogManage::SetFileSizeMax(qint64 ASize)
{
    std::scoped_lock lock(FCS);
    FFileSizeMax = ASize;
    if (FLogObj)
        FLogObj->SetFileSizeMax(ASize);
}

void TLogManage::SetEncoding(TLogEncoding AEncoding)
{
    std::scoped_lock lock(FCS);
    FEncoding = AEncoding;
    if (FLogObj)
        FLogObj->SetEncoding(AEncoding);
}
