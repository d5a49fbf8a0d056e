#include "sync/signin/signInBrowser.h"

#include "foundation/textutil.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>

#include <algorithm>
#include <array>
#include <csignal>

#include <sys/types.h>

namespace {

// Field 22 of /proc/<pid>/stat, counted after the parenthesised command name (which may hold blanks).
QByteArray ReadStartTime(qint64 AProcessId)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(AProcessId));
    if (!stat.open(QIODevice::ReadOnly))
        return {};
    const QByteArray text = stat.readAll();
    const qsizetype close = text.lastIndexOf(')');
    if (close < 0)
        return {};
    const QList<QByteArray> fields = text.mid(close + 2).split(' ');
    constexpr qsizetype kStartTimeAfterName = 19; // field 22 overall, the 20th after the name
    return fields.size() > kStartTimeAfterName ? fields.at(kStartTimeAfterName) : QByteArray();
}

// 32 bytes from the system's random source, as hexadecimal text.
QString NewSecret()
{
    std::array<quint32, 8> words {};
    QRandomGenerator::system()->fillRange(words.data(), words.size());
    QString text;
    for (const quint32 word : words)
        text += QStringLiteral("%1").arg(word, 8, 16, QLatin1Char('0'));
    return text;
}

} // namespace

TBrowserProcesses::~TBrowserProcesses()
{
    EndAll();
}

QByteArray TBrowserProcesses::StartTimeOf(qint64 AProcessId)
{
    return AProcessId > 0 ? ReadStartTime(AProcessId) : QByteArray();
}

bool TBrowserProcesses::Runs(const TStarted& AItem)
{
    return !AItem.startTime.isEmpty() && StartTimeOf(AItem.pid) == AItem.startTime;
}

QProcessEnvironment TBrowserProcesses::BrowserEnvironment(
    const QProcessEnvironment& ABase, const QString& ASecret, const QString& AFolder)
{
    QProcessEnvironment environment = ABase;
    environment.remove(QStringLiteral("QUENLAR_PASSWORD"));
    environment.remove(kSecretVariable.toString());
    if (!ASecret.isEmpty())
        environment.insert(kSecretVariable.toString(), ASecret);
    if (AFolder.isEmpty())
        return environment;
    // The engine writes under HOME (its certificate store), XDG_DATA_HOME and XDG_CACHE_HOME. The settings of the
    // desktop (input method, fonts, theme) and the display's key are read through the real home: kept by name.
    const QString home = ABase.value(QStringLiteral("HOME"));
    if (!home.isEmpty()) {
        if (!environment.contains(QStringLiteral("XDG_CONFIG_HOME")))
            environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
        if (!environment.contains(QStringLiteral("XAUTHORITY")))
            environment.insert(QStringLiteral("XAUTHORITY"), home + QStringLiteral("/.Xauthority"));
    }
    const QString own = BrowserHome(AFolder);
    environment.insert(QStringLiteral("HOME"), own);
    environment.insert(QStringLiteral("XDG_DATA_HOME"), own + QStringLiteral("/.local/share"));
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), own + QStringLiteral("/.cache"));
    return environment;
}

QString TBrowserProcesses::BrowserHome(const QString& AFolder)
{
    return QDir(AFolder).filePath(QStringLiteral("browser-profile/home"));
}

bool TBrowserProcesses::SecretMatches(const QString& AExpected, const QString& AGiven)
{
    if (AExpected.isEmpty() || AExpected.size() != AGiven.size())
        return false;
    char16_t differ = 0;
    for (qsizetype i = 0; i < AExpected.size(); ++i)
        differ |= AExpected.at(i).unicode() ^ AGiven.at(i).unicode();
    return differ == 0;
}

