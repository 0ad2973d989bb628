#include "os/manual_clock.h"

#include <algorithm>

namespace corvane::os {

ManualClock::~ManualClock() {
    std::unique_lock<std::mutex> lock(m_);
    auto_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return inside_ == 0; });
}

uint32_t ManualClock::tick() {
    std::lock_guard<std::mutex> lock(m_);
    return now_;
}

void ManualClock::sleep(uint32_t ms) {
    static const std::atomic<bool> never{false};
    sleepUnless(ms, never);
}

void ManualClock::sleepUnless(uint32_t ms, const std::atomic<bool>& woken) {
    if (ms == 0 || woken.load()) {
        return;
    }
    std::unique_lock<std::mutex> lock(m_);
    if (woken.load()) {
        return;
    }
    if (auto_) {
        advanceLocked(ms);
        return;
    }
    Sleeper self{ms, &woken};
    sleeping_.push_back(&self);
    ++inside_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return self.released || auto_; });
    if (!self.released && !woken.load()) {
        advanceLocked(self.remaining);
    }
    --inside_;
    changed_.notify_all();
}

void ManualClock::advance(uint32_t ms) {
    std::lock_guard<std::mutex> lock(m_);
    advanceLocked(ms);
}

void ManualClock::advanceLocked(uint64_t ms) {
    now_ += uint32_t(ms);
    // Remaining time per sleeper rather than deadlines: tick values wrap.
    for (Sleeper* s : sleeping_) {
        s->remaining -= std::min(s->remaining, ms);
        s->released = s->remaining == 0;
    }
    sleeping_.erase(std::remove_if(sleeping_.begin(), sleeping_.end(),
                                   [](const Sleeper* s) { return s->released; }),
                    sleeping_.end());
    changed_.notify_all();
}

void ManualClock::wake() {
    std::lock_guard<std::mutex> lock(m_);
    for (Sleeper* s : sleeping_) {
        s->released = s->released || s->woken->load();
    }
    sleeping_.erase(std::remove_if(sleeping_.begin(), sleeping_.end(),
                                   [](const Sleeper* s) { return s->released; }),
                    sleeping_.end());
    changed_.notify_all();
}

unsigned ManualClock::sleepers() const {
    std::lock_guard<std::mutex> lock(m_);
    return unsigned(sleeping_.size());
}

bool ManualClock::waitForSleepers(unsigned n, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(m_);
    return changed_.wait_for(lock, limit, [&] { return sleeping_.size() >= n; });
}

void ManualClock::setAutoAdvance(bool on) {
    std::lock_guard<std::mutex> lock(m_);
    auto_ = on;
    changed_.notify_all();
}

}  // namespace corvane::os
