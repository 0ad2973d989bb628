#include "os/manual_clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "os/os.h"

namespace corvane::os {
namespace {

TEST(ManualClockTest, SleepersWakeAtTheirDeadlinesAcrossTheWrap) {
    ManualClock clock(0xFFFFFFF0u);
    std::atomic<int> woken{0};
    std::vector<std::thread> threads;
    for (uint32_t ms : {30u, 10u, 20u}) {
        threads.emplace_back([&, ms] {
            clock.sleep(ms);
            woken += int(ms);
        });
    }
    ASSERT_TRUE(clock.waitForSleepers(3));
    clock.advance(9);
    EXPECT_EQ(clock.sleepers(), 3u);
    clock.advance(1);  // past the wrap
    EXPECT_EQ(clock.sleepers(), 2u);
    clock.advance(15);
    EXPECT_EQ(clock.sleepers(), 1u);
    EXPECT_FALSE(clock.waitForSleepers(2, std::chrono::milliseconds(1)));
    clock.advance(5);
    EXPECT_EQ(clock.sleepers(), 0u);
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(woken, 60);
    EXPECT_EQ(clock.tick(), 14u);
}

// The way other layers' tests drive a worker loop: one cycle per step, no real waiting.
TEST(ManualClockTest, StepsALoopOneCycleAtATime) {
    ManualClock clock;
    ScopedClock use(clock);
    std::atomic<int> cycles{0};
    std::atomic<bool> stop{false};
    std::thread loop([&] {
        while (!stop) {
            ++cycles;
            os::sleep(10);
        }
    });
    for (int i = 1; i <= 50; ++i) {
        ASSERT_TRUE(clock.waitForSleepers(1));
        // A released sleeper no longer counts, so this is always the cycle just begun.
        EXPECT_EQ(cycles, i);
        stop = i == 50;
        clock.advance(10);
    }
    loop.join();
    EXPECT_EQ(clock.tick(), ManualClock::NearWrap + 500u);
}

TEST(ManualClockTest, AutoAdvanceReleasesSleepersAtTheirDeadlines) {
    ManualClock clock(1000);
    std::thread a([&] { clock.sleep(100); });
    std::thread b([&] { clock.sleep(300); });
    ASSERT_TRUE(clock.waitForSleepers(2));
    clock.advance(50);
    clock.setAutoAdvance(true);
    a.join();
    b.join();
    EXPECT_EQ(clock.tick(), 1300u);
    clock.sleep(250);
    EXPECT_EQ(clock.tick(), 1550u);
}

}  // namespace
}  // namespace corvane::os
