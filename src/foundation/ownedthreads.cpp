#include "foundation/ownedthreads.h"

void TOwnedThreads::Start(std::function<void()> AWork)
{
    std::list<TEntry> finished;
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread thread([work = std::move(AWork), done] {
        try {
            work();
        } catch (...) {
        }
        done->store(true, std::memory_order_release);
    });
    {
        const std::scoped_lock lock(FCS);
        ReapFinished(finished);
        FThreads.push_back(TEntry {std::move(thread), std::move(done)});
    }
    for (TEntry& entry : finished)
        entry.thread.join();
}

void TOwnedThreads::ReapFinished(std::list<TEntry>& AFinished)
{
    for (auto it = FThreads.begin(); it != FThreads.end();) {
        auto next = std::next(it);
        if (it->done->load(std::memory_order_acquire))
            AFinished.splice(AFinished.end(), FThreads, it);
        it = next;
    }
}

void TOwnedThreads::WaitAll()
{
    for (;;) {
        std::list<TEntry> waiting;
        {
            const std::scoped_lock lock(FCS);
            waiting.swap(FThreads);
        }
        if (waiting.empty())
            return;
        for (TEntry& entry : waiting)
            entry.thread.join();
    }
}

size_t TOwnedThreads::Running() const
{
    const std::scoped_lock lock(FCS);
    size_t running = 0;
    for (const TEntry& entry : FThreads)
        running += entry.done->load(std::memory_order_acquire) ? 0 : 1;
    return running;
}
