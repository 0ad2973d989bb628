// drivelore-tcmu: an emulated device as the user-space backstore of a kernel SCSI target
// (target_core_user), so that a tcm_loop disk in front of it is a real sd disk whose every
// command, the vendor command included, reaches the emulator. Set up the backstore with
// dev_config=drl/NAME, enable it, start this program, then link the backstore to a LUN:
//     drivelore-tcmu --config drl/NAME --profile healthy [--block-size 4096] &
// Faults of the vendor command, each for the first --times N commands (default all):
//     --refuse     CHECK CONDITION, ILLEGAL REQUEST
//     --short N    only N bytes of the data phase (the kernel reports the residual); N >= 1:
//                  the initiator saw a length of 0 as a whole data phase of stale bytes
//     --late MS    answered MS milliseconds late
//     --deferred   CHECK CONDITION with a deferred MEDIUM ERROR
// The disk's SCSI product name is NAME. SIGUSR1 is a reset of the device: the next command gets a
// UNIT ATTENTION.
// --stats FILE is rewritten after every command: what the device saw, for the checks.

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "sim/firmware.h"
#include "sim/profiles.h"
#include "sim/scsi.h"

using namespace corvane;

namespace {

// The ring's layout as target_core_user defines it (its header does not compile as C++).
constexpr uint32_t kOpMask = 0x7;
constexpr uint32_t kOpCmd = 1;
constexpr uint8_t kReadLengthFlag = 0x2;
constexpr size_t kMailboxHead = 12, kMailboxTail = 64;
constexpr size_t kEntryUflags = 7, kEntryIovCount = 8, kEntryCdbOffset = 24, kEntryIov = 48;
constexpr size_t kEntryStatus = 8, kEntryReadLength = 12, kEntrySense = 16;

template <typename T>
T load(const uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <typename T>
void store(uint8_t* p, T v) {
    std::memcpy(p, &v, sizeof v);
}

struct Options {
    std::string config;
    std::string profile;
    uint32_t blockSize = 512;
    unsigned unit = 0;
    bool refuse = false;
    int shortBytes = -1;
    int lateMs = 0;
    bool deferred = false;
    long times = -1;
    std::string stats;
};

struct Sense {
    uint8_t status = 0;
    uint8_t bytes[18] = {};
};

Sense checkCondition(uint8_t responseCode, uint8_t key, uint8_t asc, uint8_t ascq = 0) {
    Sense s;
    s.status = 0x02;
    s.bytes[0] = responseCode;
    s.bytes[2] = key;
    s.bytes[7] = 10;
    s.bytes[12] = asc;
    s.bytes[13] = ascq;
    return s;
}

uint64_t be(const uint8_t* p, int n) {
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) {
        v = (v << 8) | p[i];
    }
    return v;
}

void putBe(uint8_t* p, uint64_t v, int n) {
    for (int i = n - 1; i >= 0; --i, v >>= 8) {
        p[i] = uint8_t(v);
    }
}

// The data phase of one command: the ring's iovecs hold offsets into the mapping.
class DataPhase {
public:
    DataPhase(uint8_t* base, const uint8_t* iov, uint32_t count) {
        for (uint32_t i = 0; i < count; ++i, iov += 16) {
            const uint64_t offset = load<uint64_t>(iov), length = load<uint64_t>(iov + 8);
            parts_.push_back({base + offset, size_t(length)});
            length_ += size_t(length);
        }
    }
    size_t length() const { return length_; }
    void put(const uint8_t* from, size_t n) {
        for (const iovec& p : parts_) {
            const size_t k = std::min(n, p.iov_len);
            std::memcpy(p.iov_base, from, k);
            from += k;
            n -= k;
        }
    }
    void get(uint8_t* to) const {
        for (const iovec& p : parts_) {
            std::memcpy(to, p.iov_base, p.iov_len);
            to += p.iov_len;
        }
    }

private:
    std::vector<iovec> parts_;
    size_t length_ = 0;
};

struct AlignedBuffer {
    explicit AlignedBuffer(size_t size) {
        if (posix_memalign(&data, 65536, size ? size : 1) != 0) {
            data = nullptr;
        }
    }
    ~AlignedBuffer() { std::free(data); }
    uint8_t* bytes() { return static_cast<uint8_t*>(data); }
    void* data = nullptr;
};

class Backstore {
public:
    Backstore(const Options& o, sim::EmulatedDevice device) : o_(o), device_(std::move(device)) {
        if (o.refuse || o.shortBytes >= 0) {
            sim::TransportFaults f;
            f.directRefused = o.refuse;
            f.answerBytes = o.shortBytes;
            device_.firmware->setFaults(f);
        }
    }

