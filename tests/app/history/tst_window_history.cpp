// The window's own history file: the readings and the state changes it sees, each device
// under the monitor's key, and the History tab of each device reading its own; over the
// demo's emulated devices with the clock stepped by hand.
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

#include "app/demo/demorig.h"
#include "app/drl.h"
#include "app/prompts.h"
#include "app/singleinstance.h"
#include "app/storagemanager.h"
#include "dcp/payload.h"
#include "dialogs/deviceinfodialog.h"
#include "dialogs/historyrecorder.h"
#include "dialogs/historyview.h"
#include "drl/storage_manager.h"
#include "monitor/history.h"
#include "os/device_listener.h"
#include "os/manual_clock.h"
#include "settings/folder.h"
#include "settings/kvstore.h"
#include "sim/device_model.h"
#include "widgets/ttableview.h"

using namespace corvane;

namespace {

os::ManualClock* theClock = nullptr;

struct QuietPrompts : TPrompts {
    void failure(QWidget*, const QString&, const QString&) override {}
    bool confirm(QWidget*, const QString&, const QString&) override { return true; }
    int chooseCapacity(QWidget*) override { return -1; }
    QString saveFileName(QWidget*, const QString&, const QString&) override { return {}; }
    bool runPrintDialog(QWidget*, QPrinter&, const QString&) override { return false; }
};

}  // namespace

class WindowHistoryTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> folder_;
    std::unique_ptr<demo::DemoRig> rig_;
    std::unique_ptr<DRL> window_;
    QuietPrompts prompts_;

    void step(uint32_t ms) {
        for (uint32_t done = 0; done < ms; done += 1000) {
            theClock->advance(std::min<uint32_t>(1000, ms - done));
            QVERIFY(theClock->waitForSleepers(1));
            QCoreApplication::processEvents();
        }
    }
    TTableView* openWindow(int rows) {
        window_ = std::make_unique<DRL>();
        window_->show();
        step(3000);
        auto* table = window_->findChild<TTableView*>(QStringLiteral("tbv_devs"));
        return QTest::qWaitFor([&] { return table->rowCount() == rows; }) ? table : nullptr;
    }
    // The device's events in the window's file, in order, as name@bay ("" every device).
    QStringList fileEvents(const std::string& key) {
        window_->findChild<HistoryRecorder*>()->flush();
        history::History h;
        std::string said;
        QStringList out;
        if (!h.openForReading(HistoryRecorder::defaultPath().toStdString(), &said))
            return {QString::fromStdString(said)};
        for (const auto& e : h.events(key, 0, QDateTime::currentMSecsSinceEpoch() + 1000))
            out << QString::fromStdString(e.name) + '@' + QString::number(e.bay);
        return out;
    }
    // The History tab's event names of the device's dialog.
    QStringList tabEvents(DrlDevId id) {
        DeviceInfoDialog* dialog = DeviceInfoDialog::showFor(id, window_.get());
        auto* view = dialog->findChild<HistoryView*>();
        QSignalSpy loaded(view, &HistoryView::loaded);
        dialog->findChild<QTabWidget*>()->setCurrentWidget(view);
        if (!loaded.count() && !loaded.wait(5000))
            return {QStringLiteral("not loaded")};
        QStringList out;
        auto* list = view->findChild<QTreeWidget*>(QStringLiteral("tw_events"));
        for (int i = 0; i < list->topLevelItemCount(); ++i)
            out << list->topLevelItem(i)->text(1);
        out.sort();
        dialog->close();
        return out;
    }

