#include "foundation/mainthreadcalls.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>

#include <utility>
#include <vector>

// Receives the bridge's wake-ups. The invocation by name makes Qt allocate, queue and free the event in its own
// library: nothing of ours crosses the threads through Qt's queue.
class TMainThreadCalls::TWaker : public QObject {
    Q_OBJECT
public:
    explicit TWaker(TMainThreadCalls& ACalls)
        : FCalls(ACalls)
    {
    }

    Q_INVOKABLE void Woken() { FCalls.RunQueued(); }

private:
    TMainThreadCalls& FCalls;
};

TMainThreadCalls::TMainThreadCalls()
    : FWaker(std::make_unique<TWaker>(*this))
{
    Q_ASSERT(MainThreadCalls() == nullptr);
    TGlobal<TMainThreadCalls>::Set(this);
}

TMainThreadCalls::~TMainThreadCalls()
{
    TGlobal<TMainThreadCalls>::Set(nullptr);
    std::deque<TEntry> left;
    {
        std::scoped_lock lock(FLock);
        left.swap(FCalls);
    }
    left.clear(); // skipped outside the lock: a skipped call may wake a thread that posts again
    // A wake-up still queued goes with its receiver, the last member to go.
}

void TMainThreadCalls::Post(const void* AOwner, std::unique_ptr<TMainThreadCall> ACall)
{
    if (!QCoreApplication::instance())
        return;
    bool wake = false;
    {
        std::scoped_lock lock(FLock);
        FCalls.push_back({AOwner, ++FPosted, std::move(ACall)});
        wake = !std::exchange(FWakePending, true);
    }
    if (wake)
        Wake();
}

void TMainThreadCalls::Wake()
{
    QMetaObject::invokeMethod(FWaker.get(), "Woken", Qt::QueuedConnection);
}

void TMainThreadCalls::Skip(const void* AOwner)
{
    std::vector<std::unique_ptr<TMainThreadCall>> taken;
    {
        std::scoped_lock lock(FLock);
        for (auto it = FCalls.begin(); it != FCalls.end();) {
            if (it->owner == AOwner) {
                taken.push_back(std::move(it->call));
                it = FCalls.erase(it);
            } else {
                ++it;
            }
        }
    }
}

void TMainThreadCalls::RunQueued()
{
    // Should a call throw, the calls after it get a wake-up of their own instead of waiting for the next post.
    struct TRearm {
        TMainThreadCalls& calls;
        ~TRearm()
        {
            bool wake = false;
            {
                std::scoped_lock lock(calls.FLock);
                wake = !calls.FCalls.empty() && !std::exchange(calls.FWakePending, true);
            }
            if (wake)
                calls.Wake();
        }
    } const rearm {*this};
    std::uint64_t last = 0;
    {
        std::scoped_lock lock(FLock);
        FWakePending = false;
        last = FPosted;
    }
    // One at a time, each taken under the lock: a call may skip calls after it (Skip) or post more, which wait for
    // the next turn.
    while (true) {
        std::unique_ptr<TMainThreadCall> call;
        {
            std::scoped_lock lock(FLock);
            if (FCalls.empty() || FCalls.front().number > last)
                return;
            call = std::move(FCalls.front().call);
            FCalls.pop_front();
        }
        call->Run();
    }
}

namespace {

class TClosureCall : public TMainThreadCall {
public:
    explicit TClosureCall(std::function<void()> ACall)
        : FCall(std::move(ACall))
    {
    }
    void Run() override { FCall(); }

private:
    std::function<void()> FCall;
};

} // namespace

void RunOnMainFor(const void* AOwner, std::function<void()> ACall)
{
    if (TMainThreadCalls* calls = MainThreadCalls())
        calls->Post(AOwner, std::make_unique<TClosureCall>(std::move(ACall)));
}

void SkipMainThreadCalls(const void* AOwner)
{
    if (TMainThreadCalls* calls = MainThreadCalls())
        calls->Skip(AOwner);
}

#include "mainthreadcalls.moc"
