// CPU time of 1000 exchanges with an emulated device opened directly and through the disk
// helper. In-process: the helper's session on a thread over a socket pair against the
// emulator, where a direct exchange costs next to nothing, so the ratio is the protocol's
// whole overhead. Through the kernel (root, FUSE, loop devices): the emulator served as a
// file behind a loop device, direct on /dev/loopN against the drivelore-helper program,
// whose CPU time is added once it has ended.
#include <dirent.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include "dcp/framing.h"
#include "helper/in_process.h"
#include "io/helper_platform.h"
#include "sim/disk_fs.h"
#include "sim/emulated_disk.h"
#include "sim/firmware.h"
#include "sim/profiles.h"
#include "tests/support/loop_device.h"

using namespace corvane;

namespace {

double cpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// CPU seconds so far of every thread of a running process (the scheduler's own count,
// in nanoseconds: the tick-based counters are too coarse for a few thousand exchanges).
double processCpuSeconds(pid_t pid) {
    double sum = 0;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (!dir) {
        return -1;
    }
    while (const dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') {
            continue;
        }
        std::ifstream in(tasks + "/" + e->d_name + "/schedstat");
        unsigned long long ns = 0;
        if (in >> ns) {
            sum += double(ns) / 1e9;
        }
    }
    closedir(dir);
    return sum;
}

// What any helper on a thread must pay per exchange: a request of the protocol's size
// over a socket pair to a thread that answers with a response of its size, nothing else.
double socketFloor(int count) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
        return -1;
    }
    const size_t ask = 4 + io::helper::kRequestBody;
    const size_t answer = 4 + io::helper::kAnswerFixed + io::helper::kResponseBytes;
    const auto exact = [](int fd, uint8_t* p, size_t n) {
        for (size_t got = 0; got < n;) {
            const ssize_t r = ::read(fd, p + got, n - got);
            if (r <= 0) {
                return false;
            }
            got += size_t(r);
        }
        return true;
    };
    std::thread echo([&] {
        std::vector<uint8_t> in(ask), out(answer);
        while (exact(sv[1], in.data(), ask)) {
            if (::write(sv[1], out.data(), answer) != ssize_t(answer)) {
                break;
            }
        }
    });
    std::vector<uint8_t> q(ask), a(answer);
    const double start = cpuSeconds();
    bool ok = true;
    for (int i = 0; i < count && ok; ++i) {
        ok = ::write(sv[0], q.data(), ask) == ssize_t(ask) && exact(sv[0], a.data(), answer);
    }
    const double spent = cpuSeconds() - start;
    ::close(sv[0]);
    echo.join();
    ::close(sv[1]);
    return ok ? spent : -1;
}

// CPU seconds of one system call that does nothing: what the kernel's entry and exit cost
// on this machine (its mitigations included), below which no round trip can go.
double syscallCost() {
    constexpr int kCalls = 100000;
    const double start = cpuSeconds();
    for (int i = 0; i < kCalls; ++i) {
        syscall(SYS_getppid);  // not cached by the C library
    }
    return (cpuSeconds() - start) / kCalls;
}

// Seconds of CPU for `count` exchanges, or a negative value when one failed.
double run(io::Platform& platform, int count, unsigned diskNumber = 0) {
    int err = 0;
    auto disk = platform.openDisk(diskNumber, &err);
    if (!disk) {
        return -1;
    }
    const double start = cpuSeconds();
    for (int i = 0; i < count; ++i) {
        uint8_t request[8] = {1, uint8_t(i)}, response[490];
        if (dcp::executeCommand(disk.get(), 512, 1, request, 8, response, 490, nullptr, 2) !=
            dcp::TransportOk) {
            return -1;
        }
    }
    return cpuSeconds() - start;
}

