#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>

#include "dcp/framing.h"
#include "helper/in_process.h"
#include "io/helper_platform.h"
#include "os/manual_clock.h"
#include "sim/emulated_disk.h"
#include "sim/firmware.h"

extern char** environ;

using namespace corvane;

namespace {

constexpr uint64_t kBlocks = 4096;

struct Logged {
    std::mutex m;
    std::vector<std::string> lines;
    helper::Log sink() {
        return [this](const std::string& l) {
            std::lock_guard<std::mutex> lock(m);
            lines.push_back(l);
        };
    }
    size_t size() {
        std::lock_guard<std::mutex> lock(m);
        return lines.size();
    }
};

struct EchoDevice {
    explicit EchoDevice(uint32_t bs)
        : disk(std::make_shared<sim::EmulatedDisk>(bs, kBlocks)),
          firmware(
              std::make_shared<sim::Firmware>(bs, kBlocks, std::make_shared<sim::EchoHandler>())) {
        disk->fillWithPattern(bs);
        disk->setFirmware(firmware);
        platform->plug(0, disk);
    }
    std::shared_ptr<sim::EmulatedPlatform> platform = std::make_shared<sim::EmulatedPlatform>();
    std::shared_ptr<sim::EmulatedDisk> disk;
    std::shared_ptr<sim::Firmware> firmware;
};

class ThroughHelper : public ::testing::TestWithParam<uint32_t> {};
INSTANTIATE_TEST_SUITE_P(BlockSizes, ThroughHelper, ::testing::Values(512u, 4096u));

// Two identical devices meet the same random faults, one opened directly and one through
// the helper: every exchange ends alike, with the same answer, the helper refuses nothing
// the protocol does, and no user byte changes.
TEST_P(ThroughHelper, RandomFaultsEndAsTheyDoDirectly) {
    const uint32_t bs = GetParam();
    EchoDevice direct(bs), served(bs);
    Logged log;
    auto helperPlatform = helper::serveInProcess(served.platform, log.sink());
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
            EchoDevice& d = side == 0 ? direct : served;
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
            result[side] = dcp::executeCommand(disk.get(), bs, 1, request, 8, response[side], 490,
                                               &tooLarge[side], 2);
        }
        ASSERT_EQ(result[0], result[1]) << "round " << round;
        ASSERT_EQ(0, std::memcmp(response[0], response[1], 490)) << "round " << round;
        ASSERT_EQ(tooLarge[0], tooLarge[1]);
        ++outcomes[result[0]];
    }
    EXPECT_EQ(0u, log.size()) << log.lines.front();
    EXPECT_TRUE(served.disk->changedBlocks(served.firmware->reservedBlocks()).empty());
    EXPECT_GT(outcomes[dcp::TransportOk], 100);
    EXPECT_GT(outcomes[dcp::NotAnswered], 10);
    EXPECT_GT(outcomes[dcp::IoFailed], 5);
}

TEST(ThroughHelperDisk, AVanishedDiskFailsEveryRequestWithoutHanging) {
    EchoDevice d(512);
    Logged log;
    auto platform = helper::serveInProcess(d.platform, log.sink());
    int err = 0;
    auto disk = platform->openDisk(0, &err);
    ASSERT_TRUE(disk);
    d.disk->setPresent(false);
    uint32_t bs = 0;
    uint64_t size = 0;
    EXPECT_EQ(ENODEV, disk->blockSize(&bs));
    EXPECT_EQ(ENODEV, disk->sizeBytes(&size));
    uint8_t request[8] = {1}, response[490];
    EXPECT_EQ(dcp::IoFailed,
              dcp::executeCommand(disk.get(), 512, 1, request, 8, response, 490, nullptr, 2));
    EXPECT_EQ(0, disk->close());
    EXPECT_EQ(EBADF, disk->blockSize(&bs));
    EXPECT_FALSE(platform->openDisk(1, &err));
    EXPECT_EQ(ENOENT, err);
}

