#pragma once

#include <scsi/sg.h>
#include <sys/types.h>

#include <cerrno>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace corvane::io {

// A disk whose device exchanges another process runs (the privileged helper): each one is
// a single call, and the disk itself allows no raw transfer.
class RemoteExchanges {
public:
    virtual ~RemoteExchanges() = default;
    // One sub-command's 8-byte payload for the 490-byte response: the framing's transport
    // result (0 when answered); *diskTooLarge is the info sector's flag.
    virtual uint32_t exchange(const uint8_t* request8, uint8_t* response490,
                              uint8_t* diskTooLarge) = 0;
    // The mount points of the volumes on this disk; false when unknown.
    virtual bool volumes(std::vector<std::string>* out) = 0;
};

// One open disk behind the platform seam. The seam is kept to what a privileged helper
// process could serve for an unprivileged GUI: block size, size, one SCSI command,
// positioned transfers, flush, the exchange lock, close. Every operation answers 0 or an
// errno value.
class Disk {
public:
    virtual ~Disk() = default;

    // Idempotent. The disk counts as closed afterwards even when an error is reported:
    // Linux has released the descriptor by then.
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
    // Sets the end of a file to length bytes; a disk has a fixed size and refuses.
    virtual int truncate(uint64_t /*length*/) { return EINVAL; }
    virtual std::string path() const = 0;
    virtual RemoteExchanges* remote() { return nullptr; }
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

// Where the Linux platform finds sysfs and the device nodes it names; fixed by the program,
// never taken from a user (tests give a tree of their own).
struct LinuxPaths {
    std::string sys = "/sys";
    std::string dev = "/dev";
};

// System calls on /dev/sdX (or the paths that diskPattern names: "%c" is the letter
// a+N, "%d" the number N). SCSI commands go to the disk's SCSI generic node when it has
// one (see openGenericNode), else to the disk, which is noted once per disk.
std::shared_ptr<Platform> makeLinuxPlatform(const std::string& diskPattern = "/dev/sd%c",
                                            const LinuxPaths& paths = {});

// The SCSI generic node (sgN) of the whole disk with device number `disk`: named by sysfs
// below the disk's SCSI device, opened read/write, non-blocking, close-on-exec and never
// through a link, and taken only when it is a character device that sysfs places under
// that same SCSI device. An open descriptor, or -1 with *why saying why there is none
// (empty for a disk that is no SCSI device at all).
// The block layer raises SG_IO time-outs under 7 s to 7 s; the generic node keeps them.
int openGenericNode(dev_t disk, const LinuxPaths& paths, std::string* why);

}  // namespace corvane::io
