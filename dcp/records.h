#pragma once

#include <cstdint>

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

}  // namespace corvane::dcp
