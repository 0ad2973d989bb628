// Emulated devices, a core and monitors on a manual clock, in a folder of their own.
#pragma once

#include <unistd.h>

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

// One call of the event program, as it saw its environment.
struct Call {
    std::string event, severity, serial, model, path, bay, reminder, message;
};

inline std::string serialOf(const sim::EmulatedDevice& d) {
    return hex(d.model->identity().serial.data(), d.model->identity().serial.size());
}

// The event program is a script that appends its environment to a file.
class MonitorRig : public ::testing::Test {
protected:
    void SetUp() override {
        options.stateDir = dir + "/state";
        options.wallStartMs = kWallStart;
        platform->setChangeListener([] { os::announceDeviceChange(); });
        io::setPlatform(platform);
        options.program = dir + "/record";
        options.execTimeoutMs = 10000;
        writeFile(options.program,
                  "#!/bin/sh\nprintf '%s|%s|%s|%s|%s|%s|%s|%s\\n' \"$DRIVELORE_EVENT\" "
                  "\"$DRIVELORE_SEVERITY\" \"$DRIVELORE_SERIAL\" \"$DRIVELORE_MODEL\" "
                  "\"$DRIVELORE_DEVICE_PATH\" \"$DRIVELORE_BAY\" \"$DRIVELORE_REMINDER\" "
                  "\"$DRIVELORE_MESSAGE\" >> " +
                      dir + "/calls\ntr '\\0' '\\n' < /proc/$$/environ | grep ^DRIVELORE_BAY= >> " +
                      dir + "/bays\n",
                  0755);
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
    // The events of one round. The message goes last: it may hold a '|' of its own.
    std::vector<Call> poll() {
        monitor->poll();
        std::vector<Call> out;
        std::istringstream lines(readFile(dir + "/calls"));
        unlink((dir + "/calls").c_str());
        for (std::string line; std::getline(lines, line);) {
            std::istringstream fields(line);
            Call c;
            for (std::string* f :
                 {&c.event, &c.severity, &c.serial, &c.model, &c.path, &c.bay, &c.reminder}) {
                if (!std::getline(fields, *f, '|') || fields.eof()) {
                    ADD_FAILURE() << "a value broke the line: " << line;
                }
            }
            std::getline(fields, c.message);
            out.push_back(c);
        }
        return out;
    }
    // name, * for a reminder, @bay.
    static V namesOf(const std::vector<Call>& calls) {
        V out;
        for (const Call& c : calls) {
            out.push_back(c.event + (c.reminder == "1" ? "*" : "") +
                          (c.bay.empty() ? "" : "@" + c.bay));
        }
        return out;
    }
    V names() { return namesOf(poll()); }

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
