#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dcp/records.h"
#include "drl/storage_manager_impl.h"

namespace corvane::cli {

// What one round of requests learnt about one listed device.
struct DeviceSnapshot {
    drl::DrlDevId devId = 0;
    std::string serialText;  // from the registry, so known even when the device is silent
    uint32_t diskNumber = 0;
    // What names the device in logs, states and metrics: the serial, or "serial@diskN" while
    // another listed device reports the same serial, so that the two stay apart.
    std::string key;
    bool sharedSerial = false;
    // Null when the request failed; `info` null means the device did not answer at all.
    std::shared_ptr<dcp::DcpRespInfo> info;
    std::array<std::shared_ptr<dcp::DcpRespDriveInfo>, dcp::kDriveBays> drives;
    std::shared_ptr<dcp::DcpRespProgress> progress;
    // Time left of a progressing operation, from whoever follows its reports; one snapshot
    // alone cannot tell it.
    std::optional<uint32_t> secondsLeft;
    // Each bay's trend conditions (error counters rising, hot for a while), from whoever
    // follows the readings over time; unset when nobody does.
    struct Trends {
        std::array<bool, dcp::kDriveBays> countersRising{};
        std::array<bool, dcp::kDriveBays> temperatureHigh{};
    };
    std::optional<Trends> trends;
    bool initializing = false;  // the core holds back requests while it initialises
};

// Device information, every bay and the progress of every listed device, in device order.
// Keys are unique among the snapshots.
std::vector<DeviceSnapshot> takeSnapshots(drl::CvnStorageManagerImpl& core);

// Device text (Latin-1) as one line of UTF-8: backslash and control characters become
// C-style escapes, so that a text can neither break a log line nor smuggle a terminal
// sequence, and nothing of it is lost.
std::string oneLineText(const std::string& latin1);

// The core with the listener that suits the platform.
std::unique_ptr<drl::CvnStorageManagerImpl> openCore(bool emulated);

}  // namespace corvane::cli
