#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace corvane::cli {

struct ProgramOutcome {
    enum Kind { Exited, Signalled, TimedOut, NotStarted } kind = NotStarted;
    int code = 0;     // exit status, signal number, or errno when not started
    uint32_t ms = 0;  // how long it ran
};

// Runs `program` directly (no shell; a name without a slash is looked up in PATH) with
// the caller's environment plus `extraEnv`, standard input from /dev/null. A program that
// is still running after `timeoutMs` of real time is killed with its whole process group:
// the child runs in real time whatever clock the caller steps.
ProgramOutcome runProgram(const std::string& program,
                          const std::map<std::string, std::string>& extraEnv, uint32_t timeoutMs);

// "exited with status 3", "killed by signal 9", "did not finish within 500 ms", ...
std::string describe(const ProgramOutcome& outcome, uint32_t timeoutMs);

}  // namespace corvane::cli
