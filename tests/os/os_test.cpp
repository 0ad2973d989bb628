#include "os/os.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "os/device_listener.h"
#include "os/manual_clock.h"

namespace corvane::os {
namespace {

// Sleepers wake at their own deadlines across the wrap of the tick (the stepping of a
// worker loop is what every core test does).
TEST(ManualClockTest, WakesSleepersAtTheirDeadlinesAcrossTheWrap) {
    ManualClock clock;
    ScopedClock use(clock);
    EXPECT_EQ(os::tick(), ManualClock::NearWrap);
    clock.advance(10000 - 16);  // to 16 ms before the wrap
    std::atomic<int> woken{0};
    std::vector<std::thread> threads;
    for (uint32_t ms : {40u, 10u, 20u, 30u}) {
        threads.emplace_back([&, ms] {
            clock.sleep(ms);
            woken += int(ms);
        });
    }
    ASSERT_TRUE(clock.waitForSleepers(4));
    for (auto [ms, left] : {std::pair{9u, 4u}, {1u, 3u}, {15u, 2u}}) {  // the second: the wrap
        clock.advance(ms);
        EXPECT_EQ(clock.sleepers(), left);
    }
    EXPECT_FALSE(clock.waitForSleepers(3, std::chrono::milliseconds(1)));
    // Auto-advance releases the rest, each at its own deadline, and sleeps without blocking.
    clock.setAutoAdvance(true);
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(woken, 100);
    EXPECT_EQ(os::tick(), 24u);
    os::sleep(250);
    EXPECT_EQ(os::tick(), 274u);
}

// Plugging activity every 500 ms for ten seconds, polled every 10 ms as the worker does; the
// clock wraps before the report. Every live listener hears it, a destroyed one is left alone.
TEST(Listener, BurstGivesOneReportASecondAfterItsLastEvent) {
    ManualClock clock;
    ScopedClock use(clock);
    // A new listener reports once, at the first poll at least 1 ms after its creation.
    const auto quietListener = [&clock] {
        auto listener = DeviceListener::create(DeviceSource::InProcess);
        EXPECT_FALSE(listener->poll());
        clock.advance(1);
        EXPECT_TRUE(listener->poll());
        EXPECT_FALSE(listener->poll());
        return listener;
    };
    auto listener = quietListener();
    auto other = quietListener();
    quietListener().reset();
    int reports = 0;
    for (int ms = 0; ms < 10000; ms += 10) {
        if (ms % 500 == 0)
            announceDeviceChange();
        reports += listener->poll();
        clock.advance(10);
    }
    EXPECT_EQ(reports, 0);
    clock.advance(500);  // the last event came at 9500 ms
    EXPECT_FALSE(listener->poll());
    clock.advance(1);
    EXPECT_TRUE(listener->poll());
    EXPECT_FALSE(listener->poll());
    EXPECT_TRUE(other->poll());
}

// Takes the mutex on another thread within the timeout, and gives it back.
uint32_t takeElsewhere(MutexHandle m, uint32_t timeout) {
    uint32_t rc = 0;
    std::thread([&] {
        if ((rc = waitForObject(m, timeout)) == Ok)
            releaseMutex(m);
    }).join();
    return rc;
}

TEST(Mutex, RecursiveOwnershipPollingAndExclusion) {
    MutexHandle m = nullptr;
    ASSERT_EQ(createMutex(&m), Ok);
    ASSERT_EQ(waitForObject(m, WaitForever), Ok);
    ASSERT_EQ(waitForObject(m, 0), Ok);
    for (uint32_t timeout : {0u, NoWait, 5u})
        EXPECT_EQ(takeElsewhere(m, timeout), Timeout) << timeout;
    // Only the owner may release, and a stranger's attempt changes nothing.
    uint32_t strangers = Ok;
    std::thread([&] { strangers = releaseMutex(m); }).join();
    EXPECT_EQ(strangers, WaitFailed);
    EXPECT_EQ(releaseMutex(m), Ok);
    EXPECT_EQ(takeElsewhere(m, 0), Timeout);
    EXPECT_EQ(releaseMutex(m), Ok);
    EXPECT_EQ(takeElsewhere(m, 0), Ok);
    EXPECT_EQ(releaseMutex(m), WaitFailed);

    long counter = 0;  // unsynchronised but for the mutex: ThreadSanitizer checks it too
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 5000; ++i) {
                MutexLock outer(m);
                MutexLock inner(m);
                ++counter;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, 20000);
    EXPECT_EQ(takeElsewhere(m, 0), Ok) << "every lock was released as often as taken";
    closeHandle(m);
}

// Holds a thread body until the test opens it, and notes what the body saw.
struct Gate {
    std::promise<void> entered, open;
    std::shared_future<void> opened = open.get_future().share();
    uint32_t threadId = 0;
    int nice = 0;
    char kernelName[16] = {};
    size_t stack = 0;

