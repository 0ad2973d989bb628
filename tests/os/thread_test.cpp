#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "os/os.h"

namespace corvane::os {
namespace {

// Holds a thread body until the test opens it, and notes what the body saw.
struct Gate {
    std::mutex m;
    std::condition_variable cv;
    bool entered = false, open = false, left = false;
    uint32_t threadId = 0;
    char kernelName[16] = {};

    void pass() {
        std::unique_lock<std::mutex> lock(m);
        entered = true;
        threadId = uint32_t(gettid());
        pthread_getname_np(pthread_self(), kernelName, sizeof kernelName);
        cv.notify_all();
        cv.wait(lock, [this] { return open; });
        left = true;
        cv.notify_all();
    }
    void waitFor(const bool& flag) {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return flag; });
    }
    void release() {
        std::lock_guard<std::mutex> lock(m);
        open = true;
        cv.notify_all();
    }
};

void passGate(void* gate) {
    static_cast<Gate*>(gate)->pass();
}

// A detached thread frees its record a moment after its body returned.
bool recordsBackTo(unsigned count) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (liveThreadRecords() != count && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return liveThreadRecords() == count;
}

TEST(Threads, RecordAndWaitRules) {
    EXPECT_EQ(createThread(passGate, nullptr, PriorityNormal, 0, nullptr, nullptr), NullArgument);
    EXPECT_EQ(waitForThread(nullptr, 0), WaitFailed);
    EXPECT_EQ(destroyThread(nullptr), nullptr);

    Gate gate;
    const std::string name = "storage-manager-worker-0123456789abcdefg";
    ASSERT_EQ(name.size(), 40u);
    OsThreadRecord* record = nullptr;
    ASSERT_EQ(createThread(passGate, &gate, PriorityNormal, 65536, name.c_str(), &record), Ok);
    EXPECT_EQ(record->argument, &gate);
    EXPECT_EQ(record->stackSize, 65536u);
    EXPECT_EQ(std::string(record->name), name.substr(0, 32));
    gate.waitFor(gate.entered);
    EXPECT_EQ(record->threadId, gate.threadId);
    EXPECT_EQ(std::string(gate.kernelName), name.substr(0, 15));

    EXPECT_EQ(waitForThread(record, 0), Timeout);
    EXPECT_EQ(waitForThread(record, NoWait), Timeout);
    EXPECT_EQ(waitForThread(record, 5), Timeout);
    gate.release();
    EXPECT_EQ(waitForThread(record, WaitForever), Ok);
    for (uint32_t timeout : {0u, 0u, NoWait, 5u, WaitForever}) {
        EXPECT_EQ(waitForThread(record, timeout), Ok) << timeout;
    }
    EXPECT_EQ(destroyThread(record), nullptr);
}

// Nothing ends a thread from outside: destroying the record of a running thread lets the
// body run to its end, and the record outlives it (AddressSanitizer reports the thread's
// last writes otherwise) and is freed after.
TEST(Threads, DestroyingARunningThreadLetsItFinish) {
    const unsigned before = liveThreadRecords();
    Gate gate;
    OsThreadRecord* record = nullptr;
    ASSERT_EQ(createThread(passGate, &gate, PriorityNormal, 0, nullptr, &record), Ok);
    gate.waitFor(gate.entered);
    EXPECT_EQ(destroyThread(record), nullptr);
    EXPECT_EQ(liveThreadRecords(), before + 1);
    gate.release();
    gate.waitFor(gate.left);
    EXPECT_TRUE(recordsBackTo(before));
}

int currentNice() {
    errno = 0;
    return getpriority(PRIO_PROCESS, 0);
}

TEST(Threads, PriorityStepsFromTheCreatorsNiceValue) {
    const int creator = currentNice();
    const std::pair<uint16_t, int> cases[] = {{PriorityBelowNormal, std::min(creator + 1, 19)},
                                              {PriorityNormal, creator},
                                              {PriorityOfCreator, creator},
                                              {42, creator}};
    for (const auto& [priority, expected] : cases) {
        int nice = 100;
        OsThreadRecord* record = nullptr;
        ASSERT_EQ(createThread([](void* n) { *static_cast<int*>(n) = currentNice(); }, &nice,
                               priority, 0, nullptr, &record),
                  Ok);
        waitForThread(record, WaitForever);
        destroyThread(record);
        EXPECT_EQ(nice, expected) << "priority " << priority;
    }
    EXPECT_EQ(currentNice(), creator);
}

class GatedThread final : public OsThread {
public:
    Gate gate;
    std::atomic<int> runs{0};
    std::atomic<bool> completed{false};
    uint32_t stopFromInside = Ok;

    ~GatedThread() override { stop(WaitForever); }

protected:
    void run() override {
        if (++runs == 1) {
            stopFromInside = stop(0);
        }
        gate.pass();
        completed = true;
    }
};

TEST(OsThreadTest, StartStopAndStartAgain) {
    const unsigned before = liveThreadRecords();
    GatedThread t;
    EXPECT_EQ(t.stop(1000), Ok);  // never started
    ASSERT_EQ(t.start(PriorityNormal), Ok);
    EXPECT_EQ(t.start(PriorityNormal), CreateFailed);
    t.gate.waitFor(t.gate.entered);
    EXPECT_EQ(t.stopFromInside, WaitFailed);
    EXPECT_TRUE(t.started());
    t.gate.release();
    EXPECT_EQ(t.stop(5000), Ok);
    EXPECT_TRUE(t.completed);
    EXPECT_FALSE(t.started());
    EXPECT_EQ(liveThreadRecords(), before);

    // A finished thread still blocks a second start until it is stopped.
    t.completed = false;
    ASSERT_EQ(t.start(), Ok);
    while (t.runs != 2 || !t.completed) {
        std::this_thread::yield();
    }
    EXPECT_EQ(t.start(), CreateFailed);
    EXPECT_EQ(t.stop(5000), Ok);
}

// The body is in the middle of something (a device exchange, say) when the wait runs out:
// it is not cut short, and stop returns only once it is done.
TEST(OsThreadTest, StopOutlastingItsWaitLetsRunFinish) {
    GatedThread t;
    t.runs = 1;
    ASSERT_EQ(t.start(), Ok);
    t.gate.waitFor(t.gate.entered);
    std::thread opener([&t] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        t.gate.release();
    });
    EXPECT_EQ(t.stop(1), Timeout);
    EXPECT_TRUE(t.completed);
    EXPECT_FALSE(t.started());
    opener.join();
}

}  // namespace
}  // namespace corvane::os
