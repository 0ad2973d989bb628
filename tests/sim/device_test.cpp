// Talks to an emulated device the way the host does (executeCommand on an opened disk)
// and reads the payloads by offset, independently of the host's decoders; the emulated
// disk's kernel rules, and the exchanges' data safety under faults.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <tuple>

#include "dcp/framing.h"
#include "dcp/records.h"
#include "io/passthrough.h"
#include "os/manual_clock.h"
#include "sim/profiles.h"
#include "tests/dcp/rig.h"

using namespace corvane;

namespace {

using Payload = std::array<uint8_t, dcp::kResponsePayloadSize>;

// The little-endian number of `bytes` bytes at `at`.
uint64_t le(const Payload& p, size_t at, size_t bytes) {
    return bytes ? p[at] | le(p, at + 1, bytes - 1) << 8 : 0;
}
// Characters up to the first NUL or the full width.
std::string text(const Payload& p, size_t at, size_t width) {
    const auto* first = reinterpret_cast<const char*>(p.data() + at);
    return std::string(first, strnlen(first, width));
}
// Byte 0 the sub-command; a 32-bit little-endian parameter at 1..4 and a byte at 5.
std::array<uint8_t, 8> request(uint8_t sub, uint32_t at1 = 0, uint8_t at5 = 0) {
    return {sub, uint8_t(at1), uint8_t(at1 >> 8), uint8_t(at1 >> 16), uint8_t(at1 >> 24), at5, 0,
            0};
}

// One emulated device on disk 0, by block size and transport (true: the vendor command
// is refused and the mailbox carries every exchange). The clock moves only when a test
// steps it, starting just before the tick wraps.
class Payloads : public ::testing::TestWithParam<std::tuple<uint32_t, bool>> {
protected:
    void TearDown() override { io::setPlatform(nullptr); }

    void attach(const std::string& profile) {
        auto made = sim::makeProfile(profile, {blockSize, 0, &clock});
        ASSERT_TRUE(made) << profile;
        device = *made;
        sim::TransportFaults f;
        f.directRefused = inBand;
        device.firmware->setFaults(f);
        platform->plug(0, device.disk);
        io::setPlatform(platform);
    }
    sim::DeviceModel& model() { return *device.model; }

    // One exchange on a freshly opened disk, as the core runs each request.
    std::optional<Payload> send(const std::array<uint8_t, 8>& req, uint8_t* tooLarge = nullptr) {
        io::UniqueDrive h(io::openPhysicalDrive(0, nullptr));
        Payload p{};
        return dcp::executeCommand(h.get(), blockSize, dcp::kCommandCode, req.data(), 8, p.data(),
                                   490, tooLarge, 2) == dcp::TransportOk
                   ? std::optional<Payload>(p)
                   : std::nullopt;
    }
    Payload must(const std::array<uint8_t, 8>& req) {
        const auto p = send(req);
        EXPECT_TRUE(p) << "sub-command " << int(req[0]) << " not answered";
        return p.value_or(Payload{});
    }
    Payload info() { return must(request(dcp::SubGetInfo)); }
    Payload drive(unsigned bay) { return must(request(dcp::SubGetDriveInfo, bay)); }
    // Operation, phase and percent (in hundredths) of the progress payload.
    std::tuple<int, int, int> progress() {
        const Payload p = must(request(dcp::SubGetProgress));
        return {p[0], p[1], int(le(p, 2, 2))};
    }
    // RAID status and ready for rebuild (info bytes 112 and 115).
    std::pair<int, int> raid() {
        const Payload p = info();
        return {p[112], p[115]};
    }
    // The outcome bytes of a rebuild and an initialisation request.
    int rebuild() { return must(request(dcp::SubRebuild))[0]; }
    int init(uint32_t key, uint8_t capacityByte) {
        return must(request(dcp::SubInitConfiguration, key, capacityByte))[0];
    }
    bool answers() { return send(request(dcp::SubGetInfo)).has_value(); }
    uint64_t osSize() {
        io::UniqueDrive h(io::openPhysicalDrive(0, nullptr));
        uint64_t size = 0;
        EXPECT_TRUE(h && io::getDiskSize(h.get(), &size));
        return size;
    }

