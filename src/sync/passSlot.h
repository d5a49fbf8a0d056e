#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

// One pass of a kind at a time. Two passes over the same accounts would download the same new orders before
// either had them recorded, and post them twice.
class TPassSlot {
public:
    // A held slot, given back when it goes.
    class THold {
    public:
        THold() = default;
        explicit THold(TPassSlot& ASlot)
            : FSlot(&ASlot)
        {
        }
        THold(THold&& AOther) noexcept
            : FSlot(std::exchange(AOther.FSlot, nullptr))
        {
        }
        THold& operator=(THold&&) = delete;
        THold(const THold&) = delete;
        THold& operator=(const THold&) = delete;
        ~THold()
        {
            if (FSlot)
                FSlot->Give();
        }
        explicit operator bool() const { return FSlot != nullptr; }

    private:
        TPassSlot* FSlot = nullptr;
    };

    // Empty when another pass holds the slot.
    THold TryTake()
    {
        const std::scoped_lock lock(FLock);
        if (FTaken)
            return {};
        FTaken = true;
        return THold(*this);
    }

    // Waits for the slot; empty when AStop answers true first.
    THold Take(const std::function<bool()>& AStop)
    {
        std::unique_lock lock(FLock);
        while (FTaken) {
            if (AStop())
                return {};
            FFree.wait_for(lock, std::chrono::milliseconds(50));
        }
        FTaken = true;
        return THold(*this);
    }

private:
    void Give()
    {
        {
            const std::scoped_lock lock(FLock);
            FTaken = false;
        }
        FFree.notify_one();
    }

    std::mutex FLock;
    std::condition_variable FFree;
    bool FTaken = false;
};
