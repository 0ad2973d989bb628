#pragma once

#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "sim/emulated_disk.h"

struct fuse;

namespace corvane::sim {

// Serves emulated disks as the files of a FUSE file system, without the page cache, so
// that a loop device on such a file puts the kernel's block layer between a host and the
// emulated firmware. Transfers keep the disk's O_DIRECT rules, except that a read may be
// unaligned (it is widened to whole blocks). The kernel's loop devices have no SG_IO to
// the firmware, so a host reaches it through the in-band mailbox.
class DiskFileSystem {
public:
    using Files = std::vector<std::pair<std::string, std::shared_ptr<EmulatedDisk>>>;

    DiskFileSystem() = default;
    ~DiskFileSystem();
    DiskFileSystem(const DiskFileSystem&) = delete;
    DiskFileSystem& operator=(const DiskFileSystem&) = delete;

    // Mounts at an existing folder and serves on a thread of its own. Empty on success,
    // else what went wrong. Needs /dev/fuse and, for a loop device on top, root.
    std::string mount(const std::string& mountPoint, Files files);
    // Unmounts and ends the serving thread; detach loop devices on the files first.
    void unmount();

    const Files& files() const { return files_; }

private:
    Files files_;
    fuse* fuse_ = nullptr;
    std::string mountPoint_;
    std::thread loop_;
};

}  // namespace corvane::sim
