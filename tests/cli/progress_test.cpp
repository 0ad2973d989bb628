// Time left: `progress --follow` over an emulated rebuild (the clock moves only through
// the tool's own sleeps), the estimator's edges and the metric.
#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <atomic>
#include <csignal>
#include <sstream>

#include "cli/cli.h"
#include "cli/metrics.h"
#include "io/platform.h"
#include "monitor/snapshot.h"
#include "os/manual_clock.h"
#include "sim/profiles.h"

using namespace corvane;

namespace {

// Asks the tool to stop, as SIGINT does, once it has written `limit` lines.
struct StopAfter : std::stringbuf {
    std::atomic<int> signal{0};
    long limit = 0;
    int sync() override {
        const std::string s = str();
        if (std::count(s.begin(), s.end(), '\n') >= limit) {
            signal = SIGINT;
        }
        return 0;
    }
};

}  // namespace

// A two-hour rebuild: within 10 % of the truth while it moves, to its end; none soon
// after it stalls (at 30 %, after 36 minutes).
TEST(TimeLeft, FollowSteadyAndStalledRebuilds) {
    constexpr uint32_t kRebuildMs = 2 * 3600 * 1000;
    os::ManualClock clock;
    os::ScopedClock use(clock);
    clock.setAutoAdvance(true);
    for (const uint16_t stall : {0, 3000}) {
        SCOPED_TRACE(stall);
        auto device = sim::makeProfile("degraded", {512, 0, &clock});
        device->model->setTimings({30000, 10000, kRebuildMs});
        sim::ModelFaults f;
        f.rebuildStallsAt = stall;
        device->model->setFaults(f);
        auto platform = std::make_shared<sim::EmulatedPlatform>();
        platform->plug(0, device->disk);
        io::setPlatform(platform);
        StopAfter buffer;
        buffer.limit = stall ? 230 : 100000;
        std::ostream out(&buffer);
        std::ostringstream err;
        std::istringstream in;
        ASSERT_EQ(
            0, cli::run({"--disk-number", "0", "rebuild", "--yes"}, out, err, in, buffer.signal));
        buffer.str("");
        const int code = cli::run({"--disk-number", "0", "--json", "progress", "--follow"}, out,
                                  err, in, buffer.signal);
        EXPECT_EQ(stall ? 130 : 0, code) << err.str();
        std::istringstream all(buffer.str());
        size_t progressing = 0, estimated = 0, stalled = 0, lines = 0;
        int phase = 0;
        for (std::string line; std::getline(all, line); ++lines) {
            const QJsonObject r = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
            const bool has = r.contains("secondsLeft");
            phase = r["phase"].toInt();
            if (phase != 2 || r["percent"].toInt() == stall) {
                // A few reports at the stalled percentage may still count down; not long.
                EXPECT_FALSE(has && ++stalled > 7) << line;
                continue;
            }
            estimated += has;
            // The model's percentage is linear in time: the truth to 0.72 s.
            const double truth = kRebuildMs / 1000.0 * (10000 - r["percent"].toInt()) / 10000.0;
            if (has) {
                EXPECT_NEAR(truth, r["secondsLeft"].toDouble(), 0.1 * truth + 1) << line;
            } else {
                EXPECT_LE(++progressing - estimated, 6u) << line;  // only in the first minutes
            }
        }
        EXPECT_GT(estimated, 90u);
        if (!stall) {
            EXPECT_GT(lines, kRebuildMs / 20000);
            EXPECT_EQ(3, phase);  // Completed ends the follow
        }
        io::setPlatform(nullptr);
    }
}

TEST(TimeLeft, MetricOnlyWhileProgressingAndKnown) {
    const std::tuple<uint32_t, std::optional<uint32_t>, bool> rows[] = {
        {2, 7800, true}, {2, std::nullopt, false}, {3, 0, false}};
    for (const auto& [phase, left, shown] : rows) {
        cli::DeviceSnapshot s;
        s.key = "0011223344556677";
        s.info = std::make_shared<dcp::DcpRespInfo>();
        s.progress = std::make_shared<dcp::DcpRespProgress>();
        s.progress->phase = phase;
        s.secondsLeft = left;
        const std::string sample = "drivelore_operation_remaining_seconds{serial=\"" + s.key +
                                   "\",operation=\"rebuild\"} " + std::to_string(left.value_or(0)) +
                                   "\n";
        EXPECT_EQ(shown, cli::formatMetrics({s}).find(sample) != std::string::npos);
    }
}
