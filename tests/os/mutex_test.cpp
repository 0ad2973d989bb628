#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "os/os.h"

namespace corvane::os {
namespace {

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

}  // namespace
}  // namespace corvane::os
