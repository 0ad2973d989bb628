#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "dcp/records.h"
#include "drl/storage_manager_impl.h"
#include "io/platform.h"
#include "os/device_listener.h"
#include "os/manual_clock.h"
#include "sim/emulated_disk.h"
#include "sim/firmware.h"

namespace drltest {

using namespace corvane;
using drl::DrlDevId;

// Just enough of a device for the core: identity, and initialisation that makes it go
// silent until told to come back.
class CoreDevice : public sim::CommandHandler {
public:
    explicit CoreDevice(uint8_t serialSeed, const char* vendor = "Corvane") : vendor_(vendor) {
        for (int i = 0; i < 8; ++i)
            serial[i] = uint8_t(serialSeed * 16 + i);
    }

    bool handle(const uint8_t* request, uint8_t* response) override {
        ++exchanges;
        if (silent.load())
            return false;
        switch (request[0]) {
            case dcp::SubGetInfo:
                std::memcpy(response + 2, serial, 8);
                std::strncpy(reinterpret_cast<char*>(response + 10), vendor_, 16);
                std::memcpy(response + 26, "CVN-R4", 6);
                response[112] = 1;
                for (int i = 0; i < 4; ++i)
                    response[120 + i] = uint8_t(key.load() >> (8 * i));
                response[124 + 5] = 1;  // some terabytes
                return true;
            case dcp::SubInitConfiguration:
                response[0] = initOutcome.load();
                silent = response[0] == 1;  // accepted: busy with the new set
                return true;
            default:
                response[0] = 1;
                return true;
        }
    }

    uint8_t serial[8];
    std::atomic<uint32_t> key{0x11223344};
    std::atomic<bool> silent{false};
    std::atomic<uint8_t> initOutcome{1};  // payload byte 0 of the answer to an initialisation
    std::atomic<int> exchanges{0};

private:
    const char* vendor_;
};

struct Seen {
    uint32_t type, commId = 0, responseType = 0, result = 0;
};

// Registered on `core` (when given) for its lifetime, the greeting dropped; `order` logs
// which recorder heard each event.
class Recorder : public drl::DrlNotifier {
public:
    explicit Recorder(drl::CvnStorageManager* core = nullptr, std::vector<Recorder*>* order = {})
        : core_(core), order_(order) {
        if (core_)
            core_->addNotifier(this);
        take();
    }
    ~Recorder() override {
        if (core_)
            core_->removeNotifier(this);
    }
    void notify(const drl::DrlEvent& event) override {
        std::lock_guard<std::mutex> lock(m_);
        Seen s{event.type};
        if (event.type == drl::AsyncCommResult || event.type == drl::RequestDone) {
            const auto& e = static_cast<const drl::DrlEventAsyncComm&>(event);
            EXPECT_EQ(0u, e.devId);
            s = {event.type, e.commId, e.response ? e.response->type : 0, e.result};
        }
        events_.push_back(s);
        if (order_)
            order_->push_back(this);
    }
    std::vector<Seen> take() {
        std::lock_guard<std::mutex> lock(m_);
        return std::exchange(events_, {});
    }
    std::vector<uint32_t> types() {
        std::vector<uint32_t> out;
        for (const Seen& s : take())
            out.push_back(s.type);
        return out;
    }

private:
    drl::CvnStorageManager* core_;
    std::vector<Recorder*>* order_;
    std::mutex m_;
    std::vector<Seen> events_;
};

// A core on emulated disks with a manual clock: every step lets the worker run exactly
// one cycle.
class CoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform->setChangeListener([] { os::announceDeviceChange(); });
        io::setPlatform(platform);
    }
    void TearDown() override {
        clock.setAutoAdvance(true);
        core.reset();
        io::setPlatform(nullptr);
    }

    std::shared_ptr<CoreDevice> attach(unsigned disk, uint8_t seed, uint32_t blockSize = 512) {
        return attach(disk, std::make_shared<CoreDevice>(seed), blockSize);
    }
    std::shared_ptr<CoreDevice> attach(unsigned disk, std::shared_ptr<CoreDevice> device,
                                       uint32_t blockSize = 512) {
        auto d = std::make_shared<sim::EmulatedDisk>(blockSize, 1 << 20);
        d->fillWithPattern(disk + 1);
        d->setFirmware(std::make_shared<sim::Firmware>(blockSize, 1 << 20, device));
        platform->plug(disk, d);
        return device;
    }

    void start(bool settled = true) {
        core.reset(drl::CvnStorageManager::create(
            os::DeviceListener::create(os::DeviceSource::InProcess)));
        ASSERT_TRUE(core);
        ASSERT_TRUE(clock.waitForSleepers(1));
        if (settled)
            settle();
    }
    // One worker cycle after ms of time.
    void step(uint32_t ms = 10) {
        ASSERT_TRUE(clock.waitForSleepers(1));
        clock.advance(ms);
        ASSERT_TRUE(clock.waitForSleepers(1));
    }
    // Past the listener's quiet second: the next cycle scans.
    void settle() { step(1001); }
    // The worker runs a periodic request on device 0 (disk 0) and hangs inside it.
    std::shared_ptr<sim::EmulatedDisk> hangInAnExchange() {
        dcp::DcpReqGetInfo info;
        EXPECT_EQ(drl::Ok, core->startAsyncComm(0, &info, 0, nullptr));
        auto disk = platform->disk(0);
        disk->setPassThroughHold(true);
        clock.advance(10);
        EXPECT_TRUE(disk->waitForHeld(1));
        return disk;
    }
    // A synchronous request; a record comes exactly with Ok.
    uint32_t run(DrlDevId id, const dcp::DcpRequest& request) {
        dcp::DcpResponse* out = nullptr;
        const uint32_t result = core->execute(id, &request, &out);
        EXPECT_EQ(result == drl::Ok, out && out->type == request.type) << result;
        delete out;
        return result;
    }

    // Device -> disk number, as listed.
    std::map<DrlDevId, int> listing() {
        std::vector<DrlDevId> ids;
        EXPECT_EQ(drl::Ok, core->getDevices(&ids));
        std::map<DrlDevId, int> out;
        for (DrlDevId id : ids)
            out[id] = diskOf(id);
        return out;
    }
    drl::CvnStorageManagerImpl& impl() { return static_cast<drl::CvnStorageManagerImpl&>(*core); }
    // Disk number of a device, or -1 when it is not listed.
    int diskOf(DrlDevId id) {
        drl::DeviceRecord r;
        return impl().lookup(id, &r) ? int(r.driveNumber) : -1;
    }

    os::ManualClock clock;
    os::ScopedClock useClock{clock};
    std::shared_ptr<sim::EmulatedPlatform> platform = std::make_shared<sim::EmulatedPlatform>();
    std::unique_ptr<drl::CvnStorageManager> core;
};

using Listing = std::map<DrlDevId, int>;
using Types = std::vector<uint32_t>;

}  // namespace drltest
