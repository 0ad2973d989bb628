// The command-line tool through the kernel: emulated devices served as files through FUSE,
// loop devices on them with direct I/O, the Linux platform on the loop devices. The loop
// devices have no SG_IO to the firmware, so every exchange takes the in-band mailbox.
// Needs root, /dev/fuse and loop devices.

#include <fcntl.h>
#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <thread>

#include "tests/support/served_devices.h"

using namespace corvane;
using testkit::Outcome;

namespace {

QJsonObject object(const std::string& line) {
    return QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
}

// A device of each profile, each behind a loop device of the device's block size.
void serve(testkit::ServedDevices* served, const std::vector<std::string>& profiles,
           uint32_t blockSize) {
    std::string why = testkit::loopUnavailable() + testkit::fuseUnavailable();
    if (why.empty()) {
        why = served->serve(profiles, blockSize);
    }
    if (!why.empty()) {
        GTEST_SKIP() << why;
    }
    for (size_t n = 0; n < profiles.size(); ++n) {
        const int err = served->loop("disk" + std::to_string(n), blockSize);
        ASSERT_EQ(0, err) << profiles[n] << ": " << strerror(err);
        EXPECT_TRUE(served->loops[n]->directIo()) << "the loop device fell back to its cache";
    }
}

// Every profile at both block sizes: what the tool prints is what the device holds, and
// it got there through the mailbox alone.
TEST(KernelPath, EveryProfileThroughTheBlockLayer) {
    for (uint32_t blockSize : {512u, 4096u}) {
        SCOPED_TRACE(blockSize);
        testkit::ServedDevices served;
        serve(&served, sim::profileNames(), blockSize);
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        for (size_t n = 0; n < served.devices.size(); ++n) {
            const sim::EmulatedDevice& device = served.devices[n];
            SCOPED_TRACE(device.profile);
            const std::string& path = served.loops[n]->path();
            // The file itself, read at an odd place: what the disk holds there.
            const uint64_t at = (device.disk->totalBlocks() - 35) * blockSize;
            std::vector<uint8_t> read(100);
            void* aligned = nullptr;
            ASSERT_EQ(0, posix_memalign(&aligned, 4096, blockSize));
            std::unique_ptr<uint8_t, decltype(&free)> block(static_cast<uint8_t*>(aligned), free);
            size_t done = 0;
            ASSERT_EQ(0, device.disk->read(block.get(), blockSize, at, &done, nullptr));
            const int fd = ::open(served.path("disk" + std::to_string(n)).c_str(), O_RDONLY);
            ASSERT_EQ(100, pread(fd, read.data(), 100, off_t(at + 7)));
            ::close(fd);
            EXPECT_TRUE(std::equal(read.begin(), read.end(), block.get() + 7));

            device.disk->resetCounters();
            const Outcome info = testkit::cli({"--disk", path, "--json", "info"});
            ASSERT_EQ(0, info.first) << info.second;
            const QJsonObject r = object(info.second);
            EXPECT_EQ(testkit::hex(device.model->identity().serial),
                      r["serialText"].toString().toStdString());
            EXPECT_EQ(path, r["devicePath"].toString().toStdString());
            EXPECT_EQ(device.model->diskTooLarge(), r["diskTooLarge"].toBool());
            EXPECT_EQ(device.model->readyForRebuild(), r["readyForRebuild"].toBool());
            EXPECT_EQ(0u, device.disk->counters().scsiCommands) << "no SG_IO through a loop";
            EXPECT_GT(device.disk->counters().writes, 0u) << "the mailbox was written";

            const Outcome drives = testkit::cli({"--disk", path, "--json", "drives"});
            ASSERT_EQ(0, drives.first) << drives.second;
            std::istringstream lines(drives.second);
            std::string line;
            for (unsigned bay = 0; bay < 4 && std::getline(lines, line); ++bay) {
                EXPECT_EQ(device.model->drive(bay).present, object(line)["present"].toBool());
            }

            const Outcome report = testkit::cli({"--disk", path, "report"});
            ASSERT_EQ(0, report.first) << report.second;
            EXPECT_NE(std::string::npos, testkit::timeless(report.second)
                                             .find(testkit::timeless(device.model->statusReport())))
                << report.second;
        }
    }
}

// Two processes on one device, each a loop of many-exchange reports: each call gets its own
// answer.
TEST(KernelPath, TwoProcessesTakeTurns) {
    testkit::ServedDevices served;
    serve(&served, {"degraded"}, 512);
    if (IsSkipped() || HasFatalFailure()) {
        return;
    }
    const std::string report = DRL_CLI_BINARY " --disk " + served.loops[0]->path() + " report";
    const std::string expected = testkit::timeless(served.devices[0].model->statusReport());
    std::atomic<int> wrong{0};
    auto reports = [&] {
        for (int i = 0; i < 15; ++i) {
            const Outcome r = testkit::shell(report);
            if ((r.first != 0 || testkit::timeless(r.second).find(expected) == std::string::npos) &&
                wrong++ == 0) {
                ADD_FAILURE() << "exit " << r.first << ": " << r.second.substr(0, 300);
            }
        }
    };
    std::thread first(reports), second(reports);
    first.join();
    second.join();
    EXPECT_EQ(0, wrong.load()) << "of 30 report calls";
}

}  // namespace
