#include "../cli/monitor_rig.h"

using namespace corvane;
using namespace corvane::test;

namespace {

// One healthy device under a monitor.
class TrendTest : public MonitorRig {
protected:
    void SetUp() override {
        MonitorRig::SetUp();
        options.stateDir = dir;
        device = plug(0, "healthy");
        startCore();
    }
    void setDrive(unsigned bay, uint32_t crc, uint16_t temperature) {
        sim::Drive d = device.model->drive(bay);
        d.crcErrors = crc;
        d.temperature = temperature;
        device.model->setDrive(bay, d);
    }
    // A round `ms` after the last.
    V after(uint32_t ms) {
        step(ms);
        return names();
    }

    sim::EmulatedDevice device;
};

TEST_F(TrendTest, EachTrendOnceAndRearmed) {
    setDrive(1, 5, 400);
    setDrive(2, 0, 400);
    startMonitor();
    EXPECT_EQ(V{}, names()) << "the first reading is the baseline";

    setDrive(1, 7, 400);
    EXPECT_EQ(V{"counter-rising@1"}, after(kMinute));
    setDrive(1, 9, 400);
    EXPECT_EQ(V{}, after(kMinute)) << "still rising: said once";
    EXPECT_EQ(V{}, after(30 * kMinute));
    EXPECT_EQ(V{"counter-steady@1"}, after(31 * kMinute)) << "an hour without a rise";
    setDrive(1, 10, 400);
    EXPECT_EQ(V{"counter-rising@1"}, after(kMinute)) << "re-armed";

    // A replaced drive's counters start again: a new baseline, no alarm.
    EXPECT_EQ(V{"counter-steady@1"}, after(61 * kMinute));
    setDrive(1, 0, 400);
    EXPECT_EQ(V{}, after(kMinute));
    EXPECT_TRUE(has(log.str(), "went down"));

    // Hot for ten minutes, at the limit; once; cleared below it; ten minutes again after.
    setDrive(2, 0, 550);
    EXPECT_EQ(V{}, names());
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(V{}, after(kMinute)) << i;
    }
    EXPECT_EQ(V{"temperature-high@2"}, after(kMinute));
    EXPECT_EQ(V{}, after(kMinute));
    setDrive(2, 0, 549);
    EXPECT_EQ(V{"temperature-normal@2"}, after(kMinute));
    setDrive(2, 0, 600);
    EXPECT_EQ(V{}, after(5 * kMinute));
    EXPECT_EQ(V{"temperature-high@2"}, after(10 * kMinute));

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
    EXPECT_TRUE(has(log.str(), "going on without history"));
    EXPECT_EQ(V{}, names());
    EXPECT_EQ(V{}, after(20 * kMinute));
    setDrive(0, 0, 600);
    names();
    EXPECT_EQ(V{"temperature-high@0"}, after(10 * kMinute));
    EXPECT_FALSE(monitor->history().isOpen());
}

}  // namespace
