#include <chrono>
#include <thread>

#include "core_fixture.h"

namespace drltest {
namespace {

using Clock = std::chrono::steady_clock;

// Spins (real time, bounded) until `ready` holds; the threads it waits for never sleep
// on the manual clock.
template <class Ready>
bool spinUntil(Ready ready) {
    const auto limit = Clock::now() + std::chrono::seconds(10);
    while (!ready() && Clock::now() < limit)
        std::this_thread::yield();
    return ready();
}

// The worker hangs inside a periodic request (commId 0), holding commLock. A client (the
// window's thread) that registers and stops requests meanwhile returns at once, and the
// answer that was under way when its request was stopped reaches nobody.
TEST_F(CoreTest, ClientsNeverWaitForTheWorkersExchange) {
    attach(0, 1);
    start();
    settle();
    Recorder r;
    core->addNotifier(&r);
    auto disk = hangInAnExchange();

    std::atomic<bool> done{false};
    uint32_t results[3] = {99, 99, 99};
    std::thread client([&] {
        dcp::DcpReqGetInfo info;
        results[0] = core->startAsyncComm(0, &info, 60000, nullptr);
        results[1] = core->executeAsync(0, &info, nullptr);
        results[2] = core->stopAsyncComm(0);
        done = true;
    });
    EXPECT_TRUE(spinUntil([&] { return done.load(); }));
    disk->setPassThroughHold(false);
    client.join();
    for (uint32_t result : results)
        EXPECT_EQ(drl::Ok, result);
    step();
    step();
    std::vector<uint32_t> delivered;
    for (const Seen& s : r.take()) {
        if (s.type != drl::DeviceListChanged)
            delivered.push_back(s.commId);
    }
    EXPECT_EQ((std::vector<uint32_t>{2, 1}), delivered);
    core->removeNotifier(&r);
}

// A disk that hangs until its pass-through timeout holds up requests to itself only: a
// synchronous request to another device (the window's thread) returns at once, and one
// to the hanging device waits for its turn instead of joining the exchange.
TEST_F(CoreTest, AHangingDiskHoldsUpNoRequestToAnother) {
    attach(0, 1);
    attach(1, 2);
    start();
    settle();
    ASSERT_EQ(0, diskOf(0));
    ASSERT_EQ(1, diskOf(1));
    auto hanging = hangInAnExchange();
    dcp::DcpReqGetInfo info;

    std::atomic<bool> otherDone{false};
    uint32_t otherResult = 99;
    Clock::duration otherTook{};
    std::thread other([&] {
        dcp::DcpResponse* r = nullptr;
        const auto began = Clock::now();
        otherResult = core->execute(1, &info, &r);
        otherTook = Clock::now() - began;
        delete r;
        otherDone = true;
    });
    uint32_t sameResult = 99;
    std::thread same([&] {
        dcp::DcpResponse* r = nullptr;
        sameResult = core->execute(0, &info, &r);
        delete r;
    });
    // The request to the hanging disk queues on its lock; without one it would join the
    // exchange and hang beside it.
    spinUntil([&] { return impl().ioLockWaiters(0) == 1 || hanging->waitForHeld(2, {}); });
    EXPECT_EQ(1u, impl().ioLockWaiters(0));
    EXPECT_TRUE(spinUntil([&] { return otherDone.load(); }));

    hanging->setPassThroughHold(false);
    other.join();
    same.join();
    EXPECT_EQ(drl::Ok, otherResult);
    EXPECT_LT(otherTook, std::chrono::milliseconds(100));
    EXPECT_EQ(drl::Ok, sameResult);
    EXPECT_FALSE(hanging->overlapDetected());
}

}  // namespace
}  // namespace drltest