int kernelPath(int count) {
    const std::string why = testkit::loopUnavailable();
    const std::string helperPath = io::findHelper();
    if (!why.empty() || access("/dev/fuse", R_OK | W_OK) != 0 || helperPath.empty()) {
        std::printf("through the kernel: skipped (%s)\n", !why.empty() ? why.c_str()
                                                          : helperPath.empty()
                                                              ? "no drivelore-helper"
                                                              : "no /dev/fuse");
        return 0;
    }
    char dir[] = "/tmp/drl-helper-bench-XXXXXX";
    if (!mkdtemp(dir)) {
        return 1;
    }
    auto device = sim::makeProfile("healthy", {512, 0, nullptr});
    sim::DiskFileSystem fs;
    if (!fs.mount(dir, {{"disk0", device->disk}}).empty()) {
        rmdir(dir);
        std::printf("through the kernel: skipped (FUSE mount failed)\n");
        return 0;
    }
    int result = 0;
    {
        testkit::LoopDevice loop;
        if (loop.attach(std::string(dir) + "/disk0", 512, true) != 0 || loop.number() > 25) {
            std::printf("through the kernel: skipped (no loop device)\n");
        } else {
            const unsigned n = unsigned(loop.number());
            auto direct = io::makeLinuxPlatform("/dev/loop%d");
            io::HelperPlatform::Options options;
            options.command = io::helperCommand(helperPath, "/dev/loop%d", false);
            auto viaHelper = std::make_shared<io::HelperPlatform>(options);
            const pid_t pid = viaHelper->connect().ok() ? viaHelper->helperPid() : -1;
            // Rounds taken in turn, so that what else the machine does falls on both alike;
            // the helper's CPU is read while it runs, its start-up left out.
            std::vector<double> ratios;
            run(*direct, 20, n);
            run(*viaHelper, 20, n);
            for (int round = 0; round < 5 && pid > 0; ++round) {
                const double d = run(*direct, count, n);
                const double before = processCpuSeconds(pid);
                const double h = run(*viaHelper, count, n);
                const double helperCpu = processCpuSeconds(pid) - before;
                if (d <= 0 || h < 0 || before < 0) {
                    break;
                }
                ratios.push_back((h + helperCpu) / d);
                std::printf(
                    "through the kernel, loop device over FUSE, %5d in-band exchanges: direct "
                    "%8.2f ms CPU, through the helper %8.2f ms CPU (this process %.2f + "
                    "helper %.2f), ratio %.2f\n",
                    count, d * 1e3, (h + helperCpu) * 1e3, h * 1e3, helperCpu * 1e3, ratios.back());
            }
            viaHelper.reset();  // the helper ends with its input
            while (waitpid(-1, nullptr, 0) > 0) {
            }
            if (ratios.size() != 5) {
                std::fprintf(stderr, "through the kernel: an exchange failed\n");
                result = 1;
            } else {
                std::sort(ratios.begin(), ratios.end());
                std::printf("through the kernel: median ratio of 5 rounds %.2f (%.2f to %.2f)\n",
                            ratios[2], ratios.front(), ratios.back());
            }
        }
    }
    fs.unmount();
    rmdir(dir);
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 1000;
    constexpr uint64_t kBlocks = 1 << 20;
    double directVendor = 0;
    for (const bool inBand : {false, true}) {
        auto disk = std::make_shared<sim::EmulatedDisk>(512, kBlocks);
        auto firmware =
            std::make_shared<sim::Firmware>(512, kBlocks, std::make_shared<sim::EchoHandler>());
        sim::TransportFaults faults;
        faults.directRefused = inBand;
        firmware->setFaults(faults);
        disk->setFirmware(firmware);
        auto platform = std::make_shared<sim::EmulatedPlatform>();
        platform->plug(0, disk);
        auto viaHelper = helper::serveInProcess(platform, nullptr);
        run(*platform, 50);  // warm up both paths
        run(*viaHelper, 50);
        const double direct = run(*platform, count);
        const double helped = run(*viaHelper, count);
        if (direct <= 0 || helped < 0) {
            std::fprintf(stderr, "an exchange failed\n");
            return 1;
        }
        const double ratio = helped / direct;
        if (!inBand) {
            directVendor = direct / count;
        }
        std::printf(
            "in-process, %-15s %5d exchanges: direct %8.2f ms CPU, through the helper %8.2f ms "
            "CPU, "
            "ratio %.2f\n",
            inBand ? "in-band mailbox" : "vendor command", count, direct * 1e3, helped * 1e3,
            ratio);
    }
    const double floor = socketFloor(count);
    if (floor > 0) {
        std::printf("in-process, bare socket round trips of the same sizes, %5d: %8.2f ms CPU\n",
                    count, floor * 1e3);
    }
    // A helper on another thread or process answers one request with at least four calls:
    // the client's write and read, the helper's read and write.
    const double call = syscallCost();
    std::printf(
        "one empty system call %.2f us CPU: a direct vendor exchange (%.2f us) plus four of them "
        "is a ratio of %.2f, the least any helper can reach here\n",
        call * 1e6, directVendor * 1e6, (directVendor + 4 * call) / directVendor);
    return kernelPath(count);
}
