// The exchange lock of the platform seam: one per device whatever path opened it, bounded
// waits, released by unlock and by close; on Linux (flock) and in the emulator alike.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <thread>

#include "dcp/framing.h"
#include "io/passthrough.h"
#include "io/platform.h"
#include "sim/emulated_disk.h"
#include "sim/profiles.h"

using namespace corvane;

namespace {

using Opener = std::function<std::unique_ptr<io::Disk>()>;

void checkOneLock(const Opener& openA, const Opener& openB) {
    auto a = openA();
    auto b = openB();
    ASSERT_TRUE(a && b);
    EXPECT_EQ(0, a->lock(0));
    EXPECT_EQ(ETIMEDOUT, b->lock(20)) << "the same device under another path";
    EXPECT_EQ(0, a->unlock());
    EXPECT_EQ(0, b->lock(0));
    EXPECT_EQ(ETIMEDOUT, a->lock(0));

    // A waiter gets the lock as soon as the holder lets go, long before its deadline.
    std::thread holder([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        b->unlock();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(0, a->lock(10000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    holder.join();

    // Closing releases it, as a process that dies does.
    EXPECT_EQ(0, a->close());
    EXPECT_EQ(0, b->lock(0));
    EXPECT_EQ(EBADF, a->lock(0));
}

TEST(ExchangeLock, LinuxOneLockPerNodeUnderEveryPath) {
    char image[] = "/tmp/drl-lock-XXXXXX";
    const int fd = mkstemp(image);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, ftruncate(fd, 1 << 20));
    close(fd);
    const std::string link = std::string(image) + ".link";
    ASSERT_EQ(0, symlink(image, link.c_str()));
    auto host = io::makeLinuxPlatform();
    int err = 0;
    checkOneLock([&] { return host->openPath(image, &err); },
                 [&] { return host->openPath(link, &err); });
    unlink(link.c_str());
    unlink(image);
}

TEST(ExchangeLock, EmulatedOneLockPerDiskUnderEveryPath) {
    auto platform = std::make_shared<sim::EmulatedPlatform>();
    auto disk = std::make_shared<sim::EmulatedDisk>(512, 1 << 16);
    platform->plug(2, disk);
    platform->addPath("/dev/disk/by-id/corvane-2", disk);
    int err = 0;
    checkOneLock([&] { return platform->openDisk(2, &err); },
                 [&] { return platform->openPath("/dev/disk/by-id/corvane-2", &err); });
    EXPECT_EQ(nullptr, disk->lockHolder());
}

// Every operation of an exchange, on either transport, runs while its handle holds the
// lock, and the lock is free again afterwards, whatever the outcome.
TEST(ExchangeLock, HeldForTheWholeExchange) {
    for (bool inBand : {false, true}) {
        for (bool answered : {true, false}) {
            SCOPED_TRACE(std::string(inBand ? "in-band" : "direct") +
                         (answered ? "" : ", not answered"));
            auto device = sim::makeProfile("healthy", {4096, 0, nullptr});
            ASSERT_TRUE(device);
            sim::TransportFaults faults;
            faults.directRefused = inBand;
            faults.ignoreCommands = !answered;
            device->firmware->setFaults(faults);
            auto platform = std::make_shared<sim::EmulatedPlatform>();
            platform->plug(0, device->disk);
            int err = 0;
            auto handle = platform->openDisk(0, &err);
            ASSERT_TRUE(handle);
            int ops = 0, unlocked = 0;
            device->disk->setFaultInjector([&](sim::DiskOp, uint64_t) {
                ++ops;
                unlocked += device->disk->lockHolder() != handle.get();
                return 0;
            });
            const uint8_t request[8] = {1};
            uint8_t response[490];
            const auto r = dcp::executeCommand(handle.get(), 4096, 1, request, 8, response,
                                               sizeof response, nullptr, 2);
            EXPECT_EQ(answered || !inBand ? dcp::TransportOk : dcp::NotAnswered, r);
            EXPECT_GT(ops, 0);
            EXPECT_EQ(0, unlocked);
            EXPECT_EQ(nullptr, device->disk->lockHolder());
        }
    }
}

}  // namespace
