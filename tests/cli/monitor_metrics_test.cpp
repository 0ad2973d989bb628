// The metrics of the monitor service: what only a run over time tells (time left, trends),
// with the clock stepped by hand, and its --metrics file.
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <sstream>

#include "cli/cli.h"
#include "cli/metrics.h"
#include "io/platform.h"
#include "monitor/monitor.h"
#include "monitor/snapshot.h"
#include "os/device_listener.h"
#include "os/manual_clock.h"
#include "sim/profiles.h"

using namespace corvane;

namespace {

constexpr uint32_t kMinute = 60 * 1000;

// The value of the first sample whose line starts with `head`, or nothing.
std::optional<double> sampleOf(const std::string& text, const std::string& head) {
    const size_t at = text.find("\n" + head);
    if (at == std::string::npos) {
        return std::nullopt;
    }
    return std::stod(text.substr(at + 1 + head.size()));
}

class MonitorMetricsTest : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/drl-monmetrics-XXXXXX";
        ASSERT_TRUE(mkdtemp(name));
        dir = name;
        options.stateDir = dir;
        options.wallStartMs = 1700000000000;
        platform->setChangeListener([] { os::announceDeviceChange(); });
        io::setPlatform(platform);
    }
    void TearDown() override {
        monitor.reset();
        clock.setAutoAdvance(true);
        core.reset();
        io::setPlatform(nullptr);
        std::system(("rm -rf " + dir).c_str());
    }
    void start(const std::vector<std::string>& profiles) {
        for (unsigned disk = 0; disk < profiles.size(); ++disk) {
            devices.push_back(sim::makeProfile(profiles[disk], {512, disk, nullptr}).value());
            platform->plug(disk, devices.back().disk);
        }
        core = cli::openCore(true);
        ASSERT_TRUE(core);
        step(10);
        ASSERT_TRUE(core->waitForScans(1, std::chrono::seconds(10)));
        monitor = std::make_unique<cli::Monitor>(*core, options, log);
        monitor->start();
    }
    void step(uint32_t ms) {
        ASSERT_TRUE(clock.waitForSleepers(1));
        clock.advance(ms);
        ASSERT_TRUE(clock.waitForSleepers(1));
    }
    std::string poll() {
        monitor->poll();
        return cli::formatMetrics(monitor->lastRound(), true);
    }
    std::string key() const { return monitor->lastRound().at(0).key; }

    os::ManualClock clock;
    os::ScopedClock useClock{clock};
    std::shared_ptr<sim::EmulatedPlatform> platform = std::make_shared<sim::EmulatedPlatform>();
    std::vector<sim::EmulatedDevice> devices;
    std::unique_ptr<drl::CvnStorageManagerImpl> core;
    std::unique_ptr<cli::Monitor> monitor;
    cli::MonitorOptions options;
    std::ostringstream log;
    std::string dir;
};

// Two-hour rebuilds polled every minute: within 10 % of the truth while they move; no
// sample a few rounds after one stalls (at 30 %), nor once the other has completed.
TEST_F(MonitorMetricsTest, TimeLeftOfSteadyAndStalledRebuilds) {
    constexpr uint32_t kRebuildMs = 2 * 3600 * 1000;
    const uint16_t stalls[] = {0, 3000};
    start({"degraded", "degraded"});
    for (unsigned disk : {0u, 1u}) {
        devices[disk].model->setTimings({30000, 10000, kRebuildMs});
        sim::ModelFaults faults;
        faults.rebuildStallsAt = stalls[disk];
        devices[disk].model->setFaults(faults);
        dcp::DcpReqRebuild rebuild;
        dcp::DcpResponse* answer = nullptr;
        ASSERT_EQ(drl::Ok, core->execute(disk, &rebuild, &answer));
        delete answer;
    }
    unsigned estimated[2] = {}, unknown[2] = {}, stalledShown = 0, stalledRounds = 0;
    for (uint32_t t = 0; t < kRebuildMs + 5 * kMinute; t += kMinute) {
        step(kMinute);
        const std::string text = poll();
        for (const cli::DeviceSnapshot& s : monitor->lastRound()) {
            SCOPED_TRACE(s.key);
            const unsigned disk = s.diskNumber;
            const auto left = sampleOf(text, "drivelore_operation_remaining_seconds{serial=\"" +
                                                 s.key + "\",operation=\"rebuild\"} ");
            ASSERT_TRUE(s.progress);
            const bool stalled = stalls[disk] && s.progress->percent == stalls[disk];
            if (s.progress->phase != dcp::PhaseProgressing || stalled) {
                stalledRounds += stalled;
                EXPECT_FALSE(left && (!stalled || ++stalledShown > 4))
                    << s.progress->phase << " " << s.progress->percent << " " << t;
                continue;
            }
            const double truth = kRebuildMs / 1000.0 * (10000 - s.progress->percent) / 10000.0;
            if (left) {
                ++estimated[disk];
                EXPECT_NEAR(truth, *left, 0.1 * truth + 1) << s.progress->percent;
            } else {
                EXPECT_LE(++unknown[disk], 3u) << "only at first: " << s.progress->percent;
            }
        }
    }
    EXPECT_GT(estimated[0], 110u);
    EXPECT_GT(estimated[1], 30u);
    EXPECT_GT(stalledRounds, 60u);
    EXPECT_EQ(dcp::PhaseCompleted, monitor->lastRound().at(0).progress->phase);
}

