#include "foundation/mainthreadcalls.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <vector>

TMainThreadCalls::TMainThreadCalls()
{
    Q_ASSERT(MainThreadCalls() == nullptr);
    TGlobal<TMainThreadCalls>::Set(this);
}

TMainThreadCalls::~TMainThreadCalls()
{
    // Invocations still in the event queue find no bridge and do nothing.
    TGlobal<TMainThreadCalls>::Set(nullptr);
    std::deque<TEntry> left;
    {
        std::scoped_lock lock(FLock);
        left.swap(FCalls);
    }
    left.clear(); // skipped outside the lock: a skipped call may wake a thread that posts again
}

void TMainThreadCalls::Post(const void* AOwner, std::unique_ptr<TMainThreadCall> ACall)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (!app)
        return;
    {
        std::scoped_lock lock(FLock);
        FCalls.emplace_back(AOwner, std::move(ACall));
    }
    // The invocation carries nothing (not even a function pointer) and looks the call up under our lock: what
    // passes through Qt's event queue is hidden from ThreadSanitizer, the lock is not.
    QMetaObject::invokeMethod(
        app, [] { RunOldestOfInstalled(); }, Qt::QueuedConnection);
}

void TMainThreadCalls::Skip(const void* AOwner)
{
    std::vector<std::unique_ptr<TMainThreadCall>> taken;
    {
        std::scoped_lock lock(FLock);
        for (auto it = FCalls.begin(); it != FCalls.end();) {
            if (it->first == AOwner) {
                taken.push_back(std::move(it->second));
                it = FCalls.erase(it);
            } else {
                ++it;
            }
        }
    }
}

void TMainThreadCalls::RunOldestOfInstalled()
{
    if (TMainThreadCalls* calls = MainThreadCalls())
        calls->RunOldest();
}

void TMainThreadCalls::RunOldest()
{
    std::unique_ptr<TMainThreadCall> call;
    {
        std::scoped_lock lock(FLock);
        if (FCalls.empty())
            return;
        call = std::move(FCalls.front().second);
        FCalls.pop_front();
    }
    call->Run();
}
