#include "sim/emulated_disk.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include "dcp/framing.h"
#include "os/clock.h"
#include "sim/firmware.h"
#include "sim/scsi.h"

namespace corvane::sim {

EmulatedDisk::InFlight::InFlight(EmulatedDisk& d) : disk(d) {
    if (disk.inFlight_.fetch_add(1) != 0) {
        disk.overlap_ = true;
    }
}

EmulatedDisk::InFlight::~InFlight() {
    disk.inFlight_.fetch_sub(1);
}

EmulatedDisk::EmulatedDisk(uint32_t blockSize, uint64_t totalBlocks)
    : blockSize_(blockSize), totalBlocks_(totalBlocks) {}

void EmulatedDisk::fillWithPattern(uint32_t seed) {
    std::lock_guard<std::mutex> lock(mutex_);
    patternSeed_ = seed;
    patterned_ = true;
}

uint8_t EmulatedDisk::patternByte(uint64_t byteOffset) const {
    if (!patterned_) {
        return 0;
    }
    uint64_t x = (byteOffset / 8) * 0x9E3779B97F4A7C15ull + patternSeed_;
    x ^= x >> 29;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 32;
    return uint8_t(x >> (8 * (byteOffset % 8)));
}

void EmulatedDisk::peek(uint64_t block, uint8_t* out) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = blocks_.find(block);
    if (it != blocks_.end()) {
        std::memcpy(out, it->second.data(), blockSize_);
        return;
    }
    for (uint32_t i = 0; i < blockSize_; ++i) {
        out[i] = patternByte(block * blockSize_ + i);
    }
}

void EmulatedDisk::poke(uint64_t block, const uint8_t* data) {
    std::lock_guard<std::mutex> lock(mutex_);
    blocks_[block].assign(data, data + blockSize_);
}

std::vector<uint64_t> EmulatedDisk::changedBlocks(const std::vector<uint64_t>& reserved) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<uint64_t> changed;
    for (const auto& [block, data] : blocks_) {
        bool isReserved = false;
        for (uint64_t r : reserved) {
            isReserved = isReserved || r == block;
        }
        if (isReserved) {
            continue;
        }
        for (uint32_t i = 0; i < blockSize_; ++i) {
            if (data[i] != patternByte(block * blockSize_ + i)) {
                changed.push_back(block);
                break;
            }
        }
    }
    return changed;
}

void EmulatedDisk::setFirmware(std::shared_ptr<Firmware> firmware) {
    std::lock_guard<std::mutex> lock(mutex_);
    firmware_ = std::move(firmware);
}

std::shared_ptr<Firmware> EmulatedDisk::firmware() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return firmware_;
}

void EmulatedDisk::setFaultInjector(FaultInjector injector) {
    std::lock_guard<std::mutex> lock(mutex_);
    injector_ = std::move(injector);
}

void EmulatedDisk::setSgIoSupported(bool supported) {
    std::lock_guard<std::mutex> lock(mutex_);
    sgIo_ = supported;
}

void EmulatedDisk::setPresent(bool present) {
    present_ = present;
}

DiskCounters EmulatedDisk::counters() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return counters_;
}

void EmulatedDisk::resetCounters() {
    std::lock_guard<std::mutex> lock(mutex_);
    counters_ = DiskCounters{};
    log_.clear();
}

std::vector<LoggedOp> EmulatedDisk::log() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
}

void EmulatedDisk::record(DiskOp op, uint64_t first, uint64_t blocks) {
    if (log_.size() < 100000) {
        log_.push_back({op, first, blocks});
    }
}

// Called under the lock before each operation. A medium of another size is a new RAID
// set: nothing of the old one survives, and it reads as zeros.
void EmulatedDisk::syncMedium() {
    uint64_t blocks = 0;
    if (firmware_ && firmware_->mediumBlocks(&blocks) && blocks != totalBlocks_) {
        totalBlocks_ = blocks;
        blocks_.clear();
        patterned_ = false;
        mailboxOwner_ = nullptr;
        restorePending_ = false;
    }
}

int EmulatedDisk::fault(DiskOp op, uint64_t firstBlock) {
    if (!present_) {
        return ENODEV;
    }
    return injector_ ? injector_(op, firstBlock) : 0;
}

