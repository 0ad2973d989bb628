#include <stdlib.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <tuple>

#include "dcp/decoders.h"
#include "dcp/dispatch.h"
#include "dcp/payload.h"
#include "rig.h"

using namespace dcptest;
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
        requests.emplace_back();
        std::memcpy(requests.back().data(), request, 8);
        if (respond)
            return respond(request, response);
        auto it = answers.find(request[0]);
        return it != answers.end() && (std::memcpy(response, it->second.data(), 490), true);
    }
    std::map<uint8_t, Payload> answers;
    std::function<bool(const uint8_t*, uint8_t*)> respond;
    std::vector<Bytes8> requests;
};

// A healthy enclosure's GetInfo answer. Text fields are filled to their full width, so
// that a wrong width or offset shows; one ends at a NUL with bytes after it.
Payload infoPayload() {
    Payload p{};
    put(p, 0, {0x11, 0x00, 0x00, 0x1A, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x01});  // 17, serial
    put(p, 10, "Corvane");
    put(p, 26, "R4-ENCLOSURE-XYZ");                // 16 wide
    put(p, 42, "Nov  5 2023 ");                    // 12 wide, kept untrimmed
    put(p, 54, "14:03:59.123");                    // 12 wide
    put(p, 66, std::string("Caf\xE9\0junk", 9));   // Latin-1, then a NUL
    put(p, 82, "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123");  // 30 wide
    put(p, 112, {0x02, 0x01, 0x00, 0x80, 0x00, 0x01, 0xFF, 0x02, 0x78, 0x56, 0x34, 0x12});
    put(p, 124, {0x00, 0x60, 0x7D, 0x81, 0xA3, 0x03, 0x00, 0x00, 0xEE});  // 4000787030016
    return p;
}

// /proc and /sys with disk 3 ("sdd") mounted at /mnt/cvn.
struct VolumeTree {
    VolumeTree() {
        std::string pattern = (fs::path(testing::TempDir()) / "dcpvolXXXXXX").string();
        root = mkdtemp(pattern.data());
        fs::create_directories(root / "sys/block/sdd");
        fs::create_directories(root / "sys/dev/block");
        fs::create_directories(root / "proc/self");
        std::ofstream(root / "sys/block/sdd/dev") << "8:48\n";
        fs::create_directory_symlink("../../block/sdd", root / "sys/dev/block/8:48");
        std::ofstream(root / "proc/self/mountinfo") << "31 22 8:48 / /mnt/cvn rw - ext4 /dev/sdd\n";
    }
    ~VolumeTree() { fs::remove_all(root); }
    fs::path root;
};

// A scripted device on disk 3 ("/dev/sdd"), by block size and transport (true: the
// mailbox carries every exchange).
class Device : public ::testing::TestWithParam<std::tuple<uint32_t, bool>> {
protected:
    static constexpr unsigned kDisk = 3;

    // A request through the dispatch on the open handle; the record when one is expected.
    template <class Resp = dcp::DcpResponse>
    std::unique_ptr<Resp> ask(const dcp::DcpRequest& request, drl::DrlResult expected = drl::Ok) {
        dcp::DcpResponse* out = nullptr;
        EXPECT_EQ(expected, dcp::dispatchRequest(rig.handle.get(), dcp::DiskRef::numbered(kDisk),
                                                 request, 0xA1B2C3D4, &out, volumes));
        EXPECT_EQ(expected == drl::Ok, out != nullptr) << "a record exactly on Ok";
        Resp* typed = dynamic_cast<Resp*>(out);
        if (out && !typed) {
            ADD_FAILURE() << "record of type " << out->type;
            delete out;
        }
        return std::unique_ptr<Resp>(typed);
    }

    // The kernel's target core keeps only the first 10 bytes of a CDB whose operation code
    // is 0xE0 or more, so no request may need bytes 10 and 11 (payload bytes 6 and 7).
    void TearDown() override {
        for (const Bytes8& r : device->requests)
            ASSERT_EQ(0, r[6] | r[7]) << "sub-command " << int(r[0]);
    }

