#pragma once

#include "foundation/globals.h"

#include <deque>
#include <memory>
#include <mutex>
#include <utility>

// A call that another thread hands to the main thread. Destroying a call that has not run skips it; an
// implementation releases whoever waits for it either way.
class TMainThreadCall {
public:
    TMainThreadCall() = default;
    virtual ~TMainThreadCall() = default;
    TMainThreadCall(const TMainThreadCall&) = delete;
    TMainThreadCall& operator=(const TMainThreadCall&) = delete;

    virtual void Run() = 0;
};

// The main-thread call bridge: calls posted from any thread run on the main thread's event loop, oldest first.
// The program entry creates it right after the application object, before the job scheduler, and destroys it after
// the scheduler; tests do the same in their fixtures. It is the process-wide instance for its lifetime (one at a
// time). Calls still queued when it goes are skipped.
class TMainThreadCalls {
public:
    TMainThreadCalls();
    ~TMainThreadCalls();
    TMainThreadCalls(const TMainThreadCalls&) = delete;
    TMainThreadCalls& operator=(const TMainThreadCalls&) = delete;

    // From any thread. Without an application object no loop would run the call: it is skipped at once.
    void Post(const void* AOwner, std::unique_ptr<TMainThreadCall> ACall);
    // Skips the queued calls of one owner, from any thread.
    void Skip(const void* AOwner);

private:
    using TEntry = std::pair<const void*, std::unique_ptr<TMainThreadCall>>;

    static void RunOldestOfInstalled();
    void RunOldest();

    std::mutex FLock;
    std::deque<TEntry> FCalls;
};

// The bridge in use; nullptr when none exists.
inline TMainThreadCalls* MainThreadCalls()
{
    return TGlobal<TMainThreadCalls>::Get();
}
