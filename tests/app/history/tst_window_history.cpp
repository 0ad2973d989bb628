// The window's own history file: the readings and the state changes it sees, each device
// under the monitor's key, and the History tab of each device reading its own; over the
// demo's emulated devices with the clock stepped by hand.
#include <QSignalSpy>
#include <QTabWidget>
#include <QTreeWidget>

#include "dcp/payload.h"
#include "dialogs/historyrecorder.h"
#include "dialogs/historyview.h"
#include "monitor/history.h"
#include "sim/device_model.h"
#include "tests/app/window_rig.h"

using namespace apptest;

class WindowHistoryTest : public QObject, WindowRig {
    Q_OBJECT

public:
    WindowHistoryTest() { eachSecondDelivered_ = true; }

private:
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
        setUp();
        qputenv("XDG_DATA_HOME", QFile::encodeName(folder_->filePath(QStringLiteral("data"))));
    }
    void cleanup() { tearDown(); }

    // Two devices report one serial, and a drive of one fails: its changes and readings go
    // under its own key, none under the bare serial, and each History tab shows its own.
    void twoDevicesOfOneSerialKeepTheirOwnHistories() {
        const unsigned a = unsigned(rig_->plug(QStringLiteral("healthy")));
        const unsigned b = unsigned(rig_->plug(QStringLiteral("healthy")));
        sim::Identity twin = rig_->model(b)->identity();
        twin.serial = rig_->model(a)->identity().serial;
        rig_->model(b)->setIdentity(twin);
        openWindow(2, 3000);
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
        openWindow(1, 3000);
        table()->selectRow(0);
        prompts_.answers = {1};
        action("a_rebuild_raid")->trigger();
        step(300000);
        rig_->unplug(disk);
        step(3000);
        QTRY_COMPARE(table()->rowCount(), 0);
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
        openWindow(1, 3000);
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

    // Each start of the window takes up what the last one knew: a degraded device is found
    // and degraded once, a repair while closed is its recovery once, and one unplugged while
    // closed is not called lost by a window that never saw it.
    void aNewStartRecordsOnlyWhatChanged() {
        const unsigned disk = unsigned(rig_->plug(QStringLiteral("degraded")));
        const QStringList degraded({"device-found@-1", "raid-degraded@-1"});
        openWindow(1, 3000);
        QCOMPARE(fileEvents(""), degraded);
        closeWindow();
        openWindow(1, 3000);
        QCOMPARE(fileEvents(""), degraded);
        closeWindow();

        for (unsigned bay = 0; bay < sim::kBays; ++bay) {
            sim::Drive d = rig_->model(disk)->drive(bay);
            d.member = sim::Member::Active;
            d.raidSetId = rig_->model(disk)->raid().setId;
            rig_->model(disk)->setDrive(bay, d);
        }
        openWindow(1, 3000);
        QStringList events = fileEvents("");
        events.removeIf([](const QString& e) { return e.startsWith(QLatin1String("drive")); });
        QCOMPARE(events, degraded + QStringList({"raid-normal@-1"}));
        const int repaired = fileEvents("").size();
        closeWindow();
        openWindow(1, 3000);
        QCOMPARE(fileEvents("").size(), repaired);
        closeWindow();

        rig_->unplug(disk);
        openWindow(0, 3000);
        QCOMPARE(fileEvents("").size(), repaired);
    }

    // A damaged state file is set aside: the window starts afresh and keeps a new one.
    void aDamagedStateFileIsSetAside() {
        rig_->plug(QStringLiteral("degraded"));
        const QString state = HistoryRecorder::statePath(HistoryRecorder::defaultPath());
        QDir().mkpath(QFileInfo(state).absolutePath());
        QFile damaged(state);
        QVERIFY(damaged.open(QIODevice::WriteOnly));
        damaged.write("not a state file\n");
        damaged.close();
        const QStringList degraded({"device-found@-1", "raid-degraded@-1"});
        openWindow(1, 3000);
        QCOMPARE(fileEvents(""), degraded);
        QFile aside(state + QStringLiteral(".bad"));
        QVERIFY(aside.open(QIODevice::ReadOnly));
        QCOMPARE(aside.readAll(), QByteArray("not a state file\n"));
        closeWindow();
        openWindow(1, 3000);
        QCOMPARE(fileEvents(""), degraded);
    }
};

int main(int argc, char** argv) {
    return runWindowTests<WindowHistoryTest>(argc, argv, "drl-window-history-test-");
}

#include "tst_window_history.moc"
