// The command-line tool through the kernel: emulated devices served as files through FUSE,
// loop devices on them with direct I/O, the Linux platform on the loop devices. The loop
// devices have no SG_IO to the firmware, so every exchange takes the in-band mailbox.
// Needs root, /dev/fuse and loop devices.

#include <gtest/gtest.h>

#include <thread>

#include "tests/support/served_devices.h"

using namespace corvane;
using testkit::Outcome;

namespace {

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

// Two processes on one device, each a loop of many-exchange reports through the mailbox:
// each call gets its own answer.
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
