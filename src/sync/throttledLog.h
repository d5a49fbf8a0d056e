#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>

// Error lines caused by outside input (datagrams anyone on the machine may send), at most one a window: the first
// line of a window is written, the rest are counted and said in one line when the window ends. A flood can
// neither fill the log nor push the program's own history out of it. Main thread.
class TThrottledLog : public QObject {
public:
    explicit TThrottledLog(QString ASummary, std::chrono::milliseconds AWindow = std::chrono::minutes(1));

    void Line(const QString& AText);
    int Suppressed() const { return FSuppressed; }

private:
    void WindowEnded();

    const QString FSummary; // "%1": how many lines were held back
    QTimer FWindow;
    int FSuppressed = 0;
};
