#pragma once

// Loop devices for tests that put the kernel's block layer in the path. Header-only so
// that each layer's test executable can use it.

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>

namespace corvane::testkit {

// Why loop devices cannot be used here, or empty when they can.
inline std::string loopUnavailable() {
    if (geteuid() != 0)
        return "loop devices need root";
    if (access("/dev/loop-control", R_OK | W_OK) != 0)
        return "no /dev/loop-control";
    return {};
}

// A loop device bound to a backing file for its lifetime; detached even when a test fails.
class LoopDevice {
public:
    LoopDevice() = default;
    LoopDevice(const LoopDevice&) = delete;
    LoopDevice& operator=(const LoopDevice&) = delete;
    ~LoopDevice() { detach(); }

    // blockSize 0 keeps the loop's default (512). Returns an errno value.
    int attach(const std::string& backing, uint32_t blockSize, bool directIo) {
        const int file = ::open(backing.c_str(), O_RDWR | O_CLOEXEC | (directIo ? O_DIRECT : 0));
        const int control = ::open("/dev/loop-control", O_RDWR | O_CLOEXEC);
        int err = file < 0 || control < 0 ? errno : EBUSY;
        // Another process may take the free number first: then ask again.
        for (int attempt = 0; err == EBUSY && attempt < 20; ++attempt) {
            const int n = ioctl(control, LOOP_CTL_GET_FREE);
            const std::string path = "/dev/loop" + std::to_string(n);
            const int fd = n < 0 ? -1 : ::open(path.c_str(), O_RDWR | O_CLOEXEC);
            loop_config config{};
            config.fd = uint32_t(file);
            config.block_size = blockSize;
            config.info.lo_flags = directIo ? LO_FLAGS_DIRECT_IO : 0;
            err = fd >= 0 && ioctl(fd, LOOP_CONFIGURE, &config) == 0 ? 0 : errno;
            if (err == 0) {
                number_ = n;
                path_ = path;
            }
            ::close(fd);
        }
        ::close(control);
        ::close(file);
        return err;
    }

    void detach() {
        if (number_ < 0)
            return;
        const int fd = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
        if (fd >= 0) {
            ioctl(fd, LOOP_CLR_FD, 0);
            ::close(fd);
        }
        // The kernel finishes the detach when the last opener leaves; wait for it (bounded)
        // so that whatever backs the device can go away after us.
        const std::string backing = "/sys/block/loop" + std::to_string(number_) + "/loop";
        for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
             access(backing.c_str(), F_OK) == 0 && std::chrono::steady_clock::now() < end;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        number_ = -1;
        path_.clear();
    }

    int number() const { return number_; }
    const std::string& path() const { return path_; }
    std::string name() const { return "loop" + std::to_string(number_); }
    bool directIo() const {
        char dio = 0;
        std::ifstream("/sys/block/" + name() + "/loop/dio") >> dio;
        return dio == '1';
    }

private:
    int number_ = -1;
    std::string path_;
};

}  // namespace corvane::testkit
