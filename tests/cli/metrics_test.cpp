#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>

#include "cli/json.h"
#include "cli/metrics.h"
#include "dcp/payload.h"
#include "monitor/atomic_file.h"
#include "monitor_rig.h"

using namespace corvane;
using namespace corvane::test;

namespace {

std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        out.push_back(e.path().filename());
    }
    return out;
}

using Labels = std::vector<std::pair<std::string, std::string>>;

class Expected {
public:
    void sample(const std::string& name, const Labels& labels, double value) {
        std::string l;
        for (const auto& [k, v] : labels) {
            l += (l.empty() ? "" : ",") + cli::jsonString(k) + ":" + cli::jsonString(v);
        }
        names_.insert(name);
        char number[64];
        std::snprintf(number, sizeof number, "%.17g", value);
        samples_ += std::string(samples_.empty() ? "" : ",\n") + "[" + cli::jsonString(name) +
                    ",{" + l + "}," + number + "]";
    }
    // `suffix` follows the serial of a device whose serial another one reports too.
    void device(const sim::EmulatedDevice& d, const std::string& path,
                const std::string& suffix = "") {
        sim::DeviceModel& m = *d.model;
        const sim::Identity id = m.identity();
        const std::string serial = serialOf(d) + suffix;
        const sim::Raid raid = m.raid();
        const Labels of = {{"serial", serial}};
        sample("drivelore_device_up", of, 1);
        sample("drivelore_device_info",
               {{"serial", serial},
                {"model", id.model},
                {"product", dcp::productNameFor(id.productId)},
                {"firmware", id.firmwareDate + " " + id.firmwareTime},
                {"device", path}},
               1);
        const uint64_t capacity = raid.configured ? raid.capacity : 0;
        sample("drivelore_raid_status", of, m.raidStatus());
        sample("drivelore_raid_drive_failure_likely", of, m.driveFailureLikely());
        sample("drivelore_raid_cache_disabled", of, raid.cacheDisabled);
        sample("drivelore_raid_capacity_bytes", of, double(capacity));
        sample("drivelore_raid_os_capacity_bytes", of,
               capacity ? double(m.mediumBytes() / 512 * 512) : 0);
        for (unsigned bay = 0; bay < sim::kBays; ++bay) {
            const sim::Drive drive = m.drive(bay);
            const Labels at = {{"serial", serial}, {"bay", std::to_string(bay)}};
            sample("drivelore_drive_present", at, drive.present);
            if (!drive.present) {
                continue;
            }
            sample("drivelore_drive_info",
                   {{"serial", serial},
                    {"bay", std::to_string(bay)},
                    {"model", drive.model},
                    {"drive_serial", drive.serial}},
                   1);
            sample("drivelore_drive_capacity_bytes", at, double(drive.capacity));
            const int member = int(drive.member);
            const int health = drive.member == sim::Member::Failed ? 3
                               : member >= 1 && member <= 3        ? (drive.failureWarning ? 2 : 1)
                                                                   : 0;
            sample("drivelore_drive_health", at, health);
            sample("drivelore_drive_member_state", at, member == 4 ? 3 : member);
            if (drive.temperature) {
                sample("drivelore_drive_temperature_celsius", at, drive.temperature / 10.0);
            }
            sample("drivelore_drive_scan_errors_total", at, drive.scanErrors);
            sample("drivelore_drive_bad_blocks_remapped_total", at, drive.badBlocksRemapped);
            sample("drivelore_drive_crc_errors_total", at, drive.crcErrors);
        }
        const sim::Progress p = m.progress();
        const Labels op = {
            {"serial", serial},
            {"operation",
             p.operation == sim::Operation::Initialization ? "initialization" : "rebuild"}};
        sample("drivelore_operation_phase", op, int(p.phase));
        sample("drivelore_operation_progress_ratio", op, p.percent / 10000.0);
        // Declared always; a single snapshot has no time left to sample.
        names_.insert("drivelore_operation_remaining_seconds");
    }
    // The parser names a counter family without its _total.
    std::string json() const {
        std::string families;
        for (std::string name : names_) {
            const bool counter = name.size() > 6 && name.compare(name.size() - 6, 6, "_total") == 0;
            families += (families.empty() ? "\"" : ",\"") +
                        (counter ? name.substr(0, name.size() - 6) : name) + "\":\"" +
                        (counter ? "counter" : "gauge") + "\"";
        }
        return "{\"families\":{" + families + "},\n\"samples\":[" + samples_ + "]}\n";
    }

private:
    std::string samples_;
    std::set<std::string> names_;
};

class MetricsTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform->setChangeListener([] { os::announceDeviceChange(); });
        io::setPlatform(platform);
    }
    void TearDown() override { io::setPlatform(nullptr); }
    std::shared_ptr<sim::EmulatedPlatform> platform = std::make_shared<sim::EmulatedPlatform>();
    TempDir tmp;
    const std::string dir = tmp.path;
};

