#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "dcp/payload.h"
#include "dcp/records.h"
#include "dcp/texts.h"

using namespace corvane;

namespace {

std::vector<uint8_t> bytes(const std::string& s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

TEST(FixedText, EndsAtFirstNulOrWidth) {
    const auto field = bytes(std::string("Corvane\0Ghost", 13));
    EXPECT_EQ("Corvane", dcp::fixedText(field.data(), 13));
    EXPECT_EQ("Corv", dcp::fixedText(field.data(), 4));

    // No NUL anywhere: exactly the width, never the byte after it.
    const auto full = bytes("ABCDEFGHIJKLMNOPQ");
    EXPECT_EQ("ABCDEFGHIJKLMNOP", dcp::fixedText(full.data(), 16));

    const uint8_t allNul[12] = {};
    EXPECT_EQ("", dcp::fixedText(allNul, 12));

    // Spaces and high bytes are kept as they are.
    const uint8_t raw[] = {' ', 'C', 'a', 'f', 0xE9, ' ', 0x00, 'x'};
    EXPECT_EQ(std::string(" Caf\xE9 "), dcp::fixedText(raw, sizeof raw));
}

TEST(HexText, TwoDigitsPerByteFirstByteFirst) {
    const uint8_t serial[] = {0x00, 0x1A, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x01};
    EXPECT_EQ("001aff0000000001", dcp::hexText(serial, 8));
    EXPECT_EQ("001AFF0000000001", dcp::hexText(serial, 8, true));
    EXPECT_EQ("", dcp::hexText(serial, 0));
}

TEST(Latin1ToUtf8, HighBytesBecomeTwoByteSequences) {
    EXPECT_EQ("plain", dcp::latin1ToUtf8("plain"));
    EXPECT_EQ("Caf\xC3\xA9", dcp::latin1ToUtf8("Caf\xE9"));
    EXPECT_EQ("\xC2\x80\xC3\xBF", dcp::latin1ToUtf8("\x80\xFF"));
    EXPECT_EQ(std::string("a\0b", 3), dcp::latin1ToUtf8(std::string("a\0b", 3)));
}

class OwnDevice : public ::testing::Test {
protected:
    bool vendor(const std::string& field) {
        std::memset(payload, 0, sizeof payload);
        std::memcpy(payload + 10, field.data(), field.size());
        payload[26] = 'M';  // the model follows the vendor field directly
        return dcp::isOwnDevice(payload);
    }
    uint8_t payload[490];
};

TEST_F(OwnDevice, NameMustMatchExactly) {
    EXPECT_TRUE(vendor("Corvane"));
    EXPECT_TRUE(vendor(std::string("Corvane\0junk", 12)));
    EXPECT_FALSE(vendor("Corvane "));
    EXPECT_FALSE(vendor("corvane"));
    EXPECT_FALSE(vendor("Corvan"));
    EXPECT_FALSE(vendor(""));
    // Sixteen characters without a NUL compare as sixteen, not as a prefix, and the
    // model's first byte does not join them.
    EXPECT_FALSE(vendor("CorvaneCorvane!!"));
}

TEST(ConfigurationKey, LittleEndianAt120) {
    uint8_t payload[490] = {};
    payload[119] = 0xEE;
    payload[120] = 0x78;
    payload[121] = 0x56;
    payload[122] = 0x34;
    payload[123] = 0x12;
    payload[124] = 0xEE;
    EXPECT_EQ(0x12345678u, dcp::configurationKeyOf(payload));

    uint8_t request[8];
    dcp::encodeInitConfigurationRequest(0xA1B2C3D4u, 2, request);
    const uint8_t expected[8] = {0x04, 0xD4, 0xC3, 0xB2, 0xA1, 0x01, 0x00, 0x00};
    EXPECT_EQ(0, std::memcmp(expected, request, 8));
}

TEST(Mappings, CapacityModeByte) {
    EXPECT_EQ(2, dcp::capacityModeByte(0));
    EXPECT_EQ(3, dcp::capacityModeByte(1));
    EXPECT_EQ(1, dcp::capacityModeByte(2));
    EXPECT_EQ(0, dcp::capacityModeByte(3));
    EXPECT_EQ(0, dcp::capacityModeByte(7));
}

TEST(Mappings, BusCodes) {
    const std::map<uint8_t, uint32_t> host = {{0, 0}, {1, 4}, {2, 7}, {3, 11}, {4, 0}, {255, 0}};
    for (const auto& [code, bus] : host) {
        EXPECT_EQ(bus, dcp::hostBusFor(code)) << int(code);
    }
    const std::map<uint8_t, uint32_t> drive = {{0, 0}, {1, 11}, {2, 10}, {3, 0}, {255, 0}};
    for (const auto& [code, bus] : drive) {
        EXPECT_EQ(bus, dcp::driveBusFor(code)) << int(code);
    }
}

TEST(Mappings, RaidStatusKeepsOnlyKnownCodes) {
    for (unsigned code = 0; code < 256; ++code) {
        const uint32_t expected = code >= 1 && code <= 5 ? code : 0;
        EXPECT_EQ(expected, dcp::raidStatusFor(uint8_t(code))) << code;
    }
}

TEST(Mappings, MembershipAndHealth) {
    struct Row {
        uint8_t state, warning;
        uint32_t member, health;
    } rows[] = {
        {1, 0, 1, 1}, {1, 1, 1, 2}, {2, 0, 2, 1}, {2, 0x80, 2, 2}, {3, 0, 3, 1}, {3, 1, 3, 2},
        {4, 0, 3, 3}, {4, 1, 3, 3}, {0, 0, 0, 0}, {0, 1, 0, 0},    {5, 1, 0, 0}, {255, 1, 0, 0},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(r.member, dcp::memberStateFor(r.state)) << int(r.state) << "/" << int(r.warning);
        EXPECT_EQ(r.health, dcp::healthFor(r.state, r.warning))
            << int(r.state) << "/" << int(r.warning);
    }
}

TEST(Mappings, OutcomesOfLongOperations) {
    const std::map<uint8_t, uint32_t> init = {{0, 0}, {1, 1}, {2, 4}, {3, 2}, {4, 0}, {255, 0}};
    for (const auto& [byte, result] : init) {
        EXPECT_EQ(result, dcp::initResultFor(byte)) << int(byte);
    }
    const std::map<uint8_t, uint32_t> rebuild = {{0, 0}, {1, 1}, {2, 3}, {3, 2}, {4, 0}};
    for (const auto& [byte, result] : rebuild) {
        EXPECT_EQ(result, dcp::rebuildResultFor(byte)) << int(byte);
    }
    EXPECT_EQ(5u, dcp::progressOperationFor(4));
    for (uint8_t other : {0, 3, 5, 6, 255}) {
        EXPECT_EQ(6u, dcp::progressOperationFor(other)) << int(other);
    }
    for (unsigned code = 0; code < 256; ++code) {
        EXPECT_EQ(code >= 1 && code <= 5 ? code : 0u, dcp::progressPhaseFor(uint8_t(code)));
    }
}

TEST(ProductNames, TableShape) {
    const std::string fallback = "New Corvane Bridge";
    for (uint32_t id : {0u, 26u, 34u, 35u, 0x1234u, 0xFFFFu, 0xFFFFFFFFu}) {
        EXPECT_EQ(fallback, dcp::productNameFor(id)) << id;
    }
    EXPECT_STREQ("reserved", dcp::productNameFor(5));

    std::map<std::string, std::set<uint32_t>> owners;
    for (uint32_t id = 1; id <= 33; ++id) {
        if (id == 26) {
            continue;
        }
        const std::string name = dcp::productNameFor(id);
        EXPECT_NE(fallback, name) << id;
        EXPECT_FALSE(name.empty()) << id;
        owners[name].insert(id);
    }
    owners.erase("reserved");
    EXPECT_EQ(24u, owners.size());
    const std::set<std::set<uint32_t>> shared = {{1, 4, 9}, {3, 8}, {14, 15, 17, 19, 27}};
    std::set<std::set<uint32_t>> seen;
    for (const auto& [name, ids] : owners) {
        if (ids.size() > 1) {
            seen.insert(ids);
        }
    }
    EXPECT_EQ(shared, seen);
}

TEST(EncodeRequest, PayloadPerType) {
    struct Case {
        std::unique_ptr<dcp::DcpRequest> request;
        std::vector<uint8_t> payload;
    };
    std::vector<Case> cases;
    cases.push_back({std::make_unique<dcp::DcpReqGetInfo>(), {1, 0, 0, 0, 0, 0, 0, 0}});
    cases.push_back({std::make_unique<dcp::DcpReqGetDriveInfo>(3), {2, 3, 0, 0, 0, 0, 0, 0}});
    cases.push_back({std::make_unique<dcp::DcpReqGetStatusText>(), {6, 0, 0, 0, 0, 0, 0, 0}});
    cases.push_back({std::make_unique<dcp::DcpReqGetProgress>(), {3, 0, 0, 0, 0, 0, 0, 0}});
    cases.push_back({std::make_unique<dcp::DcpReqInitConfiguration>(1, 1),
                     {4, 0x0D, 0xF0, 0xAD, 0x0B, 3, 0, 0}});
    cases.push_back({std::make_unique<dcp::DcpReqRebuild>(), {5, 0, 0, 0, 0, 0, 0, 0}});
    for (const Case& c : cases) {
        std::vector<uint8_t> out(8, 0xCC);
        ASSERT_TRUE(dcp::encodeRequest(*c.request, 0x0BADF00Du, out.data())) << c.request->type;
        EXPECT_EQ(c.payload, out) << "type " << c.request->type;
    }

    uint8_t out[8];
    dcp::encodeStatusTextRequest(504, out);
    const uint8_t round3[8] = {6, 0xF8, 0x01, 0, 0, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(round3, out, 8));
}

TEST(EncodeRequest, RefusesWhatCannotBeSent) {
    uint8_t out[8];
    std::memset(out, 0xCC, sizeof out);
    EXPECT_FALSE(dcp::encodeRequest(dcp::DcpReqGetDriveInfo(4), 0, out));
    EXPECT_FALSE(dcp::encodeRequest(dcp::DcpReqGetDriveInfo(0x100), 0, out))
        << "only the low byte travels; 256 must not become bay 0";
    EXPECT_FALSE(dcp::encodeRequest(dcp::DcpReqInitConfiguration(2, 0), 0, out));
    EXPECT_FALSE(dcp::encodeRequest(dcp::DcpReqInitConfiguration(0, 0), 0, out));

    // A type that names another class than the object's would read fields that are not
    // there.
    dcp::DcpReqGetInfo info;
    info.type = dcp::TypeGetDriveInfo;
    EXPECT_FALSE(dcp::encodeRequest(info, 0, out));
    info.type = dcp::TypeInitConfiguration;
    EXPECT_FALSE(dcp::encodeRequest(info, 0, out));
    info.type = 7;
    EXPECT_FALSE(dcp::encodeRequest(info, 0, out));
    for (uint8_t b : out) {
        EXPECT_EQ(0xCC, b) << "refused requests leave the output alone";
    }
}

TEST(Texts, CodesOutsideTheTablesReadUnknown) {
    EXPECT_STREQ("Status Unknown", dcp::raidStatusText(0));
    EXPECT_STREQ("Status Unknown", dcp::raidStatusText(6));
    EXPECT_STREQ("Failed (Multiple RAID sets present)", dcp::raidStatusText(5));
    EXPECT_STREQ("RAID-5", dcp::configurationText(1));
    EXPECT_STREQ("Unknown", dcp::configurationText(2));
    EXPECT_STREQ("Drive Health Unknown", dcp::healthText(0));
    EXPECT_STREQ("Drive Failure Warning", dcp::healthText(2));
    EXPECT_STREQ("Invalid/Unsupported Configuration", dcp::initResultText(3));
    EXPECT_STREQ("Invalid/Unsupported Drive Set", dcp::initResultText(4));
    EXPECT_STREQ("Unknown", dcp::initResultText(5));
    EXPECT_STREQ("Invalid/Unsupported Drive Set", dcp::rebuildResultText(3));
    EXPECT_STREQ("Unknown", dcp::rebuildResultText(4));
    EXPECT_STREQ("RAID Initialization", dcp::operationText(5));
    EXPECT_STREQ("RAID Rebuild", dcp::operationText(6));
    EXPECT_STREQ("Unknown", dcp::operationText(3));
    EXPECT_STREQ("Disk Too Small", dcp::phaseText(5));
    EXPECT_STREQ("Unknown", dcp::phaseText(0));
    EXPECT_STREQ("Unknown", dcp::phaseText(6));
    EXPECT_STREQ("Maximize Capacity (use with caution)", dcp::capacityModeText(2));
    EXPECT_EQ(nullptr, dcp::capacityModeText(3));
}

}  // namespace
