#include "foundation/cpuload.h"

#include "testwait.h"

#include <gtest/gtest.h>

#include <chrono>

TEST(CpuLoad, FirstSampleHasNoBaseThenPercentages)
{
    TCpuLoad load;
    EXPECT_EQ(load.Sample(), -1);
    // The system counters advance in clock ticks: sample until one has passed.
    int percent = -1;
    ASSERT_TRUE(WaitForCondition([&] {
        percent = load.Sample();
        return percent != -1;
    }));
    EXPECT_GE(percent, 0);
    EXPECT_LE(percent, 100);
}
