#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "dcp/decoders.h"
#include "dcp/payload.h"
#include "device_fixture.h"

using namespace dcptest;
namespace fs = std::filesystem;

namespace {

// The GetInfo answer of a healthy enclosure, byte by byte. Neighbouring fields are
// filled to their full width so that a wrong width or offset shows in the texts.
Payload infoPayload() {
    Payload p{};
    putBytes(p, 0, {0x11, 0x00});                                      // product 17
    putBytes(p, 2, {0x00, 0x1A, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x01});  // serial
    putText(p, 10, "Corvane");
    putText(p, 26, "R4-ENCLOSURE-XYZ");                // 16 wide, no NUL
    putText(p, 42, "Nov  5 2023");                     // 11 + NUL
    putText(p, 54, "14:03:59.123");                    // 12 wide, no NUL
    putText(p, 66, "Caf\xE9");                         // a Latin-1 byte
    putText(p, 82, "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123");  // 30 wide, no NUL
    putBytes(p, 112, {0x02, 0x01, 0x00, 0x80, 0x00, 0x01, 0xFF, 0x02});
    putBytes(p, 120, {0x78, 0x56, 0x34, 0x12});
    putBytes(p, 124, {0x00, 0x60, 0x7D, 0x81, 0xA3, 0x03, 0x00, 0x00});  // 4000787030016
    putBytes(p, 132, {0xEE, 0xEE});
    return p;
}

// /proc and /sys with two mounted partitions: sdd1 (disk 3) and sda1 (disk 0).
struct VolumeTree {
    VolumeTree() {
        std::string pattern = (fs::path(testing::TempDir()) / "dcpvolXXXXXX").string();
        root = mkdtemp(pattern.data());
        partition("sda", "8:0", "sda1", "8:1");
        partition("sdd", "8:48", "sdd1", "8:49");
        fs::create_directories(root / "proc/self");
        std::ofstream(root / "proc/self/mountinfo")
            << "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
            << "31 22 8:49 / /mnt/cvn\\040data rw - ext4 /dev/sdd1 rw\n"
            << "32 22 0:5 / /proc rw - proc proc rw\n";
    }
    ~VolumeTree() { fs::remove_all(root); }

    void partition(const std::string& disk, const std::string& diskId, const std::string& part,
                   const std::string& partId) {
        const fs::path d = root / "sys/devices/pci0000:00/ata1/block" / disk;
        fs::create_directories(d / part);
        std::ofstream(d / "dev") << diskId << "\n";
        std::ofstream(d / part / "dev") << partId << "\n";
        std::ofstream(d / part / "partition") << "1\n";
        fs::create_directories(root / "sys/dev/block");
        fs::create_directory_symlink(fs::path("../../devices/pci0000:00/ata1/block") / disk / part,
                                     root / "sys/dev/block" / partId);
    }
    io::VolumeSources sources() const {
        return {(root / "proc").string(), (root / "sys").string(), nullptr};
    }