// Every profile, one of them with device texts that need escaping, one in the middle of
// a rebuild and one with a drive pulled, and a healthy twin that reports the rebuilding
// one's serial; parsed by a real parser of the format.
TEST_F(MetricsTest, EveryProfileAsTheParserReadsIt) {
    std::vector<sim::EmulatedDevice> devices;
    const auto names = sim::profileNames();
    for (unsigned n = 0; n < names.size(); ++n) {
        devices.push_back(*sim::makeProfile(names[n], {512, n, nullptr}));
        platform->plug(n, devices.back().disk);
    }
    const unsigned twin = unsigned(devices.size());
    devices.push_back(*sim::makeProfile("healthy", {512, twin, nullptr}));
    sim::Identity same = devices.back().model->identity();
    same.serial = devices[1].model->identity().serial;
    devices.back().model->setIdentity(same);
    platform->plug(twin, devices.back().disk);
    devices[2].model->pullDrive(1);
    sim::Identity id = devices[0].model->identity();
    id.model = "Q\"\\\nx\x1b\xe9";
    devices[0].model->setIdentity(id);
    sim::Drive odd = devices[0].model->drive(2);
    odd.model = "say \"\\n\" \\ \n\x1b[1m\xe9t\xe9";
    odd.serial = "\"\"";
    devices[0].model->setDrive(2, odd);

    auto core = cli::openCore(true);
    ASSERT_TRUE(core);
    ASSERT_TRUE(core->waitForScans(1, std::chrono::seconds(10)));
    dcp::DcpReqRebuild rebuild;
    dcp::DcpResponse* answer = nullptr;
    ASSERT_EQ(drl::Ok, core->execute(1, &rebuild, &answer));  // "degraded" starts one
    delete answer;

    const std::string text = cli::formatMetrics(cli::takeSnapshots(*core));
    Expected expected;
    expected.sample("drivelore_devices", {}, double(devices.size()));
    for (unsigned n = 0; n < devices.size(); ++n) {
        const bool shared = n == 1 || n == twin;
        expected.device(devices[n], io::platform().diskPath(n),
                        shared ? "@disk" + std::to_string(n) : "");
    }
    std::ofstream(dir + "/metrics.prom") << text;
    std::ofstream(dir + "/expected.json") << expected.json();
    const int status = std::system(("/usr/bin/python3 " DRL_CHECK_METRICS " " + dir +
                                    "/metrics.prom " + dir + "/expected.json")
                                       .c_str());
    ASSERT_NE(-1, status);
    if (WEXITSTATUS(status) == 77 || WEXITSTATUS(status) == 127) {
        GTEST_SKIP() << "python3-prometheus-client is not installed";
    }
    EXPECT_EQ(0, WEXITSTATUS(status)) << text;
    EXPECT_TRUE(has(text, "model=\"Q\\\"\\\\\\nx"));
}

TEST_F(MetricsTest, OutputFileIsReplacedWholeOrNotAtAll) {
    const std::string file = dir + "/drivelore.prom";
    const V only{"drivelore.prom"};
    auto metrics = [&](const std::string& output) {
        const Outcome r = tool({"--emulated", "healthy", "metrics", "--output", output});
        EXPECT_EQ("", r.out);
        return r;
    };
    ASSERT_EQ(0, metrics(file).code);
    const std::string first = readFile(file);
    EXPECT_TRUE(has(first, "drivelore_raid_status{serial="));
    struct stat st;
    ASSERT_EQ(0, stat(file.c_str(), &st));
    EXPECT_EQ(0644u, st.st_mode & 0777);
    EXPECT_EQ(only, entries(dir));

    // A full disk, a sync or a rename that fails once the new text is written: the old
    // file stays, no leftovers.
    Outcome r = withFileSizeLimit(100, [&] { return metrics(file); });
    EXPECT_EQ(cli::ExitIoFailure, r.code);
    EXPECT_TRUE(has(r.err, "kept as it was"));
    EXPECT_TRUE(has(r.err, "too large"));
    EXPECT_EQ(first, readFile(file));
    EXPECT_EQ(only, entries(dir));
    const cli::FileCalls real = cli::fileCalls;
    cli::FileCalls failing[2] = {real, real};
    failing[0].fsync = [](int) { return errno = EIO, -1; };
    failing[1].rename = [](const char*, const char*) { return errno = EIO, -1; };
    for (const cli::FileCalls& calls : failing) {
        cli::fileCalls = calls;
        r = metrics(file);
        cli::fileCalls = real;
        EXPECT_EQ(cli::ExitIoFailure, r.code);
        EXPECT_TRUE(has(r.err, std::string("kept as it was): cannot")));
        EXPECT_TRUE(has(r.err, std::strerror(EIO)));
        EXPECT_EQ(first, readFile(file));
        EXPECT_EQ(only, entries(dir));
    }

    for (const std::string& bad : {dir + "/no-such-folder/x.prom", file + "/x.prom"}) {
        r = metrics(bad);
        EXPECT_EQ(cli::ExitIoFailure, r.code) << bad;
        EXPECT_TRUE(has(r.err, "cannot create a file in"));
    }
    if (geteuid() != 0) {  // root writes to read-only folders anyway
        chmod(dir.c_str(), 0555);
        r = metrics(file);
        EXPECT_EQ(cli::ExitIoFailure, r.code);
        EXPECT_TRUE(has(r.err, "Permission denied"));
        chmod(dir.c_str(), 0755);
        EXPECT_EQ(first, readFile(file));
    }
}

}  // namespace