// Two programs, each with its own helper, on one device: the helpers take the device's
// lock for their clients, so the exchanges never meet in the mailbox.
TEST(ThroughHelperDisk, TwoHelpersOnOneDeviceTakeTurns) {
    EchoDevice d(512);
    sim::TransportFaults f;
    f.directRefused = true;
    d.firmware->setFaults(f);
    Logged log;
    std::shared_ptr<io::HelperPlatform> helpers[2] = {
        helper::serveInProcess(d.platform, log.sink()),
        helper::serveInProcess(d.platform, log.sink())};
    std::atomic<int> wrong{0};
    auto loop = [&](int which) {
        int err = 0;
        auto disk = helpers[which]->openDisk(0, &err);
        for (uint8_t i = 0; i < 150 && disk; ++i) {
            uint8_t request[8] = {1, uint8_t(which), i}, got[490], expected[490];
            sim::EchoHandler::expected(request, expected);
            wrong += dcp::executeCommand(disk.get(), 512, 1, request, 8, got, 490, nullptr, 2) !=
                         dcp::TransportOk ||
                     std::memcmp(got, expected, 490) != 0;
        }
    };
    std::thread first(loop, 0), second(loop, 1);
    first.join();
    second.join();
    EXPECT_EQ(0, wrong.load());
    EXPECT_FALSE(d.disk->overlapDetected());
    EXPECT_EQ(0u, log.size());
}

// ---- the stream: raw bytes into a session over a socket ----

struct StreamRig {
    StreamRig() {
        EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds));
        options.pollSliceMs = 2;
        server = std::thread([this] {
            helper::Session session(*device.platform, log.sink());
            end = helper::serve(session, fds[1], fds[1], options, log.sink());
            ended = true;
        });
    }
    ~StreamRig() {
        if (fds[0] >= 0) {
            ::close(fds[0]);
        }
        server.join();
        ::close(fds[1]);
    }
    void send(const std::vector<uint8_t>& bytes) {
        ASSERT_EQ(ssize_t(bytes.size()), ::send(fds[0], bytes.data(), bytes.size(), MSG_NOSIGNAL));
    }
    io::helper::Answer receive() {
        io::helper::Answer a;
        uint8_t header[4];
        EXPECT_EQ(4, recv(fds[0], header, 4, MSG_WAITALL));
        std::vector<uint8_t> body(header[0] | header[1] << 8 | header[2] << 16);
        EXPECT_EQ(ssize_t(body.size()), recv(fds[0], body.data(), body.size(), MSG_WAITALL));
        EXPECT_TRUE(io::helper::decode(body.data(), body.size(), &a));
        return a;
    }
    // Until the session has taken every byte sent, so that it started its clock.
    void waitTaken() {
        for (int pending = 1, i = 0; pending > 0 && i < 5000; ++i) {
            ASSERT_EQ(0, ioctl(fds[1], FIONREAD, &pending));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    void waitEnd() {
        server.join();
        server = std::thread([] {});
    }

    os::ManualClock clock;
    os::ScopedClock useClock{clock};
    EchoDevice device{512};
    Logged log;
    helper::ServeOptions options;
    int fds[2] = {-1, -1};
    std::thread server;
    std::atomic<bool> ended{false};
    helper::ServeEnd end = helper::ServeEnd::ReadFailed;
};

TEST(HelperStream, EndsCleanlyOnEveryBrokenInput) {
    io::helper::Request open;
    open.op = io::helper::Op::Open;
    const auto message = io::helper::frame(io::helper::encode(open));
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        bool closeAfter;
        uint32_t advanceMs;
        helper::ServeEnd end;
    };
    const std::vector<uint8_t> half(message.begin(), message.begin() + 20);
    const Case cases[] = {
        {"closed between messages", message, true, 0, helper::ServeEnd::InputClosed},
        {"closed inside a message", half, true, 0, helper::ServeEnd::Truncated},
        {"half a message, then quiet", half, false, 10001, helper::ServeEnd::Stalled},
        {"half a length, then quiet", {5, 0}, false, 10001, helper::ServeEnd::Stalled},
        {"nothing for ten minutes", message, false, 600001, helper::ServeEnd::Idle},
        {"a length beyond the largest message",
         {0xFF, 0xFF, 0xFF, 0x7F},
         false,
         0,
         helper::ServeEnd::Oversized},
    };
    for (const auto& c : cases) {
        StreamRig rig;
        rig.send(c.bytes);
        if (c.bytes == message) {
            EXPECT_EQ(0, rig.receive().error) << c.name;
        }
        if (c.closeAfter) {
            ::shutdown(rig.fds[0], SHUT_WR);
        }
        if (c.advanceMs) {
            rig.waitTaken();
            // Just short of the limit nothing ends.
            rig.clock.advance(c.advanceMs - 2);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            EXPECT_FALSE(rig.ended) << c.name;
            rig.clock.advance(2);
        }
        rig.waitEnd();
        EXPECT_EQ(c.end, rig.end) << c.name;
        // Every end but a closed input leaves a line.
        EXPECT_EQ(c.end == helper::ServeEnd::InputClosed, rig.log.size() == 0) << c.name;
    }
}

