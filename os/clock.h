#pragma once

#include <cstdint>

namespace corvane::os {

// The millisecond tick and sleeping, behind one interface so that tests can step time.
// Ticks are 32-bit and wrap; compare them only by unsigned subtraction.
class Clock {
public:
    virtual ~Clock() = default;
    virtual uint32_t tick() = 0;
    virtual void sleep(uint32_t milliseconds) = 0;
};

// CLOCK_MONOTONIC in milliseconds, truncated to 32 bits.
Clock& systemClock();

// The clock that tick() and sleep() use; nullptr restores the system clock. Set it
// before any thread that reads it starts.
void setClock(Clock* clock);
Clock& clock();

}  // namespace corvane::os
