#include "helper/server.h"

#include <fcntl.h>
#include <poll.h>
#include <scsi/sg.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "dcp/framing.h"
#include "os/os.h"

namespace corvane::helper {

using io::helper::Answer;
using io::helper::Op;
using io::helper::Request;

namespace {

constexpr uint8_t kVendorOpcode = 0xEC;
constexpr uint8_t kVerify10 = 0x2F;
constexpr uint8_t kVerify16 = 0x8F;

struct AlignedFree {
    void operator()(uint8_t* p) const { std::free(p); }
};
using Aligned = std::unique_ptr<uint8_t, AlignedFree>;

// The disks are opened with O_DIRECT: buffers aligned to the block size, at least a page.
Aligned alignedBuffer(size_t size) {
    size_t alignment = 4096;
    while (alignment < size) {
        alignment *= 2;
    }
    void* p = nullptr;
    if (posix_memalign(&p, alignment, std::max<size_t>(size, 1)) != 0) {
        return nullptr;
    }
    std::memset(p, 0, std::max<size_t>(size, 1));
    return Aligned(static_cast<uint8_t*>(p));
}

bool validBlockSize(uint32_t b) {
    return b >= 512 && b <= io::helper::kMaxData && (b & (b - 1)) == 0;
}

uint64_t be(const uint8_t* p, int n) {
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) {
        v = (v << 8) | p[i];
    }
    return v;
}

bool allZero(const uint8_t* p, size_t n) {
    return std::all_of(p, p + n, [](uint8_t b) { return b == 0; });
}

// VERIFY without byte compare of exactly one block; the block address on success.
bool oneBlockVerify(const Request& r, uint64_t* block) {
    const uint8_t* c = r.cdb;
    if (r.cdbLength == 10 && c[0] == kVerify10 && c[1] == 0 && c[6] == 0 && be(c + 7, 2) == 1 &&
        c[9] == 0) {
        *block = be(c + 2, 4);
        return true;
    }
    if (r.cdbLength == 16 && c[0] == kVerify16 && c[1] == 0 && be(c + 10, 4) == 1 && c[14] == 0 &&
        c[15] == 0) {
        *block = be(c + 2, 8);
        return true;
    }
    return false;
}

}  // namespace

struct Session::Handle {
    std::unique_ptr<io::Disk> disk;
    unsigned number = 0;
    uint32_t blockSize = 0;
    // From the last valid info sector read on this handle.
    bool haveMailbox = false;
    uint64_t mailbox = 0;
    uint16_t tag = 0;
    bool commandAllowed = false;  // one command sector per info sector read
    bool commandWritten = false;  // the next mailbox read is the read-back
    bool haveSaved = false;       // the mailbox's bytes before the command
    bool locked = false;          // holds the device's exchange lock
    std::vector<uint8_t> saved;
};

Session::Session(io::Platform& platform, Log log, Limits limits)
    : platform_(platform), log_(std::move(log)), limits_(limits) {}

Session::~Session() = default;

Answer Session::refuse(const Request& r, const std::string& why) {
    if (log_) {
        std::string line = std::string("refused ") + io::helper::opName(r.op);
        const auto it = handles_.find(r.handle);
        if (it != handles_.end()) {
            line += " on disk " + std::to_string(it->second->number);
        }
        log_(line + ": " + why);
    }
    Answer a;
    a.op = r.op;
    a.error = EPERM;
    return a;
}

int Session::totalBlocks(Handle& h, uint64_t* out) {
    uint64_t bytes = 0;
    const int err = h.disk->sizeBytes(&bytes);
    if (err == 0) {
        *out = bytes / h.blockSize;
    }
    return err;
}

std::vector<uint8_t> Session::handleBody(const uint8_t* body, size_t size) {
    Request r;
    if (!io::helper::decode(body, size, &r)) {
        Request unknown;
        unknown.op = size > 0 ? Op(body[0]) : Op(0);
        unknown.handle = 0;
        return io::helper::encode(
            refuse(unknown, "malformed message of " + std::to_string(size) + " bytes"));
    }
    return io::helper::encode(handle(r));
}

