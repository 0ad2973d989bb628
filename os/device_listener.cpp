#include "os/device_listener.h"

#include <fcntl.h>
#include <libudev.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "os/clock.h"

namespace corvane::os {
namespace {

constexpr uint32_t QuietMs = 1000;
constexpr uint64_t Pending = uint64_t(1) << 32;
// Bounds one poll when events flood in; the rest waits for the next one.
constexpr int MaxEventsPerPoll = 1024;

class DeviceListenerImpl;

// Only disks that come or go. udev sends "change" whenever a program closes a disk it had
// opened for writing, which every scan does: counting it would make each scan cause the next.
bool addsOrRemoves(udev_device* device) {
    const char* action = udev_device_get_action(device);
    return action && (std::strcmp(action, "add") == 0 || std::strcmp(action, "remove") == 0);
}

// Never destroyed, so that a listener that outlives static destruction can still leave.
struct Listeners {
    std::mutex mutex;
    std::vector<DeviceListenerImpl*> all;
};
Listeners& listeners() {
    static auto* instance = new Listeners;
    return *instance;
}

class DeviceListenerImpl final : public DeviceListener {
public:
    ~DeviceListenerImpl() override;
    void init(DeviceSource source);
    bool poll() override;
    DeviceSource source() const override { return source_; }
    void markChange(uint32_t tick) { state_.store(Pending | tick); }

private:
    bool openMonitor(const char* name);
    void closeMonitor();
    void drain();

    udev* udev_ = nullptr;
    udev_monitor* monitor_ = nullptr;
    DeviceSource source_ = DeviceSource::InProcess;
    // The pending flag and the tick of the latest event in one word, so that poll clears
    // the flag only if no event came in since it read the tick.
    std::atomic<uint64_t> state_{0};
};

void DeviceListenerImpl::init(DeviceSource source) {
    // Pending with a tick one quiet period ago: the first poll 1 ms later scans.
    markChange(clock().tick() - QuietMs);
    const char* name = nullptr;
    switch (source) {
        case DeviceSource::Automatic:
            name = access("/run/udev/control", F_OK) == 0 ? "udev" : "kernel";
            break;
        case DeviceSource::Udev:
            name = "udev";
            break;
        case DeviceSource::Kernel:
            name = "kernel";
            break;
        case DeviceSource::InProcess:
            break;
    }
    if (name && openMonitor(name)) {
        source_ = name[0] == 'u' ? DeviceSource::Udev : DeviceSource::Kernel;
    }
    Listeners& l = listeners();
    std::lock_guard<std::mutex> lock(l.mutex);
    l.all.push_back(this);
}

DeviceListenerImpl::~DeviceListenerImpl() {
    {
        Listeners& l = listeners();
        std::lock_guard<std::mutex> lock(l.mutex);
        l.all.erase(std::remove(l.all.begin(), l.all.end(), this), l.all.end());
    }
    closeMonitor();
}

bool DeviceListenerImpl::openMonitor(const char* name) {
    udev_ = udev_new();
    if (udev_) {
        monitor_ = udev_monitor_new_from_netlink(udev_, name);
    }
    if (!monitor_ ||
        udev_monitor_filter_add_match_subsystem_devtype(monitor_, "block", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor_) < 0) {
        closeMonitor();
        return false;
    }
    const int fd = udev_monitor_get_fd(monitor_);
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        closeMonitor();
        return false;
    }
    return true;
}

void DeviceListenerImpl::closeMonitor() {
    if (monitor_) {
        udev_monitor_unref(monitor_);
        monitor_ = nullptr;
    }
    if (udev_) {
        udev_unref(udev_);
        udev_ = nullptr;
    }
}

void DeviceListenerImpl::drain() {
    const uint32_t now = clock().tick();
    for (int i = 0; i < MaxEventsPerPoll; ++i) {
        errno = 0;
        if (udev_device* device = udev_monitor_receive_device(monitor_)) {
            if (addsOrRemoves(device)) {
                markChange(now);
            }
            udev_device_unref(device);
        } else if (errno == ENOBUFS) {
            markChange(now);  // the socket overflowed and events were lost
        } else {
            return;  // drained, or an error that the next poll meets again
        }
    }
    markChange(now);
}

bool DeviceListenerImpl::poll() {
    if (monitor_) {
        drain();
    }
    uint64_t state = state_.load();
    if (!(state & Pending) || uint32_t(clock().tick() - uint32_t(state)) <= QuietMs) {
        return false;
    }
    // Fails when an event arrived meanwhile; its own quiet period starts now.
    return state_.compare_exchange_strong(state, state & ~Pending);
}

}  // namespace

std::shared_ptr<DeviceListener> DeviceListener::create(DeviceSource source) {
    try {
        auto listener = std::make_shared<DeviceListenerImpl>();
        listener->init(source);
        return listener;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void announceDeviceChange() {
    const uint32_t now = clock().tick();
    Listeners& l = listeners();
    std::lock_guard<std::mutex> lock(l.mutex);
    for (DeviceListenerImpl* listener : l.all) {
        listener->markChange(now);
    }
}

}  // namespace corvane::os
