#include "os/manual_clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "os/os.h"

namespace corvane::os {
namespace {

// Sleepers wake at their own deadlines across the wrap of the tick (the stepping of a
// worker loop is what every core test does).
TEST(ManualClockTest, WakesSleepersAtTheirDeadlinesAcrossTheWrap) {
    ManualClock clock;
    ScopedClock use(clock);
    EXPECT_EQ(os::tick(), ManualClock::NearWrap);
    clock.advance(10000 - 16);  // to 16 ms before the wrap
    std::atomic<int> woken{0};
    std::vector<std::thread> threads;
    for (uint32_t ms : {40u, 10u, 20u, 30u}) {
        threads.emplace_back([&, ms] {
            clock.sleep(ms);
            woken += int(ms);
        });
    }
    ASSERT_TRUE(clock.waitForSleepers(4));
    clock.advance(9);
    EXPECT_EQ(clock.sleepers(), 4u);
    clock.advance(1);  // past the wrap
    EXPECT_EQ(clock.sleepers(), 3u);
    clock.advance(15);
    EXPECT_EQ(clock.sleepers(), 2u);
    EXPECT_FALSE(clock.waitForSleepers(3, std::chrono::milliseconds(1)));
    // Auto-advance releases the rest, each at its own deadline, and sleeps without blocking.
    clock.setAutoAdvance(true);
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(woken, 100);
    EXPECT_EQ(os::tick(), 24u);
    os::sleep(250);
    EXPECT_EQ(os::tick(), 274u);
}

}  // namespace
}  // namespace corvane::os