    const uint32_t blockSize = std::get<0>(GetParam());
    const bool inBand = std::get<1>(GetParam());
    os::ManualClock clock;
    std::shared_ptr<sim::EmulatedPlatform> platform = std::make_shared<sim::EmulatedPlatform>();
    sim::EmulatedDevice device;

    // One round of the status report from `offset`: more-follows, and the text.
    std::pair<uint32_t, std::string> chunk(uint32_t offset) {
        const Payload p = must(request(dcp::SubGetStatusText, offset));
        return {le(p, 0, 4), text(p, 4, 252)};
    }
    // The host's loop on from `report`, at most 100 rounds.
    std::string fetch(std::string report = {}) {
        for (uint32_t more = 1, round = 0; more && round < 100; ++round) {
            std::string part;
            std::tie(more, part) = chunk(uint32_t(report.size()));
            report += part;
        }
        return report;
    }
};

INSTANTIATE_TEST_SUITE_P(Setups, Payloads,
                         ::testing::Combine(::testing::Values(512u, 4096u), ::testing::Bool()));

TEST_P(Payloads, InformationByOffset) {
    attach("failing");
    const Payload p = info();
    const sim::Identity id = model().identity();
    EXPECT_EQ(id.productId, le(p, 0, 2));
    EXPECT_EQ(0, std::memcmp(id.serial.data(), p.data() + 2, 8));
    EXPECT_EQ(std::make_tuple(std::string("Corvane"), id.model, id.firmwareDate, id.firmwareTime,
                              id.auxText1, id.auxText2),
              std::make_tuple(text(p, 10, 16), text(p, 26, 16), text(p, 42, 12), text(p, 54, 12),
                              text(p, 66, 16), text(p, 82, 30)));
    // Normal, failure likely, not to initialise, nothing to rebuild, cache disabled, more
    // than 2.2 TB, four bays, SATA.
    EXPECT_EQ((std::vector<uint8_t>{1, 1, 0, 0, 1, 1, 4, 3}),
              std::vector<uint8_t>(p.begin() + 112, p.begin() + 120));
    EXPECT_EQ(model().raid().configurationKey, le(p, 120, 4));
    EXPECT_EQ(3 * sim::kDrive4TB, le(p, 124, 8));
    EXPECT_EQ(le(p, 124, 8), osSize()) << "the OS sees the whole set";

    for (unsigned bay = 0; bay < sim::kBays; ++bay) {
        SCOPED_TRACE(bay);
        const Payload d = drive(bay);
        const sim::Drive m = model().drive(bay);
        EXPECT_EQ(std::make_tuple(1, int(m.interface), m.capacity, m.temperature),
                  std::make_tuple(int(d[0]), int(d[1]), le(d, 2, 8), le(d, 114, 2)));
        EXPECT_EQ(std::make_tuple(m.link, m.model, m.serial, m.firmware, model().raid().setId),
                  std::make_tuple(text(d, 10, 16), text(d, 26, 40), text(d, 66, 40),
                                  text(d, 106, 8), text(d, 152, 30)));
        EXPECT_EQ((std::vector<uint64_t>{m.scanErrors, m.badBlocksRemapped, m.powerOnHours,
                                         m.startCount, m.crcErrors}),
                  (std::vector<uint64_t>{le(d, 116, 4), le(d, 120, 4), le(d, 124, 4), le(d, 128, 4),
                                         le(d, 132, 4)}));
        EXPECT_EQ(0, std::memcmp(m.wwn.data(), d.data() + 136, 16));
        EXPECT_EQ(std::make_tuple(int(m.slot), 1, int(m.failureWarning)),
                  std::make_tuple(int(d[182]), int(d[183]), int(d[184])));
    }
}

// The status follows the drives: a set that loses members degrades, then fails; a drive
// of another set shows up as a second set.
TEST_P(Payloads, DrivesComingAndGoing) {
    attach("healthy");
    const std::string model2 = model().drive(2).model;
    model().pullDrive(2);
    EXPECT_EQ(std::make_pair(2, 0), raid()) << "nothing to rebuild onto";
    const Payload pulled = drive(2);
    EXPECT_EQ(0, pulled[0]);
    EXPECT_EQ(model2, text(pulled, 26, 40)) << "stale details behind a cleared present flag";

    sim::Drive blank = sim::makeDrive(sim::kDrive4TB, 99, 2);
    blank.member = sim::Member::Inactive;
    model().insertDrive(2, blank);
    EXPECT_EQ(std::make_pair(2, 1), raid());
    EXPECT_EQ(3, drive(2)[183]);
    model().pullDrive(0);
    EXPECT_EQ(std::make_pair(4, 0), raid()) << "two members missing";

    sim::Drive stranger = sim::makeDrive(sim::kDrive4TB, 7, 0);
    stranger.member = sim::Member::Active;
    stranger.raidSetId = "CVN-R5-00C0FFEE";
    model().insertDrive(0, stranger);
    EXPECT_EQ(5, raid().first) << "more than one RAID set";

    model().setDrive(3, sim::Drive{});
    for (unsigned bay : {3u, 4u, 200u}) {
        const Payload p = drive(bay);
        EXPECT_TRUE(std::all_of(p.begin(), p.begin() + 256, [](uint8_t b) { return b == 0; }))
            << "bay " << bay << " never held a drive";
    }
}

// The firmware's own faults, as the host's tests use them.
TEST_P(Payloads, MisbehavingFirmware) {
    attach("failing");
    const std::string report = model().statusReport();
    const uint32_t length = uint32_t(report.size());
    sim::ModelFaults f;
    f.endlessStatus = sim::EndlessStatus::Empty;
    model().setFaults(f);
    EXPECT_EQ(std::make_pair(1u, std::string()), chunk(length)) << "more, without text";
    f.endlessStatus = sim::EndlessStatus::Repeating;
    model().setFaults(f);
    EXPECT_EQ(std::make_pair(1u, report.substr(0, 252)), chunk(10 * length)) << "over and over";

    f = {};
    f.textsWithoutNul = f.textsAbove127 = f.oddFlagValues = true;
    model().setFaults(f);
    const Payload p = info(), d = drive(0);
    EXPECT_EQ("Corvane", text(p, 10, 16)) << "the vendor stays recognisable";
    for (const auto& [s, width] : {std::make_pair(text(p, 82, 30), 30), {text(d, 66, 40), 40}}) {
        EXPECT_EQ(width, s.size()) << "no NUL: " << s;
        EXPECT_TRUE(std::any_of(s.begin(), s.end(), [](char c) { return c & 0x80; })) << s;
    }
    EXPECT_TRUE(p[113] > 1 && p[116] > 1 && p[114] == 0) << "true flags that are not 1";
    EXPECT_EQ(0x01000000u, chunk(0).first) << "more-follows in its top byte only";

    f = {};
    f.ignoredSubCommands = 1u << dcp::SubGetProgress;
    f.ignoredBays[1] = true;
    model().setFaults(f);
    EXPECT_TRUE(send(request(dcp::SubGetDriveInfo, 0)));
    for (const auto& unanswered : {request(dcp::SubGetProgress), request(dcp::SubGetDriveInfo, 1),
                                   request(0), request(7), request(0xEC), request(0xFF)}) {
        EXPECT_FALSE(send(unanswered)) << int(unanswered[0]);
    }
    f.silent = true;
    model().setFaults(f);
    const uint64_t asked = model().requests(dcp::SubGetInfo);
    EXPECT_FALSE(send(request(dcp::SubGetInfo)));
    EXPECT_GT(model().requests(dcp::SubGetInfo), asked) << "it heard, it did not answer";
}

// Every profile: a disk the size of its medium, a model text the main window has a
// picture for, and its report in chunks.
TEST_P(Payloads, ProfilesAndTheirReportsInChunksOfOneReading) {
    const auto& models = sim::modelTexts();
    for (const std::string& profile : sim::profileNames()) {
        SCOPED_TRACE(profile);
        attach(profile);
        EXPECT_EQ(model().mediumBytes(), osSize());
        EXPECT_NE(models.end(), std::find(models.begin(), models.end(), text(info(), 26, 16)));
        const std::string report = fetch();
        EXPECT_EQ(model().statusReport(), report);
        EXPECT_GT(report.size(), 2 * 252u);
    }
    // A report read while a rebuild runs does not mix two states of the device.
    attach("degraded");
    ASSERT_EQ(1, rebuild());
    clock.advance(30000);
    const std::string before = model().statusReport();
    const std::string first = chunk(0).second;
    clock.advance(60000);
    EXPECT_EQ(before, fetch(first));
    EXPECT_NE(before, fetch()) << "a new reading shows the progress made";
}

// Units of one profile tell devices apart by their serial numbers, the same at any block
// size. Unknown names and block sizes build nothing.
TEST(ProfileCatalogue, SerialNumbersAndRefusals) {
    std::set<std::array<uint8_t, 8>> serials;
    for (const std::string& name : sim::profileNames()) {
        for (unsigned unit : {0u, 1u, 300u}) {
            const auto serial = sim::makeProfile(name, {512, unit})->model->identity().serial;
            EXPECT_EQ(serial, sim::makeProfile(name, {4096, unit})->model->identity().serial);
            serials.insert(serial);
        }
    }
    EXPECT_EQ(3 * sim::profileNames().size(), serials.size());
    for (const char* name : {"Healthy", ""}) {
        EXPECT_FALSE(sim::makeProfile(name, {})) << name;
    }
    for (uint32_t bs : {0u, 256u, 1000u, 131072u}) {
        EXPECT_FALSE(sim::makeProfile("healthy", {bs})) << bs;
    }
}

// Refusals as the outcome bytes allow start nothing and keep the device answering; an
// accepted initialisation silences it, then it returns with a new set.
TEST_P(Payloads, InitialisationSilencesTheDeviceThenItReturnsReconfigured) {
    attach("healthy");
    EXPECT_EQ(2, init(le(info(), 120, 4), sim::kCapacityMaximize)) << "a set kept as it is";
    attach("new");
    model().pullDrive(3);
    EXPECT_EQ(0, info()[114]);
    EXPECT_EQ(2, init(le(info(), 120, 4), sim::kCapacityMaximize)) << "three drives are no set";
    EXPECT_EQ(2, rebuild()) << "no set to rebuild";

    // A set too large for the host says so in the info sector only; shrunk, it may be
    // initialised again.
    const struct {
        const char* profile;
        uint8_t capacityByte;
        uint64_t capacity;
        bool tooLarge;
    } cases[] = {
        {"new", sim::kCapacityMaximize, 3 * sim::kDrive4TB, false},
        {"new", sim::kCapacityLimit, sim::kLimit32BitLba, false},
        {"new", sim::kCapacityMultiple, 5 * sim::kLimit32BitLba, false},
        {"too-large", sim::kCapacityLimit, sim::kLimit32BitLba, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.profile << " " << int(c.capacityByte));
        attach(c.profile);
        uint8_t flag = 0x77;
        const auto before = send(request(dcp::SubGetInfo), &flag);
        ASSERT_TRUE(before);
        EXPECT_EQ(c.tooLarge && inBand, flag);
        EXPECT_EQ(c.tooLarge, osSize() < le(*before, 124, 8));
        const uint32_t key = le(*before, 120, 4);
        // A stale key, its top byte wrong, capacity bytes not offered.
        for (const auto& [k, b] : {std::make_pair(key ^ 1, c.capacityByte),
                                   {key ^ 0x80000000u, c.capacityByte},
                                   {key, 0},
                                   {key, 4}}) {
            EXPECT_EQ(3, init(k, b)) << k << " " << int(b);
        }
        ASSERT_EQ(1, init(key, c.capacityByte));
        for (uint8_t sub = dcp::SubGetInfo; sub <= dcp::SubGetStatusText; ++sub)
            EXPECT_FALSE(send(request(sub))) << "sub-command " << int(sub);
        clock.advance(29999);
        EXPECT_FALSE(answers());
        clock.advance(1);

        const auto after = send(request(dcp::SubGetInfo), &flag);
        ASSERT_TRUE(after);
        EXPECT_EQ(0, flag);
        EXPECT_NE(key, le(*after, 120, 4)) << "a new configuration key";
        EXPECT_EQ(
            std::make_tuple(1, c.tooLarge, c.capacity, c.capacity),
            std::make_tuple(int((*after)[112]), (*after)[114] != 0, le(*after, 124, 8), osSize()));
        const std::string setId = text(drive(0), 152, 30);
        EXPECT_FALSE(setId.empty());
        for (unsigned bay = 0; bay < sim::kBays; ++bay) {
            const Payload d = drive(bay);
            EXPECT_EQ(std::make_pair(1, setId), std::make_pair(int(d[183]), text(d, 152, 30)));
        }
        EXPECT_EQ(std::make_tuple(4, 3, 10000), progress());
    }

    // A multiple of 2.2 TB wraps to nothing at all for this host: no medium, so only the
    // vendor command still reaches the device.
    ASSERT_EQ(1, init(le(info(), 120, 4), sim::kCapacityMultiple));
    clock.advance(30000);
    EXPECT_EQ(0u, osSize());
    EXPECT_EQ(!inBand, answers());
}

TEST_P(Payloads, RebuildRunsThroughItsPhases) {
    attach("degraded");
    ASSERT_EQ(1, rebuild());
    EXPECT_EQ(std::make_pair(3, 0), raid());
    EXPECT_EQ(2, drive(2)[183]);
    // {ms to step, phase, percent}: Preparing for 10 s, then 180 s in progress.
    const std::array<int, 3> steps[] = {{0, 1, 0},        {9999, 1, 0},     {1, 2, 0},
                                        {90000, 2, 5000}, {89999, 2, 9999}, {1, 3, 10000}};
    for (const auto& [ms, phase, percent] : steps) {
        clock.advance(ms);
        EXPECT_EQ(std::make_tuple(5, phase, percent), progress()) << ms;
        if (phase == 2) {
            EXPECT_EQ(1, rebuild()) << "already under way; it goes on undisturbed";
        }
    }
    EXPECT_EQ(std::make_pair(1, 0), raid());
    const Payload rebuilt = drive(2);
    EXPECT_EQ(1, rebuilt[183]);
    EXPECT_EQ(text(drive(0), 152, 30), text(rebuilt, 152, 30));
    clock.advance(600000);
    EXPECT_EQ(std::make_tuple(5, 3, 10000), progress()) << "the outcome stays readable";
    EXPECT_EQ(2, rebuild()) << "nothing left to rebuild";
}

TEST_P(Payloads, RebuildsThatDoNotComplete) {
    attach("rebuild-fails");
    ASSERT_EQ(1, rebuild());
    clock.advance(100000);
    EXPECT_EQ(std::make_tuple(5, 4, 4150), progress()) << "Failed";
    EXPECT_EQ(std::make_pair(2, 0), raid());
    EXPECT_EQ(4, drive(2)[183]) << "the new drive failed";

    attach("rebuild-too-small");
    ASSERT_EQ(1, rebuild()) << "accepted, then given up";
    EXPECT_EQ(std::make_tuple(5, 5, 0), progress()) << "Disk Too Small";
    EXPECT_EQ(2, raid().first);
    EXPECT_EQ(3, drive(2)[183]);

    attach("degraded");
    sim::ModelFaults f;
    f.rebuildStartFails = true;
    model().setFaults(f);
    EXPECT_EQ(3, rebuild()) << "could not be started";
    EXPECT_EQ(std::make_tuple(0, 0, 0), progress());
    model().setFaults({});
    ASSERT_EQ(1, rebuild());
    clock.advance(60000);
    const int reached = std::get<2>(progress());
    EXPECT_GT(reached, 0);
    model().pullDrive(2);
    EXPECT_EQ(std::make_tuple(5, 4, reached), progress());
    EXPECT_EQ(2, raid().first);
}

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

    // The vendor command's data phase cut short by the firmware, to nothing at all too.
    uint8_t vendor[12] = {0xEC, 0, 2, 0, dcp::SubGetInfo};
    hdr.interface_id = 'S';
    hdr.cmdp = vendor;
    hdr.cmd_len = 12;
    hdr.dxfer_direction = SG_DXFER_FROM_DEV;
    hdr.dxferp = buffer;
    hdr.dxfer_len = 256;
    for (int bytes : {0, 100}) {
        sim::TransportFaults f;
        f.answerBytes = bytes;
        rig.firmware->setFaults(f);
        ASSERT_EQ(0, h->scsi(&hdr));
        EXPECT_EQ(256 - bytes, hdr.resid) << bytes;
    }

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
