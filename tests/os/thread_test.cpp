#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "os/os.h"

namespace corvane::os {
namespace {

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

void passGate(void* gate) {
    static_cast<Gate*>(gate)->pass();
}

TEST(Threads, RecordWaitsAndNoKill) {
    const unsigned before = liveThreadRecords();
    Gate gate;
    const std::string name = "storage-manager-worker-0123456789abcdefg";  // 40 characters
    OsThreadRecord* record = nullptr;
    ASSERT_EQ(createThread(passGate, &gate, PriorityBelowNormal, 0, name.c_str(), &record), Ok);
    const uint32_t idAtReturn = record->threadId;  // set before createThread returns
    EXPECT_EQ(std::string(record->name), name.substr(0, 32));
    gate.entered.get_future().wait();
    EXPECT_EQ(idAtReturn, gate.threadId);
    EXPECT_EQ(std::string(gate.kernelName), name.substr(0, 15));
    // One nice step from the creator, whose own value stays.
    EXPECT_EQ(gate.nice, std::min(getpriority(PRIO_PROCESS, 0) + 1, 19));
    for (uint32_t timeout : {0u, NoWait, 5u})
        EXPECT_EQ(waitForThread(record, timeout), Timeout) << timeout;

    // Nothing ends a thread from outside: destroying the record of a running thread lets the
    // body run to its end, and the record outlives it (AddressSanitizer reports the thread's
    // last writes otherwise) and is freed after.
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
