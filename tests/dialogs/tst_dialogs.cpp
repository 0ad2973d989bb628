#include <sys/stat.h>
#include <unistd.h>
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPrinter>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStringDecoder>
#include <QStyleFactory>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <deque>

#include "app/prompts.h"
#include "app/storagemanager.h"
#include "dialogs/deviceinfodialog.h"
#include "dialogs/smartwindow.h"
#include "drl/storage_manager.h"
#include "io/platform.h"
#include "os/device_listener.h"
#include "os/manual_clock.h"
#include "resources/pictures.h"
#include "settings/folder.h"
#include "settings/intlist.h"
#include "settings/kvstore.h"
#include "sim/emulated_disk.h"
#include "sim/profiles.h"
#include "widgets/tcellitems.h"
#include "widgets/ttableview.h"

using namespace corvane;

namespace {

// Answers file and print dialogs from queues and records every box; any prompt the test
// did not expect is remembered and fails the test in cleanup().
struct FakePrompts : TPrompts {
    struct Box {
        QString title;
        QString text;
    };
    void failure(QWidget*, const QString& title, const QString& text) override {
        boxes.push_back({title, text});
    }
    bool confirm(QWidget*, const QString& title, const QString& text) override {
        boxes.push_back({title, text});
        return true;
    }
    int chooseCapacity(QWidget*) override {
        unexpected << QStringLiteral("capacity");
        return -1;
    }
    QString saveFileName(QWidget* parent, const QString& caption, const QString& filter) override {
        saveCalls.push_back({caption, filter});
        parents << parent;
        if (fileNames.empty()) {
            unexpected << caption;
            return {};
        }
        QString name = fileNames.front();
        fileNames.pop_front();
        return name;
    }
    bool runPrintDialog(QWidget* parent, QPrinter& printer, const QString& title) override {
        printTitles << title;
        parents << parent;
        if (pdfFiles.empty()) {
            unexpected << title;
            return false;
        }
        const QString pdf = pdfFiles.front();
        pdfFiles.pop_front();
        if (pdf.isEmpty()) {
            return false;  // cancelled
        }
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(pdf);
        return true;
    }

    std::vector<Box> boxes;
    std::vector<Box> saveCalls;
    QStringList printTitles;
    QList<QWidget*> parents;
    std::deque<QString> fileNames;
    std::deque<QString> pdfFiles;  // an empty name cancels
    QStringList unexpected;
};

// Clicks a button of the next message box; a wrong dialog is closed, never left hanging.
struct Answered {
    bool seen = false;
    QWidget* parent = nullptr;  // of the box; compare only, it may be gone
};
std::shared_ptr<Answered> answerNextBox(QMessageBox::StandardButton b) {
    auto seen = std::make_shared<Answered>();
    auto* poll = new QTimer(qApp);
    QDeadlineTimer limit(5000);
    QObject::connect(poll, &QTimer::timeout, [=] {
        QWidget* w = QApplication::activeModalWidget();
        if (auto* box = qobject_cast<QMessageBox*>(w)) {
            seen->seen = true;
            seen->parent = box->parentWidget();
            box->button(b)->click();
        } else if (!limit.hasExpired()) {
            return;
        } else if (w) {
            w->close();
        }
        poll->deleteLater();
    });
    poll->start(10);
    return seen;
}

template <typename T>
T* child(QWidget* w, const char* name) {
    T* found = w->findChild<T*>(QLatin1String(name));
    if (!found) {
        qFatal("no child %s", name);
    }
    return found;
}

QString label(QWidget* w, const char* name) {
    return child<QLabel>(w, name)->text();
}

TTableView* drives(QWidget* w) {
    return child<TTableView>(w, "tbv_drive");
}

QStringList row(QWidget* w, int r) {
    QStringList cells;
    for (int c = 0; c < 4; ++c) {
        cells << drives(w)->itemText(r, c);
    }
    return cells;
}

QVariant cell(QWidget* w, int r, int c) {
    TTableView* t = drives(w);
    return t->model()->index(r, c).data();
}

QString bold(const QString& text) {
    return QStringLiteral("<b><font color=\"red\">") + text + QStringLiteral("</font></b>");
}

}  // namespace

