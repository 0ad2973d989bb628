// Emulated devices, a core and monitors on a manual clock, in a folder of their own.
#pragma once

#include <chrono>

#include "io/platform.h"
#include "monitor/monitor.h"
#include "monitor/snapshot.h"
#include "os/device_listener.h"
#include "os/manual_clock.h"
#include "sim/profiles.h"
#include "support.h"

namespace corvane::test {

constexpr int64_t kWallStart = 1700000000000;
constexpr uint32_t kMinute = 60 * 1000;
constexpr uint32_t kHour = 60 * kMinute;
using V = std::vector<std::string>;

inline std::string serialOf(const sim::EmulatedDevice& d) {
    return hex(d.model->identity().serial.data(), d.model->identity().serial.size());
}

class MonitorRig : public ::testing::Test {
protected:
    void SetUp() override {
        options.stateDir = dir + "/state";
        options.wallStartMs = kWallStart;
        platform->setChangeListener([] { os::announceDeviceChange(); });
        io::setPlatform(platform);
    }
    void TearDown() override {
        monitor.reset();
        clock.setAutoAdvance(true);
        core.reset();
        io::setPlatform(nullptr);
    }

    sim::EmulatedDevice plug(unsigned disk, const std::string& profile) {
        auto device = sim::makeProfile(profile, {512, disk, nullptr});
        EXPECT_TRUE(device) << profile;
        platform->plug(disk, device->disk);
        return *device;
    }
    void startCore() {
        core = cli::openCore(true);
        ASSERT_TRUE(core);
        step(10);  // the first scan waits for the worker's first poll
        ASSERT_TRUE(core->waitForScans(1, std::chrono::seconds(10)));
    }
    // A new monitor (a restart), its clock going on where the last one stopped.
    void startMonitor() {
        if (monitor) {
            options.wallStartMs = monitor->now();
        }
        log.str("");
        monitor = std::make_unique<cli::Monitor>(*core, options, log);
        monitor->start();
    }
    // Time passes; the core's worker runs one cycle in it.
    void step(uint32_t ms) {
        ASSERT_TRUE(clock.waitForSleepers(1));
        clock.advance(ms);
        ASSERT_TRUE(clock.waitForSleepers(1));
    }
    // The core takes a plug or an unplug in.
    void rescan() {
        ++scans;
        core->rescan();
        step(10);
        ASSERT_TRUE(core->waitForScans(scans, std::chrono::seconds(10)));
    }
    // The events of one round as the log names them, name@bay.
    V logged() {
        log.str("");
        monitor->poll();
        V out;
        std::istringstream lines(log.str());
        for (std::string line; std::getline(lines, line);) {
            const size_t open = line.rfind(" [");
            const size_t bay = line.find(": bay ");
            if (open != std::string::npos && line.back() == ']') {
                out.push_back(line.substr(open + 2, line.size() - open - 3) +
                              (bay == std::string::npos ? "" : "@" + line.substr(bay + 6, 1)));
            }
        }
        return out;
    }

    TempDir tmp;
    const std::string dir = tmp.path;
    os::ManualClock clock;
    os::ScopedClock useClock{clock};
    std::shared_ptr<sim::EmulatedPlatform> platform = std::make_shared<sim::EmulatedPlatform>();
    std::unique_ptr<drl::CvnStorageManagerImpl> core;
    std::unique_ptr<cli::Monitor> monitor;
    cli::MonitorOptions options;
    std::ostringstream log;
    uint32_t scans = 1;
};

}  // namespace corvane::test
