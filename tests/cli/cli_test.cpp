#include <gtest/gtest.h>

#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <atomic>
#include <sstream>

#include "cli/cli.h"
#include "io/platform.h"
#include "sim/profiles.h"

using namespace corvane;

namespace {

struct Outcome {
    int code;
    std::string out;
    std::string err;
};

Outcome cli(std::vector<std::string> args, const std::string& input = "") {
    std::ostringstream out, err;
    std::istringstream in(input);
    std::atomic<bool> interrupted{false};
    const int code = cli::run(args, out, err, in, interrupted);
    return {code, out.str(), err.str()};
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream s(text);
    for (std::string line; std::getline(s, line);) {
        out.push_back(line);
    }
    return out;
}

bool validUtf8(const std::string& s) {
    const QByteArray bytes = QByteArray::fromStdString(s);
    return QString::fromUtf8(bytes).toUtf8() == bytes;
}

// Every output line is one JSON object.
std::vector<QJsonObject> objects(const std::string& text) {
    std::vector<QJsonObject> out;
    for (const std::string& line : lines(text)) {
        EXPECT_TRUE(validUtf8(line)) << line;
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(line), &error);
        EXPECT_EQ(QJsonParseError::NoError, error.error) << line;
        EXPECT_TRUE(doc.isObject()) << line;
        out.push_back(doc.object());
    }
    return out;
}

class CliTest : public ::testing::Test {
protected:
    void TearDown() override { io::setPlatform(nullptr); }

    sim::EmulatedDevice plug(const std::string& profile, uint32_t blockSize = 512,
                             bool inBand = false) {
        auto device = sim::makeProfile(profile, {blockSize, 0, nullptr});
        EXPECT_TRUE(device) << profile;
        if (inBand) {
            sim::TransportFaults f;
            f.directRefused = true;
            device->firmware->setFaults(f);
        }
        platform->plug(0, device->disk);
        io::setPlatform(platform);
        return *device;
    }

    std::shared_ptr<sim::EmulatedPlatform> platform = std::make_shared<sim::EmulatedPlatform>();
};

// Each profile, both block sizes, both transports: every command answers, the records are
// what the device holds, and the long operations do what its flags promise.
TEST_F(CliTest, EveryCommandOnEveryProfile) {
    for (const std::string& profile : sim::profileNames()) {
        for (uint32_t blockSize : {512u, 4096u}) {
            for (bool inBand : {false, true}) {
                SCOPED_TRACE(profile + " " + std::to_string(blockSize) +
                             (inBand ? " in-band" : ""));
                sim::EmulatedDevice device = plug(profile, blockSize, inBand);
                const std::vector<std::string> disk = {"--disk-number", "0", "--json"};
                auto with = [&](std::vector<std::string> more) {
                    std::vector<std::string> args = disk;
                    args.insert(args.end(), more.begin(), more.end());
                    return cli(args);
                };

                Outcome info = with({"info"});
                ASSERT_EQ(0, info.code) << info.err;
                const auto records = objects(info.out);
                ASSERT_EQ(1u, records.size());
                const QJsonObject r = records[0];
                EXPECT_EQ("Corvane", r["vendor"].toString());
                EXPECT_TRUE(r["capacity"].isDouble());
                EXPECT_TRUE(r["volumes"].isArray());
                EXPECT_EQ(16, r["serialText"].toString().size());
                EXPECT_EQ("/dev/sda", r["devicePath"].toString());
                if (!inBand) {
                    EXPECT_FALSE(r["diskTooLarge"].toBool()) << "the flag only comes in-band";
                }

                Outcome drives = with({"drives"});
                ASSERT_EQ(0, drives.code) << drives.err;
                const auto bays = objects(drives.out);
                ASSERT_EQ(4u, bays.size());
                for (int bay = 0; bay < 4; ++bay) {
                    EXPECT_EQ(bay, bays[bay]["driveIndex"].toInt());
                    EXPECT_TRUE(bays[bay]["temperature"].isDouble());
                    EXPECT_EQ(device.model->drive(bay).present, bays[bay]["present"].toBool());
                }

                Outcome report = cli({"--disk-number", "0", "report"});
                ASSERT_EQ(0, report.code) << report.err;
                EXPECT_NE(std::string::npos, report.out.find("</html>"));
                EXPECT_GT(report.out.size(), 500u);

                Outcome progress = with({"progress"});
                ASSERT_EQ(0, progress.code) << progress.err;
                EXPECT_TRUE(objects(progress.out)[0]["phase"].isDouble());

                Outcome rebuild = with({"rebuild", "--yes"});
                EXPECT_EQ(r["readyForRebuild"].toBool() ? 0 : 1, rebuild.code) << rebuild.err;
                EXPECT_TRUE(objects(rebuild.out)[0]["result"].isDouble());

                // A fresh device: the rebuild above may have changed what init allows.
                sim::EmulatedDevice again = plug(profile, blockSize, inBand);
                Outcome init = with({"init", "--capacity-mode", "1", "--yes"});
                EXPECT_EQ(r["canInitialize"].toBool() ? 0 : 1, init.code) << init.err;
                if (inBand) {
                    EXPECT_GT(again.disk->counters().writes, 0u);
                }
            }
        }
    }
}

