#include "drl/time_left.h"

#include <algorithm>

#include "dcp/records.h"

namespace corvane::drl {

namespace {
constexpr uint64_t kWindowMs = 15 * 60 * 1000;
constexpr uint64_t kMinSpanMs = 60 * 1000;
constexpr uint64_t kMinStallMs = 2 * 60 * 1000;
constexpr size_t kMinRises = 3;
}  // namespace

void TimeLeftEstimator::reset() {
    operation_ = 0;
    rises_.clear();
}

void TimeLeftEstimator::report(uint32_t operation, uint32_t percent, uint32_t tickMs) {
    if (rises_.empty() || operation != operation_ || percent < last_.percent) {
        rises_.clear();
        operation_ = operation;
        lastTick_ = tickMs;
        last_ = {0, percent};
        rises_.push_back(last_);
        return;
    }
    last_ = {since(tickMs), percent};
    lastTick_ = tickMs;
    if (percent > rises_.back().percent) {
        rises_.push_back(last_);
    }
    // Keep one rise at or before the window's start, so the span covers the whole window.
    while (rises_.size() > kMinRises && last_.at - rises_[1].at >= kWindowMs) {
        rises_.pop_front();
    }
}

std::optional<uint32_t> TimeLeftEstimator::secondsLeft(uint32_t tickMs) const {
    if (rises_.size() < kMinRises) {
        return std::nullopt;
    }
    const Sample& first = rises_.front();
    const Sample& rise = rises_.back();
    const uint64_t span = rise.at - first.at;
    if (span < kMinSpanMs) {
        return std::nullopt;
    }
    // A rise is expected about every span/rises; well past that the run has stalled (or
    // the device no longer answers), and the old rate would only count down a fiction.
    const uint64_t now = since(tickMs);
    const uint64_t stallMs = std::max<uint64_t>(kMinStallMs, 3 * span / (rises_.size() - 1));
    if (now - rise.at > stallMs) {
        return std::nullopt;
    }
    if (rise.percent >= dcp::kPercentFull) {
        return 0;
    }
    const double msPerUnit = double(span) / double(rise.percent - first.percent);
    const double leftMs =
        double(dcp::kPercentFull - rise.percent) * msPerUnit - double(now - rise.at);
    if (leftMs < 0) {
        return std::nullopt;  // overdue: the rate no longer holds
    }
    return uint32_t(leftMs / 1000 + 0.5);
}

}  // namespace corvane::drl
