#pragma once

#include <QString>
#include <QtGlobal>

#include <optional>
#include <vector>

// Who holds a local UDP socket, read from the process table: the sockets bound to a port (net/udp and net/udp6,
// with their inodes) and the socket inodes each process holds (<pid>/fd links "socket:[inode]"). The table's root is
// "/proc" for the program and a folder of files for tests.
class TSocketOwners {
public:
    enum class THolder {
        Process, // the process or one of its descendants
        Other, // only some other process (or one whose descriptors we may not read)
        Nobody, // no socket is bound to the port any more
    };

    explicit TSocketOwners(QString AProcRoot = QStringLiteral("/proc"));

    // Who holds the UDP socket(s) bound locally to APort, as seen from process AProcessId.
    THolder HolderOfUdpPort(quint16 APort, qint64 AProcessId) const;

    // The inodes of the UDP sockets bound locally to APort.
    std::vector<quint64> UdpSocketsOnPort(quint16 APort) const;
    // The socket inodes process AProcessId holds; empty when its descriptors cannot be read.
    std::vector<quint64> SocketsOf(qint64 AProcessId) const;
    // AProcessId and every process below it: from the kernel's lists of children, which costs a file per process
    // of the tree (the check runs on the main thread); where those are missing, from every process's parent.
    std::vector<qint64> ProcessTree(qint64 AProcessId) const;

private:
    qint64 ParentOf(const QString& AProcessId) const;
    // The children the kernel lists for the process; none when it lists none for it (no such file).
    std::optional<std::vector<qint64>> ChildrenOf(qint64 AProcessId) const;

    const QString FRoot;
};
