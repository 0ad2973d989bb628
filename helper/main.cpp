// drivelore-helper: started through pkexec by a program that runs without root, it runs the
// device exchanges of the disks of its pattern for that program over its standard input
// and output (see server.h).
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "helper/in_process.h"
#include "helper/server.h"
#include "io/platform.h"

using namespace corvane;

namespace {

void logLine(const std::string& line) {
    std::fprintf(stderr, "drivelore-helper[%d]: %s\n", int(getpid()), line.c_str());
    std::fflush(stderr);
}

// Disks of the pattern, and only whole disks: a partition of one is refused.
class WholeDisks final : public io::Platform {
public:
    explicit WholeDisks(const std::string& pattern) : linux_(io::makeLinuxPlatform(pattern)) {}

    std::unique_ptr<io::Disk> openDisk(unsigned n, int* errorOut) override {
        *errorOut = 0;
        const std::string path = linux_->diskPath(n);
        struct stat st {};
        if (stat(path.c_str(), &st) != 0) {
            *errorOut = errno;
            return nullptr;
        }
        if (!S_ISBLK(st.st_mode)) {
            logLine("refused open of " + path + ": not a block device");
            *errorOut = EPERM;
            return nullptr;
        }
        const std::string sys = "/sys/dev/block/" + std::to_string(major(st.st_rdev)) + ":" +
                                std::to_string(minor(st.st_rdev)) + "/partition";
        if (access(sys.c_str(), F_OK) == 0) {
            logLine("refused open of " + path + ": a partition, not a whole disk");
            *errorOut = EPERM;
            return nullptr;
        }
        return linux_->openDisk(n, errorOut);
    }
    std::unique_ptr<io::Disk> openPath(const std::string&, int* errorOut) override {
        *errorOut = EPERM;
        return nullptr;
    }
    std::string diskPath(unsigned n) const override { return linux_->diskPath(n); }

private:
    std::shared_ptr<io::Platform> linux_;
};

int usage(const char* why) {
    std::fprintf(stderr,
                 "drivelore-helper: %s\n"
                 "usage: drivelore-helper [--disk-pattern /dev/PATTERN]\n"
                 "Runs the device exchanges of drivelore on standard input and output; "
                 "started by drivelore itself.\n",
                 why);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    // pkexec sets this one itself; everything else in the environment is the caller's and
    // nothing below may read it.
    const bool underPkexec = std::getenv("PKEXEC_UID") != nullptr;
    clearenv();
    std::string pattern = io::helper::kBuiltInPattern;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--disk-pattern" && i + 1 < argc) {
            pattern = argv[++i];
        } else {
            return usage(("unexpected argument " + a).c_str());
        }
    }
    std::string why;
    if (!helper::patternAllowed(pattern, underPkexec, geteuid() == 0, &why)) {
        return usage(why.c_str());
    }
    // Answers go out on a private copy of standard output; anything else that writes to
    // standard output lands on standard error instead of inside the protocol.
    const int out = fcntl(1, F_DUPFD_CLOEXEC, 3);
    if (out < 0 || dup2(2, 1) < 0) {
        logLine(std::string("cannot set up standard output: ") + std::strerror(errno));
        return 1;
    }
    // No debug notes: the helper now runs every exchange, and its standard error is the
    // caller's terminal.
    WholeDisks disks(pattern);
    helper::Session session(disks, logLine);
    const helper::ServeEnd end = helper::serve(session, 0, out, {}, logLine);
    return end == helper::ServeEnd::InputClosed ? 0 : 1;
}
