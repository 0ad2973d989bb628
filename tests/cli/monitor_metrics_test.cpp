// The metrics of the monitor service: what only a run over time tells (time left, trends),
// with the clock stepped by hand, and its --metrics file.
#include <gtest/gtest.h>

#include "cli/cli.h"
#include "cli/metrics.h"
#include "monitor_rig.h"

namespace corvane::test {
namespace {

// The value of the first sample whose line starts with `head`, or nothing.
std::optional<double> sampleOf(const std::string& text, const std::string& head) {
    const size_t at = text.find("\n" + head);
    if (at == std::string::npos) {
        return std::nullopt;
    }
    return std::stod(text.substr(at + 1 + head.size()));
}

class MonitorMetricsTest : public MonitorRig {
protected:
    void start(const std::vector<std::string>& profiles) {
        for (unsigned disk = 0; disk < profiles.size(); ++disk) {
            devices.push_back(plug(disk, profiles[disk]));
        }
        startCore();
        startMonitor();
    }
    std::string metrics() {
        monitor->poll();
        return cli::formatMetrics(monitor->lastRound(), true);
    }
    std::string key() const { return monitor->lastRound().at(0).key; }

    std::vector<sim::EmulatedDevice> devices;
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
        const std::string text = metrics();
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
    EXPECT_EQ("0000", gauges(metrics()));
    set(1, 6, 400);
    set(2, 0, 600);
    step(kMinute);
    EXPECT_EQ("1000", gauges(metrics()));
    step(10 * kMinute);
    EXPECT_EQ("1001", gauges(metrics())) << log.str();
    set(2, 0, 400);
    step(51 * kMinute);
    EXPECT_EQ("0000", gauges(metrics())) << "an hour without a rise; cool again";
    EXPECT_TRUE(has(log.str(), "[counter-steady]"));

    const std::string once = cli::formatMetrics(cli::takeSnapshots(*core));
    EXPECT_FALSE(has(once, "drivelore_drive_counters_rising"));
    EXPECT_TRUE(has(once, "drivelore_drive_crc_errors_total"));
}

// --metrics: written after every round; a file that cannot be written is said once and
// the monitor goes on.
TEST(MonitorMetricsFile, WrittenEachRoundOrSaidOnce) {
    TempDir tmp;
    const std::string dir = tmp.path;
    auto run = [&](const std::string& metrics) {
        return tool({"--emulated", "healthy", "monitor", "--state-dir", dir, "--count", "3",
                     "--interval", "0", "--metrics", metrics});
    };
    Outcome r = run(dir + "/drivelore.prom");
    ASSERT_EQ(0, r.code) << r.err;
    const std::string text = readFile(dir + "/drivelore.prom");
    EXPECT_TRUE(has(text, "drivelore_drive_counters_rising{serial="));
    EXPECT_TRUE(has(text, "drivelore_raid_status{serial="));

    r = run(dir + "/missing/drivelore.prom");
    ASSERT_EQ(0, r.code) << r.err;
    EXPECT_EQ(1u, count(r.err, "<4>cannot write the metrics to " + dir + "/missing/drivelore.prom"))
        << r.err;
    EXPECT_EQ(cli::ExitUsage, tool({"monitor", "--metrics"}).code);
}

}  // namespace
}  // namespace corvane::test
