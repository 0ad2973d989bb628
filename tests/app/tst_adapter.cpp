#include <QtTest>
#include <cerrno>

#include "app_rig.h"

using namespace apptest;

namespace {
constexpr uint8_t kInfo = dcp::SubGetInfo;
constexpr uint8_t kDrive = dcp::SubGetDriveInfo;
constexpr uint8_t kProgress = dcp::SubGetProgress;
}  // namespace

class AdapterTest : public QObject {
    Q_OBJECT

    std::unique_ptr<Rig> rig;
    StorageManager* sm = nullptr;
    std::unique_ptr<Journal> journal;

    // The adapter listening and its first refresh delivered.
    void begin(bool failCore = false) {
        sm = rig->start(failCore);
        journal = std::make_unique<Journal>(sm);
        sm->startListening();
        rig->deliver();
    }
    void listen() {
        sm = rig->listen();
        journal = std::make_unique<Journal>(sm);
    }
    void rebuild(DrlDevId id) {
        rig->prompts.answers = {1};
        sm->rebuildDevice(nullptr, id);
        QVERIFY(sm->isDeviceBusy(id));
    }

private slots:
    void init() {
        QTest::failOnWarning(QRegularExpression("QObject::connect|connectSlotsByName"));
        rig = std::make_unique<Rig>();
    }
    void cleanup() {
        const QStringList unexpected = rig->prompts.unexpected;
        journal.reset();
        rig.reset();
        sm = nullptr;
        QVERIFY2(unexpected.isEmpty(), qPrintable(unexpected.join(',')));
    }

    void firstRefreshThenPeriodicQueriesOncePerDevice() {
        auto a = rig->plug(2, "healthy");
        auto b = rig->plug(5, "degraded", 1);
        begin();
        QCOMPARE(journal->take(), QStringList{"list:"});  // before the worker's first scan
        rig->settle();
        QCOMPARE(journal->take(), QStringList{"list:0,1"});
        QCOMPARE(journal->models, (QStringList{"VRXA-QD01", "VRXA-QD01"}));

        rig->step();
        const QStringList first = journal->take();
        for (const char* e :
             {"info:0", "info:1", "text:0", "drive:0:0", "drive:0:3", "drive:1:2"}) {
            QVERIFY2(first.contains(e), e);
        }
        QCOMPARE(a.log->count(kDrive), 4);
        QCOMPARE(b.log->count(kDrive), 4);

        // The set repeats every minute.
        rig->step(60001);
        QCOMPARE(a.log->count(kDrive), 8);
        QCOMPARE(b.log->count(kDrive), 8);
        QVERIFY(journal->take().contains("info:0"));
        // Refreshes and periodic queries alike ask on the worker.
        QCOMPARE(a.log->fromMakersThread() + b.log->fromMakersThread(), 0);

        // Synchronous queries: information from the cache unless refreshed.
        const int asked = a.log->count(kInfo);
        std::unique_ptr<DcpRespInfo> cached(sm->deviceInfo(0, false));
        QCOMPARE(a.log->count(kInfo), asked);
        std::unique_ptr<DcpRespInfo> fresh(sm->deviceInfo(0, true));
        QCOMPARE(a.log->count(kInfo), asked + 1);
        std::unique_ptr<DcpRespDriveInfo> drive(sm->driveInfo(0, 3));
        std::unique_ptr<DcpRespStatusText> text(sm->statusText(0));
        QVERIFY(cached && fresh && drive && drive->driveIndex == 3u && text && !text->text.empty());
        QCOMPARE(sm->deviceInfo(9, false), nullptr);
    }

    void knownDeviceWhoseInformationFailedIsNotQueriedAgain() {
        auto a = rig->plug(2, "healthy");
        begin();
        journal->take();

        // The scan finds the device; it stops answering before the GUI asks about it.
        rig->run(1001);
        a.emulated.disk->setFaultInjector([](sim::DiskOp, uint64_t) { return EIO; });
        rig->deliver();
        QCOMPARE(journal->take(), QStringList{"list:"});
        a.emulated.disk->setFaultInjector({});

        // The scan finds nothing new; the rescan asks the device the window lacks.
        sm->rescanDevices();
        rig->deliver();
        QCOMPARE(journal->take(), QStringList{"list:0"});
        rig->step();
        rig->step(60001);
        QCOMPARE(a.log->count(kDrive), 0);
        QVERIFY(journal->take().isEmpty());
    }

    void progressPollSwitchesFromFiveToTwentySecondsOnce() {
        auto b = rig->plug(5, "degraded");
        listen();
        rebuild(0);
        journal->take();
        QCOMPARE(b.log->count(kProgress), 0);

        // At 10 s the device reports progress: one switch to a 20-second poll, run at once.
        const std::pair<uint32_t, int> schedule[] = {{10, 1},   {5001, 2}, {5001, 3}, {10, 4},
                                                     {5001, 4}, {5001, 4}, {5001, 4}, {5001, 5}};
        for (const auto& [ms, polls] : schedule) {
            rig->step(ms);
            QCOMPARE(b.log->count(kProgress), polls);
        }
        QCOMPARE(
            journal->entries.filter("status"),
            (QStringList{"status:0:1", "status:0:1", "status:0:2", "status:0:2", "status:0:2"}));
        QVERIFY(sm->isDeviceBusy(0));
        QVERIFY(journal->entries.filter("list").isEmpty());
    }