class TestDialogs : public QObject {
    Q_OBJECT

private:
    // Emulated devices, a core on them and the adapter, all on a manual clock.
    void attach(unsigned disk, const std::string& profile, unsigned unit = 0) {
        sim::ProfileOptions options;
        options.unit = unit;
        options.clock = clock.get();
        auto device = sim::makeProfile(profile, options);
        QVERIFY(device);
        devices[disk] = *device;
        platform->plug(disk, device->disk);
    }
    // One worker cycle after ms of time.
    bool step(uint32_t ms) {
        if (!clock->waitForSleepers(1)) {
            return false;
        }
        clock->advance(ms);
        return clock->waitForSleepers(1);
    }
    // Starts the adapter and waits for the first device list naming `count` devices.
    void start(int count) {
        StorageManager::setCoreFactory([] {
            return drl::CvnStorageManager::create(
                os::DeviceListener::create(os::DeviceSource::InProcess));
        });
        StorageManager* manager = StorageManager::instance();
        connect(manager, &StorageManager::deviceListChange, this,
                [this](const QMap<DrlDevId, DcpRespInfo*>& list) { listed = list.keys(); });
        manager->startListening();
        QVERIFY(step(10));
        QTRY_COMPARE(listed.size(), count);
    }
    // The device id of an emulated disk, by its path.
    DrlDevId idOf(unsigned disk) {
        const std::string path = io::platform().diskPath(disk);
        for (DrlDevId id : listed) {
            std::unique_ptr<DcpRespInfo> info(StorageManager::instance()->deviceInfo(id, false));
            if (info && info->devicePath == path) {
                return id;
            }
        }
        qFatal("disk %u not listed", disk);
        return 0;
    }

    std::unique_ptr<os::ManualClock> clock;
    std::unique_ptr<os::ScopedClock> useClock;
    std::shared_ptr<sim::EmulatedPlatform> platform;
    std::map<unsigned, sim::EmulatedDevice> devices;
    QList<DrlDevId> listed;
    std::unique_ptr<QTemporaryDir> settingsDir;
    FakePrompts prompts;

private slots:
    void init() {
        QTest::failOnWarning(
            QRegularExpression(QStringLiteral("connectSlotsByName|QObject::connect")));
        settingsDir = std::make_unique<QTemporaryDir>();
        setSettingsFolder(settingsDir->path().toStdString());
        clock = std::make_unique<os::ManualClock>();
        useClock = std::make_unique<os::ScopedClock>(*clock);
        platform = std::make_shared<sim::EmulatedPlatform>();
        platform->setChangeListener([] { os::announceDeviceChange(); });
        io::setPlatform(platform);
        prompts = FakePrompts();
        TPrompts::install(&prompts);
    }

    void cleanup() {
        DeviceInfoDialog::destroyAll();
        clock->setAutoAdvance(true);
        StorageManager::destroyInstance();
        StorageManager::setCoreFactory({});
        io::setPlatform(nullptr);
        devices.clear();
        useClock.reset();
        clock.reset();
        releaseSettings();
        TPrompts::install(nullptr);
        listed.clear();
        QVERIFY2(prompts.unexpected.isEmpty(), qPrintable(prompts.unexpected.join(", ")));
    }

    void smartWindowBytes() {
        struct Window : SmartWindow {};
        Window w;
        w.setWindowName("win_a");
        const QByteArray bytes("\x00\xff geometry \x01", 13);
        w.storeWindowBytes("state", bytes);
        QCOMPARE(QByteArray::fromStdString(settings().getString("win_a", "state", "")),
                 bytes.toBase64());
        QCOMPARE(w.loadWindowBytes("win_a", "state"), bytes);
        QVERIFY(w.loadWindowBytes("win_a", "missing").isEmpty());

        QWidget source;
        source.setGeometry(120, 90, 333, 222);
        w.saveWindowGeometry(&source);

        // Own name first, then the fallback group, then nothing.
        Window other;
        other.setWindowName("win_b");
        QWidget target;
        target.resize(50, 40);
        QVERIFY(!other.restoreWindowGeometry(&target, ""));
        QCOMPARE(target.size(), QSize(50, 40));
        QVERIFY(other.restoreWindowGeometry(&target, "win_a"));
        QCOMPARE(target.size(), QSize(333, 222));
        settings().setString("win_b", "geometry", "not base64 at all ***");
        QWidget fresh;
        fresh.resize(50, 40);
        QVERIFY(!other.restoreWindowGeometry(&fresh, "win_a"));
        QCOMPARE(fresh.size(), QSize(50, 40));

        // moc reaches the SmartWindow part of a window through its class name.
        DeviceInfoDialog dialog(42);
        QCOMPARE(static_cast<SmartWindow*>(dialog.qt_metacast("SmartWindow")),
                 static_cast<SmartWindow*>(&dialog));
    }

