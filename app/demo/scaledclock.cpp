#include "app/demo/scaledclock.h"

namespace corvane::demo {

ScaledClock::ScaledClock(unsigned factor, os::Clock& base)
    : base_(base), factor_(factor ? factor : 1), start_(base.tick()) {}

uint32_t ScaledClock::tick() {
    const uint32_t elapsed = base_.tick() - start_;
    return start_ + elapsed * factor_;
}

void ScaledClock::sleep(uint32_t milliseconds) {
    // Rounded up, so that a sleep never ends before its scaled deadline.
    base_.sleep(uint32_t((uint64_t(milliseconds) + factor_ - 1) / factor_));
}

void ScaledClock::sleepUnless(uint32_t milliseconds, const std::atomic<bool>& woken) {
    base_.sleepUnless(uint32_t((uint64_t(milliseconds) + factor_ - 1) / factor_), woken);
}

void ScaledClock::wake() {
    base_.wake();
}

}  // namespace corvane::demo
