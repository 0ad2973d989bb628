// drivelore-cli through the helper gives what it gives without: in-process on emulated
// devices for every one-device command, and as two programs on loop devices over
// FUSE-served emulated devices (root, /dev/fuse and loop devices needed). And how
// drivelore-helper ends.
#include <gtest/gtest.h>

#include "tests/support/served_devices.h"

using namespace corvane;
using testkit::Outcome;

namespace {

Outcome cli(const std::vector<std::string>& args) {
    const Outcome o = testkit::cli(args);
    return {o.first, testkit::timeless(o.second)};
}

Outcome shell(const std::string& line) {
    const Outcome o = testkit::shell(line);
    return {o.first, testkit::timeless(o.second)};
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
    for (const std::string& profile : sim::profileNames()) {
        for (const std::string block : {"512", "4096"}) {
            for (const std::string command : kCommands) {
                std::vector<std::string> args =
                    testkit::words("--block-size " + block + " --disk-number 1 " + command);
                args.insert(args.begin(), {"--emulated", "failing," + profile});
                const Outcome direct = cli(args);
                args.push_back("--via-helper");
                EXPECT_EQ(direct, cli(args)) << profile << " " << block << " " << command;
                EXPECT_FALSE(direct.second.empty());
            }
        }
    }
}

TEST(CliViaHelper, OnlyDisksByNumber) {
    const Outcome byPath = cli({"--disk", "/dev/sda", "--via-helper", "info"});
    EXPECT_EQ(cli::ExitUsage, byPath.first);
    EXPECT_NE(std::string::npos, byPath.second.find("by number")) << byPath.second;
}

TEST(CliViaHelper, LoopDevicesThroughTheHelperProgram) {
    testkit::ServedDevices served;
    std::string why = testkit::loopUnavailable() + testkit::fuseUnavailable();
    if (why.empty()) {
        why = served.serve({"degraded"}, 512);
    }
    if (!why.empty()) {
        GTEST_SKIP() << why;
    }
    ASSERT_EQ(0, served.loop("disk0", 512));
    const int number = served.loops[0]->number();
    if (number > 25) {
        GTEST_SKIP() << "loop device number " << number << " beyond disk 25";
    }
    const std::string disk =
        DRL_CLI " --disk-pattern /dev/loop%d --disk-number " + std::to_string(number) + " ";
    for (const std::string command : kCommands) {
        // A rebuild changes the device for the run after it; it goes once, below.
        if (command.rfind("rebuild", 0) != 0) {
            EXPECT_EQ(shell(disk + command), shell(disk + "--via-helper " + command)) << command;
        }
    }
    EXPECT_EQ(Outcome(0, "Rebuild in Progress\n"), shell(disk + "--via-helper rebuild --yes"));
    EXPECT_EQ(0, shell(disk + "--via-helper --json info").first);
    const sim::EmulatedDevice& device = served.devices[0];
    EXPECT_TRUE(device.disk->changedBlocks(device.firmware->reservedBlocks()).empty());
    const Outcome absent =
        shell(DRL_CLI " --disk-pattern /dev/drl-none%d --disk-number 3 --via-helper info");
    EXPECT_EQ(cli::ExitIoFailure, absent.first) << absent.second;
}

// drivelore-helper ends with 0 when its input closes, with 1 and a line after a message it
// cannot take; started through pkexec it serves its built-in disks and no others.
TEST(HelperChild, TheProgramEndsAsItShould) {
    const struct {
        std::string line;
        int code;
        const char* says;  // all it prints; nullptr: not checked
    } cases[] = {
        {"true | " DRL_HELPER, 0, ""},
        {"printf '\\0\\0\\0\\020' | " DRL_HELPER, 1, "longer than allowed"},
        {"PKEXEC_UID=1000 " DRL_HELPER " --disk-pattern /dev/loop%d </dev/null", 2,
         "refused disk pattern /dev/loop%d"},
        {"PKEXEC_UID=1000 " DRL_HELPER " </dev/null", 0, ""},
        {"PKEXEC_UID=1000 " DRL_HELPER " --disk-pattern /dev/sd%c </dev/null", 0, ""},
        {DRL_HELPER " --disk-pattern /dev/loop%d </dev/null", geteuid() == 0 ? 0 : 2, nullptr},
    };
    for (const auto& c : cases) {
        const Outcome o = shell(c.line);
        EXPECT_EQ(c.code, o.first) << c.line << "\n" << o.second;
        if (c.says && !*c.says) {
            EXPECT_EQ("", o.second) << c.line;
        } else if (c.says) {
            EXPECT_NE(std::string::npos, o.second.find(c.says)) << c.line << "\n" << o.second;
        }
    }
}

}  // namespace
