// drivelore-simfs: emulated devices as files, for a loop device on top, e.g.
//     drivelore-simfs /mnt/sim healthy,degraded &
//     losetup --direct-io=on -f --show /mnt/sim/disk0
//     drivelore-cli --disk /dev/loopN info

#include <csignal>
#include <iostream>
#include <string>

#include "sim/disk_fs.h"
#include "sim/profiles.h"

using namespace corvane;

int main(int argc, char** argv) {
    uint32_t blockSize = 512;
    std::string mountPoint, list;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--block-size" && i + 1 < argc) {
            blockSize = uint32_t(std::stoul(argv[++i]));
        } else if (mountPoint.empty() && a[0] != '-') {
            mountPoint = a;
        } else if (list.empty() && a[0] != '-') {
            list = a;
        } else {
            mountPoint.clear();
            break;
        }
    }
    if (mountPoint.empty() || list.empty()) {
        std::cerr << "usage: drivelore-simfs [--block-size B] MOUNTPOINT PROFILE[,PROFILE...]\n"
                     "Serves emulated devices as files disk0, disk1, ... until interrupted.\n";
        return 2;
    }
    sim::DiskFileSystem::Files files;
    std::vector<sim::EmulatedDevice> devices;
    list += ",";
    for (size_t at = 0, comma; (comma = list.find(',', at)) != std::string::npos; at = comma + 1) {
        const std::string profile = list.substr(at, comma - at);
        auto device = sim::makeProfile(profile, {blockSize, unsigned(devices.size()), nullptr});
        if (!device) {
            std::cerr << "drivelore-simfs: unknown profile or block size: " << profile << "\n";
            return 2;
        }
        files.emplace_back("disk" + std::to_string(devices.size()), device->disk);
        devices.push_back(*device);
    }
    // Waited for below rather than handled, so that the file system is always unmounted.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    sim::DiskFileSystem fs;
    const std::string error = fs.mount(mountPoint, files);
    if (!error.empty()) {
        std::cerr << "drivelore-simfs: " << error << "\n";
        return 1;
    }
    for (const auto& file : fs.files()) {
        std::cout << mountPoint << "/" << file.first << "\n";
    }
    std::cout.flush();
    int signal = 0;
    sigwait(&stop, &signal);
    fs.unmount();
    return 0;
}
