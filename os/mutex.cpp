#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

#include "os/os.h"

namespace corvane::os {

// Owner and depth are kept by hand rather than in a std::recursive_timed_mutex, whose
// unlock by a thread that does not own it is undefined; here it is a WaitFailed.
struct OsMutex {
    std::mutex m;
    std::condition_variable freed;
    std::thread::id owner;
    uint32_t depth = 0;
    uint32_t waiters = 0;
};

uint32_t createMutex(MutexHandle* out) {
    if (!out) {
        return NullArgument;
    }
    auto* m = new (std::nothrow) OsMutex;
    if (!m) {
        return CreateFailed;
    }
    *out = m;
    return Ok;
}

uint32_t waitForObject(MutexHandle mutex, uint32_t timeoutMs) {
    if (!mutex) {
        return WaitFailed;
    }
    const auto self = std::this_thread::get_id();
    std::unique_lock<std::mutex> lock(mutex->m);
    if (mutex->depth > 0 && mutex->owner == self) {
        ++mutex->depth;
        return Ok;
    }
    const auto isFree = [mutex] { return mutex->depth == 0; };
    if (timeoutMs == 0 || timeoutMs == NoWait) {
        if (!isFree()) {
            return Timeout;
        }
    } else {
        ++mutex->waiters;
        const bool got =
            timeoutMs == WaitForever
                ? (mutex->freed.wait(lock, isFree), true)
                : mutex->freed.wait_for(lock, std::chrono::milliseconds(timeoutMs), isFree);
        --mutex->waiters;
        if (!got) {
            return Timeout;
        }
    }
    mutex->owner = self;
    mutex->depth = 1;
    return Ok;
}

uint32_t releaseMutex(MutexHandle mutex) {
    if (!mutex) {
        return WaitFailed;
    }
    std::lock_guard<std::mutex> lock(mutex->m);
    if (mutex->depth == 0 || mutex->owner != std::this_thread::get_id()) {
        return WaitFailed;
    }
    if (--mutex->depth == 0) {
        mutex->owner = std::thread::id();
        // Under the lock: once it is dropped, a thread that takes and closes the mutex
        // may free it.
        mutex->freed.notify_one();
    }
    return Ok;
}

uint32_t mutexWaiters(MutexHandle mutex) {
    if (!mutex) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(mutex->m);
    return mutex->waiters;
}

uint32_t closeHandle(MutexHandle mutex) {
    delete mutex;
    return Ok;
}

uint32_t sleep(uint32_t milliseconds) {
    clock().sleep(milliseconds);
    return Ok;
}

uint32_t sleepUnless(uint32_t milliseconds, const std::atomic<bool>& woken) {
    clock().sleepUnless(milliseconds, woken);
    return Ok;
}

void wake() {
    clock().wake();
}

uint32_t tick() {
    return clock().tick();
}

}  // namespace corvane::os
