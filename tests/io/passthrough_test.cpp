#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <tuple>
#include <vector>

#include "io/passthrough.h"
#include "sim/emulated_disk.h"
#include "sim/firmware.h"

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

TEST(LinuxPlatform, DiskImagesAndPathsThatAreNoDisks) {
    char dir[] = "/tmp/drl-disks-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    const std::string image = std::string(dir) + "/sdd";
    std::ofstream{image};
    std::filesystem::resize_file(image, 512 * 64);

    io::setPlatform(io::makeLinuxPlatform(std::string(dir) + "/sd%c"));
    int err = 0;
    io::UniqueDrive disk(io::openDrivePath(image, &err));
    ASSERT_NE(nullptr, disk) << err;
    uint64_t size = 0;
    EXPECT_TRUE(io::getDiskSize(disk.get(), &size) && size == 512u * 64u) << size;
    // No SCSI behind a file: VERIFY reads instead, and past the end it fails.
    EXPECT_EQ(io::ScsiOk, io::verifyBlocks(disk.get(), 63, 1));
    EXPECT_NE(io::ScsiOk, io::verifyBlocks(disk.get(), 64, 1));
    // By number only block devices count.
    const std::pair<unsigned, int> byNumber[] = {{2, ENOENT}, {3, ENOTBLK}, {26, ENODEV}};
    for (const auto& [number, error] : byNumber) {
        EXPECT_EQ(nullptr, io::openPhysicalDrive(number, &err));
        EXPECT_EQ(error, err) << number;
    }
    io::setPlatform(nullptr);
    disk.reset();
    std::filesystem::remove_all(dir);
}

}  // namespace
