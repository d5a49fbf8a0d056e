#pragma once

#include "sync/alertMessage.h"

#include <QDateTime>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

// Sends the alerts to the webhook, one after another, on a thread of its own, so that neither the main thread nor a
// pass ever waits for the receiver. Each alert has one deadline for its attempt and at most one more; one that
// still fails is one error line, and the next alert goes on.
class TAlertNotifier {
public:
    static constexpr std::chrono::milliseconds kDeadline {5000};
    using TClock = std::function<QDateTime()>;

    // ACaFile: extra certificates trusted for an https webhook. AClock: the time the signatures carry.
    TAlertNotifier(
        TAlertTarget ATarget, QString ACaFile, std::chrono::milliseconds ADeadline = kDeadline, TClock AClock = {});
    // Sends what is still queued, all of it within one deadline from now; what is left then is cut (one line).
    ~TAlertNotifier();
    TAlertNotifier(const TAlertNotifier&) = delete;
    TAlertNotifier& operator=(const TAlertNotifier&) = delete;

    // Queues the alert; returns at once. Any thread.
    void Post(THealthAlert AAlert);

private:
    using TSteady = std::chrono::steady_clock;

    void Run();
    void Send(const THealthAlert& AAlert);
    // One attempt, ended at ADeadline (or earlier at the close's); empty when it went.
    QString Attempt(const THealthAlert& AAlert, TSteady::time_point ADeadline);
    // The end of an attempt: its own deadline, or the close's when that comes first.
    TSteady::time_point EndOf(TSteady::time_point ADeadline);

    const TAlertTarget FTarget;
    const QString FCaFile;
    const std::chrono::milliseconds FDeadline;
    const TClock FClock;
    std::mutex FLock;
    std::condition_variable FWake;
    std::deque<THealthAlert> FQueue;
    bool FClosing = false;
    TSteady::time_point FCloseBy;
    std::thread FThread; // last: started once everything it uses is there
};
