#include "foundation/mainthread.h"

#include <QCoreApplication>
#include <QThread>

bool IsMainThread()
{
    const QCoreApplication* app = QCoreApplication::instance();
    return app != nullptr && QThread::currentThread() == app->thread();
}