    fs::path root;
};

class Decoders : public DeviceTest {
protected:
    drl::DrlResult info(dcp::DcpRespInfo** out, const io::VolumeSources& sources = {}) {
        return dcp::decodeInfo(handle.get(), blockSize, dcp::DiskRef::numbered(kDisk),
                               dcp::DcpReqGetInfo(), out, sources);
    }
    std::unique_ptr<dcp::DcpRespInfo> infoOk(const io::VolumeSources& sources = {}) {
        dcp::DcpRespInfo* out = nullptr;
        EXPECT_EQ(drl::Ok, info(&out, sources));
        return std::unique_ptr<dcp::DcpRespInfo>(out);
    }
    std::unique_ptr<dcp::DcpRespDriveInfo> drive(uint32_t bay) {
        dcp::DcpRespDriveInfo* out = nullptr;
        EXPECT_EQ(drl::Ok, dcp::decodeDriveInfo(handle.get(), blockSize,
                                                dcp::DcpReqGetDriveInfo(bay), &out));
        return std::unique_ptr<dcp::DcpRespDriveInfo>(out);
    }
    std::unique_ptr<dcp::DcpRespProgress> progress(std::initializer_list<uint8_t> answer) {
        Payload p{};
        putBytes(p, 0, answer);
        device->answers[dcp::SubGetProgress] = p;
        dcp::DcpRespProgress* out = nullptr;
        EXPECT_EQ(drl::Ok,
                  dcp::decodeProgress(handle.get(), blockSize, dcp::DcpReqGetProgress(), &out));
        return std::unique_ptr<dcp::DcpRespProgress>(out);
    }
    drl::DrlResult statusText(std::string* text) {
        dcp::DcpRespStatusText* out = nullptr;
        const drl::DrlResult r =
            dcp::fetchStatusText(handle.get(), blockSize, dcp::DcpReqGetStatusText(), &out);
        if (out) {
            EXPECT_EQ(drl::Ok, r);
            *text = out->text;
            delete out;
        }
        return r;
    }
    // Serves a report in chunks of up to 252 characters from the offset asked for.
    void serveReport(const std::string& report) {
        device->respond = [report](const uint8_t* req, uint8_t* resp) {
            const uint32_t offset = req[1] | req[2] << 8 | req[3] << 16 | uint32_t(req[4]) << 24;
            const std::string chunk = report.substr(std::min<size_t>(offset, report.size()), 252);
            std::memcpy(resp + 4, chunk.data(), chunk.size());
            resp[0] = offset + chunk.size() < report.size() ? 1 : 0;
            return true;
        };
    }
    std::vector<uint32_t> offsetsAsked() const {
        std::vector<uint32_t> offsets;
        for (const RequestBytes& r : device->requests) {
            EXPECT_EQ(dcp::SubGetStatusText, r[0]);
            EXPECT_EQ(0, r[5] | r[6] | r[7]);
            offsets.push_back(r[1] | r[2] << 8 | r[3] << 16 | uint32_t(r[4]) << 24);
        }
        return offsets;
    }
};

INSTANTIATE_TEST_SUITE_P(Transports, Decoders,
                         ::testing::Combine(::testing::Values(512u, 4096u), ::testing::Bool()),
                         transportName);

TEST_P(Decoders, InfoFieldsFromHandWrittenPayload) {
    device->answers[dcp::SubGetInfo] = infoPayload();
    VolumeTree tree;
    auto r = infoOk(tree.sources());
    ASSERT_TRUE(r);
    EXPECT_EQ(dcp::TypeGetInfo, r->type);
    EXPECT_EQ(1u, r->configuration);
    EXPECT_EQ(4u, r->driveCount);
    EXPECT_EQ(2u, r->raidStatus);
    EXPECT_TRUE(r->driveFailureLikely);
    EXPECT_FALSE(r->canInitialize);
    EXPECT_TRUE(r->readyForRebuild);
    EXPECT_FALSE(r->cacheDisabled);
    EXPECT_TRUE(r->largeCapacity);
    EXPECT_EQ("Caf\xE9", r->auxText1);
    EXPECT_EQ("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123", r->auxText2);
    EXPECT_EQ("/dev/sdd", r->devicePath);
    EXPECT_EQ(std::vector<std::string>{"/mnt/cvn data"}, r->volumes);
    EXPECT_EQ(7u, r->hostBus);
    EXPECT_EQ(17u, r->productId);
    EXPECT_EQ(dcp::productNameFor(14), r->productName);
    EXPECT_EQ((std::vector<uint8_t>{0x00, 0x1A, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x01}),
              r->serialNumber);
    EXPECT_EQ("001aff0000000001", r->serialText);
    EXPECT_EQ("Corvane", r->vendor);
    EXPECT_EQ("R4-ENCLOSURE-XYZ", r->model);
    EXPECT_EQ("Nov  5 2023", r->firmwareDate);
    EXPECT_EQ("14:03:59.123", r->firmwareTime);
    EXPECT_EQ(4000787030016ull, r->capacity);
    EXPECT_EQ(disk->sizeBytes(), r->osCapacity);

    // The record is copied by value into events.
    const dcp::DcpRespInfo copy = *r;
    EXPECT_EQ(r->volumes, copy.volumes);
    EXPECT_EQ(r->serialText, copy.serialText);
}

TEST_P(Decoders, InfoTakesDiskTooLargeOnlyFromTheInfoSector) {
    device->answers[dcp::SubGetInfo] = infoPayload();
    firmware->setDiskTooLarge(true);
    auto r = infoOk();
    ASSERT_TRUE(r);
    EXPECT_EQ(inBand, r->diskTooLarge);

    firmware->setDiskTooLarge(false);
    r = infoOk();
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->diskTooLarge);
}

