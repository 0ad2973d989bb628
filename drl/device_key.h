#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "drl/storage_manager.h"

namespace corvane::drl {

class CvnStorageManagerImpl;

// What names a device in logs, states, histories and metrics: its serial in lower-case
// hex, or "serial@diskN" (N its disk number) while another listed device reports the same
// serial, so that the two stay apart.
std::string deviceKey(const std::string& serialHex, uint32_t diskNumber, bool shared);
// The key of every listed device.
std::map<DrlDevId, std::string> deviceKeys(CvnStorageManagerImpl& core);

}  // namespace corvane::drl
