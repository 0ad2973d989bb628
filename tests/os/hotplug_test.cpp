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
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "os/device_listener.h"
#include "os/manual_clock.h"
#include "tests/support/loop_device.h"

namespace corvane::os {
namespace {

using Clock = std::chrono::steady_clock;

// A second monitor on the same source, so that the test knows when an event has arrived.
class EventWatch {
public:
    explicit EventWatch(const char* source) {
        udev_ = udev_new();
        monitor_ = udev_ ? udev_monitor_new_from_netlink(udev_, source) : nullptr;
        ok_ = monitor_ &&
              udev_monitor_filter_add_match_subsystem_devtype(monitor_, "block", nullptr) >= 0 &&
              udev_monitor_enable_receiving(monitor_) >= 0;
    }
    ~EventWatch() {
        if (monitor_) {
            udev_monitor_unref(monitor_);
        }
        if (udev_) {
            udev_unref(udev_);
        }
    }
    bool ok() const { return ok_; }

    // Waits (at most 5 s) for `action` on the block device `sysname`.
    bool waitFor(const std::string& action, const std::string& sysname) {
        const auto end = Clock::now() + std::chrono::seconds(5);
        while (Clock::now() < end) {
            pollfd p{udev_monitor_get_fd(monitor_), POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) {
                continue;
            }
            udev_device* d = udev_monitor_receive_device(monitor_);
            if (!d) {
                continue;
            }
            const char* a = udev_device_get_action(d);
            const char* n = udev_device_get_sysname(d);
            const bool match = a && n && action == a && sysname == n;
            udev_device_unref(d);
            if (match) {
                return true;
            }
        }
        return false;
    }

private:
    udev* udev_ = nullptr;
    udev_monitor* monitor_ = nullptr;
    bool ok_ = false;
};

// systemd-udevd for the length of a test: one that already runs is used and left running,
// one started here is stopped again.
class UdevDaemon {
public:
    ~UdevDaemon() { stop(); }

    // Empty when a daemon runs; otherwise why none could.
    std::string start() {
        std::string binary;
        for (const char* p : {"/lib/systemd/systemd-udevd", "/usr/lib/systemd/systemd-udevd"}) {
            if (access(p, X_OK) == 0) {
                binary = p;
                break;
            }
        }
        if (binary.empty()) {
            return "systemd-udevd is not installed (Debian package udev)";
        }
        if (geteuid() != 0) {
            return "systemd-udevd needs root";
        }
        if (ping()) {
            return {};
        }
        if (std::system((binary + " --daemon >/dev/null 2>&1").c_str()) != 0) {
            return "systemd-udevd --daemon failed";
        }
        started_ = true;
        for (auto end = Clock::now() + std::chrono::seconds(5); Clock::now() < end;) {
            if (ping()) {
                return {};
            }
        }
        return "systemd-udevd did not answer";
    }

    void stop() {
        if (!started_) {
            return;
        }
        started_ = false;
        std::system("udevadm control --exit >/dev/null 2>&1");
        // Left behind, the socket would make listeners believe a daemon still runs.
        unlink("/run/udev/control");
    }

private:
    static bool ping() {
        return access("/run/udev/control", F_OK) == 0 &&
               std::system("udevadm control --ping --timeout=1 >/dev/null 2>&1") == 0;
    }
    bool started_ = false;
};

// A loop device number created and removed here: real "add" and "remove" events.
class NewLoopNumber {
public:
    int create() {
        control_ = ::open("/dev/loop-control", O_RDWR | O_CLOEXEC);
        for (int n = 200 + getpid() % 50; control_ >= 0 && n < 1000; ++n) {
            if (ioctl(control_, LOOP_CTL_ADD, n) >= 0) {
                number_ = n;
                break;
            }
        }
        return number_;
    }
    void remove() {
        if (number_ >= 0) {
            ioctl(control_, LOOP_CTL_REMOVE, number_);
            number_ = -1;
        }
    }
    ~NewLoopNumber() {
        remove();
        if (control_ >= 0) {
            ::close(control_);
        }
    }
    std::string name() const { return "loop" + std::to_string(number_); }

private:
    int control_ = -1;
    int number_ = -1;
};

struct Step {
    const char* what;
    std::function<bool()> act;  // false: the step could not be taken
    const char* action;         // the event it causes
    bool reported;              // whether the listener reports a change for it
};

class Hotplug : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string why = testkit::loopUnavailable();
        if (!why.empty()) {
            GTEST_SKIP() << why;
        }
        char name[] = "/tmp/drl-hotplug-XXXXXX";
        const int fd = mkstemp(name);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(0, ftruncate(fd, 1 << 20));
        ::close(fd);
        backing_ = name;
    }
    void TearDown() override {
        loop_.detach();
        if (!backing_.empty()) {
            unlink(backing_.c_str());
        }
    }

