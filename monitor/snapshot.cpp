#include "monitor/snapshot.h"

#include <cstdio>
#include <map>

#include "dcp/payload.h"
#include "drl/device_key.h"
#include "os/device_listener.h"

namespace corvane::cli {
namespace {

std::string hex(const std::vector<uint8_t>& bytes) {
    std::string out;
    char two[3];
    for (uint8_t b : bytes) {
        std::snprintf(two, sizeof two, "%02x", b);
        out += two;
    }
    return out;
}

template <class Response>
std::shared_ptr<Response> ask(drl::CvnStorageManager& core, drl::DrlDevId id,
                              const dcp::DcpRequest& request, uint32_t* result) {
    dcp::DcpResponse* response = nullptr;
    *result = core.execute(id, &request, &response);
    if (*result != drl::Ok) {
        return nullptr;
    }
    return std::shared_ptr<Response>(static_cast<Response*>(response));
}

}  // namespace

std::vector<DeviceSnapshot> takeSnapshots(drl::CvnStorageManagerImpl& core) {
    std::vector<drl::DrlDevId> ids;
    core.getDevices(&ids);
    std::vector<DeviceSnapshot> out;
    for (drl::DrlDevId id : ids) {
        DeviceSnapshot s;
        s.devId = id;
        drl::DeviceRecord record;
        if (!core.lookup(id, &record)) {
            continue;  // dropped since the list was taken
        }
        s.serialText = hex(record.serialNumber);
        s.diskNumber = record.driveNumber;
        uint32_t r = 0;
        s.info = ask<dcp::DcpRespInfo>(core, id, dcp::DcpReqGetInfo(), &r);
        s.initializing = r == drl::DeviceInitializing;
        if (s.info) {
            for (uint32_t bay = 0; bay < dcp::kDriveBays; ++bay) {
                s.drives[bay] =
                    ask<dcp::DcpRespDriveInfo>(core, id, dcp::DcpReqGetDriveInfo(bay), &r);
            }
            s.progress = ask<dcp::DcpRespProgress>(core, id, dcp::DcpReqGetProgress(), &r);
        }
        out.push_back(std::move(s));
    }
    std::map<std::string, unsigned> serials;
    for (const DeviceSnapshot& s : out) {
        ++serials[s.serialText];
    }
    for (DeviceSnapshot& s : out) {
        s.sharedSerial = serials[s.serialText] > 1;
        s.key = drl::deviceKey(s.serialText, s.diskNumber, s.sharedSerial);
    }
    return out;
}

std::string oneLineText(const std::string& latin1) {
    std::string out;
    for (unsigned char c : latin1) {
        switch (c) {
            case '\\':
                out += "\\\\";
                continue;
            case '\n':
                out += "\\n";
                continue;
            case '\r':
                out += "\\r";
                continue;
            case '\t':
                out += "\\t";
                continue;
            default:
                break;
        }
        if (c < 0x20 || (c >= 0x7F && c < 0xA0)) {
            char esc[5];
            std::snprintf(esc, sizeof esc, "\\x%02x", c);
            out += esc;
        } else {
            out += dcp::latin1ToUtf8(std::string(1, char(c)));
        }
    }
    return out;
}

std::unique_ptr<drl::CvnStorageManagerImpl> openCore(bool emulated) {
    // Emulated devices announce themselves in-process; real disks through udev.
    auto listener = os::DeviceListener::create(emulated ? os::DeviceSource::InProcess
                                                        : os::DeviceSource::Automatic);
    return std::unique_ptr<drl::CvnStorageManagerImpl>(
        static_cast<drl::CvnStorageManagerImpl*>(drl::CvnStorageManager::create(listener)));
}

}  // namespace corvane::cli
