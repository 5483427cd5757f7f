// The steady clock and the counter conversion it is built on.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <thread>

TEST(Clock, CounterConversionIsExactForCommonFrequencies)
{
    EXPECT_EQ(CounterToNs(0, 10000000), 0);
    EXPECT_EQ(CounterToNs(12345, 10000000), 1234500);
    EXPECT_EQ(CounterToNs(24000000LL * 3 + 12, 24000000), 3000000000LL + 500);
    EXPECT_EQ(CounterToNs(3, 24000000), 125); // 3 ticks of 41.67 ns
    EXPECT_EQ(CounterToNs(1000, 1000000000), 1000);
    // Odd frequency: whole seconds plus the rounded-down remainder.
    EXPECT_EQ(CounterToNs(3579545LL * 2 + 1, 3579545), 2000000000LL + 279);
}

TEST(Clock, LargeCounterReadingsDoNotOverflow)
{
    // About 30 years of uptime at 24 MHz and at an odd 3.58 MHz: a naive
    // counter * 1e9 / frequency would overflow 64 bits long before this.
    const int64_t years30 = 30LL * 365 * 24 * 3600;
    EXPECT_EQ(CounterToNs(years30 * 24000000, 24000000), years30 * 1000000000);
    EXPECT_EQ(CounterToNs(years30 * 3579545, 3579545), years30 * 1000000000);
}

TEST(Clock, SteadyNowAdvancesMonotonically)
{
    int64_t last = SteadyNowNs();
    const int64_t start = last;
    for (int i = 0; i < 10000; i++) {
        const int64_t now = SteadyNowNs();
        ASSERT_GE(now, last);
        last = now;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const int64_t slept = SteadyNowNs() - start;
    EXPECT_GE(slept, 15000000);   // at least ~20 ms, allowing for coarse timers
    EXPECT_LT(slept, 5000000000); // and in nanoseconds, not some larger unit
}

TEST(Paths, DataPathIsUnderTheScriptsDataFolder)
{
    EXPECT_EQ(DataPath("Kestrel_role.json"), "reframework/data/Kestrel_role.json");
}
