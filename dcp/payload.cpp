#include "dcp/payload.h"

#include <cstring>

namespace corvane::dcp {

namespace {

constexpr size_t kVendorOffset = 10;
constexpr size_t kVendorWidth = 16;
constexpr size_t kConfigurationKeyOffset = 120;

// One product line can report several identifiers (board revisions), hence the shared
// texts. Identifier 26 was never assigned.
const char* const kDualBay = "Corvane Dual Bay Bridge";
const char* const kQuadBay = "Corvane Quad Bay Enclosure";
const char* const kModule = "Corvane Bridge Module";

const char* const kProductNames[] = {
    nullptr,                         // 0
    kDualBay,                        // 1
    "Corvane Single Bay Bridge",     // 2
    kQuadBay,                        // 3
    kDualBay,                        // 4
    "reserved",                      // 5
    "Corvane Duplicator 2",          // 6
    "Corvane Duplicator 4",          // 7
    kQuadBay,                        // 8
    kDualBay,                        // 9
    "Corvane Pocket Bridge",         // 10
    "Corvane Pocket Bridge S",       // 11
    "Corvane Desk Bridge 100",       // 12
    "Corvane Desk Bridge 200",       // 13
    kModule,                         // 14
    kModule,                         // 15
    "Corvane Rack Bridge 1U",        // 16
    kModule,                         // 17
    "Corvane Rack Bridge 2U",        // 18
    kModule,                         // 19
    "Corvane Duplicator 8",          // 20
    "Corvane Bay Adapter",           // 21
    "Corvane Bay Adapter Duo",       // 22
    "Corvane Mirror Pair",           // 23
    "Corvane Quad Bay Enclosure S",  // 24
    "Corvane Travel Bridge",         // 25
    nullptr,                         // 26
    kModule,                         // 27
    "Corvane Bridge Module S",       // 28
    "Corvane Guard Bridge",          // 29
    "Corvane Guard Bridge S",        // 30
    "Corvane Copy Station",          // 31
    "Corvane Duplicator Module",     // 32
    "Corvane Interface Module",      // 33
};

void putLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = uint8_t(v >> (8 * i));
    }
}

}  // namespace

std::string fixedText(const uint8_t* field, size_t width) {
    const void* nul = std::memchr(field, 0, width);
    const size_t length = nul ? size_t(static_cast<const uint8_t*>(nul) - field) : width;
    return std::string(reinterpret_cast<const char*>(field), length);
}

std::string hexText(const uint8_t* bytes, size_t count, bool upperCase) {
    const char* digits = upperCase ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string out;
    out.reserve(2 * count);
    for (size_t i = 0; i < count; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0x0F];
    }
    return out;
}

std::string latin1ToUtf8(const std::string& latin1) {
    std::string out;
    out.reserve(latin1.size());
    for (const char c : latin1) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x80) {
            out += c;
        } else {
            out += char(0xC0 | (b >> 6));
            out += char(0x80 | (b & 0x3F));
        }
    }
    return out;
}

bool isOwnDevice(const uint8_t* infoPayload) {
    return fixedText(infoPayload + kVendorOffset, kVendorWidth) == "Corvane";
}

