#include <array>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "dcp/framing.h"
#include "dcp/records.h"
#include "io/debug.h"
#include "os/manual_clock.h"
#include "rig.h"

using namespace dcptest;
using dcp::DcpTransportResult;
using F = sim::TransportFaults;

namespace {

// An echoing device, so that an answer shows which request it belongs to.
class Framing : public ::testing::TestWithParam<uint32_t> {
protected:
    DcpTransportResult exchange(uint8_t first = 1) {
        for (int i = 0; i < 8; ++i)
            request[i] = uint8_t(first * 3 + i);
        std::memset(response, 0xCC, sizeof response);
        tooLarge = 0x77;
        return dcp::executeCommand(rig.handle.get(), blockSize, dcp::kCommandCode, request, 8,
                                   response, 490, &tooLarge, 2);
    }
    const uint32_t blockSize = GetParam();
    Rig rig{blockSize, std::make_shared<sim::EchoHandler>(), 0};
    uint8_t request[8] = {};
    uint8_t response[490] = {};
    uint8_t tooLarge = 0;
};

INSTANTIATE_TEST_SUITE_P(BlockSizes, Framing, ::testing::Values(512u, 4096u));

TEST_P(Framing, RefusalsTouchNeitherTheDiskNorTheOutputs) {
    const io::DriveHandle h = rig.handle.get();
    const std::vector<uint8_t> req(491, 1);
    const struct {
        io::DriveHandle handle;
        uint32_t blockSize, requestLength, responseLength;
        const uint8_t* request;
    } cases[] = {{h, 256, 8, 490, req.data()},
                 {h, blockSize, 7, 490, req.data()},
                 {h, blockSize, 491, 490, req.data()},
                 {h, blockSize, 8, 489, req.data()},
                 {nullptr, blockSize, 8, 490, req.data()},
                 {h, blockSize, 8, 490, nullptr}};
    for (const auto& c : cases) {
        std::memset(response, 0xCC, sizeof response);
        tooLarge = 0x77;
        EXPECT_EQ(dcp::TransportInvalidArgument,
                  dcp::executeCommand(c.handle, c.blockSize, 1, c.request, c.requestLength,
                                      response, c.responseLength, &tooLarge, 2));
        EXPECT_EQ(0x77, tooLarge);
        EXPECT_EQ(0xCC, response[0]);
    }
    dcp::failWorkAllocations(1);
    EXPECT_EQ(dcp::TransportOutOfMemory, exchange());
    EXPECT_EQ(0, tooLarge);
    EXPECT_EQ(0u, rig.disk->counters().total());

    // A disk too small to hold an info sector is not read past its start.
    auto tiny = std::make_shared<sim::EmulatedDisk>(blockSize, 20);
    rig.platform->plug(1, tiny);
    io::UniqueDrive t(io::openPhysicalDrive(1, nullptr));
    EXPECT_EQ(dcp::InfoSectorInvalid,
              dcp::executeCommand(t.get(), blockSize, 1, req.data(), 8, response, 490, nullptr, 2));
    EXPECT_EQ(0u, tiny->counters().reads);
}

// What each ending costs in disk operations: {SG_IO requests, reads, writes, size queries}.
TEST_P(Framing, EndingsAndTheirCosts) {
    const struct {
        bool F::*fault;  // nullptr and SG_IO: the direct transport
        int tagZeroReads;
        bool sgIo;
        DcpTransportResult result;
        std::array<uint64_t, 4> cost;
        int answerBytes = -1;  // the direct answer ends after this many of its 256 bytes
    } cases[] = {
        {nullptr, 0, true, dcp::TransportOk, {1, 0, 0, 0}},
        {nullptr, 0, true, dcp::TransportOk, {1, 0, 0, 0}, 256},
        // a short answer is a failed one: the mailbox gives the whole payload
        {nullptr, 0, true, dcp::TransportOk, {2, 3, 1, 1}, 0},
        {nullptr, 0, true, dcp::TransportOk, {2, 3, 1, 1}, 1},
        {nullptr, 0, true, dcp::TransportOk, {2, 3, 1, 1}, 100},
        {nullptr, 0, true, dcp::TransportOk, {2, 3, 1, 1}, 255},
        // VERIFY, info sector, mailbox saved, command written, answer read back
        {&F::directRefused, 0, true, dcp::TransportOk, {2, 3, 1, 1}},
        {nullptr, 0, false, dcp::TransportOk, {2, 4, 1, 1}},  // a read instead of the VERIFY
        {&F::directRefused, 2, true, dcp::TransportOk, {4, 5, 1, 3}},  // within the retries
        {&F::directRefused, -1, true, dcp::MailboxNotReady, {4, 3, 0, 3}},
        {&F::badInfoSignature, 0, true, dcp::InfoSectorInvalid, {2, 1, 0, 1}},
        {&F::badInfoChecksum, 0, true, dcp::InfoSectorInvalid, {2, 1, 0, 1}},
        // every ending without a valid answer writes the old block back
        {&F::ignoreCommands, 0, true, dcp::NotAnswered, {2, 3, 2, 1}},
        {&F::garbleAnswer, 0, true, dcp::NotAnswered, {2, 3, 2, 1}},
        {&F::wrongTag, 0, true, dcp::NotAnswered, {2, 3, 2, 1}},
        {&F::statusNotOne, 0, true, dcp::NotAnswered, {2, 3, 2, 1}},
        {&F::badResponseChecksum, 0, true, dcp::NotAnswered, {2, 3, 2, 1}},
    };
    std::string notes;
    io::setDebugSink([&](const std::string& line) { notes += line + "\n"; });
    uint8_t first = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(first);
        rig.firmware->setDiskTooLarge(first % 2 == 0);  // set on every other case
        const bool shortAnswer = c.answerBytes >= 0 && c.answerBytes < 256;
        const bool direct = !c.fault && c.sgIo && !shortAnswer;
        if (c.fault) {
            rig.inBand(c.fault, c.tagZeroReads);
        } else {
            F f;
            f.answerBytes = c.answerBytes;
            rig.firmware->setFaults(f);
        }
        notes.clear();
        rig.disk->setSgIoSupported(c.sgIo);
        rig.disk->resetCounters();
        const uint64_t box = rig.firmware->mailboxLba();
        std::vector<uint8_t> before(blockSize), after(blockSize);
        rig.disk->peek(box, before.data());
        ASSERT_EQ(c.result, exchange(++first));
        const sim::DiskCounters n = rig.disk->counters();
        EXPECT_EQ(c.cost,
                  (std::array<uint64_t, 4>{n.scsiCommands, n.reads, n.writes, n.sizeQueries}));
        if (c.result == dcp::TransportOk) {
            // The echo of this request, 256 bytes of it on the direct path, zeros after.
            uint8_t expected[490] = {};
            sim::EchoHandler::expected(request, expected);
            std::memset(expected + (direct ? 256 : 490), 0, direct ? 234 : 0);
            EXPECT_EQ(0, std::memcmp(expected, response, sizeof expected));
            EXPECT_EQ(direct ? 0 : first % 2, tooLarge) << "the flag comes with the info sector";
        } else {
            EXPECT_EQ(0xCC, response[0]) << "no output without an answer";
        }
        rig.disk->peek(box, after.data());
        EXPECT_EQ(c.cost[2] != 1, before == after) << "untouched, or the old block back";
        EXPECT_EQ(shortAnswer, notes.find(" " + std::to_string(c.answerBytes) + " of 256 bytes") !=
                                   std::string::npos)
            << notes;
    }
    io::setDebugSink(nullptr);
    EXPECT_TRUE(rig.disk->changedBlocks(rig.firmware->reservedBlocks()).empty());
}