    const uint32_t blockSize = std::get<0>(GetParam());
    const bool inBand = std::get<1>(GetParam());
    std::shared_ptr<ScriptedDevice> device = std::make_shared<ScriptedDevice>();
    Rig rig{blockSize, device, kDisk, inBand};
    io::VolumeSources volumes{"/nonexistent", "/nonexistent"};
};

INSTANTIATE_TEST_SUITE_P(Transports, Device,
                         ::testing::Combine(::testing::Values(512u, 4096u), ::testing::Bool()));

TEST_P(Device, InfoFromHandWrittenPayload) {
    device->answers[dcp::SubGetInfo] = infoPayload();
    rig.firmware->setDiskTooLarge(true);
    VolumeTree tree;
    volumes = {(tree.root / "proc").string(), (tree.root / "sys").string()};
    auto r = ask<dcp::DcpRespInfo>(dcp::DcpReqGetInfo());
    ASSERT_TRUE(r);
    EXPECT_EQ(std::make_tuple(1u, 4u, 2u, true, false, true, false, true, 7u, 17u),
              std::tie(r->configuration, r->driveCount, r->raidStatus, r->driveFailureLikely,
                       r->canInitialize, r->readyForRebuild, r->cacheDisabled, r->largeCapacity,
                       r->hostBus, r->productId));
    EXPECT_EQ(std::make_tuple("Caf\xE9", "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123", "/dev/sdd", "Corvane",
                              "R4-ENCLOSURE-XYZ", "Nov  5 2023 ", "14:03:59.123"),
              std::tie(r->auxText1, r->auxText2, r->devicePath, r->vendor, r->model,
                       r->firmwareDate, r->firmwareTime));
    EXPECT_EQ(std::vector<std::string>{"/mnt/cvn"}, r->volumes);
    EXPECT_EQ("Corvane Bridge Module", r->productName);
    EXPECT_EQ((std::vector<uint8_t>{0x00, 0x1A, 0xFF, 0, 0, 0, 0, 0x01}), r->serialNumber);
    EXPECT_EQ("001aff0000000001", r->serialText);
    EXPECT_EQ(std::make_tuple(4000787030016ull, rig.disk->sizeBytes()),
              std::tie(r->capacity, r->osCapacity));
    EXPECT_EQ(inBand, r->diskTooLarge) << "the flag only comes with the in-band transport";

    // A disk named by path: the path, and the volumes of the disk it leads to.
    dcp::DcpRespInfo* out = nullptr;
    for (const std::string path : {"/dev/sdd", "/srv/box.img"}) {
        ASSERT_EQ(drl::Ok, dcp::decodeInfo(rig.handle.get(), blockSize, dcp::DiskRef::named(path),
                                           dcp::DcpReqGetInfo(), &out, volumes));
        r.reset(out);
        EXPECT_EQ(path, r->devicePath);
        EXPECT_EQ(path == "/dev/sdd", r->volumes == std::vector<std::string>{"/mnt/cvn"});
    }

    // The scan's probe: the serial and the configuration key, little-endian at 120.
    std::vector<uint8_t> serial;
    uint32_t key = 0;
    ASSERT_TRUE(dcp::probeDevice(rig.handle.get(), blockSize, &serial, &key));
    EXPECT_EQ(r->serialNumber, serial);
    EXPECT_EQ(0x12345678u, key);

    // Without a RAID set there is no disk size to compare; the decoder does not ask for it
    // (the in-band transport asks once for itself).
    put(device->answers[dcp::SubGetInfo], 124, {0, 0, 0, 0, 0, 0, 0, 0});
    rig.disk->resetCounters();
    r = ask<dcp::DcpRespInfo>(dcp::DcpReqGetInfo());
    ASSERT_TRUE(r);
    EXPECT_EQ(0u, r->osCapacity);
    EXPECT_EQ(inBand ? 1u : 0u, rig.disk->counters().sizeQueries);

    // No memory for the record; then another maker's device.
    dcp::failResponseAllocations(1);
    EXPECT_FALSE(ask(dcp::DcpReqGetInfo(), drl::OutOfMemory));
    put(device->answers[dcp::SubGetInfo], 10, "corvane");
    EXPECT_FALSE(ask(dcp::DcpReqGetInfo(), drl::DeviceIoFailed));
    serial = {9};
    key = 7;
    EXPECT_FALSE(dcp::probeDevice(rig.handle.get(), blockSize, &serial, &key));
    EXPECT_EQ(std::make_tuple(std::vector<uint8_t>{9}, 7u), std::tie(serial, key));
}

