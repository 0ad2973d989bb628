#include "helper/server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "dcp/decoders.h"
#include "dcp/framing.h"
#include "dcp/payload.h"
#include "io/volumes.h"
#include "os/os.h"

namespace corvane::helper {

using io::helper::Answer;
using io::helper::Op;
using io::helper::Request;

struct Session::Opened {
    std::unique_ptr<io::Disk> disk;
    uint32_t blockSize = 0;
};

Session::Session(io::Platform& platform, Log log, Limits limits)
    : platform_(platform), log_(std::move(log)), limits_(limits) {}

Session::~Session() = default;

Answer Session::refuse(const Request& r, const std::string& why) {
    if (log_) {
        log_(std::string("refused ") + io::helper::opName(r.op) + " on disk " +
             std::to_string(r.disk) + ": " + why);
    }
    Answer a;
    a.op = r.op;
    a.error = EPERM;
    return a;
}

std::vector<uint8_t> Session::handleBody(const uint8_t* body, size_t size) {
    Request r;
    if (!io::helper::decode(body, size, &r)) {
        Request unknown;
        unknown.op = size > 0 ? Op(body[0]) : Op(0);
        unknown.disk = size > 1 ? body[1] : 0;
        return io::helper::encode(
            refuse(unknown, "malformed message of " + std::to_string(size) + " bytes"));
    }
    return io::helper::encode(handle(r));
}

Answer Session::handle(const Request& r) {
    Answer a;
    a.op = r.op;
    const bool known =
        r.op == Op::Hello || r.op == Op::Geometry || r.op == Op::Exchange || r.op == Op::Volumes;
    if (!known) {
        return refuse(r, "unknown request " + std::to_string(unsigned(r.op)));
    }
    const bool payloadUsed = r.op == Op::Hello || r.op == Op::Exchange;
    if (!payloadUsed && std::any_of(r.payload, r.payload + 8, [](uint8_t b) { return b; })) {
        return refuse(r, "unexpected payload");
    }
    if (r.op == Op::Hello) {
        a.result = io::helper::kProtocolVersion;
        return a;
    }
    if (r.disk > limits_.maxDiskNumber) {
        return refuse(r, "disk number out of range");
    }
    if (r.op == Op::Exchange &&
        (r.payload[0] < dcp::SubGetInfo || r.payload[0] > dcp::SubGetStatusText)) {
        return refuse(r, "unknown sub-command " + std::to_string(r.payload[0]));
    }
    Opened* d = disk(r.disk, &a.error);
    if (!d) {
        return a;
    }
    switch (r.op) {
        case Op::Geometry:
            a.value = d->blockSize;
            if ((a.error = d->disk->sizeBytes(&a.value64)) != 0) {
                disks_.erase(r.disk);  // gone or swapped: the next request opens it again
            }
            return a;
        case Op::Volumes:
            return volumes(r);
        default:
            return exchange(r, *d);
    }
}

Session::Opened* Session::disk(unsigned n, int32_t* error) {
    auto& slot = disks_[n];
    if (slot) {
        return slot.get();
    }
    auto d = std::make_unique<Opened>();
    int err = 0;
    d->disk = platform_.openDisk(n, &err);
    if (!d->disk) {
        *error = err != 0 ? err : ENODEV;
        return nullptr;
    }
    uint32_t blockSize = 0;
    if ((err = d->disk->blockSize(&blockSize)) != 0) {
        *error = err;
        return nullptr;
    }
    if (blockSize < dcp::kSectorLayoutSize || blockSize > 65536 ||
        (blockSize & (blockSize - 1)) != 0) {
        *error = EINVAL;
        return nullptr;
    }
    d->blockSize = blockSize;
    slot = std::move(d);
    return slot.get();
}

uint32_t Session::run(unsigned n, Opened& d, const uint8_t* request, uint8_t* response,
                      uint8_t* tooLarge) {
    const uint32_t result = dcp::executeCommand(
        d.disk.get(), d.blockSize, dcp::kCommandCode, request, dcp::kRequestPayloadSize, response,
        dcp::kResponsePayloadSize, tooLarge, dcp::kExchangeRetries);
    if (request[0] == dcp::SubGetInfo && result == dcp::TransportOk) {
        owners_[n] = dcp::isOwnDevice(response) ? Owner::Ours : Owner::Foreign;
    }
    return result;
}

Answer Session::exchange(const Request& r, Opened& d) {
    Answer a;
    a.op = r.op;
    uint8_t response[dcp::kResponsePayloadSize] = {};
    uint8_t tooLarge = 0;
    // Only the identity question goes to a device not known as ours; its last answer
    // decides, asked here first when the client has not asked it yet.
    if (r.payload[0] != dcp::SubGetInfo && !owners_.count(r.disk)) {
        const uint8_t probe[dcp::kRequestPayloadSize] = {dcp::SubGetInfo};
        run(r.disk, d, probe, response, &tooLarge);
    }
    const auto owner = owners_.find(r.disk);
    if (r.payload[0] != dcp::SubGetInfo &&
        (owner == owners_.end() || owner->second != Owner::Ours)) {
        return refuse(r, "not a device of ours");
    }
    a.result = run(r.disk, d, r.payload, response, &tooLarge);
    a.value = tooLarge;
    if (a.result == dcp::TransportOk) {
        a.data.assign(response, response + sizeof response);
    } else if (a.result == dcp::IoFailed) {
        disks_.erase(r.disk);  // unplugged or replaced: the next request opens it again
    }
    return a;
}

Answer Session::volumes(const Request& r) {
    Answer a;
    a.op = r.op;
    io::VolumeSources sources;
    sources.platform = &platform_;
    std::vector<io::VolumeExtents> list;
    if (!io::listVolumeExtents(&list, sources)) {
        a.error = EIO;
        return a;
    }
    for (const std::string& name : io::lettersOnDisk(list, r.disk)) {
        if (name.empty() || name.find('\0') != std::string::npos ||
            a.data.size() + name.size() + 1 > io::helper::kMaxVolumeText) {
            continue;
        }
        a.data.insert(a.data.end(), name.begin(), name.end());
        a.data.push_back(0);
    }
    return a;
}

// ---- the stream ----

namespace {

enum class Got { Ok, Closed, TimedOut, Failed };

// The input, read ahead in large pieces: one request usually costs one read.
class Input {
public:
    Input(int fd, uint32_t sliceMs) : fd_(fd), sliceMs_(sliceMs), buffer_(4096) {}

