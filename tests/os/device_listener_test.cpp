#include "os/device_listener.h"

#include <dirent.h>
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

    // Created at a known tick, the first report already taken.
    std::shared_ptr<DeviceListener> quietListener(DeviceSource source = DeviceSource::InProcess) {
        auto listener = DeviceListener::create(source);
        clock_.advance(1001);
        EXPECT_TRUE(listener->poll());
        return listener;
    }
};

TEST_F(Listener, FirstPollOneMillisecondAfterCreationReports) {
    auto listener = DeviceListener::create(DeviceSource::InProcess);
    ASSERT_NE(listener, nullptr);
    EXPECT_EQ(listener->source(), DeviceSource::InProcess);
    EXPECT_FALSE(listener->poll());
    clock_.advance(1);
    EXPECT_TRUE(listener->poll());
    EXPECT_FALSE(listener->poll());
    clock_.advance(5000);
    EXPECT_FALSE(listener->poll());
}

// Every live listener hears each event, and a destroyed one is no longer touched.
TEST_F(Listener, OneEventOneReportAfterAQuietSecond) {
    auto listener = quietListener();
    auto other = quietListener();
    quietListener().reset();
    announceDeviceChange();
    clock_.advance(1000);
    EXPECT_FALSE(listener->poll());
    clock_.advance(1);
    EXPECT_TRUE(listener->poll());
    EXPECT_TRUE(other->poll());
    for (int i = 0; i < 10; ++i) {
        clock_.advance(1000);
        EXPECT_FALSE(listener->poll());
    }
}

// Plugging activity every 500 ms for ten seconds, polled every 10 ms as the worker does;
// the clock wraps in the middle of it.
TEST_F(Listener, BurstGivesOneReportASecondAfterItsLastEvent) {
    auto listener = quietListener();
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
}

// A synthetic "change" uevent on a loop device, as `udevadm trigger` sends; needs root.
int openLoopUevent() {
    DIR* dir = opendir("/sys/block");
    int fd = -1;
    while (dirent* entry = dir ? readdir(dir) : nullptr) {
        if (std::string(entry->d_name).rfind("loop", 0) == 0) {
            const std::string path = std::string("/sys/block/") + entry->d_name + "/uevent";
            fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
            break;
        }
    }
    if (dir) {
        closedir(dir);
    }
    return fd;
}

TEST_F(Listener, SystemMonitorHearsBlockDeviceEvents) {
    auto listener = quietListener(DeviceSource::Automatic);
    if (listener->source() == DeviceSource::InProcess) {
        GTEST_SKIP() << "no netlink uevent socket in this environment; the listener runs on "
                        "in-process events only";
    }
    const bool udevRuns = access("/run/udev/control", F_OK) == 0;
    EXPECT_EQ(listener->source(), udevRuns ? DeviceSource::Udev : DeviceSource::Kernel);
    EXPECT_EQ(DeviceListener::create(DeviceSource::Kernel)->source(), DeviceSource::Kernel);

    const int fd = openLoopUevent();
    if (fd < 0) {
        GTEST_SKIP() << "cannot raise a uevent here (needs root and a loop device)";
    }
    const bool sent = write(fd, "change", 6) == 6;
    close(fd);
    ASSERT_TRUE(sent);
    // The event travels through the kernel (and udevd) in real time; the quiet second is
    // stepped on the test clock.
    bool reported = false;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!reported && std::chrono::steady_clock::now() < end) {
        listener->poll();
        clock_.advance(1001);
        reported = listener->poll();
        std::this_thread::sleep_for(std::chrono::milliseconds(reported ? 0 : 2));
    }
    EXPECT_TRUE(reported);
}

}  // namespace
}  // namespace corvane::os