TEST_P(Device, DriveFromHandWrittenPayload) {
    Payload p{};
    put(p, 0, {0x01, 0x02, 0x00, 0x60, 0x11, 0xC1, 0xD1, 0x01, 0x00, 0x00});  // 2000398934016
    put(p, 10, "AUX-ONE-16-WIDE!");
    put(p, 26, "HDX-2000 SATA 6Gb/s 5400rpm 2TB GEN4 R2!");  // 40 wide
    put(p, 66, "ZX90-00123456-ABCDEFGHIJKLMNOPQRSTUVWXYZ");  // 40 wide
    put(p, 106, "82.00A82");                                 // 8 wide
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
                        "ZX90-00123456-ABCDEFGHIJKLMNOPQRSTUVWXYZ", "82.00A82",
                        "SET-0123456789-ABCDEFGHIJKLMNO", "00112233445566778899aabbccddeeff"),
        std::tie(r->auxText1, r->model, r->serialNumber, r->auxText2, r->raidSetId, r->auxBytes));
    EXPECT_EQ(std::make_tuple(282u, 0x201u, 0x10000u, 0xFFFFFFFFu, 0x80000000u, 42u),
              std::tie(r->temperature, r->scanErrors, r->badBlocksRemapped, r->auxCounter1,
                       r->auxCounter2, r->crcErrors));

    // byte 183, byte 184 -> memberState, health; the neighbours must not be taken for codes
    const std::vector<std::array<uint8_t, 4>> table = {{1, 0, 1, 1}, {1, 1, 1, 2}, {2, 0, 2, 1},
                                                       {2, 9, 2, 2}, {3, 1, 3, 2}, {4, 0, 3, 3},
                                                       {4, 1, 3, 3}, {0, 1, 0, 0}, {5, 1, 0, 0}};
    for (const auto& row : table) {
        put(device->answers[dcp::SubGetDriveInfo], 183, {row[0], row[1], 4});
        r = ask<dcp::DcpRespDriveInfo>(dcp::DcpReqGetDriveInfo(0));
        ASSERT_TRUE(r);
        EXPECT_EQ(std::make_tuple(uint32_t(row[2]), uint32_t(row[3])),
                  std::make_tuple(r->memberState, r->health))
            << int(row[0]) << "/" << int(row[1]);
    }
}

