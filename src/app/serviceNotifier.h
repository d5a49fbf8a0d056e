#pragma once

#include <QObject>
#include <QTimer>

// Tells a service manager (systemd's Type=notify) how the headless run is doing: ready, alive, stopping. Without a
// NOTIFY_SOCKET in the environment, or in a build without libsystemd, it does nothing at all.
class TServiceNotifier : public QObject {
    Q_OBJECT

public:
    TServiceNotifier();
    TServiceNotifier(const TServiceNotifier&) = delete;
    TServiceNotifier& operator=(const TServiceNotifier&) = delete;

    void Ready();
    void Stopping();

private:
    void Send(const char* AState);

    // Runs on the main thread's event loop, so a loop that hangs stops the pings and the manager restarts the service.
    QTimer FWatchdog;
    bool FStopping = false;
};
