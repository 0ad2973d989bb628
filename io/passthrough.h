#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "io/platform.h"

namespace corvane::io {

// An open physical drive; the caller closes it with closeDrive.
using DriveHandle = Disk*;

struct DriveCloser {
    void operator()(Disk* d) const;
};
using UniqueDrive = std::unique_ptr<Disk, DriveCloser>;

enum ScsiResult : uint32_t {
    ScsiOk = 0,
    ScsiInvalidArgument = 1,
    ScsiIoctlFailed = 2,  // the call failed, or the transport reported an error
    ScsiCheckStatus = 3,  // the command reached the device and its status byte is not 0
};

struct DiskGeometry {
    uint32_t bytesPerSector = 0;
};

// Opens disk N for reading and writing, shared. errorOut is set to 0 first and to the
// system error when the open fails (the result is then null).
DriveHandle openPhysicalDrive(unsigned diskNumber, int* errorOut);
// A disk named by path: a block device or a disk image.
DriveHandle openDrivePath(const std::string& path, int* errorOut);
// Closes and releases the handle; false when closing failed (the handle is released anyway).
bool closeDrive(DriveHandle handle);

bool getDriveGeometry(DriveHandle handle, DiskGeometry* geometryOut);
// sizeOut is untouched on failure.
bool getDiskSize(DriveHandle handle, uint64_t* sizeOut);

// One SCSI command. buffer must be 8-byte aligned (null: no data phase). The outputs are
// written only when the call worked, also when the status is CHECK CONDITION.
ScsiResult scsiPassThrough(DriveHandle handle, const uint8_t* cdb, uint32_t cdbLength, bool dataOut,
                           void* buffer, uint32_t dataLength, uint32_t* bytesReturnedOut,
                           uint8_t* scsiStatusOut, uint8_t* senseOut, uint32_t senseCapacity,
                           uint32_t* senseLengthOut, uint32_t timeoutSeconds);

// What the kernel said of one command: the call's errno (0 when it worked) and the fields
// of sg_io_hdr that tell a whole answer from a partial or a late one.
struct ScsiReport {
    int error = 0;
    uint8_t status = 0;
    uint16_t hostStatus = 0;
    uint16_t driverStatus = 0;
    int32_t resid = 0;  // bytes of the data phase that did not move
    uint32_t info = 0;  // SG_INFO_* bits
};

// scsiPassThrough for a caller that must look closer than the result: *reportOut gets
// what the kernel said, also when the result is not Ok.
ScsiResult scsiCommand(DriveHandle handle, const uint8_t* cdb, uint32_t cdbLength, bool dataOut,
                       void* buffer, uint32_t dataLength, uint32_t timeoutSeconds,
                       ScsiReport* reportOut);

// How long one exchange waits for the others on its device, another process's included:
// longer than one exchange can take (the kernel raises SG_IO time-outs to 7 s).
constexpr uint32_t kExchangeLockMs = 10000;

// The device's exchange lock (Disk::lock) for a scope.
class DriveLock {
public:
    DriveLock(DriveHandle handle, uint32_t timeoutMs);
    ~DriveLock();
    DriveLock(const DriveLock&) = delete;
    DriveLock& operator=(const DriveLock&) = delete;
    // 0 when held, else the errno value (ETIMEDOUT when another holder kept it).
    int error() const { return error_; }
    explicit operator bool() const { return error_ == 0; }

private:
    DriveHandle handle_;
    int error_;
};

// VERIFY(10) while the whole range fits 32-bit block addresses, else VERIFY(16). A disk
// without SCSI pass-through (the call is refused with ENOTTY or EINVAL) has the blocks
// read instead.
ScsiResult verifyBlocks(DriveHandle handle, uint64_t firstBlock, uint32_t count);

// The CDBs verifyBlocks sends; length 10 or 16.
uint32_t buildVerifyCdb(uint64_t firstBlock, uint32_t count, uint8_t cdbOut[16]);

}  // namespace corvane::io
