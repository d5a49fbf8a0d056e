#pragma once

#include <atomic>

// Slot for one of the program's process-wide objects. The program entry installs them in its fixed order and
// removes them in reverse; the slot owns nothing. Atomic because workers read it while the entry clears it at
// process end.
template <class T> class TGlobal {
public:
    static T* Get() noexcept { return FInstance.load(std::memory_order_acquire); }
    static void Set(T* instance) noexcept { FInstance.store(instance, std::memory_order_release); }

private:
    static inline std::atomic<T*> FInstance {nullptr};
};

// Installs an object for the lifetime of the scope and removes it again; tests and the program entry use it.
template <class T> class TGlobalScope {
public:
    explicit TGlobalScope(T* instance) noexcept { TGlobal<T>::Set(instance); }
    ~TGlobalScope() { TGlobal<T>::Set(nullptr); }
    TGlobalScope(const TGlobalScope&) = delete;
    TGlobalScope& operator=(const TGlobalScope&) = delete;
};
