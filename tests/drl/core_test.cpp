#include <algorithm>
#include <thread>

#include "core_fixture.h"
#include "dcp/records.h"

namespace drltest {
namespace {

using drl::DrlDevId;

std::vector<uint32_t> types(const std::vector<Seen>& events) {
    std::vector<uint32_t> out;
    for (const Seen& s : events)
        out.push_back(s.type);
    return out;
}

TEST_F(CoreTest, EmptyMachineAndBadArguments) {
    start();
    settle();
    EXPECT_TRUE(devices().empty());
    dcp::DcpReqGetInfo info;
    dcp::DcpResponse* response = nullptr;
    EXPECT_EQ(drl::UnknownDevice, core->execute(0, &info, &response));
    EXPECT_EQ(nullptr, response);
    EXPECT_EQ(drl::InvalidArgument, core->execute(0, &info, nullptr));
    EXPECT_EQ(drl::InvalidArgument, core->getDevices(nullptr));
    EXPECT_EQ(drl::UnknownDevice, core->startAsyncComm(0, &info, 100, nullptr));

    Recorder r;
    EXPECT_EQ(drl::Ok, core->addNotifier(&r));
    EXPECT_EQ(drl::Ok, core->addNotifier(&r));
    EXPECT_EQ(std::vector<uint32_t>{drl::DeviceListChanged}, types(r.take()));
    EXPECT_EQ(drl::Ok, core->removeNotifier(&r));
    EXPECT_EQ(drl::InvalidArgument, core->removeNotifier(&r));
    EXPECT_EQ(drl::InvalidArgument, core->addNotifier(nullptr));
}

TEST_F(CoreTest, IdentifiersAreSmallestFreeAndFollowTheSerial) {
    attach(3, 1);
    auto second = attach(5, 2);
    start();
    Recorder r;
    core->addNotifier(&r);
    r.take();
    settle();
    EXPECT_EQ((std::vector<DrlDevId>{0, 1}), devices());
    EXPECT_EQ(3, diskOf(0));
    EXPECT_EQ(5, diskOf(1));
    EXPECT_EQ(std::vector<uint32_t>{drl::DeviceListChanged}, types(r.take()));

    // A vanished device's number is not given to a newcomer in the same scan.
    platform->unplug(3);
    attach(7, 3);
    settle();
    EXPECT_EQ((std::vector<DrlDevId>{1, 2}), devices());
    EXPECT_EQ(7, diskOf(2));
    EXPECT_EQ(std::vector<uint32_t>{drl::DeviceListChanged}, types(r.take())) << "one event";

    attach(8, 4);
    settle();
    EXPECT_EQ((std::vector<DrlDevId>{0, 1, 2}), devices());
    EXPECT_EQ(8, diskOf(0));
    r.take();

    // Moving to another disk keeps the number and is a change of the list.
    platform->unplug(5);
    attach(9, second);
    settle();
    EXPECT_EQ((std::vector<DrlDevId>{0, 1, 2}), devices());
    EXPECT_EQ(9, diskOf(1));
    EXPECT_EQ(std::vector<uint32_t>{drl::DeviceListChanged}, types(r.take()));

    // A new configuration key alone is no change.
    second->key = 0xCAFE;
    core->rescan();
    step();
    EXPECT_TRUE(r.take().empty());
    drl::DeviceRecord record;
    ASSERT_TRUE(impl().lookup(1, &record));
    EXPECT_EQ(0xCAFEu, record.configurationKey);
    core->removeNotifier(&r);
}

TEST_F(CoreTest, DuplicateSerialsFoldIntoTheLowerNumber) {
    auto twin = std::make_shared<CoreDevice>(5);
    attach(2, twin);
    attach(4, std::make_shared<CoreDevice>(5));
    attach(6, 6);
    start();
    settle();
    EXPECT_EQ((std::vector<DrlDevId>{0, 1, 2}), devices()) << "a new serial twice: two numbers";
    EXPECT_EQ(4, diskOf(1));
    core->rescan();
    step();
    EXPECT_EQ((std::vector<DrlDevId>{0, 2}), devices());
    EXPECT_EQ(4, diskOf(0)) << "the later disk wins";
    EXPECT_EQ(6, diskOf(2));
}

TEST_F(CoreTest, ForeignAndSilentDisksAreNotDevices) {
    attach(0, std::make_shared<CoreDevice>(1, "Corvane "));
    attach(1, std::make_shared<CoreDevice>(2, "corvane"));
    auto quiet = attach(2, 3);
    quiet->silent = true;
    auto plain = std::make_shared<sim::EmulatedDisk>(512, 1 << 16);
    platform->plug(4, plain);
    start();
    settle();
    EXPECT_TRUE(devices().empty());
    EXPECT_EQ(0u, plain->counters().writes) << "a disk without an info sector is never written";
}

TEST_F(CoreTest, InitializingDeviceIsHeldThenDroppedOrWelcomedBack) {
    auto device = attach(1, 1);
    start();
    Recorder first, second;
    std::vector<Recorder*> order;
    first.log = &order;
    second.log = &order;
    core->addNotifier(&first);
    core->addNotifier(&second);
    settle();
    first.take();
    second.take();
    order.clear();

    dcp::DcpReqGetDriveInfo drive(0);
    uint32_t periodic = 0;
    ASSERT_EQ(drl::Ok, core->startAsyncComm(0, &drive, 1000, &periodic));
    step();
    EXPECT_EQ(1u, first.take().size());
    second.take();
    order.clear();

    dcp::DcpReqInitConfiguration init(1, 0);
    dcp::DcpResponse* response = nullptr;
    ASSERT_EQ(drl::Ok, core->execute(0, &init, &response));
    ASSERT_EQ(uint32_t(dcp::TypeInitConfiguration), response->type);
    delete response;
    response = nullptr;
    dcp::DcpReqGetInfo info;
    EXPECT_EQ(drl::DeviceInitializing, core->execute(0, &info, &response));
    EXPECT_EQ(nullptr, response);

    // Within the hold the silent device stays listed and its periodic request fails quietly.
    core->rescan();
    step(30000);
    const int before = device->exchanges.load();
    step(29000);
    EXPECT_EQ((std::vector<DrlDevId>{0}), devices());
    EXPECT_TRUE(first.take().empty());
    EXPECT_EQ(before, device->exchanges.load()) << "an initializing device is not addressed";

    // It answers again: welcomed back together with a newcomer, in registration order.
    device->silent = false;
    attach(3, 7);
    settle();
    EXPECT_EQ((std::vector<DrlDevId>{0, 1}), devices());
    EXPECT_EQ((std::vector<uint32_t>{drl::DeviceListChanged, drl::DeviceReturned}),
              types(first.take()));
    EXPECT_EQ((std::vector<uint32_t>{drl::DeviceListChanged, drl::DeviceReturned}),
              types(second.take()));
    EXPECT_EQ((std::vector<Recorder*>{&first, &first, &second, &second}), order);
    ASSERT_EQ(drl::Ok, core->execute(0, &info, &response));
    delete response;

    // Initialised again and never back: dropped by the scan the hold forces.
    ASSERT_EQ(drl::Ok, core->execute(0, &init, &response));
    delete response;
    step(60000);
    EXPECT_EQ((std::vector<DrlDevId>{0, 1}), devices()) << "not older than the hold yet";
    step(10);
    EXPECT_EQ((std::vector<DrlDevId>{1}), devices()) << "the forced scan drops it";
    EXPECT_EQ(std::vector<uint32_t>{drl::DeviceListChanged}, types(first.take()));
    device->silent = false;
    step();
    EXPECT_TRUE(first.take().empty()) << "its periodic request went with it";
    core->removeNotifier(&first);
    core->removeNotifier(&second);
}

// The merge keeps a silent initializing device while its hold runs: up to one millisecond
// short of 60000, not at 60000. The first acceptance falls before the tick wraps and its
// scans after it.
TEST_F(CoreTest, InitializingHoldEndsAtExactlySixtySeconds) {
    auto device = attach(2, 1);
    start();
    settle();
    const struct {
        uint32_t scanAfterMs;
        bool listed;
    } cases[] = {{59999, true}, {60000, false}, {1, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.scanAfterMs);
        device->silent = false;
        core->rescan();
        step();
        ASSERT_EQ(2, diskOf(0));
        dcp::DcpReqInitConfiguration init(1, 0);
        dcp::DcpResponse* response = nullptr;
        ASSERT_EQ(drl::Ok, core->execute(0, &init, &response));
        delete response;
        ASSERT_TRUE(device->silent);
        core->rescan();
        step(c.scanAfterMs);
        EXPECT_EQ(c.listed, diskOf(0) == 2);
    }
}

// Only an initialisation the device accepted makes the core refuse the device; a refused
// one, one with an unknown outcome and a rebuild leave it addressable.
TEST_F(CoreTest, OnlyAnAcceptedInitializationHoldsTheDevice) {
    auto device = attach(0, 1);
    start();
    settle();
    const dcp::DcpReqInitConfiguration init(1, 0);
    const dcp::DcpReqRebuild rebuild;
    const struct {
        const dcp::DcpRequest* request;
        uint8_t outcome;
        uint32_t afterwards;
    } cases[] = {{&init, 3, drl::Ok},
                 {&init, 2, drl::Ok},
                 {&init, 9, drl::Ok},
                 {&rebuild, 1, drl::Ok},
                 {&init, 1, drl::DeviceInitializing}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.request->type << "/" << int(c.outcome));
        device->initOutcome = c.outcome;
        dcp::DcpResponse* response = nullptr;
        ASSERT_EQ(drl::Ok, core->execute(0, c.request, &response));
        delete response;
        response = nullptr;
        dcp::DcpReqGetInfo info;
        EXPECT_EQ(c.afterwards, core->execute(0, &info, &response));
        delete response;
    }
}

TEST_F(CoreTest, PeriodicRequestsRunWhenDueAndStrictlyAfterTheirInterval) {
    auto device = attach(0, 1);
    start();
    settle();
    Recorder r;
    core->addNotifier(&r);
    r.take();

    dcp::DcpReqGetInfo info;
    dcp::DcpReqRebuild rebuild;
    uint32_t id = 99;
    dcp::DcpReqGetInfo lying;  // says drive information, has no bay to read
    lying.type = dcp::TypeGetDriveInfo;
    dcp::DcpReqGetDriveInfo noSuchBay(4);
    for (const dcp::DcpRequest* bad : {static_cast<const dcp::DcpRequest*>(&rebuild),
                                       static_cast<const dcp::DcpRequest*>(&lying),
                                       static_cast<const dcp::DcpRequest*>(&noSuchBay)}) {
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
    EXPECT_EQ(0u, seen[0].devId);
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
    core->removeNotifier(&r);
}

// A request run once wakes the sleeping worker without any time passing, runs once and is
// reported either way.
TEST_F(CoreTest, RequestRunOnceWakesTheWorkerAndIsReportedEitherWay) {
    auto device = attach(0, 1);
    start();
    settle();
    Recorder r;
    core->addNotifier(&r);
    r.take();
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
    core->removeNotifier(&r);
}

TEST_F(CoreTest, DestroyingDuringASlowExchangeWaitsForItsEnd) {
    attach(0, 1);
    start();
    settle();
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

}  // namespace
}  // namespace drltest
