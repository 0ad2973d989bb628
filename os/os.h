#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include <pthread.h>

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

// Timeouts in milliseconds; both 0 and NoWait poll. Waits run on real time, not on the
// clock seam: they bound how long a caller is blocked, not when something is due.
constexpr uint32_t WaitForever = 0xFFFFFFFFu;
constexpr uint32_t NoWait = 0xFFFFFFFEu;

// A recursive mutex: its owner may take it again and must release it as often.
struct OsMutex;
using MutexHandle = OsMutex*;

uint32_t createMutex(MutexHandle* out);
// Takes the mutex within the timeout.
uint32_t waitForObject(MutexHandle mutex, uint32_t timeoutMs);
// WaitFailed, and nothing changes, when the caller does not own the mutex.
uint32_t releaseMutex(MutexHandle mutex);
// Threads blocked in waitForObject on this mutex right now; lets a test know that a
// thread has reached a lock before it checks what that thread holds.
uint32_t mutexWaiters(MutexHandle mutex);
// A null handle is fine and does nothing. Nobody may be waiting for the mutex.
uint32_t closeHandle(MutexHandle mutex);

uint32_t sleep(uint32_t milliseconds);
// The clock's sleepUnless() and wake().
uint32_t sleepUnless(uint32_t milliseconds, const std::atomic<bool>& woken);
void wake();
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

// Thread priorities. Linux threads of an ordinary process differ only by their nice
// value, so the scale becomes a small step from the creating thread's nice value:
// Highest -2, AboveNormal -1, BelowNormal +1, anything else unchanged. Raising needs
// CAP_SYS_NICE; without it the thread keeps the creator's value.
enum OsPriority : uint16_t {
    PriorityHighest = 0,
    PriorityAboveNormal = 1,
    PriorityNormal = 127,
    PriorityBelowNormal = 255,
    PriorityOfCreator = 0xFFFF,
};

using ThreadEntry = void (*)(void* argument);

constexpr unsigned MaxThreadName = 32;

// One created thread. The creator and the thread each hold a reference, so a record
// whose thread outlives destroyThread stays valid until the thread ends.
struct OsThreadRecord {
    ThreadEntry entry = nullptr;
    void* argument = nullptr;
    uint16_t priority = 0;
    // Bytes; 0 is the default (ulimit -s). Raised to the system's minimum and rounded up
    // to whole pages.
    uint32_t stackSize = 0;
    // Longer names are cut; the kernel shows the first 15 characters.
    char name[MaxThreadName + 1] = {};
    // Kernel thread id (gettid); set before createThread returns.
    uint32_t threadId = 0;
    pthread_t handle{};
    std::atomic<bool> finished{false};

    // The done signal: set once when entry has returned.
    std::mutex doneMutex;
    std::condition_variable doneSignal;
    bool done = false;

    // Internal: shared ownership, start-up hand-over, priority.
    std::atomic<int> references{2};
    bool published = false;
    bool setNice = false;
    int niceValue = 0;
};

uint32_t createThread(ThreadEntry entry, void* argument, uint16_t priority, uint32_t stackSize,
                      const char* name, OsThreadRecord** out);
// Ok once entry has returned; WaitFailed for a null record or a thread waiting for
// itself.
uint32_t waitForThread(OsThreadRecord* record, uint32_t timeoutMs);
// Nothing is ever killed. A finished thread is joined; a running one is detached and
// frees the record itself when entry returns, so whatever `argument` points to must stay
// valid until then. Returns null so that the caller can clear its pointer.
OsThreadRecord* destroyThread(OsThreadRecord* record);
// Records not yet freed, detached ones included.
unsigned liveThreadRecords();

// A thread bound to an object whose run() is the body.
class OsThread {
public:
    OsThread() = default;
    OsThread(const OsThread&) = delete;
    OsThread& operator=(const OsThread&) = delete;
    // Does not stop the thread: call stop() first, run() uses this object.
    virtual ~OsThread();

    // CreateFailed if this object already has a thread. stackSize 0: the default stack.
    uint32_t start(uint16_t priority = PriorityNormal, uint32_t stackSize = 0);
    // Waits up to waitMs for run() to return; Ok if it did. A thread cannot be ended from
    // outside on Linux, and run() uses this object, which its owner is about to free, so
    // after waitMs the wait goes on until run() returns and the answer is Timeout. Stop
    // therefore takes as long as run() needs to notice that it should end: ask it before
    // calling stop and keep run's steps short. WaitFailed, and nothing happens, when called
    // from run() itself.
    uint32_t stop(uint32_t waitMs);
    bool started() const { return record_ != nullptr; }

protected:
    virtual void run() = 0;

private:
    static void enter(void* self);
    OsThreadRecord* record_ = nullptr;
};

}  // namespace corvane::os
