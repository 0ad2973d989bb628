#pragma once

// Emulated devices served as files through FUSE, optionally behind loop devices, and
// drivelore-cli run on them in-process or as a program: the set-up shared by the tests that
// put a kernel between the tool and the emulator.

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "cli/cli.h"
#include "io/platform.h"
#include "sim/disk_fs.h"
#include "sim/profiles.h"
#include "tests/support/loop_device.h"

namespace corvane::testkit {

using Outcome = std::pair<int, std::string>;  // exit code, output

inline std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string w; in >> w;) {
        out.push_back(w);
    }
    return out;
}

// drivelore-cli in-process, standard error after standard output unless asked for apart.
inline Outcome cli(const std::vector<std::string>& args, std::string* errOut = nullptr) {
    std::ostringstream out, err;
    std::istringstream in;
    std::atomic<int> interrupted{0};
    const int code = cli::run(args, out, err, in, interrupted);
    io::setPlatform(nullptr);
    if (errOut) {
        *errOut = err.str();
        return {code, out.str()};
    }
    return {code, out.str() + err.str()};
}

// A shell command line, standard error with standard output.
inline Outcome shell(const std::string& line) {
    FILE* pipe = popen((line + " 2>&1").c_str(), "r");
    std::string out;
    char buffer[4096];
    for (size_t n; pipe && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        out.append(buffer, n);
    }
    const int status = pipe ? pclose(pipe) : -1;
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

// The report tells the controller's uptime, which moves on between two calls.
inline std::string timeless(std::string text) {
    for (size_t at; (at = text.find("Controller uptime:")) != std::string::npos;) {
        text.erase(at, text.find('<', at) - at);
    }
    return text;
}

inline std::string hex(const std::array<uint8_t, 8>& bytes) {
    std::string s;
    for (uint8_t b : bytes) {
        s += "0123456789abcdef"[b >> 4];
        s += "0123456789abcdef"[b & 15];
    }
    return s;
}

// Why emulated devices cannot be served through FUSE, or empty when they can.
inline std::string fuseUnavailable() {
    if (geteuid() != 0 || access("/dev/fuse", R_OK | W_OK) != 0) {
        return "serving emulated disks needs root and /dev/fuse";
    }
    return {};
}

// Disks as the files of a fresh folder, served for the object's lifetime; loop devices on
// them go first, since the file system cannot go while they hold its files.
struct ServedDevices {
    ~ServedDevices() {
        loops.clear();
        fs.unmount();
        if (!dir.empty()) {
            rmdir(dir.c_str());
        }
    }
    // Empty when served, else why not.
    std::string serve(const sim::DiskFileSystem::Files& files) {
        char name[] = "/tmp/drl-simfs-XXXXXX";
        if (!mkdtemp(name)) {
            return std::string("mkdtemp: ") + std::strerror(errno);
        }
        dir = name;
        return fs.mount(dir, files);
    }
    // disk0, disk1, ...: a device of each profile, units counted from firstUnit.
    std::string serve(const std::vector<std::string>& profiles, uint32_t blockSize,
                      unsigned firstUnit = 0) {
        sim::DiskFileSystem::Files files;
        for (const std::string& p : profiles) {
            devices.push_back(
                *sim::makeProfile(p, {blockSize, firstUnit + unsigned(files.size())}));
            files.emplace_back("disk" + std::to_string(files.size()), devices.back().disk);
        }
        return serve(files);
    }
    std::string path(const std::string& file) const { return dir + "/" + file; }
    // A loop device with direct I/O on the file; an errno value.
    int loop(const std::string& file, uint32_t blockSize) {
        loops.push_back(std::make_unique<LoopDevice>());
        return loops.back()->attach(path(file), blockSize, true);
    }

    std::string dir;
    sim::DiskFileSystem fs;
    std::vector<sim::EmulatedDevice> devices;
    std::vector<std::unique_ptr<LoopDevice>> loops;
};

}  // namespace corvane::testkit
