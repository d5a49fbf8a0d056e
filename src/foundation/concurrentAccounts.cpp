#include "foundation/concurrentAccounts.h"

#include "foundation/qhttp.h"

#include <algorithm>
#include <thread>
#include <vector>

namespace {

// Threads joined when it goes, also when starting one of them failed.
class TJoinedThreads {
public:
    TJoinedThreads() = default;
    TJoinedThreads(const TJoinedThreads&) = delete;
    TJoinedThreads& operator=(const TJoinedThreads&) = delete;
    ~TJoinedThreads()
    {
        for (std::thread& thread : FThreads)
            thread.join();
    }
    void Start(std::function<void()> AWork) { FThreads.emplace_back(std::move(AWork)); }

private:
    std::vector<std::thread> FThreads;
};

} // namespace

TConcurrentAccounts::TConcurrentAccounts(int ACount, int AWorkers)
    : FCount(std::max(0, ACount))
    , FWorkers(std::clamp(AWorkers, 1, std::max(1, FCount)))
{
}

void TConcurrentAccounts::Run(const std::function<bool()>& AStop, const TStep& AStep)
{
    {
        TJoinedThreads helpers;
        try {
            for (int worker = 1; worker < FWorkers; ++worker)
                helpers.Start([this, &AStop, &AStep] { Work(AStop, AStep); });
        } catch (...) {
            // Fewer helpers than asked for: the accounts still all run, on the workers that did start.
        }
        Work(AStop, AStep);
    }
    const std::scoped_lock lock(FLock);
    if (FError)
        std::rethrow_exception(FError);
}

void TConcurrentAccounts::Work(const std::function<bool()>& AStop, const TStep& AStep)
{
    // Each worker keeps its connections for all the accounts it takes; they close when it is done.
    const THttpConnectionScope connections;
    while (!FFailed.load() && !AStop()) {
        const int index = FNext.fetch_add(1);
        if (index >= FCount)
            return;
        try {
            AStep(index);
        } catch (...) {
            const std::scoped_lock lock(FLock);
            if (!FError)
                FError = std::current_exception();
            FFailed = true;
        }
    }
}
