#pragma once

#include <cstdint>

#include "os/clock.h"

namespace corvane::demo {

// Time that runs `factor` times faster than the base clock, so that the demo's periodic
// queries, progress polls and emulated rebuilds happen while someone watches. Ticks
// start at the base clock's tick and keep wrapping at 32 bits.
class ScaledClock final : public os::Clock {
public:
    explicit ScaledClock(unsigned factor, os::Clock& base = os::systemClock());

    uint32_t tick() override;
    void sleep(uint32_t milliseconds) override;
    void sleepUnless(uint32_t milliseconds, const std::atomic<bool>& woken) override;
    void wake() override;
    unsigned factor() const { return factor_; }

private:
    os::Clock& base_;
    const unsigned factor_;
    const uint32_t start_;
};

}  // namespace corvane::demo
