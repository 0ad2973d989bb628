#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "dcp/framing.h"
#include "dcp/records.h"
#include "sim/emulated_disk.h"
#include "sim/firmware.h"

using namespace corvane;
using dcp::DcpTransportResult;

namespace {

constexpr uint64_t kBlocks = 1 << 20;

// One emulated device on disk 0, opened as the host opens it.
class FramingTest : public ::testing::TestWithParam<uint32_t> {
protected:
    void SetUp() override {
        blockSize = GetParam();
        disk = std::make_shared<sim::EmulatedDisk>(blockSize, kBlocks);
        disk->fillWithPattern(42);
        firmware = std::make_shared<sim::Firmware>(blockSize, kBlocks,
                                                   std::make_shared<sim::EchoHandler>());
        disk->setFirmware(firmware);
        platform->plug(0, disk);
        io::setPlatform(platform);
        int err = 0;
        handle.reset(io::openPhysicalDrive(0, &err));
        ASSERT_TRUE(handle);
        disk->resetCounters();
    }
    void TearDown() override {
        handle.reset();
        io::setPlatform(nullptr);
    }

    void setFaults(void (*change)(sim::TransportFaults&)) {
        sim::TransportFaults f = firmware->faults();
        change(f);
        firmware->setFaults(f);
    }

    DcpTransportResult exchange(uint8_t first = 1) {
        request[0] = first;
        for (int i = 1; i < 8; ++i) {
            request[i] = uint8_t(first * 3 + i);
        }
        std::memset(response, 0xCC, sizeof response);
        return dcp::executeCommand(handle.get(), blockSize, dcp::kCommandCode, request, 8, response,
                                   490, &tooLarge, 2);
    }

    void expectEchoed(size_t bytes) {
        uint8_t expected[490] = {};
        sim::EchoHandler::expected(request, expected);
        EXPECT_EQ(0, std::memcmp(expected, response, bytes));
        for (size_t i = bytes; i < 490; ++i) {
            ASSERT_EQ(0, response[i]) << "byte " << i;
        }
    }

    std::vector<uint8_t> mailbox() {
        std::vector<uint8_t> b(blockSize);
        disk->peek(firmware->mailboxLba(), b.data());
        return b;
    }