    void deviceLabels_data() {
        QTest::addColumn<QString>("profile");
        QTest::addColumn<int>("rawStatus");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("config");
        QTest::addColumn<QString>("capacity");
        QTest::addColumn<QString>("model");

        const QString twelve = QStringLiteral("12.0 TB (12,002,361,090,048 bytes)");
        QTest::newRow("healthy") << "healthy" << -1 << "RAID Normal"
                                 << "RAID-5" << twelve << "VRXA-QD01";
        QTest::newRow("degraded") << "degraded" << -1 << bold("RAID Degraded") << "RAID-5" << twelve
                                  << "VRXA-QD01";
        QTest::newRow("failing") << "failing" << -1 << "RAID Normal"
                                 << "RAID-5" << twelve << "VRXA-QD01";
        QTest::newRow("too-large") << "too-large" << -1 << "RAID Normal"
                                   << "RAID-5" << twelve << "VRXA-QE01";
        QTest::newRow("rebuilding")
            << "healthy" << 3 << bold("RAID Rebuilding") << "RAID-5" << twelve << "VRXA-QD01";
        QTest::newRow("failed") << "healthy" << 4 << bold("RAID Failed") << "RAID-5" << twelve
                                << "VRXA-QD01";
        QTest::newRow("multiple sets")
            << "healthy" << 5 << bold("RAID Failed (Multiple RAID sets present)") << "RAID-5"
            << twelve << "VRXA-QD01";
        QTest::newRow("odd status")
            << "healthy" << 9 << bold("RAID Status Unknown") << "RAID-5" << twelve << "VRXA-QD01";
    }

    void deviceLabels() {
        QFETCH(QString, profile);
        QFETCH(int, rawStatus);
        attach(2, profile.toStdString());
        if (rawStatus >= 0) {
            sim::ModelFaults f = devices[2].model->faults();
            f.rawRaidStatus = rawStatus;
            devices[2].model->setFaults(f);
        }
        start(1);
        const DrlDevId id = idOf(2);
        DeviceInfoDialog* dialog = DeviceInfoDialog::ensure(id);
        QVERIFY(dialog->isHidden());
        QCOMPARE(DeviceInfoDialog::find(id), dialog);

        QTEST(label(dialog, "lb_dev_status"), "status");
        QTEST(label(dialog, "lb_dev_config"), "config");
        QTEST(label(dialog, "lb_dev_capacity"), "capacity");
        QTEST(label(dialog, "lb_dev_model"), "model");
        const sim::Identity identity = devices[2].model->identity();
        QCOMPARE(label(dialog, "lb_dev_fwdate"), QString::fromStdString(identity.firmwareDate));
        QCOMPARE(label(dialog, "lb_dev_fwtime"), QString::fromStdString(identity.firmwareTime));
        QCOMPARE(label(dialog, "lb_dev_sysid"), QStringLiteral("/dev/sdc"));
        const QString serial = label(dialog, "lb_dev_serial");
        QVERIFY(!serial.isEmpty());
        QCOMPARE(dialog->windowTitle(), "Storage Device Information  Serial#: " + serial);
        QCOMPARE(child<QLabel>(dialog, "lb_dev_status")->textFormat(), Qt::RichText);
    }

    // Device texts are data: shown literally, in labels and in rich-text cells alike.
    void deviceTextIsData() {
        attach(0, "healthy");
        start(1);
        const DrlDevId id = listed.front();
        DeviceInfoDialog* dialog = DeviceInfoDialog::ensure(id);

        DcpRespInfo info;
        info.model = "<img src=\"/etc/passwd\"><b>X\xe9</b>";
        info.serialText = "S&N";
        info.devicePath = "/dev/sdq";
        info.volumes = {"E:", "F:"};
        info.raidStatus = 1;
        emit StorageManager::instance()->deviceChange(id + 1, &info);  // not this dialog's
        QCOMPARE(label(dialog, "lb_dev_sysid"), QStringLiteral("/dev/sda"));
        emit StorageManager::instance()->deviceChange(id, &info);
        QCOMPARE(label(dialog, "lb_dev_model"),
                 QStringLiteral("<img src=\"/etc/passwd\"><b>X\u00e9</b>"));
        QCOMPARE(child<QLabel>(dialog, "lb_dev_model")->textFormat(), Qt::PlainText);
        QCOMPARE(label(dialog, "lb_dev_sysid"), QStringLiteral("/dev/sdq (E:, F:)"));
        QCOMPARE(dialog->windowTitle(), QStringLiteral("Storage Device Information  Serial#: S&N"));

        DcpRespDriveInfo drive;
        drive.driveIndex = 1;
        drive.present = true;
        drive.model = "<b>bold</b>";
        drive.serialNumber = "a&b";
        drive.raidSetId = "<i>";
        drive.memberState = 1;
        drive.health = 1;
        emit StorageManager::instance()->deviceDriveChange(id, &drive);
        QCOMPARE(row(dialog, 1).mid(0, 2),
                 QStringList({"&lt;b&gt;bold&lt;/b&gt;\na&amp;b", "&lt;i&gt;"}));
    }

