#include "app/dataFolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString Absolute(const QString& APath)
{
    return QDir::cleanPath(QDir(APath).absolutePath());
}

bool Writable(const QString& AFolder)
{
    return ::access(QFile::encodeName(AFolder).constData(), W_OK | X_OK) == 0;
}

QString ErrnoText(int AError)
{
    return QString::fromLocal8Bit(std::strerror(AError));
}

// Each missing folder of the path is made 0700 at once, never opened wider first.
QString MakeFolders(const QString& AFolder)
{
    QString path;
    for (const QString& part : AFolder.split(u'/', Qt::SkipEmptyParts)) {
        path += u'/' + part;
        if (QFileInfo(path).isDir())
            continue;
        if (::mkdir(QFile::encodeName(path).constData(), S_IRWXU) != 0 && errno != EEXIST)
            return QStringLiteral("the data folder %1 cannot be created: %2: %3").arg(AFolder, path, ErrnoText(errno));
    }
    return {};
}

} // namespace

TDataFolderSources TDataFolderSources::OfProcess(const QString& AOption)
{
    TDataFolderSources sources;
    sources.option = AOption;
    sources.environment = qEnvironmentVariable("QUENLAR_DATA_DIR");
    sources.programFolder = QCoreApplication::applicationDirPath();
    sources.xdgDataHome = qEnvironmentVariable("XDG_DATA_HOME");
    sources.home = QDir::homePath();
    return sources;
}

QString ChooseDataFolder(const TDataFolderSources& ASources)
{
    if (!ASources.option.isEmpty())
        return Absolute(ASources.option);
    if (!ASources.environment.isEmpty())
        return Absolute(ASources.environment);
    // A build tree or a portable copy keeps everything together; an installed program's folder belongs to the
    // package manager, whoever may write there.
    const QString installed = QDir(ASources.programFolder).filePath(QString::fromUtf16(kInstalledMarker));
    if (!ASources.programFolder.isEmpty() && Writable(ASources.programFolder) && !QFileInfo::exists(installed))
        return Absolute(ASources.programFolder);
    const QString dataHome = QDir::isAbsolutePath(ASources.xdgDataHome)
        ? ASources.xdgDataHome
        : QDir(ASources.home).filePath(QStringLiteral(".local/share"));
    return Absolute(QDir(dataHome).filePath(QStringLiteral("quenlar")));
}

QString PrepareDataFolder(const QString& AFolder)
{
    const QString absolute = Absolute(AFolder);
    if (QString problem = MakeFolders(absolute); !problem.isEmpty())
        return problem;
    if (!QFileInfo(absolute).isDir())
        return QStringLiteral("the data folder %1 is not a folder").arg(absolute);
    if (!Writable(absolute))
        return QStringLiteral("the data folder %1 is not writable").arg(absolute);
    return {};
}

bool HasRunBefore(const QString& AFolder)
{
    const QDir folder(AFolder);
    static const QStringList kTraces {QStringLiteral("db.db"), QStringLiteral("quenlar.lock"),
        QStringLiteral("health.json"), QStringLiteral("*.log")};
    return !folder.entryList(kTraces, QDir::Files | QDir::Hidden | QDir::System).isEmpty();
}

TFlock::TFlock(const QString& APath)
{
    const QByteArray path = QFile::encodeName(APath);
    // O_RDONLY opens a folder as well as a file; CLOEXEC keeps the lock from the sign-in browsers this process starts.
    FFd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (FFd < 0)
        return;
    if (::flock(FFd, LOCK_EX | LOCK_NB) != 0) {
        FBusy = errno == EWOULDBLOCK;
        ::close(FFd);
        FFd = -1;
    }
}

TFlock::~TFlock()
{
    if (FFd >= 0)
        ::close(FFd); // releases the lock
}

TFlock::TFlock(TFlock&& AOther) noexcept
    : FFd(std::exchange(AOther.FFd, -1))
    , FBusy(AOther.FBusy)
{
}

TFlock& TFlock::operator=(TFlock&& AOther) noexcept
{
    if (this != &AOther) {
        if (FFd >= 0)
            ::close(FFd);
        FFd = std::exchange(AOther.FFd, -1);
        FBusy = AOther.FBusy;
    }
    return *this;
}

TInstanceLock::TInstanceLock(const QString& AFolder)
    : FFolder(AFolder)
    , FFolderLock(AFolder)
    , FFile(QDir(AFolder).filePath(QStringLiteral("quenlar.lock")))
{
    // The folder itself first: its lock holds even when someone deletes the lock file of a running copy.
    if (FFolderLock.Busy()) {
        FError = QLockFile::LockFailedError;
        return;
    }
    // A copy runs for weeks: its lock goes stale only when its process has gone, never with age.
    FFile.setStaleLockTime(0);
    if (!FFile.tryLock(0)) {
        FError = FFile.error();
        return;
    }
    // The cache by its real path: another folder's db.db may be this very file.
    const QString cache = QFileInfo(QDir(AFolder).filePath(QStringLiteral("db.db"))).canonicalFilePath();
    if (cache.isEmpty())
        return;
    FCacheLock = TFlock(cache);
    if (FCacheLock.Busy()) {
        FSharedCache = cache;
        FFile.unlock();
        FError = QLockFile::LockFailedError;
    }
}

QString TInstanceLock::Holder() const
{
    qint64 pid = 0;
    QString host;
    QString app;
    if (!FFile.getLockInfo(&pid, &host, &app))
        return {};
    return QStringLiteral("%1 (%2 on %3)").arg(pid).arg(app, host);
}

QString TInstanceLock::Problem() const
{
    switch (FError) {
    case QLockFile::NoError:
        return {};
    case QLockFile::LockFailedError: {
        if (!FSharedCache.isEmpty()) {
            return QStringLiteral(
                "the order cache %1 of the data folder %2 is in use by another copy of Quenlar through "
                "another data folder; two copies must never share an order cache")
                .arg(FSharedCache, FFolder);
        }
        const QString holder = Holder();
        return QStringLiteral("the data folder %1 is in use by %2; one copy of Quenlar runs per data folder")
            .arg(FFolder, holder.isEmpty() ? QStringLiteral("another copy") : QStringLiteral("process ") + holder);
    }
    case QLockFile::PermissionError:
        return QStringLiteral("the data folder %1 is not writable: its lock file %2 cannot be made")
            .arg(FFolder, FFile.fileName());
    case QLockFile::UnknownError:
        break;
    }
    return QStringLiteral("the lock file %1 of the data folder cannot be made").arg(FFile.fileName());
}

QString TInstanceLock::WindowText() const
{
    if (!InUse())
        return QStringLiteral("数据文件夹无法使用:") + Problem();
    if (!FSharedCache.isEmpty()) {
        return QStringLiteral(
            "订单缓存 %1 正由另一个 Quenlar 经另一个数据文件夹使用,两个 Quenlar 不能共用一个订单缓存。")
            .arg(FSharedCache);
    }
    const QString holder = Holder();
    return QStringLiteral("数据文件夹 %1 正由%2使用,同一数据文件夹只能运行一个 Quenlar。")
        .arg(FFolder, holder.isEmpty() ? QStringLiteral("另一个 Quenlar ") : QStringLiteral(" 进程 ") + holder + u' ');
}
