#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "os/clock.h"

namespace corvane::os {

// A clock for tests: time moves only when told, and sleep() blocks until it has moved far
// enough, so that a test steps threads through their sleeps without waiting. Install it
// with ScopedClock.
//
//     ManualClock clock;
//     ScopedClock use(clock);
//     ... start a thread that sleeps on os::sleep ...
//     clock.waitForSleepers(1);   // it is asleep
//     clock.advance(10);          // and wakes up
class ManualClock final : public Clock {
public:
    // Ten seconds before the tick wraps, so that every test crosses the wrap.
    static constexpr uint32_t NearWrap = 0u - 10000u;

    explicit ManualClock(uint32_t start = NearWrap) : now_(start) {}
    // Lets every sleeper run to its deadline and waits until all have left sleep().
    ~ManualClock() override;
    ManualClock(const ManualClock&) = delete;
    ManualClock& operator=(const ManualClock&) = delete;

    uint32_t tick() override;
    // Returns once the clock has advanced by `ms` from now. In auto-advance mode the caller
    // moves the clock to its deadline itself and does not block.
    void sleep(uint32_t ms) override;
    // A sleeper that is woken leaves at once; the time it slept does not pass.
    void sleepUnless(uint32_t ms, const std::atomic<bool>& woken) override;
    // The woken sleepers no longer count as sleeping when this returns.
    void wake() override;

    // Moves time forward and wakes the sleepers whose deadline it reaches. They no longer
    // count as sleeping when this returns.
    void advance(uint32_t ms);
    // Threads blocked in sleep() and not yet released.
    unsigned sleepers() const;
    // Waits (real time, at most `limit`) until at least n threads are blocked in sleep().
    bool waitForSleepers(unsigned n, std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Also releases the threads already blocked, each at its own deadline: use it before
    // stopping threads that sleep on this clock.
    void setAutoAdvance(bool on);

private:
    struct Sleeper {
        uint64_t remaining;
        const std::atomic<bool>* woken = nullptr;
        bool released = false;
    };
    void advanceLocked(uint64_t ms);

    mutable std::mutex m_;
    std::condition_variable changed_;
    uint32_t now_;
    bool auto_ = false;
    std::vector<Sleeper*> sleeping_;  // blocked and not released
    unsigned inside_ = 0;             // still inside sleep(), released or not
};

}  // namespace corvane::os