// An answer that comes after the time-out is not taken, though its bytes reached the
// buffer: the kernel reports the command timed out.
TEST_P(Framing, ALateAnswerIsNotUsed) {
    os::ManualClock clock;
    os::ScopedClock use(clock);
    for (const uint32_t heldMs : {900u, 3000u}) {
        rig.disk->setPassThroughHold(true);
        DcpTransportResult result = dcp::TransportInvalidArgument;
        std::thread exchanging([&] { result = exchange(); });
        ASSERT_TRUE(rig.disk->waitForHeld(1));
        clock.advance(heldMs);
        rig.disk->setPassThroughHold(false);
        exchanging.join();
        ASSERT_EQ(dcp::TransportOk, result);
        uint8_t expected[490] = {};
        sim::EchoHandler::expected(request, expected);
        const bool direct = heldMs < 1000;
        std::memset(expected + 256, 0, direct ? 234 : 0);
        EXPECT_EQ(0, std::memcmp(expected, response, sizeof expected)) << heldMs;
    }
}

TEST_P(Framing, IoFailuresAtEachStep) {
    rig.inBand();
    const uint64_t box = rig.firmware->mailboxLba();
    const struct {
        sim::DiskOp op;
        uint64_t block;  // for SCSI the opcode
        int call;        // fail the n-th matching call
    } cases[] = {{sim::DiskOp::Size, 0, 1},
                 {sim::DiskOp::Scsi, 0x2F, 1},
                 {sim::DiskOp::Read, kBlocks - 35, 1},
                 {sim::DiskOp::Read, box, 1},
                 {sim::DiskOp::Write, box, 1},
                 {sim::DiskOp::Read, box, 2}};
    std::vector<uint8_t> before(blockSize), after(blockSize);
    rig.disk->peek(box, before.data());
    for (const auto& c : cases) {
        int seen = 0;
        rig.disk->setFaultInjector([&](sim::DiskOp op, uint64_t block) {
            const bool verify16 = op == sim::DiskOp::Scsi && block == 0x8F;
            return op == c.op && (block == c.block || verify16) && ++seen == c.call ? EIO : 0;
        });
        EXPECT_EQ(dcp::IoFailed, exchange()) << int(c.op) << " " << c.block;
        EXPECT_EQ(0xCC, response[0]);
        rig.disk->peek(box, after.data());
        EXPECT_TRUE(before == after) << "no command left behind: " << int(c.op);
    }
}