TEST(HelperStream, GarbageIsRefusedAndNothingIsWritten) {
    StreamRig rig;
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
    auto& fw = *rig.device.firmware;
    io::helper::Request q;
    q.op = io::helper::Op::Open;
    rig.send(io::helper::frame(io::helper::encode(q)));
    q.handle = rig.receive().value;
    q.op = io::helper::Op::Lock;
    q.arg = 1000;
    rig.send(io::helper::frame(io::helper::encode(q)));
    ASSERT_EQ(0, rig.receive().error);
    q.op = io::helper::Op::Read;
    q.count = 512;
    for (const uint64_t block : {fw.infoLba(), fw.mailboxLba()}) {
        q.offset = block * 512;
        rig.send(io::helper::frame(io::helper::encode(q)));
        ASSERT_EQ(0, rig.receive().error);
    }
    q.op = io::helper::Op::Write;
    q.data.resize(512);
    const uint8_t payload[8] = {1};
    dcp::buildCommandSector(q.data.data(), 512, fw.tag(), 1, payload, 8);
    rig.send(io::helper::frame(io::helper::encode(q)));
    ::close(rig.fds[0]);
    rig.fds[0] = -1;
    rig.waitEnd();
    // Its answer may find the socket gone.
    EXPECT_TRUE(rig.end == helper::ServeEnd::InputClosed ||
                rig.end == helper::ServeEnd::WriteFailed);
    uint8_t mailbox[512];
    rig.device.disk->peek(fw.mailboxLba(), mailbox);
    EXPECT_EQ(0, std::memcmp(mailbox, dcp::kResponseSignature, 16));
    EXPECT_TRUE(rig.device.disk->changedBlocks(fw.reservedBlocks()).empty());
}

// ---- child processes ----

TEST(HelperChild, AnEchoingDeviceBehindAChildAnswersOverBothTransports) {
    for (const bool inBand : {false, true}) {
        io::HelperPlatform::Options options;
        options.command = {DRL_HELPER_SIM, "3", inBand ? "in-band" : "direct"};
        io::HelperPlatform platform(options);
        ASSERT_TRUE(platform.connect().ok());
        int err = 0;
        auto disk = platform.openDisk(3, &err);
        ASSERT_TRUE(disk) << err;
        for (uint8_t round = 0; round < 3; ++round) {
            uint8_t request[8] = {1, round, 3, 4, 5, 6, 7, 8}, got[490], expected[490];
            ASSERT_EQ(dcp::TransportOk,
                      dcp::executeCommand(disk.get(), 512, 1, request, 8, got, 490, nullptr, 2));
            sim::EchoHandler::expected(request, expected);
            if (!inBand) {
                std::memset(expected + 256, 0, 234);  // the direct transport carries 256 bytes
            }
            EXPECT_EQ(0, std::memcmp(got, expected, 490)) << inBand;
        }
        EXPECT_FALSE(platform.openDisk(4, &err));
        EXPECT_EQ(ENOENT, err);
        EXPECT_FALSE(platform.openPath("/dev/sda", &err));
        EXPECT_EQ(EPERM, err);
    }
}

