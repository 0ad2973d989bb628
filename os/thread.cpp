#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <exception>
#include <new>

#include "os/os.h"

namespace corvane::os {
namespace {

std::atomic<unsigned> liveRecords{0};

void dropReference(OsThreadRecord* record) {
    if (record->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete record;
        liveRecords.fetch_sub(1);
    }
}

bool isCurrentThread(const OsThreadRecord* record) {
    return record->threadId == uint32_t(gettid());
}

// The nice value for a priority, relative to the creating thread; false to leave the
// inherited value alone.
bool niceFor(uint16_t priority, int* nice) {
    int step = 0;
    switch (priority) {
        case PriorityHighest:
            step = -2;
            break;
        case PriorityAboveNormal:
            step = -1;
            break;
        case PriorityBelowNormal:
            step = 1;
            break;
        default:
            return false;
    }
    errno = 0;
    const int current = getpriority(PRIO_PROCESS, 0);  // the calling thread on Linux
    if (current == -1 && errno != 0) {
        return false;
    }
    *nice = std::clamp(current + step, -20, 19);
    return true;
}

void* threadMain(void* argument) {
    auto* record = static_cast<OsThreadRecord*>(argument);
    if (record->setNice) {
        setpriority(PRIO_PROCESS, 0, record->niceValue);  // not permitted is fine
    }
    if (record->name[0]) {
        char kernelName[16] = {};
        std::memcpy(kernelName, record->name, sizeof kernelName - 1);
        pthread_setname_np(pthread_self(), kernelName);
    }
    {
        std::unique_lock<std::mutex> lock(record->doneMutex);
        record->threadId = uint32_t(gettid());
        record->doneSignal.notify_all();
        // Entry may use the creator's copy of the record pointer (OsThread::stop does).
        record->doneSignal.wait(lock, [record] { return record->published; });
    }
    record->entry(record->argument);
    {
        std::lock_guard<std::mutex> lock(record->doneMutex);
        record->done = true;
        record->finished.store(true);
        record->doneSignal.notify_all();
    }
    dropReference(record);
    return nullptr;
}

// A pthread attribute with the record's stack size; false when the size cannot be set.
bool stackAttribute(uint32_t stackSize, pthread_attr_t* attr) {
    if (pthread_attr_init(attr) != 0) {
        return false;
    }
    if (stackSize == 0) {
        return true;
    }
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    size_t bytes = std::max<size_t>(stackSize, size_t(PTHREAD_STACK_MIN));
    bytes = (bytes + page - 1) / page * page;
    if (pthread_attr_setstacksize(attr, bytes) != 0) {
        pthread_attr_destroy(attr);
        return false;
    }
    return true;
}

}  // namespace

uint32_t createThread(ThreadEntry entry, void* argument, uint16_t priority, uint32_t stackSize,
                      const char* name, OsThreadRecord** out) {
    if (!out) {
        return NullArgument;
    }
    if (!entry) {
        return CreateFailed;
    }
    auto* record = new (std::nothrow) OsThreadRecord;
    if (!record) {
        return NoMemory;
    }
    liveRecords.fetch_add(1);
    record->entry = entry;
    record->argument = argument;
    record->priority = priority;
    record->stackSize = stackSize;
    if (name) {
        std::strncpy(record->name, name, MaxThreadName);
    }
    record->setNice = niceFor(priority, &record->niceValue);
    // std::thread cannot be given a stack size; pthreads can.
    pthread_attr_t attr;
    if (!stackAttribute(stackSize, &attr)) {
        delete record;
        liveRecords.fetch_sub(1);
        return CreateFailed;
    }
    const int created = pthread_create(&record->handle, &attr, threadMain, record);
    pthread_attr_destroy(&attr);
    if (created != 0) {
        delete record;
        liveRecords.fetch_sub(1);
        return CreateFailed;
    }
    // The record is complete, id and priority included, before the caller sees it, and
    // the caller's pointer is stored before entry runs.
    std::unique_lock<std::mutex> lock(record->doneMutex);
    record->doneSignal.wait(lock, [record] { return record->threadId != 0; });
    *out = record;
    record->published = true;
    record->doneSignal.notify_all();
    return Ok;
}

uint32_t waitForThread(OsThreadRecord* record, uint32_t timeoutMs) {
    if (!record) {
        return WaitFailed;
    }
    if (record->finished.load()) {
        return Ok;
    }
    std::unique_lock<std::mutex> lock(record->doneMutex);
    const auto isDone = [record] { return record->done; };
    if (isDone()) {
        return Ok;
    }
    if (timeoutMs == 0 || timeoutMs == NoWait) {
        return Timeout;
    }
    if (isCurrentThread(record)) {
        return WaitFailed;
    }
    if (timeoutMs == WaitForever) {
        record->doneSignal.wait(lock, isDone);
        return Ok;
    }
    return record->doneSignal.wait_for(lock, std::chrono::milliseconds(timeoutMs), isDone)
               ? Ok
               : Timeout;
}

OsThreadRecord* destroyThread(OsThreadRecord* record) {
    if (!record) {
        return nullptr;
    }
    if (record->finished.load()) {
        pthread_join(record->handle, nullptr);  // entry has returned; only the exit is left
    } else {
        pthread_detach(record->handle);  // the thread drops the last reference when it ends
    }
    dropReference(record);
    return nullptr;
}

unsigned liveThreadRecords() {
    return liveRecords.load();
}

OsThread::~OsThread() {
    record_ = destroyThread(record_);
}

void OsThread::enter(void* self) {
    static_cast<OsThread*>(self)->run();
}

uint32_t OsThread::start(uint16_t priority, uint32_t stackSize) {
    if (record_) {
        return CreateFailed;
    }
    return createThread(&OsThread::enter, this, priority, stackSize, nullptr, &record_);
}

uint32_t OsThread::stop(uint32_t waitMs) {
    if (!record_) {
        return Ok;
    }
    if (isCurrentThread(record_)) {
        return WaitFailed;
    }
    const uint32_t result = waitForThread(record_, waitMs);
    if (result != Ok) {
        waitForThread(record_, WaitForever);
    }
    record_ = destroyThread(record_);
    return result == Ok ? Ok : Timeout;
}

}  // namespace corvane::os