Answer Session::handle(const Request& r) {
    Answer a;
    a.op = r.op;
    switch (r.op) {
        case Op::Hello:
            a.value = io::helper::kProtocolVersion;
            return a;
        case Op::Open:
            return open(r);
        case Op::OpenPath:
            return refuse(r, "disks are opened only by number");
        case Op::Close:
        case Op::BlockSize:
        case Op::Size:
        case Op::Scsi:
        case Op::Read:
        case Op::Write:
        case Op::Flush:
        case Op::Lock:
        case Op::Unlock:
            break;
        default:
            return refuse(r, "unknown request " + std::to_string(unsigned(r.op)));
    }
    const auto it = handles_.find(r.handle);
    if (it == handles_.end()) {
        return refuse(r, "no open disk " + std::to_string(r.handle));
    }
    Handle& h = *it->second;
    if (r.op != Op::Write && r.op != Op::Scsi && !r.data.empty()) {
        return refuse(r, "unexpected data");
    }
    switch (r.op) {
        case Op::Close:
            a.error = h.disk->close();
            handles_.erase(it);
            return a;
        case Op::BlockSize:
            a.error = h.disk->blockSize(&a.value);
            return a;
        case Op::Size:
            a.error = h.disk->sizeBytes(&a.value64);
            return a;
        case Op::Scsi:
            return scsi(r, h);
        case Op::Read:
            return read(r, h);
        case Op::Write:
            return write(r, h);
        case Op::Flush:
            a.error = h.disk->flush();
            return a;
        case Op::Lock:
            if (r.arg > limits_.maxLockMs) {
                return refuse(r, "a wait of " + std::to_string(r.arg) + " ms for the lock");
            }
            a.error = h.disk->lock(r.arg);
            h.locked = h.locked || a.error == 0;
            return a;
        case Op::Unlock:
            a.error = h.disk->unlock();
            h.locked = h.locked && a.error != 0;
            return a;
        default:
            return refuse(r, "unknown request");
    }
}

Answer Session::open(const Request& r) {
    if (!r.data.empty()) {
        return refuse(r, "unexpected data");
    }
    if (r.arg > limits_.maxDiskNumber) {
        return refuse(r, "disk number " + std::to_string(r.arg) + " out of range");
    }
    if (handles_.size() >= limits_.maxHandles) {
        return refuse(r, "too many open disks");
    }
    Answer a;
    a.op = r.op;
    auto h = std::make_unique<Handle>();
    h->number = r.arg;
    int err = 0;
    h->disk = platform_.openDisk(r.arg, &err);
    if (!h->disk) {
        a.error = err != 0 ? err : ENODEV;
        return a;
    }
    uint32_t blockSize = 0;
    if (h->disk->blockSize(&blockSize) == 0 && validBlockSize(blockSize)) {
        h->blockSize = blockSize;
    }
    while (nextHandle_ == 0 || handles_.count(nextHandle_)) {
        ++nextHandle_;
    }
    a.value = nextHandle_++;
    handles_[a.value] = std::move(h);
    return a;
}

