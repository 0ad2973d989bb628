#include <gtest/gtest.h>

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cli/records_out.h"
#include "dcp/dispatch.h"
#include "dcp/framing.h"
#include "helper/in_process.h"
#include "helper/server.h"
#include "io/helper_platform.h"
#include "os/manual_clock.h"
#include "sim/emulated_disk.h"
#include "sim/firmware.h"
#include "sim/profiles.h"

using namespace corvane;
using io::helper::Answer;
using io::helper::Op;
using io::helper::Request;

namespace {

constexpr uint64_t kBlocks = 4096;

// Disk 0 a device of ours, disk 1 a disk with no device behind it, disk 2 a device that
// answers but is another's (it echoes), disk 3 absent; all user blocks patterned.
struct Rig {
    explicit Rig(uint32_t blockSize)
        : bs(blockSize),
          device(*sim::makeProfile("healthy", {bs, 0, &clock})),
          plain(std::make_shared<sim::EmulatedDisk>(bs, kBlocks)),
          echo(std::make_shared<sim::EmulatedDisk>(bs, kBlocks)),
          echoFirmware(
              std::make_shared<sim::Firmware>(bs, kBlocks, std::make_shared<sim::EchoHandler>())) {
        plain->fillWithPattern(1);
        echo->fillWithPattern(2);
        echo->setFirmware(echoFirmware);
        platform->plug(0, device.disk);
        platform->plug(1, plain);
        platform->plug(2, echo);
    }
    Answer ask(Op op, uint8_t disk, std::vector<uint8_t> payload = {}) {
        Request q;
        q.op = op;
        q.disk = disk;
        std::copy(payload.begin(), payload.end(), q.payload);
        return session.handle(q);
    }
    Answer raw(const std::vector<uint8_t>& body) {
        Answer a;
        const auto encoded = session.handleBody(body.data(), body.size());
        EXPECT_TRUE(io::helper::decode(encoded.data(), encoded.size(), &a));
        return a;
    }
    bool untouched() const {
        return device.disk->changedBlocks(device.firmware->reservedBlocks()).empty() &&
               plain->changedBlocks({}).empty() &&
               echo->changedBlocks(echoFirmware->reservedBlocks()).empty();
    }

