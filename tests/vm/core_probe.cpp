// drivelore-vmcore: the storage manager core the window runs, over the guest's real disks.
// It waits for the core's first scan, prints what it listed, waits for the file --go to
// exist, then asks every listed device for its information, each on a thread of its own as
// the window's thread and the core's worker do: the device --first first, and the others
// once that one has had time to hang. Prints each answer as it arrives and, once all but
// --first are in (or --limit seconds have passed), the devices still outstanding; then ends
// without waiting for them.
//     listed DRIVE ID | started DRIVE | done DRIVE RESULT SERIAL | outstanding DRIVE... | end

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "drl/storage_manager_impl.h"

using namespace corvane;

namespace {

std::mutex outputMutex;
std::condition_variable arrived;
std::set<uint32_t> pending;

void say(const std::string& line) {
    std::lock_guard<std::mutex> lock(outputMutex);
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

void ask(drl::CvnStorageManagerImpl* core, drl::DrlDevId id, uint32_t drive) {
    dcp::DcpReqGetInfo request;
    dcp::DcpResponse* response = nullptr;
    const uint32_t result = core->execute(id, &request, &response);
    std::unique_ptr<dcp::DcpResponse> owned(result == drl::Ok ? response : nullptr);
    const std::string serial =
        owned ? static_cast<dcp::DcpRespInfo*>(owned.get())->serialText : "-";
    std::lock_guard<std::mutex> lock(outputMutex);
    std::printf("done %u %u %s\n", drive, result, serial.empty() ? "-" : serial.c_str());
    std::fflush(stdout);
    pending.erase(drive);
    arrived.notify_all();
}

}  // namespace

int main(int argc, char** argv) {
    std::string go;
    long first = -1;
    int limitSeconds = 30;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--go")) {
            go = argv[i + 1];
        } else if (!std::strcmp(argv[i], "--first")) {
            first = std::atol(argv[i + 1]);
        } else if (!std::strcmp(argv[i], "--limit")) {
            limitSeconds = std::atoi(argv[i + 1]);
        }
    }
    auto* core = static_cast<drl::CvnStorageManagerImpl*>(drl::CvnStorageManager::create());
    if (!core || !core->waitForScans(1, std::chrono::seconds(limitSeconds))) {
        say("end no scan");
        _exit(1);
    }
    std::vector<drl::DrlDevId> ids;
    core->getDevices(&ids);
    std::vector<std::pair<drl::DrlDevId, uint32_t>> devices;
    for (drl::DrlDevId id : ids) {
        drl::DeviceRecord record;
        if (core->lookup(id, &record)) {
            devices.emplace_back(id, record.driveNumber);
            say("listed " + std::to_string(record.driveNumber) + " " + std::to_string(id));
        }
    }
    while (!go.empty() && access(go.c_str(), F_OK) != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // Every thread is detached: one stuck in the kernel must not keep this program alive.
    auto start = [&](const std::pair<drl::DrlDevId, uint32_t>& d) {
        {
            std::lock_guard<std::mutex> lock(outputMutex);
            pending.insert(d.second);
        }
        say("started " + std::to_string(d.second));
        std::thread(ask, core, d.first, d.second).detach();
    };
    for (const auto& d : devices) {
        if (long(d.second) == first) {
            start(d);
            // Past the one-second pass-through time-out: the disk is in the kernel's error
            // handling when the others are asked.
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        }
    }
    for (const auto& d : devices) {
        if (long(d.second) != first) {
            start(d);
        }
    }
    std::unique_lock<std::mutex> lock(outputMutex);
    arrived.wait_for(lock, std::chrono::seconds(limitSeconds), [&] {
        return pending.empty() || (pending.size() == 1 && long(*pending.begin()) == first);
    });
    std::string line = "outstanding";
    for (uint32_t drive : pending) {
        line += " " + std::to_string(drive);
    }
    std::printf("%s\nend\n", line.c_str());
    std::fflush(stdout);
    _exit(0);
}
