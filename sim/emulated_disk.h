#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "io/platform.h"

namespace corvane::sim {

class Firmware;

// What the emulator counts on one disk; tests prove from these what an exchange cost.
struct DiskCounters {
    uint64_t opens = 0;
    uint64_t reads = 0;
    uint64_t writes = 0;
    uint64_t flushes = 0;
    uint64_t scsiCommands = 0;  // every SG_IO request, refused ones included
    uint64_t vendorCommands = 0;
    uint64_t verifies = 0;
    uint64_t sizeQueries = 0;
    uint64_t blockSizeQueries = 0;

    uint64_t total() const {
        return reads + writes + flushes + scsiCommands + sizeQueries + blockSizeQueries;
    }
};

enum class DiskOp { Read, Write, Flush, Scsi, Size, BlockSize };

struct LoggedOp {
    DiskOp op;
    uint64_t firstBlock;  // reads and writes; for SCSI the opcode
    uint64_t blocks;
};

// A disk served in-process: sparse storage, O_DIRECT rules as the kernel enforces them,
// short transfers at the end, I/O errors on demand, SG_IO answered by a firmware or
// refused with ENOTTY.
class EmulatedDisk : public std::enable_shared_from_this<EmulatedDisk> {
public:
    EmulatedDisk(uint32_t blockSize, uint64_t totalBlocks);

    uint32_t blockSize() const { return blockSize_; }
    // A firmware that reconfigures its RAID set changes these (see CommandHandler::medium).
    uint64_t totalBlocks() const { return totalBlocks_.load(); }
    uint64_t sizeBytes() const { return uint64_t(blockSize_) * totalBlocks_.load(); }

    // Unwritten blocks read as this pattern (by default zeros), so that a test can prove
    // that nothing outside the device's reserved blocks changed.
    void fillWithPattern(uint32_t seed);
    uint8_t patternByte(uint64_t byteOffset) const;
    // Blocks (outside `reserved`) whose contents differ from the pattern.
    std::vector<uint64_t> changedBlocks(const std::vector<uint64_t>& reserved) const;

    // Raw access for tests and the firmware, bypassing counters and faults.
    void peek(uint64_t block, uint8_t* out) const;
    void poke(uint64_t block, const uint8_t* data);

    void setFirmware(std::shared_ptr<Firmware> firmware);
    std::shared_ptr<Firmware> firmware() const;

    // Faults on demand. An injector sees every operation before it runs and may fail it
    // with an errno value; 0 lets it through.
    using FaultInjector = std::function<int(DiskOp op, uint64_t firstBlock)>;
    void setFaultInjector(FaultInjector injector);
    void setSgIoSupported(bool supported);
    // A vanished disk: every operation on open handles fails with ENODEV.
    void setPresent(bool present);
    bool present() const { return present_.load(); }

    // A pass-through that hangs, as a device does until the request's timeout: while the
    // hold is on, every SG_IO request waits inside the call until the hold is lifted, then
    // runs as usual. The test lifts it instead of waiting out the timeout. A request held
    // longer than its time-out (os clock) ends as the kernel ends one that timed out: host
    // status DID_TIME_OUT, whatever the device put in the buffer left there.
    void setPassThroughHold(bool on);
    // Waits (real time, at most `limit`) until n requests are waiting in the hold.
    bool waitForHeld(unsigned n, std::chrono::milliseconds limit = std::chrono::seconds(10));

    DiskCounters counters() const;
    void resetCounters();
    std::vector<LoggedOp> log() const;
    // Two operations at once on this disk, or two exchanges interleaved in its mailbox.
    bool overlapDetected() const { return overlap_.load(); }

    // The platform's side of an open handle.
    int read(void* buffer, size_t count, uint64_t offset, size_t* done, const void* handle);
    int write(const void* buffer, size_t count, uint64_t offset, size_t* done, const void* handle);
    int scsi(sg_io_hdr_t* request, const void* handle);
    int size(uint64_t* out);
    int queryBlockSize(uint32_t* out);
    int flush();
    void opened();
    // The exchange lock of every handle on this disk, as flock on one device node.
    int lock(const void* handle, uint32_t timeoutMs);
    void unlock(const void* handle);
    // The handle holding the exchange lock, or null.
    const void* lockHolder() const;
    void closed(const void* handle);

private:
    int runScsi(sg_io_hdr_t* request);
    int checkTransfer(const void* buffer, size_t count, uint64_t offset) const;
    int fault(DiskOp op, uint64_t firstBlock);
    void record(DiskOp op, uint64_t first, uint64_t blocks);
    void syncMedium();
    uint64_t firmwareMailbox() const;
    void noteMailboxWrite(const void* handle, bool command);
    void noteMailboxRead(const void* handle, const uint8_t* data);

    struct InFlight {
        explicit InFlight(EmulatedDisk& d);
        ~InFlight();
        EmulatedDisk& disk;
    };

    const uint32_t blockSize_;
    std::atomic<uint64_t> totalBlocks_;
    uint32_t patternSeed_ = 0;
    bool patterned_ = false;

    mutable std::mutex mutex_;
    std::map<uint64_t, std::vector<uint8_t>> blocks_;
    std::shared_ptr<Firmware> firmware_;
    FaultInjector injector_;
    bool sgIo_ = true;
    std::atomic<bool> present_{true};
    DiskCounters counters_;
    std::vector<LoggedOp> log_;

    std::mutex holdMutex_;
    std::condition_variable holdChanged_;
    bool hold_ = false;
    unsigned held_ = 0;

    std::atomic<int> inFlight_{0};
    std::atomic<bool> overlap_{false};
    const void* mailboxOwner_ = nullptr;

    mutable std::mutex lockMutex_;
    std::condition_variable lockFree_;
    const void* lockHolder_ = nullptr;
    bool restorePending_ = false;
};

// Disks by number (0..25) and by path, served through the platform seam.
class EmulatedPlatform : public io::Platform {
public:
    // Plugging or unplugging is what a user does with a cable.
    void plug(unsigned diskNumber, std::shared_ptr<EmulatedDisk> disk);
    void unplug(unsigned diskNumber);
    void addPath(const std::string& path, std::shared_ptr<EmulatedDisk> disk);
    std::shared_ptr<EmulatedDisk> disk(unsigned diskNumber) const;

    std::unique_ptr<io::Disk> openDisk(unsigned diskNumber, int* errorOut) override;
    std::unique_ptr<io::Disk> openPath(const std::string& path, int* errorOut) override;
    std::string diskPath(unsigned diskNumber) const override;

    // Called after every plug and unplug, as the system announces a device change.
    void setChangeListener(std::function<void()> listener);

private:
    std::unique_ptr<io::Disk> open(std::shared_ptr<EmulatedDisk> disk, const std::string& path,
                                   int* errorOut);

    mutable std::mutex mutex_;
    std::map<unsigned, std::shared_ptr<EmulatedDisk>> byNumber_;
    std::map<std::string, std::shared_ptr<EmulatedDisk>> byPath_;
    std::function<void()> changeListener_;
};

}  // namespace corvane::sim
