#include "io/passthrough.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace corvane::io {
namespace {

constexpr uint32_t kSenseCapacity = 32;
constexpr uint8_t kDriverSense = 0x08;

ScsiResult sendCommand(DriveHandle handle, const uint8_t* cdb, uint32_t cdbLength, bool dataOut,
                       void* buffer, uint32_t dataLength, uint32_t* bytesReturnedOut,
                       uint8_t* scsiStatusOut, uint8_t* senseOut, uint32_t senseCapacity,
                       uint32_t* senseLengthOut, uint32_t timeoutSeconds, ScsiReport* report) {
    *report = ScsiReport{};
    // The kernel reads cmd_len bytes from the CDB pointer; a longer CDB than it takes
    // cannot be sent whole, and a cut one would be a different command.
    if (!handle || !cdb || cdbLength == 0 || cdbLength > 16 ||
        (reinterpret_cast<uintptr_t>(buffer) & 7u) != 0) {
        return ScsiInvalidArgument;
    }
    uint8_t command[16] = {};
    std::memcpy(command, cdb, cdbLength);
    uint8_t sense[kSenseCapacity] = {};

    sg_io_hdr_t hdr;
    std::memset(&hdr, 0, sizeof hdr);
    hdr.interface_id = 'S';
    hdr.cmd_len = static_cast<unsigned char>(cdbLength);
    hdr.cmdp = command;
    hdr.mx_sb_len = kSenseCapacity;
    hdr.sbp = sense;
    if (!buffer) {
        hdr.dxfer_direction = SG_DXFER_NONE;
    } else {
        hdr.dxfer_direction = dataOut ? SG_DXFER_TO_DEV : SG_DXFER_FROM_DEV;
        hdr.dxferp = buffer;
        hdr.dxfer_len = dataLength;
    }
    hdr.timeout = timeoutSeconds * 1000u;

    report->error = handle->scsi(&hdr);
    if (report->error != 0) {
        return ScsiIoctlFailed;
    }
    report->status = hdr.status;
    report->hostStatus = hdr.host_status;
    report->driverStatus = hdr.driver_status;
    report->resid = hdr.resid;
    report->info = hdr.info;
    if (hdr.host_status != 0 || (hdr.driver_status & ~kDriverSense) != 0) {
        return ScsiIoctlFailed;
    }
    if (scsiStatusOut) {
        *scsiStatusOut = hdr.status;
    }
    if (bytesReturnedOut) {
        const int resid = hdr.resid < 0 ? 0 : hdr.resid;
        *bytesReturnedOut = buffer ? (uint32_t(resid) > dataLength ? 0 : dataLength - resid) : 0;
    }
    const uint32_t senseLength = hdr.sb_len_wr > kSenseCapacity ? kSenseCapacity : hdr.sb_len_wr;
    if (senseOut) {
        std::memcpy(senseOut, sense, senseCapacity < senseLength ? senseCapacity : senseLength);
    }
    if (senseLengthOut) {
        *senseLengthOut = senseLength;
    }
    return hdr.status != 0 ? ScsiCheckStatus : ScsiOk;
}

// Disks without SCSI pass-through (loop, virtio, NVMe, images) get the blocks read.
ScsiResult verifyByReading(DriveHandle handle, uint64_t firstBlock, uint32_t count) {
    uint32_t blockSize = 0;
    if (handle->blockSize(&blockSize) != 0 || blockSize == 0) {
        return ScsiIoctlFailed;
    }
    const size_t alignment = blockSize > 4096 ? blockSize : 4096;
    void* block = nullptr;
    if (posix_memalign(&block, alignment, blockSize) != 0) {
        return ScsiIoctlFailed;
    }
    ScsiResult result = ScsiOk;
    for (uint64_t i = 0; i < count; ++i) {
        size_t done = 0;
        if (handle->readAt(block, blockSize, (firstBlock + i) * blockSize, &done) != 0 ||
            done != blockSize) {
            result = ScsiCheckStatus;
            break;
        }
    }
    std::free(block);
    return result;
}

}  // namespace

void DriveCloser::operator()(Disk* d) const {
    closeDrive(d);
}

namespace {

template <typename Open>
DriveHandle openWith(int* errorOut, Open open) {
    int scratch = 0;
    int& err = errorOut ? *errorOut : scratch;
    err = 0;
    std::unique_ptr<Disk> disk = open(&err);
    if (!disk && err == 0) {
        err = ENODEV;
    }
    return disk.release();
}

}  // namespace