    uint32_t blockSize = 512;
    std::shared_ptr<sim::EmulatedPlatform> platform = std::make_shared<sim::EmulatedPlatform>();
    std::shared_ptr<sim::EmulatedDisk> disk;
    std::shared_ptr<sim::Firmware> firmware;
    io::UniqueDrive handle;
    uint8_t request[8] = {};
    uint8_t response[600] = {};
    uint8_t tooLarge = 0x77;
};

INSTANTIATE_TEST_SUITE_P(BlockSizes, FramingTest, ::testing::Values(512u, 4096u));

TEST_P(FramingTest, InvalidArgumentsTouchNothing) {
    uint8_t out[490];
    struct Case {
        uint32_t blockSize, requestLength, responseLength;
    } cases[] = {{256, 8, 490}, {blockSize, 7, 490}, {blockSize, 491, 490}, {blockSize, 8, 489}};
    for (const Case& c : cases) {
        std::memset(out, 0xCC, sizeof out);
        tooLarge = 0x77;
        std::vector<uint8_t> req(491, 1);
        EXPECT_EQ(dcp::TransportInvalidArgument,
                  dcp::executeCommand(handle.get(), c.blockSize, 1, req.data(), c.requestLength,
                                      out, c.responseLength, &tooLarge, 2));
        EXPECT_EQ(0x77, tooLarge);
        EXPECT_EQ(0xCC, out[0]);
    }
    EXPECT_EQ(dcp::TransportInvalidArgument,
              dcp::executeCommand(nullptr, blockSize, 1, request, 8, out, 490, nullptr, 2));
    EXPECT_EQ(dcp::TransportInvalidArgument,
              dcp::executeCommand(handle.get(), blockSize, 1, nullptr, 8, out, 490, nullptr, 2));
    EXPECT_EQ(0u, disk->counters().total());
}

TEST_P(FramingTest, DirectCommandCostsOnePassThrough) {
    ASSERT_EQ(dcp::TransportOk, exchange(7));
    expectEchoed(256);
    EXPECT_EQ(0, tooLarge);
    const sim::DiskCounters c = disk->counters();
    EXPECT_EQ(1u, c.scsiCommands);
    EXPECT_EQ(1u, c.vendorCommands);
    EXPECT_EQ(1u, c.total()) << "nothing else touches the disk";
}

TEST_P(FramingTest, InBandExchangeCostsVerifyReadThenTwoReadsAndAWrite) {
    setFaults([](sim::TransportFaults& f) { f.directRefused = true; });
    firmware->setDiskTooLarge(true);
    const uint16_t tagBefore = firmware->tag();
    ASSERT_EQ(dcp::TransportOk, exchange(9));
    expectEchoed(490);
    EXPECT_EQ(1, tooLarge);
    EXPECT_NE(tagBefore, firmware->tag()) << "the device moves to a new tag after answering";

    const sim::DiskCounters c = disk->counters();
    EXPECT_EQ(1u, c.vendorCommands);
    EXPECT_EQ(1u, c.verifies);
    EXPECT_EQ(3u, c.reads);
    EXPECT_EQ(1u, c.writes);
    EXPECT_EQ(1u, c.sizeQueries);
    EXPECT_EQ(7u, c.total());

    // Every transfer is one whole block at a block boundary; the VERIFY names the last block.
    const std::vector<sim::LoggedOp> log = disk->log();
    const uint64_t box = firmware->mailboxLba();
    std::vector<std::pair<sim::DiskOp, uint64_t>> seen;
    for (const auto& op : log) {
        if (op.op == sim::DiskOp::Read || op.op == sim::DiskOp::Write) {
            EXPECT_EQ(1u, op.blocks);
            seen.emplace_back(op.op, op.firstBlock);
        }
    }
    const std::vector<std::pair<sim::DiskOp, uint64_t>> expected = {
        {sim::DiskOp::Read, kBlocks - 35},
        {sim::DiskOp::Read, box},
        {sim::DiskOp::Write, box},
        {sim::DiskOp::Read, box}};
    EXPECT_EQ(expected, seen);

    // The next exchange uses the tag the device publishes then.
    disk->resetCounters();
    ASSERT_EQ(dcp::TransportOk, exchange(10));
    expectEchoed(490);
    EXPECT_EQ(2u, firmware->commandsAnswered());
}

TEST_P(FramingTest, DiskWithoutPassThroughReadsInsteadOfVerify) {
    disk->setSgIoSupported(false);
    ASSERT_EQ(dcp::TransportOk, exchange(3));
    expectEchoed(490);
    const sim::DiskCounters c = disk->counters();
    EXPECT_EQ(2u, c.scsiCommands) << "the vendor command and the VERIFY are both refused";
    EXPECT_EQ(4u, c.reads);
    EXPECT_EQ(1u, c.writes);
}

TEST_P(FramingTest, TagZeroOnEveryAttemptIsMailboxNotReady) {
    setFaults([](sim::TransportFaults& f) {
        f.directRefused = true;
        f.tagZeroReads = -1;
    });
    EXPECT_EQ(dcp::MailboxNotReady, exchange());
    const sim::DiskCounters c = disk->counters();
    EXPECT_EQ(3u, c.verifies);
    EXPECT_EQ(3u, c.reads);
    EXPECT_EQ(0u, c.writes);
    EXPECT_EQ(0xCC, response[0]) << "no output without an answer";

    // Two rounds of tag 0 are within the retries.
    setFaults([](sim::TransportFaults& f) { f.tagZeroReads = 2; });
    disk->resetCounters();
    EXPECT_EQ(dcp::TransportOk, exchange());
    EXPECT_EQ(3u, disk->counters().verifies);
    expectEchoed(490);
}

TEST_P(FramingTest, InvalidInfoSectorEndsAfterOneVerifyAndOneRead) {
    for (auto change : {+[](sim::TransportFaults& f) { f.badInfoSignature = true; },
                        +[](sim::TransportFaults& f) { f.badInfoChecksum = true; }}) {
        firmware->setFaults({});
        setFaults([](sim::TransportFaults& f) { f.directRefused = true; });
        setFaults(change);
        disk->resetCounters();
        EXPECT_EQ(dcp::InfoSectorInvalid, exchange());
        const sim::DiskCounters c = disk->counters();
        EXPECT_EQ(1u, c.verifies);
        EXPECT_EQ(1u, c.reads);
        EXPECT_EQ(0u, c.writes);
    }
}

TEST_P(FramingTest, AnOrdinaryDiskIsNeverWritten) {
    disk->setFirmware(nullptr);
    EXPECT_EQ(dcp::InfoSectorInvalid, exchange());
    EXPECT_EQ(0u, disk->counters().writes);
    // A disk too small to hold an info sector is not read past its start.
    auto tiny = std::make_shared<sim::EmulatedDisk>(blockSize, 20);
    platform->plug(1, tiny);
    int err = 0;
    io::UniqueDrive h(io::openPhysicalDrive(1, &err));
    EXPECT_EQ(dcp::InfoSectorInvalid,
              dcp::executeCommand(h.get(), blockSize, 1, request, 8, response, 490, nullptr, 2));
    EXPECT_EQ(0u, tiny->counters().reads);
}

TEST_P(FramingTest, IgnoredCommandGetsTheOldBlockBack) {
    setFaults([](sim::TransportFaults& f) {
        f.directRefused = true;
        f.ignoreCommands = true;
    });
    const std::vector<uint8_t> before = mailbox();
    EXPECT_EQ(dcp::NotAnswered, exchange());
    EXPECT_EQ(before, mailbox());
    EXPECT_EQ(2u, disk->counters().writes);
    EXPECT_EQ(3u, disk->counters().reads);
}

TEST_P(FramingTest, AnswersThatAreNotOursAreNotAnswered) {
    auto garble = +[](sim::TransportFaults& f) { f.garbleAnswer = true; };
    auto wrongTag = +[](sim::TransportFaults& f) { f.wrongTag = true; };
    auto status = +[](sim::TransportFaults& f) { f.statusNotOne = true; };
    auto checksum = +[](sim::TransportFaults& f) { f.badResponseChecksum = true; };
    for (auto change : {garble, wrongTag, status, checksum}) {
        firmware->setFaults({});
        setFaults([](sim::TransportFaults& f) { f.directRefused = true; });
        setFaults(change);
        disk->resetCounters();
        EXPECT_EQ(dcp::NotAnswered, exchange());
        EXPECT_EQ(1u, disk->counters().writes) << "no restore over a device's answer";
        EXPECT_EQ(0xCC, response[0]);
    }
    // The garbled block is left as the device wrote it.
    firmware->setFaults({});
    setFaults([](sim::TransportFaults& f) {
        f.directRefused = true;
        f.garbleAnswer = true;
    });
    exchange();
    EXPECT_EQ(0xEE, mailbox()[0]);
}

TEST_P(FramingTest, IoFailuresAtEachStep) {
    setFaults([](sim::TransportFaults& f) { f.directRefused = true; });
    const uint64_t box = firmware->mailboxLba();
    struct Case {
        sim::DiskOp op;
        uint64_t block;
        int calls;  // fail the n-th matching call
    } cases[] = {
        {sim::DiskOp::Size, 0, 1},
        {sim::DiskOp::Scsi, 0x2F, 1},
        {sim::DiskOp::Read, kBlocks - 35, 1},
        {sim::DiskOp::Read, box, 1},
        {sim::DiskOp::Write, box, 1},
        {sim::DiskOp::Read, box, 2},
    };
    for (const Case& c : cases) {
        int seen = 0;
        disk->setFaultInjector([&](sim::DiskOp op, uint64_t block) {
            const bool verify = c.op == sim::DiskOp::Scsi && op == sim::DiskOp::Scsi &&
                                (block == 0x2F || block == 0x8F);
            if ((op == c.op && block == c.block) || verify) {
                return ++seen == c.calls ? EIO : 0;
            }
            return 0;
        });
        EXPECT_EQ(dcp::IoFailed, exchange()) << int(c.op) << " " << c.block;
        EXPECT_EQ(0xCC, response[0]);
    }
}

TEST_P(FramingTest, DeviceVanishingMidExchangeIsAnIoFailure) {
    setFaults([](sim::TransportFaults& f) { f.directRefused = true; });
    const uint64_t box = firmware->mailboxLba();
    auto* d = disk.get();
    disk->setFaultInjector([d, box](sim::DiskOp op, uint64_t block) {
        if (op == sim::DiskOp::Write && block == box) {
            d->setPresent(false);
            return ENODEV;
        }
        return 0;
    });
    EXPECT_EQ(dcp::IoFailed, exchange());
    EXPECT_EQ(dcp::IoFailed, exchange()) << "every later call fails cleanly";
    EXPECT_TRUE(disk->changedBlocks(firmware->reservedBlocks()).empty());
}

TEST_P(FramingTest, NoMemoryForTheWorkBuffer) {
    dcp::failWorkAllocations(1);
    tooLarge = 0x77;
    EXPECT_EQ(dcp::TransportOutOfMemory, exchange());
    EXPECT_EQ(0, tooLarge);
    EXPECT_EQ(0u, disk->counters().total());
    EXPECT_EQ(dcp::TransportOk, exchange());
}

TEST(SectorLayout, ChecksumAndCommandSectorBytes) {
    uint8_t zeros[512] = {};
    EXPECT_TRUE(dcp::sectorChecksumValid(zeros));

    const uint8_t req[8] = {0x02, 0x03, 0, 0, 0, 0, 0, 0xFF};
    std::vector<uint8_t> s(4096, 0xAA);
    dcp::buildCommandSector(s.data(), 4096, 0x1234, 1, req, 8);
    EXPECT_EQ(0, std::memcmp(s.data(), dcp::kCommandSignature, 16));
    EXPECT_EQ(0x34, s[16]);
    EXPECT_EQ(0x12, s[17]);
    EXPECT_EQ(1, s[18]);
    EXPECT_EQ(0, s[19]);
    EXPECT_EQ(0x02, s[20]);
    EXPECT_EQ(0xFF, s[27]);
    EXPECT_EQ(0, s[28]);
    EXPECT_EQ(0, s[600]) << "bytes past the 512-byte layout are zero";
    EXPECT_TRUE(dcp::sectorChecksumValid(s.data()));

    // The sum over 255 words, by hand: signature words, tag, code, payload.
    uint32_t sum = 0;
    for (int i = 0; i < 255; ++i) {
        sum += s[2 * i] | (s[2 * i + 1] << 8);
    }
    const uint16_t stored = uint16_t(s[510] | (s[511] << 8));
    EXPECT_EQ(uint16_t(0x10000 - (sum & 0xFFFF)), stored);

    for (int bit = 0; bit < 512 * 8; bit += 97) {
        s[bit / 8] ^= uint8_t(1 << (bit % 8));
        EXPECT_FALSE(dcp::sectorChecksumValid(s.data())) << bit;
        s[bit / 8] ^= uint8_t(1 << (bit % 8));
    }

    uint8_t cdb[12];
    const uint8_t payload[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    dcp::buildVendorCdb(1, payload, cdb);
    const uint8_t expected[12] = {0xEC, 0x00, 0x02, 0x01, 1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(0, std::memcmp(expected, cdb, 12));
}

}  // namespace
