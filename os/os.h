#pragma once

#include <cstdint>

#include "os/clock.h"

namespace corvane::os {

// Result codes of the primitives.
enum OsResult : uint32_t {
    Ok = 0,
    NullArgument = 2,
    NoMemory = 3,
    CreateFailed = 4,
    WaitFailed = 7,
    CloseFailed = 8,
    Timeout = 9,
};

// Timeouts in milliseconds; both 0 and NoWait poll.
constexpr uint32_t WaitForever = 0xFFFFFFFFu;
constexpr uint32_t NoWait = 0xFFFFFFFEu;

// A recursive mutex: its owner may take it again and must release it as often.
struct OsMutex;
using MutexHandle = OsMutex*;

uint32_t createMutex(MutexHandle* out);
// Takes the mutex within the timeout.
uint32_t waitForObject(MutexHandle mutex, uint32_t timeoutMs);
uint32_t releaseMutex(MutexHandle mutex);
// A null handle is fine and does nothing.
uint32_t closeHandle(MutexHandle mutex);

uint32_t sleep(uint32_t milliseconds);
uint32_t tick();

// Holds a mutex for a scope; waits without limit, as every caller in the program does.
class MutexLock {
public:
    explicit MutexLock(MutexHandle m) : m_(m) { waitForObject(m_, WaitForever); }
    ~MutexLock() { releaseMutex(m_); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

private:
    MutexHandle m_;
};

}  // namespace corvane::os
