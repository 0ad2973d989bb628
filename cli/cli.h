#pragma once

#include <atomic>
#include <iosfwd>
#include <string>
#include <vector>

namespace corvane::cli {

// Exit codes of drivelore-cli.
enum ExitCode : int {
    ExitOk = 0,
    ExitNotDone = 1,    // declined at the question, or the device refused the operation
    ExitUsage = 2,      // bad command line
    ExitNotOurs = 3,    // the disk is no device of ours
    ExitIoFailure = 4,  // the disk could not be opened or the exchange failed
};

// Runs one command line (without the program name). Reads confirmations from `in`.
// `interrupted` ends `watch`.
int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
        std::istream& in, const std::atomic<bool>& interrupted);

}  // namespace corvane::cli
