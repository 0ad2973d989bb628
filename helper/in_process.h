#pragma once

#include <memory>
#include <string>

#include "helper/server.h"
#include "io/helper_platform.h"

namespace corvane::helper {

// A helper session on a thread of this process, in front of `behind`, reached through a
// HelperPlatform over a socket pair: the whole protocol and every rule, without a second
// program (tests, the benchmark, the command-line tool on emulated devices). The thread
// ends when the platform is destroyed.
std::shared_ptr<io::HelperPlatform> serveInProcess(
    std::shared_ptr<io::Platform> behind, Log log,
    const std::string& diskPattern = io::helper::kBuiltInPattern, ServeOptions options = {});

// Whether the helper may serve the disks of `pattern`. Started through pkexec the caller is
// not root, so only the built-in pattern is served; any other (an absolute path under /dev/
// with exactly one %c or %d and nothing that climbs out) is for root alone. *why says why
// not.
bool patternAllowed(const std::string& pattern, bool underPkexec, bool root, std::string* why);

}  // namespace corvane::helper
