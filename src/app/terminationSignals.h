#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <functional>
#include <memory>

// Turns SIGINT and SIGTERM into a call on the main thread: the handler only writes a byte to a socket pair, and the
// event loop reads it, so nothing unsafe runs inside the handler. One instance per process.
class TTerminationSignals : public QObject {
    Q_OBJECT

public:
    explicit TTerminationSignals(std::function<void(int ASignal)> AOnSignal);
    ~TTerminationSignals() override;
    TTerminationSignals(const TTerminationSignals&) = delete;
    TTerminationSignals& operator=(const TTerminationSignals&) = delete;

private:
    void Read();

    std::function<void(int)> FOnSignal;
    std::unique_ptr<QSocketNotifier> FNotifier;
};
