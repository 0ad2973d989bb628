#include "os/manual_clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "os/os.h"

namespace corvane::os {
namespace {

TEST(ManualClockTest, StepsALoopAndWakesSleepersAtTheirDeadlinesAcrossTheWrap) {
    ManualClock clock;
    ScopedClock use(clock);
    // The way other layers' tests drive a worker loop: one cycle per step, no real waiting.
    std::atomic<int> cycles{0};
    std::thread loop([&] {
        while (++cycles <= 5) {
            os::sleep(10);
        }
    });
    for (int i = 1; i <= 5; ++i) {
        ASSERT_TRUE(clock.waitForSleepers(1));
        // A released sleeper no longer counts, so this is always the cycle just begun.
        EXPECT_EQ(cycles, i);
        clock.advance(10);
    }
    loop.join();
    EXPECT_EQ(os::tick(), ManualClock::NearWrap + 50u);

    clock.advance(10000 - 50 - 16);  // to 16 ms before the wrap
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
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(woken, 100);
    EXPECT_EQ(os::tick(), 24u);
    os::sleep(250);
    EXPECT_EQ(os::tick(), 274u);
}

}  // namespace
}  // namespace corvane::os
