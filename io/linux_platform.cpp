#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

#include "io/platform.h"

namespace corvane::io {
namespace {

class LinuxDisk final : public Disk {
public:
    LinuxDisk(int fd, bool isBlockDevice, std::string path)
        : fd_(fd), isBlock_(isBlockDevice), path_(std::move(path)) {}
    ~LinuxDisk() override { close(); }

    int close() override {
        if (fd_ < 0) {
            return 0;
        }
        if (::close(fd_) != 0 && errno != EINTR) {
            return errno;
        }
        fd_ = -1;
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
        return ioctl(fd_, SG_IO, request) == 0 ? 0 : errno;
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

    std::string path() const override { return path_; }

private:
    int fd_;
    bool isBlock_;
    std::string path_;
};

// Opens with O_DIRECT so that every transfer reaches the device: through the page cache
// the host would read back its own command sector instead of the device's answer.
std::unique_ptr<Disk> openDevice(const std::string& path, bool allowImage, int* errorOut) {
    int fd = ::open(path.c_str(), O_RDWR | O_DIRECT | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno == EINVAL && allowImage) {
        // Some file systems refuse O_DIRECT; an image has no device behind it to bypass.
        fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    }
    if (fd < 0) {
        *errorOut = errno;
        return nullptr;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        *errorOut = errno;
        ::close(fd);
        return nullptr;
    }
    const bool isBlock = S_ISBLK(st.st_mode);
    if (!isBlock && !(allowImage && S_ISREG(st.st_mode))) {
        *errorOut = ENOTBLK;
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<LinuxDisk>(fd, isBlock, path);
}

class LinuxPlatform final : public Platform {
public:
    explicit LinuxPlatform(std::string pattern) : pattern_(std::move(pattern)) {}

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
    std::string pattern_;
};

std::mutex platformMutex;
std::shared_ptr<Platform> current;

}  // namespace

std::shared_ptr<Platform> makeLinuxPlatform(const std::string& diskPattern) {
    return std::make_shared<LinuxPlatform>(diskPattern);
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