TEST_P(Decoders, InfoAsksTheDiskSizeOnlyForARaidSet) {
    device->answers[dcp::SubGetInfo] = infoPayload();
    auto withSet = infoOk();
    ASSERT_TRUE(withSet);
    const uint64_t queriesWithSet = disk->counters().sizeQueries;

    disk->resetCounters();
    putBytes(device->answers[dcp::SubGetInfo], 124, {0, 0, 0, 0, 0, 0, 0, 0});
    auto noSet = infoOk();
    ASSERT_TRUE(noSet);
    EXPECT_EQ(0u, noSet->capacity);
    EXPECT_EQ(0u, noSet->osCapacity);
    // The in-band transport asks once itself; the decoder adds one only for a set.
    EXPECT_EQ(queriesWithSet - 1, disk->counters().sizeQueries);
    EXPECT_EQ(inBand ? 1u : 0u, disk->counters().sizeQueries);
}

TEST_P(Decoders, InfoSurvivesFailingSizeQueryAndVolumeListing) {
    device->answers[dcp::SubGetInfo] = infoPayload();
    if (!inBand) {
        // The in-band path needs the size itself, so only the direct path gets this far.
        disk->setFaultInjector(
            [](sim::DiskOp op, uint64_t) { return op == sim::DiskOp::Size ? EIO : 0; });
    }
    io::VolumeSources nowhere{"/nonexistent/proc", "/nonexistent/sys", nullptr};
    auto r = infoOk(nowhere);
    ASSERT_TRUE(r);
    EXPECT_EQ(inBand ? disk->sizeBytes() : 0u, r->osCapacity);
    EXPECT_TRUE(r->volumes.empty());
    EXPECT_EQ(4000787030016ull, r->capacity);
}

TEST_P(Decoders, InfoByPathNamesThePath) {
    device->answers[dcp::SubGetInfo] = infoPayload();
    VolumeTree tree;
    dcp::DcpRespInfo* out = nullptr;
    ASSERT_EQ(drl::Ok, dcp::decodeInfo(handle.get(), blockSize, dcp::DiskRef::named("/dev/sdd"),
                                       dcp::DcpReqGetInfo(), &out, tree.sources()));
    std::unique_ptr<dcp::DcpRespInfo> r(out);
    EXPECT_EQ("/dev/sdd", r->devicePath);
    EXPECT_EQ(std::vector<std::string>{"/mnt/cvn data"}, r->volumes);

    ASSERT_EQ(drl::Ok,
              dcp::decodeInfo(handle.get(), blockSize, dcp::DiskRef::named("/srv/images/box.img"),
                              dcp::DcpReqGetInfo(), &out, tree.sources()));
    r.reset(out);
    EXPECT_EQ("/srv/images/box.img", r->devicePath);
    EXPECT_TRUE(r->volumes.empty());
}

TEST_P(Decoders, ForeignOrSilentDeviceIsNotOurs) {
    for (const char* vendor : {"Corvane ", "corvane", "CorvaneCorvane!!", "Other"}) {
        Payload p = infoPayload();
        std::memset(p.data() + 10, 0, 16);
        putText(p, 10, vendor);
        device->answers[dcp::SubGetInfo] = p;
        dcp::DcpRespInfo* out = nullptr;
        EXPECT_EQ(drl::DeviceIoFailed, info(&out)) << vendor;
        EXPECT_EQ(nullptr, out);
        std::vector<uint8_t> serial{9};
        uint32_t key = 7;
        EXPECT_FALSE(dcp::probeDevice(handle.get(), blockSize, &serial, &key));
        EXPECT_EQ(std::vector<uint8_t>{9}, serial);
        EXPECT_EQ(7u, key);
    }
    device->answers[dcp::SubGetInfo] = infoPayload();
    silence();
    dcp::DcpRespInfo* out = nullptr;
    EXPECT_EQ(drl::DeviceIoFailed, info(&out));
    EXPECT_EQ(nullptr, out);
}