    // Takes each step, waits until the watch has seen its event, then steps the quiet
    // second and asks the listener.
    void run(DeviceSource source, const char* watchSource, const std::vector<Step>& steps) {
        EventWatch watch(watchSource);
        ASSERT_TRUE(watch.ok());
        auto listener = DeviceListener::create(source);
        ASSERT_EQ(source, listener->source()) << "no netlink uevent socket here";
        clock_.advance(1);
        ASSERT_TRUE(listener->poll()) << "the first scan";
        for (const Step& step : steps) {
            SCOPED_TRACE(step.what);
            ASSERT_TRUE(step.act());
            ASSERT_TRUE(watch.waitFor(step.action, sysname_)) << step.action << " " << sysname_;
            EXPECT_FALSE(listener->poll());
            clock_.advance(1001);
            EXPECT_EQ(step.reported, listener->poll());
        }
    }

    bool attachLoop() {
        if (loop_.attach(backing_, 512, false) != 0) {
            return false;
        }
        sysname_ = loop_.name();
        return true;
    }
    // What every scan does to a disk: open it for writing and close it again.
    bool openForWriting() {
        const int fd = ::open(loop_.path().c_str(), O_RDWR | O_CLOEXEC);
        return fd >= 0 && ::close(fd) == 0;
    }
    bool addLoop() {
        if (added_.create() < 0) {
            return false;
        }
        sysname_ = added_.name();
        return true;
    }
    bool removeLoop() {
        added_.remove();
        return true;
    }

    ManualClock clock_;
    ScopedClock use_{clock_};
    std::string backing_;
    testkit::LoopDevice loop_;
    NewLoopNumber added_;
    std::string sysname_;
};

TEST_F(Hotplug, KernelEventsOnlyAddAndRemoveCount) {
    run(DeviceSource::Kernel, "kernel",
        {
            {"a loop device is bound to a file", [&] { return attachLoop(); }, "change", false},
            {"a synthetic change, as udev sends after a write-close",
             [&] {
                 const int fd =
                     ::open(("/sys/block/" + sysname_ + "/uevent").c_str(), O_WRONLY | O_CLOEXEC);
                 const bool sent = fd >= 0 && write(fd, "change", 6) == 6;
                 ::close(fd);
                 return sent;
             },
             "change", false},
            {"a disk appears", [&] { return addLoop(); }, "add", true},
            {"and goes", [&] { return removeLoop(); }, "remove", true},
        });
}

// With a real udev, every open for writing and close of a disk brings a "change": a listener
// that counted it would make each scan cause the next, forever.
TEST_F(Hotplug, UdevWriteCloseCausesNoScan) {
    UdevDaemon udevd;
    const std::string why = udevd.start();
    if (!why.empty()) {
        GTEST_SKIP() << why;
    }
    run(DeviceSource::Udev, "udev",
        {
            {"a loop device is bound to a file", [&] { return attachLoop(); }, "change", false},
            {"a scan opens it for writing", [&] { return openForWriting(); }, "change", false},
            {"and the next scan again", [&] { return openForWriting(); }, "change", false},
            {"a disk appears", [&] { return addLoop(); }, "add", true},
            {"and goes", [&] { return removeLoop(); }, "remove", true},
        });
}

}  // namespace
}  // namespace corvane::os