TEST(HelperChild, StartFailuresAreToldApart) {
    const struct {
        std::vector<std::string> command;
        io::HelperStatus status;
    } cases[] = {
        {{"/bin/sh", "-c", "exit 126"}, io::HelperStatus::Dismissed},
        {{"/bin/sh", "-c", "exit 127"}, io::HelperStatus::NotAuthorised},
        {{"/bin/sh", "-c", "echo garbage"}, io::HelperStatus::Failed},
        {{"/nonexistent/drivelore-helper"}, io::HelperStatus::HelperMissing},
        {{DRL_HELPER, "--disk-pattern", "/home/me/disk%d"}, io::HelperStatus::Failed},
        {{DRL_HELPER, "--disk-pattern", "/dev/sd%c%d"}, io::HelperStatus::Failed},
        {{DRL_HELPER, "--disk-pattern", "/dev/drl-helper-test-none%d"},
         io::HelperStatus::Connected},
        {{}, io::HelperStatus::HelperMissing},
    };
    for (const auto& c : cases) {
        io::HelperPlatform::Options options;
        options.command = c.command;
        options.startMs = 5000;
        io::HelperPlatform platform(options);
        int err = 0;
        EXPECT_FALSE(platform.openDisk(0, &err));
        EXPECT_EQ(EACCES, err);
        const auto start = platform.connect();
        EXPECT_EQ(c.status, start.status) << (c.command.empty() ? "" : c.command.back());
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

// The real program over a pipe: it ends with status 0 when its input closes and with 1
// and a line on standard error after a message it cannot take.
TEST(HelperChild, TheProgramEndsOnClosedOrOversizedInput) {
    for (const bool oversized : {false, true}) {
        int in[2], err[2];
        ASSERT_EQ(0, pipe2(in, O_CLOEXEC));
        ASSERT_EQ(0, pipe2(err, O_CLOEXEC));
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        posix_spawn_file_actions_adddup2(&actions, err[1], 1);
        char* argv[] = {const_cast<char*>(DRL_HELPER), nullptr};
        pid_t pid = 0;
        ASSERT_EQ(0, posix_spawn(&pid, DRL_HELPER, &actions, nullptr, argv, environ));
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(err[1]);
        if (oversized) {
            const uint8_t huge[4] = {0, 0, 0, 0x10};
            ASSERT_EQ(4, write(in[1], huge, 4));
        }
        ::close(in[1]);
        int status = 0;
        ASSERT_EQ(pid, waitpid(pid, &status, 0));
        char text[512] = {};
        const ssize_t n = read(err[0], text, sizeof text - 1);
        ::close(err[0]);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(oversized ? 1 : 0, WEXITSTATUS(status));
        EXPECT_EQ(oversized, n > 0 && std::strstr(text, "longer than allowed") != nullptr) << text;
    }
}

TEST(HelperChild, FindsTheHelperInstalledOrInTheBuildTree) {
    char dir[] = "/tmp/drl-helper-find-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    const std::string root = dir;
    EXPECT_EQ("", io::findHelper(root + "/bin/drivelore"));
    for (const char* place : {"/helper", "/libexec/drivelore"}) {
        ASSERT_EQ(0, system(("mkdir -p " + root + "/bin " + root + place + " && cp /bin/true " +
                             root + place + "/drivelore-helper")
                                .c_str()));
        EXPECT_EQ(root + place + "/drivelore-helper", io::findHelper(root + "/bin/drivelore"));
    }
    const auto argv =
        io::helperCommand("/usr/libexec/drivelore/drivelore-helper", "/dev/sd%c", true);
    EXPECT_EQ((std::vector<std::string>{"pkexec", "/usr/libexec/drivelore/drivelore-helper",
                                        "--disk-pattern", "/dev/sd%c"}),
              argv);
    ASSERT_EQ(0, system(("rm -rf " + root).c_str()));
}

}  // namespace
