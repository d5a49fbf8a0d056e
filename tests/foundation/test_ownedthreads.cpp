#include "foundation/ownedthreads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

TEST(OwnedThreads, WaitAllJoinsEveryThreadIncludingThoseStartedMeanwhile)
{
    std::atomic<int> done {0};
    TOwnedThreads threads;
    for (int i = 0; i < 8; ++i) {
        threads.Start([&threads, &done, i] {
            if (i == 0)
                threads.Start([&done] { ++done; }); // started while the owner may already wait
            ++done;
        });
    }
    threads.WaitAll();
    EXPECT_EQ(done.load(), 9);
    EXPECT_EQ(threads.Running(), 0u);
}

TEST(OwnedThreads, AThrowingThreadEndsQuietly)
{
    std::atomic<bool> after {false};
    TOwnedThreads threads;
    threads.Start([] { throw std::runtime_error("batch failed"); });
    threads.Start([&after] { after = true; });
    threads.WaitAll();
    EXPECT_TRUE(after.load());
}

TEST(OwnedThreads, DestructionWaitsForRunningWork)
{
    std::atomic<int> done {0};
    {
        TOwnedThreads threads;
        for (int i = 0; i < 4; ++i)
            threads.Start([&done] { ++done; });
    }
    EXPECT_EQ(done.load(), 4);
}