    void driveRows_data() {
        QTest::addColumn<quint32>("health");
        QTest::addColumn<quint32>("member");
        QTest::addColumn<quint32>("temperature");
        QTest::addColumn<quint32>("counter");  // scan errors, remapped, CRC errors all alike
        QTest::addColumn<QString>("setColumn");
        QTest::addColumn<QString>("status");

        QTest::newRow("healthy 38.5") << 1u << 1u << 385u << 0u << "SET"
                                      << "Drive Healthy\nTemperature: 38.5 C";
        QTest::newRow("healthy 40, rebuilding") << 1u << 2u << 400u << 0u << "SET (Rebuilding)"
                                                << "Drive Healthy\nTemperature: 40 C";
        QTest::newRow("healthy no sensor, inactive") << 1u << 3u << 0u << 0u << "SET (Inactive)"
                                                     << "Drive Healthy\nTemperature: Unknown";
        QTest::newRow("warning 41.2")
            << 2u << 0u << 412u << 1u << "SET"
            << "Drive Failure Warning\nScan Errors: 1\nBad Block remapped: 1\nCRC Errors: 1\n"
               "Temperature: 41.2 C";
        QTest::newRow("failed, odd member")
            << 3u << 7u << 0u << 0u << "SET"
            << "Drive Failed\nScan Errors: 0\nBad Block remapped: 0\nCRC Errors: 0\n"
               "Temperature: Unknown";
        QTest::newRow("unknown health, absurd numbers")
            << 9u << 1u << 4294967295u << 4294967295u << "SET"
            << "Drive Health Unknown\nScan Errors: 4294967295\nBad Block remapped: 4294967295\n"
               "CRC Errors: 4294967295\nTemperature: 4.29497e+08 C";
    }

    // Drive records straight from the adapter's signal.
    void driveRows() {
        QFETCH(quint32, health);
        QFETCH(quint32, member);
        QFETCH(quint32, temperature);
        QFETCH(quint32, counter);
        attach(0, "healthy");
        start(1);
        const DrlDevId id = listed.front();
        DeviceInfoDialog* dialog = DeviceInfoDialog::ensure(id);

        DcpRespDriveInfo drive;
        drive.driveIndex = 3;
        drive.present = true;
        drive.model = "M";
        drive.serialNumber = "S";
        drive.raidSetId = "SET";
        drive.capacity = 2000398934016ull;
        drive.health = health;
        drive.memberState = member;
        drive.temperature = temperature;
        drive.scanErrors = drive.badBlocksRemapped = drive.crcErrors = counter;
        emit StorageManager::instance()->deviceDriveChange(id, &drive);

        QCOMPARE(drives(dialog)->itemText(3, 0), QStringLiteral("M\nS"));
        QTEST(drives(dialog)->itemText(3, 1), "setColumn");
        QCOMPARE(drives(dialog)->itemText(3, 2), QStringLiteral("2.0 TB\n2,000,398,934,016 bytes"));
        QTEST(drives(dialog)->itemText(3, 3), "status");
        QCOMPARE(isCellItem<TIconWithStringItem>(cell(dialog, 3, 3)), health != 1);
        QCOMPARE(isCellItem<TStringItem>(cell(dialog, 3, 3)), health == 1);
    }

    // What the emulated profiles report, bay by bay, including a pulled drive.
    void driveRowsOfProfiles() {
        attach(0, "failing");
        attach(1, "degraded", 1);
        devices[1].model->pullDrive(3);
        start(2);

        DeviceInfoDialog* failing = DeviceInfoDialog::ensure(idOf(0));
        QCOMPARE(drives(failing)->rowCount(), 4);
        const sim::Drive sick = devices[0].model->drive(1);
        const QString set = QString::fromStdString(devices[0].model->raid().setId);
        QCOMPARE(row(failing, 1),
                 QStringList({"CVN-HD4000\n" + QString::fromStdString(sick.serial), set,
                              "4.0 TB\n4,000,787,030,016 bytes",
                              "Drive Failure Warning\nScan Errors: 17\nBad Block remapped: 212\n"
                              "CRC Errors: 3\nTemperature: 52.3 C"}));
        const QIcon warning = cellItem<TIconWithStringItem>(cell(failing, 1, 3)).icon();
        QVERIFY(!warning.isNull());
        QVERIFY(warning.availableSizes().contains(QSize(32, 32)));
        QVERIFY(warning.availableSizes().contains(QSize(64, 64)));
        QCOMPARE(row(failing, 3).at(3), QStringLiteral("Drive Healthy\nTemperature: Unknown"));

        DeviceInfoDialog* degraded = DeviceInfoDialog::ensure(idOf(1));
        QCOMPARE(drives(degraded)->rowCount(), 4);
        QVERIFY(row(degraded, 2).at(1).endsWith(QStringLiteral(" (Inactive)")));
        QCOMPARE(row(degraded, 3), QStringList({"(Not Present)", "", "", ""}));
    }

