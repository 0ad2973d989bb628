#include "wire.h"

using namespace simtest;

namespace {

class StatusReport : public DeviceTest {
protected:
    struct Chunk {
        uint32_t more;
        std::string text;
    };

    Chunk chunk(uint32_t offset) {
        const Payload p = must(request(dcp::SubGetStatusText, offset));
        return {u32(p, 0), text(p, 4, 252)};
    }

    // The host's loop, with a bound on its rounds.
    std::string fetch(std::vector<size_t>* sizes = nullptr, int maxRounds = 100) {
        std::string report;
        for (int round = 0; round < maxRounds; ++round) {
            const Chunk c = chunk(uint32_t(report.size()));
            report += c.text;
            if (sizes) {
                sizes->push_back(c.text.size());
            }
            if (c.more == 0) {
                return report;
            }
        }
        ADD_FAILURE() << "the report never ended";
        return report;
    }
};

TEST_P(StatusReport, ChunksReassembleIntoTheWholeReport) {
    for (const std::string& profile : sim::profileNames()) {
        SCOPED_TRACE(profile);
        attach(profile);
        std::vector<size_t> sizes;
        const std::string report = fetch(&sizes);
        EXPECT_EQ(model().statusReport(), report);
        EXPECT_EQ(0u, report.find("<html>"));
        EXPECT_NE(std::string::npos, report.find("</html>"));
        ASSERT_GE(sizes.size(), 3u);
        for (size_t i = 0; i + 1 < sizes.size(); ++i) {
            EXPECT_EQ(252u, sizes[i]) << "chunk " << i;
        }
        EXPECT_GT(sizes.back(), 0u);
        EXPECT_EQ(std::string::npos, report.find('\0'));
    }
}

// A report read while a rebuild runs must not mix two states of the device.
TEST_P(StatusReport, ChunksComeFromOneReading) {
    attach("degraded");
    ASSERT_EQ(1, rebuild()[0]);
    clock.advance(30000);
    const std::string before = model().statusReport();
    std::string report = chunk(0).text;
    clock.advance(60000);
    for (;;) {
        const Chunk c = chunk(uint32_t(report.size()));
        report += c.text;
        if (!c.more) {
            break;
        }
    }
    EXPECT_EQ(before, report);
    EXPECT_NE(before, fetch()) << "a new reading shows the progress made";
}

TEST_P(StatusReport, EndlessReports) {
    attach("healthy");
    const size_t length = model().statusReport().size();
    sim::ModelFaults f;
    f.endlessStatus = sim::EndlessStatus::Empty;
    model().setFaults(f);
    std::string report;
    while (report.size() < length) {
        report += chunk(uint32_t(report.size())).text;
    }
    for (int round = 0; round < 5; ++round) {
        const Chunk c = chunk(uint32_t(report.size()));
        EXPECT_NE(0u, c.more);
        EXPECT_EQ("", c.text);
    }

    f.endlessStatus = sim::EndlessStatus::Repeating;
    model().setFaults(f);
    std::string growing;
    for (int round = 0; round < 40; ++round) {
        const Chunk c = chunk(uint32_t(growing.size()));
        ASSERT_NE(0u, c.more);
        ASSERT_FALSE(c.text.empty());
        growing += c.text;
    }
    EXPECT_GT(growing.size(), 3 * length);
}

INSTANTIATE_TEST_SUITE_P(Setups, StatusReport, allSetups(), setupName);

}  // namespace
