#include "sync/throttledLog.h"

#include "log/QLog.h"

TThrottledLog::TThrottledLog(QString ASummary, std::chrono::milliseconds AWindow)
    : FSummary(std::move(ASummary))
{
    FWindow.setSingleShot(true);
    FWindow.setInterval(AWindow);
    connect(&FWindow, &QTimer::timeout, this, &TThrottledLog::WindowEnded);
}

void TThrottledLog::Line(const QString& AText)
{
    if (FWindow.isActive()) {
        ++FSuppressed;
        return;
    }
    LogLine(llError, AText);
    FWindow.start();
}

void TThrottledLog::WindowEnded()
{
    if (FSuppressed == 0)
        return;
    LogLine(llError, FSummary.arg(FSuppressed));
    FSuppressed = 0;
    // The summary opens a window of its own, so a flood that goes on is said once a window.
    FWindow.start();
}
