#include "sync/signin/socketOwner.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <optional>

namespace {

// Columns of a net/udp line: "sl local_address rem_address st queues tr retrnsmt uid timeout inode ...".
constexpr int kLocalAddressField = 1;
constexpr int kInodeField = 9;

} // namespace

TSocketOwners::TSocketOwners(QString AProcRoot)
    : FRoot(std::move(AProcRoot))
{
}

std::vector<quint64> TSocketOwners::UdpSocketsOnPort(quint16 APort) const
{
    std::vector<quint64> inodes;
    for (const QString& table : {QStringLiteral("/net/udp"), QStringLiteral("/net/udp6")}) {
        QFile file(FRoot + table);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        (void)file.readLine(); // the column heads
        while (!file.atEnd()) {
            const QList<QByteArray> fields = file.readLine().simplified().split(' ');
            if (fields.size() <= kInodeField)
                continue;
            const QByteArray& local = fields.at(kLocalAddressField);
            bool ok = false;
            const uint port = local.mid(local.lastIndexOf(':') + 1).toUInt(&ok, 16);
            const quint64 inode = fields.at(kInodeField).toULongLong();
            if (ok && port == APort && inode != 0)
                inodes.push_back(inode);
        }
    }
    return inodes;
}

std::vector<quint64> TSocketOwners::SocketsOf(qint64 AProcessId) const
{
    std::vector<quint64> inodes;
    const QDir fds(FRoot + QStringLiteral("/%1/fd").arg(AProcessId));
    for (const QFileInfo& fd : fds.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot)) {
        // A socket's link names no file: "socket:[inode]", which the path's last part holds.
        const QString name = QFileInfo(fd.symLinkTarget()).fileName();
        if (name.startsWith(u"socket:[") && name.endsWith(u']'))
            inodes.push_back(name.mid(8, name.size() - 9).toULongLong());
    }
    return inodes;
}

qint64 TSocketOwners::ParentOf(const QString& AProcessId) const
{
    QFile stat(FRoot + u'/' + AProcessId + QStringLiteral("/stat"));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    const qsizetype close = text.lastIndexOf(')');
    if (close < 0)
        return 0;
    const QList<QByteArray> fields = text.mid(close + 2).split(' ');
    return fields.size() > 1 ? fields.at(1).toLongLong() : 0; // state, then the parent's id
}

std::optional<std::vector<qint64>> TSocketOwners::ChildrenOf(qint64 AProcessId) const
{
    // The kernel lists the children of each thread apart: a browser starts its helpers from several.
    const QDir tasks(FRoot + QStringLiteral("/%1/task").arg(AProcessId));
    const QStringList threads = tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    std::vector<qint64> pids;
    bool listed = false;
    for (const QString& thread : threads) {
        QFile children(tasks.filePath(thread + QStringLiteral("/children")));
        if (!children.open(QIODevice::ReadOnly))
            continue;
        listed = true;
        for (const QByteArray& field : children.readAll().simplified().split(' ')) {
            bool ok = false;
            const qint64 pid = field.toLongLong(&ok);
            if (ok)
                pids.push_back(pid);
        }
    }
    if (!listed)
        return std::nullopt;
    return pids;
}

std::vector<qint64> TSocketOwners::ProcessTree(qint64 AProcessId) const
{
    // Read from the process's own children where the kernel lists them: a few files, however many processes run.
    std::vector<qint64> tree {AProcessId};
    bool listed = true;
    for (size_t next = 0; listed && next < tree.size(); ++next) {
        const std::optional<std::vector<qint64>> children = ChildrenOf(tree[next]);
        listed = children.has_value();
        for (const qint64 pid : children.value_or(std::vector<qint64>())) {
            if (std::find(tree.begin(), tree.end(), pid) == tree.end())
                tree.push_back(pid);
        }
    }
    if (listed)
        return tree;
    // Otherwise from every process's parent.
    std::vector<std::pair<qint64, qint64>> parents; // process, parent
    const QStringList entries = QDir(FRoot).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        bool ok = false;
        const qint64 pid = entry.toLongLong(&ok);
        if (ok)
            parents.emplace_back(pid, ParentOf(entry));
    }
    tree = {AProcessId};
    for (size_t next = 0; next < tree.size(); ++next) {
        for (const auto& [pid, parent] : parents) {
            if (parent == tree[next] && std::find(tree.begin(), tree.end(), pid) == tree.end())
                tree.push_back(pid);
        }
    }
    return tree;
}

TSocketOwners::THolder TSocketOwners::HolderOfUdpPort(quint16 APort, qint64 AProcessId) const
{
    const std::vector<quint64> bound = UdpSocketsOnPort(APort);
    if (bound.empty())
        return THolder::Nobody;
    for (const qint64 pid : ProcessTree(AProcessId)) {
        for (const quint64 inode : SocketsOf(pid)) {
            if (std::find(bound.begin(), bound.end(), inode) != bound.end())
                return THolder::Process;
        }
    }
    // The sender may have closed its socket while its descriptors were read: only a socket that is still bound
    // now, and so was while none of the process's descriptors held it, belongs to another process.
    for (const quint64 inode : UdpSocketsOnPort(APort)) {
        if (std::find(bound.begin(), bound.end(), inode) != bound.end())
            return THolder::Other;
    }
    return THolder::Nobody;
}