    const uint32_t bs;
    os::ManualClock clock;
    sim::EmulatedDevice device;
    std::shared_ptr<sim::EmulatedDisk> plain, echo;
    std::shared_ptr<sim::Firmware> echoFirmware;
    std::shared_ptr<sim::EmulatedPlatform> platform = std::make_shared<sim::EmulatedPlatform>();
    std::vector<std::string> log;
    helper::Session session{*platform, [this](const std::string& l) { log.push_back(l); }};
};

class Hostile : public ::testing::TestWithParam<uint32_t> {};
INSTANTIATE_TEST_SUITE_P(BlockSizes, Hostile, ::testing::Values(512u, 4096u));

TEST_P(Hostile, EveryRequestOutsideTheProtocolIsRefused) {
    Rig r(GetParam());
    const std::vector<uint8_t> driveInfo = {dcp::SubGetDriveInfo};
    const struct {
        const char* name;
        Op op;
        uint8_t disk;
        std::vector<uint8_t> payload;
        int error;
        uint32_t result;
    } cases[] = {
        {"unknown request 0", Op(0), 0, {}, EPERM, 0},
        {"unknown request 5", Op(5), 0, {}, EPERM, 0},
        {"unknown request 255", Op(255), 0, {}, EPERM, 0},
        {"disk 26", Op::Geometry, 26, {}, EPERM, 0},
        {"disk 255", Op::Exchange, 255, {dcp::SubGetInfo}, EPERM, 0},
        {"sub-command 0", Op::Exchange, 0, {0}, EPERM, 0},
        {"sub-command 7", Op::Exchange, 0, {7}, EPERM, 0},
        {"sub-command 255", Op::Exchange, 0, {255}, EPERM, 0},
        {"a payload with the geometry", Op::Geometry, 0, {1}, EPERM, 0},
        {"a payload with the volumes", Op::Volumes, 0, {0, 0, 0, 0, 0, 0, 0, 1}, EPERM, 0},
        {"drive information from a plain disk", Op::Exchange, 1, driveInfo, EPERM, 0},
        {"drive information from another's device", Op::Exchange, 2, driveInfo, EPERM, 0},
        {"a rebuild of another's device", Op::Exchange, 2, {dcp::SubRebuild}, EPERM, 0},
        // Allowed: the identity question goes everywhere, the rest to our device only.
        {"an absent disk", Op::Geometry, 3, {}, ENOENT, 0},
        {"the identity of a plain disk",
         Op::Exchange,
         1,
         {dcp::SubGetInfo},
         0,
         dcp::InfoSectorInvalid},
        {"drive information from ours", Op::Exchange, 0, driveInfo, 0, dcp::TransportOk},
    };
    for (const auto& c : cases) {
        const size_t lines = r.log.size();
        const Answer a = r.ask(c.op, c.disk, c.payload);
        EXPECT_EQ(c.error, a.error) << c.name;
        EXPECT_EQ(c.result, a.result) << c.name;
        EXPECT_EQ(c.error == 0 && c.result == dcp::TransportOk, !a.data.empty()) << c.name;
        if (c.error == EPERM) {
            EXPECT_EQ(lines + 1, r.log.size()) << c.name;
        }
    }
    // Bodies of another length or with padding set never reach a disk.
    auto body = [](size_t size) {
        std::vector<uint8_t> b(size, 0);
        if (size > 0) {
            b[0] = uint8_t(Op::Geometry);
        }
        return b;
    };
    auto padded = io::helper::encode(Request{Op::Geometry, 0, {}});
    padded[3] = 1;
    for (const auto& b : {body(0), body(1), body(11), body(13), padded}) {
        EXPECT_EQ(EPERM, r.raw(b).error) << b.size();
    }

    const Answer geometry = r.ask(Op::Geometry, 0);
    EXPECT_EQ(r.bs, geometry.value);
    EXPECT_EQ(0, geometry.error);
    EXPECT_TRUE(r.untouched());
}

// Random messages, most of them near a valid one: every answer decodes, a refusal is the
// only error besides an absent disk, response bytes come only from a device's answer, and
// no user byte changes.
TEST_P(Hostile, TenThousandRandomMessagesChangeNoByte) {
    Rig r(GetParam());
    std::mt19937 rng(31 + GetParam());
    int ran = 0;
    for (int i = 0; i < 10000; ++i) {
        std::vector<uint8_t> body(rng() % 8 == 0 ? rng() % 20 : io::helper::kRequestBody);
        std::generate(body.begin(), body.end(), [&] { return uint8_t(rng()); });
        if (body.size() == io::helper::kRequestBody && rng() % 4 != 0) {
            body[0] = uint8_t(1 + rng() % 4);
            body[1] = uint8_t(rng() % 5);
            body[2] = body[3] = 0;
            body[4] = uint8_t(rng() % 8);
        }
        const Answer a = r.raw(body);
        ASSERT_TRUE(a.error == 0 || a.error == EPERM || a.error == ENOENT) << a.error;
        if (a.op == Op::Exchange && !a.data.empty()) {
            ASSERT_NE(1, body[1]) << "bytes from a disk with no device";
            ++ran;
        }
    }
    EXPECT_GT(ran, 200);
    EXPECT_TRUE(r.untouched());
}

// ---- through the helper against directly: the same outcome ----

// Where the helper should have nothing to refuse.
const helper::Log kNoLines = [](const std::string& l) { ADD_FAILURE() << "helper: " << l; };

uint32_t exchange(io::Disk* disk, uint32_t bs, const uint8_t (&request)[8], uint8_t* response,
                  uint8_t* tooLarge = nullptr) {
    return dcp::executeCommand(disk, bs, 1, request, 8, response, 490, tooLarge, 2);
}

class ThroughHelper : public ::testing::TestWithParam<uint32_t> {};
INSTANTIATE_TEST_SUITE_P(BlockSizes, ThroughHelper, ::testing::Values(512u, 4096u));

// Two identical echoing devices meet the same random faults, one opened directly and one
// through the helper: every exchange ends alike, with the same answer, and no user byte
// changes.
TEST_P(ThroughHelper, RandomFaultsEndAsTheyDoDirectly) {
    const uint32_t bs = GetParam();
    Rig direct(bs), served(bs);
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
        const int failOp = chance(20) ? int(rng() % 3) : -1;
        const int failAt = int(rng() % 4);
        // The identity question with random bytes, the one thing an echo is asked.
        uint8_t request[8];
        std::generate(request, request + 8, [&] { return uint8_t(rng()); });
        request[0] = dcp::SubGetInfo;

        uint8_t response[2][490] = {}, tooLarge[2] = {9, 9};
        uint32_t result[2];
        for (int side = 0; side < 2; ++side) {
            Rig& d = side == 0 ? direct : served;
            d.echoFirmware->setFaults(f);
            d.echoFirmware->setDiskTooLarge(round % 2 == 0);
            d.echo->setSgIoSupported(sgIo);
            int seen = 0;
            d.echo->setFaultInjector([&, failOp, failAt](sim::DiskOp op, uint64_t) {
                const sim::DiskOp ops[] = {sim::DiskOp::Read, sim::DiskOp::Write,
                                           sim::DiskOp::Scsi};
                return failOp >= 0 && op == ops[failOp] && seen++ == failAt ? EIO : 0;
            });
            int err = 0;
            auto disk =
                side == 0 ? d.platform->openDisk(2, &err) : helperPlatform->openDisk(2, &err);
            ASSERT_TRUE(disk) << err;
            result[side] = exchange(disk.get(), bs, request, response[side], &tooLarge[side]);
        }
        ASSERT_EQ(result[0], result[1]) << "round " << round;
        ASSERT_EQ(0, std::memcmp(response[0], response[1], 490)) << "round " << round;
        ASSERT_EQ(tooLarge[0], tooLarge[1]);
        ++outcomes[result[0]];
    }
    EXPECT_TRUE(served.untouched());
    EXPECT_GT(outcomes[dcp::TransportOk], 100);
    EXPECT_GT(outcomes[dcp::NotAnswered], 10);
    EXPECT_GT(outcomes[dcp::IoFailed], 5);
}