uint32_t configurationKeyOf(const uint8_t* infoPayload) {
    const uint8_t* p = infoPayload + kConfigurationKeyOffset;
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint8_t capacityModeByte(uint32_t capacityMode) {
    switch (capacityMode) {
        case 0:
            return 2;
        case 1:
            return 3;
        case 2:
            return 1;
    }
    return 0;
}

uint32_t raidStatusFor(uint8_t code) {
    return code >= RaidNormal && code <= RaidFailedMultipleSets ? uint32_t(code)
                                                                : uint32_t(RaidStatusUnknown);
}

uint32_t hostBusFor(uint8_t code) {
    switch (code) {
        case 1:
            return Bus1394;
        case 2:
            return BusUsb;
        case 3:
            return BusSata;
    }
    return BusUnknown;
}

uint32_t driveBusFor(uint8_t code) {
    switch (code) {
        case 1:
            return BusSata;
        case 2:
            return BusSas;
    }
    return BusUnknown;
}

uint32_t memberStateFor(uint8_t state) {
    switch (state) {
        case 1:
            return MemberActive;
        case 2:
            return MemberRebuilding;
        case 3:
        case 4:
            return MemberInactive;
    }
    return MemberNone;
}

uint32_t healthFor(uint8_t state, uint8_t failureWarning) {
    switch (state) {
        case 1:
        case 2:
        case 3:
            return failureWarning ? HealthFailureWarning : HealthHealthy;
        case 4:
            return HealthFailed;
    }
    return HealthUnknown;
}

uint32_t initResultFor(uint8_t outcome) {
    switch (outcome) {
        case 1:
            return InitInitialized;
        case 2:
            return InitInvalidDriveSet;
        case 3:
            return InitFailed;
    }
    return InitUnknown;
}

uint32_t rebuildResultFor(uint8_t outcome) {
    switch (outcome) {
        case 1:
            return RebuildInProgress;
        case 2:
            return RebuildInvalidDriveSet;
        case 3:
            return RebuildFailed;
    }
    return RebuildUnknown;
}

uint32_t progressOperationFor(uint8_t running) {
    return running == SubInitConfiguration ? TypeInitConfiguration : TypeRebuild;
}

uint32_t progressPhaseFor(uint8_t phase) {
    return phase >= PhasePreparing && phase <= PhaseDiskTooSmall ? uint32_t(phase)
                                                                 : uint32_t(PhaseUnknown);
}

const char* productNameFor(uint32_t productId) {
    const size_t count = sizeof kProductNames / sizeof kProductNames[0];
    if (productId < count && kProductNames[productId]) {
        return kProductNames[productId];
    }
    return "New Corvane Bridge";
}

bool encodeRequest(const DcpRequest& request, uint32_t configurationKey, uint8_t out8[8]) {
    uint8_t payload[kRequestPayloadSize] = {};
    // The type selects the layout; the class must agree, or the fields read below would
    // not exist.
    switch (request.type) {
        case TypeGetInfo:
            if (!dynamic_cast<const DcpReqGetInfo*>(&request)) {
                return false;
            }
            payload[0] = SubGetInfo;
            break;
        case TypeGetDriveInfo: {
            const auto* r = dynamic_cast<const DcpReqGetDriveInfo*>(&request);
            if (!r || r->driveIndex >= kDriveBays) {
                return false;
            }
            payload[0] = SubGetDriveInfo;
            payload[1] = uint8_t(r->driveIndex);
            break;
        }
        case TypeGetStatusText:
            if (!dynamic_cast<const DcpReqGetStatusText*>(&request)) {
                return false;
            }
            payload[0] = SubGetStatusText;
            break;
        case TypeGetProgress:
            if (!dynamic_cast<const DcpReqGetProgress*>(&request)) {
                return false;
            }
            payload[0] = SubGetProgress;
            break;
        case TypeInitConfiguration: {
            const auto* r = dynamic_cast<const DcpReqInitConfiguration*>(&request);
            if (!r || r->configuration != kConfigurationRaid5) {
                return false;
            }
            encodeInitConfigurationRequest(configurationKey, r->capacityMode, payload);
            break;
        }
        case TypeRebuild:
            if (!dynamic_cast<const DcpReqRebuild*>(&request)) {
                return false;
            }
            payload[0] = SubRebuild;
            break;
        default:
            return false;
    }
    std::memcpy(out8, payload, sizeof payload);
    return true;
}

void encodeInitConfigurationRequest(uint32_t configurationKey, uint32_t capacityMode,
                                    uint8_t out8[8]) {
    std::memset(out8, 0, kRequestPayloadSize);
    out8[0] = SubInitConfiguration;
    putLe32(out8 + 1, configurationKey);
    out8[5] = capacityModeByte(capacityMode);
}

void encodeStatusTextRequest(uint32_t offset, uint8_t out8[8]) {
    std::memset(out8, 0, kRequestPayloadSize);
    out8[0] = SubGetStatusText;
    putLe32(out8 + 1, offset);
}

}  // namespace corvane::dcp
