#include <gtest/gtest.h>
#include <stdlib.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>

#include "dcp/dispatch.h"
#include "dcp/payload.h"
#include "sim/emulated_disk.h"
#include "sim/firmware.h"

using namespace corvane;
namespace fs = std::filesystem;

namespace {

using Payload = std::array<uint8_t, 490>;
using Bytes8 = std::array<uint8_t, 8>;

void put(Payload& p, size_t offset, std::initializer_list<uint8_t> bytes) {
    std::copy(bytes.begin(), bytes.end(), p.begin() + offset);
}
void put(Payload& p, size_t offset, const std::string& text) {
    std::copy(text.begin(), text.end(), p.begin() + offset);
}

// Answers each sub-command with a payload written by hand, or through `respond` when the
// answer depends on the request; records every request.
struct ScriptedDevice : sim::CommandHandler {
    bool handle(const uint8_t* request, uint8_t* response) override {
        requests.push_back({});
        std::memcpy(requests.back().data(), request, 8);
        if (respond) {
            return respond(request, response);
        }
        auto it = answers.find(request[0]);
        return it != answers.end() && (std::memcpy(response, it->second.data(), 490), true);
    }
    std::vector<uint32_t> offsetsAsked() const {
        std::vector<uint32_t> out;
        for (const Bytes8& r : requests) {
            out.push_back(r[1] | r[2] << 8 | r[3] << 16 | uint32_t(r[4]) << 24);
        }
        return out;
    }
    std::map<uint8_t, Payload> answers;
    std::function<bool(const uint8_t*, uint8_t*)> respond;
    std::vector<Bytes8> requests;
};

// A healthy enclosure's GetInfo answer. Neighbouring fields are filled to their full width
// so that a wrong width or offset shows in the texts.
Payload infoPayload() {
    Payload p{};
    put(p, 0, {0x11, 0x00, 0x00, 0x1A, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x01});  // 17, serial
    put(p, 10, "Corvane");
    put(p, 26, "R4-ENCLOSURE-XYZ");                // 16 wide
    put(p, 42, "Nov  5 2023");                     // 11 + NUL
    put(p, 54, "14:03:59.123");                    // 12 wide
    put(p, 66, "Caf\xE9");                         // Latin-1
    put(p, 82, "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123");  // 30 wide
    put(p, 112, {0x02, 0x01, 0x00, 0x80, 0x00, 0x01, 0xFF, 0x02, 0x78, 0x56, 0x34, 0x12});
    put(p, 124, {0x00, 0x60, 0x7D, 0x81, 0xA3, 0x03, 0x00, 0x00, 0xEE});  // 4000787030016
    return p;
}

// /proc and /sys with sdd1 (disk 3) mounted at "/mnt/cvn data".
struct VolumeTree {
    VolumeTree() {
        std::string pattern = (fs::path(testing::TempDir()) / "dcpvolXXXXXX").string();
        root = mkdtemp(pattern.data());
        const fs::path part = root / "sys/devices/ata/block/sdd/sdd1";
        fs::create_directories(part);
        fs::create_directories(root / "sys/dev/block");
        fs::create_directories(root / "proc/self");
        std::ofstream(part.parent_path() / "dev") << "8:48\n";
        std::ofstream(part / "dev") << "8:49\n";
        std::ofstream(part / "partition") << "1\n";
        fs::create_directory_symlink("../../devices/ata/block/sdd/sdd1",
                                     root / "sys/dev/block/8:49");
        std::ofstream(root / "proc/self/mountinfo")
            << "31 22 8:49 / /mnt/cvn\\040data rw - ext4 /dev/sdd1 rw\n";
    }
    ~VolumeTree() { fs::remove_all(root); }
    io::VolumeSources sources() const {
        return {(root / "proc").string(), (root / "sys").string()};
    }
    fs::path root;
};

// One emulated device on disk 3 ("/dev/sdd"), by block size and transport (true: the
// vendor command is refused and the mailbox carries every exchange).
class Device : public ::testing::TestWithParam<std::tuple<uint32_t, bool>> {
protected:
    static constexpr unsigned kDisk = 3;
    static constexpr uint64_t kBlocks = 1 << 20;

