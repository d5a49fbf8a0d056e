#include "sync/signInBrowser.h"

#include "foundation/textutil.h"

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

QProcessEnvironment TBrowserProcesses::BrowserEnvironment(const QProcessEnvironment& ABase, const QString& ASecret)
{
    QProcessEnvironment environment = ABase;
    environment.remove(QStringLiteral("QUENLAR_PASSWORD"));
    environment.remove(kSecretVariable.toString());
    if (!ASecret.isEmpty())
        environment.insert(kSecretVariable.toString(), ASecret);
    return environment;
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
    process.setProcessEnvironment(BrowserEnvironment(QProcessEnvironment::systemEnvironment(), secret));
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
