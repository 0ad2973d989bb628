// SCSI pass-through, and the exchange lock of the platform seam: one per device whatever
// path opened it, bounded waits, released by unlock and by close; on Linux (flock) and in
// the emulator alike.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>
#include <tuple>
#include <vector>

#include "dcp/framing.h"
#include "io/helper_platform.h"
#include "io/helper_protocol.h"
#include "io/passthrough.h"
#include "sim/emulated_disk.h"
#include "sim/firmware.h"
#include "sim/profiles.h"

using namespace corvane;

namespace {

class PassThroughTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform->plug(2, disk);
        io::setPlatform(platform);
        h.reset(io::openPhysicalDrive(2, nullptr));
        ASSERT_NE(nullptr, h);
    }
    void TearDown() override { io::setPlatform(nullptr); }

    // One data-in command; the outputs start as values that a failed call leaves alone.
    io::ScsiResult send(const uint8_t* cdb, uint32_t cdbLength, void* buffer) {
        status = 0x77;
        got = senseLength = 99;
        return io::scsiPassThrough(h.get(), cdb, cdbLength, false, buffer, 256, &got, &status,
                                   sense, sizeof sense, &senseLength, 1);
    }

    std::shared_ptr<sim::EmulatedPlatform> platform = std::make_shared<sim::EmulatedPlatform>();
    std::shared_ptr<sim::EmulatedDisk> disk = std::make_shared<sim::EmulatedDisk>(512, 100000);
    io::UniqueDrive h;
    alignas(8) uint8_t buf[264] = {};
    uint8_t status = 0, sense[8] = {};
    uint32_t got = 0, senseLength = 0;
};

TEST_F(PassThroughTest, OutputsAreWrittenOnlyAfterAWorkingCall) {
    // A misaligned buffer or a CDB that cannot be sent whole is refused before any call.
    const uint8_t bad[20] = {0x12};
    const std::tuple<const uint8_t*, uint32_t, void*> refused[] = {
        {bad, 12, buf + 4}, {nullptr, 12, buf}, {bad, 0, buf}, {bad, 17, nullptr}};
    for (const auto& [command, length, buffer] : refused) {
        EXPECT_EQ(io::ScsiInvalidArgument, send(command, length, buffer)) << length;
        EXPECT_EQ(0x77, status);
    }
    EXPECT_EQ(0u, disk->counters().scsiCommands);

    const uint8_t cdb[12] = {0xEC, 0, 2, 1, 1, 2, 3, 4, 5, 6, 7, 8};
    // An ordinary disk refuses the vendor command: CHECK CONDITION, with sense.
    EXPECT_EQ(io::ScsiCheckStatus, send(cdb, 12, buf));
    EXPECT_EQ(2, status);
    EXPECT_EQ(18u, senseLength);
    EXPECT_EQ(0x05, sense[2]) << "illegal request";

    disk->setFirmware(
        std::make_shared<sim::Firmware>(512, 100000, std::make_shared<sim::EchoHandler>()));
    ASSERT_EQ(io::ScsiOk, send(cdb, 12, buf));
    EXPECT_EQ(0, status);
    EXPECT_EQ(256u, got);
    uint8_t expected[490];
    sim::EchoHandler::expected(cdb + 4, expected);
    EXPECT_EQ(0, std::memcmp(expected, buf, 256));

    // A host adapter error and a refused call both fail without outputs.
    sim::TransportFaults lost;
    lost.transportError = true;
    disk->firmware()->setFaults(lost);
    for (bool refused : {false, true}) {
        disk->setSgIoSupported(!refused);
        EXPECT_EQ(io::ScsiIoctlFailed, send(cdb, 12, buf));
        EXPECT_EQ(0x77, status);
        EXPECT_EQ(99u, got);
        EXPECT_EQ(99u, senseLength);
    }
    disk->setPresent(false);
    uint64_t size = 7;
    EXPECT_FALSE(io::getDiskSize(h.get(), &size));
    EXPECT_EQ(7u, size);
}

TEST(VerifyCdb, ChoosesTenOrSixteenBytesByTheLastBlock) {
    const std::tuple<uint64_t, uint32_t, std::vector<uint8_t>> cases[] = {
        {0xFFFFFFFFull, 1, {0x2F, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 1, 0}},
        {0xFFFFFFFFull, 2, {0x8F, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 2, 0, 0}},
        {0x100000000ull, 1, {0x8F, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0}},
        // The 10-byte CDB carries the low 16 bits of the count.
        {0x12345678ull, 0x10002, {0x2F, 0, 0x12, 0x34, 0x56, 0x78, 0, 0, 2, 0}},
    };
    for (const auto& [first, count, expected] : cases) {
        uint8_t cdb[16];
        const uint32_t length = io::buildVerifyCdb(first, count, cdb);
        EXPECT_EQ(std::vector<uint8_t>(cdb, cdb + length), expected) << first << "+" << count;
    }
}

TEST_F(PassThroughTest, VerifyGoesOutAsScsi) {
    EXPECT_EQ(io::ScsiOk, io::verifyBlocks(h.get(), 99999, 1));
    EXPECT_EQ(1u, disk->counters().verifies);
    EXPECT_EQ(0u, disk->counters().reads);
    EXPECT_EQ(io::ScsiCheckStatus, io::verifyBlocks(h.get(), 100000, 1)) << "past the end";
}

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

// A helper that announces an answer longer than any is let go at once, not waited for.
TEST(HelperClient, AnOversizedAnswerEndsTheHelperAtOnce) {
    int fds[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds));
    io::HelperPlatform::Options options;
    options.answerMs = 20000;
    io::HelperPlatform platform(fds[0], options, nullptr);
    std::thread helper([fd = fds[1]] {
        uint8_t request[64];
        (void)recv(fd, request, sizeof request, 0);
        const uint32_t n = uint32_t(io::helper::kMaxAnswerBody) + 1;
        const uint8_t header[4] = {uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24)};
        (void)send(fd, header, 4, MSG_NOSIGNAL);
        (void)recv(fd, request, sizeof request, 0);  // quiet until the client lets go
    });
    const auto start = std::chrono::steady_clock::now();
    int err = 0;
    EXPECT_FALSE(platform.openDisk(0, &err));
    EXPECT_EQ(EIO, err);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_FALSE(platform.connected());
    helper.join();
    ::close(fds[1]);
}

}  // namespace
