#include "sync/signInBrowser.h"

#include <QFile>
#include <QProcess>

#include <algorithm>
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

} // namespace

QByteArray TBrowserProcesses::StartTimeOf(qint64 AProcessId)
{
    return AProcessId > 0 ? ReadStartTime(AProcessId) : QByteArray();
}

bool TBrowserProcesses::Start(const QString& AProgram, const QStringList& AArguments, const QString& AFolder)
{
    qint64 pid = 0;
    if (!QProcess::startDetached(AProgram, AArguments, AFolder, &pid) || pid <= 0)
        return false;
    const std::scoped_lock lock(FCS);
    // Forget processes that have ended, so the list stays as short as the browsers still open.
    std::erase_if(FStarted, [](const TStarted& AItem) { return StartTimeOf(AItem.pid) != AItem.startTime; });
    FStarted.push_back({pid, StartTimeOf(pid)});
    return true;
}

std::vector<TBrowserProcesses::TStarted>::const_iterator TBrowserProcesses::Find(qint64 AProcessId) const
{
    return std::find_if(FStarted.begin(), FStarted.end(), [AProcessId](const TStarted& AItem) {
        return AItem.pid == AProcessId && !AItem.startTime.isEmpty() && StartTimeOf(AItem.pid) == AItem.startTime;
    });
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
