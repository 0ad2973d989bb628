#include <gtest/gtest.h>

#include <unistd.h>

#include <sstream>

#include "io/platform.h"
#include "monitor/monitor.h"
#include "monitor/snapshot.h"
#include "os/device_listener.h"
#include "os/manual_clock.h"
#include "sim/profiles.h"

using namespace corvane;

namespace {

constexpr uint32_t kMinute = 60 * 1000;
using V = std::vector<std::string>;

// One emulated device under a monitor on a manual clock; events are read from the log.
class TrendTest : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/drl-trend-XXXXXX";
        ASSERT_TRUE(mkdtemp(name));
        dir = name;
        options.stateDir = dir;
        options.wallStartMs = 1700000000000;
        platform->setChangeListener([] { os::announceDeviceChange(); });
        io::setPlatform(platform);
        device = sim::makeProfile("healthy", {512, 0, nullptr}).value();
        platform->plug(0, device.disk);
        core = cli::openCore(true);
        ASSERT_TRUE(core);
        step(10);
        ASSERT_TRUE(core->waitForScans(1, std::chrono::seconds(10)));
    }
    void TearDown() override {
        monitor.reset();
        clock.setAutoAdvance(true);
        core.reset();
        io::setPlatform(nullptr);
        std::system(("rm -rf " + dir).c_str());
    }
    void startMonitor() {
        monitor = std::make_unique<cli::Monitor>(*core, options, log);
        monitor->start();
    }
    void step(uint32_t ms) {
        ASSERT_TRUE(clock.waitForSleepers(1));
        clock.advance(ms);
        ASSERT_TRUE(clock.waitForSleepers(1));
    }
    // The events of one round, as name@bay.
    V poll() {
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
    void setDrive(unsigned bay, uint32_t crc, uint16_t temperature) {
        sim::Drive d = device.model->drive(bay);
        d.crcErrors = crc;
        d.temperature = temperature;
        device.model->setDrive(bay, d);
    }

    os::ManualClock clock;
    os::ScopedClock useClock{clock};
    std::shared_ptr<sim::EmulatedPlatform> platform = std::make_shared<sim::EmulatedPlatform>();
    sim::EmulatedDevice device;
    std::unique_ptr<drl::CvnStorageManagerImpl> core;
    std::unique_ptr<cli::Monitor> monitor;
    cli::MonitorOptions options;
    std::ostringstream log;
    std::string dir;
};

TEST_F(TrendTest, EachTrendOnceAndRearmed) {
    setDrive(1, 5, 400);
    setDrive(2, 0, 400);
    startMonitor();
    EXPECT_EQ(V{}, poll()) << "the first reading is the baseline";

    setDrive(1, 7, 400);
    step(kMinute);
    EXPECT_EQ(V{"counter-rising@1"}, poll());
    setDrive(1, 9, 400);
    step(kMinute);
    EXPECT_EQ(V{}, poll()) << "still rising: said once";
    step(30 * kMinute);
    EXPECT_EQ(V{}, poll());
    step(31 * kMinute);
    EXPECT_EQ(V{"counter-steady@1"}, poll()) << "an hour without a rise";
    setDrive(1, 10, 400);
    step(kMinute);
    EXPECT_EQ(V{"counter-rising@1"}, poll()) << "re-armed";

    // A replaced drive's counters start again: a new baseline, no alarm.
    step(61 * kMinute);
    EXPECT_EQ(V{"counter-steady@1"}, poll());
    setDrive(1, 0, 400);
    step(kMinute);
    EXPECT_EQ(V{}, poll());
    EXPECT_NE(std::string::npos, log.str().find("went down")) << log.str();

    // Hot for ten minutes, at the limit; once; cleared below it; ten minutes again after.
    setDrive(2, 0, 550);
    EXPECT_EQ(V{}, poll());
    for (int i = 0; i < 9; ++i) {
        step(kMinute);
        EXPECT_EQ(V{}, poll()) << i;
    }
    step(kMinute);
    EXPECT_EQ(V{"temperature-high@2"}, poll());
    step(kMinute);
    EXPECT_EQ(V{}, poll());
    setDrive(2, 0, 549);
    step(kMinute);
    EXPECT_EQ(V{"temperature-normal@2"}, poll());
    setDrive(2, 0, 600);
    step(5 * kMinute);
    EXPECT_EQ(V{}, poll());
    step(10 * kMinute);
    EXPECT_EQ(V{"temperature-high@2"}, poll());

    // The history holds what the drives reported, round by round, and the events.
    const std::string key = monitor->known().begin()->first;
    const auto rows = monitor->history().readings(key, 0, monitor->now());
    std::vector<uint32_t> crc;
    for (const auto& r : rows) {
        if (r.bay == 1 && (crc.empty() || crc.back() != r.crcErrors)) {
            crc.push_back(r.crcErrors);
        }
        EXPECT_EQ(device.model->drive(r.bay).serial, r.drive);
    }
    EXPECT_EQ((std::vector<uint32_t>{5, 7, 9, 10, 0}), crc);
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(600u, rows.back().temperature) << "temperature in tenths, as read";
    V names;
    for (const auto& e : monitor->history().events(key, 0, monitor->now())) {
        names.push_back(e.name);
    }
    EXPECT_EQ((V{"device-found", "counter-rising", "counter-steady", "counter-rising",
                 "counter-steady", "temperature-high", "temperature-normal", "temperature-high"}),
              names);
}

// --max-temp moves the limit; a history that cannot be written leaves the events alone.
TEST_F(TrendTest, LimitAndNoHistory) {
    options.maxTemperature = 600;
    options.historyPath = dir + "/missing/history.sqlite";
    setDrive(0, 0, 590);
    startMonitor();
    EXPECT_NE(std::string::npos, log.str().find("going on without history")) << log.str();
    EXPECT_EQ(V{}, poll());
    step(20 * kMinute);
    EXPECT_EQ(V{}, poll());
    setDrive(0, 0, 600);
    poll();
    step(10 * kMinute);
    EXPECT_EQ(V{"temperature-high@0"}, poll());
    EXPECT_FALSE(monitor->history().isOpen());
}

}  // namespace
