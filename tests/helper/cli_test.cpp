// drivelore-cli through the helper gives what it gives without: in-process on emulated
// devices for every one-device command, and as two programs on loop devices over
// FUSE-served emulated devices (root, /dev/fuse and loop devices needed). And how
// drivelore-helper ends.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <sstream>
#include <utility>

#include "cli/cli.h"
#include "io/platform.h"
#include "sim/disk_fs.h"
#include "sim/profiles.h"
#include "tests/support/loop_device.h"

using namespace corvane;

namespace {

using Outcome = std::pair<int, std::string>;  // exit code, output

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

Outcome shell(const std::string& line) {
    FILE* pipe = popen((line + " 2>&1").c_str(), "r");
    std::string out;
    char buffer[4096];
    for (size_t n; pipe && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        out.append(buffer, n);
    }
    const int status = pipe ? pclose(pipe) : -1;
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, timeless(out)};
}

const char* const kCommands[] = {"info",
                                 "--json info",
                                 "drives",
                                 "report",
                                 "--json progress",
                                 "rebuild --yes",
                                 "init --capacity-mode 1 --yes",
                                 "--json drives --bay 2"};

TEST(CliViaHelper, EveryOneDeviceCommandPrintsWhatItPrintsDirectly) {
    for (const std::string profile : {"healthy", "degraded", "new", "too-large"}) {
        for (const std::string command : kCommands) {
            std::vector<std::string> args = {"--emulated", "failing," + profile, "--disk-number",
                                             "1"};
            std::istringstream words(command);
            for (std::string word; words >> word;) {
                args.push_back(word);
            }
            const Outcome direct = cli(args);
            args.push_back("--via-helper");
            EXPECT_EQ(direct, cli(args)) << profile << " " << command;
            EXPECT_FALSE(direct.second.empty());
        }
    }
}

TEST(CliViaHelper, OnlyDisksByNumber) {
    const Outcome byPath = cli({"--disk", "/dev/sda", "--via-helper", "info"});
    EXPECT_EQ(cli::ExitUsage, byPath.first);
    EXPECT_NE(std::string::npos, byPath.second.find("by number")) << byPath.second;
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
        const std::string disk = DRL_CLI " --disk-pattern /dev/loop%d --disk-number " +
                                 std::to_string(loop.number()) + " ";
        for (const std::string command : kCommands) {
            // A rebuild changes the device for the run after it; it goes once, below.
            if (command.rfind("rebuild", 0) == 0) {
                continue;
            }
            const std::string line = " " + command;
            EXPECT_EQ(shell(disk + line), shell(disk + "--via-helper" + line)) << line;
        }
        EXPECT_EQ(Outcome(0, "Rebuild in Progress\n"), shell(disk + "--via-helper rebuild --yes"));
        EXPECT_EQ(0, shell(disk + "--via-helper --json info").first);
        EXPECT_TRUE(device->disk->changedBlocks(device->firmware->reservedBlocks()).empty());
        const Outcome absent =
            shell(DRL_CLI " --disk-pattern /dev/drl-none%d --disk-number 3 --via-helper info");
        EXPECT_EQ(cli::ExitIoFailure, absent.first) << absent.second;
    }
    fs.unmount();
    rmdir(dir);
}

// drivelore-helper ends with status 0 when its input closes, and with 1 and a line on standard
// error after a message it cannot take.
TEST(HelperChild, TheProgramEndsOnClosedOrOversizedInput) {
    EXPECT_EQ(Outcome(0, ""), shell("true | " DRL_HELPER));
    const Outcome oversized = shell("printf '\\0\\0\\0\\020' | " DRL_HELPER);
    EXPECT_EQ(1, oversized.first);
    EXPECT_NE(std::string::npos, oversized.second.find("longer than allowed")) << oversized.second;
}

// Started through pkexec the helper serves its built-in disks and no others, whoever asks.
TEST(HelperChild, UnderPkexecNoOtherDiskPattern) {
    const Outcome other =
        shell("PKEXEC_UID=1000 " DRL_HELPER " --disk-pattern /dev/loop%d </dev/null");
    EXPECT_EQ(2, other.first);
    EXPECT_NE(std::string::npos, other.second.find("refused disk pattern /dev/loop%d"))
        << other.second;
    EXPECT_EQ(Outcome(0, ""), shell("PKEXEC_UID=1000 " DRL_HELPER " </dev/null"));
    EXPECT_EQ(Outcome(0, ""),
              shell("PKEXEC_UID=1000 " DRL_HELPER " --disk-pattern /dev/sd%c </dev/null"));
    EXPECT_EQ(geteuid() == 0 ? 0 : 2,
              shell(DRL_HELPER " --disk-pattern /dev/loop%d </dev/null").first);
}

}  // namespace
