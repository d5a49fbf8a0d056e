#include "sync/signin/socketOwner.h"

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QNetworkProxy>
#include <QTemporaryDir>
#include <QUdpSocket>

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>

namespace {

// A process table of files: net/udp and net/udp6 with the given lines, and processes with a parent and socket
// descriptors.
class FakeProc {
public:
    FakeProc()
    {
        QDir(FRoot.path()).mkpath(QStringLiteral("net"));
        Table(QStringLiteral("udp"), {});
        Table(QStringLiteral("udp6"), {});
    }
    void Table(const QString& AName, const QStringList& ALines)
    {
        QFile file(FRoot.filePath(QStringLiteral("net/") + AName));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(
            "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n");
        for (const QString& line : ALines)
            file.write(line.toUtf8() + '\n');
    }
    void Process(qint64 APid, qint64 AParent, const std::vector<quint64>& ASockets)
    {
        const QString dir = QString::number(APid);
        QDir(FRoot.path()).mkpath(dir + QStringLiteral("/fd"));
        QFile stat(FRoot.filePath(dir + QStringLiteral("/stat")));
        ASSERT_TRUE(stat.open(QIODevice::WriteOnly));
        stat.write(QStringLiteral("%1 (a b) S %2 1 1 0\n").arg(APid).arg(AParent).toUtf8());
        int fd = 3;
        for (const quint64 inode : ASockets) {
            ASSERT_TRUE(QFile::link(QStringLiteral("socket:[%1]").arg(inode),
                FRoot.filePath(dir + QStringLiteral("/fd/") + QString::number(fd++))));
        }
    }
    // The kernel's list of the children of one of the process's threads (task/<tid>/children).
    void Children(qint64 APid, const QString& AChildren, qint64 AThread = 0)
    {
        const QString dir = QStringLiteral("%1/task/%2").arg(APid).arg(AThread != 0 ? AThread : APid);
        QDir(FRoot.path()).mkpath(dir);
        QFile file(FRoot.filePath(dir + QStringLiteral("/children")));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(AChildren.toUtf8());
    }
    QString Root() const { return FRoot.path(); }

private:
    QTemporaryDir FRoot;
};

QString UdpLine(const char* ALocal, quint64 AInode)
{
    return QStringLiteral("  12: %1 00000000:0000 07 00000000:00000000 00:00000000 00000000  1000        0 %2 2 "
                          "0000000000000000 0")
        .arg(QLatin1String(ALocal))
        .arg(AInode);
}

struct THolderCase {
    const char* name;
    const char* table; // udp or udp6
    const char* local; // the socket's local address
    qint64 holder; // the process whose descriptor holds the socket; 0: none
    TSocketOwners::THolder expected; // as seen from process 100 (whose child is 101)
};

class SocketHolder : public ::testing::TestWithParam<THolderCase> { };

TEST_P(SocketHolder, IsFoundThroughThePortAndTheDescriptors)
{
    const THolderCase& c = GetParam();
    FakeProc proc;
    proc.Table(QString::fromLatin1(c.table), {UdpLine("0100007F:1F90", 111), UdpLine(c.local, 555)});
    proc.Process(100, 1, c.holder == 100 ? std::vector<quint64> {111, 555} : std::vector<quint64> {111});
    proc.Process(101, 100, c.holder == 101 ? std::vector<quint64> {555} : std::vector<quint64> {});
    proc.Process(200, 1, c.holder == 200 ? std::vector<quint64> {555} : std::vector<quint64> {});
    EXPECT_EQ(TSocketOwners(proc.Root()).HolderOfUdpPort(0xC350, 100), c.expected);
}

INSTANTIATE_TEST_SUITE_P(SignIn, SocketHolder,
    ::testing::Values(THolderCase {"TheBrowser", "udp", "0100007F:C350", 100, TSocketOwners::THolder::Process},
        THolderCase {"ItsChild", "udp", "0100007F:C350", 101, TSocketOwners::THolder::Process},
        THolderCase {"AnotherProcess", "udp", "0100007F:C350", 200, TSocketOwners::THolder::Other},
        THolderCase {"NoReadableHolder", "udp", "0100007F:C350", 0, TSocketOwners::THolder::Other},
        THolderCase {
            "Ipv6Browser", "udp6", "00000000000000000000000001000000:C350", 100, TSocketOwners::THolder::Process},
        THolderCase {"OtherPortOnly", "udp", "0100007F:C351", 200, TSocketOwners::THolder::Nobody}),
    [](const auto& AInfo) { return std::string(AInfo.param.name); });

// Where the kernel lists children, the tree is read from those lists alone (of every thread), not from every process
// of the machine: a grandchild without a stat file of its own is found, a process whose stat names the browser but
// that no list holds is not.
TEST(SocketOwners, ReadTheTreeFromTheKernelsListsOfChildren)
{
    FakeProc proc;
    proc.Process(100, 1, {});
    proc.Process(101, 100, {});
    proc.Process(300, 100, {});
    proc.Children(100, QStringLiteral("101 "));
    proc.Children(100, QStringLiteral("103"), 110); // started from another thread of the browser
    proc.Children(101, QStringLiteral("102 "));
    proc.Children(102, QString());
    proc.Children(103, QString());
    std::vector<qint64> tree = TSocketOwners(proc.Root()).ProcessTree(100);
    std::sort(tree.begin(), tree.end());
    EXPECT_EQ(tree, (std::vector<qint64> {100, 101, 102, 103}));
    // Without the lists, from the parents.
    FakeProc plain;
    plain.Process(100, 1, {});
    plain.Process(101, 100, {});
    EXPECT_EQ(TSocketOwners(plain.Root()).ProcessTree(100), (std::vector<qint64> {100, 101}));
}

// The real table: a socket of this process is found as its own, and as another's from process 1.
TEST(SocketOwnersOfThisMachine, FindTheProcessHoldingALiveSocket)
{
    QUdpSocket socket;
    socket.setProxy(QNetworkProxy::NoProxy);
    ASSERT_TRUE(socket.bind(QHostAddress::LocalHost, 0));
    const TSocketOwners owners;
    EXPECT_EQ(owners.HolderOfUdpPort(socket.localPort(), ::getpid()), TSocketOwners::THolder::Process);
    socket.close();
    EXPECT_EQ(owners.HolderOfUdpPort(socket.localPort(), ::getpid()), TSocketOwners::THolder::Nobody);
}

} // namespace
