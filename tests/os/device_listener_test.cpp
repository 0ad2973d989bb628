#include "os/device_listener.h"

#include <gtest/gtest.h>

#include "os/manual_clock.h"

namespace corvane::os {
namespace {

class Listener : public ::testing::Test {
protected:
    ManualClock clock_;
    ScopedClock use_{clock_};

    // A new listener reports once, at the first poll at least 1 ms after its creation.
    std::shared_ptr<DeviceListener> quietListener(DeviceSource source = DeviceSource::InProcess) {
        auto listener = DeviceListener::create(source);
        EXPECT_FALSE(listener->poll());
        clock_.advance(1);
        EXPECT_TRUE(listener->poll());
        EXPECT_FALSE(listener->poll());
        return listener;
    }
};

// Plugging activity every 500 ms for ten seconds, polled every 10 ms as the worker does; the
// clock wraps before the report. Every live listener hears it, a destroyed one is left alone.
TEST_F(Listener, BurstGivesOneReportASecondAfterItsLastEvent) {
    auto listener = quietListener();
    auto other = quietListener();
    quietListener().reset();
    int reports = 0;
    for (int ms = 0; ms < 10000; ms += 10) {
        if (ms % 500 == 0)
            announceDeviceChange();
        reports += listener->poll();
        clock_.advance(10);
    }
    EXPECT_EQ(reports, 0);
    // The last event came at 9500 ms; it is now 10000 ms.
    clock_.advance(500);
    EXPECT_FALSE(listener->poll());
    clock_.advance(1);
    EXPECT_TRUE(listener->poll());
    EXPECT_FALSE(listener->poll());
    EXPECT_TRUE(other->poll());
}

}  // namespace
}  // namespace corvane::os
