#pragma once

#include <atomic>
#include <exception>
#include <functional>
#include <mutex>

// The accounts of one pass, up to a number of them at once: each worker (the calling thread is the first, the others
// are threads of their own) takes the next account nobody has taken, so every account is run exactly once and the
// workers stay busy however long each account takes. With one worker the accounts run one after another on the
// calling thread, as they always did.
class TConcurrentAccounts {
public:
    using TStep = std::function<void(int AIndex)>;

    // ACount accounts (indexes 0 to ACount - 1) on at most AWorkers workers.
    TConcurrentAccounts(int ACount, int AWorkers);
    TConcurrentAccounts(const TConcurrentAccounts&) = delete;
    TConcurrentAccounts& operator=(const TConcurrentAccounts&) = delete;

    // Runs AStep for every account until AStop answers true, and returns once every worker has ended. The first
    // exception a step lets out ends the handing out of accounts (the steps running finish) and is raised here.
    void Run(const std::function<bool()>& AStop, const TStep& AStep);

private:
    void Work(const std::function<bool()>& AStop, const TStep& AStep);

    const int FCount;
    const int FWorkers;
    std::atomic<int> FNext {0};
    std::atomic<bool> FFailed {false};
    std::mutex FLock;
    std::exception_ptr FError; // guarded by FLock
};