// The kernel refuses O_DIRECT transfers that are not aligned to the logical block size.
int EmulatedDisk::checkTransfer(const void* buffer, size_t count, uint64_t offset) const {
    if ((reinterpret_cast<uintptr_t>(buffer) % blockSize_) != 0 || count % blockSize_ != 0 ||
        offset % blockSize_ != 0) {
        return EINVAL;
    }
    return 0;
}

void EmulatedDisk::opened() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++counters_.opens;
}

int EmulatedDisk::read(void* buffer, size_t count, uint64_t offset, size_t* done,
                       const void* handle) {
    InFlight guard(*this);
    std::lock_guard<std::mutex> lock(mutex_);
    syncMedium();
    *done = 0;
    ++counters_.reads;
    const uint64_t first = offset / blockSize_;
    record(DiskOp::Read, first, count / blockSize_);
    if (int err = checkTransfer(buffer, count, offset)) {
        return err;
    }
    const bool coversMailbox = firmware_ && count > 0 && first <= firmwareMailbox() &&
                               firmwareMailbox() < first + count / blockSize_;
    if (int err = fault(DiskOp::Read, first)) {
        // An exchange whose read-back failed has ended all the same.
        if (coversMailbox) {
            noteMailboxRead(handle, nullptr);
        }
        return err;
    }
    auto* out = static_cast<uint8_t*>(buffer);
    uint64_t block = first;
    for (size_t at = 0; at < count && block < totalBlocks_; at += blockSize_, ++block) {
        auto it = blocks_.find(block);
        if (it != blocks_.end()) {
            std::memcpy(out + at, it->second.data(), blockSize_);
        } else {
            for (uint32_t i = 0; i < blockSize_; ++i) {
                out[at + i] = patternByte(block * blockSize_ + i);
            }
        }
        if (firmware_) {
            firmware_->beforeRead(block, out + at);
            if (block == firmwareMailbox()) {
                noteMailboxRead(handle, out + at);
            }
        }
        *done += blockSize_;
    }
    return 0;
}

int EmulatedDisk::write(const void* buffer, size_t count, uint64_t offset, size_t* done,
                        const void* handle) {
    InFlight guard(*this);
    std::lock_guard<std::mutex> lock(mutex_);
    syncMedium();
    *done = 0;
    ++counters_.writes;
    const uint64_t first = offset / blockSize_;
    record(DiskOp::Write, first, count / blockSize_);
    if (int err = checkTransfer(buffer, count, offset)) {
        return err;
    }
    if (int err = fault(DiskOp::Write, first)) {
        return err;
    }
    if (count > 0 && first >= totalBlocks_) {
        return ENOSPC;
    }
    const auto* in = static_cast<const uint8_t*>(buffer);
    uint64_t block = first;
    for (size_t at = 0; at < count && block < totalBlocks_; at += blockSize_, ++block) {
        auto& stored = blocks_[block];
        stored.assign(in + at, in + at + blockSize_);
        if (firmware_) {
            if (block == firmwareMailbox()) {
                noteMailboxWrite(handle, std::memcmp(in + at, dcp::kCommandSignature, 16) == 0);
            }
            firmware_->afterWrite(block, stored.data());
        }
        *done += blockSize_;
    }
    return 0;
}

uint64_t EmulatedDisk::firmwareMailbox() const {
    return firmware_->mailboxLba();
}

// An exchange runs from the host's write of a command sector to its read of the answer,
// or, when that read shows the command untaken, to the write that restores the block;
// another handle touching the mailbox in between means two exchanges overlap. The restored
// block may itself hold a command sector (left by an exchange cut short): that write ends
// the exchange, it does not start one.
void EmulatedDisk::noteMailboxWrite(const void* handle, bool command) {
    if (mailboxOwner_ && mailboxOwner_ != handle) {
        overlap_ = true;
    }
    if (mailboxOwner_ == handle && restorePending_) {
        mailboxOwner_ = nullptr;
        restorePending_ = false;
        return;
    }
    if (command) {
        mailboxOwner_ = handle;
        restorePending_ = false;
    }
}

// `data` is the block as read, or null when the read failed.
void EmulatedDisk::noteMailboxRead(const void* handle, const uint8_t* data) {
    if (mailboxOwner_ && mailboxOwner_ != handle) {
        overlap_ = true;
    }
    if (mailboxOwner_ == handle) {
        restorePending_ = data && std::memcmp(data, dcp::kCommandSignature, 16) == 0;
        if (!restorePending_) {
            mailboxOwner_ = nullptr;
        }
    }
}