// A write the kernel reports as failed may still have reached the device (a timeout on the
// way back, say): the block is given back what it held all the same.
TEST_P(Framing, AWriteReportedFailedIsRestoredToo) {
    class FailsAfterWriting : public io::Disk {
    public:
        explicit FailsAfterWriting(io::Disk* inner) : inner_(inner) {}
        int close() override { return inner_->close(); }
        int blockSize(uint32_t* out) override { return inner_->blockSize(out); }
        int sizeBytes(uint64_t* out) override { return inner_->sizeBytes(out); }
        int scsi(sg_io_hdr_t* request) override { return inner_->scsi(request); }
        int readAt(void* buffer, size_t count, uint64_t offset, size_t* done) override {
            return inner_->readAt(buffer, count, offset, done);
        }
        int writeAt(const void* buffer, size_t count, uint64_t offset, size_t* done) override {
            const int r = inner_->writeAt(buffer, count, offset, done);
            return writes_++ == 0 && r == 0 ? (*done = 0, EIO) : r;
        }
        int flush() override { return inner_->flush(); }
        int lock(uint32_t timeoutMs) override { return inner_->lock(timeoutMs); }
        int unlock() override { return inner_->unlock(); }
        std::string path() const override { return inner_->path(); }

    private:
        io::Disk* inner_;
        int writes_ = 0;
    };
    rig.inBand();
    const uint64_t box = rig.firmware->mailboxLba();
    std::vector<uint8_t> before(blockSize), after(blockSize);
    rig.disk->peek(box, before.data());
    FailsAfterWriting disk(rig.handle.get());
    EXPECT_EQ(dcp::IoFailed,
              dcp::executeCommand(&disk, blockSize, 1, request, 8, response, 490, nullptr, 2));
    rig.disk->peek(box, after.data());
    EXPECT_TRUE(before == after);
}

// Only the tail that holds the info sector may serve as mailbox; anything else is refused
// before a byte is written.
TEST_P(Framing, MailboxOnlyInTheTail) {
    rig.inBand();
    const struct {
        uint64_t lba;
        DcpTransportResult result;
    } cases[] = {{0, dcp::InfoSectorInvalid},
                 {1, dcp::InfoSectorInvalid},
                 {kBlocks - 36, dcp::InfoSectorInvalid},
                 {kBlocks, dcp::InfoSectorInvalid},
                 {~0ull, dcp::InfoSectorInvalid},
                 {kBlocks - 34, dcp::TransportOk},
                 {kBlocks - 1, dcp::TransportOk}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lba);
        rig.firmware->setMailboxLba(c.lba);
        rig.disk->resetCounters();
        EXPECT_EQ(c.result, exchange());
        EXPECT_EQ(c.result == dcp::TransportOk ? 1u : 0u, rig.disk->counters().writes);
    }
    EXPECT_TRUE(rig.disk->changedBlocks({kBlocks - 35, kBlocks - 34, kBlocks - 1}).empty());
}

TEST(SectorLayout, CommandSectorAndCdbByHand) {
    const uint8_t req[8] = {0x02, 0x03, 0, 0, 0, 0, 0, 0xFF};
    std::vector<uint8_t> s(4096, 0xAA);
    dcp::buildCommandSector(s.data(), 4096, 0x1234, 1, req, 8);
    EXPECT_EQ(0, std::memcmp(s.data(), dcp::kCommandSignature, 16));
    EXPECT_EQ((std::vector<uint8_t>{0x34, 0x12, 1, 0, 0x02, 0x03, 0, 0, 0, 0, 0, 0xFF, 0}),
              std::vector<uint8_t>(s.begin() + 16, s.begin() + 29));
    EXPECT_EQ(0, s[600]) << "bytes past the 512-byte layout are zero";
    // The little-endian word at 510 makes the 256 words sum to zero.
    uint32_t sum = 0;
    for (int i = 0; i < 256; ++i)
        sum += s[2 * i] | s[2 * i + 1] << 8;
    EXPECT_EQ(0u, sum & 0xFFFF);

    uint8_t cdb[12];
    const uint8_t payload[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    dcp::buildVendorCdb(1, payload, cdb);
    EXPECT_EQ((std::vector<uint8_t>{0xEC, 0x00, 0x02, 0x01, 1, 2, 3, 4, 5, 6, 7, 8}),
              std::vector<uint8_t>(cdb, cdb + 12));
}

}  // namespace
