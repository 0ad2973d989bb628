#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "dcp/framing.h"
#include "helper/server.h"
#include "sim/emulated_disk.h"
#include "sim/firmware.h"

using namespace corvane;
using io::helper::Answer;
using io::helper::Op;
using io::helper::Request;

namespace {

constexpr uint64_t kBlocks = 4096;

// One echoing device on disk 0 behind a session, its user blocks patterned.
struct SessionRig {
    explicit SessionRig(uint32_t blockSize)
        : bs(blockSize),
          disk(std::make_shared<sim::EmulatedDisk>(bs, kBlocks)),
          firmware(
              std::make_shared<sim::Firmware>(bs, kBlocks, std::make_shared<sim::EchoHandler>())) {
        disk->fillWithPattern(bs);
        disk->setFirmware(firmware);
        platform->plug(0, disk);
    }

    Request request(Op op) const {
        Request q;
        q.op = op;
        q.handle = handle;
        return q;
    }
    Request read(uint64_t block) const {
        Request q = request(Op::Read);
        q.count = bs;
        q.offset = block * bs;
        return q;
    }
    Request write(uint64_t block, std::vector<uint8_t> bytes) const {
        Request q = request(Op::Write);
        q.offset = block * bs;
        q.data = std::move(bytes);
        return q;
    }
    std::vector<uint8_t> command(uint16_t tag) const {
        std::vector<uint8_t> s(bs);
        const uint8_t payload[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        dcp::buildCommandSector(s.data(), bs, tag, 1, payload, 8);
        return s;
    }
    Request scsi(std::vector<uint8_t> cdb, int direction, uint32_t count) const {
        Request q = request(Op::Scsi);
        q.cdbLength = uint8_t(cdb.size());
        std::memcpy(q.cdb, cdb.data(), cdb.size());
        q.direction = direction;
        q.count = count;
        q.timeoutMs = 1000;
        return q;
    }
    Answer ok(const Request& q) {
        const Answer a = session.handle(q);
        EXPECT_EQ(0, a.error) << io::helper::opName(q.op);
        return a;
    }
    // The steps of an exchange up to the command: open, info sector, mailbox.
    void prepare(int steps) {
        Request open;
        open.op = Op::Open;
        handle = ok(open).value;
        Request lock = request(Op::Lock);
        lock.arg = 1000;
        ok(lock);
        if (steps >= 1) {
            ok(read(firmware->infoLba()));
        }
        if (steps >= 2) {
            saved = ok(read(firmware->mailboxLba())).data;
        }
    }

    const uint32_t bs;
    std::shared_ptr<sim::EmulatedPlatform> platform = std::make_shared<sim::EmulatedPlatform>();
    std::shared_ptr<sim::EmulatedDisk> disk;
    std::shared_ptr<sim::Firmware> firmware;
    std::vector<std::string> log;
    helper::Session session{*platform, [this](const std::string& l) { log.push_back(l); }};
    uint32_t handle = 0;
    std::vector<uint8_t> saved;
};

struct Refusal {
    const char* name;
    int steps;  // of the exchange done before
    std::function<Request(SessionRig&)> make;
};

class SessionRules : public ::testing::TestWithParam<uint32_t> {};
INSTANTIATE_TEST_SUITE_P(BlockSizes, SessionRules, ::testing::Values(512u, 4096u));

// Each request is one step away from an allowed one; the helper refuses it with EPERM and
// a line on its log, and the disk is neither written nor sent a command.
TEST_P(SessionRules, EveryRequestOutsideTheProtocolIsRefused) {
    using R = SessionRig;
    const uint8_t vendor[12] = {0xEC, 0, 2, 1, 1};
    const std::vector<uint8_t> vendorCdb(vendor, vendor + 12);
    const Refusal cases[] = {
        {"read of block 0", 2, [](R& r) { return r.read(0); }},
        {"read next to the mailbox", 2, [](R& r) { return r.read(r.firmware->mailboxLba() + 1); }},
        {"read of the mailbox before the info sector", 0,
         [](R& r) { return r.read(r.firmware->mailboxLba()); }},
        {"read of two blocks", 2,
         [](R& r) {
             Request q = r.read(r.firmware->infoLba());
             q.count *= 2;
             return q;
         }},
        {"read off a block boundary", 2,
         [](R& r) {
             Request q = r.read(r.firmware->infoLba());
             q.offset += 8;
             return q;
         }},
        {"read carrying data", 2,
         [](R& r) {
             Request q = r.read(r.firmware->infoLba());
             q.data.assign(4, 0);
             return q;
         }},
        {"command to block 0", 2, [](R& r) { return r.write(0, r.command(r.firmware->tag())); }},
        {"command to the info sector", 2,
         [](R& r) { return r.write(r.firmware->infoLba(), r.command(r.firmware->tag())); }},
        {"command with another tag", 2,
         [](R& r) {
             return r.write(r.firmware->mailboxLba(), r.command(uint16_t(r.firmware->tag() + 1)));
         }},
        {"command with a bad checksum", 2,
         [](R& r) {
             auto s = r.command(r.firmware->tag());
             s[100] ^= 1;
             return r.write(r.firmware->mailboxLba(), s);
         }},
        {"command with bytes after its sector", 2,
         [](R& r) {
             auto s = r.command(r.firmware->tag());
             s.back() = 1;  // on 512-byte blocks this breaks the checksum instead
             return r.write(r.firmware->mailboxLba(), s);
         }},
        {"command before the mailbox was read", 1,
         [](R& r) { return r.write(r.firmware->mailboxLba(), r.command(r.firmware->tag())); }},
        {"half a block", 2,
         [](R& r) {
             auto s = r.command(r.firmware->tag());
             s.resize(r.bs / 2);
             return r.write(r.firmware->mailboxLba(), s);
         }},
        {"other bytes to the mailbox", 2,
         [](R& r) { return r.write(r.firmware->mailboxLba(), std::vector<uint8_t>(r.bs, 0x5A)); }},
        {"the mailbox's bytes with one changed", 2,
         [](R& r) {
             auto s = r.saved;
             s[7] ^= 0x80;
             return r.write(r.firmware->mailboxLba(), s);
         }},
        {"INQUIRY", 2,
         [](R& r) {
             return r.scsi({0x12, 0, 0, 0, 36, 0}, SG_DXFER_FROM_DEV, 36);
         }},
        {"WRITE(10)", 2,
         [](R& r) {
             return r.scsi({0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0}, SG_DXFER_TO_DEV, r.bs);
         }},
        {"vendor command sending data", 2,
         [&](R& r) {
             Request q = r.scsi(vendorCdb, SG_DXFER_TO_DEV, 256);
             q.data.assign(256, 0);
             return q;
         }},
        {"vendor command with more than a block", 2,
         [&](R& r) { return r.scsi(vendorCdb, SG_DXFER_FROM_DEV, r.bs * 2); }},
        {"vendor command of another shape", 2,
         [&](R& r) {
             Request q = r.scsi(vendorCdb, SG_DXFER_FROM_DEV, 256);
             q.cdb[2] = 3;
             return q;
         }},
        {"VERIFY of two blocks", 2,
         [](R& r) {
             return r.scsi({0x2F, 0, 0, 0, 0, 9, 0, 0, 2, 0}, SG_DXFER_NONE, 0);
         }},
        {"VERIFY with byte compare", 2,
         [](R& r) {
             return r.scsi({0x2F, 2, 0, 0, 0, 9, 0, 0, 1, 0}, SG_DXFER_NONE, 0);
         }},
        {"VERIFY(16) of a block range", 2,
         [](R& r) {
             return r.scsi({0x8F, 0, 0, 0, 0, 0, 0, 0, 0, 9, 0, 1, 0, 0, 0, 0}, SG_DXFER_NONE, 0);
         }},
        {"an hour's time-out", 2,
         [&](R& r) {
             Request q = r.scsi(vendorCdb, SG_DXFER_FROM_DEV, 256);
             q.timeoutMs = 3600000;
             return q;
         }},
        {"disk number 26", 0,
         [](R&) {
             Request q;
             q.op = Op::Open;
             q.arg = 26;
             return q;
         }},
        {"a disk path", 0,
         [](R&) {
             Request q;
             q.op = Op::OpenPath;
             const std::string path = "/dev/sda";
             q.data.assign(path.begin(), path.end());
             return q;
         }},
        {"command without the exchange lock", 2,
         [](R& r) {
             r.ok(r.request(Op::Unlock));
             return r.write(r.firmware->mailboxLba(), r.command(r.firmware->tag()));
         }},
        {"a wait of a minute for the lock", 0,
         [](R& r) {
             Request q = r.request(Op::Lock);
             q.arg = 60000;
             return q;
         }},
        {"an unknown request", 2, [](R& r) { return r.request(Op(200)); }},
        {"a handle never opened", 2,
         [](R& r) {
             Request q = r.read(r.firmware->infoLba());
             q.handle += 7;
             return q;
         }},
    };
    for (const auto& c : cases) {
        SessionRig rig(GetParam());
        rig.prepare(c.steps);
        const auto before = rig.disk->counters();
        const size_t logged = rig.log.size();
        const Answer a = rig.session.handle(c.make(rig));
        EXPECT_EQ(EPERM, a.error) << c.name;
        EXPECT_EQ(logged + 1, rig.log.size()) << c.name;
        EXPECT_EQ(before.writes, rig.disk->counters().writes) << c.name;
        EXPECT_EQ(before.scsiCommands, rig.disk->counters().scsiCommands) << c.name;
        EXPECT_EQ(before.reads, rig.disk->counters().reads) << c.name;
        EXPECT_TRUE(rig.disk->changedBlocks(rig.firmware->reservedBlocks()).empty()) << c.name;
    }
}

TEST_P(SessionRules, OneCommandPerInfoSectorAndRestoresOnlyWhatWasThere) {
    SessionRig rig(GetParam());
    sim::TransportFaults ignore;
    ignore.ignoreCommands = true;  // the mailbox keeps the command, as a deaf device leaves it
    rig.firmware->setFaults(ignore);
    rig.prepare(2);
    const uint64_t mailbox = rig.firmware->mailboxLba();
    const auto command = rig.command(rig.firmware->tag());
    rig.ok(rig.write(mailbox, command));
    EXPECT_EQ(command, rig.ok(rig.read(mailbox)).data);
    // The same command again needs a fresh info sector.
    EXPECT_EQ(EPERM, rig.session.handle(rig.write(mailbox, command)).error);
    // Writing back what the block held before the command is allowed, twice even.
    rig.ok(rig.write(mailbox, rig.saved));
    rig.ok(rig.write(mailbox, rig.saved));
    std::vector<uint8_t> now(rig.bs);
    rig.disk->peek(mailbox, now.data());
    EXPECT_EQ(rig.saved, now);
    // After the next info sector the old bytes are stale until the mailbox is read again.
    rig.ok(rig.read(rig.firmware->infoLba()));
    EXPECT_EQ(EPERM, rig.session.handle(rig.write(mailbox, rig.saved)).error);
    rig.ok(rig.read(mailbox));
    rig.ok(rig.write(mailbox, rig.command(rig.firmware->tag())));
}

TEST_P(SessionRules, AMailboxOutsideTheTailOrATagOfZeroAllowsNoCommand) {
    for (const uint64_t lba : {uint64_t(5), kBlocks - 35, kBlocks}) {
        SessionRig rig(GetParam());
        rig.firmware->setMailboxLba(lba);
        rig.prepare(1);
        if (lba != rig.firmware->infoLba()) {
            EXPECT_EQ(EPERM, rig.session.handle(rig.read(lba)).error) << lba;
        }
        EXPECT_EQ(EPERM, rig.session.handle(rig.write(lba, rig.command(rig.firmware->tag()))).error)
            << lba;
    }
    SessionRig rig(GetParam());
    sim::TransportFaults f;
    f.tagZeroReads = -1;
    rig.firmware->setFaults(f);
    rig.prepare(2);
    EXPECT_EQ(EPERM,
              rig.session.handle(rig.write(rig.firmware->mailboxLba(), rig.command(0))).error);
}

TEST_P(SessionRules, VerifyOfOneBlockIsAnsweredAlsoWithoutPassThrough) {
    SessionRig rig(GetParam());
    rig.prepare(0);
    const uint8_t last = uint8_t(kBlocks - 1);
    const std::vector<uint8_t> atLast = {0x2F, 0, 0, 0, uint8_t((kBlocks - 1) >> 8),
                                         last, 0, 0, 1, 0};
    const std::vector<uint8_t> pastEnd = {0x2F, 0, 0, 0, uint8_t(kBlocks >> 8), 0, 0, 0, 1, 0};
    const std::vector<uint8_t> at16 = {0x8F, 0, 0, 0, 0, 0, 0, 0, 0x0F, 0xFF, 0, 0, 0, 1, 0, 0};
    for (const bool sgIo : {true, false}) {
        rig.disk->setSgIoSupported(sgIo);
        EXPECT_EQ(0, rig.ok(rig.scsi(atLast, SG_DXFER_NONE, 0)).status) << sgIo;
        EXPECT_EQ(0, rig.ok(rig.scsi(at16, SG_DXFER_NONE, 0)).status) << sgIo;
    }
    // Without pass-through the helper reads the block itself; past the end that fails.
    EXPECT_EQ(2, rig.ok(rig.scsi(pastEnd, SG_DXFER_NONE, 0)).status);
    EXPECT_TRUE(rig.log.empty());
}

TEST(SessionStream, MalformedBodiesAreRefused) {
    SessionRig rig(512);
    for (const size_t size : {size_t(0), size_t(1), io::helper::kRequestFixed - 1}) {
        const std::vector<uint8_t> body(size, 0x08);
        Answer a;
        const auto answer = rig.session.handleBody(body.data(), body.size());
        ASSERT_TRUE(io::helper::decode(answer.data(), answer.size(), &a)) << size;
        EXPECT_EQ(EPERM, a.error) << size;
    }
    EXPECT_EQ(3u, rig.log.size());
    EXPECT_EQ(0u, rig.disk->counters().total());
}

}  // namespace
