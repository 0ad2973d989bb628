#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace corvane::dcp {

// Request kinds; `type` numbers differ from the sub-command bytes on the wire.
enum RequestType : uint32_t {
    TypeGetInfo = 1,
    TypeGetDriveInfo = 2,
    TypeGetStatusText = 3,
    TypeGetProgress = 4,
    TypeInitConfiguration = 5,
    TypeRebuild = 6,
};

enum SubCommand : uint8_t {
    SubGetInfo = 1,
    SubGetDriveInfo = 2,
    SubGetProgress = 3,
    SubInitConfiguration = 4,
    SubRebuild = 5,
    SubGetStatusText = 6,
};

constexpr uint32_t kRequestPayloadSize = 8;
constexpr uint32_t kResponsePayloadSize = 490;
constexpr uint32_t kDirectPayloadSize = 256;
constexpr uint8_t kCommandCode = 1;

class DcpRequest {
public:
    virtual ~DcpRequest() = 0;
    uint32_t type;

protected:
    explicit DcpRequest(uint32_t t) : type(t) {}
    DcpRequest(const DcpRequest&) = default;
    DcpRequest& operator=(const DcpRequest&) = default;
};
inline DcpRequest::~DcpRequest() = default;

class DcpReqGetInfo : public DcpRequest {
public:
    DcpReqGetInfo() : DcpRequest(TypeGetInfo) {}
};

class DcpReqGetDriveInfo : public DcpRequest {
public:
    explicit DcpReqGetDriveInfo(uint32_t bay = 0) : DcpRequest(TypeGetDriveInfo), driveIndex(bay) {}
    uint32_t driveIndex;  // bay 0..3
};

class DcpReqGetStatusText : public DcpRequest {
public:
    DcpReqGetStatusText() : DcpRequest(TypeGetStatusText) {}
};

class DcpReqGetProgress : public DcpRequest {
public:
    DcpReqGetProgress() : DcpRequest(TypeGetProgress) {}
};

class DcpReqInitConfiguration : public DcpRequest {
public:
    DcpReqInitConfiguration(uint32_t config = 1, uint32_t mode = 0)
        : DcpRequest(TypeInitConfiguration), configuration(config), capacityMode(mode) {}
    uint32_t configuration;  // must be 1
    uint32_t capacityMode;   // 0..2
};

class DcpReqRebuild : public DcpRequest {
public:
    DcpReqRebuild() : DcpRequest(TypeRebuild) {}
};

// Decoded responses; created on the heap by the decoders and owned by the receiver.
class DcpResponse {
public:
    virtual ~DcpResponse() = 0;
    uint32_t type;

protected:
    explicit DcpResponse(uint32_t t) : type(t) {}
    DcpResponse(const DcpResponse&) = default;
    DcpResponse& operator=(const DcpResponse&) = default;
};
inline DcpResponse::~DcpResponse() = default;

// Codes carried in the response fields. The fields themselves stay plain unsigned
// numbers: a device can send anything, and the records keep what was decoded.
enum RaidStatus : uint32_t {
    RaidStatusUnknown = 0,
    RaidNormal = 1,
    RaidDegraded = 2,
    RaidRebuilding = 3,
    RaidFailed = 4,
    RaidFailedMultipleSets = 5,
};

// STORAGE_BUS_TYPE numbering, as the GUI expects it.
enum BusType : uint32_t {
    BusUnknown = 0,
    Bus1394 = 4,
    BusUsb = 7,
    BusSas = 10,
    BusSata = 11,
};

enum MemberState : uint32_t {
    MemberNone = 0,
    MemberActive = 1,
    MemberRebuilding = 2,
    MemberInactive = 3,
};

enum DriveHealth : uint32_t {
    HealthUnknown = 0,
    HealthHealthy = 1,
    HealthFailureWarning = 2,
    HealthFailed = 3,
};