DriveHandle openPhysicalDrive(unsigned diskNumber, int* errorOut) {
    return openWith(errorOut, [&](int* err) { return platform().openDisk(diskNumber, err); });
}

DriveHandle openDrivePath(const std::string& path, int* errorOut) {
    return openWith(errorOut, [&](int* err) { return platform().openPath(path, err); });
}

bool closeDrive(DriveHandle handle) {
    if (!handle) {
        return true;
    }
    const bool ok = handle->close() == 0;
    delete handle;
    return ok;
}

DriveLock::DriveLock(DriveHandle handle, uint32_t timeoutMs)
    : handle_(handle), error_(handle ? handle->lock(timeoutMs) : EBADF) {}

DriveLock::~DriveLock() {
    if (error_ == 0) {
        handle_->unlock();
    }
}

bool getDriveGeometry(DriveHandle handle, DiskGeometry* geometryOut) {
    if (!handle || !geometryOut) {
        return false;
    }
    uint32_t size = 0;
    if (handle->blockSize(&size) != 0) {
        return false;
    }
    geometryOut->bytesPerSector = size;
    return true;
}

bool getDiskSize(DriveHandle handle, uint64_t* sizeOut) {
    if (!handle || !sizeOut) {
        return false;
    }
    uint64_t size = 0;
    if (handle->sizeBytes(&size) != 0) {
        return false;
    }
    *sizeOut = size;
    return true;
}

ScsiResult scsiPassThrough(DriveHandle handle, const uint8_t* cdb, uint32_t cdbLength, bool dataOut,
                           void* buffer, uint32_t dataLength, uint32_t* bytesReturnedOut,
                           uint8_t* scsiStatusOut, uint8_t* senseOut, uint32_t senseCapacity,
                           uint32_t* senseLengthOut, uint32_t timeoutSeconds) {
    ScsiReport report;
    return sendCommand(handle, cdb, cdbLength, dataOut, buffer, dataLength, bytesReturnedOut,
                       scsiStatusOut, senseOut, senseCapacity, senseLengthOut, timeoutSeconds,
                       &report);
}

ScsiResult scsiCommand(DriveHandle handle, const uint8_t* cdb, uint32_t cdbLength, bool dataOut,
                       void* buffer, uint32_t dataLength, uint32_t timeoutSeconds,
                       ScsiReport* reportOut) {
    ScsiReport scratch;
    return sendCommand(handle, cdb, cdbLength, dataOut, buffer, dataLength, nullptr, nullptr,
                       nullptr, 0, nullptr, timeoutSeconds, reportOut ? reportOut : &scratch);
}

uint32_t buildVerifyCdb(uint64_t firstBlock, uint32_t count, uint8_t cdb[16]) {
    std::memset(cdb, 0, 16);
    const uint64_t last = firstBlock + uint64_t(count) - 1;
    if (firstBlock <= 0xFFFFFFFFull && last <= 0xFFFFFFFFull) {
        cdb[0] = 0x2F;
        for (int i = 0; i < 4; ++i) {
            cdb[2 + i] = uint8_t(firstBlock >> (24 - 8 * i));
        }
        cdb[7] = uint8_t(count >> 8);
        cdb[8] = uint8_t(count);
        return 10;
    }
    cdb[0] = 0x8F;
    for (int i = 0; i < 8; ++i) {
        cdb[2 + i] = uint8_t(firstBlock >> (56 - 8 * i));
    }
    for (int i = 0; i < 4; ++i) {
        cdb[10 + i] = uint8_t(count >> (24 - 8 * i));
    }
    return 16;
}

ScsiResult verifyBlocks(DriveHandle handle, uint64_t firstBlock, uint32_t count) {
    if (!handle) {
        return ScsiInvalidArgument;
    }
    uint8_t cdb[16];
    const uint32_t length = buildVerifyCdb(firstBlock, count, cdb);
    ScsiReport report;
    const ScsiResult r = sendCommand(handle, cdb, length, false, nullptr, 0, nullptr, nullptr,
                                     nullptr, 0, nullptr, 1, &report);
    if (r == ScsiIoctlFailed && (report.error == ENOTTY || report.error == EINVAL)) {
        return verifyByReading(handle, firstBlock, count);
    }
    return r;
}

}  // namespace corvane::io
