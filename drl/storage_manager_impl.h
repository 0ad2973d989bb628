#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "drl/storage_manager.h"
#include "os/device_listener.h"
#include "os/os.h"

namespace corvane::drl {

struct DeviceRecord {
    uint32_t driveNumber = 0;
    std::vector<uint8_t> serialNumber;
    uint32_t configurationKey = 0;
    bool initializing = false;
    uint32_t initializingSince = 0;
};

// One periodic request.
struct AsyncComm {
    uint32_t commId = 0;
    DrlDevId device = 0;
    std::shared_ptr<dcp::DcpRequest> request;
    uint32_t intervalMs = 0;
    uint32_t lastRunTick = 0;
    bool once = false;  // executeAsync: run once, report either way
};

// What one scan found on one disk.
struct FoundDevice {
    uint32_t driveNumber = 0;
    std::vector<uint8_t> serialNumber;
    uint32_t configurationKey = 0;
};

constexpr uint32_t kDiskCount = 26;
constexpr uint32_t kIdleSleepMs = 10;
constexpr uint32_t kInitializingHoldMs = 60000;

class CvnStorageManagerImpl final : public CvnStorageManager, public os::OsThread {
public:
    explicit CvnStorageManagerImpl(std::shared_ptr<os::DeviceListener> listener);
    // Stops the worker. It is never cut inside a device exchange: it ends at its next
    // check, between two disks of a scan or two periodic requests, so this returns at most
    // one exchange after the stop was asked for.
    ~CvnStorageManagerImpl() override;

    // Locks, then the worker; false leaves nothing running.
    bool start();

    uint32_t addNotifier(DrlNotifier* notifier) override;
    uint32_t removeNotifier(DrlNotifier* notifier) override;
    uint32_t getDevices(std::vector<DrlDevId>* devices) override;
    void rescan() override;
    uint32_t execute(DrlDevId device, const dcp::DcpRequest* request,
                     dcp::DcpResponse** response) override;
    uint32_t startAsyncComm(DrlDevId device, const dcp::DcpRequest* request, uint32_t intervalMs,
                            uint32_t* commId) override;
    uint32_t executeAsync(DrlDevId device, const dcp::DcpRequest* request,
                          uint32_t* commId) override;
    uint32_t stopAsyncComm(uint32_t commId) override;

    // The merge of one scan's findings; exposed for tests of the identifier rules.
    void merge(const std::vector<FoundDevice>& found, bool* listChanged, bool* deviceReturned);
    // A copy of a device's record; false when it is not listed.
    bool lookup(DrlDevId device, DeviceRecord* out);
    // Scans disks 0 to 25; false when a stop request cut it short.
    bool scan(std::vector<FoundDevice>* found);
    // One cycle of the worker without its sleep; false once a stop was requested.
    bool cycle();
    // Waits (real time) until the worker has merged `count` scans in all.
    bool waitForScans(uint32_t count, std::chrono::milliseconds limit);
    // For tests of the locks: threads waiting for commLock or a disk's I/O lock, and
    // whether another thread holds registryLock right now (never waits).
    uint32_t commLockWaiters();
    uint32_t ioLockWaiters(uint32_t disk);
    bool registryLockHeldElsewhere();

protected:
    void run() override;

private:
    bool stopping() const { return stopFlag_.load(std::memory_order_acquire); }
    uint32_t enqueue(DrlDevId device, const dcp::DcpRequest* request, uint32_t intervalMs,
                     bool once, uint32_t* commId);
    // Under commLock: takes the queued one-shots, and with `periodic` the new periodic
    // requests and the stops, into the worker's lists.
    void adoptQueued(bool periodic);
    void runOneShots();
    // Hands a result to the observers unless its request was stopped meanwhile.
    bool deliver(const DrlEventAsyncComm& event);
    void runDueRequests();
    void notifyAll(const DrlEvent& event);

    std::shared_ptr<os::DeviceListener> listener_;
    os::MutexHandle registryLock_ = nullptr;
    std::map<DrlDevId, DeviceRecord> registry_;
    bool rescanRequested_ = false;
    bool stopRequested_ = false;
    os::MutexHandle commLock_ = nullptr;
    std::vector<DrlNotifier*> notifiers_;
    std::vector<AsyncComm> asyncComms_;
    std::vector<AsyncComm> oneShots_;  // taken from the queue, not yet run
    // Hand-over from the clients, which never wait for commLock and so never for an
    // exchange: new requests and stops, and the identifiers. Innermost lock; deliveries
    // run under it, so that a stop never misses one that is under way.
    std::recursive_mutex queueLock_;
    std::vector<AsyncComm> queued_;
    std::set<uint32_t> stopped_;
    uint32_t nextCommId_ = 0;
    std::atomic<bool> woken_{false};
    // One per disk number: exchanges on one disk stay apart, while a disk that hangs
    // until its pass-through timeout holds up no request to another.
    os::MutexHandle ioLocks_[kDiskCount] = {};

    std::mutex scansMutex_;
    std::condition_variable scansDone_;
    uint32_t scans_ = 0;

    // stopRequested_ mirrored for checks that must not wait for registryLock.
    std::atomic<bool> stopFlag_{false};
};

}  // namespace corvane::drl