TEST_F(CliTest, DocumentedExitCodes) {
    // Ignores every command sector: it is one of ours that does not answer.
    sim::EmulatedDevice device = plug("healthy", 4096, true);
    sim::TransportFaults f;
    f.directRefused = true;
    f.ignoreCommands = true;
    device.firmware->setFaults(f);
    Outcome r = cli({"--disk-number", "0", "info"});
    EXPECT_EQ(cli::ExitIoFailure, r.code);
    EXPECT_NE(std::string::npos, r.err.find("/dev/sda")) << r.err;

    // Another maker's device.
    device = plug("healthy");
    device.model->setVendor("Quillon");
    r = cli({"--disk-number", "0", "drives"});
    EXPECT_EQ(cli::ExitNotOurs, r.code);
    EXPECT_NE(std::string::npos, r.err.find("Quillon")) << r.err;

    // An ordinary disk, then one that cannot be read.
    auto plain = std::make_shared<sim::EmulatedDisk>(512, 1 << 16);
    platform->plug(1, plain);
    EXPECT_EQ(cli::ExitNotOurs, cli({"--disk-number", "1", "info"}).code);
    EXPECT_EQ(0u, plain->counters().writes);
    plain->setFaultInjector([](sim::DiskOp op, uint64_t) {
        return op == sim::DiskOp::Read || op == sim::DiskOp::Scsi ? EIO : 0;
    });
    EXPECT_EQ(cli::ExitIoFailure, cli({"--disk-number", "1", "info"}).code);
    r = cli({"--disk-number", "2", "info"});
    EXPECT_EQ(cli::ExitIoFailure, r.code);
    EXPECT_NE(std::string::npos, r.err.find("/dev/sdc")) << r.err;

    // A disk image on the real platform is opened by path and is no device.
    io::setPlatform(nullptr);
    char name[] = "/tmp/drl-cli-image-XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, ftruncate(fd, 512 * 1024));
    close(fd);
    r = cli({"--disk", name, "info"});
    EXPECT_EQ(cli::ExitNotOurs, r.code) << r.err;
    unlink(name);
}

