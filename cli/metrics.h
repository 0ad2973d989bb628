#pragma once

#include <atomic>
#include <iosfwd>
#include <string>
#include <vector>

namespace corvane::cli {

struct DeviceSnapshot;

extern const char* const kMetricsHelp;

// Every device's state in the Prometheus text exposition format. `followed`: snapshots of
// a run over time (the monitor's), which also tell each drive's trends.
std::string formatMetrics(const std::vector<DeviceSnapshot>& devices, bool followed = false);

// `drivelore-cli metrics [--output FILE]`; args are those after the command name.
int metricsCommand(const std::vector<std::string>& args, bool emulated, std::ostream& out,
                   std::ostream& err);

}  // namespace corvane::cli