// A closed handle has no exchange left, whatever it did not finish.
void EmulatedDisk::closed(const void* handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (mailboxOwner_ == handle) {
        mailboxOwner_ = nullptr;
        restorePending_ = false;
    }
}

void EmulatedDisk::setPassThroughHold(bool on) {
    std::lock_guard<std::mutex> lock(holdMutex_);
    hold_ = on;
    holdChanged_.notify_all();
}

bool EmulatedDisk::waitForHeld(unsigned n, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(holdMutex_);
    return holdChanged_.wait_for(lock, limit, [&] { return held_ >= n; });
}

int EmulatedDisk::scsi(sg_io_hdr_t* request, const void* /*handle*/) {
    InFlight guard(*this);
    uint32_t heldMs = 0;
    {
        // Outside the disk's lock: a test may look at the disk while a request hangs.
        std::unique_lock<std::mutex> lock(holdMutex_);
        if (hold_) {
            const uint32_t since = os::clock().tick();
            ++held_;
            holdChanged_.notify_all();
            holdChanged_.wait(lock, [this] { return !hold_; });
            --held_;
            heldMs = os::clock().tick() - since;
        }
    }
    const int err = runScsi(request);
    // SG_IO's time-out 0 is the kernel's default of 60 s.
    const uint32_t timeoutMs = request && request->timeout ? request->timeout : 60000;
    if (err == 0 && heldMs > timeoutMs) {
        request->host_status = kDidTimeOut;
        request->info |= SG_INFO_CHECK;
    }
    return err;
}

int EmulatedDisk::runScsi(sg_io_hdr_t* request) {
    std::lock_guard<std::mutex> lock(mutex_);
    syncMedium();
    ++counters_.scsiCommands;
    if (!request || request->interface_id != 'S') {
        return ENOSYS;
    }
    if (!request->cmdp || request->cmd_len == 0 || request->cmd_len > 16) {
        return EINVAL;
    }
    const uint8_t opcode = request->cmdp[0];
    record(DiskOp::Scsi, opcode, 0);
    if (opcode == 0xEC) {
        ++counters_.vendorCommands;
    } else if (opcode == 0x2F || opcode == 0x8F) {
        ++counters_.verifies;
    }
    if (!sgIo_) {
        return ENOTTY;
    }
    if (int err = fault(DiskOp::Scsi, opcode)) {
        return err;
    }
    if (request->dxfer_direction != SG_DXFER_NONE && request->dxfer_len > 0 && !request->dxferp) {
        return EFAULT;
    }
    if (firmware_) {
        return firmware_->scsi(request, totalBlocks_);
    }
    return answerStandardCommand(request, totalBlocks_);
}

int EmulatedDisk::size(uint64_t* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    syncMedium();
    ++counters_.sizeQueries;
    record(DiskOp::Size, 0, 0);
    if (int err = fault(DiskOp::Size, 0)) {
        return err;
    }
    *out = sizeBytes();
    return 0;
}

int EmulatedDisk::queryBlockSize(uint32_t* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++counters_.blockSizeQueries;
    record(DiskOp::BlockSize, 0, 0);
    if (int err = fault(DiskOp::BlockSize, 0)) {
        return err;
    }
    *out = blockSize_;
    return 0;
}

int EmulatedDisk::flush() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++counters_.flushes;
    record(DiskOp::Flush, 0, 0);
    return fault(DiskOp::Flush, 0);
}

int EmulatedDisk::lock(const void* handle, uint32_t timeoutMs) {
    std::unique_lock<std::mutex> held(lockMutex_);
    // Real time, like flock: a holder is another thread in the middle of an exchange.
    if (!lockFree_.wait_for(held, std::chrono::milliseconds(timeoutMs),
                            [&] { return !lockHolder_ || lockHolder_ == handle; })) {
        return ETIMEDOUT;
    }
    lockHolder_ = handle;
    return 0;
}

void EmulatedDisk::unlock(const void* handle) {
    {
        std::lock_guard<std::mutex> held(lockMutex_);
        if (lockHolder_ != handle) {
            return;
        }
        lockHolder_ = nullptr;
    }
    lockFree_.notify_all();
}

