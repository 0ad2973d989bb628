// The listener against the system's own events: the kernel's uevents and a real udev
// daemon. Needs root and loop devices; the udev case needs systemd-udevd (Debian's `udev`).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <libudev.h>
#include <linux/loop.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>

#include "os/device_listener.h"
#include "os/manual_clock.h"
#include "tests/support/loop_device.h"

namespace corvane::os {
namespace {

using Clock = std::chrono::steady_clock;

// A second monitor on the same source, so that the test knows when an event has arrived.
class EventWatch {
public:
    explicit EventWatch(const char* source)
        : monitor_(udev_ ? udev_monitor_new_from_netlink(udev_.get(), source) : nullptr,
                   udev_monitor_unref) {}
    bool receive() {
        return monitor_ &&
               udev_monitor_filter_add_match_subsystem_devtype(monitor_.get(), "block", nullptr) >=
                   0 &&
               udev_monitor_enable_receiving(monitor_.get()) >= 0;
    }

    // Waits (at most 5 s) for `action` on the block device `sysname`.
    bool waitFor(const std::string& action, const std::string& sysname) {
        for (const auto end = Clock::now() + std::chrono::seconds(5); Clock::now() < end;) {
            pollfd p{udev_monitor_get_fd(monitor_.get()), POLLIN, 0};
            std::unique_ptr<udev_device, udev_device* (*)(udev_device*)> d(
                ::poll(&p, 1, 50) > 0 ? udev_monitor_receive_device(monitor_.get()) : nullptr,
                udev_device_unref);
            const char* a = d ? udev_device_get_action(d.get()) : nullptr;
            const char* n = d ? udev_device_get_sysname(d.get()) : nullptr;
            if (a && n && action == a && sysname == n)
                return true;
        }
        return false;
    }

private:
    std::unique_ptr<udev, udev* (*)(udev*)> udev_{udev_new(), udev_unref};
    std::unique_ptr<udev_monitor, udev_monitor* (*)(udev_monitor*)> monitor_;
};

// systemd-udevd for the length of a test: one that already runs is used and left running,
// one started here is stopped again.
class UdevDaemon {
public:
    ~UdevDaemon() {
        if (started_) {
            std::system("udevadm control --exit >/dev/null 2>&1");
            // Left behind, the socket would make listeners believe a daemon still runs.
            unlink("/run/udev/control");
        }
    }

    // Empty when a daemon runs; otherwise why none could.
    std::string start() {
        std::string binary = "/lib/systemd/systemd-udevd";
        if (access(binary.c_str(), X_OK) != 0 && access((binary = "/usr" + binary).c_str(), X_OK))
            return "systemd-udevd is not installed (Debian package udev)";
        if (ping())
            return {};
        if (std::system((binary + " --daemon >/dev/null 2>&1").c_str()) != 0)
            return "systemd-udevd --daemon failed";
        started_ = true;
        for (auto end = Clock::now() + std::chrono::seconds(5); Clock::now() < end;) {
            if (ping())
                return {};
        }
        return "systemd-udevd did not answer";
    }

private:
    static bool ping() {
        return access("/run/udev/control", F_OK) == 0 &&
               std::system("udevadm control --ping --timeout=1 >/dev/null 2>&1") == 0;
    }
    bool started_ = false;
};

class Hotplug : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string why = testkit::loopUnavailable();
        if (!why.empty())
            GTEST_SKIP() << why;
        char name[] = "/tmp/drl-hotplug-XXXXXX";
        const int fd = mkstemp(name);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(0, ftruncate(fd, 1 << 20));
        ::close(fd);
        backing_ = name;
        control_ = ::open("/dev/loop-control", O_RDWR | O_CLOEXEC);
    }
    void TearDown() override {
        removeLoop();
        loop_.detach();
        if (control_ >= 0)
            ::close(control_);
        if (!backing_.empty())
            unlink(backing_.c_str());
    }

    void listen(DeviceSource source, const char* watchSource) {
        watch_ = std::make_unique<EventWatch>(watchSource);
        ASSERT_TRUE(watch_->receive());
        listener_ = DeviceListener::create(source);
        ASSERT_EQ(source, listener_->source()) << "no netlink uevent socket here";
        clock_.advance(1);
        ASSERT_TRUE(listener_->poll()) << "the first scan";
        ASSERT_EQ(0, loop_.attach(backing_, 512, false));
        sysname_ = loop_.name();
        expect("change", false);
    }
    // Once the watch has seen `action`, the quiet second passes and the listener is asked.
    void expect(const char* action, bool reported) {
        ASSERT_TRUE(watch_->waitFor(action, sysname_)) << action << " " << sysname_;
        EXPECT_FALSE(listener_->poll());
        clock_.advance(1001);
        EXPECT_EQ(reported, listener_->poll()) << action;
    }
    // A loop device number created and removed: real "add" and "remove" events.
    void addAndRemoveLoop() {
        for (int n = 200 + getpid() % 50; control_ >= 0 && added_ < 0 && n < 1000; ++n)
            added_ = ioctl(control_, LOOP_CTL_ADD, n) >= 0 ? n : -1;
        ASSERT_GE(added_, 0);
        sysname_ = "loop" + std::to_string(added_);
        expect("add", true);
        removeLoop();
        expect("remove", true);
    }
    void removeLoop() {
        if (added_ >= 0) {
            ioctl(control_, LOOP_CTL_REMOVE, added_);
            added_ = -1;
        }
    }

    ManualClock clock_;
    ScopedClock use_{clock_};
    std::string backing_;
    testkit::LoopDevice loop_;
    int control_ = -1;
    int added_ = -1;
    std::string sysname_;
    std::unique_ptr<EventWatch> watch_;
    std::shared_ptr<DeviceListener> listener_;
};

TEST_F(Hotplug, KernelEventsOnlyAddAndRemoveCount) {
    ASSERT_NO_FATAL_FAILURE(listen(DeviceSource::Kernel, "kernel"));
    addAndRemoveLoop();
}

// With a real udev, every open for writing and close of a disk brings a "change": a listener
// that counted it would make each scan cause the next, forever.
TEST_F(Hotplug, UdevWriteCloseCausesNoScan) {
    UdevDaemon udevd;
    const std::string why = udevd.start();
    if (!why.empty())
        GTEST_SKIP() << why;
    ASSERT_NO_FATAL_FAILURE(listen(DeviceSource::Udev, "udev"));
    const int fd = ::open(loop_.path().c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_TRUE(fd >= 0 && ::close(fd) == 0);
    expect("change", false);
    addAndRemoveLoop();
}

}  // namespace
}  // namespace corvane::os
