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

// The privileged side of the seam. A client names a disk by number (from the helper's own
// pattern) and asks one thing: its geometry, the mount points on it, or one exchange of a
// sub-command, which the session runs whole with the exchange lock. Only the identity
// question goes to a device not known as ours. Everything else is answered EPERM and logged.
namespace corvane::helper {

struct Limits {
    uint32_t maxDiskNumber = io::helper::kMaxDiskNumber;
};

using Log = std::function<void(const std::string& line)>;

class Session {
public:
    Session(io::Platform& platform, Log log, Limits limits = {});
    ~Session();

    io::helper::Answer handle(const io::helper::Request& request);
    // Decodes, handles and encodes; a body that does not decode is refused.
    std::vector<uint8_t> handleBody(const uint8_t* body, size_t size);

private:
    struct Opened;
    io::helper::Answer refuse(const io::helper::Request& r, const std::string& why);
    enum class Owner { Ours, Foreign };
    Opened* disk(unsigned n, int32_t* error);
    uint32_t run(unsigned n, Opened& d, const uint8_t* request, uint8_t* response,
                 uint8_t* tooLarge);
    io::helper::Answer exchange(const io::helper::Request& r, Opened& d);
    io::helper::Answer volumes(const io::helper::Request& r);

    io::Platform& platform_;
    Log log_;
    Limits limits_;
    std::map<unsigned, std::unique_ptr<Opened>> disks_;
    // The verdict of each disk's last identity answer, kept while the disk is reopened.
    std::map<unsigned, Owner> owners_;
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
