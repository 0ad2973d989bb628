#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "io/passthrough.h"
#include "sim/emulated_disk.h"
#include "sim/firmware.h"

using namespace corvane;

namespace {

struct Aligned {
    explicit Aligned(size_t n, size_t alignment = 4096) {
        EXPECT_EQ(0, posix_memalign(&p, alignment, n + 4096));
        std::memset(p, 0, n + 4096);
    }
    ~Aligned() { std::free(p); }
    uint8_t* get(size_t offset = 0) { return static_cast<uint8_t*>(p) + offset; }
    void* p = nullptr;
};

class PassThroughTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform = std::make_shared<sim::EmulatedPlatform>();
        disk = std::make_shared<sim::EmulatedDisk>(512, 100000);
        platform->plug(2, disk);
        io::setPlatform(platform);
    }
    void TearDown() override { io::setPlatform(nullptr); }

    io::UniqueDrive open(unsigned n = 2) {
        int err = -1;
        io::UniqueDrive h(io::openPhysicalDrive(n, &err));
        EXPECT_EQ(0, err);
        return h;
    }

    std::shared_ptr<sim::EmulatedPlatform> platform;
    std::shared_ptr<sim::EmulatedDisk> disk;
};

TEST_F(PassThroughTest, OpenReportsTheSystemErrorForAMissingDisk) {
    int err = 0;
    EXPECT_EQ(nullptr, io::openPhysicalDrive(7, &err));
    EXPECT_EQ(ENOENT, err);
    disk->setPresent(false);
    EXPECT_EQ(nullptr, io::openPhysicalDrive(2, &err));
    EXPECT_NE(0, err);
    // A disk found by number keeps its /dev/sdX name.
    EXPECT_EQ("/dev/sdc", platform->diskPath(2));
}

TEST_F(PassThroughTest, GeometryAndSize) {
    auto h = open();
    io::DiskGeometry g;
    ASSERT_TRUE(io::getDriveGeometry(h.get(), &g));
    EXPECT_EQ(512u, g.bytesPerSector);
    uint64_t size = 7;
    ASSERT_TRUE(io::getDiskSize(h.get(), &size));
    EXPECT_EQ(512u * 100000u, size);

    disk->setFaultInjector([](sim::DiskOp, uint64_t) { return EIO; });
    size = 7;
    EXPECT_FALSE(io::getDiskSize(h.get(), &size));
    EXPECT_EQ(7u, size) << "the output is untouched on failure";
    EXPECT_FALSE(io::getDriveGeometry(h.get(), &g));
}

TEST_F(PassThroughTest, MisalignedBufferAndBadCdbAreRefusedBeforeAnyCall) {
    auto h = open();
    Aligned buf(256);
    const uint8_t cdb[12] = {0x12};
    uint8_t status = 0x77;
    EXPECT_EQ(io::ScsiInvalidArgument,
              io::scsiPassThrough(h.get(), cdb, 12, false, buf.get(4), 256, nullptr, &status,
                                  nullptr, 0, nullptr, 1));
    EXPECT_EQ(io::ScsiInvalidArgument,
              io::scsiPassThrough(h.get(), nullptr, 12, false, buf.get(), 256, nullptr, &status,
                                  nullptr, 0, nullptr, 1));
    uint8_t longCdb[20] = {};
    EXPECT_EQ(io::ScsiInvalidArgument,
              io::scsiPassThrough(h.get(), longCdb, 20, false, nullptr, 0, nullptr, &status,
                                  nullptr, 0, nullptr, 1));
    EXPECT_EQ(0x77, status);
    EXPECT_EQ(0u, disk->counters().scsiCommands);
}

TEST_F(PassThroughTest, CheckConditionDeliversStatusAndSense) {
    auto h = open();
    Aligned buf(256);
    const uint8_t cdb[12] = {0xEC, 0, 2, 1, 1};  // no firmware: an ordinary disk refuses it
    uint8_t status = 0;
    uint8_t sense[8] = {};
    uint32_t senseLength = 0;
    EXPECT_EQ(io::ScsiCheckStatus,
              io::scsiPassThrough(h.get(), cdb, 12, false, buf.get(), 256, nullptr, &status, sense,
                                  sizeof sense, &senseLength, 1));
    EXPECT_EQ(2, status);
    EXPECT_EQ(18u, senseLength);
    EXPECT_EQ(0x70, sense[0]);
    EXPECT_EQ(0x05, sense[2]) << "illegal request";
}

TEST_F(PassThroughTest, FailedCallWritesNoOutput) {
    auto h = open();
    disk->setSgIoSupported(false);
    const uint8_t cdb[10] = {0x2F};
    uint8_t status = 0x55;
    uint32_t got = 99;
    EXPECT_EQ(io::ScsiIoctlFailed, io::scsiPassThrough(h.get(), cdb, 10, false, nullptr, 0, &got,
                                                       &status, nullptr, 0, nullptr, 1));
    EXPECT_EQ(0x55, status);
    EXPECT_EQ(99u, got);
}

