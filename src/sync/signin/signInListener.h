#pragma once

#include <QByteArray>
#include <QObject>
#include <QUdpSocket>

#include <functional>
#include <memory>
#include <vector>

// The listener for the sign-in browser's datagrams. It binds the loopback addresses only (127.0.0.1, and ::1
// where the stack has IPv6): the browser reports from this machine, and nobody else may hand us cookies.
class TSignInListener : public QObject {
    Q_OBJECT

public:
    static constexpr qsizetype MaxDatagram = 8192;
    static constexpr quint16 FirstPort = 6000;
    static constexpr quint16 LastPort = 9998;

    // The datagram and the sender's port.
    using TOnDatagram = std::function<void(const QByteArray&, quint16)>;

    explicit TSignInListener(TOnDatagram AOnDatagram, QObject* AParent = nullptr);
    ~TSignInListener() override;

    // Draws free ports until one can be bound; false when none could (the rest of the program runs without it).
    bool Open();
    void Close();
    bool IsOpen() const { return !FSockets.empty(); }
    quint16 Port() const { return FPort; }

    // A port from FirstPort to LastPort inclusive.
    static quint16 DrawPort();
    // In use only when a TCP bind on every local IPv4 address fails for that reason; any other outcome is free.
    static bool PortInUse(quint16 APort);

private:
    bool Bind(quint16 APort);
    void ReadPending(QUdpSocket& ASocket);

    TOnDatagram FOnDatagram;
    std::vector<std::unique_ptr<QUdpSocket>> FSockets;
    quint16 FPort = 0;
};
