#include <gtest/gtest.h>

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "dcp/framing.h"
#include "helper/in_process.h"
#include "helper/server.h"
#include "io/helper_platform.h"
#include "os/manual_clock.h"
#include "sim/emulated_disk.h"
#include "sim/firmware.h"

using namespace corvane;
using io::helper::Answer;
using io::helper::Op;
using io::helper::Request;

namespace {

constexpr uint64_t kBlocks = 4096;

// The allowed requests each refusal is one step away from.
enum Base { kInfo, kMailbox, kCommand, kVendor, kVerify, kOpen, kLock };

void setCdb(Request& q, const std::vector<uint8_t>& cdb) {
    q.cdbLength = uint8_t(cdb.size());
    std::memcpy(q.cdb, cdb.data(), cdb.size());
}

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

    Request request(Op op, uint64_t block = 0, uint32_t count = 0,
                    std::vector<uint8_t> data = {}) const {
        Request q;
        q.op = op;
        q.handle = handle;
        q.offset = block * bs;
        q.count = count;
        q.data = std::move(data);
        return q;
    }
    Request read(uint64_t block) const { return request(Op::Read, block, bs); }
    Request write(uint64_t block, std::vector<uint8_t> b) const {
        return request(Op::Write, block, 0, std::move(b));
    }
    std::vector<uint8_t> command(int tag) const {
        std::vector<uint8_t> s(bs);
        const uint8_t payload[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        dcp::buildCommandSector(s.data(), bs, uint16_t(tag), 1, payload, 8);
        return s;
    }
    Request scsi(std::vector<uint8_t> cdb, int direction, uint32_t count) const {
        Request q = request(Op::Scsi, 0, count);
        setCdb(q, cdb);
        q.direction = direction;
        q.timeoutMs = 1000;
        return q;
    }
    uint64_t info() const { return firmware->infoLba(); }
    uint64_t mb() const { return firmware->mailboxLba(); }
    uint16_t tag() const { return firmware->tag(); }
    Request base(Base b) const {
        switch (b) {
            case kInfo:
                return read(info());
            case kMailbox:
                return read(mb());
            case kCommand:
                return write(mb(), command(tag()));
            case kVendor:
                return scsi({0xEC, 0, 2, 1, 1, 0, 0, 0, 0, 0, 0, 0}, SG_DXFER_FROM_DEV, 256);
            case kVerify:
                return scsi({0x2F, 0, 0, 0, 0, 9, 0, 0, 1, 0}, SG_DXFER_NONE, 0);
            case kOpen:
                return request(Op::Open);
            case kLock:
                break;
        }
        Request q = request(Op::Lock);
        q.arg = 1000;  // ms
        return q;
    }
    Answer ok(const Request& q) {
        const Answer a = session.handle(q);
        EXPECT_EQ(0, a.error) << io::helper::opName(q.op);
        return a;
    }
    int error(const Request& q) { return session.handle(q).error; }
    // The steps of an exchange up to the command: open and lock, info sector, mailbox.
    void prepare(int steps) {
        handle = ok(request(Op::Open)).value;
        ok(base(kLock));
        if (steps >= 1) {
            ok(base(kInfo));
        }
        if (steps >= 2) {
            saved = ok(base(kMailbox)).data;
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

using R = SessionRig;
using Q = Request;

class SessionRules : public ::testing::TestWithParam<uint32_t> {};
INSTANTIATE_TEST_SUITE_P(BlockSizes, SessionRules, ::testing::Values(512u, 4096u));

// Each request is one change away from an allowed one (or asked one step early in the
// exchange); the helper refuses it with EPERM and a line on its log, and the disk is
// neither written, read nor sent a command.
TEST_P(SessionRules, EveryRequestOutsideTheProtocolIsRefused) {
    const struct {
        const char* name;
        int steps;  // of the exchange done before
        Base base;
        void (*change)(Q&, R&);
    } cases[] = {
        // clang-format off
        {"read of block 0", 2, kInfo, [](Q& q, R&) { q.offset = 0; }},
        {"read next to the mailbox", 2, kMailbox, [](Q& q, R& r) { q.offset += r.bs; }},
        {"read of the mailbox before the info sector", 0, kMailbox, nullptr},
        {"read of two blocks", 2, kInfo, [](Q& q, R&) { q.count *= 2; }},
        {"read off a block boundary", 2, kInfo, [](Q& q, R&) { q.offset += 8; }},
        {"read carrying data", 2, kInfo, [](Q& q, R&) { q.data.assign(4, 0); }},
        {"command to block 0", 2, kCommand, [](Q& q, R&) { q.offset = 0; }},
        {"command to the info sector", 2, kCommand, [](Q& q, R& r) { q.offset = r.info() * r.bs; }},
        {"command with another tag", 2, kCommand,
         [](Q& q, R& r) { q.data = r.command(r.tag() + 1); }},
        {"command with a bad checksum", 2, kCommand, [](Q& q, R&) { q.data[100] ^= 1; }},
        // On 512-byte blocks this breaks the checksum instead.
        {"command with bytes after its sector", 2, kCommand, [](Q& q, R&) { q.data.back() = 1; }},
        {"command before the mailbox was read", 1, kCommand, nullptr},
        {"half a block", 2, kCommand, [](Q& q, R& r) { q.data.resize(r.bs / 2); }},
        {"other bytes to the mailbox", 2, kCommand, [](Q& q, R& r) { q.data.assign(r.bs, 0x5A); }},
        {"the mailbox's bytes with one changed", 2, kCommand,
         [](Q& q, R& r) { q.data = r.saved; q.data[7] ^= 0x80; }},
        {"INQUIRY", 2, kVendor, [](Q& q, R&) { setCdb(q, {0x12, 0, 0, 0, 36, 0}); }},
        {"WRITE(10)", 2, kVerify, [](Q& q, R&) { q.cdb[0] = 0x2A; }},
        {"vendor command sending data", 2, kVendor,
         [](Q& q, R&) { q.direction = SG_DXFER_TO_DEV; q.data.assign(256, 0); }},
        {"vendor command with more than a block", 2, kVendor,
         [](Q& q, R& r) { q.count = 2 * r.bs; }},
        {"vendor command of another shape", 2, kVendor, [](Q& q, R&) { q.cdb[2] = 3; }},
        {"VERIFY of two blocks", 2, kVerify, [](Q& q, R&) { q.cdb[8] = 2; }},
        {"VERIFY with byte compare", 2, kVerify, [](Q& q, R&) { q.cdb[1] = 2; }},
        {"VERIFY(16) of a block range", 2, kVerify,
         [](Q& q, R&) { setCdb(q, {0x8F, 0, 0, 0, 0, 0, 0, 0, 0, 9, 0, 1, 0, 0, 0, 0}); }},
        {"a time-out past a minute", 2, kVendor, [](Q& q, R&) { q.timeoutMs = 60001; }},
        {"no time-out", 2, kVerify, [](Q& q, R&) { q.timeoutMs = 0; }},
        {"disk number 26", 0, kOpen, [](Q& q, R&) { q.arg = 26; }},
        {"a disk path", 0, kOpen,
         [](Q& q, R&) { q.op = Op::OpenPath; q.data = {'/', 'd', 'e', 'v', '/', 's', 'd', 'a'}; }},
        {"command without the exchange lock", 2, kCommand,
         [](Q&, R& r) { r.ok(r.request(Op::Unlock)); }},
        {"a wait past 30 s for the lock", 0, kLock, [](Q& q, R&) { q.arg = 30001; }},
        {"a 33rd open disk", 0, kOpen,
         [](Q&, R& r) { for (int i = 1; i < 32; ++i) { r.ok(r.request(Op::Open)); } }},
        {"an unknown request", 2, kInfo, [](Q& q, R&) { q.op = Op(200); }},
        {"a handle never opened", 2, kInfo, [](Q& q, R&) { q.handle += 7; }},
        // clang-format on
    };
    // Unchanged, after the whole exchange up to the mailbox, every base is allowed.
    for (const Base b : {kInfo, kMailbox, kVendor, kVerify, kOpen, kLock, kCommand}) {
        SessionRig rig(GetParam());
        rig.prepare(2);
        EXPECT_EQ(0, rig.error(rig.base(b))) << b;
    }
    {
        SessionRig rig(GetParam());
        rig.prepare(2);
        Request q = rig.base(kLock);
        q.arg = 30000;
        EXPECT_EQ(0, rig.error(q)) << "the longest wait for the lock";
        q = rig.base(kVendor);
        q.timeoutMs = 60000;
        EXPECT_EQ(0, rig.error(q)) << "the longest time-out";
        q = rig.base(kOpen);
        q.arg = 25;
        EXPECT_NE(EPERM, rig.error(q)) << "the last disk is looked for";
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SessionRig rig(GetParam());
        rig.prepare(c.steps);
        Request q = rig.base(c.base);
        if (c.change) {
            c.change(q, rig);
        }
        const size_t logged = rig.log.size();
        const auto was = rig.disk->counters();
        EXPECT_EQ(EPERM, rig.error(q));
        const auto now = rig.disk->counters();
        EXPECT_EQ(logged + 1, rig.log.size());
        EXPECT_EQ(was.reads + was.writes + was.scsiCommands,
                  now.reads + now.writes + now.scsiCommands);
        EXPECT_TRUE(rig.disk->changedBlocks(rig.firmware->reservedBlocks()).empty());
    }
}

TEST_P(SessionRules, OneCommandPerInfoSectorAndRestoresOnlyWhatWasThere) {
    SessionRig rig(GetParam());
    sim::TransportFaults ignore;
    ignore.ignoreCommands = true;  // the mailbox keeps the command, as a deaf device leaves it
    rig.firmware->setFaults(ignore);
    rig.prepare(2);
    const uint64_t mailbox = rig.mb();
    const Request command = rig.base(kCommand);
    rig.ok(command);
    EXPECT_EQ(command.data, rig.ok(rig.read(mailbox)).data);
    // The same command again needs a fresh info sector.
    EXPECT_EQ(EPERM, rig.error(command));
    // Writing back what the block held before the command is allowed, twice even.
    rig.ok(rig.write(mailbox, rig.saved));
    rig.ok(rig.write(mailbox, rig.saved));
    std::vector<uint8_t> now(rig.bs);
    rig.disk->peek(mailbox, now.data());
    EXPECT_EQ(rig.saved, now);
    // After the next info sector the old bytes are stale until the mailbox is read again.
    rig.ok(rig.base(kInfo));
    EXPECT_EQ(EPERM, rig.error(rig.write(mailbox, rig.saved)));
    rig.ok(rig.read(mailbox));
    rig.ok(command);
}

TEST_P(SessionRules, AMailboxOutsideTheTailOrATagOfZeroAllowsNoCommand) {
    for (const uint64_t lba : {uint64_t(5), kBlocks - 35, kBlocks}) {
        SessionRig rig(GetParam());
        rig.firmware->setMailboxLba(lba);
        rig.prepare(1);
        if (lba != rig.info()) {
            EXPECT_EQ(EPERM, rig.error(rig.read(lba))) << lba;
        }
        EXPECT_EQ(EPERM, rig.error(rig.write(lba, rig.command(rig.tag())))) << lba;
    }
    SessionRig rig(GetParam());
    sim::TransportFaults f;
    f.tagZeroReads = -1;
    rig.firmware->setFaults(f);
    rig.prepare(2);
    EXPECT_EQ(EPERM, rig.error(rig.write(rig.mb(), rig.command(0))));
}

TEST_P(SessionRules, VerifyOfOneBlockIsAnsweredAlsoWithoutPassThrough) {
    SessionRig rig(GetParam());
    rig.prepare(0);
    const uint8_t hi = uint8_t((kBlocks - 1) >> 8), lo = uint8_t(kBlocks - 1);
    const std::vector<uint8_t> atLast = {0x2F, 0, 0, 0, hi, lo, 0, 0, 1, 0};
    const std::vector<uint8_t> at16 = {0x8F, 0, 0, 0, 0, 0, 0, 0, hi, lo, 0, 0, 0, 1, 0, 0};
    for (const bool sgIo : {true, false}) {
        rig.disk->setSgIoSupported(sgIo);
        EXPECT_EQ(0, rig.ok(rig.scsi(atLast, SG_DXFER_NONE, 0)).status) << sgIo;
        EXPECT_EQ(0, rig.ok(rig.scsi(at16, SG_DXFER_NONE, 0)).status) << sgIo;
    }
    // Without pass-through the helper reads the block itself; past the end that fails.
    const std::vector<uint8_t> pastEnd = {0x2F, 0, 0, 0, uint8_t(kBlocks >> 8), 0, 0, 0, 1, 0};
    EXPECT_EQ(2, rig.ok(rig.scsi(pastEnd, SG_DXFER_NONE, 0)).status);
    EXPECT_TRUE(rig.log.empty());
}

// ---- through the helper: the client side and a session behind a socket ----

// Where the helper should have nothing to refuse.
const helper::Log kNoLines = [](const std::string& l) { ADD_FAILURE() << "helper: " << l; };

uint32_t exchange(io::Disk* disk, uint32_t bs, const uint8_t (&request)[8], uint8_t* response,
                  uint8_t* tooLarge = nullptr) {
    return dcp::executeCommand(disk, bs, 1, request, 8, response, 490, tooLarge, 2);
}

class ThroughHelper : public ::testing::TestWithParam<uint32_t> {};
INSTANTIATE_TEST_SUITE_P(BlockSizes, ThroughHelper, ::testing::Values(512u, 4096u));

// Two identical devices meet the same random faults, one opened directly and one through
// the helper: every exchange ends alike, with the same answer, the helper refuses nothing
// the protocol does, and no user byte changes.
TEST_P(ThroughHelper, RandomFaultsEndAsTheyDoDirectly) {
    const uint32_t bs = GetParam();
    SessionRig direct(bs), served(bs);
    auto helperPlatform = helper::serveInProcess(served.platform, kNoLines);
    std::mt19937 rng(777 + bs);
    auto chance = [&](int percent) { return int(rng() % 100) < percent; };
    using F = sim::TransportFaults;
    const std::pair<bool F::*, int> percentages[] = {
        {&F::directRefused, 75},   {&F::ignoreCommands, 10}, {&F::garbleAnswer, 8},
        {&F::wrongTag, 8},         {&F::statusNotOne, 5},    {&F::badResponseChecksum, 5},
        {&F::badInfoSignature, 4}, {&F::badInfoChecksum, 4}};
    int outcomes[7] = {};
    for (int round = 0; round < 600; ++round) {
        F f;
        for (const auto& [fault, percent] : percentages) {
            f.*fault = chance(percent);
        }
        f.tagZeroReads = chance(15) ? int(rng() % 5) : 0;
        const bool sgIo = !chance(15);
        // The helper asks for the size more often than the host; faults hit the others.
        const int failOp = chance(20) ? int(rng() % 3) : -1;
        const int failAt = int(rng() % 4);
        uint8_t request[8];
        std::generate(request, request + 8, [&] { return uint8_t(rng()); });

        uint8_t response[2][490] = {}, tooLarge[2] = {9, 9};
        uint32_t result[2];
        for (int side = 0; side < 2; ++side) {
            SessionRig& d = side == 0 ? direct : served;
            d.firmware->setFaults(f);
            d.disk->setSgIoSupported(sgIo);
            int seen = 0;
            d.disk->setFaultInjector([&, failOp, failAt](sim::DiskOp op, uint64_t) {
                const sim::DiskOp ops[] = {sim::DiskOp::Read, sim::DiskOp::Write,
                                           sim::DiskOp::Scsi};
                return failOp >= 0 && op == ops[failOp] && seen++ == failAt ? EIO : 0;
            });
            int err = 0;
            auto disk =
                side == 0 ? d.platform->openDisk(0, &err) : helperPlatform->openDisk(0, &err);
            ASSERT_TRUE(disk) << err;
            result[side] = exchange(disk.get(), bs, request, response[side], &tooLarge[side]);
        }
        ASSERT_EQ(result[0], result[1]) << "round " << round;
        ASSERT_EQ(0, std::memcmp(response[0], response[1], 490)) << "round " << round;
        ASSERT_EQ(tooLarge[0], tooLarge[1]);
        ++outcomes[result[0]];
    }
    EXPECT_TRUE(served.disk->changedBlocks(served.firmware->reservedBlocks()).empty());
    EXPECT_GT(outcomes[dcp::TransportOk], 100);
    EXPECT_GT(outcomes[dcp::NotAnswered], 10);
    EXPECT_GT(outcomes[dcp::IoFailed], 5);
}

TEST(ThroughHelperDisk, AVanishedDiskFailsEveryRequestWithoutHanging) {
    SessionRig d(512);
    auto platform = helper::serveInProcess(d.platform, kNoLines);
    int err = 0;
    auto disk = platform->openDisk(0, &err);
    ASSERT_TRUE(disk);
    d.disk->setPresent(false);
    uint32_t bs = 0;
    uint64_t size = 0;
    EXPECT_EQ(ENODEV, disk->blockSize(&bs));
    EXPECT_EQ(ENODEV, disk->sizeBytes(&size));
    uint8_t response[490];
    EXPECT_EQ(dcp::IoFailed, exchange(disk.get(), 512, {1}, response));
    EXPECT_EQ(0, disk->close());
    EXPECT_EQ(EBADF, disk->blockSize(&bs));
}

// Two programs, each with its own helper, on one device: the helpers take the device's
// lock for their clients, so the exchanges never meet in the mailbox.
TEST(ThroughHelperDisk, TwoHelpersOnOneDeviceTakeTurns) {
    SessionRig d(512);
    sim::TransportFaults f;
    f.directRefused = true;
    d.firmware->setFaults(f);
    std::atomic<int> wrong{0};
    auto loop = [&](uint8_t which) {
        auto helper = helper::serveInProcess(d.platform, kNoLines);
        int err = 0;
        auto disk = helper->openDisk(0, &err);
        for (uint8_t i = 0; i < 150 && disk; ++i) {
            const uint8_t request[8] = {1, which, i};
            uint8_t got[490], expected[490];
            sim::EchoHandler::expected(request, expected);
            wrong += exchange(disk.get(), 512, request, got) != dcp::TransportOk ||
                     std::memcmp(got, expected, 490) != 0;
        }
    };
    std::thread first(loop, 0), second(loop, 1);
    first.join();
    second.join();
    EXPECT_EQ(0, wrong.load());
    EXPECT_FALSE(d.disk->overlapDetected());
}

// A client that dies holding the device's lock: another waits for it in vain while the
// dead one's helper lives, and has it at once when that helper ends.
TEST(ThroughHelperDisk, ALockLeftByADeadClientEndsWithItsHelper) {
    SessionRig d(512);
    auto dying = helper::serveInProcess(d.platform, kNoLines);
    auto other = helper::serveInProcess(d.platform, kNoLines);
    int err = 0;
    auto held = dying->openDisk(0, &err);
    auto waiting = other->openDisk(0, &err);
    ASSERT_TRUE(held && waiting);
    ASSERT_EQ(0, held->lock(1000));
    EXPECT_EQ(ETIMEDOUT, waiting->lock(50));
    dying.reset();  // its socket closes with the lock still taken
    EXPECT_EQ(0, waiting->lock(0));
}

// ---- the stream: raw bytes into a session over a socket ----

// Counts the server's looks at the clock.
struct CountingClock final : os::Clock {
    uint32_t tick() override {
        ++ticks;
        return manual.tick();
    }
    void sleep(uint32_t ms) override { manual.sleep(ms); }
    os::ManualClock manual;
    std::atomic<unsigned> ticks{0};
};

struct StreamRig {
    StreamRig() {
        EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds));
        options.pollSliceMs = 2;
        server = std::thread([this] {
            const helper::Log sink = [this](const std::string& l) { device.log.push_back(l); };
            end = helper::serve(device.session, fds[1], fds[1], options, sink);
            ended = true;
        });
    }
    ~StreamRig() {
        ::close(fds[0]);
        fds[0] = -1;
        waitEnd();
        ::close(fds[1]);
    }
    void send(const std::vector<uint8_t>& bytes) {
        ASSERT_EQ(ssize_t(bytes.size()), ::send(fds[0], bytes.data(), bytes.size(), MSG_NOSIGNAL));
    }
    Answer receive() {
        Answer a;
        uint8_t header[4];
        EXPECT_EQ(4, recv(fds[0], header, 4, MSG_WAITALL));
        std::vector<uint8_t> body(header[0] | header[1] << 8 | header[2] << 16);
        EXPECT_EQ(ssize_t(body.size()), recv(fds[0], body.data(), body.size(), MSG_WAITALL));
        EXPECT_TRUE(io::helper::decode(body.data(), body.size(), &a));
        return a;
    }
    Answer ask(const Request& q) {
        send(io::helper::frame(io::helper::encode(q)));
        return receive();
    }
    // Until the server has taken every byte sent and looked at the clock twice since: it
    // has started timing them.
    void waitTaken() {
        for (int pending = 1, i = 0; pending > 0 && i < 5000; ++i) {
            ASSERT_EQ(0, ioctl(fds[1], FIONREAD, &pending));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        for (unsigned seen = clock.ticks, i = 0; clock.ticks < seen + 2 && i < 5000; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    // A server that does not end in ten seconds fails the test and is let go.
    void waitEnd() {
        for (int i = 0; i < 10000 && !ended; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        EXPECT_TRUE(ended) << "the server did not end";
        ::shutdown(fds[0], SHUT_RDWR);
        if (server.joinable()) {
            server.join();
        }
    }

    CountingClock clock;
    os::ScopedClock useClock{clock};
    SessionRig device{512};  // its log is read once the server has ended
    helper::ServeOptions options;
    int fds[2] = {-1, -1};
    std::thread server;
    std::atomic<bool> ended{false};
    helper::ServeEnd end = helper::ServeEnd::ReadFailed;
};

TEST(HelperStream, EndsCleanlyOnEveryBrokenInput) {
    io::helper::Request open;
    open.op = Op::Open;
    const auto message = io::helper::frame(io::helper::encode(open));
    const std::vector<uint8_t> half(message.begin(), message.begin() + 20);
    using E = helper::ServeEnd;
    const struct {
        const char* name;
        std::vector<uint8_t> bytes;
        bool closeAfter;
        uint32_t advanceMs;
        E end;
    } cases[] = {
        {"closed between messages", message, true, 0, E::InputClosed},
        {"closed inside a message", half, true, 0, E::Truncated},
        {"half a message, then quiet", half, false, 10001, E::Stalled},
        {"half a length, then quiet", {5, 0}, false, 10001, E::Stalled},
        {"nothing for ten minutes", message, false, 600001, E::Idle},
        {"a length beyond the largest message", {0xFF, 0xFF, 0xFF, 0x7F}, false, 0, E::Oversized},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StreamRig rig;
        rig.send(c.bytes);
        if (c.bytes == message) {
            EXPECT_EQ(0, rig.receive().error);
        }
        if (c.closeAfter) {
            ::shutdown(rig.fds[0], SHUT_WR);
        }
        if (c.advanceMs) {
            rig.waitTaken();
            // Just short of the limit nothing ends.
            rig.clock.manual.advance(c.advanceMs - 2);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            EXPECT_FALSE(rig.ended);
            rig.clock.manual.advance(2);
        }
        rig.waitEnd();
        EXPECT_EQ(c.end, rig.end);
        // Every end but a closed input leaves a line.
        EXPECT_EQ(c.end == E::InputClosed, rig.device.log.empty());
    }
}

TEST(HelperStream, GarbageIsRefusedAndNothingIsWritten) {
    StreamRig rig;
    // Bodies too short for a request's fields, the empty one first (nothing buffered yet).
    for (const size_t size : {size_t(0), size_t(1), io::helper::kRequestFixed - 1}) {
        rig.send(io::helper::frame(std::vector<uint8_t>(size, 0x08)));
        EXPECT_EQ(EPERM, rig.receive().error) << size;
    }
    std::mt19937 rng(99);
    for (int i = 0; i < 300; ++i) {
        std::vector<uint8_t> body(rng() % 120);
        std::generate(body.begin(), body.end(), [&] { return uint8_t(rng()); });
        if (!body.empty() && i % 2) {
            body[0] = uint8_t(1 + rng() % 12);  // a known request with random fields
        }
        rig.send(io::helper::frame(body));
        const auto a = rig.receive();
        if (a.error != 0) {
            EXPECT_TRUE(a.error == EPERM || a.error == ENOENT) << a.error;
        }
    }
    EXPECT_EQ(0u, rig.device.disk->counters().writes);
    EXPECT_TRUE(rig.device.disk->changedBlocks({}).empty());
}

// A client that dies after its command: the helper ends, the mailbox keeps the device's
// answer and nothing else changed.
TEST(HelperStream, AClientThatDiesInsideAnExchangeEndsTheHelper) {
    StreamRig rig;
    SessionRig& r = rig.device;
    r.handle = rig.ask(r.base(kOpen)).value;
    for (const Base b : {kLock, kInfo, kMailbox}) {
        ASSERT_EQ(0, rig.ask(r.base(b)).error) << b;
    }
    rig.send(io::helper::frame(io::helper::encode(r.base(kCommand))));
    ::close(rig.fds[0]);
    rig.fds[0] = -1;
    rig.waitEnd();
    // Its answer may find the socket gone.
    EXPECT_TRUE(rig.end == helper::ServeEnd::InputClosed ||
                rig.end == helper::ServeEnd::WriteFailed);
    uint8_t mailbox[512];
    r.disk->peek(r.mb(), mailbox);
    EXPECT_EQ(0, std::memcmp(mailbox, dcp::kResponseSignature, 16));
    EXPECT_TRUE(r.disk->changedBlocks(r.firmware->reservedBlocks()).empty());
}

// ---- child processes ----

TEST(HelperChild, AnEchoingDeviceBehindAChildAnswersOverBothTransports) {
    for (const std::string transport : {"direct", "in-band"}) {
        SCOPED_TRACE(transport);
        io::HelperPlatform::Options options;
        options.command = {DRL_HELPER_SIM, "3", transport};
        io::HelperPlatform platform(options);
        ASSERT_TRUE(platform.connect().ok());
        int err = 0;
        auto disk = platform.openDisk(3, &err);
        ASSERT_TRUE(disk) << err;
        const uint8_t request[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        uint8_t got[490], expected[490];
        ASSERT_EQ(dcp::TransportOk, exchange(disk.get(), 512, request, got));
        sim::EchoHandler::expected(request, expected);
        // The direct transport carries 256 bytes.
        EXPECT_EQ(0, std::memcmp(got, expected, transport == "direct" ? 256 : 490));
        EXPECT_FALSE(platform.openPath("/dev/sda", &err));
        EXPECT_EQ(EPERM, err);
    }
}

TEST(HelperChild, StartFailuresAreToldApart) {
    using S = io::HelperStatus;
    const struct {
        std::vector<std::string> command;
        S status;
    } cases[] = {
        {{"/bin/sh", "-c", "exit 126"}, S::Dismissed},
        {{"/bin/sh", "-c", "exit 127"}, S::NotAuthorised},
        {{"/bin/sh", "-c", "echo garbage"}, S::Failed},
        {{"/nonexistent/drivelore-helper"}, S::HelperMissing},
        {{DRL_HELPER, "--disk-pattern", "/home/me/disk%d"}, S::Failed},
        {{DRL_HELPER, "--disk-pattern", "/dev/sd%c%d"}, S::Failed},
        {{DRL_HELPER, "--disk-pattern", "/dev/drl-helper-test-none%d"}, S::Connected},
        {{}, S::HelperMissing},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command.empty() ? "" : c.command.back());
        io::HelperPlatform::Options options;
        options.command = c.command;
        options.startMs = 5000;
        io::HelperPlatform platform(options);
        int err = 0;
        EXPECT_FALSE(platform.openDisk(0, &err));
        EXPECT_EQ(EACCES, err);
        const auto start = platform.connect();
        EXPECT_EQ(c.status, start.status);
        EXPECT_EQ(start.ok(), platform.connected());
        if (start.ok()) {
            EXPECT_FALSE(platform.openDisk(0, &err));
            EXPECT_EQ(ENOENT, err);
            EXPECT_FALSE(platform.openDisk(26, &err));
            EXPECT_EQ(EPERM, err);
            EXPECT_TRUE(platform.connect().ok());  // kept, not started twice
        }
    }
}

TEST(HelperChild, FindsTheHelperInstalledOrInTheBuildTree) {
    char dir[] = "/tmp/drl-helper-find-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    const std::string root = dir;
    std::filesystem::create_directory(root + "/bin");
    EXPECT_EQ("", io::findHelper(root + "/bin/drivelore"));
    // The installed place wins over the build tree.
    for (const std::string place : {"/helper", "/libexec/drivelore"}) {
        std::filesystem::create_directories(root + place);
        std::filesystem::copy_file("/bin/true", root + place + "/drivelore-helper");
        EXPECT_EQ(root + place + "/drivelore-helper", io::findHelper(root + "/bin/drivelore"));
    }
    std::filesystem::remove_all(root);
    EXPECT_EQ((std::vector<std::string>{"pkexec", "/h", "--disk-pattern", "/dev/sd%c"}),
              io::helperCommand("/h", "/dev/sd%c", true));
}

}  // namespace
