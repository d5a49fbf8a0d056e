#pragma once

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

// Threads started for one-off work that their owner must be able to wait for: the owner joins them all before
// anything they use goes away. Finished threads are joined as new ones start, so a long run does not pile them up.
class TOwnedThreads {
public:
    TOwnedThreads() = default;
    ~TOwnedThreads() { WaitAll(); }
    TOwnedThreads(const TOwnedThreads&) = delete;
    TOwnedThreads& operator=(const TOwnedThreads&) = delete;

    // Runs AWork on a new thread. An exception AWork lets out is dropped there: it must not end the process.
    void Start(std::function<void()> AWork);
    // Joins every thread started so far, including those started while it waits.
    void WaitAll();
    size_t Running() const;

private:
    struct TEntry {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    void ReapFinished(std::list<TEntry>& AFinished);

    mutable std::mutex FCS;
    std::list<TEntry> FThreads;
};
