#pragma once

#include <cstdint>
#include <memory>

namespace corvane::os {

// Where a listener hears of block devices coming and going.
enum class DeviceSource {
    Automatic,  // the udev daemon's events where one runs, else the kernel's
    Udev,
    Kernel,
    InProcess,  // announceDeviceChange() only
};

// Tells the storage manager's worker when the set of disks may have changed. A change is
// reported by the first poll() more than 1000 ms (on the clock seam) after the latest
// event, so that a burst of plugging activity leads to one scan; the first poll() at
// least 1 ms after creation reports one too, which gives the first scan. Events are block
// devices added or removed; "change" (which udev sends after every write-close) is not one.
class DeviceListener {
public:
    virtual ~DeviceListener() = default;
    // True when a scan is due. Drains the system's events without blocking; call it from
    // one thread at a time.
    virtual bool poll() = 0;
    // The source in use: Udev or Kernel, or InProcess when no system monitor could be
    // opened (no netlink in a container, for instance). Such a listener still reports its
    // first change and every announcement, so the program runs without hot-plug.
    virtual DeviceSource source() const = 0;

    // Null only when memory runs out. Any number of listeners may live side by side; each
    // hears every event.
    static std::shared_ptr<DeviceListener> create(DeviceSource source = DeviceSource::Automatic);
};

// Counts as a device event for every live listener, from any thread: how in-process
// devices (the emulator) announce that they were plugged or unplugged.
void announceDeviceChange();

}  // namespace corvane::os
