#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The wire format between the unprivileged program and drivelore-helper: one request, one
// answer, each a 4-byte little-endian length and a body. A request is one exchange with a
// disk's device (or a question a scan asks); the helper runs it whole, so nothing of the
// disk but what the device composed comes back.
namespace corvane::io::helper {

constexpr uint32_t kProtocolVersion = 2;
constexpr uint32_t kMaxDiskNumber = 25;
// The disks a helper started through pkexec serves; no caller chooses them there.
constexpr const char* kBuiltInPattern = "/dev/sd%c";
constexpr size_t kPayloadBytes = 8;     // a sub-command's request payload
constexpr size_t kResponseBytes = 490;  // the longest response payload
constexpr size_t kMaxVolumeText = 8192;

enum class Op : uint8_t {
    Hello = 1,     // payload bytes 0..3: the client's protocol version
    Geometry = 2,  // block size and capacity of a disk
    Exchange = 3,  // one sub-command on a disk's device
    Volumes = 4,   // the mount points on a disk
};

// Fixed size: op, disk number, two zero bytes, the payload.
struct Request {
    Op op = Op::Hello;
    uint8_t disk = 0;
    uint8_t payload[kPayloadBytes] = {};
};
constexpr size_t kRequestBody = 12;

// The transport result the client reports when the helper cannot be reached.
constexpr uint32_t kTransportIoFailed = 5;

struct Answer {
    Op op = Op::Hello;
    int32_t error = 0;          // errno value; EPERM for a refusal, 0 when the request ran
    uint32_t result = 0;        // Exchange: the transport result; Hello: the version
    uint32_t value = 0;         // Geometry: block size; Exchange: the disk-too-large flag
    uint64_t value64 = 0;       // Geometry: bytes
    std::vector<uint8_t> data;  // Exchange (result 0): the response; Volumes: NUL-ended names
};
constexpr size_t kAnswerFixed = 21;
constexpr size_t kMaxAnswerBody = kAnswerFixed + kMaxVolumeText;

// The body only; frame() adds the length.
std::vector<uint8_t> encode(const Request& r);
std::vector<uint8_t> encode(const Answer& a);
// False for a body of another size, non-zero padding, data the op does not carry or more
// of it than allowed. A request's op is taken as sent: an unknown one is the server's to
// refuse.
bool decode(const uint8_t* body, size_t size, Request* out);
bool decode(const uint8_t* body, size_t size, Answer* out);

// The mount points of a Volumes answer; false when the data is not NUL-ended names.
bool splitVolumes(const std::vector<uint8_t>& data, std::vector<std::string>* out);

std::vector<uint8_t> frame(const std::vector<uint8_t>& body);

const char* opName(Op op);

}  // namespace corvane::io::helper
