// drivelore-cli through the helper gives what it gives without: in-process on emulated
// devices for every one-device command, and as two programs on loop devices over
// FUSE-served emulated devices (root, /dev/fuse and loop devices needed).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <sstream>

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
    bool operator==(const Outcome& o) const { return code == o.code && out == o.out; }
};

// The report tells the controller's uptime, which moves on between two calls.
std::string timeless(std::string text) {
    for (size_t at; (at = text.find("Controller uptime:")) != std::string::npos;) {
        text.erase(at, text.find('<', at) - at);
    }
    return text;
}

Outcome cli(std::vector<std::string> args) {
    std::ostringstream out, err;
    std::istringstream in;
    std::atomic<int> interrupted{0};
    const int code = cli::run(args, out, err, in, interrupted);
    io::setPlatform(nullptr);
    return {code, timeless(out.str() + err.str())};
}

Outcome process(const std::string& args) {
    FILE* pipe = popen((std::string(DRL_CLI) + " " + args + " 2>&1").c_str(), "r");
    std::string out;
    char buffer[4096];
    for (size_t n; pipe && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        out.append(buffer, n);
    }
    const int status = pipe ? pclose(pipe) : -1;
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, timeless(out)};
}

const std::vector<std::vector<std::string>> kCommands = {{"info"},
                                                         {"--json", "info"},
                                                         {"drives"},
                                                         {"report"},
                                                         {"--json", "progress"},
                                                         {"rebuild", "--yes"},
                                                         {"init", "--capacity-mode", "1", "--yes"},
                                                         {"--json", "drives", "--bay", "2"}};

TEST(CliViaHelper, EveryOneDeviceCommandPrintsWhatItPrintsDirectly) {
    for (const std::string profile : {"healthy", "degraded", "new", "too-large"}) {
        for (const auto& command : kCommands) {
            std::vector<std::string> args = {"--emulated", "failing," + profile, "--disk-number",
                                             "1"};
            args.insert(args.end(), command.begin(), command.end());
            const Outcome direct = cli(args);
            args.push_back("--via-helper");
            const Outcome viaHelper = cli(args);
            EXPECT_EQ(direct.code, viaHelper.code) << profile << " " << command.back();
            EXPECT_EQ(direct.out, viaHelper.out) << profile << " " << command.back();
            EXPECT_FALSE(direct.out.empty());
        }
    }
}

TEST(CliViaHelper, OnlyDisksByNumber) {
    const Outcome byPath = cli({"--disk", "/dev/sda", "--via-helper", "info"});
    EXPECT_EQ(cli::ExitUsage, byPath.code);
    EXPECT_NE(std::string::npos, byPath.out.find("by number")) << byPath.out;
}

TEST(CliViaHelper, LoopDevicesThroughTheHelperProgram) {
    std::string why = testkit::loopUnavailable();
    if (why.empty() && access("/dev/fuse", R_OK | W_OK) != 0) {
        why = "no /dev/fuse";
    }
    if (!why.empty()) {
        GTEST_SKIP() << why;
    }
    char dir[] = "/tmp/drl-helper-simfs-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    sim::DiskFileSystem fs;
    auto device = sim::makeProfile("degraded", {512, 0, nullptr});
    ASSERT_TRUE(device);
    const std::string error = fs.mount(dir, {{"disk0", device->disk}});
    if (!error.empty()) {
        rmdir(dir);
        GTEST_SKIP() << error;
    }
    {
        testkit::LoopDevice loop;
        ASSERT_EQ(0, loop.attach(std::string(dir) + "/disk0", 512, true));
        if (loop.number() > 25) {
            GTEST_SKIP() << "loop device number " << loop.number() << " beyond disk 25";
        }
        const std::string disk =
            "--disk-pattern /dev/loop%d --disk-number " + std::to_string(loop.number()) + " ";
        for (const auto& command : kCommands) {
            // A rebuild changes the device for the run after it; it goes once, below.
            if (command.front() == "rebuild") {
                continue;
            }
            std::string line;
            for (const auto& word : command) {
                line += " " + word;
            }
            const Outcome direct = process(disk + line);
            const Outcome viaHelper = process(disk + "--via-helper" + line);
            EXPECT_EQ(direct.code, viaHelper.code) << line;
            EXPECT_EQ(direct.out, viaHelper.out) << line;
        }
        const Outcome rebuild = process(disk + "--via-helper rebuild --yes");
        EXPECT_EQ(0, rebuild.code) << rebuild.out;
        EXPECT_EQ("Rebuild in Progress\n", rebuild.out);
        const Outcome info = process(disk + "--via-helper --json info");
        EXPECT_EQ(0, info.code) << info.out;
        EXPECT_TRUE(device->disk->changedBlocks(device->firmware->reservedBlocks()).empty());
        // A partition-free disk number that is not there, and one out of range.
        const Outcome absent =
            process("--disk-pattern /dev/drl-none%d --disk-number 3 --via-helper info");
        EXPECT_EQ(cli::ExitIoFailure, absent.code) << absent.out;
    }
    fs.unmount();
    rmdir(dir);
}

}  // namespace
