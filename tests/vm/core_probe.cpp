// drivelore-vmcore: the storage manager core the window runs, over the guest's real disks.
// It waits for the core's first scan, prints what it listed, waits for the file --go to
// exist, then asks every listed device for its information, each on a thread of its own as
// the window's thread and the core's worker do: the disk --first first, and the others once
// that one has had time to hang. Prints each answer as it arrives and, once all but --first
// are in (or --limit seconds have passed), the disks still outstanding; then ends without
// waiting for them. Disks are named by their SCSI model.
//     listed NAME | started NAME | done NAME RESULT SERIAL | outstanding NAME... | end

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "drl/storage_manager_impl.h"

using namespace corvane;

namespace {

std::mutex outputMutex;
std::condition_variable arrived;
std::set<std::string> pending;

void say(const std::string& line) {
    std::lock_guard<std::mutex> lock(outputMutex);
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

std::string model(uint32_t drive) {
    std::ifstream in("/sys/block/sd" + std::string(1, char('a' + drive)) + "/device/model");
    std::string name = "disk" + std::to_string(drive);
    in >> name;
    return name;
}

void ask(drl::CvnStorageManagerImpl* core, drl::DrlDevId id, std::string name) {
    dcp::DcpReqGetInfo request;
    dcp::DcpResponse* response = nullptr;
    const uint32_t result = core->execute(id, &request, &response);
    std::unique_ptr<dcp::DcpResponse> owned(result == drl::Ok ? response : nullptr);
    const std::string serial = owned ? static_cast<dcp::DcpRespInfo*>(owned.get())->serialText : "";
    say("done " + name + " " + std::to_string(result) + " " + (serial.empty() ? "-" : serial));
    std::lock_guard<std::mutex> lock(outputMutex);
    pending.erase(name);
    arrived.notify_all();
}

}  // namespace

int main(int argc, char** argv) {
    std::string go, first;
    int limitSeconds = 30;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--go")) {
            go = argv[i + 1];
        } else if (!std::strcmp(argv[i], "--first")) {
            first = argv[i + 1];
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
    std::vector<std::pair<drl::DrlDevId, std::string>> devices;
    for (drl::DrlDevId id : ids) {
        drl::DeviceRecord record;
        if (core->lookup(id, &record)) {
            devices.emplace_back(id, model(record.driveNumber));
            say("listed " + devices.back().second);
        }
    }
    while (!go.empty() && access(go.c_str(), F_OK) != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // The first round starts --first alone, the second the others. Every thread is
    // detached: one stuck in the kernel must not keep this program alive.
    for (const bool firstRound : {true, false}) {
        for (const auto& [id, name] : devices) {
            if ((name == first) == firstRound) {
                {
                    std::lock_guard<std::mutex> lock(outputMutex);
                    pending.insert(name);
                }
                say("started " + name);
                std::thread(ask, core, id, name).detach();
            }
        }
        // Past the one-second pass-through time-out: the disk is in the kernel's error
        // handling when the others are asked.
        std::this_thread::sleep_for(std::chrono::milliseconds(firstRound ? 1500 : 0));
    }
    std::unique_lock<std::mutex> lock(outputMutex);
    arrived.wait_for(lock, std::chrono::seconds(limitSeconds), [&] {
        return pending.empty() || (pending.size() == 1 && *pending.begin() == first);
    });
    std::string line = "outstanding";
    for (const std::string& name : pending) {
        line += " " + name;
    }
    std::printf("%s\nend\n", line.c_str());
    std::fflush(stdout);
    _exit(0);
}
