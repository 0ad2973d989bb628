// The command-line tool through the kernel: emulated devices served as files through FUSE,
// loop devices on them with direct I/O, the Linux platform on the loop devices. The loop
// devices have no SG_IO to the firmware, so every exchange takes the in-band mailbox.
// Needs root, /dev/fuse and loop devices.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <thread>

#include "cli/cli.h"
#include "io/platform.h"
#include "sim/disk_fs.h"
#include "sim/profiles.h"
#include "tests/support/loop_device.h"

using namespace corvane;

namespace {

struct Outcome {
    int code;
    std::string out;
};

Outcome cli(std::vector<std::string> args) {
    std::ostringstream out, err;
    std::istringstream in;
    std::atomic<int> interrupted{0};
    const int code = cli::run(args, out, err, in, interrupted);
    return {code, out.str() + err.str()};
}

// drivelore-cli as a process of its own.
Outcome process(const std::string& args) {
    FILE* pipe = popen((std::string(DRL_CLI_BINARY) + " " + args + " 2>&1").c_str(), "r");
    if (!pipe) {
        return {-1, "popen failed"};
    }
    std::string out;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, n);
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

QJsonObject object(const std::string& line) {
    return QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
}

std::string hex(const std::array<uint8_t, 8>& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (uint8_t b : bytes) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

// The report tells the controller's uptime, which moves on between two calls.
std::string timeless(std::string report) {
    const size_t at = report.find("Controller uptime:");
    if (at != std::string::npos)
        report.erase(at, report.find('<', at) - at);
    return report;
}

class KernelPath : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why = testkit::loopUnavailable();
        if (why.empty() && access("/dev/fuse", R_OK | W_OK) != 0)
            why = "no /dev/fuse";
        if (!why.empty()) {
            GTEST_SKIP() << why;
        }
        char dir[] = "/tmp/drl-simfs-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(dir));
        mountPoint_ = dir;
        io::setPlatform(io::makeLinuxPlatform());
    }
    // Loop devices first: the file system cannot go while they hold its files.
    void TearDown() override {
        loops_.clear();
        fs_.unmount();
        if (!mountPoint_.empty())
            rmdir(mountPoint_.c_str());
        io::setPlatform(nullptr);
    }

    // Each profile as a file, each file behind a loop device of the device's block size.
    void serve(const std::vector<std::string>& profiles, uint32_t blockSize) {
        sim::DiskFileSystem::Files files;
        for (const std::string& p : profiles) {
            auto device = sim::makeProfile(p, {blockSize, unsigned(devices_.size()), nullptr});
            ASSERT_TRUE(device) << p;
            files.emplace_back("disk" + std::to_string(devices_.size()), device->disk);
            devices_.push_back(*device);
        }
        const std::string error = fs_.mount(mountPoint_, files);
        if (!error.empty()) {
            GTEST_SKIP() << error;
        }
        for (const auto& file : files) {
            loops_.push_back(std::make_unique<testkit::LoopDevice>());
            const int err = loops_.back()->attach(mountPoint_ + "/" + file.first, blockSize, true);
            ASSERT_EQ(0, err) << file.first << ": " << strerror(err);
            EXPECT_TRUE(loops_.back()->directIo()) << "the loop device fell back to its cache";
        }
    }

    std::string mountPoint_;
    sim::DiskFileSystem fs_;
    std::vector<sim::EmulatedDevice> devices_;
    std::vector<std::unique_ptr<testkit::LoopDevice>> loops_;
};

// Every profile at both block sizes: what the tool prints is what the device holds, and
// it got there through the mailbox alone.
TEST_F(KernelPath, EveryProfileThroughTheBlockLayer) {
    for (uint32_t blockSize : {512u, 4096u}) {
        SCOPED_TRACE(blockSize);
        serve(sim::profileNames(), blockSize);
        for (size_t n = 0; n < devices_.size(); ++n) {
            const sim::EmulatedDevice& device = devices_[n];
            SCOPED_TRACE(device.profile);
            const std::vector<std::string> disk = {"--disk", loops_[n]->path(), "--json"};
            auto with = [&](const std::string& command) {
                std::vector<std::string> args = disk;
                args.push_back(command);
                return cli(args);
            };
            // The file itself, read at an odd place: what the disk holds there.
            const uint64_t infoBlock = device.disk->totalBlocks() - 35;
            std::vector<uint8_t> read(100);
            void* aligned = nullptr;
            ASSERT_EQ(0, posix_memalign(&aligned, 4096, blockSize));
            std::unique_ptr<uint8_t, decltype(&free)> block(static_cast<uint8_t*>(aligned), free);
            size_t done = 0;
            ASSERT_EQ(0, device.disk->read(block.get(), blockSize, infoBlock * blockSize, &done,
                                           nullptr));
            const int fd = ::open((mountPoint_ + "/disk" + std::to_string(n)).c_str(), O_RDONLY);
            ASSERT_EQ(100, pread(fd, read.data(), 100, off_t(infoBlock * blockSize + 7)));
            ::close(fd);
            EXPECT_TRUE(std::equal(read.begin(), read.end(), block.get() + 7));

            device.disk->resetCounters();
            const Outcome info = with("info");
            ASSERT_EQ(0, info.code) << info.out;
            const QJsonObject r = object(info.out);
            EXPECT_EQ(QString::fromStdString(hex(device.model->identity().serial)),
                      r["serialText"].toString());
            EXPECT_EQ(QString::fromStdString(loops_[n]->path()), r["devicePath"].toString());
            EXPECT_EQ(device.model->diskTooLarge(), r["diskTooLarge"].toBool());
            EXPECT_EQ(device.model->readyForRebuild(), r["readyForRebuild"].toBool());
            EXPECT_EQ(0u, device.disk->counters().scsiCommands) << "no SG_IO through a loop";
            EXPECT_GT(device.disk->counters().writes, 0u) << "the mailbox was written";

            const Outcome drives = with("drives");
            ASSERT_EQ(0, drives.code) << drives.out;
            std::istringstream lines(drives.out);
            std::string line;
            for (unsigned bay = 0; bay < 4 && std::getline(lines, line); ++bay)
                EXPECT_EQ(device.model->drive(bay).present, object(line)["present"].toBool());

            const std::string expected = timeless(device.model->statusReport());
            const Outcome report = cli({"--disk", loops_[n]->path(), "report"});
            ASSERT_EQ(0, report.code) << report.out;
            EXPECT_NE(std::string::npos, timeless(report.out).find(expected)) << report.out;
        }
        loops_.clear();
        fs_.unmount();
        devices_.clear();
    }
}

// Two processes on one device, each a loop of many-exchange reports: each call gets its own
// answer.
TEST_F(KernelPath, TwoProcessesTakeTurns) {
    serve({"degraded"}, 512);
    const std::string disk = "--disk " + loops_[0]->path();
    const std::string expected = timeless(devices_[0].model->statusReport());
    constexpr int kCalls = 15;

    std::atomic<int> wrong{0};
    auto reports = [&] {
        for (int i = 0; i < kCalls; ++i) {
            const Outcome r = process(disk + " report");
            const bool bad = r.code != 0 || timeless(r.out).find(expected) == std::string::npos;
            if (bad && wrong++ == 0) {
                ADD_FAILURE() << "exit " << r.code << ": " << r.out.substr(0, 300);
            }
        }
    };
    std::thread first(reports), second(reports);
    first.join();
    second.join();
    EXPECT_EQ(0, wrong.load()) << "of " << 2 * kCalls << " report calls";
}

}  // namespace
