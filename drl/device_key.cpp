#include "drl/device_key.h"

#include <vector>

#include "dcp/payload.h"
#include "drl/storage_manager_impl.h"

namespace corvane::drl {

std::string deviceKey(const std::string& serialHex, uint32_t diskNumber, bool shared) {
    return shared ? serialHex + "@disk" + std::to_string(diskNumber) : serialHex;
}

std::map<DrlDevId, std::string> deviceKeys(CvnStorageManagerImpl& core) {
    std::vector<DrlDevId> ids;
    core.getDevices(&ids);
    std::map<DrlDevId, DeviceRecord> records;
    std::map<std::vector<uint8_t>, unsigned> serials;
    for (DrlDevId id : ids) {
        DeviceRecord record;
        if (core.lookup(id, &record)) {
            ++serials[record.serialNumber];
            records[id] = std::move(record);
        }
    }
    std::map<DrlDevId, std::string> out;
    for (const auto& [id, record] : records) {
        out[id] = deviceKey(dcp::hexText(record.serialNumber.data(), record.serialNumber.size()),
                            record.driveNumber, serials[record.serialNumber] > 1);
    }
    return out;
}

}  // namespace corvane::drl
