#pragma once

#include "foundation/qworker.h"
#include "sessions/alimmTokenMgr.h"

#include <QString>

#include <functional>

using TStopCheck = std::function<bool()>;

// The title of every message box the controller's parts open.
inline const QString kMessageTitle = QStringLiteral("提示");

// A job's stop request as the check that the network layers poll.
inline TStopCheck StopCheckOf(const TQJob* AJob)
{
    return [AJob] { return AJob->IsStopRequested(); };
}

// An account has a web session when it holds cookies; the refund report and the keep-alive need one.
bool HasWebSession(const TAlimmTokenRecord& AAccount);

// Hands a call to the main thread through the scheduler's bridge rather than as a functor in Qt's event queue: the
// bridge hands it over under a lock of ours, and an owner that goes skips whatever of its calls is still queued
// (SkipMainThreadCalls). Without a bridge the call is dropped.
void RunOnMainFor(const void* AOwner, std::function<void()> ACall);
void SkipMainThreadCalls(const void* AOwner);