    // A rebuild followed in a shown dialog with the clock stepped, then the hidden case.
    void rebuildProgress() {
        attach(0, "degraded");
        start(1);
        const DrlDevId id = listed.front();
        DeviceInfoDialog* dialog = DeviceInfoDialog::showFor(id);
        QVERIFY(QTest::qWaitForWindowExposed(dialog));
        QProgressBar* bar = child<QProgressBar>(dialog, "pb_progress");
        QVERIFY(bar->isHidden());
        QCOMPARE(label(dialog, "lb_dev_status"), bold("RAID Degraded"));

        StorageManager::instance()->rebuildDevice(dialog, id);
        QVERIFY(StorageManager::instance()->isDeviceBusy(id));
        QSignalSpy reports(StorageManager::instance(), &StorageManager::deviceStatusChange);
        int seenPercent = -1;
        bool barWhileProgressing = true;
        connect(StorageManager::instance(), &StorageManager::deviceStatusChange, this,
                [&](quint32, const DcpRespProgress& p) {
                    if (p.phase == 2) {
                        barWhileProgressing &= bar->isVisible() && bar->value() == int(p.percent);
                        seenPercent = int(p.percent);
                    }
                });
        // Preparing (10 s), then progress reports every 20 s until the rebuild ends.
        for (int i = 0; i < 80 && StorageManager::instance()->isDeviceBusy(id); ++i) {
            QVERIFY(step(5000));
            QCoreApplication::processEvents();  // the worker posted before it slept again
        }
        QVERIFY(seenPercent > 0);
        QVERIFY(barWhileProgressing);
        QTRY_VERIFY(!StorageManager::instance()->isDeviceBusy(id));
        QCOMPARE(reports.last().at(1).value<DcpRespProgress>().phase, quint32(3));
        QVERIFY(bar->isHidden());
        QCOMPARE(label(dialog, "lb_dev_status"), QStringLiteral("RAID Normal"));
        QVERIFY(!row(dialog, 2).at(1).contains(QStringLiteral("(")));

        // Hidden: the bar follows the value but neither hides nor refreshes...
        dialog->close();
        DcpRespProgress p;
        p.phase = 2;
        p.percent = 2500;
        emit StorageManager::instance()->deviceStatusChange(id, p);
        QVERIFY(!bar->isHidden());
        QCOMPARE(bar->text(), QStringLiteral("25%"));
        devices[0].model->pullDrive(0);
        p.phase = 3;
        p.percent = 10000;
        emit StorageManager::instance()->deviceStatusChange(id, p);
        QVERIFY(!bar->isHidden());
        QCOMPARE(bar->value(), 10000);
        QCOMPARE(row(dialog, 0).at(0),
                 QStringLiteral("CVN-HD4000\n") +
                     QString::fromStdString(devices[0].model->drive(0).serial));
        // ...until the first final report once it is shown again.
        DeviceInfoDialog::showFor(id);
        emit StorageManager::instance()->deviceStatusChange(id, p);
        QVERIFY(bar->isHidden());
        QCOMPARE(row(dialog, 0).at(0), QStringLiteral("(Not Present)"));
        // More than the whole from a confused device still moves the bar.
        p.phase = 2;
        p.percent = 70000;
        emit StorageManager::instance()->deviceStatusChange(id, p);
        QCOMPARE(bar->value(), 10000);
    }

    void deviceLeavesAndReturns() {
        attach(0, "healthy");
        attach(1, "degraded", 1);
        start(2);
        const DrlDevId id = idOf(1);
        DeviceInfoDialog* dialog = DeviceInfoDialog::showFor(id);
        DeviceInfoDialog* other = DeviceInfoDialog::showFor(idOf(0));
        QVERIFY(dialog->isVisible());

        platform->unplug(1);
        QVERIFY(step(1001));
        QVERIFY(step(10));
        QTRY_COMPARE(listed.size(), 1);
        QVERIFY(dialog->isHidden());
        QCOMPARE(DeviceInfoDialog::find(id), dialog);  // hidden, still registered
        QVERIFY(other->isVisible());

        devices[1].model->pullDrive(0);
        platform->plug(1, devices[1].disk);
        QVERIFY(step(1001));
        QVERIFY(step(10));
        QTRY_COMPARE(listed.size(), 2);
        QCOMPARE(idOf(1), id);
        QCOMPARE(DeviceInfoDialog::showFor(id), dialog);
        QVERIFY(dialog->isVisible());
        QCOMPARE(row(dialog, 0).at(0), QStringLiteral("(Not Present)"));

        DeviceInfoDialog::destroyFor(id);
        QVERIFY(!DeviceInfoDialog::find(id));
        DeviceInfoDialog::destroyFor(id);  // none registered: nothing happens
        QCOMPARE(DeviceInfoDialog::registeredDevices(), QList<DrlDevId>{idOf(0)});
        DeviceInfoDialog::closeAll();
        QVERIFY(other->isHidden());
    }