Answer Session::scsi(const Request& r, Handle& h) {
    uint64_t verifyBlock = 0;
    const bool vendor =
        r.cdbLength == 12 && r.cdb[0] == kVendorOpcode && r.cdb[1] == 0 && r.cdb[2] == 2;
    const bool verify = oneBlockVerify(r, &verifyBlock);
    if (!vendor && !verify) {
        return refuse(r, "SCSI command " + std::to_string(r.cdb[0]) + " of length " +
                             std::to_string(r.cdbLength) + " is not allowed");
    }
    if (r.timeoutMs == 0 || r.timeoutMs > limits_.maxScsiTimeoutMs) {
        return refuse(r, "time-out of " + std::to_string(r.timeoutMs) + " ms");
    }
    if (!r.data.empty()) {
        return refuse(r, "no command sends data to the device");
    }
    if (vendor) {
        if (r.direction != SG_DXFER_FROM_DEV || r.count == 0 || h.blockSize == 0 ||
            r.count > h.blockSize) {
            return refuse(r, "vendor command with " + std::to_string(r.count) +
                                 " bytes of data in direction " + std::to_string(r.direction));
        }
    } else if (r.direction != SG_DXFER_NONE || r.count != 0) {
        return refuse(r, "VERIFY with a data phase");
    }

    Aligned data = alignedBuffer(r.count);
    if (!data) {
        Answer a;
        a.op = r.op;
        a.error = ENOMEM;
        return a;
    }
    uint8_t cdb[16] = {};
    std::memcpy(cdb, r.cdb, r.cdbLength);
    uint8_t sense[io::helper::kSenseBytes] = {};
    sg_io_hdr_t hdr;
    std::memset(&hdr, 0, sizeof hdr);
    hdr.interface_id = 'S';
    hdr.cmd_len = r.cdbLength;
    hdr.cmdp = cdb;
    hdr.mx_sb_len = sizeof sense;
    hdr.sbp = sense;
    hdr.dxfer_direction = r.direction;
    hdr.dxfer_len = r.count;
    hdr.dxferp = r.count ? data.get() : nullptr;
    hdr.timeout = r.timeoutMs;

    Answer a;
    a.op = r.op;
    a.error = h.disk->scsi(&hdr);
    if (verify && (a.error == ENOTTY || a.error == EINVAL)) {
        // No pass-through on this disk (loop, virtio): the helper reads the block itself
        // rather than handing an arbitrary block to the client.
        return verifyByReading(r, h, verifyBlock);
    }
    if (a.error != 0) {
        return a;
    }
    a.status = hdr.status;
    a.maskedStatus = hdr.masked_status;
    a.msgStatus = hdr.msg_status;
    a.senseLength = std::min<uint8_t>(hdr.sb_len_wr, io::helper::kSenseBytes);
    a.hostStatus = hdr.host_status;
    a.driverStatus = hdr.driver_status;
    a.resid = hdr.resid;
    a.duration = hdr.duration;
    a.info = hdr.info;
    std::memcpy(a.sense, sense, a.senseLength);
    if (r.count) {
        a.data.assign(data.get(), data.get() + r.count);
    }
    return a;
}

Answer Session::verifyByReading(const Request& r, Handle& h, uint64_t block) {
    Answer a;
    a.op = r.op;
    bool good = false;
    uint64_t total = 0;
    if (h.blockSize != 0 && totalBlocks(h, &total) == 0 && block < total) {
        Aligned buffer = alignedBuffer(h.blockSize);
        size_t done = 0;
        good = buffer &&
               h.disk->readAt(buffer.get(), h.blockSize, block * h.blockSize, &done) == 0 &&
               done == h.blockSize;
    }
    a.status = good ? 0 : 2;  // CHECK CONDITION, as a failed VERIFY ends
    a.maskedStatus = good ? 0 : 1;
    return a;
}

Answer Session::read(const Request& r, Handle& h) {
    const uint32_t bs = h.blockSize;
    if (bs == 0) {
        return refuse(r, "the disk's block size is unknown");
    }
    if (r.count != bs || r.offset % bs != 0) {
        return refuse(r, std::to_string(r.count) + " bytes at byte " + std::to_string(r.offset) +
                             " are not one whole block");
    }
    Answer a;
    a.op = r.op;
    uint64_t total = 0;
    if ((a.error = totalBlocks(h, &total)) != 0) {
        return a;
    }
    const uint64_t block = r.offset / bs;
    const bool info = total >= dcp::kInfoSectorFromEnd && block == total - dcp::kInfoSectorFromEnd;
    const bool mailbox = h.haveMailbox && block == h.mailbox;
    if (!info && !mailbox) {
        return refuse(
            r, "block " + std::to_string(block) + " is neither the info sector nor the mailbox");
    }
    Aligned buffer = alignedBuffer(bs);
    if (!buffer) {
        a.error = ENOMEM;
        return a;
    }
    size_t done = 0;
    a.error = h.disk->readAt(buffer.get(), bs, r.offset, &done);
    if (a.error != 0) {
        return a;
    }
    a.value = uint32_t(done);
    a.data.assign(buffer.get(), buffer.get() + done);
    if (done != bs) {
        return a;
    }
    const uint8_t* s = buffer.get();
    if (info) {
        const bool valid =
            std::memcmp(s, dcp::kInfoSignature, 16) == 0 && dcp::sectorChecksumValid(s);
        uint64_t lba = 0;
        for (int i = 7; i >= 0; --i) {
            lba = (lba << 8) | s[18 + i];
        }
        const uint16_t tag = uint16_t(s[16] | (s[17] << 8));
        // The device's mailbox lies in the tail after its info sector, never on user data.
        const bool inTail = lba > block && lba < total;
        if (valid && !inTail && log_) {
            log_("info sector of disk " + std::to_string(h.number) + " names block " +
                 std::to_string(lba) + " outside the tail; no mailbox");
        }
        // Each exchange starts here: the mailbox is read again before a command goes in.
        h.haveSaved = false;
        h.commandWritten = false;
        if (valid && inTail) {
            h.haveMailbox = true;
            h.mailbox = lba;
            h.tag = tag;
            h.commandAllowed = tag != 0;
        } else {
            h.commandAllowed = false;
        }
    } else if (h.commandWritten) {
        h.commandWritten = false;  // the read-back; the saved bytes stay for the restore
    } else {
        h.saved.assign(s, s + bs);
        h.haveSaved = true;
    }
    return a;
}