TEST_F(PassThroughTest, DirectVendorCommandMovesTheDevicePayload) {
    auto fw = std::make_shared<sim::Firmware>(512, 100000, std::make_shared<sim::EchoHandler>());
    disk->setFirmware(fw);
    auto h = open();
    Aligned buf(256);
    const uint8_t payload[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint8_t cdb[12] = {0xEC, 0, 2, 1};
    std::memcpy(cdb + 4, payload, 8);
    uint8_t status = 0xFF;
    uint32_t got = 0;
    ASSERT_EQ(io::ScsiOk, io::scsiPassThrough(h.get(), cdb, 12, false, buf.get(), 256, &got,
                                              &status, nullptr, 0, nullptr, 1));
    EXPECT_EQ(0, status);
    EXPECT_EQ(256u, got);
    uint8_t expected[490];
    sim::EchoHandler::expected(payload, expected);
    EXPECT_EQ(0, std::memcmp(expected, buf.get(), 256));
}

TEST(VerifyCdb, ChoosesTenOrSixteenBytesByTheLastBlock) {
    uint8_t cdb[16];
    ASSERT_EQ(10u, io::buildVerifyCdb(0xFFFFFFFFull, 1, cdb));
    const uint8_t ten[10] = {0x2F, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 1, 0};
    EXPECT_EQ(0, std::memcmp(ten, cdb, 10));

    ASSERT_EQ(16u, io::buildVerifyCdb(0xFFFFFFFFull, 2, cdb));
    const uint8_t sixteen[16] = {0x8F, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 2, 0, 0};
    EXPECT_EQ(0, std::memcmp(sixteen, cdb, 16));

    ASSERT_EQ(16u, io::buildVerifyCdb(0x100000000ull, 1, cdb));
    EXPECT_EQ(0x01, cdb[5]);
    EXPECT_EQ(0x00, cdb[6]);

    ASSERT_EQ(10u, io::buildVerifyCdb(0x12345678ull, 0x10002, cdb));
    EXPECT_EQ(0x12, cdb[2]);
    EXPECT_EQ(0x78, cdb[5]);
    EXPECT_EQ(0x00, cdb[7]) << "the 10-byte CDB carries the low 16 bits of the count";
    EXPECT_EQ(0x02, cdb[8]);
}

TEST_F(PassThroughTest, VerifyGoesOutAsScsiOrFallsBackToReading) {
    auto h = open();
    EXPECT_EQ(io::ScsiOk, io::verifyBlocks(h.get(), 99999, 1));
    EXPECT_EQ(1u, disk->counters().verifies);
    EXPECT_EQ(0u, disk->counters().reads);
    EXPECT_EQ(io::ScsiCheckStatus, io::verifyBlocks(h.get(), 100000, 1)) << "past the end";

    disk->setSgIoSupported(false);
    disk->resetCounters();
    EXPECT_EQ(io::ScsiOk, io::verifyBlocks(h.get(), 99999, 1));
    EXPECT_EQ(1u, disk->counters().reads);
    disk->setFaultInjector(
        [](sim::DiskOp op, uint64_t) { return op == sim::DiskOp::Read ? EIO : 0; });
    EXPECT_NE(io::ScsiOk, io::verifyBlocks(h.get(), 99999, 1));
}

TEST(LinuxPlatform, DiskImagesAndPathsThatAreNoDisks) {
    char name[] = "/tmp/drl-image-XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, ftruncate(fd, 512 * 64));
    close(fd);

    auto linux = io::makeLinuxPlatform("/tmp/drl-no-such-disk-%d");
    io::setPlatform(linux);
    int err = 0;
    io::UniqueDrive image(io::openDrivePath(name, &err));
    ASSERT_NE(nullptr, image) << err;
    io::DiskGeometry g;
    ASSERT_TRUE(io::getDriveGeometry(image.get(), &g));
    EXPECT_EQ(512u, g.bytesPerSector);
    uint64_t size = 0;
    ASSERT_TRUE(io::getDiskSize(image.get(), &size));
    EXPECT_EQ(512u * 64u, size);
    // No SCSI behind a file: VERIFY reads instead, and past the end it fails.
    EXPECT_EQ(io::ScsiOk, io::verifyBlocks(image.get(), 63, 1));
    EXPECT_NE(io::ScsiOk, io::verifyBlocks(image.get(), 64, 1));

    // By number only block devices count.
    EXPECT_EQ(nullptr, io::openPhysicalDrive(3, &err));
    EXPECT_EQ(ENOENT, err);
    char dir[] = "/tmp/drl-disks-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    const std::string fake = std::string(dir) + "/sdd";
    ASSERT_EQ(0, link(name, fake.c_str()));
    io::setPlatform(io::makeLinuxPlatform(std::string(dir) + "/sd%c"));
    EXPECT_EQ(nullptr, io::openPhysicalDrive(3, &err));
    EXPECT_EQ(ENOTBLK, err);
    EXPECT_EQ(nullptr, io::openPhysicalDrive(26, &err));
    EXPECT_EQ(ENODEV, err);
    unlink(fake.c_str());
    rmdir(dir);
    io::setPlatform(nullptr);
    unlink(name);

    EXPECT_EQ("/dev/sda", io::makeLinuxPlatform()->diskPath(0));
    EXPECT_EQ("/dev/sdz", io::makeLinuxPlatform()->diskPath(25));
    EXPECT_EQ("/dev/loop7", io::makeLinuxPlatform("/dev/loop%d")->diskPath(7));
}

}  // namespace
