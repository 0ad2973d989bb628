// CPU time of 1000 exchanges with an emulated device opened directly and through the disk
// helper. In-process: the helper's session on a thread over a socket pair against the
// emulator, where a direct exchange costs next to nothing, so the ratio is the protocol's
// whole overhead. Through the kernel (root, FUSE, loop devices): the emulator served as a
// file behind a loop device, direct on /dev/loopN against the drivelore-helper program,
// whose CPU time is added once it has ended.
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

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

double childrenCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
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
            const double childrenBefore = childrenCpuSeconds();
            const bool started = viaHelper->connect().ok();
            run(*direct, 20, n);
            const double d = run(*direct, count, n);
            const double h = started ? run(*viaHelper, count, n) : -1;
            viaHelper.reset();  // the helper ends with its input
            while (waitpid(-1, nullptr, 0) > 0) {
            }
            const double helperCpu = childrenCpuSeconds() - childrenBefore;
            if (d <= 0 || h < 0) {
                std::fprintf(stderr, "through the kernel: an exchange failed\n");
                result = 1;
            } else {
                std::printf(
                    "through the kernel, loop device over FUSE, %5d in-band exchanges: direct "
                    "%8.2f ms CPU, through the helper %8.2f ms CPU (this process %.2f + "
                    "helper %.2f), ratio %.2f\n",
                    count, d * 1e3, (h + helperCpu) * 1e3, h * 1e3, helperCpu * 1e3,
                    (h + helperCpu) / d);
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
        std::printf(
            "in-process, %-15s %5d exchanges: direct %8.2f ms CPU, through the helper %8.2f ms "
            "CPU, "
            "ratio %.2f\n",
            inBand ? "in-band mailbox" : "vendor command", count, direct * 1e3, helped * 1e3,
            ratio);
    }
    return kernelPath(count);
}