TEST_P(Decoders, ProbeKeepsSerialAndKey) {
    device->answers[dcp::SubGetInfo] = infoPayload();
    std::vector<uint8_t> serial;
    uint32_t key = 0;
    ASSERT_TRUE(dcp::probeDevice(handle.get(), blockSize, &serial, &key));
    EXPECT_EQ((std::vector<uint8_t>{0x00, 0x1A, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x01}), serial);
    EXPECT_EQ(0x12345678u, key);
    ASSERT_EQ(1u, device->requests.size());
    EXPECT_EQ((RequestBytes{1, 0, 0, 0, 0, 0, 0, 0}), device->requests[0]);
}

TEST_P(Decoders, DriveFieldsFromHandWrittenPayload) {
    Payload p{};
    putBytes(p, 0, {0x01, 0x02});
    putBytes(p, 2, {0x00, 0x60, 0x11, 0xC1, 0xD1, 0x01, 0x00, 0x00});  // 2000398934016
    putText(p, 10, "AUX-ONE-16-WIDE!");
    putText(p, 26, "HDX-2000 SATA 6Gb/s 5400rpm 2TB GEN4 R2!");  // 40 wide
    putText(p, 66, "ZX90-00123456");
    putText(p, 106, "82.00A82");  // 8 wide
    putBytes(p, 114, {0x1A, 0x01});
    putBytes(p, 116, {0x01, 0x02, 0x00, 0x00});
    putBytes(p, 120, {0x00, 0x00, 0x01, 0x00});
    putBytes(p, 124, {0xFF, 0xFF, 0xFF, 0xFF});
    putBytes(p, 128, {0x00, 0x00, 0x00, 0x80});
    putBytes(p, 132, {0x2A, 0x00, 0x00, 0x00});
    putBytes(p, 136,
             {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD,
              0xEE, 0xFF});
    putText(p, 152, "SET-0123456789-ABCDEFGHIJKLMN");  // 29 + NUL
    putBytes(p, 182, {0x7F, 0x03, 0x01});
    device->answers[dcp::SubGetDriveInfo] = p;

    auto r = drive(3);
    ASSERT_TRUE(r);
    ASSERT_EQ(1u, device->requests.size());
    EXPECT_EQ((RequestBytes{2, 3, 0, 0, 0, 0, 0, 0}), device->requests[0]);
    EXPECT_EQ(dcp::TypeGetDriveInfo, r->type);
    EXPECT_EQ(3u, r->driveIndex);
    EXPECT_TRUE(r->present);
    EXPECT_EQ(10u, r->driveBus);
    EXPECT_EQ(2000398934016ull, r->capacity);
    EXPECT_EQ("AUX-ONE-16-WIDE!", r->auxText1);
    EXPECT_EQ("HDX-2000 SATA 6Gb/s 5400rpm 2TB GEN4 R2!", r->model);
    EXPECT_EQ("ZX90-00123456", r->serialNumber);
    EXPECT_EQ("82.00A82", r->auxText2);
    EXPECT_EQ(282u, r->temperature);
    EXPECT_EQ(0x201u, r->scanErrors);
    EXPECT_EQ(0x10000u, r->badBlocksRemapped);
    EXPECT_EQ(0xFFFFFFFFu, r->auxCounter1);
    EXPECT_EQ(0x80000000u, r->auxCounter2);
    EXPECT_EQ(42u, r->crcErrors);
    EXPECT_EQ("00112233445566778899aabbccddeeff", r->auxBytes);
    EXPECT_EQ("SET-0123456789-ABCDEFGHIJKLMN", r->raidSetId);
    EXPECT_EQ(0x7Fu, r->auxByte);
    EXPECT_EQ(3u, r->memberState);
    EXPECT_EQ(2u, r->health);
}

TEST_P(Decoders, DriveMembershipAndHealthFromBytes183And184) {
    struct Row {
        uint8_t state, warning;
        uint32_t member, health;
    } rows[] = {{1, 0, 1, 1}, {1, 1, 1, 2}, {2, 0, 2, 1}, {2, 9, 2, 2}, {3, 1, 3, 2},
                {4, 0, 3, 3}, {4, 1, 3, 3}, {0, 1, 0, 0}, {5, 1, 0, 0}};
    for (const Row& row : rows) {
        Payload p{};
        p[182] = 1;  // neighbours that must not be mistaken for the codes
        p[185] = 4;
        p[183] = row.state;
        p[184] = row.warning;
        device->answers[dcp::SubGetDriveInfo] = p;
        auto r = drive(0);
        ASSERT_TRUE(r);
        EXPECT_EQ(row.member, r->memberState) << int(row.state) << "/" << int(row.warning);
        EXPECT_EQ(row.health, r->health) << int(row.state) << "/" << int(row.warning);
    }
}