TEST_P(Device, StatusTextInChunksWithStallsBoundedInARow) {
    // Each chunk after pauses one shorter than the bound: they add up past it, never in a
    // row. Any byte of the first word says "more".
    const uint32_t pause = dcp::kMaxStalledStatusRounds - 1;
    std::string report = "<html>" + std::string(703, 'a') + "</html>";
    report[300] = '\xB0';
    uint32_t round = 0;
    device->respond = [&](const uint8_t* req, uint8_t* resp) {
        const size_t offset = req[1] | req[2] << 8;
        resp[2] = 1;
        if (round++ % (pause + 1) == pause) {
            const std::string chunk = report.substr(offset, 252);
            std::memcpy(resp + 4, chunk.data(), chunk.size());
            resp[2] = offset + chunk.size() < report.size();
        }
        return true;
    };
    auto r = ask<dcp::DcpRespStatusText>(dcp::DcpReqGetStatusText());
    ASSERT_TRUE(r);
    EXPECT_EQ(report, r->text);
    EXPECT_EQ(3 * (pause + 1), device->requests.size());
    EXPECT_EQ(6, device->requests.back()[0]);

    // A device that never stops saying "more" without adding text.
    device->requests.clear();
    device->respond = [](const uint8_t*, uint8_t* resp) { return resp[0] = 1; };
    EXPECT_FALSE(ask(dcp::DcpReqGetStatusText(), drl::DeviceIoFailed));
    EXPECT_EQ(dcp::kMaxStalledStatusRounds, device->requests.size());

    // A report that never ends (about 1 MB) is given up on.
    device->requests.clear();
    device->respond = [](const uint8_t*, uint8_t* resp) {
        std::memset(resp, 'z', 256);
        return true;
    };
    EXPECT_FALSE(ask(dcp::DcpReqGetStatusText(), drl::DeviceIoFailed));
    EXPECT_EQ(dcp::kMaxStatusTextRounds, device->requests.size());

    // One failed chunk fails the whole report.
    device->respond = [](const uint8_t* req, uint8_t* resp) {
        resp[0] = resp[4] = 1;  // more follows, after one character
        return req[1] == 0;
    };
    EXPECT_FALSE(ask(dcp::DcpReqGetStatusText(), drl::DeviceIoFailed));
}

TEST_P(Device, ProgressInitAndRebuildVectors) {
    // payload bytes 0..3 -> operation, phase, percent
    const std::vector<std::array<uint32_t, 7>> rows = {{0x04, 0x02, 0x10, 0x27, 5, 2, 10000},
                                                       {0x05, 0x03, 0xFF, 0xFF, 6, 3, 10000},
                                                       {0x00, 0x09, 0x64, 0x00, 6, 0, 100},
                                                       {0x04, 0x01, 0x0F, 0x27, 5, 1, 9999},
                                                       {0x03, 0x05, 0x00, 0x01, 6, 5, 256}};
    for (const auto& row : rows) {
        Payload& p = device->answers[dcp::SubGetProgress];
        put(p, 0, {uint8_t(row[0]), uint8_t(row[1]), uint8_t(row[2]), uint8_t(row[3])});
        auto r = ask<dcp::DcpRespProgress>(dcp::DcpReqGetProgress());
        ASSERT_TRUE(r);
        EXPECT_EQ(std::make_tuple(row[4], row[5], row[6]),
                  std::make_tuple(r->operation, r->phase, r->percent));
    }

    // capacityMode -> byte 5; the key 0xA1B2C3D4 little-endian at 1..4
    for (const auto& [mode, byte] : std::map<uint32_t, uint8_t>{{0, 2}, {1, 3}, {2, 1}, {7, 0}}) {
        device->requests.clear();
        device->answers[dcp::SubInitConfiguration] = Payload{1};
        auto r = ask<dcp::DcpRespInitConfiguration>(dcp::DcpReqInitConfiguration(1, mode));
        ASSERT_TRUE(r);
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
        EXPECT_EQ(std::make_tuple(uint32_t(row[1]), uint32_t(row[2])),
                  std::make_tuple(init->result, rebuild->result))
            << int(row[0]);
    }
}

