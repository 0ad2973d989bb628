#include "sim/profiles.h"

#include <cstdio>

namespace corvane::sim {
namespace {

struct Recipe {
    ProfileInfo info;
    void (*build)(DeviceModel& model, uint32_t seed);
};

uint32_t hash32(uint32_t x) {
    x ^= x >> 16;
    x *= 0x7FEB352Du;
    x ^= x >> 15;
    x *= 0x846CA68Bu;
    return x ^ (x >> 16);
}

std::string setIdFor(uint32_t key) {
    char text[32];
    std::snprintf(text, sizeof text, "CVN-R5-%08X", key);
    return text;
}

// Four drives of one set, all in their bays.
Raid fullSet(DeviceModel& model, uint32_t seed, uint64_t driveCapacity) {
    Raid raid;
    raid.configured = true;
    raid.configurationKey = hash32(seed ^ 0x5EC0A1D3u);
    raid.capacity = (kBays - 1) * (driveCapacity / 4096 * 4096);
    raid.setId = setIdFor(raid.configurationKey);
    for (unsigned bay = 0; bay < kBays; ++bay) {
        Drive d = makeDrive(driveCapacity, seed, bay);
        d.member = Member::Active;
        d.raidSetId = raid.setId;
        model.setDrive(bay, d);
    }
    return raid;
}

void healthy(DeviceModel& model, uint32_t seed) {
    model.setRaid(fullSet(model, seed, kDrive4TB));
}

// Bay 3's drive died and was swapped for a blank one.
void degradedWith(DeviceModel& model, uint32_t seed, uint64_t spareCapacity) {
    model.setRaid(fullSet(model, seed, kDrive4TB));
    model.note("Drive in bay 3 stopped responding; RAID set degraded");
    model.pullDrive(2);
    Drive spare = makeDrive(spareCapacity, seed ^ 0xA5A5u, 2);
    spare.member = Member::Inactive;
    spare.powerOnHours = 3;
    spare.startCount = 1;
    model.insertDrive(2, spare);
}

void degraded(DeviceModel& model, uint32_t seed) {
    degradedWith(model, seed, kDrive4TB);
}

void rebuildTooSmall(DeviceModel& model, uint32_t seed) {
    degradedWith(model, seed, kDrive3TB);
}

void rebuildFails(DeviceModel& model, uint32_t seed) {
    degradedWith(model, seed, kDrive4TB);
    ModelFaults f;
    f.rebuildFailsAt = 4150;
    model.setFaults(f);
}

void fresh(DeviceModel& model, uint32_t seed) {
    Raid raid;
    raid.configurationKey = hash32(seed ^ 0x0E11u);
    model.setRaid(raid);
    for (unsigned bay = 0; bay < kBays; ++bay) {
        Drive d = makeDrive(kDrive4TB, seed, bay);
        d.member = Member::Inactive;
        d.powerOnHours = 0;
        d.startCount = 1;
        model.setDrive(bay, d);
    }
    model.note("No RAID set found on the drives in bays 1-4");
}

void failing(DeviceModel& model, uint32_t seed) {
    Raid raid = fullSet(model, seed, kDrive4TB);
    raid.cacheDisabled = true;  // the controller stops caching writes to a doubtful set
    model.setRaid(raid);
    Drive sick = model.drive(1);
    sick.failureWarning = true;
    sick.scanErrors = 17;
    sick.badBlocksRemapped = 212;
    sick.crcErrors = 3;
    sick.temperature = 523;
    model.setDrive(1, sick);
    model.note("Drive in bay 2 reports 212 remapped blocks; failure predicted");
    model.note("Write cache disabled to protect the RAID set");
    Drive quiet = model.drive(3);
    quiet.temperature = 0;  // its sensor does not answer
    model.setDrive(3, quiet);
    Identity id = model.identity();
    id.host = HostInterface::Sata;
    model.setIdentity(id);
}

// Attached through a FireWire driver that counts 512-byte sectors in 32 bits.
void tooLarge(DeviceModel& model, uint32_t seed) {
    Raid raid = fullSet(model, seed, kDrive4TB);
    raid.host32BitLba = true;
    raid.reinitAllowed = true;
    model.setRaid(raid);
    model.note("Host addresses 2.2 TB only; RAID set larger than the host can use");
    Identity id = model.identity();
    id.model = "VRXA-QE01";
    id.productId = 21;
    id.host = HostInterface::FireWire;
    id.auxText1 = "R5 4-BAY FW800";
    model.setIdentity(id);
}

const std::vector<Recipe>& recipes() {
    static const std::vector<Recipe> list = {
        {{"healthy", "RAID-5 of four 4 TB drives, Normal"}, healthy},
        {{"degraded", "RAID-5 with one drive replaced by a blank one, ready for rebuild"},
         degraded},
        {{"new", "four new 4 TB drives, no RAID set, ready to initialise (capacity choice)"},
         fresh},
        {{"failing", "RAID-5 with a drive predicted to fail, write cache disabled"}, failing},
        {{"too-large", "12 TB RAID-5 behind a FireWire driver that sees only 1 TB of it"},
         tooLarge},
        {{"rebuild-too-small", "degraded RAID-5 whose replacement drive is too small"},
         rebuildTooSmall},
        {{"rebuild-fails", "degraded RAID-5 whose rebuild fails at 41.5 %"}, rebuildFails},
    };
    return list;
}

}  // namespace

Drive makeDrive(uint64_t capacity, uint32_t seed, unsigned bay) {
    const uint32_t h = hash32(seed * 31 + bay + 1);
    Drive d;
    d.present = true;
    d.interface = 1;
    d.capacity = capacity;
    d.link = "SATA 3.0Gb/s";
    d.model = capacity >= kDrive4TB ? "CVN-HD4000" : "CVN-HD3000";
    char serial[24];
    std::snprintf(serial, sizeof serial, "CV%c%08X", 'K' + bay, h);
    d.serial = serial;
    d.firmware = "CV14";
    d.temperature = uint16_t(352 + h % 60);
    d.powerOnHours = 2000 + h % 9000;
    d.startCount = 40 + h % 300;
    d.wwn = {0x50,
             0x01,
             0x4E,
             0xE0,
             uint8_t(h >> 24),
             uint8_t(h >> 16),
             uint8_t(h >> 8),
             uint8_t(h),
             0,
             0,
             0,
             0,
             0,
             0,
             0,
             uint8_t(bay)};
    d.slot = uint8_t(0x10 + bay);
    return d;
}

const std::vector<ProfileInfo>& profiles() {
    static const std::vector<ProfileInfo> list = [] {
        std::vector<ProfileInfo> out;
        for (const Recipe& r : recipes()) {
            out.push_back(r.info);
        }
        return out;
    }();
    return list;
}

std::vector<std::string> profileNames() {
    std::vector<std::string> names;
    for (const ProfileInfo& p : profiles()) {
        names.push_back(p.name);
    }
    return names;
}

EmulatedDevice assembleDevice(std::shared_ptr<DeviceModel> model, uint32_t blockSize) {
    EmulatedDevice device;
    const uint64_t blocks = model->mediumBytes() / blockSize;
    device.model = std::move(model);
    device.disk = std::make_shared<EmulatedDisk>(blockSize, blocks);
    device.firmware = std::make_shared<Firmware>(blockSize, blocks, device.model);
    device.disk->setFirmware(device.firmware);
    return device;
}

std::optional<EmulatedDevice> makeProfile(const std::string& name, const ProfileOptions& options) {
    const uint32_t bs = options.blockSize;
    if (bs < 512 || bs > 65536 || (bs & (bs - 1)) != 0) {
        return std::nullopt;
    }
    const auto& list = recipes();
    for (size_t index = 0; index < list.size(); ++index) {
        if (list[index].info.name != name) {
            continue;
        }
        auto model = std::make_shared<DeviceModel>(options.clock);
        Identity id;
        id.serial = {0x00,
                     0x1A,
                     0x7C,
                     uint8_t(0x10 + index),
                     0x00,
                     uint8_t(options.unit >> 16),
                     uint8_t(options.unit >> 8),
                     uint8_t(options.unit)};
        model->setIdentity(id);
        list[index].build(*model, hash32(uint32_t(index) << 20 ^ options.unit));
        EmulatedDevice device = assembleDevice(std::move(model), bs);
        device.profile = name;
        if (device.model->raid().configured) {
            device.disk->fillWithPattern(uint32_t(index * 1000 + options.unit));
        }
        return device;
    }
    return std::nullopt;
}

}  // namespace corvane::sim