    void reset() { unitAttention_ = true; }

    // Answers one command; *readLength gets the bytes of data-in that moved.
    Sense execute(const uint8_t* cdb, DataPhase& data, uint32_t* readLength) {
        *readLength = uint32_t(data.length());
        if (unitAttention_) {
            unitAttention_ = false;
            ++unitAttentions_;
            *readLength = 0;
            return checkCondition(0x70, 0x06, 0x29);  // power on, reset or bus device reset
        }
        sim::EmulatedDisk& disk = *device_.disk;
        const uint64_t total = disk.totalBlocks();
        const uint32_t block = disk.blockSize();
        switch (cdb[0]) {
            case 0x00:  // TEST UNIT READY
            case 0x35:  // SYNCHRONIZE CACHE
            case 0x91:
                disk.flush();
                return {};
            case 0x12:
                return inquiry(cdb, data, readLength);
            case 0x25: {  // READ CAPACITY(10)
                uint8_t r[8];
                putBe(r, total - 1 > 0xFFFFFFFFull ? 0xFFFFFFFFull : total - 1, 4);
                putBe(r + 4, block, 4);
                return reply(data, r, sizeof r, readLength);
            }
            case 0x9E:  // READ CAPACITY(16)
                if ((cdb[1] & 0x1F) == 0x10) {
                    uint8_t r[32] = {};
                    putBe(r, total - 1, 8);
                    putBe(r + 8, block, 4);
                    return reply(data, r, sizeof r, readLength);
                }
                break;
            case 0x1A: {  // MODE SENSE(6): a header without pages
                const uint8_t r[4] = {3, 0, 0, 0};
                return reply(data, r, sizeof r, readLength);
            }
            case 0x5A: {
                const uint8_t r[8] = {0, 6, 0, 0, 0, 0, 0, 0};
                return reply(data, r, sizeof r, readLength);
            }
            case 0x08:
                return transfer(be(cdb + 1, 3) & 0x1FFFFF, cdb[4] ? cdb[4] : 256, false, data);
            case 0x0A:
                return transfer(be(cdb + 1, 3) & 0x1FFFFF, cdb[4] ? cdb[4] : 256, true, data);
            case 0x28:
                return transfer(be(cdb + 2, 4), be(cdb + 7, 2), false, data);
            case 0x2A:
                return transfer(be(cdb + 2, 4), be(cdb + 7, 2), true, data);
            case 0x88:
                return transfer(be(cdb + 2, 8), be(cdb + 10, 4), false, data);
            case 0x8A:
                return transfer(be(cdb + 2, 8), be(cdb + 10, 4), true, data);
            case 0x2F:
            case 0x8F:
                return passThrough(cdb, cdb[0] == 0x2F ? 10 : 16, data, readLength);
            case 0xEC:
                return vendor(cdb, data, readLength);
            default:
                break;
        }
        *readLength = 0;
        return checkCondition(0x70, sim::kSenseIllegalRequest, 0x20);
    }

    void writeStats() const {
        if (o_.stats.empty()) {
            return;
        }
        const sim::DiskCounters c = device_.disk->counters();
        const auto reserved = device_.firmware->reservedBlocks();
        std::ofstream out(o_.stats + ".new", std::ios::trunc);
        out << "vendor=" << vendor_ << " answered=" << device_.firmware->commandsAnswered()
            << " reads=" << c.reads << " writes=" << c.writes << " verifies=" << c.verifies
            << " changed=" << device_.disk->changedBlocks(reserved).size()
            << " unitAttentions=" << unitAttentions_ << "\n";
        out.close();
        std::rename((o_.stats + ".new").c_str(), o_.stats.c_str());
    }

private:
    Sense reply(DataPhase& data, const uint8_t* r, size_t n, uint32_t* readLength) {
        n = std::min(n, data.length());
        data.put(r, n);
        *readLength = uint32_t(n);
        return {};
    }

    Sense inquiry(const uint8_t* cdb, DataPhase& data, uint32_t* readLength) {
        if (cdb[1] & 1) {
            if (cdb[2] != 0) {
                *readLength = 0;
                return checkCondition(0x70, sim::kSenseIllegalRequest, 0x24);
            }
            const uint8_t pages[5] = {0, 0, 0, 1, 0};
            return reply(data, pages, sizeof pages, readLength);
        }
        uint8_t r[36] = {0, 0, 0x05, 0x02, 31};
        std::memset(r + 8, ' ', 28);
        std::memcpy(r + 8, "DRLSIM", 6);
        // The backstore's name, by which the host tells its disks apart.
        const std::string product = o_.config.substr(o_.config.rfind('/') + 1).substr(0, 16);
        std::memcpy(r + 16, product.data(), product.size());
        std::memcpy(r + 32, "0001", 4);
        return reply(data, r, sizeof r, readLength);
    }

