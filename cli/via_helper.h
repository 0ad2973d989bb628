#pragma once

#include <iosfwd>
#include <memory>
#include <string>

#include "io/platform.h"

namespace corvane::cli {

// --via-helper: the disks through drivelore-helper, started beside this program (through
// pkexec unless root) with the disk pattern on its command line. 0, or the exit code.
int startHelper(const std::string& diskPattern, std::ostream& err);

// --via-helper with --emulated: the helper's session on a thread in front of `behind`.
std::shared_ptr<io::Platform> helperInProcess(std::shared_ptr<io::Platform> behind);

}  // namespace corvane::cli
