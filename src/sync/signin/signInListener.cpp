#include "sync/signin/signInListener.h"

#include <QNetworkDatagram>
#include <QNetworkProxy>
#include <QRandomGenerator>
#include <QTcpServer>

namespace {

constexpr int kBindAttempts = 64;

} // namespace

TSignInListener::TSignInListener(TOnDatagram AOnDatagram, QObject* AParent)
    : QObject(AParent)
    , FOnDatagram(std::move(AOnDatagram))
{
}

TSignInListener::~TSignInListener()
{
    Close();
}

quint16 TSignInListener::DrawPort()
{
    return static_cast<quint16>(FirstPort + QRandomGenerator::global()->bounded(LastPort - FirstPort + 1));
}

bool TSignInListener::PortInUse(quint16 APort)
{
    QTcpServer probe;
    // Loopback and local ports need no proxy; asking the system for one starts a resolver thread for nothing.
    probe.setProxy(QNetworkProxy::NoProxy);
    if (probe.listen(QHostAddress::AnyIPv4, APort))
        return false;
    return probe.serverError() == QAbstractSocket::AddressInUseError;
}

bool TSignInListener::Open()
{
    Close();
    for (int attempt = 0; attempt < kBindAttempts; ++attempt) {
        const quint16 port = DrawPort();
        if (!PortInUse(port) && Bind(port))
            return true;
    }
    return false;
}

bool TSignInListener::Bind(quint16 APort)
{
    auto v4 = std::make_unique<QUdpSocket>();
    v4->setProxy(QNetworkProxy::NoProxy);
    if (!v4->bind(QHostAddress::LocalHost, APort))
        return false;
    FSockets.push_back(std::move(v4));
    // IPv6 is a bonus: a machine without it still gets the IPv4 listener.
    auto v6 = std::make_unique<QUdpSocket>();
    v6->setProxy(QNetworkProxy::NoProxy);
    if (v6->bind(QHostAddress::LocalHostIPv6, APort))
        FSockets.push_back(std::move(v6));
    for (const auto& socket : FSockets) {
        QUdpSocket* raw = socket.get();
        connect(raw, &QUdpSocket::readyRead, this, [this, raw] { ReadPending(*raw); });
    }
    FPort = APort;
    return true;
}

void TSignInListener::Close()
{
    FSockets.clear();
    FPort = 0;
}

void TSignInListener::ReadPending(QUdpSocket& ASocket)
{
    while (ASocket.hasPendingDatagrams()) {
        const qint64 size = ASocket.pendingDatagramSize();
        if (size > MaxDatagram) {
            // Dropped whole: reading a truncated prefix could still parse as something it is not.
            ASocket.readDatagram(nullptr, 0);
            continue;
        }
        const QNetworkDatagram datagram = ASocket.receiveDatagram(MaxDatagram);
        if (!datagram.isValid())
            continue;
        FOnDatagram(datagram.data(), static_cast<quint16>(datagram.senderPort()));
        if (FSockets.empty())
            return; // closed from inside the handler
    }
}