    Sense transfer(uint64_t first, uint64_t count, bool write, DataPhase& data) {
        sim::EmulatedDisk& disk = *device_.disk;
        const size_t bytes = size_t(count) * disk.blockSize();
        if (first >= disk.totalBlocks() || count > disk.totalBlocks() - first ||
            bytes != data.length()) {
            return checkCondition(0x70, sim::kSenseIllegalRequest, 0x21);
        }
        AlignedBuffer buffer(bytes);
        size_t done = 0;
        int err = ENOMEM;
        if (buffer.data && write) {
            data.get(buffer.bytes());
            err = disk.write(buffer.data, bytes, first * disk.blockSize(), &done, this);
        } else if (buffer.data) {
            err = disk.read(buffer.data, bytes, first * disk.blockSize(), &done, this);
            data.put(buffer.bytes(), done);
        }
        if (err != 0 || done != bytes) {
            return checkCondition(0x70, sim::kSenseMediumError, write ? 0x0C : 0x11);
        }
        return {};
    }

    // The emulated disk answers as SG_IO would; its answer goes back through the ring.
    Sense passThrough(const uint8_t* cdb, uint32_t cdbLength, DataPhase& data,
                      uint32_t* readLength) {
        uint8_t command[16] = {};
        std::memcpy(command, cdb, cdbLength);
        AlignedBuffer buffer(data.length());
        uint8_t sense[32] = {};
        sg_io_hdr_t hdr;
        std::memset(&hdr, 0, sizeof hdr);
        hdr.interface_id = 'S';
        hdr.cmd_len = uint8_t(cdbLength);
        hdr.cmdp = command;
        hdr.sbp = sense;
        hdr.mx_sb_len = sizeof sense;
        hdr.dxfer_direction = data.length() ? SG_DXFER_FROM_DEV : SG_DXFER_NONE;
        hdr.dxferp = data.length() ? buffer.data : nullptr;
        hdr.dxfer_len = uint32_t(data.length());
        if (device_.disk->scsi(&hdr, this) != 0 || hdr.host_status != 0) {
            *readLength = 0;
            return checkCondition(0x70, sim::kSenseMediumError, 0x11);
        }
        const uint32_t moved = hdr.dxfer_len - uint32_t(hdr.resid < 0 ? 0 : hdr.resid);
        data.put(buffer.bytes(), moved);
        *readLength = moved;
        Sense s;
        s.status = hdr.status;
        std::memcpy(s.bytes, sense, sizeof s.bytes);
        return s;
    }

    Sense vendor(const uint8_t* cdb, DataPhase& data, uint32_t* readLength) {
        ++vendor_;
        const bool faulty = o_.times < 0 || long(vendor_) <= o_.times;
        if (!faulty) {
            device_.firmware->setFaults({});
        }
        if (faulty && o_.lateMs > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(o_.lateMs));
        }
        if (faulty && o_.deferred) {
            *readLength = 0;
            return checkCondition(0x71, sim::kSenseMediumError, 0x0C);
        }
        // The target core keeps 10 bytes of a CDB in this opcode range: the firmware
        // sees the rest as zeros.
        uint8_t command[12] = {};
        std::memcpy(command, cdb, 10);
        return passThrough(command, 12, data, readLength);
    }

    const Options o_;
    sim::EmulatedDevice device_;
    bool unitAttention_ = false;
    uint64_t vendor_ = 0;
    uint64_t unitAttentions_ = 0;
};

std::string findUio(const std::string& config) {
    namespace fs = std::filesystem;
    std::error_code ec;
    for (fs::directory_iterator it("/sys/class/uio", ec), end; !ec && it != end; it.increment(ec)) {
        std::ifstream in(it->path() / "name");
        std::string name;
        std::getline(in, name);
        // tcm-user/HBA/DEVICE/CONFIG
        if (name.size() > config.size() && name.compare(0, 9, "tcm-user/") == 0 &&
            name.compare(name.size() - config.size() - 1, std::string::npos, "/" + config) == 0) {
            return it->path().filename().string();
        }
    }
    return {};
}