TEST_P(Decoders, TextFieldsWithoutNulOrAllNulStayInsideTheirFields) {
    Payload high;
    high.fill(0xC4);
    device->answers[dcp::SubGetDriveInfo] = high;
    device->answers[dcp::SubGetInfo] = high;
    putText(device->answers[dcp::SubGetInfo], 10, std::string("Corvane\0", 8));
    auto d = drive(1);
    ASSERT_TRUE(d);
    EXPECT_EQ(std::string(16, '\xC4'), d->auxText1);
    EXPECT_EQ(std::string(40, '\xC4'), d->model);
    EXPECT_EQ(std::string(40, '\xC4'), d->serialNumber);
    EXPECT_EQ(std::string(8, '\xC4'), d->auxText2);
    EXPECT_EQ(std::string(30, '\xC4'), d->raidSetId);
    EXPECT_EQ(0u, d->memberState);
    auto i = infoOk();
    ASSERT_TRUE(i);
    EXPECT_EQ(std::string(16, '\xC4'), i->model);
    EXPECT_EQ(std::string(30, '\xC4'), i->auxText2);
    EXPECT_EQ(std::string(12, '\xC4'), i->firmwareTime);
    EXPECT_EQ(0u, i->raidStatus);
    EXPECT_EQ(0u, i->hostBus);
    EXPECT_EQ(32u, dcp::latin1ToUtf8(i->model).size());

    device->answers[dcp::SubGetDriveInfo] = Payload{};
    d = drive(2);
    ASSERT_TRUE(d);
    EXPECT_FALSE(d->present);
    EXPECT_EQ("", d->model);
    EXPECT_EQ("", d->raidSetId);
    EXPECT_EQ(std::string(32, '0'), d->auxBytes);
    EXPECT_EQ(0u, d->health);
}

TEST_P(Decoders, InvalidRequestsTouchNothing) {
    dcp::DcpRespDriveInfo* driveOut = nullptr;
    EXPECT_EQ(drl::InvalidArgument,
              dcp::decodeDriveInfo(handle.get(), blockSize, dcp::DcpReqGetDriveInfo(4), &driveOut));
    EXPECT_EQ(
        drl::InvalidArgument,
        dcp::decodeDriveInfo(handle.get(), blockSize, dcp::DcpReqGetDriveInfo(0x100), &driveOut));
    dcp::DcpRespInitConfiguration* initOut = nullptr;
    EXPECT_EQ(drl::InvalidArgument,
              dcp::requestInitConfiguration(handle.get(), blockSize, 0x12345678,
                                            dcp::DcpReqInitConfiguration(2, 0), &initOut));
    EXPECT_EQ(drl::InvalidArgument,
              dcp::requestInitConfiguration(handle.get(), blockSize, 0x12345678,
                                            dcp::DcpReqInitConfiguration(1, 0), nullptr));
    EXPECT_EQ(nullptr, driveOut);
    EXPECT_EQ(nullptr, initOut);
    EXPECT_EQ(0u, disk->counters().total());
    EXPECT_TRUE(device->requests.empty());
}

TEST_P(Decoders, StatusTextArrivesInChunks) {
    std::string report = "<html><body>";
    while (report.size() < 600 - 14) {
        report += char('a' + report.size() % 26);
    }
    report += "</body></html>";
    ASSERT_EQ(600u, report.size());
    report[300] = '\xB0';  // a degree sign in Latin-1
    serveReport(report);

    std::string text;
    ASSERT_EQ(drl::Ok, statusText(&text));
    EXPECT_EQ(report, text);
    EXPECT_EQ((std::vector<uint32_t>{0, 252, 504}), offsetsAsked());
}

TEST_P(Decoders, StatusTextRepeatsTheOffsetAfterAnEmptyChunk) {
    const std::string report(300, 'r');
    int round = 0;
    device->respond = [&](const uint8_t* req, uint8_t* resp) {
        ++round;
        resp[0] = 1;
        if (round == 2 || round == 3) {
            return true;  // "more follows", nothing yet
        }
        const size_t offset = req[1] | req[2] << 8;
        const std::string chunk = report.substr(offset, 252);
        std::memcpy(resp + 4, chunk.data(), chunk.size());
        resp[0] = offset + chunk.size() < report.size();
        return true;
    };
    std::string text;
    ASSERT_EQ(drl::Ok, statusText(&text));
    EXPECT_EQ(report, text);
    EXPECT_EQ((std::vector<uint32_t>{0, 252, 252, 252}), offsetsAsked());
}