Answer Session::write(const Request& r, Handle& h) {
    const uint32_t bs = h.blockSize;
    if (bs == 0) {
        return refuse(r, "the disk's block size is unknown");
    }
    if (r.data.size() != bs || r.offset % bs != 0) {
        return refuse(r, std::to_string(r.data.size()) + " bytes at byte " +
                             std::to_string(r.offset) + " are not one whole block");
    }
    const uint64_t block = r.offset / bs;
    if (!h.haveMailbox || block != h.mailbox) {
        return refuse(r, "block " + std::to_string(block) + " is not the mailbox");
    }
    // Another process's exchange may be under way in this mailbox.
    if (!h.locked) {
        return refuse(r, "write without the device's exchange lock");
    }
    const uint8_t* s = r.data.data();
    const bool restore = h.haveSaved && r.data == h.saved;
    bool command = false;
    if (!restore) {
        if (std::memcmp(s, dcp::kCommandSignature, 16) != 0) {
            return refuse(r, "neither a command sector nor the mailbox's previous contents");
        }
        if (!dcp::sectorChecksumValid(s) ||
            !allZero(s + dcp::kSectorLayoutSize, bs - dcp::kSectorLayoutSize)) {
            return refuse(r, "command sector with a bad checksum or bytes after its end");
        }
        const uint16_t tag = uint16_t(s[16] | (s[17] << 8));
        if (!h.commandAllowed || tag != h.tag) {
            return refuse(r, "command sector with tag " + std::to_string(tag) +
                                 " where the info sector last read allows " +
                                 (h.commandAllowed ? "tag " + std::to_string(h.tag) : "none"));
        }
        if (!h.haveSaved) {
            return refuse(r, "command sector before the mailbox was read");
        }
        command = true;
    }
    Answer a;
    a.op = r.op;
    Aligned buffer = alignedBuffer(bs);
    if (!buffer) {
        a.error = ENOMEM;
        return a;
    }
    std::memcpy(buffer.get(), s, bs);
    if (command) {
        h.commandAllowed = false;
        h.commandWritten = true;
    } else {
        h.commandWritten = false;
    }
    size_t done = 0;
    a.error = h.disk->writeAt(buffer.get(), bs, r.offset, &done);
    a.value = uint32_t(done);
    return a;
}

// ---- the stream ----

namespace {

enum class Got { Ok, Closed, TimedOut, Failed };

// The input, read ahead in large pieces: one request usually costs one read.
class Input {
public:
    Input(int fd, uint32_t sliceMs) : fd_(fd), sliceMs_(sliceMs), buffer_(1 << 17) {}

    // Exactly n bytes before the deadline (os clock), waking at least every sliceMs.
    Got take(uint8_t* p, size_t n, uint32_t start, uint32_t limitMs) {
        while (end_ - begin_ < n) {
            if (begin_ > 0) {
                std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
                end_ -= begin_;
                begin_ = 0;
            }
            const ssize_t r = ::read(fd_, buffer_.data() + end_, buffer_.size() - end_);
            if (r > 0) {
                end_ += size_t(r);
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
            const uint32_t elapsed = os::tick() - start;
            if (elapsed >= limitMs) {
                return Got::TimedOut;
            }
            pollfd pfd{fd_, POLLIN, 0};
            if (poll(&pfd, 1, int(std::min(limitMs - elapsed, sliceMs_))) < 0 && errno != EINTR) {
                return Got::Failed;
            }
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
                if (length > io::helper::kMaxRequestBody) {
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
