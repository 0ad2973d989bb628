#include "os/clock.h"

#include <atomic>
#include <ctime>
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