TEST_P(Decoders, StatusTextGivesUpOnADeviceThatNeverFinishes) {
    device->respond = [](const uint8_t*, uint8_t* resp) {
        resp[0] = 1;
        return true;
    };
    std::string text = "untouched";
    EXPECT_EQ(drl::DeviceIoFailed, statusText(&text));
    EXPECT_EQ("untouched", text);
    EXPECT_EQ(std::vector<uint32_t>(dcp::kMaxStalledStatusRounds, 0), offsetsAsked());
}

TEST_P(Decoders, StatusTextFailsWholeWhenOneChunkFails) {
    serveReport(std::string(700, 'x'));
    auto serve = device->respond;
    device->respond = [&](const uint8_t* req, uint8_t* resp) {
        if (req[1] != 0 || req[2] != 0) {
            return false;
        }
        return serve(req, resp);
    };
    std::string text = "untouched";
    EXPECT_EQ(drl::DeviceIoFailed, statusText(&text));
    EXPECT_EQ("untouched", text);
}

TEST_P(Decoders, ProgressVectors) {
    struct Row {
        std::initializer_list<uint8_t> bytes;
        uint32_t operation, phase, percent;
    } rows[] = {{{0x04, 0x02, 0x10, 0x27}, 5, 2, 10000}, {{0x05, 0x03, 0xFF, 0xFF}, 6, 3, 10000},
                {{0x00, 0x09, 0x64, 0x00}, 6, 0, 100},   {{0x04, 0x01, 0x0F, 0x27}, 5, 1, 9999},
                {{0x04, 0x05, 0x11, 0x27}, 5, 5, 10000}, {{0x03, 0x00, 0x00, 0x01}, 6, 0, 256}};
    for (const Row& row : rows) {
        auto r = progress(row.bytes);
        ASSERT_TRUE(r);
        EXPECT_EQ(dcp::TypeGetProgress, r->type);
        EXPECT_EQ(row.operation, r->operation);
        EXPECT_EQ(row.phase, r->phase);
        EXPECT_EQ(row.percent, r->percent);
    }
    EXPECT_EQ((RequestBytes{3, 0, 0, 0, 0, 0, 0, 0}), device->requests.back());
}

TEST_P(Decoders, InitConfigurationSendsKeyAndCapacityByte) {
    struct Row {
        uint32_t mode;
        uint8_t byte;
    } rows[] = {{0, 2}, {1, 3}, {2, 1}, {7, 0}};
    for (const Row& row : rows) {
        device->requests.clear();
        Payload p{};
        p[0] = 1;
        device->answers[dcp::SubInitConfiguration] = p;
        dcp::DcpRespInitConfiguration* out = nullptr;
        ASSERT_EQ(drl::Ok,
                  dcp::requestInitConfiguration(handle.get(), blockSize, 0xA1B2C3D4u,
                                                dcp::DcpReqInitConfiguration(1, row.mode), &out));
        std::unique_ptr<dcp::DcpRespInitConfiguration> r(out);
        EXPECT_EQ(dcp::TypeInitConfiguration, r->type);
        EXPECT_EQ(1u, r->result);
        ASSERT_EQ(1u, device->requests.size());
        EXPECT_EQ((RequestBytes{4, 0xD4, 0xC3, 0xB2, 0xA1, row.byte, 0, 0}), device->requests[0]);
    }
}

