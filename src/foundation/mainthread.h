#pragma once

#include <QCoreApplication>
#include <QThread>

// True on the thread of the application object; false when there is none, since then no thread runs the main
// loop.
inline bool IsMainThread()
{
    const QCoreApplication* app = QCoreApplication::instance();
    return app != nullptr && QThread::currentThread() == app->thread();
}