bool TBrowserProcesses::Start(const QString& AProgram, const QStringList& AArguments, const QString& AFolder,
    const QString& AUserId, std::chrono::milliseconds ATimeout)
{
    QProcess process;
    process.setProgram(AProgram);
    process.setArguments(AArguments);
    process.setWorkingDirectory(AFolder);
    // A datagram is taken only with this secret: the listener's port, the account and the browser's process id
    // are on its command line, which every local user can read.
    const QString secret = NewSecret();
    process.setProcessEnvironment(BrowserEnvironment(QProcessEnvironment::systemEnvironment(), secret, AFolder));
    // Made here, owner-only, so that nothing the engine puts there is ever readable by others.
    if (!QDir().mkpath(BrowserHome(AFolder)))
        return false;
    QFile::setPermissions(QDir(AFolder).filePath(QStringLiteral("browser-profile")),
        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QFile::setPermissions(
        BrowserHome(AFolder), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qint64 pid = 0;
    if (!process.startDetached(&pid) || pid <= 0)
        return false;
    const std::scoped_lock lock(FCS);
    // Forget processes that have ended, so the list stays as short as the browsers still open.
    std::erase_if(FStarted, [](const TStarted& AItem) { return !Runs(AItem); });
    const QString userId = Trim(AUserId);
    // A new sign-in of the same account replaces the one before; its browser may still hand over nothing.
    for (TStarted& item : FStarted) {
        if (item.userId == userId)
            item.pending = false;
    }
    FStarted.push_back({pid, StartTimeOf(pid), userId, secret, TClock::now() + ATimeout, true});
    return true;
}

std::optional<TBrowserProcesses::TPending> TBrowserProcesses::PendingBrowserOf(const QString& AUserId) const
{
    const QString userId = Trim(AUserId);
    const TClock::time_point now = TClock::now();
    const std::scoped_lock lock(FCS);
    for (const TStarted& item : FStarted) {
        if (item.pending && item.userId == userId && now < item.deadline && Runs(item))
            return TPending {item.pid, item.secret};
    }
    return std::nullopt;
}

void TBrowserProcesses::Reported(const QString& AUserId)
{
    const QString userId = Trim(AUserId);
    const std::scoped_lock lock(FCS);
    for (TStarted& item : FStarted) {
        if (item.userId == userId)
            item.pending = false;
    }
}

QStringList TBrowserProcesses::EndTimedOut()
{
    QStringList timedOut;
    const TClock::time_point now = TClock::now();
    const std::scoped_lock lock(FCS);
    std::erase_if(FStarted, [&](const TStarted& AItem) {
        if (AItem.deadline > now)
            return false;
        if (AItem.pending)
            timedOut.append(AItem.userId);
        if (Runs(AItem))
            ::kill(static_cast<pid_t>(AItem.pid), SIGTERM);
        return true;
    });
    return timedOut;
}

void TBrowserProcesses::EndAll()
{
    const std::scoped_lock lock(FCS);
    for (const TStarted& item : FStarted) {
        if (Runs(item))
            ::kill(static_cast<pid_t>(item.pid), SIGTERM);
    }
    FStarted.clear();
}

std::vector<TBrowserProcesses::TStarted>::iterator TBrowserProcesses::Find(qint64 AProcessId)
{
    return std::find_if(FStarted.begin(), FStarted.end(),
        [AProcessId](const TStarted& AItem) { return AItem.pid == AProcessId && Runs(AItem); });
}

std::vector<TBrowserProcesses::TStarted>::const_iterator TBrowserProcesses::Find(qint64 AProcessId) const
{
    return std::find_if(FStarted.begin(), FStarted.end(),
        [AProcessId](const TStarted& AItem) { return AItem.pid == AProcessId && Runs(AItem); });
}

bool TBrowserProcesses::IsOurs(qint64 AProcessId) const
{
    const std::scoped_lock lock(FCS);
    return Find(AProcessId) != FStarted.end();
}

bool TBrowserProcesses::TerminateIfOurs(qint64 AProcessId)
{
    const std::scoped_lock lock(FCS);
    const auto found = Find(AProcessId);
    if (found == FStarted.end())
        return false;
    ::kill(static_cast<pid_t>(found->pid), SIGTERM);
    FStarted.erase(found);
    return true;
}
