#pragma once

#include <atomic>
#include <cstdint>

namespace corvane::os {

// The millisecond tick and sleeping, behind one interface so that tests can step time.
// Ticks are 32-bit and wrap; compare them only by unsigned subtraction.
class Clock {
public:
    virtual ~Clock() = default;
    virtual uint32_t tick() = 0;
    virtual void sleep(uint32_t milliseconds) = 0;
    // sleep(), cut short by wake() once `woken` is set; returns at once when it already is.
    // A clock that cannot be woken sleeps the whole time.
    virtual void sleepUnless(uint32_t milliseconds, const std::atomic<bool>& woken) {
        if (!woken.load()) {
            sleep(milliseconds);
        }
    }
    // Ends the sleepUnless() of every sleeper whose flag is set; set the flag first.
    virtual void wake() {}
};

// CLOCK_MONOTONIC in milliseconds, truncated to 32 bits.
Clock& systemClock();

// The clock that tick() and sleep() use; nullptr restores the system clock. Set it
// before any thread that reads it starts. Returns the clock set before (nullptr for the
// system clock).
Clock* setClock(Clock* clock);
Clock& clock();

// Installs a clock for a scope and puts the previous one back.
class ScopedClock {
public:
    explicit ScopedClock(Clock& c) : previous_(setClock(&c)) {}
    ~ScopedClock() { setClock(previous_); }
    ScopedClock(const ScopedClock&) = delete;
    ScopedClock& operator=(const ScopedClock&) = delete;

private:
    Clock* previous_;
};

}  // namespace corvane::os
