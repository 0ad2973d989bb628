#pragma once

#include <cstdint>
#include <deque>
#include <optional>

namespace corvane::drl {

// Time left for a running initialisation or rebuild, from its progress reports alone.
// The rate comes from the reports of the last minutes by their own ticks, so how often
// the device is asked does not matter; a run that stopped moving, or stopped answering,
// has no estimate rather than a stale one.
class TimeLeftEstimator {
public:
    // A progressing report (0..kPercentFull) of `operation` received at `tickMs`. Another
    // operation, or a lower percentage (a restart), begins afresh.
    void report(uint32_t operation, uint32_t percent, uint32_t tickMs);
    void reset();
    // Whole seconds left as of `tickMs`, or nothing when the reports do not tell.
    std::optional<uint32_t> secondsLeft(uint32_t tickMs) const;

private:
    struct Sample {
        uint64_t at;  // ms since the first report
        uint32_t percent;
    };
    // ms since the first report; ticks are 32-bit and wrap.
    uint64_t since(uint32_t tickMs) const { return last_.at + uint32_t(tickMs - lastTick_); }

    uint32_t operation_ = 0;
    uint32_t lastTick_ = 0;
    Sample last_{0, 0};
    // Reports at which the percentage rose, and the first one; the oldest go once the
    // window is covered without them.
    std::deque<Sample> rises_;
};

}  // namespace corvane::drl
