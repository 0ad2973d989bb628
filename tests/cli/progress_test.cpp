// Time left: the estimator alone, `progress --follow` over an emulated rebuild (the clock
// moves only through the tool's own sleeps) and the metric.
#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <atomic>
#include <csignal>
#include <regex>
#include <sstream>

#include "cli/cli.h"
#include "cli/metrics.h"
#include "cli/snapshot.h"
#include "drl/time_left.h"
#include "io/platform.h"
#include "os/manual_clock.h"
#include "sim/profiles.h"

using namespace corvane;

namespace {

constexpr uint32_t kRebuildMs = 2 * 3600 * 1000;
constexpr uint32_t kPreparingMs = 10000;

// Asks the tool to stop (as SIGINT does) once it has written `limit` lines.
class StopAfter : public std::stringbuf {
public:
    StopAfter(std::atomic<int>& signal, size_t limit) : signal_(signal), limit_(limit) {}

protected:
    int sync() override {
        const std::string s = str();
        if (size_t(std::count(s.begin(), s.end(), '\n')) >= limit_) {
            signal_ = SIGINT;
        }
        return 0;
    }

private:
    std::atomic<int>& signal_;
    size_t limit_;
};

class FollowTest : public ::testing::Test {
protected:
    void TearDown() override {
        clock.setAutoAdvance(true);
        io::setPlatform(nullptr);
    }

    // A degraded device whose rebuild of two hours has been started.
    sim::EmulatedDevice startRebuild(uint16_t stallsAt) {
        auto device = sim::makeProfile("degraded", {512, 0, &clock});
        sim::Timings t;
        t.rebuildPreparingMs = kPreparingMs;
        t.rebuildProgressMs = kRebuildMs;
        device->model->setTimings(t);
        sim::ModelFaults f;
        f.rebuildStallsAt = stallsAt;
        device->model->setFaults(f);
        platform->plug(0, device->disk);
        io::setPlatform(platform);
        clock.setAutoAdvance(true);
        std::ostringstream out, err;
        std::istringstream in;
        const std::atomic<int> none{0};
        EXPECT_EQ(0, cli::run({"--disk-number", "0", "rebuild", "--yes"}, out, err, in, none))
            << err.str();
        return *device;
    }

    // The follow's lines; it stops by itself or after `limit` lines.
    std::vector<std::string> follow(std::vector<std::string> extra, size_t limit) {
        std::atomic<int> signal{0};
        StopAfter buffer(signal, limit);
        std::ostream out(&buffer);
        std::ostringstream err;
        std::istringstream in;
        std::vector<std::string> args = {"--disk-number", "0", "progress", "--follow"};
        args.insert(args.end(), extra.begin(), extra.end());
        const int code = cli::run(args, out, err, in, signal);
        EXPECT_EQ(signal ? 130 : 0, code) << err.str();
        std::vector<std::string> lines;
        std::istringstream all(buffer.str());
        for (std::string line; std::getline(all, line);) {
            lines.push_back(line);
        }
        return lines;
    }

    os::ManualClock clock;
    os::ScopedClock use{clock};
    std::shared_ptr<sim::EmulatedPlatform> platform = std::make_shared<sim::EmulatedPlatform>();
};

QJsonObject record(const std::string& line) {
    return QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
}

}  // namespace

TEST_F(FollowTest, SteadyRebuildWithinTenPercentToTheEnd) {
    startRebuild(0);
    const auto lines = follow({"--json"}, 100000);
    ASSERT_GT(lines.size(), size_t(kRebuildMs / 20000));
    EXPECT_EQ(3, record(lines.back())["phase"].toInt());  // Completed ends the follow
    size_t progressing = 0, estimated = 0;
    for (const std::string& line : lines) {
        const QJsonObject r = record(line);
        if (r["phase"].toInt() != 2) {
            EXPECT_FALSE(r.contains("secondsLeft")) << line;
            continue;
        }
        ++progressing;
        if (!r.contains("secondsLeft")) {
            continue;
        }
        ++estimated;
        // The model's percentage is linear in time; it says the truth to 0.72 s.
        const double truth = kRebuildMs / 1000.0 * (10000 - r["percent"].toInt()) / 10000.0;
        EXPECT_NEAR(truth, r["secondsLeft"].toDouble(), 0.1 * truth + 1) << line;
    }
    // No estimate only in the first minutes.
    EXPECT_GE(estimated + 6, progressing);
}

TEST_F(FollowTest, StalledRebuildLosesItsEstimate) {
    startRebuild(3000);
    // 30 % is reached after 36 minutes; follow for about an hour and a quarter.
    const auto lines = follow({"--interval", "20000"}, 230);
    const std::regex left(R"(Progressing, (\d+)\.(\d\d) %, about (\d+ h )?\d+ min left$)");
    size_t stalledLines = 0, withEstimate = 0;
    for (const std::string& line : lines) {
        std::smatch m;
        const bool estimated = std::regex_search(line, m, left);
        withEstimate += estimated;
        if (line.find("30.00 %") != std::string::npos) {
            // A few reports at the same percentage may still count down; not for long.
            EXPECT_FALSE(estimated && ++stalledLines > 7) << line;
        }
    }
    EXPECT_GT(withEstimate, 90u);  // the 35 minutes of movement had one
    EXPECT_EQ(std::string::npos, lines.back().find("left")) << lines.back();
}

TEST(TimeLeft, RestartSilenceAndWrap) {
    drl::TimeLeftEstimator e;
    uint32_t t = os::ManualClock::NearWrap;  // crosses the wrap within the first reports
    for (uint32_t p = 0; p <= 1000; p += 100, t += 20000) {
        e.report(5, p, t);
    }
    t -= 20000;
    ASSERT_TRUE(e.secondsLeft(t));
    EXPECT_NEAR(9000 * 200 / 1000.0, *e.secondsLeft(t), 1);
    // Time passing counts down between reports, until the reports are overdue.
    EXPECT_NEAR(9000 * 200 / 1000.0 - 60, *e.secondsLeft(t + 60000), 1);
    EXPECT_FALSE(e.secondsLeft(t + 10 * 60000));

    // A lower percentage is a new run; so is another operation.
    e.report(5, 50, t + 20000);
    EXPECT_FALSE(e.secondsLeft(t + 20000));
    e.report(5, 60, t + 40000);
    e.report(4, 70, t + 60000);
    e.report(4, 80, t + 120000);
    EXPECT_FALSE(e.secondsLeft(t + 120000));
}

TEST(TimeLeft, MetricOnlyWhileProgressingAndKnown) {
    const struct {
        uint32_t phase;
        std::optional<uint32_t> left;
        bool shown;
    } rows[] = {{2, 7800, true}, {2, std::nullopt, false}, {3, 0, false}};
    for (const auto& row : rows) {
        cli::DeviceSnapshot s;
        s.key = "0011223344556677";
        s.info = std::make_shared<dcp::DcpRespInfo>();
        s.progress = std::make_shared<dcp::DcpRespProgress>();
        s.progress->phase = row.phase;
        s.secondsLeft = row.left;
        const std::string text = cli::formatMetrics({s});
        const std::string sample = "drivelore_operation_remaining_seconds{serial=\"" + s.key +
                                   "\",operation=\"rebuild\"} " +
                                   std::to_string(row.left.value_or(0)) + "\n";
        EXPECT_EQ(row.shown, text.find(sample) != std::string::npos) << text;
    }
}