    void SetUp() override {
        std::tie(blockSize, inBand) = GetParam();
        disk = std::make_shared<sim::EmulatedDisk>(blockSize, kBlocks);
        firmware = std::make_shared<sim::Firmware>(blockSize, kBlocks, device);
        disk->setFirmware(firmware);
        sim::TransportFaults faults;
        faults.directRefused = inBand;
        firmware->setFaults(faults);
        platform->plug(kDisk, disk);
        io::setPlatform(platform);
        handle.reset(io::openPhysicalDrive(kDisk, nullptr));
        ASSERT_TRUE(handle);
        disk->resetCounters();
    }
    void TearDown() override {
        handle.reset();
        io::setPlatform(nullptr);
    }

    // A request through the dispatch on the open handle; the record when one is expected.
    template <class Resp = dcp::DcpResponse>
    std::unique_ptr<Resp> ask(const dcp::DcpRequest& request, drl::DrlResult expected = drl::Ok) {
        dcp::DcpResponse* out = nullptr;
        EXPECT_EQ(expected, dcp::dispatchRequest(handle.get(), dcp::DiskRef::numbered(kDisk),
                                                 request, 0xA1B2C3D4, &out, volumes));
        EXPECT_EQ(expected == drl::Ok, out != nullptr) << "a record exactly on Ok";
        Resp* typed = dynamic_cast<Resp*>(out);
        if (out && !typed) {
            ADD_FAILURE() << "record of type " << out->type;
            delete out;
        }
        return std::unique_ptr<Resp>(typed);
    }