bool parse(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool value = i + 1 < argc;
        if (a == "--config" && value) {
            o->config = argv[++i];
        } else if (a == "--profile" && value) {
            o->profile = argv[++i];
        } else if (a == "--block-size" && value) {
            o->blockSize = uint32_t(std::strtoul(argv[++i], nullptr, 10));
        } else if (a == "--unit" && value) {
            o->unit = unsigned(std::strtoul(argv[++i], nullptr, 10));
        } else if (a == "--short" && value) {
            o->shortBytes = std::atoi(argv[++i]);
            if (o->shortBytes < 1) {
                return false;
            }
        } else if (a == "--late" && value) {
            o->lateMs = std::atoi(argv[++i]);
        } else if (a == "--times" && value) {
            o->times = std::atol(argv[++i]);
        } else if (a == "--stats" && value) {
            o->stats = argv[++i];
        } else if (a == "--refuse") {
            o->refuse = true;
        } else if (a == "--deferred") {
            o->deferred = true;
        } else {
            return false;
        }
    }
    return !o->config.empty() && !o->profile.empty();
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, &o)) {
        std::cerr << "usage: drivelore-tcmu --config drl/NAME --profile P [--block-size B] "
                     "[--unit N] [--refuse] [--short N] [--late MS] [--deferred] [--times N] "
                     "[--stats FILE]\n";
        return 2;
    }
    auto device = sim::makeProfile(o.profile, {o.blockSize, o.unit, nullptr});
    if (!device) {
        std::cerr << "drivelore-tcmu: unknown profile or block size\n";
        return 2;
    }
    device->disk->fillWithPattern(0xD15C0000u + o.unit);
    const std::string uio = findUio(o.config);
    if (uio.empty()) {
        std::cerr << "drivelore-tcmu: no UIO device for " << o.config << "\n";
        return 1;
    }
    std::ifstream sizeFile("/sys/class/uio/" + uio + "/maps/map0/size");
    size_t mapSize = 0;
    sizeFile >> std::hex >> mapSize;
    const int fd = ::open(("/dev/" + uio).c_str(), O_RDWR | O_CLOEXEC);
    void* map = fd < 0 || mapSize == 0
                    ? MAP_FAILED
                    : mmap(nullptr, mapSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        std::cerr << "drivelore-tcmu: cannot map /dev/" << uio << ": " << std::strerror(errno)
                  << "\n";
        return 1;
    }
    auto* base = static_cast<uint8_t*>(map);
    const uint32_t ringOffset = load<uint32_t>(base + 4), ringSize = load<uint32_t>(base + 8);

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGUSR1);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    const int sfd = signalfd(-1, &signals, SFD_CLOEXEC);

    Backstore backstore(o, *device);
    backstore.writeStats();
    std::cout << "drivelore-tcmu: serving " << o.profile << " on /dev/" << uio << std::endl;
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {sfd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR) {
            return 1;
        }
        if (fds[1].revents & POLLIN) {
            signalfd_siginfo info;
            if (read(sfd, &info, sizeof info) == sizeof info) {
                if (info.ssi_signo != SIGUSR1) {
                    return 0;
                }
                backstore.reset();
            }
        }
        if (fds[0].revents & POLLIN) {
            uint32_t events = 0;
            if (read(fd, &events, sizeof events) != sizeof events) {
                return 1;
            }
        }
        bool completed = false;
        uint32_t tail = load<uint32_t>(base + kMailboxTail);
        for (;;) {
            uint32_t head;
            __atomic_load(reinterpret_cast<uint32_t*>(base + kMailboxHead), &head,
                          __ATOMIC_ACQUIRE);
            if (tail == head) {
                break;
            }
            uint8_t* entry = base + ringOffset + tail;
            const uint32_t lenOp = load<uint32_t>(entry);
            if ((lenOp & kOpMask) == kOpCmd) {
                // The response overlays the request: take what it holds first.
                DataPhase data(base, entry + kEntryIov, load<uint32_t>(entry + kEntryIovCount));
                const uint8_t* cdb = base + load<uint64_t>(entry + kEntryCdbOffset);
                uint32_t readLength = 0;
                const Sense s = backstore.execute(cdb, data, &readLength);
                entry[kEntryStatus] = s.status;
                if (s.status != 0) {
                    std::memcpy(entry + kEntrySense, s.bytes, sizeof s.bytes);
                } else if (readLength < data.length()) {
                    entry[kEntryUflags] |= kReadLengthFlag;
                    store<uint32_t>(entry + kEntryReadLength, readLength);
                }
                backstore.writeStats();
                completed = true;
            }
            tail = (tail + (lenOp & ~kOpMask)) % ringSize;
            __atomic_store(reinterpret_cast<uint32_t*>(base + kMailboxTail), &tail,
                           __ATOMIC_RELEASE);
        }
        if (completed) {
            const uint32_t kick = 0;
            if (write(fd, &kick, sizeof kick) != sizeof kick) {
                return 1;
            }
        }
    }
}
