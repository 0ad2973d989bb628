#pragma once

#include <scsi/sg.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace corvane::io {

// One open disk behind the platform seam. The seam is kept to what a privileged helper
// process could serve for an unprivileged GUI: block size, size, one SCSI command,
// positioned transfers, flush, the exchange lock, close. Every operation answers 0 or an
// errno value.
class Disk {
public:
    virtual ~Disk() = default;

    // Idempotent; a failed close leaves the disk open.
    virtual int close() = 0;
    virtual int blockSize(uint32_t* out) = 0;
    virtual int sizeBytes(uint64_t* out) = 0;
    // The SG_IO request, exactly as the kernel takes it.
    virtual int scsi(sg_io_hdr_t* request) = 0;
    // pread/pwrite: one transfer at an absolute byte offset; *done receives the bytes moved.
    virtual int readAt(void* buffer, size_t count, uint64_t offset, size_t* done) = 0;
    virtual int writeAt(const void* buffer, size_t count, uint64_t offset, size_t* done) = 0;
    virtual int flush() = 0;
    // An exclusive advisory lock on the device, across processes, for one exchange: every
    // open of one device node (under any path to it) competes for the same lock. Waits at
    // most timeoutMs, then answers ETIMEDOUT. Closing the disk releases it.
    virtual int lock(uint32_t timeoutMs) = 0;
    virtual int unlock() = 0;
    virtual std::string path() const = 0;
};

class Platform {
public:
    virtual ~Platform() = default;
    // Disk N of the machine; it must be a whole-disk block device.
    virtual std::unique_ptr<Disk> openDisk(unsigned diskNumber, int* errorOut) = 0;
    // An explicitly named disk: a block device or a disk image.
    virtual std::unique_ptr<Disk> openPath(const std::string& path, int* errorOut) = 0;
    virtual std::string diskPath(unsigned diskNumber) const = 0;
};

// Chosen once when the process starts; the Linux platform unless set.
Platform& platform();
void setPlatform(std::shared_ptr<Platform> platform);

// System calls on /dev/sdX (or the paths that diskPattern names: "%c" is the letter
// a+N, "%d" the number N).
std::shared_ptr<Platform> makeLinuxPlatform(const std::string& diskPattern = "/dev/sd%c");

}  // namespace corvane::io
