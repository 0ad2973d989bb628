#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The wire format between the unprivileged program and drivelore-helper: one request,
// one answer, each a 4-byte little-endian length and a body of fixed fields followed by
// the data bytes. Fixed layouts keep the parser small enough to trust.
namespace corvane::io::helper {

constexpr uint32_t kProtocolVersion = 1;
constexpr uint32_t kMaxData = 65536;  // the largest logical block size
constexpr uint32_t kSenseBytes = 32;

enum class Op : uint8_t {
    Hello = 1,
    Open = 2,      // by disk number
    OpenPath = 3,  // always refused: the helper opens only the disks of its own pattern
    Close = 4,
    BlockSize = 5,
    Size = 6,
    Scsi = 7,
    Read = 8,
    Write = 9,
    Flush = 10,
    Lock = 11,
    Unlock = 12,
};

struct Request {
    Op op = Op::Hello;
    uint32_t handle = 0;
    uint32_t arg = 0;  // Hello: version; Open: disk number; Lock: timeout ms
    uint64_t offset = 0;
    uint32_t count = 0;  // Read: bytes wanted; Scsi: transfer length
    uint8_t cdbLength = 0;
    uint8_t cdb[16] = {};
    int32_t direction = 0;  // SG_DXFER_*
    uint32_t timeoutMs = 0;
    std::vector<uint8_t> data;  // Write: the bytes; Scsi: data out; OpenPath: the path
};

struct Answer {
    Op op = Op::Hello;
    int32_t error = 0;     // errno value, 0 on success
    uint32_t value = 0;    // Hello: version; Open: handle; BlockSize; Read/Write: bytes moved
    uint64_t value64 = 0;  // Size
    uint8_t status = 0;
    uint8_t maskedStatus = 0;
    uint8_t msgStatus = 0;
    uint8_t senseLength = 0;
    uint16_t hostStatus = 0;
    uint16_t driverStatus = 0;
    int32_t resid = 0;
    uint32_t duration = 0;
    uint32_t info = 0;
    uint8_t sense[kSenseBytes] = {};
    std::vector<uint8_t> data;  // Read: the bytes; Scsi: data in
};

constexpr size_t kRequestFixed = 46;
constexpr size_t kAnswerFixed = 69;
constexpr size_t kMaxRequestBody = kRequestFixed + kMaxData;
constexpr size_t kMaxAnswerBody = kAnswerFixed + kMaxData;

// The body only; framing adds the length.
std::vector<uint8_t> encode(const Request& r);
std::vector<uint8_t> encode(const Answer& a);
// False for a body that is too short, too long or carries more data than allowed. The op
// is taken as sent: an unknown one is the server's to refuse.
bool decode(const uint8_t* body, size_t size, Request* out);
bool decode(const uint8_t* body, size_t size, Answer* out);

// Prepends the 4-byte length.
std::vector<uint8_t> frame(const std::vector<uint8_t>& body);

const char* opName(Op op);

}  // namespace corvane::io::helper