    // Exactly n bytes before the deadline (os clock), waking at least every sliceMs.
    Got take(uint8_t* p, size_t n, uint32_t start, uint32_t limitMs) {
        while (end_ - begin_ < n) {
            if (begin_ > 0) {
                std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
                end_ -= begin_;
                begin_ = 0;
            }
            // A read that left nothing behind is followed by a wait, not by a read that
            // is sure to fail: one wake-up and one read per message.
            if (drained_) {
                const uint32_t elapsed = os::tick() - start;
                if (elapsed >= limitMs) {
                    return Got::TimedOut;
                }
                pollfd pfd{fd_, POLLIN, 0};
                const int ready = poll(&pfd, 1, int(std::min(limitMs - elapsed, sliceMs_)));
                if (ready < 0 && errno != EINTR) {
                    return Got::Failed;
                }
                if (ready <= 0) {
                    continue;
                }
            }
            const size_t space = buffer_.size() - end_;
            const ssize_t r = ::read(fd_, buffer_.data() + end_, space);
            if (r > 0) {
                end_ += size_t(r);
                drained_ = size_t(r) < space;
                continue;
            }
            if (r == 0 || (r < 0 && errno == ECONNRESET)) {  // also a client that died
                return Got::Closed;
            }
            if (errno == EINTR) {
                continue;
            }
            if (errno != EAGAIN) {
                return Got::Failed;
            }
            drained_ = true;
        }
        if (n > 0) {  // an empty body has no destination to copy to
            std::memcpy(p, buffer_.data() + begin_, n);
        }
        begin_ += n;
        return Got::Ok;
    }

private:
    const int fd_;
    const uint32_t sliceMs_;
    std::vector<uint8_t> buffer_;
    size_t begin_ = 0;
    size_t end_ = 0;
    bool drained_ = false;
};

bool writeAll(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0 && errno == ENOTSOCK) {
            w = ::write(fd, p, n);
        }
        if (w < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN) {  // the input's non-blocking flag, on a socket both ways
                pollfd pfd{fd, POLLOUT, 0};
                if (poll(&pfd, 1, 1000) < 0 && errno != EINTR) {
                    return false;
                }
                continue;
            }
            return false;
        }
        p += w;
        n -= size_t(w);
    }
    return true;
}

}  // namespace

const char* serveEndText(ServeEnd end) {
    switch (end) {
        case ServeEnd::InputClosed:
            return "input closed";
        case ServeEnd::Idle:
            return "no request for too long";
        case ServeEnd::Stalled:
            return "a message stopped half-way";
        case ServeEnd::Truncated:
            return "input closed inside a message";
        case ServeEnd::Oversized:
            return "a message longer than allowed";
        case ServeEnd::ReadFailed:
            return "reading the input failed";
        case ServeEnd::WriteFailed:
            return "writing an answer failed";
    }
    return "?";
}

ServeEnd serve(Session& session, int inFd, int outFd, const ServeOptions& options, const Log& log) {
    const auto end = [&](ServeEnd e) {
        if (log && e != ServeEnd::InputClosed) {
            log(std::string("exiting: ") + serveEndText(e));
        }
        return e;
    };
    // Non-blocking, so that a read never waits past a deadline.
    const int flags = fcntl(inFd, F_GETFL);
    if (flags < 0 || fcntl(inFd, F_SETFL, flags | O_NONBLOCK) != 0) {
        return end(ServeEnd::ReadFailed);
    }
    Input input(inFd, options.pollSliceMs);
    uint32_t lastRequest = os::tick();
    std::vector<uint8_t> body;
    for (;;) {
        uint8_t header[4];
        Got g = input.take(header, 1, lastRequest, options.idleMs);
        if (g == Got::Ok) {
            const uint32_t started = os::tick();
            g = input.take(header + 1, 3, started, options.messageMs);
            if (g == Got::Ok) {
                const uint32_t length = uint32_t(header[0]) | uint32_t(header[1]) << 8 |
                                        uint32_t(header[2]) << 16 | uint32_t(header[3]) << 24;
                if (length > io::helper::kRequestBody) {
                    if (log) {
                        log("refused a message of " + std::to_string(length) + " bytes");
                    }
                    return end(ServeEnd::Oversized);
                }
                body.resize(length);
                g = input.take(body.data(), length, started, options.messageMs);
            }
            if (g == Got::Closed) {
                return end(ServeEnd::Truncated);
            }
            if (g == Got::TimedOut) {
                return end(ServeEnd::Stalled);
            }
        }
        if (g == Got::Closed) {
            return end(ServeEnd::InputClosed);
        }
        if (g == Got::TimedOut) {
            return end(ServeEnd::Idle);
        }
        if (g == Got::Failed) {
            return end(ServeEnd::ReadFailed);
        }
        lastRequest = os::tick();
        const auto answer = io::helper::frame(session.handleBody(body.data(), body.size()));
        if (!writeAll(outFd, answer.data(), answer.size())) {
            return end(ServeEnd::WriteFailed);
        }
    }
}

}  // namespace corvane::helper
