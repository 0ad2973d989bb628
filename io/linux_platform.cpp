#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

#include "io/debug.h"
#include "io/platform.h"

namespace corvane::io {
namespace {

class LinuxDisk final : public Disk {
public:
    // scsiFd: the disk's SCSI generic node, or -1 to send SCSI commands to the disk itself.
    LinuxDisk(int fd, int scsiFd, bool isBlockDevice, std::string path)
        : fd_(fd), scsiFd_(scsiFd), isBlock_(isBlockDevice), path_(std::move(path)) {}
    ~LinuxDisk() override { close(); }

    int close() override {
        if (scsiFd_ >= 0) {
            ::close(scsiFd_);
            scsiFd_ = -1;
        }
        if (fd_ < 0) {
            return 0;
        }
        // Linux releases the descriptor even when close reports an error (EINTR and EIO
        // included); closing it again could hit one another thread has been given since.
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0 && errno != EINTR) {
            return errno;
        }
        return 0;
    }

    int blockSize(uint32_t* out) override {
        if (fd_ < 0) {
            return EBADF;
        }
        if (!isBlock_) {
            *out = 512;  // disk images
            return 0;
        }
        int size = 0;
        if (ioctl(fd_, BLKSSZGET, &size) != 0) {
            return errno;
        }
        *out = uint32_t(size);
        return 0;
    }

    int sizeBytes(uint64_t* out) override {
        if (fd_ < 0) {
            return EBADF;
        }
        if (!isBlock_) {
            struct stat st {};
            if (fstat(fd_, &st) != 0) {
                return errno;
            }
            *out = uint64_t(st.st_size);
            return 0;
        }
        uint64_t size = 0;
        if (ioctl(fd_, BLKGETSIZE64, &size) != 0) {
            return errno;
        }
        *out = size;
        return 0;
    }

    int scsi(sg_io_hdr_t* request) override {
        if (fd_ < 0) {
            return EBADF;
        }
        return ioctl(scsiFd_ >= 0 ? scsiFd_ : fd_, SG_IO, request) == 0 ? 0 : errno;
    }

    int readAt(void* buffer, size_t count, uint64_t offset, size_t* done) override {
        *done = 0;
        if (fd_ < 0) {
            return EBADF;
        }
        ssize_t n;
        do {
            n = pread(fd_, buffer, count, off_t(offset));
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            return errno;
        }
        *done = size_t(n);
        return 0;
    }

    int writeAt(const void* buffer, size_t count, uint64_t offset, size_t* done) override {
        *done = 0;
        if (fd_ < 0) {
            return EBADF;
        }
        ssize_t n;
        do {
            n = pwrite(fd_, buffer, count, off_t(offset));
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            return errno;
        }
        *done = size_t(n);
        return 0;
    }

    int flush() override {
        if (fd_ < 0) {
            return EBADF;
        }
        return fsync(fd_) == 0 ? 0 : errno;
    }

    // flock belongs to the inode, so a symlink or a second open of the node is the same
    // lock; it is also the lock udev honours before probing a disk. The kernel has no timed
    // flock, so a non-blocking one is retried until the deadline.
    int lock(uint32_t timeoutMs) override {
        if (fd_ < 0) {
            return EBADF;
        }
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        auto pause = std::chrono::microseconds(100);
        for (;;) {
            if (flock(fd_, LOCK_EX | LOCK_NB) == 0) {
                return 0;
            }
            if (errno != EWOULDBLOCK && errno != EINTR) {
                return errno;
            }
            const auto now = Clock::now();
            if (now >= deadline) {
                return ETIMEDOUT;
            }
            std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
            pause = std::min(pause * 2, std::chrono::microseconds(5000));
        }
    }

    int unlock() override {
        if (fd_ < 0) {
            return EBADF;
        }
        return flock(fd_, LOCK_UN) == 0 ? 0 : errno;
    }

    int truncate(uint64_t length) override {
        if (fd_ < 0) {
            return EBADF;
        }
        if (length > uint64_t(INT64_MAX)) {
            return EINVAL;
        }
        return ftruncate(fd_, off_t(length)) == 0 ? 0 : errno;
    }

    std::string path() const override { return path_; }

private:
    int fd_;
    int scsiFd_;
    bool isBlock_;
    std::string path_;
};

std::string devNumber(dev_t d) {
    return std::to_string(major(d)) + ":" + std::to_string(minor(d));
}

// Block devices open with O_DIRECT so that every transfer reaches the device: through the
// page cache the host would read back its own command sector instead of the device's
// answer. A regular file (a disk image) has no device behind it and is opened read-only:
// nothing ever writes a command sector into it.
class LinuxPlatform final : public Platform {
public:
    LinuxPlatform(std::string pattern, LinuxPaths paths)
        : pattern_(std::move(pattern)), paths_(std::move(paths)) {}

    std::unique_ptr<Disk> openDisk(unsigned diskNumber, int* errorOut) override {
        *errorOut = 0;
        if (diskNumber > 25) {
            *errorOut = ENODEV;
            return nullptr;
        }
        return openDevice(diskPath(diskNumber), false, errorOut);
    }

