#pragma once

#include <QCoreApplication>

#include <chrono>
#include <functional>
#include <thread>

// Generous: a loaded 2-core machine may be slow, but correct code never gets near it.
inline constexpr std::chrono::milliseconds kTestWaitLimit = std::chrono::seconds(20);

// Polls a condition every millisecond until it holds or the limit passes. With AProcessEvents the main thread's
// queued calls run between polls.
inline bool WaitForCondition(const std::function<bool()>& ACondition, std::chrono::milliseconds ALimit = kTestWaitLimit,
    bool AProcessEvents = false)
{
    const auto until = std::chrono::steady_clock::now() + ALimit;
    while (!ACondition()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        if (AProcessEvents)
            QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