    void finalPhaseEndsThePollThenRefreshes_data() {
        QTest::addColumn<QString>("profile");
        QTest::addColumn<int>("phase");
        QTest::newRow("completed") << "degraded" << int(dcp::PhaseCompleted);
        QTest::newRow("failed") << "rebuild-fails" << int(dcp::PhaseFailed);
        QTest::newRow("disk too small") << "rebuild-too-small" << int(dcp::PhaseDiskTooSmall);
        QTest::newRow("unknown, nothing runs") << "healthy" << int(dcp::PhaseUnknown);
    }
    void finalPhaseEndsThePollThenRefreshes() {
        QFETCH(QString, profile);
        QFETCH(int, phase);
        auto d = rig->plug(3, profile.toStdString());
        listen();
        if (phase == dcp::PhaseUnknown) {
            sm->trackProgress(0);
        } else {
            rebuild(0);
        }
        journal->take();

        const QString final = QStringLiteral("status:0:%1").arg(phase);
        QStringList last;
        for (int i = 0; i < 30 && !last.contains(final); ++i) {
            rig->step(20001);
            last = journal->take();
        }
        QVERIFY2(last.contains(final), qPrintable(last.join(' ')));
        // The new list first, exactly once, then the report.
        QCOMPARE(last.filter("list"), QStringList{"list:0"});
        QVERIFY(last.indexOf("list:0") < last.indexOf(final));
        QCOMPARE(last.filter("status"), QStringList{final});
        QVERIFY(!sm->isDeviceBusy(0));
        QVERIFY(!sm->hasTrackedOperations());

        const int polls = d.log->count(kProgress);
        rig->step(20001);
        rig->step(20001);
        QCOMPARE(d.log->count(kProgress), polls);
    }

    // A report for a device without a poll is forwarded and touches no request.
    void reportWithoutPollChangesNoPoll() {
        auto a = rig->plug(2, "healthy");
        listen();
        const int infos = a.log->count(kInfo);
        for (uint32_t phase : {dcp::PhaseProgressing, dcp::PhaseCompleted}) {
            DcpRespProgress report;
            report.operation = dcp::TypeRebuild;
            report.phase = phase;
            QCoreApplication::postEvent(sm, new RebuildProgressEvent(0, report));
            rig->deliver();
            QCOMPARE(journal->take(), QStringList{QStringLiteral("status:0:%1").arg(phase)});
            QVERIFY(!sm->isDeviceBusy(0));
        }
        // The first periodic request the core numbered keeps running.
        rig->step(60001);
        QCOMPARE(a.log->count(kInfo), infos + 1);
        QVERIFY(journal->take().contains("info:0"));
    }

    // A tracked device's information reaches only the cache; gone, it leaves cache and poll.
    void trackedDeviceThenVanished() {
        rig->plug(2, "healthy");
        auto b = rig->plug(5, "degraded", 1);
        listen();
        rebuild(1);
        QCOMPARE(std::unique_ptr<DcpRespInfo>(sm->deviceInfo(1, false))->raidStatus,
                 uint32_t(dcp::RaidDegraded));
        rig->step(60001);
        const QStringList seen = journal->take();
        QVERIFY(seen.contains("info:0"));
        QVERIFY(!seen.contains("info:1"));
        QCOMPARE(std::unique_ptr<DcpRespInfo>(sm->deviceInfo(1, false))->raidStatus,
                 uint32_t(dcp::RaidRebuilding));

        rig->platform->unplug(5);
        rig->settle();
        QCOMPARE(journal->take(), QStringList{"list:0"});
        QVERIFY(!sm->hasTrackedOperations());
        QCOMPARE(sm->deviceInfo(1, false), nullptr);

        // Back again it is new: a fresh set of periodic queries.
        const int drives = b.log->count(kDrive);
        rig->platform->plug(5, b.emulated.disk);
        rig->settle();
        QCOMPARE(journal->take(), QStringList{"list:0,1"});
        QVERIFY(sm->isDeviceBusy(1));  // found rebuilding, so polled again
        rig->step();
        QCOMPARE(b.log->count(kDrive), drives + 4);
    }

    // Answers posted but not yet delivered die with the adapter (ASan watches).
    void destroyedWithEventsQueued() {
        rig->plug(2, "healthy");
        listen();
        rig->run(60001);
        journal.reset();
        rig->clock.setAutoAdvance(true);  // the worker must leave its sleep to stop
        StorageManager::destroyInstance();
        rig->adapter = nullptr;
        rig->deliver();
        QVERIFY(!StorageManager::instance()->isDeviceBusy(0));
    }

    void withoutCoreEveryCallIsHarmless() {
        begin(true);
        sm->rescanDevices();
        sm->refreshDeviceList();
        rig->deliver();
        QCOMPARE(sm->deviceInfo(0, true), nullptr);
        QCOMPARE(sm->driveInfo(0, 0), nullptr);
        QCOMPARE(sm->statusText(0), nullptr);
        QCOMPARE(sm->sendInitConfiguration(0, 1), nullptr);
        QCOMPARE(sm->sendRebuild(0), nullptr);
        sm->trackProgress(0);
        QVERIFY(!sm->isDeviceBusy(0));
        rig->prompts.answers = {1, 1};
        sm->rebuildDevice(nullptr, 0);
        sm->initDevice(nullptr, 0);
        QCOMPARE(rig->prompts.kinds, (QStringList{"failure", "failure"}));
        QVERIFY(journal->entries.isEmpty());
    }
};

int runAdapterTests(int argc, char** argv) {
    AdapterTest t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_adapter.moc"