    std::unique_ptr<Disk> openPath(const std::string& path, int* errorOut) override {
        *errorOut = 0;
        return openDevice(path, true, errorOut);
    }

    std::string diskPath(unsigned diskNumber) const override {
        std::string out;
        for (size_t i = 0; i < pattern_.size(); ++i) {
            if (pattern_[i] == '%' && i + 1 < pattern_.size()) {
                const char kind = pattern_[++i];
                if (kind == 'c') {
                    out += char('a' + diskNumber % 26);
                    continue;
                }
                if (kind == 'd') {
                    out += std::to_string(diskNumber);
                    continue;
                }
                out += '%';
            }
            out += pattern_[i];
        }
        return out;
    }

private:
    std::unique_ptr<Disk> openDevice(const std::string& path, bool allowImage, int* errorOut) {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) {
            *errorOut = errno;
            return nullptr;
        }
        const bool image = allowImage && S_ISREG(st.st_mode);
        int fd = image ? ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)
                       : ::open(path.c_str(), O_RDWR | O_DIRECT | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            *errorOut = errno;
            return nullptr;
        }
        // What was opened is what counts: the path may have changed since the stat.
        if (fstat(fd, &st) != 0) {
            *errorOut = errno;
            ::close(fd);
            return nullptr;
        }
        const bool isBlock = S_ISBLK(st.st_mode);
        if (!isBlock && !(image && S_ISREG(st.st_mode))) {
            *errorOut = ENOTBLK;
            ::close(fd);
            return nullptr;
        }
        if (isBlock && image) {
            ::close(fd);
            *errorOut = EAGAIN;
            return nullptr;
        }
        int scsiFd = -1;
        if (isBlock) {
            std::string why;
            scsiFd = openGenericNode(st.st_rdev, paths_, &why);
            if (scsiFd < 0 && !why.empty() && firstNote(st.st_rdev)) {
                debugNote(path + ": " + why +
                          "; SCSI commands go to the disk itself, whose time-outs the block layer "
                          "raises to at least 7 s");
            }
        }
        return std::make_unique<LinuxDisk>(fd, scsiFd, isBlock, path);
    }

    // A disk without its generic node is opened for every exchange; saying so once is enough.
    bool firstNote(dev_t disk) {
        std::lock_guard<std::mutex> lock(notedMutex_);
        return noted_.insert(disk).second;
    }

    std::string pattern_;
    LinuxPaths paths_;
    std::mutex notedMutex_;
    std::set<dev_t> noted_;
};

std::mutex platformMutex;
std::shared_ptr<Platform> current;

}  // namespace

int openGenericNode(dev_t disk, const LinuxPaths& paths, std::string* why) {
    namespace fs = std::filesystem;
    std::error_code ec;
    // A partition has no device link: only a whole disk leads to its SCSI device.
    const fs::path device =
        fs::canonical(fs::path(paths.sys) / "dev/block" / devNumber(disk) / "device", ec);
    if (ec) {
        why->clear();  // a loop, virtio or NVMe disk: no SCSI device, nothing to say
        return -1;
    }
    std::string name;
    for (fs::directory_iterator it(device / "scsi_generic", ec), end; !ec && it != end;
         it.increment(ec)) {
        if (!name.empty()) {
            *why = "more than one SCSI generic node";
            return -1;
        }
        name = it->path().filename().string();
    }
    if (name.empty()) {
        *why = "no SCSI generic node";
        return -1;
    }
    const std::string node = paths.dev + "/" + name;
    // The node must be the character device that sysfs files under the disk's own SCSI
    // device, before it is opened (opening some other device may do something) and after.
    const auto ours = [&](const struct stat& st) {
        std::error_code e;
        return S_ISCHR(st.st_mode) &&
               fs::canonical(fs::path(paths.sys) / "dev/char" / devNumber(st.st_rdev) / "device",
                             e) == device &&
               !e;
    };
    struct stat st {};
    if (::lstat(node.c_str(), &st) != 0) {
        *why = node + ": " + std::strerror(errno);
        return -1;
    }
    if (!ours(st)) {
        *why = node + " refused: not the character device of this disk's SCSI device";
        return -1;
    }
    const int fd = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        *why = node + ": " + std::strerror(errno);
        return -1;
    }
    const dev_t checked = st.st_rdev;
    if (fstat(fd, &st) != 0 || st.st_rdev != checked || !ours(st)) {
        ::close(fd);
        *why = node + " refused: it changed while it was opened";
        return -1;
    }
    return fd;
}

std::shared_ptr<Platform> makeLinuxPlatform(const std::string& diskPattern,
                                            const LinuxPaths& paths) {
    return std::make_shared<LinuxPlatform>(diskPattern, paths);
}

Platform& platform() {
    std::lock_guard<std::mutex> lock(platformMutex);
    if (!current) {
        current = makeLinuxPlatform();
    }
    return *current;
}

void setPlatform(std::shared_ptr<Platform> p) {
    std::lock_guard<std::mutex> lock(platformMutex);
    current = std::move(p);
}

}  // namespace corvane::io
