#pragma once

#include <cstdint>

namespace corvane {

namespace drl {
// The core's result codes; the decoders return the subset Ok, InvalidArgument,
// DeviceIoFailed, OutOfMemory.
enum DrlResult : uint32_t {
    Ok = 0,
    InvalidArgument = 1,
    UnknownDevice = 2,
    DeviceIoFailed = 3,
    UnsupportedRequest = 4,
    OutOfMemory = 5,
    DeviceInitializing = 8,
};
}  // namespace drl

namespace dcp {
enum DcpTransportResult : uint32_t {
    TransportOk = 0,
    TransportInvalidArgument = 1,
    InfoSectorInvalid = 2,
    MailboxNotReady = 3,
    NotAnswered = 4,
    IoFailed = 5,
    TransportOutOfMemory = 6,
};
const char* transportResultName(uint32_t result);
}  // namespace dcp

}  // namespace corvane
