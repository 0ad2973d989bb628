#include "os/clock.h"

#include <atomic>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <thread>

namespace corvane::os {
namespace {

class SystemClock final : public Clock {
public:
    uint32_t tick() override {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        const uint64_t ms = uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u;
        return uint32_t(ms);
    }
    void sleep(uint32_t milliseconds) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
    void sleepUnless(uint32_t milliseconds, const std::atomic<bool>& woken) override {
        std::unique_lock<std::mutex> lock(m_);
        woken_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                        [&] { return woken.load(); });
    }
    void wake() override {
        std::lock_guard<std::mutex> lock(m_);
        woken_.notify_all();
    }

private:
    std::mutex m_;
    std::condition_variable woken_;
};

std::atomic<Clock*> current{nullptr};

}  // namespace

Clock& systemClock() {
    static SystemClock instance;
    return instance;
}

Clock* setClock(Clock* c) {
    return current.exchange(c);
}

Clock& clock() {
    Clock* c = current.load();
    return c ? *c : systemClock();
}

}  // namespace corvane::os
