#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "os/clock.h"
#include "sim/device_model.h"
#include "sim/emulated_disk.h"
#include "sim/firmware.h"

namespace corvane::sim {

// A complete emulated device: the disk the OS sees, the firmware's transport half behind
// it and the firmware's model. Plug `disk` into an EmulatedPlatform to attach it:
//
//     auto device = sim::makeProfile("degraded", {4096});
//     platform->plug(3, device->disk);
//     device->model->pullDrive(1);                   // a fault of the model
//     device->firmware->setFaults(transportFaults);  // a fault of the transport
struct EmulatedDevice {
    std::string profile;
    std::shared_ptr<DeviceModel> model;
    std::shared_ptr<Firmware> firmware;
    std::shared_ptr<EmulatedDisk> disk;
};

struct ProfileOptions {
    uint32_t blockSize = 512;  // a power of two from 512 to 65536
    // Devices of one profile with different units have different serial numbers, so that
    // several can be attached at once.
    unsigned unit = 0;
    os::Clock* clock = nullptr;  // nullptr: the process-wide clock
};

struct ProfileInfo {
    std::string name;
    std::string description;
};

// In a stable order: healthy, degraded, new, failing, too-large, then the variants.
const std::vector<ProfileInfo>& profiles();
std::vector<std::string> profileNames();

// nullopt for an unknown name or an unsupported block size.
std::optional<EmulatedDevice> makeProfile(const std::string& name, const ProfileOptions& options);

// Puts a model behind a disk of the size its medium has now.
EmulatedDevice assembleDevice(std::shared_ptr<DeviceModel> model, uint32_t blockSize);

// A drive as the profiles fit them; the serial number follows from seed.
Drive makeDrive(uint64_t capacity, uint32_t seed, unsigned bay);
constexpr uint64_t kDrive4TB = 4000787030016ull;  // 7,814,037,168 sectors
constexpr uint64_t kDrive3TB = 3000592982016ull;  // 5,860,533,168 sectors

}  // namespace corvane::sim
