#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <random>

#include "dcp/framing.h"
#include "sim/emulated_disk.h"
#include "sim/firmware.h"
#include "tests/dcp/rig.h"

using namespace corvane;

namespace {

// An echoing device, so that an answer shows which request it belongs to.
struct EchoRig : dcptest::Rig {
    EchoRig(uint32_t blockSize, uint64_t blocks)
        : Rig(blockSize, std::make_shared<sim::EchoHandler>(), 0, false, blocks) {}
};

// Thousands of exchanges against a device that misbehaves at random: whatever the
// outcome, no byte the user owns changes, and an Ok result always carries the answer to
// the request that was sent.
class DataSafety : public ::testing::TestWithParam<uint32_t> {};
INSTANTIATE_TEST_SUITE_P(BlockSizes, DataSafety, ::testing::Values(512u, 4096u));

TEST_P(DataSafety, RandomFaultsNeverTouchUserData) {
    const uint32_t blockSize = GetParam();
    EchoRig rig(blockSize, 4096);
    std::mt19937 rng(12345 + blockSize);
    auto chance = [&](int percent) { return int(rng() % 100) < percent; };
    int outcomes[7] = {};
    using F = sim::TransportFaults;
    const std::pair<bool F::*, int> percentages[] = {
        {&F::directRefused, 75},   {&F::ignoreCommands, 10}, {&F::garbleAnswer, 8},
        {&F::wrongTag, 8},         {&F::statusNotOne, 5},    {&F::badResponseChecksum, 5},
        {&F::badInfoSignature, 4}, {&F::badInfoChecksum, 4}};
    for (int round = 0; round < 3000; ++round) {
        sim::TransportFaults f;
        for (const auto& [fault, percent] : percentages)
            f.*fault = chance(percent);
        f.tagZeroReads = chance(15) ? int(rng() % 5) : 0;
        rig.firmware->setFaults(f);
        rig.disk->setSgIoSupported(!chance(15));
        // Now and then one read, write, SCSI request or size query fails.
        const int failOp = chance(20) ? int(rng() % 4) : -1;
        const int failAt = int(rng() % 4);
        int seen = 0;
        rig.disk->setFaultInjector([&](sim::DiskOp op, uint64_t) {
            const sim::DiskOp ops[] = {sim::DiskOp::Read, sim::DiskOp::Write, sim::DiskOp::Scsi,
                                       sim::DiskOp::Size};
            return failOp >= 0 && op == ops[failOp] && seen++ == failAt ? EIO : 0;
        });

        io::UniqueDrive h(io::openPhysicalDrive(0, nullptr));
        uint8_t request[8], response[490], expected[490];
        std::generate(request, request + 8, [&] { return uint8_t(rng()); });
        const auto r =
            dcp::executeCommand(h.get(), blockSize, 1, request, 8, response, 490, nullptr, 2);
        ASSERT_LT(r, 7u);
        ++outcomes[r];
        if (r == dcp::TransportOk) {
            // The whole echo, or its first 256 bytes and zeros (the direct transport).
            sim::EchoHandler::expected(request, expected);
            ASSERT_EQ(0, std::memcmp(response, expected, 256)) << "round " << round;
            ASSERT_TRUE(std::memcmp(response + 256, expected + 256, 234) == 0 ||
                        std::all_of(response + 256, response + 490, [](uint8_t b) { return !b; }));
        }
    }
    rig.disk->setFaultInjector(nullptr);
    EXPECT_TRUE(rig.disk->changedBlocks(rig.firmware->reservedBlocks()).empty());
    // The run went through every kind of ending.
    for (uint32_t r : {dcp::TransportOk, dcp::InfoSectorInvalid, dcp::MailboxNotReady,
                       dcp::NotAnswered, dcp::IoFailed}) {
        EXPECT_GT(outcomes[r], 10) << dcp::transportResultName(r);
    }
}

// The kernel's rules for O_DIRECT transfers and SG_IO requests, and a disk that goes away.
TEST(EmulatedDisk, KernelRules) {
    EchoRig rig(4096, 64);
    int err = 0;
    auto h = rig.platform->openDisk(0, &err);
    ASSERT_TRUE(h);
    alignas(4096) static uint8_t buffer[2 * 4096];
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
    EXPECT_EQ(ENOSYS, h->scsi(&hdr)) << "not an SG_IO request";

    rig.platform->unplug(0);
    EXPECT_EQ(ENODEV, h->readAt(buffer, 4096, 0, &done));
    EXPECT_EQ(nullptr, rig.platform->openDisk(0, &err));
    EXPECT_EQ(ENOENT, err);
}

// The detector follows each exchange to its end, restore included, and never takes an
// exchange that ended, or whose handle closed, for one still running. A step is a handle
// and what it does to the mailbox: R read, r read fails, C a command sector written (bad
// checksum: never answered), A an answerable one, Z zeros, z a write that fails, X close.
TEST(EmulatedDisk, MailboxDetectorFollowsExchangesToTheirEnd) {
    const struct {
        const char* name;
        bool staleCommand;  // the mailbox already holds a command sector
        const char* steps;
        bool overlap;
    } cases[] = {
        {"answered at the read-back", false, "0A 0R 1R", false},
        {"untaken, restored", false, "0C 0R 0Z 1R", false},
        {"a stale command sector restored", true, "0R 0C 0R 0C 1R", false},
        {"read-back failed", false, "0C 0r 1R", false},
        {"restore failed, handle closed", false, "0C 0R 0z 0X 1R", false},
        {"the same handle twice", false, "0C 0R 0Z 0C 0R", false},
        {"read before the restore", false, "0C 0R 1R", true},
        {"write before the read-back", false, "0C 1Z", true},
        {"read before the read-back", false, "0C 1R", true},
    };
    alignas(4096) static uint8_t command[4096], answerable[4096], zeros[4096], buffer[4096];
    std::memcpy(command, dcp::kCommandSignature, 16);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EchoRig rig(4096, 64);
        int err = 0;
        std::unique_ptr<io::Disk> handles[2] = {rig.platform->openDisk(0, &err),
                                                rig.platform->openDisk(0, &err)};
        const uint8_t request[8] = {1};
        dcp::buildCommandSector(answerable, 4096, rig.firmware->tag(), 1, request, 8);
        const uint64_t at = rig.firmware->mailboxLba() * 4096;
        if (c.staleCommand)
            rig.disk->poke(at / 4096, command);
        size_t done = 0;
        for (const char* s = c.steps; s[0]; s += s[2] ? 3 : 2) {
            io::Disk& h = *handles[s[0] - '0'];
            const bool fails = s[1] == 'r' || s[1] == 'z';
            rig.disk->setFaultInjector([fails](sim::DiskOp, uint64_t) { return fails ? EIO : 0; });
            const uint8_t* written = s[1] == 'C' ? command : s[1] == 'A' ? answerable : zeros;
            const int rc = s[1] == 'X'                  ? h.close()
                           : s[1] == 'R' || s[1] == 'r' ? h.readAt(buffer, 4096, at, &done)
                                                        : h.writeAt(written, 4096, at, &done);
            ASSERT_EQ(fails ? EIO : 0, rc) << s[1];
        }
        rig.disk->setFaultInjector(nullptr);
        EXPECT_EQ(c.overlap, rig.disk->overlapDetected());
    }
}

}  // namespace