TEST_F(CliTest, UsageErrorsTouchNoDisk) {
    sim::EmulatedDevice device = plug("new");
    device.disk->resetCounters();
    for (std::vector<std::string> args : {
             std::vector<std::string>{"--disk-number", "0", "drives", "--bay", "4"},
             {"--disk-number", "0", "init"},
             {"--disk-number", "0", "init", "--capacity-mode", "3"},
             {"--disk-number", "26", "info"},
             {"--disk", "/dev/sda", "--disk-number", "0", "info"},
             {"--disk-number", "0", "frobnicate"},
             {"--disk-number", "0", "info", "--capacity-mode", "1"},
             {"--emulated", "no-such-profile", "info"},
             {"--disk-number"},
             {},
         }) {
        Outcome r = cli(args);
        EXPECT_EQ(cli::ExitUsage, r.code) << r.out;
        EXPECT_FALSE(r.err.empty());
    }
    EXPECT_EQ(0u, device.disk->counters().total());
    for (const char* command :
         {"info", "drives", "report", "progress", "rebuild", "init", "scan", "watch"}) {
        Outcome r = cli({command, "--help"});
        EXPECT_EQ(0, r.code);
        EXPECT_NE(std::string::npos, r.out.find(command));
    }
}

TEST_F(CliTest, LongOperationsAskFirst) {
    sim::EmulatedDevice device = plug("degraded");
    Outcome r = cli({"--disk-number", "0", "rebuild"}, "n\n");
    EXPECT_EQ(cli::ExitNotDone, r.code);
    EXPECT_NE(std::string::npos, r.err.find("[y/N]"));
    Outcome progress = cli({"--disk-number", "0", "--json", "progress"});
    EXPECT_EQ(0, objects(progress.out)[0]["phase"].toInt()) << "nothing was started";
    EXPECT_EQ(cli::ExitNotDone, cli({"--disk-number", "0", "rebuild"}, "").code);

    r = cli({"--disk-number", "0", "rebuild"}, "y\n");
    EXPECT_EQ(0, r.code) << r.err;
    EXPECT_EQ("Rebuild in Progress\n", r.out);
    progress = cli({"--disk-number", "0", "progress"});
    EXPECT_NE(std::string::npos, progress.out.find("RAID Rebuild")) << progress.out;
}

TEST_F(CliTest, DeviceTextsBecomeValidUtf8) {
    sim::EmulatedDevice device = plug("failing");
    sim::ModelFaults faults;
    faults.textsAbove127 = true;
    faults.textsWithoutNul = true;
    device.model->setFaults(faults);
    for (const char* command : {"info", "drives", "report"}) {
        Outcome r = cli({"--disk-number", "0", "--json", command});
        ASSERT_EQ(0, r.code) << command << r.err;
        EXPECT_FALSE(objects(r.out).empty());
        Outcome text = cli({"--disk-number", "0", command});
        EXPECT_TRUE(validUtf8(text.out)) << command;
    }
}

TEST_F(CliTest, ScanAndWatchOnEmulatedDevices) {
    Outcome scan = cli({"--emulated", "healthy,degraded", "--json", "scan"});
    ASSERT_EQ(0, scan.code) << scan.err;
    const auto devices = objects(scan.out);
    ASSERT_EQ(2u, devices.size());
    EXPECT_EQ(0, devices[0]["devId"].toInt());
    EXPECT_EQ("/dev/sdb", devices[1]["devicePath"].toString());

    Outcome none = cli({"--emulated", "", "scan"});
    EXPECT_EQ(cli::ExitUsage, none.code);

    Outcome watch = cli({"--emulated", "healthy", "--json", "watch", "--count", "3"});
    ASSERT_EQ(0, watch.code) << watch.err;
    const auto events = objects(watch.out);
    ASSERT_EQ(3u, events.size());
    EXPECT_EQ("DeviceListChanged", events[0]["event"].toString());
    bool sawDevice = false;
    for (const auto& e : events) {
        if (e["event"].toString() == "DeviceListChanged" && !e["devices"].toArray().isEmpty()) {
            sawDevice = true;
        }
        if (e["event"].toString() == "AsyncCommResult") {
            EXPECT_TRUE(e["record"].isObject());
            EXPECT_EQ(0, e["devId"].toInt());
        }
    }
    EXPECT_TRUE(sawDevice);
}

}  // namespace
