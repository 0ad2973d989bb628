#include <thread>

#include "core_fixture.h"
#include "drl/time_left.h"

namespace drltest {
namespace {

TEST_F(CoreTest, EmptyMachineAndBadArguments) {
    start();
    EXPECT_TRUE(listing().empty());
    dcp::DcpReqGetInfo info;
    EXPECT_EQ(drl::UnknownDevice, run(0, info));
    EXPECT_EQ(drl::InvalidArgument, core->execute(0, &info, nullptr));
    EXPECT_EQ(drl::InvalidArgument, core->getDevices(nullptr));
    EXPECT_EQ(drl::UnknownDevice, core->startAsyncComm(0, &info, 100, nullptr));

    Recorder r;
    EXPECT_EQ(drl::Ok, core->addNotifier(&r));
    EXPECT_EQ(drl::Ok, core->addNotifier(&r));
    EXPECT_EQ(Types{drl::DeviceListChanged}, r.types());
    EXPECT_EQ(drl::Ok, core->removeNotifier(&r));
    EXPECT_EQ(drl::InvalidArgument, core->removeNotifier(&r));
    EXPECT_EQ(drl::InvalidArgument, core->addNotifier(nullptr));
}

TEST_F(CoreTest, IdentifiersAreSmallestFreeAndFollowTheSerial) {
    attach(3, 1);
    auto second = attach(5, 2);
    start(false);
    Recorder r(core.get());
    settle();
    EXPECT_EQ((Listing{{0, 3}, {1, 5}}), listing());
    EXPECT_EQ(Types{drl::DeviceListChanged}, r.types());

    // A vanished device's number is not given to a newcomer in the same scan.
    platform->unplug(3);
    attach(7, 3);
    settle();
    EXPECT_EQ((Listing{{1, 5}, {2, 7}}), listing());
    EXPECT_EQ(Types{drl::DeviceListChanged}, r.types()) << "one event";
    attach(8, 4);
    settle();
    EXPECT_EQ((Listing{{0, 8}, {1, 5}, {2, 7}}), listing());
    r.take();

    // Moving to another disk keeps the number and is a change of the list.
    platform->unplug(5);
    attach(9, second);
    settle();
    EXPECT_EQ((Listing{{0, 8}, {1, 9}, {2, 7}}), listing());
    EXPECT_EQ(Types{drl::DeviceListChanged}, r.types());

    // A new configuration key alone is no change.
    second->key = 0xCAFE;
    core->rescan();
    step();
    EXPECT_TRUE(r.take().empty());
    drl::DeviceRecord record;
    ASSERT_TRUE(impl().lookup(1, &record));
    EXPECT_EQ(0xCAFEu, record.configurationKey);
}

TEST_F(CoreTest, DuplicateSerialsFoldIntoTheLowerNumber) {
    attach(2, 5);
    attach(4, 5);
    attach(6, 6);
    start();
    EXPECT_EQ((Listing{{0, 2}, {1, 4}, {2, 6}}), listing()) << "a new serial twice: two numbers";
    core->rescan();
    step();
    EXPECT_EQ((Listing{{0, 4}, {2, 6}}), listing()) << "the later disk wins";
}

TEST_F(CoreTest, ForeignAndSilentDisksAreNotDevices) {
    attach(0, std::make_shared<CoreDevice>(1, "Corvane "));
    attach(1, std::make_shared<CoreDevice>(2, "corvane"));
    attach(2, 3)->silent = true;
    auto plain = std::make_shared<sim::EmulatedDisk>(512, 1 << 16);
    platform->plug(4, plain);
    start();
    EXPECT_TRUE(listing().empty());
    EXPECT_EQ(0u, plain->counters().writes) << "a disk without an info sector is never written";
}

TEST_F(CoreTest, InitializingDeviceIsHeldThenDroppedOrWelcomedBack) {
    auto device = attach(1, 1);
    start();
    std::vector<Recorder*> order;
    Recorder first(core.get(), &order), second(core.get(), &order);
    dcp::DcpReqGetDriveInfo drive(0);
    ASSERT_EQ(drl::Ok, core->startAsyncComm(0, &drive, 1000, nullptr));
    step();
    EXPECT_EQ(1u, first.take().size());
    second.take();
    order.clear();

    const dcp::DcpReqInitConfiguration init(1, 0);
    const dcp::DcpReqGetInfo info;
    ASSERT_EQ(drl::Ok, run(0, init));
    EXPECT_EQ(drl::DeviceInitializing, run(0, info));

    // Within the hold the silent device stays listed and its periodic request fails quietly.
    core->rescan();
    step(30000);
    const int before = device->exchanges.load();
    step(29000);
    EXPECT_EQ((Listing{{0, 1}}), listing());
    EXPECT_TRUE(first.take().empty());
    EXPECT_EQ(before, device->exchanges.load()) << "an initializing device is not addressed";

    // It answers again: welcomed back together with a newcomer, in registration order.
    device->silent = false;
    attach(3, 7);
    settle();
    EXPECT_EQ((Listing{{0, 1}, {1, 3}}), listing());
    const Types back{drl::DeviceListChanged, drl::DeviceReturned};
    EXPECT_EQ(back, first.types());
    EXPECT_EQ(back, second.types());
    EXPECT_EQ((std::vector<Recorder*>{&first, &first, &second, &second}), order);
    EXPECT_EQ(drl::Ok, run(0, info));

    // Initialised again and never back: dropped by the scan the hold forces.
    ASSERT_EQ(drl::Ok, run(0, init));
    step(60000);
    EXPECT_EQ(2u, listing().size()) << "not older than the hold yet";
    step(10);
    EXPECT_EQ((Listing{{1, 3}}), listing()) << "the forced scan drops it";
    EXPECT_EQ(Types{drl::DeviceListChanged}, first.types());
    device->silent = false;
    step();
    EXPECT_TRUE(first.take().empty()) << "its periodic request went with it";
}

// The merge keeps a silent initializing device while its hold runs: up to one millisecond
// short of 60000, not at 60000. The first acceptance falls before the tick wraps and its
// scans after it. Only an initialisation the device accepted holds it; a refused one, one
// with an unknown outcome and a rebuild leave it addressable.
TEST_F(CoreTest, OnlyAnAcceptedInitializationHoldsTheDeviceForSixtySeconds) {
    auto device = attach(2, 1);
    start();
    const dcp::DcpReqInitConfiguration init(1, 0);
    const dcp::DcpReqRebuild rebuild;
    for (const auto& [request, outcome] : {std::make_pair<const dcp::DcpRequest*>(&init, 3),
                                           {&init, 2},
                                           {&init, 9},
                                           {&rebuild, 1}}) {
        device->initOutcome = uint8_t(outcome);
        ASSERT_EQ(drl::Ok, run(0, *request));
        EXPECT_EQ(drl::Ok, run(0, dcp::DcpReqGetInfo())) << request->type << "/" << outcome;
    }
    device->initOutcome = 1;
    for (const auto& [scanAfterMs, listed] :
         {std::make_pair(59999u, true), {60000u, false}, {1u, true}}) {
        SCOPED_TRACE(scanAfterMs);
        device->silent = false;
        core->rescan();
        step();
        ASSERT_EQ(2, diskOf(0));
        ASSERT_EQ(drl::Ok, run(0, init));
        EXPECT_EQ(drl::DeviceInitializing, run(0, dcp::DcpReqGetInfo()));
        core->rescan();
        step(scanAfterMs);
        EXPECT_EQ(listed, diskOf(0) == 2);
    }
}

TEST_F(CoreTest, PeriodicRequestsRunWhenDueAndStrictlyAfterTheirInterval) {
    auto device = attach(0, 1);
    start();
    Recorder r(core.get());
    dcp::DcpReqGetInfo info;
    dcp::DcpReqRebuild rebuild;
    uint32_t id = 99;
    dcp::DcpReqGetInfo lying;  // says drive information, has no bay to read
    lying.type = dcp::TypeGetDriveInfo;
    dcp::DcpReqGetDriveInfo noSuchBay(4);
    for (const dcp::DcpRequest* bad :
         std::initializer_list<const dcp::DcpRequest*>{&rebuild, &lying, &noSuchBay}) {
        EXPECT_EQ(drl::InvalidArgument, core->startAsyncComm(0, bad, 10, &id)) << bad->type;
    }
    EXPECT_EQ(99u, id);
    ASSERT_EQ(drl::Ok, core->startAsyncComm(0, &info, 60000, &id));
    EXPECT_EQ(0u, id);
    step();
    std::vector<Seen> seen = r.take();
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ(uint32_t(drl::AsyncCommResult), seen[0].type);
    EXPECT_EQ(0u, seen[0].commId);
    EXPECT_EQ(uint32_t(dcp::TypeGetInfo), seen[0].responseType);

    step(59990);  // crosses the tick's wrap on the way
    step(10);
    EXPECT_TRUE(r.take().empty()) << "exactly the interval is not yet due";
    step(10);
    EXPECT_EQ(1u, r.take().size());

    // A failing request is retried every cycle and nobody hears of it.
    device->silent = true;
    step(60001);
    const int tries = device->exchanges.load();
    step();
    step();
    EXPECT_GE(device->exchanges.load(), tries + 2);
    EXPECT_TRUE(r.take().empty());
    device->silent = false;
    step();
    EXPECT_EQ(1u, r.take().size());

    // Identifiers only grow.
    uint32_t a, b, c;
    core->startAsyncComm(0, &info, 0, &a);
    core->startAsyncComm(0, &info, 0, &b);
    EXPECT_EQ(drl::Ok, core->stopAsyncComm(a));
    EXPECT_EQ(drl::Ok, core->stopAsyncComm(b));
    EXPECT_EQ(drl::Ok, core->stopAsyncComm(12345));
    core->startAsyncComm(0, &info, 0, &c);
    EXPECT_EQ(3u, c);
    r.take();
    step();
    step();
    seen = r.take();
    ASSERT_EQ(2u, seen.size()) << "interval 0 runs in every cycle";
    EXPECT_EQ(3u, seen[0].commId);
}

// A request run once wakes the sleeping worker without any time passing, runs once and is
// reported either way.
TEST_F(CoreTest, RequestRunOnceWakesTheWorkerAndIsReportedEitherWay) {
    auto device = attach(0, 1);
    start();
    Recorder r(core.get());
    dcp::DcpReqGetInfo info;
    dcp::DcpReqRebuild rebuild;
    uint32_t id = 99;
    EXPECT_EQ(drl::UnknownDevice, core->executeAsync(7, &info, &id));
    EXPECT_EQ(drl::InvalidArgument, core->executeAsync(0, &rebuild, &id));
    EXPECT_EQ(99u, id);

    const uint32_t before = os::tick();
    for (bool silent : {false, true}) {
        device->silent = silent;
        ASSERT_EQ(drl::Ok, core->executeAsync(0, &info, &id));
        ASSERT_TRUE(clock.waitForSleepers(1));
        const std::vector<Seen> seen = r.take();
        ASSERT_EQ(1u, seen.size()) << silent;
        EXPECT_EQ(uint32_t(drl::RequestDone), seen[0].type);
        EXPECT_EQ(id, seen[0].commId);
        EXPECT_EQ(silent ? 0u : uint32_t(dcp::TypeGetInfo), seen[0].responseType);
        EXPECT_EQ(silent ? uint32_t(drl::DeviceIoFailed) : uint32_t(drl::Ok), seen[0].result);
    }
    EXPECT_EQ(before, os::tick());
    device->silent = false;
    step();
    EXPECT_TRUE(r.take().empty()) << "run once only";
}

TEST_F(CoreTest, DestroyingDuringASlowExchangeWaitsForItsEnd) {
    attach(0, 1);
    start();
    auto disk = hangInAnExchange();
    clock.setAutoAdvance(true);

    std::atomic<bool> destroyed{false};
    std::thread killer([&] {
        core.reset();
        destroyed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(destroyed.load()) << "the exchange must not be cut";
    disk->setPassThroughHold(false);
    killer.join();
    EXPECT_TRUE(destroyed.load());
    EXPECT_FALSE(disk->overlapDetected());
    EXPECT_TRUE(disk->changedBlocks(disk->firmware()->reservedBlocks()).empty());
}

TEST(TimeLeftEstimator, RestartSilenceAndWrap) {
    drl::TimeLeftEstimator e;
    uint32_t t = os::ManualClock::NearWrap;  // the tick wraps within the first reports
    for (uint32_t p = 0; p <= 1000; p += 100, t += 20000) {
        e.report(5, p, t);
    }
    t -= 20000;
    ASSERT_TRUE(e.secondsLeft(t));
    EXPECT_NEAR(1800, *e.secondsLeft(t), 1);
    // Time counts down between reports, until they are overdue.
    EXPECT_NEAR(1740, *e.secondsLeft(t + 60000), 1);
    EXPECT_FALSE(e.secondsLeft(t + 10 * 60000));
    // A lower percentage is a new run; so is another operation.
    e.report(5, 50, t + 20000);
    EXPECT_FALSE(e.secondsLeft(t + 20000));
    e.report(5, 60, t + 40000);
    e.report(4, 70, t + 60000);
    e.report(4, 80, t + 120000);
    EXPECT_FALSE(e.secondsLeft(t + 120000));
}

}  // namespace
}  // namespace drltest