enum InitResult : uint32_t {
    InitUnknown = 0,
    InitInitialized = 1,
    InitFailed = 2,
    InitInvalidConfiguration = 3,  // no device answer maps here
    InitInvalidDriveSet = 4,
};

enum RebuildResult : uint32_t {
    RebuildUnknown = 0,
    RebuildInProgress = 1,
    RebuildFailed = 2,
    RebuildInvalidDriveSet = 3,
};

enum ProgressPhase : uint32_t {
    PhaseUnknown = 0,
    PhasePreparing = 1,
    PhaseProgressing = 2,
    PhaseCompleted = 3,
    PhaseFailed = 4,
    PhaseDiskTooSmall = 5,
};

constexpr uint32_t kConfigurationRaid5 = 1;
constexpr uint32_t kDriveBays = 4;
constexpr uint32_t kPercentFull = 10000;  // hundredths of a percent

// Texts are the device's bytes as sent (Latin-1); latin1ToUtf8 converts them for display.
class DcpRespInfo : public DcpResponse {
public:
    DcpRespInfo() : DcpResponse(TypeGetInfo) {}

    uint32_t configuration = kConfigurationRaid5;
    uint32_t driveCount = kDriveBays;
    uint32_t raidStatus = RaidStatusUnknown;
    bool driveFailureLikely = false;
    bool canInitialize = false;
    bool readyForRebuild = false;
    bool cacheDisabled = false;
    bool largeCapacity = false;
    std::string auxText1;
    std::string auxText2;
    std::string devicePath;
    std::vector<std::string> volumes;  // mount points of the volumes on this disk
    uint32_t hostBus = BusUnknown;
    uint32_t productId = 0;
    std::vector<uint8_t> serialNumber;  // the 8 bytes as sent
    std::string serialText;
    std::string vendor;
    std::string model;
    std::string productName;
    std::string firmwareDate;
    std::string firmwareTime;
    uint64_t capacity = 0;
    uint64_t osCapacity = 0;
    bool diskTooLarge = false;
};

class DcpRespDriveInfo : public DcpResponse {
public:
    DcpRespDriveInfo() : DcpResponse(TypeGetDriveInfo) {}

    uint32_t driveIndex = 0;
    bool present = false;
    uint32_t driveBus = BusUnknown;
    std::string auxText1;
    std::string model;
    std::string serialNumber;
    std::string auxText2;
    uint64_t capacity = 0;
    uint32_t health = HealthUnknown;
    uint32_t scanErrors = 0;
    uint32_t badBlocksRemapped = 0;
    uint32_t auxCounter1 = 0;
    uint32_t auxCounter2 = 0;
    uint32_t crcErrors = 0;
    uint32_t temperature = 0;  // tenths of a degree Celsius; 0 = not known
    uint32_t memberState = MemberNone;
    std::string auxBytes;  // 32 lowercase hex digits
    std::string raidSetId;
    uint32_t auxByte = 0;
};

class DcpRespStatusText : public DcpResponse {
public:
    DcpRespStatusText() : DcpResponse(TypeGetStatusText) {}

    std::string text;  // the whole report, HTML as the device composes it
};

class DcpRespProgress : public DcpResponse {
public:
    DcpRespProgress() : DcpResponse(TypeGetProgress) {}

    uint32_t operation = TypeRebuild;  // TypeInitConfiguration or TypeRebuild
    uint32_t phase = PhaseUnknown;
    uint32_t percent = 0;  // 0..kPercentFull
};

class DcpRespInitConfiguration : public DcpResponse {
public:
    DcpRespInitConfiguration() : DcpResponse(TypeInitConfiguration) {}

    uint32_t result = InitUnknown;
};

class DcpRespRebuild : public DcpResponse {
public:
    DcpRespRebuild() : DcpResponse(TypeRebuild) {}

    uint32_t result = RebuildUnknown;
};

}  // namespace corvane::dcp
