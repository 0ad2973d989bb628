#include "monitor/exec.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

extern char** environ;

namespace corvane::cli {

ProgramOutcome runProgram(const std::string& program,
                          const std::map<std::string, std::string>& extraEnv, uint32_t timeoutMs) {
    ProgramOutcome outcome;
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) {
        const std::string entry = *e;
        if (!extraEnv.count(entry.substr(0, entry.find('=')))) {
            env.push_back(entry);
        }
    }
    for (const auto& kv : extraEnv) {
        env.push_back(kv.first + "=" + kv.second);
    }
    std::vector<char*> envp;
    for (std::string& e : env) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    std::string arg0 = program;
    char* argv[] = {arg0.data(), nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawnattr_init(&attr);
    // Its own process group, so that a time limit also ends what it started.
    posix_spawnattr_setpgroup(&attr, 0);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(
        &attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    const auto start = std::chrono::steady_clock::now();
    const int spawned = posix_spawnp(&pid, program.c_str(), &actions, &attr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (spawned != 0) {
        outcome.kind = ProgramOutcome::NotStarted;
        outcome.code = spawned;
        return outcome;
    }

    auto elapsed = [&] {
        return uint32_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count());
    };
    int status = 0;
    std::chrono::milliseconds pause(1);
    for (;;) {
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            break;
        }
        if (r < 0 && errno != EINTR) {
            outcome.kind = ProgramOutcome::NotStarted;
            outcome.code = errno;
            return outcome;
        }
        if (elapsed() >= timeoutMs) {
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            outcome.kind = ProgramOutcome::TimedOut;
            outcome.ms = elapsed();
            return outcome;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
    outcome.ms = elapsed();
    if (WIFEXITED(status)) {
        outcome.kind = ProgramOutcome::Exited;
        outcome.code = WEXITSTATUS(status);
        // posix_spawnp reports a failed exec as exit status 127 from the child.
    } else {
        outcome.kind = ProgramOutcome::Signalled;
        outcome.code = WTERMSIG(status);
    }
    return outcome;
}

std::string describe(const ProgramOutcome& outcome, uint32_t timeoutMs) {
    switch (outcome.kind) {
        case ProgramOutcome::Exited:
            return "exited with status " + std::to_string(outcome.code);
        case ProgramOutcome::Signalled:
            return std::string("was killed by signal ") + std::to_string(outcome.code) + " (" +
                   strsignal(outcome.code) + ")";
        case ProgramOutcome::TimedOut:
            return "did not finish within " + std::to_string(timeoutMs) + " ms and was killed";
        case ProgramOutcome::NotStarted:
            break;
    }
    return std::string("could not be started: ") + std::strerror(outcome.code);
}

}  // namespace corvane::cli
