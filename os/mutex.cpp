#include <chrono>
#include <mutex>
#include <new>

#include "os/os.h"

namespace corvane::os {

struct OsMutex {
    std::recursive_timed_mutex m;
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
    if (timeoutMs == WaitForever) {
        mutex->m.lock();
        return Ok;
    }
    if (timeoutMs == 0 || timeoutMs == NoWait) {
        return mutex->m.try_lock() ? Ok : Timeout;
    }
    return mutex->m.try_lock_for(std::chrono::milliseconds(timeoutMs)) ? Ok : Timeout;
}

uint32_t releaseMutex(MutexHandle mutex) {
    if (!mutex) {
        return WaitFailed;
    }
    mutex->m.unlock();
    return Ok;
}

uint32_t closeHandle(MutexHandle mutex) {
    delete mutex;
    return Ok;
}

uint32_t sleep(uint32_t milliseconds) {
    clock().sleep(milliseconds);
    return Ok;
}

uint32_t tick() { return clock().tick(); }

}  // namespace corvane::os