const void* EmulatedDisk::lockHolder() const {
    std::lock_guard<std::mutex> held(lockMutex_);
    return lockHolder_;
}

namespace {

class EmulatedHandle final : public io::Disk {
public:
    EmulatedHandle(std::shared_ptr<EmulatedDisk> disk, std::string path)
        : disk_(std::move(disk)), path_(std::move(path)) {}

    ~EmulatedHandle() override { close(); }

    int close() override {
        if (disk_) {
            disk_->unlock(this);
            disk_->closed(this);
            disk_.reset();
        }
        return 0;
    }
    int blockSize(uint32_t* out) override { return disk_ ? disk_->queryBlockSize(out) : EBADF; }
    int sizeBytes(uint64_t* out) override { return disk_ ? disk_->size(out) : EBADF; }
    int scsi(sg_io_hdr_t* request) override { return disk_ ? disk_->scsi(request, this) : EBADF; }
    int readAt(void* buffer, size_t count, uint64_t offset, size_t* done) override {
        *done = 0;
        return disk_ ? disk_->read(buffer, count, offset, done, this) : EBADF;
    }
    int writeAt(const void* buffer, size_t count, uint64_t offset, size_t* done) override {
        *done = 0;
        return disk_ ? disk_->write(buffer, count, offset, done, this) : EBADF;
    }
    int flush() override { return disk_ ? disk_->flush() : EBADF; }
    int lock(uint32_t timeoutMs) override { return disk_ ? disk_->lock(this, timeoutMs) : EBADF; }
    int unlock() override {
        if (!disk_) {
            return EBADF;
        }
        disk_->unlock(this);
        return 0;
    }
    std::string path() const override { return path_; }

private:
    std::shared_ptr<EmulatedDisk> disk_;
    std::string path_;
};

}  // namespace

void EmulatedPlatform::plug(unsigned diskNumber, std::shared_ptr<EmulatedDisk> disk) {
    std::function<void()> listener;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        disk->setPresent(true);
        byNumber_[diskNumber] = std::move(disk);
        listener = changeListener_;
    }
    if (listener) {
        listener();
    }
}

void EmulatedPlatform::unplug(unsigned diskNumber) {
    std::function<void()> listener;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = byNumber_.find(diskNumber);
        if (it == byNumber_.end()) {
            return;
        }
        it->second->setPresent(false);
        byNumber_.erase(it);
        listener = changeListener_;
    }
    if (listener) {
        listener();
    }
}

void EmulatedPlatform::addPath(const std::string& path, std::shared_ptr<EmulatedDisk> disk) {
    std::lock_guard<std::mutex> lock(mutex_);
    byPath_[path] = std::move(disk);
}

std::shared_ptr<EmulatedDisk> EmulatedPlatform::disk(unsigned diskNumber) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = byNumber_.find(diskNumber);
    return it == byNumber_.end() ? nullptr : it->second;
}

void EmulatedPlatform::setChangeListener(std::function<void()> listener) {
    std::lock_guard<std::mutex> lock(mutex_);
    changeListener_ = std::move(listener);
}

std::unique_ptr<io::Disk> EmulatedPlatform::open(std::shared_ptr<EmulatedDisk> disk,
                                                 const std::string& path, int* errorOut) {
    *errorOut = 0;
    if (!disk || !disk->present()) {
        *errorOut = ENOENT;
        return nullptr;
    }
    disk->opened();
    return std::make_unique<EmulatedHandle>(std::move(disk), path);
}

std::unique_ptr<io::Disk> EmulatedPlatform::openDisk(unsigned diskNumber, int* errorOut) {
    return open(disk(diskNumber), diskPath(diskNumber), errorOut);
}

std::unique_ptr<io::Disk> EmulatedPlatform::openPath(const std::string& path, int* errorOut) {
    std::shared_ptr<EmulatedDisk> found;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = byPath_.find(path);
        if (it != byPath_.end()) {
            found = it->second;
        } else {
            for (const auto& [number, d] : byNumber_) {
                if (diskPath(number) == path) {
                    found = d;
                }
            }
        }
    }
    return open(std::move(found), path, errorOut);
}

std::string EmulatedPlatform::diskPath(unsigned diskNumber) const {
    return "/dev/sd" + std::string(1, char('a' + diskNumber % 26));
}

}  // namespace corvane::sim
