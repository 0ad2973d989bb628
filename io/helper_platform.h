#pragma once

#include <sys/types.h>
#include <cstdint>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "io/helper_protocol.h"
#include "io/platform.h"

namespace corvane::io {

enum class HelperStatus {
    Connected,
    HelperMissing,  // no drivelore-helper next to the program
    PkexecMissing,  // pkexec is not installed
    Dismissed,      // the user closed the authorisation dialog
    NotAuthorised,  // polkit said no, or no authentication agent runs
    Failed,         // the helper would not start or answered wrongly
};

struct HelperStart {
    HelperStatus status = HelperStatus::Failed;
    std::string detail;  // for a log or a tooltip; English, not for translation
    bool ok() const { return status == HelperStatus::Connected; }
};

// The platform seam served by drivelore-helper over one stream socket, which becomes the
// helper's standard input and output. Requests from several threads take turns. While no
// helper runs, every open answers EACCES; connect() starts one (again). Disks opened from
// an earlier helper answer EIO once it is gone.
class HelperPlatform final : public Platform {
public:
    struct Options {
        std::vector<std::string> command;  // argv that starts the helper
        std::string diskPattern = "/dev/sd%c";
        uint32_t startMs = 180000;  // the first answer; covers the authorisation dialog
        uint32_t answerMs = 30000;  // each answer, beyond the request's own time-out
    };
    explicit HelperPlatform(Options options);
    // A helper already connected through fd (taken over); afterClose runs once the socket
    // is closed, e.g. to join an in-process server's thread.
    HelperPlatform(int fd, Options options, std::function<void()> afterClose);
    ~HelperPlatform() override;
    HelperPlatform(const HelperPlatform&) = delete;
    HelperPlatform& operator=(const HelperPlatform&) = delete;

    // Blocks until the helper answers or fails (the authorisation dialog included); run it
    // off the GUI thread to keep the window live. A running helper is kept.
    HelperStart connect();
    bool connected() const;
    // The running helper process, or -1 (none, or served in this process).
    pid_t helperPid() const;

    std::unique_ptr<Disk> openDisk(unsigned diskNumber, int* errorOut) override;
    // Refused by the helper: it opens only the disks of its own pattern.
    std::unique_ptr<Disk> openPath(const std::string& path, int* errorOut) override;
    std::string diskPath(unsigned diskNumber) const override;

    class Link;

private:
    Options options_;
    std::shared_ptr<Link> link_;
    std::mutex startMutex_;
};

// drivelore-helper for a program at ownExecutable (the running one when empty): the
// installed ../libexec/drivelore/drivelore-helper beside bin/, else the build tree's
// ../helper/drivelore-helper. Empty when neither exists.
std::string findHelper(const std::string& ownExecutable = {});
// The argv that starts it: through pkexec unless this process is root; a pattern other
// than the built-in one is named (and served to root only).
std::vector<std::string> helperCommand(const std::string& helperPath,
                                       const std::string& diskPattern, bool throughPkexec);

struct PlatformChoice {
    std::shared_ptr<Platform> platform;      // hand to setPlatform, once
    std::shared_ptr<HelperPlatform> helper;  // null when the disks are opened directly
    HelperStart start;                       // Connected when direct
};

// Root opens the disks directly (the Linux platform). Anyone else gets a HelperPlatform
// started through pkexec; when that fails it is returned all the same (no disk opens,
// the list stays empty) and helper->connect() is the retry.
PlatformChoice choosePlatform(const std::string& ownExecutable = {},
                              const std::string& diskPattern = "/dev/sd%c");

}  // namespace corvane::io
