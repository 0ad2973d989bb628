#include "os/device_listener.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

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
        if (ms % 500 == 0) {
            announceDeviceChange();
        }
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

TEST_F(Listener, SystemMonitorHearsBlockDeviceEvents) {
    auto listener = quietListener(DeviceSource::Automatic);
    if (listener->source() == DeviceSource::InProcess) {
        GTEST_SKIP() << "no netlink uevent socket here; in-process events only";
    }
    const bool udevRuns = access("/run/udev/control", F_OK) == 0;
    EXPECT_EQ(listener->source(), udevRuns ? DeviceSource::Udev : DeviceSource::Kernel);

    // A synthetic "change" uevent on a loop device, as `udevadm trigger` sends; needs root.
    const int fd = open("/sys/block/loop0/uevent", O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        GTEST_SKIP() << "cannot raise a uevent here (needs root and a loop device)";
    }
    const bool sent = write(fd, "change", 6) == 6;
    close(fd);
    ASSERT_TRUE(sent);
    // The event travels through the kernel (and udevd) in real time; the quiet second is
    // stepped on the test clock.
    bool reported = false;
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
         !reported && std::chrono::steady_clock::now() < end;) {
        listener->poll();
        clock_.advance(1001);
        reported = listener->poll();
        std::this_thread::sleep_for(std::chrono::milliseconds(reported ? 0 : 2));
    }
    EXPECT_TRUE(reported);
}

}  // namespace
}  // namespace corvane::os
