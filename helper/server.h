#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "io/helper_protocol.h"
#include "io/platform.h"

// The privileged side of the platform seam. It decides on its own what a request may do:
// disks only by number from its own pattern, reads of the info sector and of the mailbox
// it names, writes of a command sector or of the mailbox's previous bytes, the vendor
// command and one-block VERIFY. Everything else is answered EPERM and logged.
namespace corvane::helper {

struct Limits {
    uint32_t maxHandles = 32;
    uint32_t maxDiskNumber = 25;
    uint32_t maxScsiTimeoutMs = 60000;
    uint32_t maxLockMs = 30000;
};

using Log = std::function<void(const std::string& line)>;

class Session {
public:
    Session(io::Platform& platform, Log log, Limits limits = {});
    ~Session();

    io::helper::Answer handle(const io::helper::Request& request);
    // Decodes, handles and encodes; a body that does not decode is refused.
    std::vector<uint8_t> handleBody(const uint8_t* body, size_t size);
    size_t openHandles() const { return handles_.size(); }

private:
    struct Handle;
    io::helper::Answer refuse(const io::helper::Request& r, const std::string& why);
    io::helper::Answer open(const io::helper::Request& r);
    io::helper::Answer scsi(const io::helper::Request& r, Handle& h);
    io::helper::Answer read(const io::helper::Request& r, Handle& h);
    io::helper::Answer write(const io::helper::Request& r, Handle& h);
    io::helper::Answer verifyByReading(const io::helper::Request& r, Handle& h, uint64_t block);
    int totalBlocks(Handle& h, uint64_t* out);

    io::Platform& platform_;
    Log log_;
    Limits limits_;
    uint32_t nextHandle_ = 1;
    std::map<uint32_t, std::unique_ptr<Handle>> handles_;
};

struct ServeOptions {
    uint32_t idleMs = 600000;     // no request for this long: the client is gone
    uint32_t messageMs = 10000;   // a started message must be complete within this
    uint32_t pollSliceMs = 1000;  // how often the clock is looked at while waiting
};

enum class ServeEnd { InputClosed, Idle, Stalled, Truncated, Oversized, ReadFailed, WriteFailed };
const char* serveEndText(ServeEnd end);

// Serves length-prefixed requests from inFd with answers on outFd until the input closes
// or a time-out passes; times come from the os clock.
ServeEnd serve(Session& session, int inFd, int outFd, const ServeOptions& options, const Log& log);

}  // namespace corvane::helper
