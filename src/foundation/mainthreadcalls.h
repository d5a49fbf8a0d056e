#pragma once

#include "foundation/globals.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

class QObject;

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
// The program entry creates it on the main thread right after the application object, before the job scheduler,
// and destroys it there after the scheduler; tests do the same in their fixtures. It is the process-wide instance
// for its lifetime (one at a time). Calls still queued when it goes are skipped.
//
// The calls wait in the bridge's own queue, under its own lock; Qt's event queue carries only a wake-up, one for
// every batch of calls posted while none was on its way, which Qt allocates and frees itself. So the hand-over from
// the posting thread to the main thread is ordered by a lock that ThreadSanitizer sees (Qt's own locks it cannot,
// since Debian's Qt is not instrumented), and a burst of calls costs one event.
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
    // On the main thread: runs the calls queued now, oldest first, for a main thread that waits for something a
    // call may do. Calls posted meanwhile wait for their own wake-up.
    void RunQueued();

private:
    struct TEntry {
        const void* owner;
        std::uint64_t number; // in the order of posting
        std::unique_ptr<TMainThreadCall> call;
    };
    class TWaker;

    void Wake();

    const std::unique_ptr<QObject> FWaker; // on the main thread; its wake-ups run RunQueued
    std::mutex FLock;
    std::deque<TEntry> FCalls; // under FLock
    std::uint64_t FPosted = 0; // under FLock: the number of the last call posted
    bool FWakePending = false; // under FLock: a wake-up is on its way and will run every call queued now
};

// The bridge in use; nullptr when none exists.
inline TMainThreadCalls* MainThreadCalls()
{
    return TGlobal<TMainThreadCalls>::Get();
}

// Hands a call to the main thread through the process-wide bridge rather than as a functor in Qt's event queue: the
// bridge hands it over under a lock of ours, and an owner that goes skips whatever of its calls is still queued
// (SkipMainThreadCalls). Without a bridge the call is dropped.
void RunOnMainFor(const void* AOwner, std::function<void()> ACall);
void SkipMainThreadCalls(const void* AOwner);