TEST_P(Decoders, OutcomesOfInitAndRebuild) {
    struct Row {
        uint8_t byte;
        uint32_t init, rebuild;
    } rows[] = {{1, 1, 1}, {2, 4, 3}, {3, 2, 2}, {0, 0, 0}, {9, 0, 0}};
    for (const Row& row : rows) {
        Payload p{};
        p[0] = row.byte;
        p[1] = 1;  // only byte 0 counts
        device->answers[dcp::SubInitConfiguration] = p;
        device->answers[dcp::SubRebuild] = p;
        dcp::DcpRespInitConfiguration* init = nullptr;
        ASSERT_EQ(drl::Ok, dcp::requestInitConfiguration(handle.get(), blockSize, 1,
                                                         dcp::DcpReqInitConfiguration(), &init));
        EXPECT_EQ(row.init, init->result) << int(row.byte);
        delete init;
        dcp::DcpRespRebuild* rebuild = nullptr;
        ASSERT_EQ(drl::Ok,
                  dcp::requestRebuild(handle.get(), blockSize, dcp::DcpReqRebuild(), &rebuild));
        EXPECT_EQ(dcp::TypeRebuild, rebuild->type);
        EXPECT_EQ(row.rebuild, rebuild->result) << int(row.byte);
        delete rebuild;
    }
    EXPECT_EQ((RequestBytes{5, 0, 0, 0, 0, 0, 0, 0}), device->requests.back());
}

TEST_P(Decoders, TransportFailureGivesNoRecord) {
    device->answers[dcp::SubGetProgress] = Payload{};
    device->answers[dcp::SubRebuild] = Payload{};
    device->answers[dcp::SubInitConfiguration] = Payload{};
    device->answers[dcp::SubGetDriveInfo] = Payload{};
    silence();
    dcp::DcpRespProgress* progressOut = nullptr;
    EXPECT_EQ(drl::DeviceIoFailed,
              dcp::decodeProgress(handle.get(), blockSize, dcp::DcpReqGetProgress(), &progressOut));
    dcp::DcpRespRebuild* rebuildOut = nullptr;
    EXPECT_EQ(drl::DeviceIoFailed,
              dcp::requestRebuild(handle.get(), blockSize, dcp::DcpReqRebuild(), &rebuildOut));
    dcp::DcpRespInitConfiguration* initOut = nullptr;
    EXPECT_EQ(drl::DeviceIoFailed,
              dcp::requestInitConfiguration(handle.get(), blockSize, 1,
                                            dcp::DcpReqInitConfiguration(), &initOut));
    dcp::DcpRespDriveInfo* driveOut = nullptr;
    EXPECT_EQ(drl::DeviceIoFailed,
              dcp::decodeDriveInfo(handle.get(), blockSize, dcp::DcpReqGetDriveInfo(0), &driveOut));
    EXPECT_EQ(nullptr, progressOut);
    EXPECT_EQ(nullptr, rebuildOut);
    EXPECT_EQ(nullptr, initOut);
    EXPECT_EQ(nullptr, driveOut);
}

// Long-running and transport-independent: direct path, 512-byte blocks only.
class DecoderLimits : public DeviceTest {};
INSTANTIATE_TEST_SUITE_P(Direct, DecoderLimits, ::testing::Values(std::make_tuple(512u, false)),
                         transportName);

TEST_P(DecoderLimits, StatusTextOfEndlessGrowthIsBounded) {
    device->respond = [](const uint8_t*, uint8_t* resp) {
        resp[0] = 1;
        std::memset(resp + 4, 'z', 252);
        return true;
    };
    dcp::DcpRespStatusText* out = nullptr;
    EXPECT_EQ(drl::DeviceIoFailed,
              dcp::fetchStatusText(handle.get(), 512, dcp::DcpReqGetStatusText(), &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(dcp::kMaxStatusTextRounds, device->requests.size());
}

TEST_P(DecoderLimits, OutOfMemoryGivesNoRecord) {
    device->answers[dcp::SubGetInfo] = infoPayload();
    device->answers[dcp::SubGetProgress] = Payload{};
    dcp::failResponseAllocations(1);
    dcp::DcpRespInfo* info = nullptr;
    EXPECT_EQ(drl::OutOfMemory,
              dcp::decodeInfo(handle.get(), 512, kDisk, dcp::DcpReqGetInfo(), &info));
    EXPECT_EQ(nullptr, info);
    dcp::failResponseAllocations(1);
    dcp::DcpRespProgress* progress = nullptr;
    EXPECT_EQ(drl::OutOfMemory,
              dcp::decodeProgress(handle.get(), 512, dcp::DcpReqGetProgress(), &progress));
    EXPECT_EQ(nullptr, progress);
    ASSERT_EQ(drl::Ok, dcp::decodeProgress(handle.get(), 512, dcp::DcpReqGetProgress(), &progress));
    delete progress;
}

}  // namespace