    void geometryAndWidthsPerDevice() {
        attach(0, "healthy");
        attach(1, "healthy", 1);
        start(2);
        const DrlDevId id = idOf(1);
        QVERIFY(id != 0);
        const QString name = DeviceInfoDialog::settingsName(id);
        QCOMPARE(name, QStringLiteral("device_info_dlg_%1").arg(id));

        DeviceInfoDialog* dialog = DeviceInfoDialog::ensure(id);
        QCOMPARE(dialog->size(), QSize(725, 600));
        QCOMPARE(drives(dialog)->columnWidths().mid(0, 3), QList<int>({125, 125, 125}));
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog));
        dialog->setGeometry(140, 120, 800, 640);
        drives(dialog)->horizontalHeader()->resizeSection(1, 210);
        QTest::keyClick(dialog, Qt::Key_Escape);  // through close(), as the title-bar button
        QVERIFY(dialog->isHidden());
        QCOMPARE(DeviceInfoDialog::find(id), dialog);
        QVERIFY(!settings().getString(name.toStdString(), "geometry", "").empty());
        QCOMPARE(loadIntList(name + "/tbv_drive", {0, 0, 0, 0}).at(1), 210);

        DeviceInfoDialog::destroyAll();
        dialog = DeviceInfoDialog::ensure(id);
        QCOMPARE(dialog->size(), QSize(800, 640));
        QCOMPARE(drives(dialog)->columnWidths().at(1), 210);
        // Another device keeps the built-in size.
        QCOMPARE(DeviceInfoDialog::ensure(idOf(0))->size(), QSize(725, 600));

        // A width wider than the whole header is skipped; garbage geometry is ignored.
        DeviceInfoDialog::destroyAll();
        saveIntList(name + "/tbv_drive", {5000, 150, 125, 173});
        settings().setString(name.toStdString(), "geometry", "%%% not a geometry %%%");
        dialog = DeviceInfoDialog::ensure(id);
        QCOMPARE(dialog->size(), QSize(725, 600));
        QCOMPARE(drives(dialog)->columnWidths().mid(0, 2), QList<int>({125, 150}));

        // Without a stored place a dialog opens over the window that asked; with one, alone.
        QWidget mainWindow;
        DeviceInfoDialog::destroyAll();
        QCOMPARE(DeviceInfoDialog::showFor(idOf(0), &mainWindow)->parentWidget(), &mainWindow);
        settings().setString(name.toStdString(), "geometry", "");
        QCOMPARE(DeviceInfoDialog::showFor(id, &mainWindow)->parentWidget(), &mainWindow);
        DeviceInfoDialog::destroyAll();
        dialog = DeviceInfoDialog::showFor(id, &mainWindow);
        QVERIFY(dialog->isWindow());
        dialog->close();
        DeviceInfoDialog::destroyAll();
        QCOMPARE(DeviceInfoDialog::showFor(id, &mainWindow)->parentWidget(), nullptr);
        DeviceInfoDialog::destroyAll();

        // Closing a never-shown dialog keeps the widths but writes no made-up place.
        settings().setString(name.toStdString(), "geometry", "");
        DeviceInfoDialog::destroyAll();
        DeviceInfoDialog::ensure(id)->close();
        QVERIFY(settings().getString(name.toStdString(), "geometry", "").empty());
    }

    void reportScrollAndCopy() {
        attach(0, "healthy");
        start(1);
        DeviceInfoDialog* dialog = DeviceInfoDialog::showFor(listed.front());
        QVERIFY(QTest::qWaitForWindowExposed(dialog));
        child<QTabWidget>(dialog, "tabWidget")->setCurrentIndex(1);
        QTextEdit* view = child<QTextEdit>(dialog, "txe_status");
        QVERIFY(view->toPlainText().contains(QStringLiteral("VRXA-QD01")));
        QVERIFY(QFontInfo(view->font()).fixedPitch());
        QCOMPARE(view->font().styleHint(), QFont::Monospace);  // where no alias maps it

        auto longReport = [](const QString& word) {
            QString html = QStringLiteral("<html><body><pre>");
            for (int i = 0; i < 400; ++i) {
                html += QStringLiteral("%1 line %2 %3\n").arg(word).arg(i).arg(QString(300, 'x'));
            }
            return html + QStringLiteral("</pre></body></html>");
        };
        DcpRespStatusText text;
        text.text = longReport("first").toStdString();
        emit StorageManager::instance()->deviceTextChange(listed.front(), &text);
        QScrollBar* v = view->verticalScrollBar();
        QScrollBar* h = view->horizontalScrollBar();
        QVERIFY(v->maximum() > 1000);
        v->setValue(v->maximum() / 2);
        h->setValue(h->maximum() / 3);
        const int vAt = v->value();
        const int hAt = h->value();
        text.text = longReport("second").toStdString();
        emit StorageManager::instance()->deviceTextChange(listed.front(), &text);
        QVERIFY(view->toPlainText().startsWith(QStringLiteral("second line 0")));
        QCOMPARE(v->value(), vAt);
        QCOMPARE(h->value(), hAt);

        QGuiApplication::clipboard()->clear();
        QTest::mouseClick(child<QPushButton>(dialog, "btn_copy"), Qt::LeftButton);
        const QString copied = QGuiApplication::clipboard()->text();
        QCOMPARE(copied, view->toPlainText());
        QVERIFY(copied.contains(QStringLiteral("second line 1 x")));
        QVERIFY(copied.contains(QStringLiteral("\nsecond line 2 ")));
        QVERIFY(!copied.contains(QStringLiteral("<pre>")));
    }

    void exportReport_data() {
        QTest::addColumn<QString>("target");  // relative to a temporary folder; "" cancels
        QTest::addColumn<QString>("failure");
        QTest::newRow("good") << "report.htm"
                              << "";
        QTest::newRow("overwrite") << "existing.htm"
                                   << "";
        QTest::newRow("cancel") << ""
                                << "";
        QTest::newRow("read-only folder") << "ro/report.htm"
                                          << "Could not open the export file!";
        QTest::newRow("below a file") << "existing.htm/report.htm"
                                      << "Could not open the export file!";
        QTest::newRow("full disk") << "/dev/full"
                                   << "Could not write to the export file!";
    }

    void exportReport() {
        QFETCH(QString, target);
        QFETCH(QString, failure);
        QTemporaryDir dir;
        QFile existing(dir.filePath("existing.htm"));
        QVERIFY(existing.open(QIODevice::WriteOnly));
        existing.write(QByteArray(100000, 'z'));
        existing.close();
        QVERIFY(QDir(dir.path()).mkdir("ro"));
        QVERIFY(::chmod(QFile::encodeName(dir.filePath("ro")).constData(), 0555) == 0);
        if (target.startsWith(QLatin1String("ro/")) && ::geteuid() == 0) {
            QSKIP("permissions do not bind root");
        }

        attach(0, "healthy");
        start(1);
        DeviceInfoDialog* dialog = DeviceInfoDialog::showFor(listed.front());
        // A hostile report: Latin-1 bytes, broken markup, pictures and links elsewhere.
        DcpRespStatusText text;
        text.text =
            "<html><body><p>Temp\xe9rature \xb1 \xff <b>open <i>tags<table><tr><td>cell"
            "<img src=\"http://192.0.2.1/x.png\"><a href=\"file:///etc/passwd\">link</a>"
            "<p>last";
        emit StorageManager::instance()->deviceTextChange(listed.front(), &text);
        QTextEdit* view = child<QTextEdit>(dialog, "txe_status");

        const QString path = target.startsWith('/') ? target : dir.filePath(target);
        prompts.fileNames.push_back(target.isEmpty() ? QString() : path);
        QTest::mouseClick(child<QPushButton>(dialog, "btn_export"), Qt::LeftButton);

        QCOMPARE(prompts.saveCalls.size(), size_t(1));
        QCOMPARE(prompts.saveCalls[0].title, QStringLiteral("Export Status Report"));
        QCOMPARE(prompts.saveCalls[0].text, QStringLiteral("HTML files (*.htm)"));
        QCOMPARE(prompts.parents.value(0), dialog);
        if (!failure.isEmpty()) {
            QCOMPARE(prompts.boxes.size(), size_t(1));
            QCOMPARE(prompts.boxes[0].title, QStringLiteral("Failure!"));
            QCOMPARE(prompts.boxes[0].text, failure);
            QVERIFY(!QFile::exists(dir.filePath("ro/report.htm")));
            QVERIFY(!QFile::exists(dir.filePath("report.htm")));
            return;
        }
        QVERIFY(prompts.boxes.empty());
        if (target.isEmpty()) {
            QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList({"existing.htm"}));
            return;
        }
        QFile written(path);
        QVERIFY(written.open(QIODevice::ReadOnly));
        const QByteArray bytes = written.readAll();
        QStringDecoder utf8(QStringDecoder::Utf8);
        const QString html = utf8(bytes);
        QVERIFY(!utf8.hasError());
        QCOMPARE(html, view->toHtml());
        QVERIFY(html.contains(QStringLiteral("Temp\u00e9rature \u00b1 \u00ff")));
        QTextDocument reread;
        reread.setHtml(html);
        QCOMPARE(reread.toPlainText(), view->toPlainText());
    }

    void printReport() {
        attach(0, "degraded");
        start(1);
        DeviceInfoDialog* dialog = DeviceInfoDialog::showFor(listed.front());
        QTemporaryDir dir;
        const QString pdf = dir.filePath("report.pdf");

        prompts.pdfFiles.push_back(QString());  // cancelled
        QTest::mouseClick(child<QPushButton>(dialog, "btn_print"), Qt::LeftButton);
        QCOMPARE(prompts.printTitles, QStringList({"Print Status Report"}));
        QCOMPARE(prompts.parents.value(0), dialog);
        QVERIFY(QDir(dir.path()).isEmpty());

        prompts.pdfFiles.push_back(pdf);
        QTest::mouseClick(child<QPushButton>(dialog, "btn_print"), Qt::LeftButton);
        QVERIFY(QFileInfo(pdf).size() > 0);
        QProcess text;
        text.start(QStringLiteral("pdftotext"), {pdf, QStringLiteral("-")});
        QVERIFY(text.waitForFinished(30000));
        QCOMPARE(text.exitCode(), 0);
        const QString printed = QString::fromUtf8(text.readAllStandardOutput());
        QVERIFY2(printed.contains(QStringLiteral("VRXA-QD01")), qPrintable(printed));
        QVERIFY2(printed.contains(QStringLiteral("bay 3")), qPrintable(printed));
    }

    // Nothing the report names is fetched: files, FIFOs and hosts all get a placeholder.
    void reportFetchesNothing() {
        QTemporaryDir dir;
        const QString png = dir.filePath("pic.png");
        QImage big(40, 30, QImage::Format_RGB32);
        big.fill(Qt::red);
        QVERIFY(big.save(png));
        const QString fifo = dir.filePath("fifo.png");
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);

        attach(0, "healthy");
        start(1);
        DeviceInfoDialog* dialog = DeviceInfoDialog::showFor(listed.front());
        child<QTabWidget>(dialog, "tabWidget")->setCurrentIndex(1);
        QTextEdit* view = child<QTextEdit>(dialog, "txe_status");
        std::string html = "<p>see <img src=\"" + png.toStdString() + "\"> and <img src=\"file://" +
                           fifo.toStdString() +
                           "\"><img src=\"http://192.0.2.1/x.png\"><link rel=stylesheet "
                           "href=\"" +
                           png.toStdString() + "\">";
        for (int i = 0; i < 8000; ++i) {
            html += "<tr><td>row " + std::to_string(i) + "</td><td>\xe9\xe8 <b>unclosed";
        }
        QVERIFY(html.size() > 300000);
        DcpRespStatusText text;
        text.text = html;
        emit StorageManager::instance()->deviceTextChange(listed.front(), &text);
        QVERIFY(QTest::qWaitForWindowExposed(dialog));
        view->viewport()->grab();  // paints the pictures

        const QImage shown =
            view->document()->resource(QTextDocument::ImageResource, QUrl(png)).value<QImage>();
        QCOMPARE(shown.size(), QSize(1, 1));
        QCOMPARE(qAlpha(shown.pixel(0, 0)), 0);
        QVERIFY(view->toPlainText().contains(QStringLiteral("row 7999")));
    }

    // The real box, once: it opens over the dialog and is answered.
    void realFailureBox() {
        struct BadPath : QtPrompts {
            QString saveFileName(QWidget*, const QString&, const QString&) override {
                return QStringLiteral("/proc/no/such/folder/report.htm");
            }
        } badPath;
        TPrompts::install(&badPath);
        attach(0, "healthy");
        start(1);
        DeviceInfoDialog* dialog = DeviceInfoDialog::showFor(listed.front());
        auto answered = answerNextBox(QMessageBox::Ok);
        QTest::mouseClick(child<QPushButton>(dialog, "btn_export"), Qt::LeftButton);
        QVERIFY(answered->seen);
        QCOMPARE(answered->parent, static_cast<QWidget*>(dialog));
    }
};

int main(int argc, char** argv) {
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", home.filePath("config").toUtf8());
    qputenv("XDG_RUNTIME_DIR", home.filePath("runtime").toUtf8());
    QDir(home.path()).mkpath("runtime");
    QFile::setPermissions(home.filePath("runtime"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    drlResourcesInit();
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    TestDialogs test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_dialogs.moc"