TEST(ThroughHelperDisk, AVanishedDiskFailsWithoutHanging) {
    Rig d(512);
    auto platform = helper::serveInProcess(d.platform, kNoLines);
    int err = 0;
    auto disk = platform->openDisk(0, &err);
    ASSERT_TRUE(disk);
    d.device.disk->setPresent(false);
    uint8_t response[490];
    EXPECT_EQ(dcp::IoFailed, exchange(disk.get(), 512, {dcp::SubGetInfo}, response));
    EXPECT_FALSE(platform->openDisk(0, &err));
    EXPECT_NE(0, err);
    EXPECT_EQ(0, disk->close());
    uint32_t bs = 0;
    EXPECT_EQ(EBADF, disk->blockSize(&bs));
}

// Two programs, each with its own helper, on one device: the helpers take the device's
// lock for each exchange, so the exchanges never meet in the mailbox.
TEST(ThroughHelperDisk, TwoHelpersOnOneDeviceTakeTurns) {
    Rig d(512);
    sim::TransportFaults f;
    f.directRefused = true;
    d.echoFirmware->setFaults(f);
    std::atomic<int> wrong{0};
    auto loop = [&](uint8_t which) {
        auto helper = helper::serveInProcess(d.platform, kNoLines);
        int err = 0;
        auto disk = helper->openDisk(2, &err);
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
    EXPECT_FALSE(d.echo->overlapDetected());
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
    Rig device{512};  // its log is read once the server has ended
    helper::ServeOptions options;
    int fds[2] = {-1, -1};
    std::thread server;
    std::atomic<bool> ended{false};
    helper::ServeEnd end = helper::ServeEnd::ReadFailed;
};

TEST(HelperStream, EndsCleanlyOnEveryBrokenInput) {
    const auto message = io::helper::frame(io::helper::encode(Request{}));
    const std::vector<uint8_t> half(message.begin(), message.begin() + 9);
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

// A client that dies right after asking for an exchange, or half-way through the message:
// the exchange runs whole or not at all, and the device is free for the next at once.
TEST(HelperStream, AClientThatDiesLeavesNothingHalfDone) {
    for (const bool half : {false, true}) {
        SCOPED_TRACE(half ? "half a message" : "a whole message");
        StreamRig rig;
        Rig& r = rig.device;
        const uint64_t answered = r.device.firmware->commandsAnswered();
        auto message = io::helper::frame(io::helper::encode(Request{Op::Exchange, 0, {1}}));
        message.resize(half ? 10 : message.size());
        rig.send(message);
        ::close(rig.fds[0]);
        rig.fds[0] = -1;
        rig.waitEnd();
        EXPECT_EQ(answered + (half ? 0 : 1), r.device.firmware->commandsAnswered());
        EXPECT_TRUE(r.untouched());
        int err = 0;
        auto disk = r.platform->openDisk(0, &err);
        ASSERT_TRUE(disk);
        EXPECT_EQ(0, disk->lock(0));
    }
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
        // An echo is no device of ours: nothing but the identity question reaches it.
        const uint8_t rebuild[8] = {dcp::SubRebuild};
        EXPECT_EQ(dcp::IoFailed, exchange(disk.get(), 512, rebuild, got));
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
        // Another pattern is for root alone.
        {{DRL_HELPER, "--disk-pattern", "/dev/drl-helper-test-none%d"},
         geteuid() == 0 ? S::Connected : S::Failed},
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
            EXPECT_EQ(ENODEV, err);
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
    // The built-in pattern is the helper's own; only root names another.
    EXPECT_EQ((std::vector<std::string>{"pkexec", "/h"}),
              io::helperCommand("/h", "/dev/sd%c", true));
    EXPECT_EQ((std::vector<std::string>{"/h", "--disk-pattern", "/dev/loop%d"}),
              io::helperCommand("/h", "/dev/loop%d", false));
}

TEST(HelperPattern, UnderPkexecOnlyTheBuiltInOne) {
    const struct {
        const char* pattern;
        bool pkexec, root, allowed;
    } cases[] = {
        {"/dev/sd%c", true, true, true},         {"/dev/sd%c", false, false, true},
        {"/dev/loop%d", false, true, true},      {"/dev/loop%d", true, true, false},
        {"/dev/loop%d", false, false, false},    {"/dev/sd%c%d", false, true, false},
        {"/home/me/disk%d", false, true, false}, {"/dev/../etc/x%d", false, true, false},
        {"/dev/sd", false, true, false},         {"/dev/sd%s", false, true, false},
    };
    for (const auto& c : cases) {
        std::string why;
        EXPECT_EQ(c.allowed, helper::patternAllowed(c.pattern, c.pkexec, c.root, &why))
            << c.pattern << " " << c.pkexec << c.root;
        EXPECT_EQ(c.allowed, why.empty()) << why;
    }
}

}  // namespace