    void pass() {
        threadId = uint32_t(gettid());
        nice = getpriority(PRIO_PROCESS, 0);
        pthread_getname_np(pthread_self(), kernelName, sizeof kernelName);
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            pthread_attr_getstacksize(&attr, &stack);
            pthread_attr_destroy(&attr);
        }
        entered.set_value();
        opened.wait();
    }
};

TEST(Threads, RecordWaitsAndNoKill) {
    const unsigned before = liveThreadRecords();
    Gate gate;
    const std::string name = "storage-manager-worker-0123456789abcdefg";  // 40 characters
    OsThreadRecord* record = nullptr;
    const auto pass = [](void* g) { static_cast<Gate*>(g)->pass(); };
    ASSERT_EQ(createThread(pass, &gate, PriorityBelowNormal, 0, name.c_str(), &record), Ok);
    const uint32_t idAtReturn = record->threadId;  // set before createThread returns
    EXPECT_EQ(std::string(record->name), name.substr(0, 32));
    gate.entered.get_future().wait();
    EXPECT_EQ(idAtReturn, gate.threadId);
    EXPECT_EQ(std::string(gate.kernelName), name.substr(0, 15));
    // One nice step from the creator, whose own value stays.
    EXPECT_EQ(gate.nice, std::min(getpriority(PRIO_PROCESS, 0) + 1, 19));
    for (uint32_t timeout : {0u, NoWait, 5u})
        EXPECT_EQ(waitForThread(record, timeout), Timeout) << timeout;

    // Nothing ends a thread from outside: the record of a running thread, destroyed, lets the
    // body run to its end and outlives it (AddressSanitizer reports the last writes otherwise).
    EXPECT_EQ(destroyThread(record), nullptr);
    EXPECT_EQ(liveThreadRecords(), before + 1);
    gate.open.set_value();
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (liveThreadRecords() != before && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(liveThreadRecords(), before);
}

class GatedThread final : public OsThread {
public:
    Gate gate;
    std::atomic<int> runs{0};
    uint32_t stopFromInside = Ok;

    ~GatedThread() override { stop(WaitForever); }

protected:
    void run() override {
        if (runs == 0) {
            stopFromInside = stop(0);
            gate.pass();
        }
        ++runs;
    }
};

TEST(OsThreadTest, StopLetsRunFinishAndAllowsAStartAgainAndTheStackSizeIsHonoured) {
    const unsigned before = liveThreadRecords();
    GatedThread t;
    EXPECT_EQ(t.stop(1000), Ok);  // never started
    // A stack larger than the default (ulimit -s, 8 MB here), so that the default shows;
    // glibc may hand out a cached stack larger than asked, smaller never.
    ASSERT_EQ(t.start(PriorityNormal, 64u << 20), Ok);
    EXPECT_EQ(t.start(), CreateFailed);
    t.gate.entered.get_future().wait();
    EXPECT_GE(t.gate.stack, 64u << 20);
    EXPECT_EQ(t.stopFromInside, WaitFailed);
    // The body is in the middle of something (a device exchange, say) when the wait runs
    // out: it is not cut short, and stop returns only once it is done.
    std::thread opener([&t] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        t.gate.open.set_value();
    });
    EXPECT_EQ(t.stop(1), Timeout);
    EXPECT_EQ(liveThreadRecords(), before) << "run has returned";
    opener.join();

    // A finished thread still blocks a second start until it is stopped.
    ASSERT_EQ(t.start(), Ok);
    while (t.runs != 2)
        std::this_thread::yield();
    EXPECT_EQ(t.start(), CreateFailed);
    EXPECT_EQ(t.stop(5000), Ok);
}

}  // namespace
}  // namespace corvane::os