private slots:
    void init() {
        folder_ = std::make_unique<QTemporaryDir>();
        setSettingsFolder(folder_->path().toStdString());
        qputenv("XDG_DATA_HOME", QFile::encodeName(folder_->filePath(QStringLiteral("data"))));
        rig_ = std::make_unique<demo::DemoRig>();
        StorageManager::setCoreFactory([] {
            return drl::CvnStorageManager::create(
                os::DeviceListener::create(os::DeviceSource::InProcess));
        });
        TPrompts::install(&prompts_);
    }
    void cleanup() {
        theClock->setAutoAdvance(true);
        window_.reset();
        theClock->setAutoAdvance(false);
        DeviceInfoDialog::destroyAll();
        StorageManager::destroyInstance();
        releaseSettings();
        rig_.reset();
        TPrompts::install(nullptr);
    }

    // Two devices report one serial, and a drive of one fails: its changes and readings go
    // under its own key, none under the bare serial, and each History tab shows its own.
    void twoDevicesOfOneSerialKeepTheirOwnHistories() {
        const unsigned a = unsigned(rig_->plug(QStringLiteral("healthy")));
        const unsigned b = unsigned(rig_->plug(QStringLiteral("healthy")));
        sim::Identity twin = rig_->model(b)->identity();
        twin.serial = rig_->model(a)->identity().serial;
        rig_->model(b)->setIdentity(twin);
        QVERIFY(openWindow(2));
        rig_->failDrive(b, 1);
        step(61000);

        const std::string serial = dcp::hexText(twin.serial.data(), twin.serial.size());
        const std::string keyA = serial + "@disk" + std::to_string(a);
        const std::string keyB = serial + "@disk" + std::to_string(b);
        QCOMPARE(fileEvents(keyA), QStringList({"device-found@-1"}));
        QStringList ofB = fileEvents(keyB);
        ofB.sort();
        QCOMPARE(ofB, QStringList({"device-found@-1", "drive-failed@1", "failure-likely@-1",
                                   "raid-degraded@-1"}));
        QCOMPARE(fileEvents(serial), QStringList());
        history::History h;
        std::string said;
        QVERIFY2(h.openForReading(HistoryRecorder::defaultPath().toStdString(), &said),
                 said.c_str());
        const qint64 now = QDateTime::currentMSecsSinceEpoch() + 1000;
        QVERIFY(h.readings(serial, 0, now).empty());
        QVERIFY(!h.readings(keyA, 0, now).empty() && !h.readings(keyB, 0, now).empty());

        StorageManager* adapter = StorageManager::instance();
        QMap<QString, DrlDevId> ids;
        for (DrlDevId id : {DrlDevId(0), DrlDevId(1)})
            ids[adapter->deviceKey(id)] = id;
        QVERIFY(ids.contains(QString::fromStdString(keyA)));
        QVERIFY(ids.contains(QString::fromStdString(keyB)));
        QCOMPARE(tabEvents(ids[QString::fromStdString(keyA)]), QStringList({"device-found"}));
        QCOMPARE(tabEvents(ids[QString::fromStdString(keyB)]),
                 QStringList({"device-found", "drive-failed", "failure-likely", "raid-degraded"}));
    }

    // A rebuild run from the window, and the device unplugged once repaired: each change
    // once, in order, with the monitor's names.
    void aRebuildAndAnUnplugInOrder() {
        const unsigned disk = unsigned(rig_->plug(QStringLiteral("degraded")));
        TTableView* table = openWindow(1);
        QVERIFY(table);
        table->selectRow(0);
        window_->findChild<QAction*>(QStringLiteral("a_rebuild_raid"))->trigger();
        step(300000);
        rig_->unplug(disk);
        step(3000);
        QTRY_COMPARE(table->rowCount(), 0);
        QStringList names;
        for (const QString& e : fileEvents(""))
            if (!e.startsWith(QLatin1String("drive")))  // which bays change is the model's
                names << e.section('@', 0, 0);
        // The set's state and the run's report arrive as two answers, in either order.
        QCOMPARE(names.size(), 6);
        QCOMPARE(names.mid(0, 3),
                 QStringList({"device-found", "raid-degraded", "rebuild-started"}));
        QCOMPARE(QSet<QString>(names.begin() + 3, names.begin() + 5),
                 QSet<QString>({"rebuild-completed", "raid-normal"}));
        QCOMPARE(names.back(), QStringLiteral("device-lost"));
    }

    // The trends, timed by the clock: a rise of a drive's counters at once, a drive hot for
    // ten minutes; neither before.
    void trendsOfTheDrives() {
        const unsigned disk = unsigned(rig_->plug(QStringLiteral("healthy")));
        QVERIFY(openWindow(1));
        auto set = [&](unsigned bay, uint32_t crc, uint16_t temperature) {
            sim::Drive d = rig_->model(disk)->drive(bay);
            d.crcErrors = crc;
            d.temperature = temperature;
            rig_->model(disk)->setDrive(bay, d);
        };
        set(0, 0, 400);
        set(2, 0, 400);
        step(61000);
        set(0, 3, 400);
        set(2, 0, 600);
        step(61000);
        QCOMPARE(fileEvents(""), QStringList({"device-found@-1", "counter-rising@0"}));
        step(8 * 60000);
        QCOMPARE(fileEvents("").size(), 2);
        step(3 * 60000);
        QCOMPARE(fileEvents(""),
                 QStringList({"device-found@-1", "counter-rising@0", "temperature-high@2"}));
    }
};

int main(int argc, char** argv) {
    QTemporaryDir home;
    qputenv("HOME", home.path().toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", home.filePath("config").toLocal8Bit());
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    static os::ManualClock clock;
    os::ScopedClock useClock(clock);
    theClock = &clock;
    const QByteArray key = "drl-window-history-test-" + QByteArray::number(getpid());
    TSingleInstanceApp app(argc, argv, key.constData());
    WindowHistoryTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_window_history.moc"
