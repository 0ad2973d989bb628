#include <chrono>
#include <random>
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
    Recorder r(core.get());
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
    EXPECT_EQ((std::vector<uint32_t>(3, drl::Ok)), std::vector<uint32_t>(results, results + 3));
    step();
    step();
    std::vector<uint32_t> delivered;
    for (const Seen& s : r.take()) {
        if (s.type != drl::DeviceListChanged)
            delivered.push_back(s.commId);
    }
    EXPECT_EQ((std::vector<uint32_t>{2, 1}), delivered);
}

// A disk that hangs until its pass-through timeout holds up requests to itself only: a
// synchronous request to another device (the window's thread) returns at once, and one
// to the hanging device waits for its turn instead of joining the exchange.
TEST_F(CoreTest, AHangingDiskHoldsUpNoRequestToAnother) {
    attach(0, 1);
    attach(1, 2);
    start();
    ASSERT_EQ((Listing{{0, 0}, {1, 1}}), listing());
    auto hanging = hangInAnExchange();

    std::atomic<bool> otherDone{false};
    uint32_t otherResult = 99, sameResult = 99;
    Clock::duration otherTook{};
    std::thread other([&] {
        const auto began = Clock::now();
        otherResult = run(1, dcp::DcpReqGetInfo());
        otherTook = Clock::now() - began;
        otherDone = true;
    });
    std::thread same([&] { sameResult = run(0, dcp::DcpReqGetInfo()); });
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

// Flags any call that arrives after removeNotifier returned, or for a stopped request.
class Watchful : public drl::DrlNotifier {
public:
    void notify(const drl::DrlEvent& event) override {
        late = late || removed ||
               (event.type == drl::AsyncCommResult &&
                static_cast<const drl::DrlEventAsyncComm&>(event).commId == stoppedComm);
    }
    std::atomic<bool> removed{false}, late{false};
    std::atomic<uint32_t> stoppedComm{0xFFFFFFFF};
};

// Clients on several threads while devices come, go and misbehave: no deadlock, no two
// exchanges on one disk at once, no late notification, no user byte changed.
TEST_F(CoreTest, ClientsDevicesAndFaultsAtOnce) {
    std::vector<std::shared_ptr<CoreDevice>> devices;
    std::vector<std::shared_ptr<sim::EmulatedDisk>> disks;
    for (unsigned disk = 0; disk < 6; ++disk) {
        devices.push_back(attach(disk, uint8_t(disk + 1), disk % 2 ? 4096 : 512));
        disks.push_back(platform->disk(disk));
    }
    clock.setAutoAdvance(true);
    core.reset(
        drl::CvnStorageManager::create(os::DeviceListener::create(os::DeviceSource::InProcess)));
    ASSERT_TRUE(core);

    std::atomic<bool> failed{false};
    std::vector<std::thread> threads;
    auto client = [&](unsigned seed, auto body) {
        threads.emplace_back([&, seed, body] {
            std::mt19937 rng(seed);
            for (int i = 0; i < 150 && !failed; ++i)
                body(rng);
        });
    };
    client(1, [&](std::mt19937& rng) {
        dcp::DcpReqGetInfo info;
        dcp::DcpResponse* r = nullptr;
        if (core->execute(rng() % 8, &info, &r) == drl::Ok && r->type != dcp::TypeGetInfo)
            failed = true;
        delete r;
    });
    client(2, [&](std::mt19937& rng) {
        dcp::DcpReqGetDriveInfo drive(rng() % 4);
        uint32_t id = 0;
        if (core->startAsyncComm(rng() % 8, &drive, rng() % 50, &id) == drl::Ok) {
            std::this_thread::yield();
            core->stopAsyncComm(id);
        }
    });
    client(3, [&](std::mt19937&) {
        Watchful w;
        core->addNotifier(&w);
        dcp::DcpReqGetInfo info;
        uint32_t id = 0;
        std::vector<drl::DrlDevId> ids;
        core->getDevices(&ids);
        if (!ids.empty() && core->startAsyncComm(ids[0], &info, 0, &id) == drl::Ok) {
            std::this_thread::yield();
            core->stopAsyncComm(id);
            w.stoppedComm = id;
        }
        core->removeNotifier(&w);
        w.removed = true;
        std::this_thread::yield();
        if (w.late)
            failed = true;
    });
    client(4, [&](std::mt19937& rng) {
        core->rescan();
        const unsigned disk = rng() % 6;
        switch (rng() % 4) {
            case 0:
                platform->unplug(disk);
                break;
            case 1:
                platform->plug(disk, disks[disk]);
                break;
            case 2:
                devices[disk]->silent = !devices[disk]->silent;
                break;
            default:
                sim::TransportFaults f;
                f.directRefused = rng() % 2;
                f.ignoreCommands = rng() % 3 == 0;
                f.garbleAnswer = rng() % 5 == 0;
                disks[disk]->firmware()->setFaults(f);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    });
    for (auto& t : threads)
        t.join();
    core.reset();
    EXPECT_FALSE(failed.load());
    for (const auto& d : disks) {
        EXPECT_FALSE(d->overlapDetected());
        EXPECT_TRUE(d->changedBlocks(d->firmware()->reservedBlocks()).empty());
    }
}

}  // namespace
}  // namespace drltest
