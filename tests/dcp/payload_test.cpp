#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>

#include "dcp/payload.h"

using namespace corvane;

namespace {

TEST(PayloadText, FieldsEndAtNulOrWidthAndKeepTheirBytes) {
    const uint8_t field[] = {'C', 'a', 'f', 0xE9, ' ', 0, 'x', 'y'};
    EXPECT_EQ("Caf\xE9 ", dcp::fixedText(field, 8));
    EXPECT_EQ("Ca", dcp::fixedText(field, 2)) << "no NUL: the width, never a byte beyond";
    EXPECT_EQ("", dcp::fixedText(field + 5, 3));
    EXPECT_EQ("Caf\xC3\xA9 ", dcp::latin1ToUtf8(dcp::fixedText(field, 8)));
    EXPECT_EQ("\xC2\x80\xC3\xBF", dcp::latin1ToUtf8("\x80\xFF"));

    const uint8_t serial[] = {0x00, 0x1A, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x01};
    EXPECT_EQ("001aff0000000001", dcp::hexText(serial, 8));
    EXPECT_EQ("001AFF0000000001", dcp::hexText(serial, 8, true));
}

TEST(PayloadText, OwnDeviceNameMatchesExactly) {
    const std::map<std::string, bool> vendors = {
        {"Corvane", true},           {std::string("Corvane\0junk", 12), true},
        {"Corvane ", false},         {"corvane", false},
        {"Corvan", false},           {"", false},
        {"CorvaneCorvane!!", false},  // 16 wide, compared whole
    };
    for (const auto& [vendor, own] : vendors) {
        uint8_t payload[490] = {};
        std::memcpy(payload + 10, vendor.data(), vendor.size());
        payload[26] = 'M';  // the model follows directly
        EXPECT_EQ(own, dcp::isOwnDevice(payload)) << vendor;
    }
}

TEST(ProductNames, TableShape) {
    const std::string fallback = "New Corvane Bridge";
    for (uint32_t id : {0u, 26u, 34u, 0x1234u, 0xFFFFFFFFu}) {
        EXPECT_EQ(fallback, dcp::productNameFor(id)) << id;
    }
    EXPECT_STREQ("reserved", dcp::productNameFor(5));

    std::map<std::string, std::set<uint32_t>> owners;
    for (uint32_t id = 1; id <= 33; ++id) {
        if (id != 26 && id != 5) {
            owners[dcp::productNameFor(id)].insert(id);
        }
    }
    EXPECT_EQ(0u, owners.count(fallback));
    EXPECT_EQ(24u, owners.size());
    std::set<std::set<uint32_t>> shared;
    for (const auto& [name, ids] : owners) {
        if (ids.size() > 1) {
            shared.insert(ids);
        }
    }
    EXPECT_EQ((std::set<std::set<uint32_t>>{{1, 4, 9}, {3, 8}, {14, 15, 17, 19, 27}}), shared);
}

}  // namespace
