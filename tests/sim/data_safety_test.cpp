#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "dcp/framing.h"
#include "dcp/records.h"
#include "sim/emulated_disk.h"
#include "sim/firmware.h"

using namespace corvane;

namespace {

// Thousands of exchanges against a device that misbehaves at random: whatever the
// outcome, no byte the user owns changes, and an Ok result always carries the answer to
// the request that was sent.
class DataSafety : public ::testing::TestWithParam<uint32_t> {};

TEST_P(DataSafety, RandomFaultsNeverTouchUserData) {
    const uint32_t blockSize = GetParam();
    const uint64_t blocks = 4096;
    auto platform = std::make_shared<sim::EmulatedPlatform>();
    auto disk = std::make_shared<sim::EmulatedDisk>(blockSize, blocks);
    disk->fillWithPattern(blockSize);
    auto firmware =
        std::make_shared<sim::Firmware>(blockSize, blocks, std::make_shared<sim::EchoHandler>());
    disk->setFirmware(firmware);
    platform->plug(0, disk);
    io::setPlatform(platform);

    std::mt19937 rng(12345 + blockSize);
    auto chance = [&](int percent) { return int(rng() % 100) < percent; };
    int outcomes[7] = {};

    for (int round = 0; round < 3000; ++round) {
        sim::TransportFaults f;
        f.directRefused = chance(75);
        f.tagZeroReads = chance(15) ? int(rng() % 5) : 0;
        f.ignoreCommands = chance(10);
        f.garbleAnswer = chance(8);
        f.wrongTag = chance(8);
        f.statusNotOne = chance(5);
        f.badResponseChecksum = chance(5);
        f.badInfoSignature = chance(4);
        f.badInfoChecksum = chance(4);
        firmware->setFaults(f);
        disk->setSgIoSupported(!chance(15));
        const int failOp = chance(20) ? int(rng() % 4) : -1;
        const int failAt = int(rng() % 4);
        int seen = 0;
        disk->setFaultInjector([&](sim::DiskOp op, uint64_t) {
            const int kind = op == sim::DiskOp::Read    ? 0
                             : op == sim::DiskOp::Write ? 1
                             : op == sim::DiskOp::Scsi  ? 2
                                                        : 3;
            return kind == failOp && seen++ == failAt ? EIO : 0;
        });

        int err = 0;
        io::UniqueDrive h(io::openPhysicalDrive(0, &err));
        ASSERT_TRUE(h);
        uint8_t request[8];
        for (auto& b : request) {
            b = uint8_t(rng());
        }
        uint8_t response[490];
        const auto r =
            dcp::executeCommand(h.get(), blockSize, 1, request, 8, response, 490, nullptr, 2);
        ASSERT_LT(r, 7u);
        ++outcomes[r];
        if (r == dcp::TransportOk) {
            uint8_t expected[490];
            sim::EchoHandler::expected(request, expected);
            const bool direct = std::memcmp(response + 256, expected + 256, 234) != 0;
            ASSERT_EQ(0, std::memcmp(response, expected, 256)) << "round " << round;
            if (direct) {
                for (int i = 256; i < 490; ++i) {
                    ASSERT_EQ(0, response[i]);
                }
            }
        }
    }
    disk->setFaultInjector(nullptr);
    io::setPlatform(nullptr);

    EXPECT_TRUE(disk->changedBlocks(firmware->reservedBlocks()).empty());
    // The run went through every kind of ending.
    for (uint32_t r : {dcp::TransportOk, dcp::InfoSectorInvalid, dcp::MailboxNotReady,
                       dcp::NotAnswered, dcp::IoFailed}) {
        EXPECT_GT(outcomes[r], 10) << dcp::transportResultName(r);
    }
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, DataSafety, ::testing::Values(512u, 4096u));

TEST(EmulatedDisk, RefusesTransfersTheKernelWouldRefuse) {
    auto platform = std::make_shared<sim::EmulatedPlatform>();
    auto disk = std::make_shared<sim::EmulatedDisk>(4096, 64);
    platform->plug(0, disk);
    int err = 0;
    auto h = platform->openDisk(0, &err);
    ASSERT_TRUE(h);
    alignas(4096) static uint8_t buffer[3 * 4096];
    size_t done = 0;
    EXPECT_EQ(EINVAL, h->readAt(buffer + 512, 4096, 0, &done)) << "buffer aligned to 512 only";
    EXPECT_EQ(EINVAL, h->readAt(buffer, 512, 0, &done));
    EXPECT_EQ(EINVAL, h->writeAt(buffer, 4096, 512, &done));
    EXPECT_EQ(0, h->readAt(buffer, 2 * 4096, 63 * 4096, &done));
    EXPECT_EQ(4096u, done) << "short read at the end";
    EXPECT_EQ(0, h->readAt(buffer, 4096, 64 * 4096, &done));
    EXPECT_EQ(0u, done);
    EXPECT_EQ(ENOSPC, h->writeAt(buffer, 4096, 64 * 4096, &done));

    sg_io_hdr_t hdr{};
    uint8_t cdb[10] = {0x2F};
    hdr.interface_id = 'Q';
    hdr.cmdp = cdb;
    hdr.cmd_len = 10;
    EXPECT_EQ(ENOSYS, h->scsi(&hdr));
    hdr.interface_id = 'S';
    hdr.dxfer_direction = SG_DXFER_NONE;
    EXPECT_EQ(0, h->scsi(&hdr));
    EXPECT_EQ(0, hdr.status);
    disk->setSgIoSupported(false);
    EXPECT_EQ(ENOTTY, h->scsi(&hdr));

    platform->unplug(0);
    EXPECT_EQ(ENODEV, h->readAt(buffer, 4096, 0, &done));
    EXPECT_EQ(nullptr, platform->openDisk(0, &err));
    EXPECT_EQ(ENOENT, err);
}

TEST(EmulatedDisk, DetectsInterleavedExchanges) {
    auto disk = std::make_shared<sim::EmulatedDisk>(512, 4096);
    auto firmware =
        std::make_shared<sim::Firmware>(512, 4096, std::make_shared<sim::EchoHandler>());
    disk->setFirmware(firmware);
    auto platform = std::make_shared<sim::EmulatedPlatform>();
    platform->plug(0, disk);
    int err = 0;
    auto a = platform->openDisk(0, &err);
    auto b = platform->openDisk(0, &err);
    alignas(4096) static uint8_t command[512];
    alignas(4096) static uint8_t other[512];
    std::memcpy(command, dcp::kCommandSignature, 16);
    size_t done = 0;
    const uint64_t box = firmware->mailboxLba() * 512;
    // One exchange, then a restoring write that is no exchange, then another handle's.
    ASSERT_EQ(0, a->writeAt(command, 512, box, &done));
    ASSERT_EQ(0, a->readAt(other, 512, box, &done));
    std::memset(other, 0, sizeof other);
    ASSERT_EQ(0, a->writeAt(other, 512, box, &done));
    ASSERT_EQ(0, b->writeAt(command, 512, box, &done));
    // A read-back that fails still ends the exchange.
    disk->setFaultInjector(
        [](sim::DiskOp op, uint64_t) { return op == sim::DiskOp::Read ? EIO : 0; });
    EXPECT_EQ(EIO, b->readAt(other, 512, box, &done));
    disk->setFaultInjector(nullptr);
    EXPECT_FALSE(disk->overlapDetected());
    ASSERT_EQ(0, a->writeAt(command, 512, box, &done));
    ASSERT_EQ(0, b->readAt(other, 512, box, &done));
    EXPECT_TRUE(disk->overlapDetected());
}

}  // namespace