    uint32_t blockSize = 512;
    bool inBand = false;
    std::shared_ptr<ScriptedDevice> device = std::make_shared<ScriptedDevice>();
    std::shared_ptr<sim::EmulatedPlatform> platform = std::make_shared<sim::EmulatedPlatform>();
    std::shared_ptr<sim::EmulatedDisk> disk;
    std::shared_ptr<sim::Firmware> firmware;
    io::UniqueDrive handle;
    io::VolumeSources volumes{"/nonexistent", "/nonexistent"};
};

INSTANTIATE_TEST_SUITE_P(Transports, Device,
                         ::testing::Combine(::testing::Values(512u, 4096u), ::testing::Bool()),
                         [](const auto& i) {
                             return std::to_string(std::get<0>(i.param)) +
                                    (std::get<1>(i.param) ? "_InBand" : "_Direct");
                         });

TEST_P(Device, InfoFromHandWrittenPayload) {
    device->answers[dcp::SubGetInfo] = infoPayload();
    firmware->setDiskTooLarge(true);
    VolumeTree tree;
    volumes = tree.sources();
    auto r = ask<dcp::DcpRespInfo>(dcp::DcpReqGetInfo());
    ASSERT_TRUE(r);
    EXPECT_EQ((Bytes8{1, 0, 0, 0, 0, 0, 0, 0}), device->requests.at(0));
    EXPECT_EQ(std::make_tuple(1u, 4u, 2u, true, false, true, false, true, 7u, 17u),
              std::tie(r->configuration, r->driveCount, r->raidStatus, r->driveFailureLikely,
                       r->canInitialize, r->readyForRebuild, r->cacheDisabled, r->largeCapacity,
                       r->hostBus, r->productId));
    EXPECT_EQ(std::make_tuple("Caf\xE9", "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123", "/dev/sdd", "Corvane",
                              "R4-ENCLOSURE-XYZ", "Nov  5 2023", "14:03:59.123"),
              std::tie(r->auxText1, r->auxText2, r->devicePath, r->vendor, r->model,
                       r->firmwareDate, r->firmwareTime));
    EXPECT_EQ(std::vector<std::string>{"/mnt/cvn data"}, r->volumes);
    EXPECT_EQ(dcp::productNameFor(14), r->productName);
    EXPECT_EQ((std::vector<uint8_t>{0x00, 0x1A, 0xFF, 0, 0, 0, 0, 0x01}), r->serialNumber);
    EXPECT_EQ("001aff0000000001", r->serialText);
    EXPECT_EQ(std::make_tuple(4000787030016ull, disk->sizeBytes()),
              std::tie(r->capacity, r->osCapacity));
    EXPECT_EQ(inBand, r->diskTooLarge) << "the flag only comes with the in-band transport";

    // A disk named by path: the path, and the volumes of the disk it leads to.
    dcp::DcpRespInfo* out = nullptr;
    for (const std::string path : {"/dev/sdd", "/srv/box.img"}) {
        ASSERT_EQ(drl::Ok, dcp::decodeInfo(handle.get(), blockSize, dcp::DiskRef::named(path),
                                           dcp::DcpReqGetInfo(), &out, volumes));
        r.reset(out);
        EXPECT_EQ(path, r->devicePath);
        EXPECT_EQ(path == "/dev/sdd", r->volumes == std::vector<std::string>{"/mnt/cvn data"});
    }
}

TEST_P(Device, InfoAsksTheDiskSizeOnlyForARaidSet) {
    device->answers[dcp::SubGetInfo] = infoPayload();
    put(device->answers[dcp::SubGetInfo], 124, {0, 0, 0, 0, 0, 0, 0, 0});
    auto r = ask<dcp::DcpRespInfo>(dcp::DcpReqGetInfo());
    ASSERT_TRUE(r);
    EXPECT_EQ(0u, r->osCapacity);
    // The in-band transport asks once for itself; the decoder must not add a query.
    EXPECT_EQ(inBand ? 1u : 0u, disk->counters().sizeQueries);
}

TEST_P(Device, ForeignOrSilentDeviceIsNotOurs) {
    device->answers[dcp::SubGetInfo] = infoPayload();
    std::vector<uint8_t> serial;
    uint32_t key = 0;
    ASSERT_TRUE(dcp::probeDevice(handle.get(), blockSize, &serial, &key));
    EXPECT_EQ((std::vector<uint8_t>{0x00, 0x1A, 0xFF, 0, 0, 0, 0, 0x01}), serial);
    EXPECT_EQ(0x12345678u, key);

    put(device->answers[dcp::SubGetInfo], 10, "corvane");
    EXPECT_FALSE(ask(dcp::DcpReqGetInfo(), drl::DeviceIoFailed));
    key = 7;
    EXPECT_FALSE(dcp::probeDevice(handle.get(), blockSize, &serial, &key));
    EXPECT_EQ(7u, key);

    device->answers[dcp::SubGetInfo] = infoPayload();
    sim::TransportFaults silent;
    silent.directRefused = silent.ignoreCommands = true;
    firmware->setFaults(silent);
    EXPECT_FALSE(ask(dcp::DcpReqGetInfo(), drl::DeviceIoFailed));
    EXPECT_FALSE(ask(dcp::DcpReqGetProgress(), drl::DeviceIoFailed));
    EXPECT_FALSE(ask(dcp::DcpReqGetDriveInfo(0), drl::DeviceIoFailed));
}

TEST_P(Device, DriveFromHandWrittenPayload) {
    Payload p{};
    put(p, 0, {0x01, 0x02, 0x00, 0x60, 0x11, 0xC1, 0xD1, 0x01, 0x00, 0x00});  // 2000398934016
    put(p, 10, "AUX-ONE-16-WIDE!");
    put(p, 26, "HDX-2000 SATA 6Gb/s 5400rpm 2TB GEN4 R2!");  // 40 wide
    put(p, 66, "ZX90-00123456");
    put(p, 106, "82.00A82");  // 8 wide
    put(p, 114, {0x1A, 0x01, 0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0xFF, 0xFF, 0xFF,
                 0xFF, 0x00, 0x00, 0x00, 0x80, 0x2A, 0x00, 0x00, 0x00, 0x00, 0x11, 0x22, 0x33,
                 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF});
    put(p, 152, "SET-0123456789-ABCDEFGHIJKLMNO");  // 30 wide
    put(p, 182, {0x7F, 0x03, 0x01});
    device->answers[dcp::SubGetDriveInfo] = p;

    auto r = ask<dcp::DcpRespDriveInfo>(dcp::DcpReqGetDriveInfo(3));
    ASSERT_TRUE(r);
    EXPECT_EQ((Bytes8{2, 3, 0, 0, 0, 0, 0, 0}), device->requests.at(0));
    EXPECT_EQ(std::make_tuple(3u, true, 10u, 2000398934016ull, 0x7Fu, 3u, 2u),
              std::tie(r->driveIndex, r->present, r->driveBus, r->capacity, r->auxByte,
                       r->memberState, r->health));
    EXPECT_EQ(
        std::make_tuple("AUX-ONE-16-WIDE!", "HDX-2000 SATA 6Gb/s 5400rpm 2TB GEN4 R2!",
                        "ZX90-00123456", "82.00A82", "SET-0123456789-ABCDEFGHIJKLMNO",
                        "00112233445566778899aabbccddeeff"),
        std::tie(r->auxText1, r->model, r->serialNumber, r->auxText2, r->raidSetId, r->auxBytes));
    EXPECT_EQ(std::make_tuple(282u, 0x201u, 0x10000u, 0xFFFFFFFFu, 0x80000000u, 42u),
              std::tie(r->temperature, r->scanErrors, r->badBlocksRemapped, r->auxCounter1,
                       r->auxCounter2, r->crcErrors));
}

TEST_P(Device, DriveMembershipAndHealthFromBytes183And184) {
    // byte 183, byte 184 -> memberState, health
    const std::vector<std::array<uint8_t, 4>> table = {{1, 0, 1, 1}, {1, 1, 1, 2}, {2, 0, 2, 1},
                                                       {2, 9, 2, 2}, {3, 1, 3, 2}, {4, 0, 3, 3},
                                                       {4, 1, 3, 3}, {0, 1, 0, 0}, {5, 1, 0, 0}};
    for (const auto& row : table) {
        Payload p{};
        put(p, 182, {1, row[0], row[1], 4});  // neighbours that must not be taken for codes
        device->answers[dcp::SubGetDriveInfo] = p;
        auto r = ask<dcp::DcpRespDriveInfo>(dcp::DcpReqGetDriveInfo(0));
        ASSERT_TRUE(r);
        EXPECT_EQ(row[2], r->memberState) << int(row[0]) << "/" << int(row[1]);
        EXPECT_EQ(row[3], r->health) << int(row[0]) << "/" << int(row[1]);
    }
}

TEST_P(Device, TextsWithoutNulOrAllNulStayInsideTheirFields) {
    Payload high;
    high.fill(0xC4);
    device->answers[dcp::SubGetDriveInfo] = high;
    auto d = ask<dcp::DcpRespDriveInfo>(dcp::DcpReqGetDriveInfo(1));
    ASSERT_TRUE(d);
    EXPECT_EQ(std::make_tuple(16u, 40u, 40u, 8u, 30u),
              std::make_tuple(d->auxText1.size(), d->model.size(), d->serialNumber.size(),
                              d->auxText2.size(), d->raidSetId.size()));
    EXPECT_EQ(std::string(40, '\xC4'), d->model);
    EXPECT_EQ(80u, dcp::latin1ToUtf8(d->serialNumber).size());

    put(high, 10, std::string("Corvane\0", 8));
    device->answers[dcp::SubGetInfo] = high;
    auto i = ask<dcp::DcpRespInfo>(dcp::DcpReqGetInfo());
    ASSERT_TRUE(i);
    EXPECT_EQ(std::make_tuple(16u, 12u, 12u, 16u, 30u),
              std::make_tuple(i->model.size(), i->firmwareDate.size(), i->firmwareTime.size(),
                              i->auxText1.size(), i->auxText2.size()));

    device->answers[dcp::SubGetDriveInfo] = Payload{};
    d = ask<dcp::DcpRespDriveInfo>(dcp::DcpReqGetDriveInfo(2));
    ASSERT_TRUE(d);
    EXPECT_EQ("", d->model + d->serialNumber + d->raidSetId + d->auxText1 + d->auxText2);
}

TEST_P(Device, InvalidRequestsTouchNothing) {
    dcp::DcpRespDriveInfo* drive = nullptr;
    dcp::DcpRespInitConfiguration* init = nullptr;
    EXPECT_EQ(drl::InvalidArgument,
              dcp::decodeDriveInfo(handle.get(), blockSize, dcp::DcpReqGetDriveInfo(4), &drive));
    EXPECT_EQ(drl::InvalidArgument,
              dcp::requestInitConfiguration(handle.get(), blockSize, 1,
                                            dcp::DcpReqInitConfiguration(2, 0), &init));
    EXPECT_FALSE(ask(dcp::DcpReqGetDriveInfo(0x100), drl::InvalidArgument));
    EXPECT_FALSE(ask(dcp::DcpReqInitConfiguration(0, 0), drl::InvalidArgument));
    struct Unknown : dcp::DcpRequest {
        Unknown() : DcpRequest(7) {}
    };
    EXPECT_FALSE(ask(Unknown(), drl::UnsupportedRequest));
    // The type picks the decoder; an object of another class must not get that far.
    dcp::DcpReqGetInfo impostor;
    impostor.type = dcp::TypeInitConfiguration;
    EXPECT_FALSE(ask(impostor, drl::InvalidArgument));
    dcp::DcpReqRebuild rebuild;
    rebuild.type = dcp::TypeGetInfo;
    EXPECT_FALSE(ask(rebuild, drl::InvalidArgument));
    EXPECT_EQ(nullptr, drive);
    EXPECT_EQ(nullptr, init);
    EXPECT_EQ(0u, disk->counters().total());
    EXPECT_TRUE(device->requests.empty());
}

TEST_P(Device, StatusTextInChunks) {
    std::string report = "<html>" + std::string(588, 'a') + "</html>";
    report[300] = '\xB0';
    device->respond = [&](const uint8_t* req, uint8_t* resp) {
        const size_t offset = req[1] | req[2] << 8;
        const std::string chunk = report.substr(offset, 252);
        std::memcpy(resp + 4, chunk.data(), chunk.size());
        resp[2] = offset + chunk.size() < report.size();  // any byte of the word says "more"
        return true;
    };
    auto r = ask<dcp::DcpRespStatusText>(dcp::DcpReqGetStatusText());
    ASSERT_TRUE(r);
    EXPECT_EQ(report, r->text);
    EXPECT_EQ((std::vector<uint32_t>{0, 252, 504}), device->offsetsAsked());
    EXPECT_EQ(6, device->requests.back()[0]);
}

TEST_P(Device, StatusTextStallsAreBoundedInARow) {
    // Pauses one shorter than the bound, between chunks of text: they add up past it.
    const uint32_t pause = dcp::kMaxStalledStatusRounds - 1;
    const std::string report(3 * 252, 'p');
    uint32_t round = 0;
    device->respond = [&](const uint8_t* req, uint8_t* resp) {
        resp[0] = 1;
        if (round++ % (pause + 1) == pause) {
            const size_t offset = req[1] | req[2] << 8;
            std::memcpy(resp + 4, report.data() + offset, 252);
            resp[0] = offset + 252 < report.size();
        }
        return true;
    };
    auto r = ask<dcp::DcpRespStatusText>(dcp::DcpReqGetStatusText());
    ASSERT_TRUE(r);
    EXPECT_EQ(report, r->text);
    std::vector<uint32_t> expected;
    for (uint32_t offset : {0, 252, 504}) {
        expected.insert(expected.end(), pause + 1, offset);
    }
    EXPECT_EQ(expected, device->offsetsAsked());

    // A device that never stops saying "more" without adding text.
    device->requests.clear();
    device->respond = [](const uint8_t*, uint8_t* resp) { return resp[0] = 1; };
    EXPECT_FALSE(ask(dcp::DcpReqGetStatusText(), drl::DeviceIoFailed));
    EXPECT_EQ(std::vector<uint32_t>(dcp::kMaxStalledStatusRounds, 0), device->offsetsAsked());

    // One failed chunk fails the whole report.
    device->respond = [](const uint8_t* req, uint8_t* resp) {
        std::memset(resp, 1, 256);
        return req[1] == 0;
    };
    EXPECT_FALSE(ask(dcp::DcpReqGetStatusText(), drl::DeviceIoFailed));
}

TEST_P(Device, ProgressVectors) {
    const std::vector<std::array<uint32_t, 7>> rows = {
        // payload bytes 0..3 -> operation, phase, percent
        {0x04, 0x02, 0x10, 0x27, 5, 2, 10000},
        {0x05, 0x03, 0xFF, 0xFF, 6, 3, 10000},
        {0x00, 0x09, 0x64, 0x00, 6, 0, 100},
        {0x04, 0x01, 0x0F, 0x27, 5, 1, 9999},
        {0x03, 0x05, 0x00, 0x01, 6, 5, 256}};
    for (const auto& row : rows) {
        Payload p{};
        put(p, 0, {uint8_t(row[0]), uint8_t(row[1]), uint8_t(row[2]), uint8_t(row[3])});
        device->answers[dcp::SubGetProgress] = p;
        auto r = ask<dcp::DcpRespProgress>(dcp::DcpReqGetProgress());
        ASSERT_TRUE(r);
        EXPECT_EQ(row[4], r->operation);
        EXPECT_EQ(row[5], r->phase);
        EXPECT_EQ(row[6], r->percent);
    }
    EXPECT_EQ((Bytes8{3, 0, 0, 0, 0, 0, 0, 0}), device->requests.back());
}

TEST_P(Device, InitAndRebuildRequestsAndOutcomes) {
    // capacityMode -> byte 5; the key 0xA1B2C3D4 little-endian at 1..4
    for (const auto& [mode, byte] : std::map<uint32_t, uint8_t>{{0, 2}, {1, 3}, {2, 1}, {7, 0}}) {
        device->requests.clear();
        device->answers[dcp::SubInitConfiguration] = Payload{1};
        auto r = ask<dcp::DcpRespInitConfiguration>(dcp::DcpReqInitConfiguration(1, mode));
        ASSERT_TRUE(r);
        EXPECT_EQ(1u, r->result);
        EXPECT_EQ((Bytes8{4, 0xD4, 0xC3, 0xB2, 0xA1, byte, 0, 0}), device->requests.at(0));
    }
    // payload byte 0 -> init result, rebuild result; byte 1 does not count
    const std::vector<std::array<uint8_t, 3>> outcomes = {
        {1, 1, 1}, {2, 4, 3}, {3, 2, 2}, {0, 0, 0}, {9, 0, 0}};
    for (const auto& row : outcomes) {
        device->answers[dcp::SubInitConfiguration] = device->answers[dcp::SubRebuild] =
            Payload{row[0], 1};
        auto init = ask<dcp::DcpRespInitConfiguration>(dcp::DcpReqInitConfiguration());
        auto rebuild = ask<dcp::DcpRespRebuild>(dcp::DcpReqRebuild());
        ASSERT_TRUE(init && rebuild);
        EXPECT_EQ(row[1], init->result) << int(row[0]);
        EXPECT_EQ(row[2], rebuild->result) << int(row[0]);
    }
    EXPECT_EQ((Bytes8{5, 0, 0, 0, 0, 0, 0, 0}), device->requests.back());
}

TEST_P(Device, DispatchByNumberClosesOnEveryPath) {
    device->answers[dcp::SubGetInfo] = infoPayload();
    device->answers[dcp::SubGetProgress] = Payload{};
    handle.reset();
    // Each open handle holds the disk; a leaked one would keep the count up.
    const long idle = disk.use_count();
    auto dispatch = [&](const dcp::DcpRequest& request, unsigned number = kDisk) {
        dcp::DcpResponse* out = nullptr;
        const drl::DrlResult r = dcp::dispatchRequest(number, request, 0, &out);
        delete out;
        EXPECT_EQ(idle, disk.use_count());
        return r;
    };
    EXPECT_EQ(drl::Ok, dispatch(dcp::DcpReqGetInfo()));
    EXPECT_EQ(drl::Ok, dispatch(dcp::DcpReqGetProgress()));
    EXPECT_EQ(drl::DeviceIoFailed, dispatch(dcp::DcpReqRebuild()));     // not answered
    EXPECT_EQ(drl::DeviceIoFailed, dispatch(dcp::DcpReqGetInfo(), 5));  // no disk 5
    disk->setFaultInjector(
        [](sim::DiskOp op, uint64_t) { return op == sim::DiskOp::BlockSize ? EIO : 0; });
    EXPECT_EQ(drl::DeviceIoFailed, dispatch(dcp::DcpReqGetInfo()));
    EXPECT_EQ(4u, disk->counters().opens);
    EXPECT_EQ(drl::InvalidArgument, dispatch(dcp::DcpReqGetDriveInfo(4)));
    EXPECT_EQ(4u, disk->counters().opens) << "a refused request does not open the disk";
}

// Transport-independent limits: the direct path on 512-byte blocks is enough.
using DeviceLimits = Device;
INSTANTIATE_TEST_SUITE_P(Direct, DeviceLimits, ::testing::Values(std::make_tuple(512u, false)));

TEST_P(DeviceLimits, EndlessReportAndNoMemory) {
    device->respond = [](const uint8_t*, uint8_t* resp) {
        std::memset(resp, 'z', 256);
        return true;
    };
    EXPECT_FALSE(ask(dcp::DcpReqGetStatusText(), drl::DeviceIoFailed));
    EXPECT_EQ(dcp::kMaxStatusTextRounds, device->requests.size());

    device->respond = nullptr;
    device->answers[dcp::SubGetInfo] = infoPayload();
    dcp::failResponseAllocations(1);
    EXPECT_FALSE(ask(dcp::DcpReqGetInfo(), drl::OutOfMemory));
    EXPECT_TRUE(ask(dcp::DcpReqGetInfo()));
}

}  // namespace
