#include "wire.h"

using namespace simtest;
using sim::Member;

namespace {

class Payloads : public DeviceTest {};

TEST_P(Payloads, DeviceInformationByOffset) {
    attach("healthy");
    const Payload p = info();
    const sim::Identity id = model().identity();
    EXPECT_EQ(id.productId, u16(p, 0));
    EXPECT_EQ(0, std::memcmp(id.serial.data(), p.data() + 2, 8));
    EXPECT_EQ("Corvane", text(p, 10, 16));
    EXPECT_EQ(id.model, text(p, 26, 16));
    EXPECT_EQ(id.firmwareDate, text(p, 42, 12));
    EXPECT_EQ(id.firmwareTime, text(p, 54, 12));
    EXPECT_EQ(id.auxText1, text(p, 66, 16));
    EXPECT_EQ(id.auxText2, text(p, 82, 30));
    EXPECT_EQ(1, p[112]) << "Normal";
    EXPECT_EQ(0, p[113] | p[114] | p[115] | p[116]);
    EXPECT_NE(0, p[117]) << "three 4 TB members make more than 2.2 TB";
    EXPECT_EQ(2, p[119]) << "USB";
    EXPECT_EQ(model().raid().configurationKey, u32(p, 120));
    EXPECT_EQ(3 * sim::kDrive4TB, u64(p, 124));
    EXPECT_EQ(u64(p, 124), osSize()) << "the OS sees the whole set";
}

TEST_P(Payloads, DriveInformationByOffset) {
    attach("failing");
    const Payload device = info();
    EXPECT_EQ(1, device[112]);
    EXPECT_EQ(1, device[113]) << "drive failure likely";
    EXPECT_EQ(1, device[116]) << "cache disabled";
    for (unsigned bay = 0; bay < sim::kBays; ++bay) {
        SCOPED_TRACE(bay);
        const Payload p = drive(bay);
        const sim::Drive d = model().drive(bay);
        EXPECT_EQ(1, p[0]);
        EXPECT_EQ(d.interface, p[1]);
        EXPECT_EQ(d.capacity, u64(p, 2));
        EXPECT_EQ(d.link, text(p, 10, 16));
        EXPECT_EQ(d.model, text(p, 26, 40));
        EXPECT_EQ(d.serial, text(p, 66, 40));
        EXPECT_EQ(d.firmware, text(p, 106, 8));
        EXPECT_EQ(d.temperature, u16(p, 114));
        const uint32_t counters[] = {d.scanErrors, d.badBlocksRemapped, d.powerOnHours,
                                     d.startCount, d.crcErrors};
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(counters[i], u32(p, 116 + 4 * i)) << "counter " << i;
        }
        EXPECT_EQ(0, std::memcmp(d.wwn.data(), p.data() + 136, 16));
        EXPECT_EQ(model().raid().setId, text(p, 152, 30));
        EXPECT_EQ(d.slot, p[182]);
        EXPECT_EQ(1, p[183]) << "active member";
        EXPECT_EQ(d.failureWarning ? 1 : 0, p[184]);
    }
    const Payload sick = drive(1);
    EXPECT_EQ(17u, u32(sick, 116));
    EXPECT_EQ(212u, u32(sick, 120));
    EXPECT_EQ(3u, u32(sick, 132));
    EXPECT_EQ(0, u16(drive(3), 114)) << "a drive whose temperature is not known";
}

