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
    // 128 + the signal number after SIGINT (130) or SIGTERM (143)
};

// Runs one command line (without the program name). Reads confirmations from `in`.
// `interrupted` holds the number of a signal that asks to stop (0: none); it is looked at
// between exchanges, never inside one, and ends every command with 128 + that number.
int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
        std::istream& in, const std::atomic<int>& interrupted);

// A device's or a path's text as a terminal may show it: control characters (C0, DEL,
// C1) and bytes that are not UTF-8 become \xNN escapes; line feeds and tabs stay when
// multiLine is set.
std::string terminalText(const std::string& utf8, bool multiLine = false);

}  // namespace corvane::cli
