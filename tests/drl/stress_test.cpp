#include <atomic>
#include <random>
#include <thread>

#include "core_fixture.h"

namespace drltest {
namespace {

// Flags any call that arrives after removeNotifier returned.
class Watchful : public drl::DrlNotifier {
public:
    void notify(const drl::DrlEvent& event) override {
        if (removed.load())
            late = true;
        if (event.type == drl::AsyncCommResult) {
            const auto& e = static_cast<const drl::DrlEventAsyncComm&>(event);
            if (e.commId == stoppedComm.load())
                late = true;
        }
    }
    std::atomic<bool> removed{false};
    std::atomic<uint32_t> stoppedComm{0xFFFFFFFF};
    std::atomic<bool> late{false};
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
    auto client = [&](unsigned seed, auto body) {
        return std::thread([&, seed, body] {
            std::mt19937 rng(seed);
            for (int i = 0; i < 150 && !failed; ++i)
                body(rng);
        });
    };
    std::vector<std::thread> threads;
    threads.push_back(client(1, [&](std::mt19937& rng) {
        dcp::DcpReqGetInfo info;
        dcp::DcpResponse* r = nullptr;
        const uint32_t result = core->execute(rng() % 8, &info, &r);
        if (result == drl::Ok) {
            if (r->type != dcp::TypeGetInfo)
                failed = true;
            delete r;
        }
    }));
    threads.push_back(client(2, [&](std::mt19937& rng) {
        dcp::DcpReqGetDriveInfo drive(rng() % 4);
        uint32_t id = 0;
        if (core->startAsyncComm(rng() % 8, &drive, rng() % 50, &id) == drl::Ok) {
            std::this_thread::yield();
            core->stopAsyncComm(id);
        }
    }));
    threads.push_back(client(3, [&](std::mt19937&) {
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
    }));
    threads.push_back(client(4, [&](std::mt19937& rng) {
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
    }));
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