// The trend gauges follow the monitor's trend events; the one-shot command has none.
TEST_F(MonitorMetricsTest, TrendGaugesFollowTheEvents) {
    start({"healthy"});
    auto set = [&](unsigned bay, uint32_t crc, uint16_t temperature) {
        sim::Drive d = devices[0].model->drive(bay);
        d.crcErrors = crc;
        d.temperature = temperature;
        devices[0].model->setDrive(bay, d);
    };
    set(1, 5, 400);
    set(2, 0, 400);
    auto gauges = [&](const std::string& text) {
        std::string out;
        for (const char* name : {"counters_rising", "temperature_high"}) {
            for (unsigned bay : {1u, 2u}) {
                const auto v =
                    sampleOf(text, std::string("drivelore_drive_") + name + "{serial=\"" + key() +
                                       "\",bay=\"" + std::to_string(bay) + "\"} ");
                out += v ? std::to_string(int(*v)) : "-";
            }
        }
        return out;  // rising 1, rising 2, hot 1, hot 2
    };
    EXPECT_EQ("0000", gauges(poll()));
    set(1, 6, 400);
    set(2, 0, 600);
    step(kMinute);
    EXPECT_EQ("1000", gauges(poll()));
    step(10 * kMinute);
    EXPECT_EQ("1001", gauges(poll())) << log.str();
    set(2, 0, 400);
    step(51 * kMinute);
    EXPECT_EQ("0000", gauges(poll())) << "an hour without a rise; cool again";
    EXPECT_NE(std::string::npos, log.str().find("[counter-steady]")) << log.str();

    const std::string once = cli::formatMetrics(cli::takeSnapshots(*core));
    EXPECT_EQ(std::string::npos, once.find("drivelore_drive_counters_rising")) << once;
    EXPECT_NE(std::string::npos, once.find("drivelore_drive_crc_errors_total")) << once;
}

// --metrics: written after every round; a file that cannot be written is said once and
// the monitor goes on.
TEST(MonitorMetricsFile, WrittenEachRoundOrSaidOnce) {
    char name[] = "/tmp/drl-monfile-XXXXXX";
    ASSERT_TRUE(mkdtemp(name));
    const std::string dir = name;
    auto run = [&](const std::string& metrics, std::string* err) {
        std::ostringstream out, errs;
        std::istringstream in;
        std::atomic<int> interrupted{0};
        const int code = cli::run({"--emulated", "healthy", "monitor", "--state-dir", dir,
                                   "--count", "3", "--interval", "0", "--metrics", metrics},
                                  out, errs, in, interrupted);
        *err = errs.str();
        return code;
    };
    std::string err;
    ASSERT_EQ(0, run(dir + "/drivelore.prom", &err)) << err;
    std::stringstream text;
    text << std::ifstream(dir + "/drivelore.prom").rdbuf();
    EXPECT_NE(std::string::npos, text.str().find("drivelore_drive_counters_rising{serial="))
        << text.str();
    EXPECT_NE(std::string::npos, text.str().find("drivelore_raid_status{serial=")) << text.str();

    ASSERT_EQ(0, run(dir + "/missing/drivelore.prom", &err)) << err;
    const std::string said = "<4>cannot write the metrics to " + dir + "/missing/drivelore.prom";
    EXPECT_NE(std::string::npos, err.find(said)) << err;
    EXPECT_EQ(err.find(said), err.rfind(said)) << "said once: " << err;

    std::ostringstream out, errs;
    std::istringstream in;
    std::atomic<int> interrupted{0};
    EXPECT_EQ(cli::ExitUsage, cli::run({"monitor", "--metrics"}, out, errs, in, interrupted));
    std::system(("rm -rf " + dir).c_str());
}

}  // namespace
