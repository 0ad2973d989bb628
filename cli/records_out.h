#pragma once

#include <string>

#include "dcp/records.h"

namespace corvane::cli {

// One line of JSON per record, with the records' own field names.
std::string toJson(const dcp::DcpResponse& record);
// Readable text with the system's display texts; ends with a newline.
std::string toText(const dcp::DcpResponse& record);

// How long an operation still needs, to the minute: "about 2 h 10 min left".
std::string timeLeftText(uint32_t seconds);

// "12.0 TB": decimal units, as drive makers count.
std::string formatBytes(uint64_t bytes);

}  // namespace corvane::cli
