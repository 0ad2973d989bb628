// Prints what the storage manager core costs: time and disk operations of one scan of
// the 26 disks with 0, 4 and 26 emulated devices, and the worker's CPU time while idle.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>

#include "dcp/records.h"
#include "drl/storage_manager_impl.h"
#include "io/platform.h"
#include "os/device_listener.h"
#include "sim/emulated_disk.h"
#include "sim/profiles.h"

using namespace corvane;

namespace {

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::shared_ptr<sim::EmulatedPlatform> machine(unsigned devices) {
    auto platform = std::make_shared<sim::EmulatedPlatform>();
    for (unsigned n = 0; n < devices; ++n) {
        platform->plug(n, sim::makeProfile("healthy", {n % 2 ? 4096u : 512u, n, nullptr})->disk);
    }
    return platform;
}

struct ScanFigures {
    double meanMs = 0;
    double bestMs = 1e9;
    size_t found = 0;
};

constexpr int kScanRounds = 50;

// Times scans on the installed platform; `before` and `after` run around each one.
ScanFigures timeScans(const std::function<void()>& before, const std::function<void()>& after) {
    std::unique_ptr<drl::CvnStorageManager> core(
        drl::CvnStorageManager::create(os::DeviceListener::create(os::DeviceSource::InProcess)));
    auto& impl = static_cast<drl::CvnStorageManagerImpl&>(*core);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the worker's own first scan
    ScanFigures figures;
    for (int i = 0; i < kScanRounds; ++i) {
        before();
        std::vector<drl::FoundDevice> result;
        const auto t0 = std::chrono::steady_clock::now();
        impl.scan(&result);
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                .count();
        after();
        figures.bestMs = std::min(figures.bestMs, ms);
        figures.meanMs += ms / kScanRounds;
        figures.found = result.size();
    }
    return figures;
}

void benchScan(unsigned devices) {
    auto platform = machine(devices);
    io::setPlatform(platform);
    uint64_t ops = 0;
    uint64_t exchanges = 0;
    const ScanFigures f = timeScans(
        [&] {
            for (unsigned n = 0; n < devices; ++n) {
                platform->disk(n)->resetCounters();
            }
        },
        [&] {
            for (unsigned n = 0; n < devices; ++n) {
                const sim::DiskCounters c = platform->disk(n)->counters();
                ops += c.total();
                exchanges += c.vendorCommands;
            }
        });
    std::printf(
        "scan of 26 disks, %2u devices: mean %.3f ms, best %.3f ms, found %zu, "
        "per scan %.1f disk operations (%.2f per device), %.1f vendor commands\n",
        devices, f.meanMs, f.bestMs, f.found, double(ops) / kScanRounds,
        devices ? double(ops) / kScanRounds / devices : 0.0, double(exchanges) / kScanRounds);
    io::setPlatform(nullptr);
}

// This machine's own disks through the Linux platform.
void benchScanLinux() {
    io::setPlatform(io::makeLinuxPlatform());
    const ScanFigures f = timeScans([] {}, [] {});
    std::printf(
        "scan of /dev/sda../dev/sdz on this machine: mean %.3f ms, best %.3f ms, "
        "found %zu\n",
        f.meanMs, f.bestMs, f.found);
    io::setPlatform(nullptr);
}

void benchIdle(unsigned devices, int seconds) {
    auto platform = machine(devices);
    io::setPlatform(platform);
    std::unique_ptr<drl::CvnStorageManager> core(
        drl::CvnStorageManager::create(os::DeviceListener::create(os::DeviceSource::InProcess)));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // first scan
    std::vector<drl::DrlDevId> ids;
    core->getDevices(&ids);
    // What the application registers per device.
    dcp::DcpReqGetInfo info;
    dcp::DcpReqGetStatusText text;
    for (drl::DrlDevId id : ids) {
        core->startAsyncComm(id, &info, 60000, nullptr);
        core->startAsyncComm(id, &text, 60000, nullptr);
        for (uint32_t bay = 0; bay < 4; ++bay) {
            dcp::DcpReqGetDriveInfo drive(bay);
            core->startAsyncComm(id, &drive, 60000, nullptr);
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the first round runs
    const double c0 = cpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = cpuSeconds() - c0;
    std::printf(
        "idle worker, %u devices (%zu listed), %d s: CPU %.1f ms per second = %.3f %% "
        "of one core\n",
        devices, ids.size(), seconds, cpu / wall * 1000, cpu / wall * 100);
    core.reset();
    io::setPlatform(nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    for (unsigned devices : {0u, 4u, 26u}) {
        benchScan(devices);
    }
    benchScanLinux();
    benchIdle(0, seconds);
    benchIdle(4, seconds);
    return 0;
}
