#include "drl/storage_manager_impl.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "dcp/dispatch.h"
#include "dcp/framing.h"
#include "io/passthrough.h"

namespace corvane::drl {

CvnStorageManager* CvnStorageManager::create() {
    return create(os::DeviceListener::create());
}

CvnStorageManager* CvnStorageManager::create(std::shared_ptr<os::DeviceListener> listener) {
    if (!listener) {
        return nullptr;
    }
    auto* core = new (std::nothrow) CvnStorageManagerImpl(std::move(listener));
    if (!core) {
        return nullptr;
    }
    if (!core->start()) {
        delete core;
        return nullptr;
    }
    return core;
}

CvnStorageManagerImpl::CvnStorageManagerImpl(std::shared_ptr<os::DeviceListener> listener)
    : listener_(std::move(listener)) {}

bool CvnStorageManagerImpl::start() {
    if (os::createMutex(&registryLock_) != os::Ok || os::createMutex(&commLock_) != os::Ok) {
        return false;
    }
    for (os::MutexHandle& io : ioLocks_) {
        if (os::createMutex(&io) != os::Ok) {
            return false;
        }
    }
    return OsThread::start(os::PriorityNormal) == os::Ok;
}

CvnStorageManagerImpl::~CvnStorageManagerImpl() {
    if (registryLock_) {
        os::MutexLock lock(registryLock_);
        stopRequested_ = true;
        stopFlag_.store(true, std::memory_order_release);
    }
    stop(1000);
    os::closeHandle(registryLock_);
    os::closeHandle(commLock_);
    for (os::MutexHandle& io : ioLocks_) {
        os::closeHandle(io);
        io = nullptr;
    }
    asyncComms_.clear();
    oneShots_.clear();
    queued_.clear();
    notifiers_.clear();
    registry_.clear();
    listener_.reset();
}

uint32_t CvnStorageManagerImpl::addNotifier(DrlNotifier* notifier) {
    if (!notifier) {
        return InvalidArgument;
    }
    {
        os::MutexLock lock(commLock_);
        if (std::find(notifiers_.begin(), notifiers_.end(), notifier) != notifiers_.end()) {
            return Ok;
        }
        notifiers_.push_back(notifier);
    }
    notifier->notify(DrlEvent(DeviceListChanged));
    return Ok;
}

uint32_t CvnStorageManagerImpl::removeNotifier(DrlNotifier* notifier) {
    os::MutexLock lock(commLock_);
    auto it = std::find(notifiers_.begin(), notifiers_.end(), notifier);
    if (it == notifiers_.end()) {
        return InvalidArgument;
    }
    notifiers_.erase(it);
    return Ok;
}

uint32_t CvnStorageManagerImpl::getDevices(std::vector<DrlDevId>* devices) {
    if (!devices) {
        return InvalidArgument;
    }
    devices->clear();
    {
        os::MutexLock lock(registryLock_);
        for (const auto& entry : registry_) {
            devices->push_back(entry.first);
        }
    }
    std::sort(devices->begin(), devices->end());
    return Ok;
}

bool CvnStorageManagerImpl::lookup(DrlDevId device, DeviceRecord* out) {
    os::MutexLock lock(registryLock_);
    auto it = registry_.find(device);
    if (it == registry_.end()) {
        return false;
    }
    *out = it->second;
    return true;
}

void CvnStorageManagerImpl::rescan() {
    os::MutexLock lock(registryLock_);
    rescanRequested_ = true;
}

uint32_t CvnStorageManagerImpl::execute(DrlDevId device, const dcp::DcpRequest* request,
                                        dcp::DcpResponse** response) {
    if (!response || !request) {
        return InvalidArgument;
    }
    uint32_t driveNumber = 0;
    uint32_t configurationKey = 0;
    {
        os::MutexLock lock(registryLock_);
        auto it = registry_.find(device);
        if (it == registry_.end()) {
            return UnknownDevice;
        }
        if (it->second.initializing) {
            return DeviceInitializing;
        }
        driveNumber = it->second.driveNumber;
        configurationKey = it->second.configurationKey;
    }
    if (request->type < dcp::TypeGetInfo || request->type > dcp::TypeRebuild) {
        return UnsupportedRequest;
    }
    if (driveNumber >= kDiskCount) {
        return DeviceIoFailed;  // no scan lists such a disk
    }

    dcp::DcpResponse* out = nullptr;
    uint32_t result;
    {
        os::MutexLock io(ioLocks_[driveNumber]);
        result = dcp::dispatchRequest(driveNumber, *request, configurationKey, &out);
    }
    if (result != Ok) {
        return result;
    }
    if (request->type == dcp::TypeInitConfiguration &&
        static_cast<const dcp::DcpRespInitConfiguration*>(out)->result == 1) {
        os::MutexLock lock(registryLock_);
        auto it = registry_.find(device);
        if (it != registry_.end()) {
            it->second.initializing = true;
            it->second.initializingSince = os::tick();
        }
    }
    *response = out;
    return Ok;
}

uint32_t CvnStorageManagerImpl::startAsyncComm(DrlDevId device, const dcp::DcpRequest* request,
                                               uint32_t intervalMs, uint32_t* commId) {
    return enqueue(device, request, intervalMs, false, commId);
}

uint32_t CvnStorageManagerImpl::executeAsync(DrlDevId device, const dcp::DcpRequest* request,
                                             uint32_t* commId) {
    const uint32_t result = enqueue(device, request, 0, true, commId);
    if (result == Ok) {
        woken_.store(true);
        os::wake();
    }
    return result;
}

uint32_t CvnStorageManagerImpl::enqueue(DrlDevId device, const dcp::DcpRequest* request,
                                        uint32_t intervalMs, bool once, uint32_t* commId) {
    // The copy below reads fields through the class that the type names.
    if (!request || dcp::checkRequest(*request) != Ok) {
        return InvalidArgument;
    }
    std::shared_ptr<dcp::DcpRequest> copy;
    {
        os::MutexLock lock(registryLock_);
        if (registry_.find(device) == registry_.end()) {
            return UnknownDevice;
        }
        switch (request->type) {
            case dcp::TypeGetInfo:
                copy = std::make_shared<dcp::DcpReqGetInfo>();
                break;
            case dcp::TypeGetDriveInfo:
                copy = std::make_shared<dcp::DcpReqGetDriveInfo>(
                    static_cast<const dcp::DcpReqGetDriveInfo*>(request)->driveIndex);
                break;
            case dcp::TypeGetStatusText:
                copy = std::make_shared<dcp::DcpReqGetStatusText>();
                break;
            case dcp::TypeGetProgress:
                copy = std::make_shared<dcp::DcpReqGetProgress>();
                break;
            default:
                return InvalidArgument;
        }
    }
    std::lock_guard<std::recursive_mutex> lock(queueLock_);
    queued_.push_back({nextCommId_, device, copy, intervalMs, os::tick() - intervalMs, once});
    if (commId) {
        *commId = nextCommId_;
    }
    ++nextCommId_;
    return Ok;
}

uint32_t CvnStorageManagerImpl::stopAsyncComm(uint32_t commId) {
    std::lock_guard<std::recursive_mutex> lock(queueLock_);
    auto it = std::find_if(queued_.begin(), queued_.end(),
                           [commId](const AsyncComm& c) { return c.commId == commId; });
    if (it != queued_.end()) {
        queued_.erase(it);
    } else if (commId < nextCommId_) {
        stopped_.insert(commId);  // the worker drops it; deliver() holds back its results
    }
    return Ok;
}

void CvnStorageManagerImpl::adoptQueued(bool periodic) {
    std::lock_guard<std::recursive_mutex> lock(queueLock_);
    const auto isStopped = [this](const AsyncComm& c) { return stopped_.count(c.commId) != 0; };
    if (periodic) {
        asyncComms_.erase(std::remove_if(asyncComms_.begin(), asyncComms_.end(), isStopped),
                          asyncComms_.end());
        oneShots_.erase(std::remove_if(oneShots_.begin(), oneShots_.end(), isStopped),
                        oneShots_.end());
        stopped_.clear();  // every stopped request is gone from both lists now
    }
    auto keep = queued_.begin();
    for (auto it = queued_.begin(); it != queued_.end(); ++it) {
        if (it->once) {
            oneShots_.push_back(std::move(*it));
        } else if (periodic) {
            asyncComms_.push_back(std::move(*it));
        } else {
            *keep++ = std::move(*it);
        }
    }
    queued_.erase(keep, queued_.end());
}

bool CvnStorageManagerImpl::deliver(const DrlEventAsyncComm& event) {
    std::lock_guard<std::recursive_mutex> lock(queueLock_);
    if (stopped_.count(event.commId)) {
        return false;
    }
    notifyAll(event);
    return true;
}

void CvnStorageManagerImpl::runOneShots() {
    while (!oneShots_.empty() && !stopping()) {
        const AsyncComm entry = std::move(oneShots_.front());
        oneShots_.erase(oneShots_.begin());
        dcp::DcpResponse* response = nullptr;
        const uint32_t result = execute(entry.device, entry.request.get(), &response);
        std::unique_ptr<dcp::DcpResponse> owned(result == Ok ? response : nullptr);
        deliver(DrlEventAsyncComm(entry.commId, entry.device, owned.get(), RequestDone, result));
    }
}

void CvnStorageManagerImpl::notifyAll(const DrlEvent& event) {
    // By index: an observer that breaks the rules and edits the list must not crash us.
    for (size_t i = 0; i < notifiers_.size(); ++i) {
        notifiers_[i]->notify(event);
    }
}

void CvnStorageManagerImpl::runDueRequests() {
    os::MutexLock lock(commLock_);
    woken_.store(false);  // before the queue is read: a later request wakes the next sleep
    adoptQueued(true);
    runOneShots();
    for (size_t i = 0; i < asyncComms_.size(); ++i) {
        if (stopping()) {
            return;
        }
        const AsyncComm entry = asyncComms_[i];
        if (uint32_t(os::tick() - entry.lastRunTick) <= entry.intervalMs) {
            continue;
        }
        dcp::DcpResponse* response = nullptr;
        if (execute(entry.device, entry.request.get(), &response) != Ok) {
            continue;  // stays due; failures are not reported
        }
        std::unique_ptr<dcp::DcpResponse> owned(response);
        deliver(DrlEventAsyncComm(entry.commId, entry.device, response));
        if (i < asyncComms_.size() && asyncComms_[i].commId == entry.commId) {
            asyncComms_[i].lastRunTick = os::tick();
        }
        // A request run once waits for one periodic exchange at most, not for the round.
        adoptQueued(false);
        runOneShots();
    }
}

bool CvnStorageManagerImpl::scan(std::vector<FoundDevice>* found) {
    for (uint32_t n = 0; n < kDiskCount; ++n) {
        if (stopping()) {
            return false;
        }
        FoundDevice device;
        bool own = false;
        {
            os::MutexLock io(ioLocks_[n]);
            int err = 0;
            io::UniqueDrive disk(io::openPhysicalDrive(n, &err));
            if (!disk) {
                continue;
            }
            io::DiskGeometry geometry;
            if (!io::getDriveGeometry(disk.get(), &geometry)) {
                continue;
            }
            own = dcp::probeDevice(disk.get(), geometry.bytesPerSector, &device.serialNumber,
                                   &device.configurationKey);
        }
        if (own) {
            device.driveNumber = n;
            found->push_back(std::move(device));
        }
    }
    return true;
}

void CvnStorageManagerImpl::merge(const std::vector<FoundDevice>& found, bool* listChanged,
                                  bool* deviceReturned) {
    os::MutexLock lock(registryLock_);
    *listChanged = false;
    *deviceReturned = false;

    std::map<DrlDevId, DeviceRecord> placed;
    for (const FoundDevice& f : found) {
        DeviceRecord record;
        record.driveNumber = f.driveNumber;
        record.serialNumber = f.serialNumber;
        record.configurationKey = f.configurationKey;
        DrlDevId key = 0;
        bool known = false;
        for (const auto& [id, current] : registry_) {
            if (current.serialNumber == f.serialNumber) {
                key = id;
                known = true;
                break;
            }
        }
        if (!known) {
            // The smallest number held neither now nor by this scan: a vanished device's
            // number is not handed to a newcomer in the same scan.
            while (registry_.count(key) || placed.count(key)) {
                ++key;
            }
        }
        placed[key] = std::move(record);
    }

    std::map<DrlDevId, DeviceRecord> result = placed;
    const uint32_t now = os::tick();
    for (const auto& [id, record] : registry_) {
        if (record.initializing) {
            if (placed.count(id)) {
                *deviceReturned = true;
            } else if (uint32_t(now - record.initializingSince) < kInitializingHoldMs) {
                result[id] = record;
            }
        }
        if (!result.count(id)) {
            const auto ofDevice = [id = id](const AsyncComm& c) {
                return c.device == id && !c.once;
            };
            os::MutexLock comm(commLock_);
            asyncComms_.erase(std::remove_if(asyncComms_.begin(), asyncComms_.end(), ofDevice),
                              asyncComms_.end());
            std::lock_guard<std::recursive_mutex> queue(queueLock_);
            queued_.erase(std::remove_if(queued_.begin(), queued_.end(), ofDevice), queued_.end());
        }
    }

    bool same = registry_.size() == result.size();
    for (auto a = registry_.begin(), b = result.begin(); same && a != registry_.end(); ++a, ++b) {
        same = a->first == b->first && a->second.driveNumber == b->second.driveNumber &&
               a->second.serialNumber == b->second.serialNumber;
    }
    *listChanged = !same;
    registry_ = std::move(result);
}

bool CvnStorageManagerImpl::cycle() {
    bool due = false;
    {
        os::MutexLock lock(registryLock_);
        if (stopRequested_) {
            return false;
        }
        due = rescanRequested_;
        const uint32_t now = os::tick();
        for (const auto& entry : registry_) {
            if (entry.second.initializing &&
                uint32_t(now - entry.second.initializingSince) > kInitializingHoldMs) {
                due = true;
            }
        }
    }
    runDueRequests();
    const bool changed = listener_->poll();
    if (!changed && !due) {
        return !stopping();
    }
    {
        os::MutexLock lock(registryLock_);
        rescanRequested_ = false;
    }
    std::vector<FoundDevice> found;
    if (!scan(&found)) {
        return false;  // stopping: a partial scan must not drop devices
    }
    bool listChanged = false;
    bool deviceReturned = false;
    merge(found, &listChanged, &deviceReturned);
    {
        std::lock_guard<std::mutex> lock(scansMutex_);
        ++scans_;
    }
    scansDone_.notify_all();
    if (listChanged || deviceReturned) {
        os::MutexLock lock(commLock_);
        for (size_t i = 0; i < notifiers_.size(); ++i) {
            DrlNotifier* n = notifiers_[i];
            if (listChanged) {
                n->notify(DrlEvent(DeviceListChanged));
            }
            if (deviceReturned && i < notifiers_.size() && notifiers_[i] == n) {
                n->notify(DrlEvent(DeviceReturned));
            }
        }
    }
    return !stopping();
}

bool CvnStorageManagerImpl::waitForScans(uint32_t count, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(scansMutex_);
    return scansDone_.wait_for(lock, limit, [&] { return scans_ >= count; });
}

uint32_t CvnStorageManagerImpl::commLockWaiters() {
    return os::mutexWaiters(commLock_);
}

uint32_t CvnStorageManagerImpl::ioLockWaiters(uint32_t disk) {
    return disk < kDiskCount ? os::mutexWaiters(ioLocks_[disk]) : 0;
}

bool CvnStorageManagerImpl::registryLockHeldElsewhere() {
    if (os::waitForObject(registryLock_, os::NoWait) != os::Ok) {
        return true;
    }
    os::releaseMutex(registryLock_);
    return false;
}

void CvnStorageManagerImpl::run() {
    while (cycle()) {
        os::sleepUnless(kIdleSleepMs, woken_);
    }
}

}  // namespace corvane::drl