TEST_P(Device, RefusalsAndFailuresLeaveNoRecordAndNoOpenDisk) {
    // Refused before the device is touched. The type picks the decoder; an object of
    // another class must not get that far.
    struct Unknown : dcp::DcpRequest {
        explicit Unknown(uint32_t type) : DcpRequest(type) {}
    };
    dcp::DcpReqGetInfo impostor;
    impostor.type = dcp::TypeInitConfiguration;
    dcp::DcpReqRebuild rebuild;
    rebuild.type = dcp::TypeGetInfo;
    EXPECT_FALSE(ask(dcp::DcpReqGetDriveInfo(4), drl::InvalidArgument));
    EXPECT_FALSE(ask(dcp::DcpReqInitConfiguration(0, 0), drl::InvalidArgument));
    for (uint32_t type : {0u, 7u})
        EXPECT_FALSE(ask(Unknown(type), drl::UnsupportedRequest)) << type;
    EXPECT_FALSE(ask(impostor, drl::InvalidArgument));
    EXPECT_FALSE(ask(rebuild, drl::InvalidArgument));
    dcp::DcpRespDriveInfo* drive = nullptr;  // the decoder checks the bay on its own too
    EXPECT_EQ(drl::InvalidArgument, dcp::decodeDriveInfo(rig.handle.get(), blockSize,
                                                         dcp::DcpReqGetDriveInfo(4), &drive));
    EXPECT_EQ(0u, rig.disk->counters().total());
    EXPECT_TRUE(device->requests.empty());

    // By disk number: each open handle holds the disk, so a leaked one keeps the count up.
    rig.handle.reset();
    const long idle = rig.disk.use_count();
    auto dispatch = [&](const dcp::DcpRequest& request, unsigned number = kDisk) {
        dcp::DcpResponse* out = nullptr;
        const drl::DrlResult r = dcp::dispatchRequest(number, request, 0, &out);
        EXPECT_EQ(r == drl::Ok, out != nullptr);
        delete out;
        EXPECT_EQ(idle, rig.disk.use_count());
        return r;
    };
    // A device that answers nothing fails every request.
    std::vector<drl::DrlResult> results;
    std::apply([&](const auto&... request) { (results.push_back(dispatch(request)), ...); },
               std::make_tuple(dcp::DcpReqGetInfo(), dcp::DcpReqGetDriveInfo(1),
                               dcp::DcpReqGetStatusText(), dcp::DcpReqGetProgress(),
                               dcp::DcpReqInitConfiguration(), dcp::DcpReqRebuild()));
    EXPECT_EQ(std::vector<drl::DrlResult>(6, drl::DeviceIoFailed), results);
    device->answers[dcp::SubGetInfo] = infoPayload();
    EXPECT_EQ(drl::Ok, dispatch(dcp::DcpReqGetInfo()));
    EXPECT_EQ(drl::DeviceIoFailed, dispatch(dcp::DcpReqGetInfo(), 5));  // no disk 5
    rig.disk->setFaultInjector(
        [](sim::DiskOp op, uint64_t) { return op == sim::DiskOp::BlockSize ? EIO : 0; });
    EXPECT_EQ(drl::DeviceIoFailed, dispatch(dcp::DcpReqGetInfo()));
    EXPECT_EQ(8u, rig.disk->counters().opens);
    EXPECT_EQ(drl::InvalidArgument, dispatch(dcp::DcpReqGetDriveInfo(4)));
    EXPECT_EQ(8u, rig.disk->counters().opens) << "a refused request does not open the disk";
}

TEST(PayloadHelpers, TextsVendorAndProductNames) {
    EXPECT_EQ("Caf\xC3\xA9 \xC2\x80\xC3\xBF", dcp::latin1ToUtf8("Caf\xE9 \x80\xFF"));
    // The vendor field (16 wide at offset 10) is compared whole.
    const std::map<std::string, bool> vendors = {
        {"Corvane", true},   {std::string("Corvane\0junk", 12), true},
        {"Corvane ", false}, {"corvane", false},
        {"Corvan", false},   {"CorvaneCorvane!!", false}};
    for (const auto& [vendor, own] : vendors) {
        Payload p{};
        put(p, 10, vendor);
        put(p, 26, "M");  // the model follows directly
        EXPECT_EQ(own, dcp::isOwnDevice(p.data())) << vendor;
    }
    // Identifiers without a name of their own, inside the table and past its end.
    for (uint32_t id : {0u, 26u, 34u, 0xFFFFFFFFu})
        EXPECT_STREQ("New Corvane Bridge", dcp::productNameFor(id)) << id;
}

}  // namespace
