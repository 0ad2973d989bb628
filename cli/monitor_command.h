#pragma once

#include <atomic>
#include <iosfwd>
#include <string>
#include <vector>

namespace corvane::cli {

extern const char* const kMonitorHelp;

// `drivelore-cli monitor ...`; args are those after the command name.
int monitorCommand(const std::vector<std::string>& args, bool emulated, std::ostream& out,
                   std::ostream& err, const std::atomic<int>& interrupted);

}  // namespace corvane::cli