// The status follows the drives: a set that loses members degrades, then fails; a drive
// of another set shows up as a second set.
TEST_P(Payloads, DrivesComingAndGoing) {
    attach("healthy");
    const std::string model2 = model().drive(2).model;
    model().pullDrive(2);
    EXPECT_EQ(2, info()[112]);
    EXPECT_EQ(0, info()[115]) << "nothing to rebuild onto";
    const Payload pulled = drive(2);
    EXPECT_EQ(0, pulled[0]);
    EXPECT_EQ(model2, text(pulled, 26, 40)) << "stale details behind a cleared present flag";

    sim::Drive blank = sim::makeDrive(sim::kDrive4TB, 99, 2);
    blank.member = Member::Inactive;
    model().insertDrive(2, blank);
    EXPECT_NE(0, info()[115]);
    EXPECT_EQ(3, drive(2)[183]);

    model().pullDrive(0);
    EXPECT_EQ(4, info()[112]) << "two members missing";
    EXPECT_EQ(0, info()[115]);

    sim::Drive stranger = sim::makeDrive(sim::kDrive4TB, 7, 0);
    stranger.member = Member::Active;
    stranger.raidSetId = "CVN-R5-00C0FFEE";
    model().insertDrive(0, stranger);
    EXPECT_EQ(5, info()[112]) << "more than one RAID set";

    model().setDrive(3, sim::Drive{});
    for (unsigned bay : {3u, 4u, 200u}) {
        const Payload p = drive(bay);
        EXPECT_TRUE(std::all_of(p.begin(), p.begin() + 256, [](uint8_t b) { return b == 0; }))
            << "bay " << bay << " never held a drive";
    }
}

TEST_P(Payloads, HostileEncodings) {
    attach("failing");
    const std::pair<size_t, size_t> infoFields[] = {
        {26, 16}, {42, 12}, {54, 12}, {66, 16}, {82, 30}};
    const std::pair<size_t, size_t> driveFields[] = {
        {10, 16}, {26, 40}, {66, 40}, {106, 8}, {152, 30}};
    auto check = [&](auto fieldTest) {
        const Payload p = info();
        EXPECT_EQ("Corvane", text(p, 10, 16)) << "the vendor stays recognisable";
        for (auto [at, width] : infoFields) {
            EXPECT_TRUE(fieldTest(text(p, at, width), width)) << "field at " << at;
        }
        const Payload d = drive(0);
        for (auto [at, width] : driveFields) {
            EXPECT_TRUE(fieldTest(text(d, at, width), width)) << "drive field at " << at;
        }
    };
    auto highByte = [](const std::string& s, size_t) {
        return std::any_of(s.begin(), s.end(), [](char c) { return uint8_t(c) > 127; });
    };
    sim::ModelFaults f;
    f.textsWithoutNul = true;
    model().setFaults(f);
    check([](const std::string& s, size_t width) { return s.size() == width; });

    f = {};
    f.textsAbove127 = true;
    model().setFaults(f);
    check(highByte);
    EXPECT_TRUE(highByte(model().statusReport(), 0));

    f = {};
    f.oddFlagValues = true;
    model().setFaults(f);
    const Payload p = info();
    EXPECT_TRUE(p[113] > 1 && p[116] > 1) << "true flags that are not 1";
    EXPECT_EQ(0, p[114]);
    const Payload text = must(request(dcp::SubGetStatusText));
    EXPECT_TRUE(text[0] == 0 && u32(text, 0) != 0) << "more-follows in its top byte only";
}

TEST_P(Payloads, DevicesThatDoNotAnswer) {
    attach("healthy");
    sim::ModelFaults f;
    f.silent = true;
    model().setFaults(f);
    const uint64_t asked = model().requests(dcp::SubGetInfo);
    EXPECT_FALSE(send(request(dcp::SubGetInfo)));
    EXPECT_GT(model().requests(dcp::SubGetInfo), asked) << "it heard, it did not answer";

    f = {};
    f.ignoredSubCommands = 1u << dcp::SubGetProgress;
    f.ignoredBays[1] = true;
    model().setFaults(f);
    EXPECT_TRUE(send(request(dcp::SubGetInfo)));
    EXPECT_FALSE(send(request(dcp::SubGetProgress)));
    EXPECT_TRUE(send(request(dcp::SubGetDriveInfo, 0)));
    EXPECT_FALSE(send(request(dcp::SubGetDriveInfo, 1)));
    for (uint8_t unknown : {0, 7, 0xEC, 0xFF}) {
        EXPECT_FALSE(send(request(unknown))) << int(unknown);
    }
}

INSTANTIATE_TEST_SUITE_P(Setups, Payloads, allSetups(), setupName);

}  // namespace
