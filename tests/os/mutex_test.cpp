#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "os/os.h"

namespace corvane::os {
namespace {

// Runs f on another thread and returns its result.
template <typename F>
uint32_t elsewhere(F f) {
    uint32_t result = 0;
    std::thread([&] { result = f(); }).join();
    return result;
}

TEST(Mutex, RecursiveOwnershipPollingAndNulls) {
    EXPECT_EQ(createMutex(nullptr), NullArgument);
    EXPECT_EQ(waitForObject(nullptr, WaitForever), WaitFailed);
    EXPECT_EQ(releaseMutex(nullptr), WaitFailed);
    EXPECT_EQ(closeHandle(nullptr), Ok);

    MutexHandle m = nullptr;
    ASSERT_EQ(createMutex(&m), Ok);
    const auto takeElsewhere = [m](uint32_t timeout) {
        return elsewhere([m, timeout] {
            const uint32_t rc = waitForObject(m, timeout);
            if (rc == Ok) {
                releaseMutex(m);
            }
            return rc;
        });
    };
    ASSERT_EQ(waitForObject(m, WaitForever), Ok);
    ASSERT_EQ(waitForObject(m, 0), Ok);
    ASSERT_EQ(waitForObject(m, NoWait), Ok);
    for (uint32_t timeout : {0u, NoWait, 5u}) {
        EXPECT_EQ(takeElsewhere(timeout), Timeout) << timeout;
    }
    // Only the owner may release, and a stranger's attempt changes nothing.
    EXPECT_EQ(elsewhere([m] { return releaseMutex(m); }), WaitFailed);
    EXPECT_EQ(releaseMutex(m), Ok);
    EXPECT_EQ(releaseMutex(m), Ok);
    EXPECT_EQ(takeElsewhere(0), Timeout);
    EXPECT_EQ(releaseMutex(m), Ok);
    EXPECT_EQ(takeElsewhere(0), Ok);
    EXPECT_EQ(releaseMutex(m), WaitFailed);
    EXPECT_EQ(closeHandle(m), Ok);
}

TEST(Mutex, WaitersQueueUpAndExcludeEachOther) {
    MutexHandle m = nullptr;
    ASSERT_EQ(createMutex(&m), Ok);
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
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(counter, 20000);
    EXPECT_EQ(waitForObject(m, 0), Ok);
    releaseMutex(m);
    closeHandle(m);
}

}  // namespace
}  // namespace corvane::os
