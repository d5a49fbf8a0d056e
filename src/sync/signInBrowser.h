#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <mutex>
#include <vector>

// The sign-in browser processes this program started. A datagram may ask us to end its sender; that is honoured
// only for a process on this list that still runs, so a forged datagram cannot make us kill anything else.
class TBrowserProcesses {
public:
    // Starts AProgram detached in AFolder; false when it could not be started.
    bool Start(const QString& AProgram, const QStringList& AArguments, const QString& AFolder);
    // Terminates the process when it is one of ours and still the same process; true when it was.
    bool TerminateIfOurs(qint64 AProcessId);
    bool IsOurs(qint64 AProcessId) const;

private:
    struct TStarted {
        qint64 pid = 0;
        QByteArray startTime; // tells a reused process id from ours
    };
    static QByteArray StartTimeOf(qint64 AProcessId);
    std::vector<TStarted>::const_iterator Find(qint64 AProcessId) const;

    mutable std::mutex FCS;
    std::vector<TStarted> FStarted;
};
