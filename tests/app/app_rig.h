#pragma once

#include <QCoreApplication>
#include <QStringList>
#include <array>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "app/prompts.h"
#include "app/storagemanager.h"
#include "drl/storage_manager.h"
#include "io/platform.h"
#include "os/device_listener.h"
#include "os/manual_clock.h"
#include "sim/profiles.h"
#include "tests/support/fake_prompts.h"

namespace apptest {

using namespace corvane;

// Sits between an emulated device's transport and its model and keeps every request
// payload that reached the device, and how many came from the thread that made it.
class RequestLog : public sim::CommandHandler {
public:
    explicit RequestLog(std::shared_ptr<sim::DeviceModel> model) : model_(std::move(model)) {}
    bool handle(const uint8_t* request8, uint8_t* response490) override {
        {
            std::lock_guard<std::mutex> lock(m_);
            std::array<uint8_t, 8> r;
            std::copy(request8, request8 + 8, r.begin());
            requests_.push_back(r);
            fromMaker_ += std::this_thread::get_id() == maker_;
        }
        return model_->handle(request8, response490);
    }
    bool medium(uint32_t blockSize, sim::Medium* out) override {
        return model_->medium(blockSize, out);
    }
    // Payloads of one sub-command, in arrival order.
    std::vector<std::array<uint8_t, 8>> of(uint8_t subCommand) const {
        std::lock_guard<std::mutex> lock(m_);
        std::vector<std::array<uint8_t, 8>> out;
        for (const auto& r : requests_) {
            if (r[0] == subCommand)
                out.push_back(r);
        }
        return out;
    }
    int count(uint8_t subCommand) const { return int(of(subCommand).size()); }
    int fromMakersThread() const {
        std::lock_guard<std::mutex> lock(m_);
        return fromMaker_;
    }

private:
    std::shared_ptr<sim::DeviceModel> model_;
    mutable std::mutex m_;
    std::vector<std::array<uint8_t, 8>> requests_;
    const std::thread::id maker_ = std::this_thread::get_id();
    int fromMaker_ = 0;
};

// Emulated devices, a manual clock and the adapter over a core that hears only in-process
// device announcements. Every step lets the worker run exactly one cycle, then delivers
// what it posted.
class Rig {
public:
    Rig() {
        platform->setChangeListener([] { os::announceDeviceChange(); });
        io::setPlatform(platform);
        TPrompts::install(&prompts);
    }
    ~Rig() {
        clock.setAutoAdvance(true);
        StorageManager::destroyInstance();
        StorageManager::setCoreFactory({});
        TPrompts::install(nullptr);
        io::setPlatform(nullptr);
    }

    struct Device {
        sim::EmulatedDevice emulated;
        std::shared_ptr<RequestLog> log;
    };

    Device plug(unsigned disk, const std::string& profile, unsigned unit = 0) {
        sim::ProfileOptions options;
        options.unit = unit;
        auto device = sim::makeProfile(profile, options);
        Device d{*device, std::make_shared<RequestLog>(device->model)};
        d.emulated.firmware->setHandler(d.log);
        platform->plug(disk, d.emulated.disk);
        return d;
    }

    // The adapter over a running core (or over none when failCore).
    StorageManager* start(bool failCore = false) {
        StorageManager::setCoreFactory([failCore]() -> drl::CvnStorageManager* {
            return failCore ? nullptr
                            : drl::CvnStorageManager::create(
                                  os::DeviceListener::create(os::DeviceSource::InProcess));
        });
        adapter = StorageManager::instance();
        if (!failCore)
            clock.waitForSleepers(1);
        return adapter;
    }
    // The adapter listening, its first refresh delivered, the devices scanned and their
    // periodic queries run once.
    StorageManager* listen() {
        StorageManager* sm = start();
        sm->startListening();
        deliver();
        settle();
        step();
        return sm;
    }

    // What was posted, and the answers the adapter asked the worker for meanwhile: the
    // worker wakes for those without any time passing.
    void deliver() {
        QCoreApplication::sendPostedEvents(nullptr, 0);
        for (int round = 0; round < 8 && adapter && adapter->hasPendingAnswers(); ++round) {
            clock.waitForSleepers(1);
            QCoreApplication::sendPostedEvents(nullptr, 0);
        }
    }
    // One worker cycle ms later; what it posts waits for deliver().
    void run(uint32_t ms) {
        clock.waitForSleepers(1);
        clock.advance(ms);
        clock.waitForSleepers(1);
    }
    void step(uint32_t ms = 10) {
        run(ms);
        deliver();
    }
    // Past the listener's quiet second: the next cycle scans.
    void settle() { step(1001); }

    os::ManualClock clock;
    os::ScopedClock useClock{clock};
    StorageManager* adapter = nullptr;
    std::shared_ptr<sim::EmulatedPlatform> platform = std::make_shared<sim::EmulatedPlatform>();
    FakePrompts prompts;
};

// The adapter's signals as one ordered list of short texts.
class Journal {
public:
    explicit Journal(StorageManager* sm) {
        QObject::connect(sm, &StorageManager::deviceChange, sm,
                         [this](DrlDevId id, const DcpRespInfo*) { add("info", id); });
        QObject::connect(
            sm, &StorageManager::deviceDriveChange, sm,
            [this](DrlDevId id, const DcpRespDriveInfo* d) { add("drive", id, d->driveIndex); });
        QObject::connect(sm, &StorageManager::deviceTextChange, sm,
                         [this](DrlDevId id, const DcpRespStatusText*) { add("text", id); });
        QObject::connect(sm, &StorageManager::deviceListChange, sm,
                         [this](const QMap<DrlDevId, DcpRespInfo*>& map) {
                             QStringList ids;
                             for (auto it = map.begin(); it != map.end(); ++it) {
                                 ids << QString::number(it.key());
                                 models << QString::fromStdString(it.value()->model);
                             }
                             entries << "list:" + ids.join(',');
                         });
        QObject::connect(
            sm, &StorageManager::deviceStatusChange, sm,
            [this](quint32 id, const DcpRespProgress& p) { add("status", id, p.phase); });
    }
    QStringList take() {
        QStringList out;
        out.swap(entries);
        return out;
    }

    QStringList entries;
    QStringList models;

private:
    void add(const char* what, quint32 id, qint64 detail = -1) {
        entries << QString::fromLatin1(what) + ':' + QString::number(id) +
                       (detail < 0 ? QString() : ':' + QString::number(detail));
    }
};

}  // namespace apptest
