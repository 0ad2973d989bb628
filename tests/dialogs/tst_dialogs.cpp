#include <sys/inotify.h>
#include <unistd.h>
#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontMetrics>
#include <QHeaderView>
#include <QLabel>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QStringDecoder>
#include <QStyleFactory>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <atomic>
#include <ctime>

#include "dialogs/deviceinfodialog.h"
#include "dialogs/reportsanitizer.h"
#include "dialogs/reportview.h"
#include "dialogs/smartwindow.h"
#include "resources/pictures.h"
#include "settings/folder.h"
#include "settings/kvstore.h"
#include "tests/app/app_rig.h"
#include "widgets/tcellitems.h"
#include "widgets/ttableview.h"

using namespace corvane;

namespace {

// Names of the files opened in a folder since the watch began.
class OpenWatch {
public:
    explicit OpenWatch(const QString& folder) : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        inotify_add_watch(fd_, QFile::encodeName(folder).constData(), IN_OPEN);
    }
    ~OpenWatch() { ::close(fd_); }
    QStringList opened() {
        QStringList names;
        alignas(inotify_event) char buffer[8192];
        for (ssize_t n; (n = ::read(fd_, buffer, sizeof buffer)) > 0;) {
            for (char* at = buffer; at < buffer + n; at += sizeof(inotify_event)) {
                const auto* e = reinterpret_cast<const inotify_event*>(at);
                names << (e->len ? QString::fromUtf8(e->name) : QString());
                at += e->len;
            }
        }
        return names;
    }

private:
    const int fd_;
};

template <typename T>
T* child(QWidget* w, const char* name) {
    T* found = w->findChild<T*>(QLatin1String(name));
    if (!found)
        qFatal("no child %s", name);
    return found;
}

QString label(QWidget* w, const char* name) {
    return child<QLabel>(w, name)->text();
}

void click(QWidget* w, const char* button) {
    QTest::mouseClick(child<QPushButton>(w, button), Qt::LeftButton);
}

TTableView* drives(QWidget* w) {
    return child<TTableView>(w, "tbv_drive");
}

QStringList row(QWidget* w, int r) {
    QStringList cells;
    for (int c = 0; c < 4; ++c)
        cells << drives(w)->itemText(r, c);
    return cells;
}

QVariant cell(QWidget* w, int r, int c) {
    return drives(w)->model()->index(r, c).data();
}

QString bold(const QString& text) {
    return QStringLiteral("<b><font color=\"red\">") + text + QStringLiteral("</font></b>");
}

// The status label's red is a shade picked for the palette: named here by its hue.
QString redNamed(QString html) {
    static const QRegularExpression shade(QStringLiteral("color=\"(#[0-9a-f]{6})\""));
    const QRegularExpressionMatch m = shade.match(html);
    const QColor c(m.captured(1));
    if (m.hasMatch() && c.hsvSaturation() > 100 && (c.hsvHue() < 20 || c.hsvHue() > 340))
        html.replace(m.capturedStart(), m.capturedLength(), QStringLiteral("color=\"red\""));
    return html;
}

StorageManager* manager() {
    return StorageManager::instance();
}

std::string repeat(const std::string& piece, size_t times) {
    std::string out;
    for (size_t i = 0; i < times; ++i)
        out += piece;
    return out;
}

void sendReport(DrlDevId id, const std::string& html) {
    DcpRespStatusText text;
    text.text = html;
    emit manager()->deviceTextChange(id, &text);
}

DcpRespProgress progress(quint32 percent) {
    DcpRespProgress p;
    p.phase = 2;
    p.percent = percent;
    return p;
}

}  // namespace

class TestDialogs : public QObject {
    Q_OBJECT

private:
    // Emulated devices, a core on them and the adapter, all on a manual clock.
    void attach(unsigned disk, const std::string& profile, unsigned unit = 0) {
        devices[disk] = rig->plug(disk, profile, unit).emulated;
    }
    // One worker cycle after ms of time.
    bool step(uint32_t ms) {
        if (!rig->clock.waitForSleepers(1))
            return false;
        rig->clock.advance(ms);
        return rig->clock.waitForSleepers(1);
    }
    // Starts the adapter and waits for the first device list naming `count` devices.
    void start(int count) {
        rig->start();
        connect(manager(), &StorageManager::deviceListChange, this,
                [this](const QMap<DrlDevId, DcpRespInfo*>& list) { listed = list.keys(); });
        manager()->startListening();
        QVERIFY(step(10));
        QTRY_COMPARE(listed.size(), count);
    }
    // Disk 0 listed alone, its dialog made and shown unless `hidden`.
    DeviceInfoDialog* open(const std::string& profile = "healthy", bool hidden = false) {
        attach(0, profile);
        start(1);
        return hidden ? DeviceInfoDialog::ensure(listed.value(0))
                      : DeviceInfoDialog::showFor(listed.value(0));
    }
    // On screen, at the report's tab.
    DeviceInfoDialog* openReport(const std::string& profile = "healthy") {
        DeviceInfoDialog* dialog = open(profile);
        child<QTabWidget>(dialog, "tabWidget")->setCurrentIndex(1);
        if (!QTest::qWaitForWindowExposed(dialog))
            qFatal("dialog not exposed");
        return dialog;
    }
    // The device id of an emulated disk, by its path.
    DrlDevId idOf(unsigned disk) {
        const std::string path = io::platform().diskPath(disk);
        for (DrlDevId id : listed) {
            std::unique_ptr<DcpRespInfo> info(manager()->deviceInfo(id, false));
            if (info && info->devicePath == path)
                return id;
        }
        qFatal("disk %u not listed", disk);
        return 0;
    }
    // Unplugged or plugged: steps until the list names `count` devices.
    void relist(int count) {
        QVERIFY(step(1001));
        QVERIFY(step(10));
        QTRY_COMPARE(listed.size(), count);
    }
    // Exported through the dialog's button to path (null: cancelled), as written.
    QByteArray exported(DeviceInfoDialog* dialog, const QString& path) {
        rig->prompts.files = {path};
        click(dialog, "btn_export");
        QFile written(path);
        const bool file = QFileInfo(path).isFile();  // not /dev/full
        return file && written.open(QIODevice::ReadOnly) ? written.readAll() : QByteArray();
    }

    std::unique_ptr<apptest::Rig> rig;
    std::map<unsigned, sim::EmulatedDevice> devices;
    QList<DrlDevId> listed;
    std::unique_ptr<QTemporaryDir> settingsDir;

private slots:
    void init() {
        QTest::failOnWarning(
            QRegularExpression(QStringLiteral("connectSlotsByName|QObject::connect")));
        settingsDir = std::make_unique<QTemporaryDir>();
        setSettingsFolder(settingsDir->path().toStdString());
        rig = std::make_unique<apptest::Rig>();
    }

    void cleanup() {
        DeviceInfoDialog::destroyAll();
        const QStringList unexpected = rig->prompts.unexpected;
        rig.reset();
        devices.clear();
        releaseSettings();
        listed.clear();
        QVERIFY2(unexpected.isEmpty(), qPrintable(unexpected.join(", ")));
    }

    // Window bytes are stored Base64-encoded; a window without its own falls back.
    void smartWindowBytes() {
        struct Window : SmartWindow {};
        Window a, b;
        a.setWindowName("win_a");
        b.setWindowName("win_b");
        const QByteArray bytes("\x00\xff geometry \x01", 13);
        a.storeWindowBytes("state", bytes);
        QCOMPARE(settings().getString("win_a", "state", ""), bytes.toBase64().toStdString());
        QCOMPARE(b.loadWindowBytes("win_a", "state"), bytes);
        QWidget source, target;
        source.setGeometry(120, 90, 333, 222);
        a.saveWindowGeometry(&source);
        QVERIFY(!b.restoreWindowGeometry(&target, ""));
        QVERIFY(b.restoreWindowGeometry(&target, "win_a"));
        QCOMPARE(target.size(), QSize(333, 222));
    }

    void deviceLabels_data() {
        QTest::addColumn<QString>("profile");
        QTest::addColumn<int>("rawStatus");  // -1: as the profile has it
        QTest::addColumn<QString>("status");
        QTest::newRow("healthy") << "healthy" << -1 << "RAID Normal";
        QTest::newRow("degraded") << "degraded" << -1 << bold("RAID Degraded");
        QTest::newRow("multiple sets")
            << "healthy" << 5 << bold("RAID Failed (Multiple RAID sets present)");
        QTest::newRow("odd status") << "healthy" << 9 << bold("RAID Status Unknown");
    }

    // What the adapter reports for an emulated device: labels from what it knows when the
    // dialog is made, drives asked on the worker only once the dialog is shown.
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
        std::atomic<int> guiExchanges{0};
        const std::thread::id gui = std::this_thread::get_id();
        devices[2].firmware->setExchangeHook(
            [&] { guiExchanges += std::this_thread::get_id() == gui; });
        QTRY_VERIFY(!manager()->hasPendingAnswers());  // the list's refresh ran its course
        const uint64_t answered = devices[2].firmware->commandsAnswered();
        DeviceInfoDialog* dialog = DeviceInfoDialog::ensure(idOf(2));
        QVERIFY(dialog->isHidden());
        QCoreApplication::processEvents();
        QCOMPARE(devices[2].firmware->commandsAnswered(), answered);
        QVERIFY(child<QTextEdit>(dialog, "txe_status")->document()->isEmpty());  // not laid out
        QTEST(redNamed(label(dialog, "lb_dev_status")), "status");
        QCOMPARE(label(dialog, "lb_dev_config"), QStringLiteral("RAID-5"));
        QCOMPARE(label(dialog, "lb_dev_capacity"),
                 QStringLiteral("12.0 TB (12,002,361,090,048 bytes)"));
        const sim::Identity identity = devices[2].model->identity();
        QCOMPARE(label(dialog, "lb_dev_fwdate") + label(dialog, "lb_dev_fwtime"),
                 QString::fromStdString(identity.firmwareDate + identity.firmwareTime));
        QCOMPARE(label(dialog, "lb_dev_sysid"), QStringLiteral("/dev/sdc"));
        QCOMPARE(drives(dialog)->rowCount(), 0);
        dialog->show();
        QTRY_COMPARE(drives(dialog)->rowCount(), 4);
        QTRY_COMPARE(row(dialog, 3).at(0),
                     "CVN-HD4000\n" + QString::fromStdString(devices[2].model->drive(3).serial));
        // The report arrives from the worker; it is laid out when its tab is shown.
        QTRY_VERIFY(!dialog->findChild<ReportView*>("txe_status")->reportText().isEmpty());
        QCOMPARE(guiExchanges.load(), 0);
        devices[2].firmware->setExchangeHook({});
    }

    // Device texts are data: shown literally (drive cells: see driveRows).
    void deviceTextIsData() {
        DeviceInfoDialog* dialog = open("healthy", true);
        const DrlDevId id = dialog->deviceId();
        DcpRespInfo info;
        info.model = "<img src=\"/etc/passwd\"><b>X\xe9</b>";
        info.serialText = "S&N";
        info.devicePath = "/dev/sdq";
        info.volumes = {"E:", "F:"};
        emit manager()->deviceChange(id + 1, &info);  // not this dialog's
        QCOMPARE(label(dialog, "lb_dev_sysid"), QStringLiteral("/dev/sda"));
        emit manager()->deviceChange(id, &info);
        QCOMPARE(label(dialog, "lb_dev_model"),
                 QStringLiteral("<img src=\"/etc/passwd\"><b>X\u00e9</b>"));
        QCOMPARE(child<QLabel>(dialog, "lb_dev_model")->textFormat(), Qt::PlainText);
        QCOMPARE(label(dialog, "lb_dev_sysid"), QStringLiteral("/dev/sdq (E:, F:)"));
        QCOMPARE(dialog->windowTitle(), QStringLiteral("Storage Device Information  Serial#: S&N"));
    }

    void driveRows_data() {
        QTest::addColumn<QByteArray>("text");  // model, serial and set id alike
        QTest::addColumn<quint32>("health");
        QTest::addColumn<quint32>("member");
        QTest::addColumn<quint32>("temperature");
        QTest::addColumn<quint32>("counter");    // scan errors; remapped and CRC a half, a third
        QTest::addColumn<QStringList>("cells");  // columns 0, 1 and 3
        QTest::newRow("healthy 38.5, rebuilding")
            << QByteArray("M") << 1u << 2u << 385u << 0u
            << QStringList{"M\nM", "M (Rebuilding)", "Drive Healthy\nTemperature: 38.5 C"};
        QTest::newRow("markup, no sensor, inactive")
            << QByteArray("<b>a&b") << 1u << 3u << 0u << 0u
            << QStringList{"&lt;b&gt;a&amp;b\n&lt;b&gt;a&amp;b", "&lt;b&gt;a&amp;b (Inactive)",
                           "Drive Healthy\nTemperature: Unknown"};
        QTest::newRow("warning 40, odd member")
            << QByteArray("M") << 2u << 7u << 400u << 12u
            << QStringList{"M\nM", "M",
                           "Drive Failure Warning\nScan Errors: 12\nBad Block remapped: 6\n"
                           "CRC Errors: 4\nTemperature: 40 C"};
        QTest::newRow("unknown health, absurd numbers")
            << QByteArray("M") << 9u << 1u << 4294967295u << 4294967295u
            << QStringList{"M\nM", "M",
                           "Drive Health Unknown\nScan Errors: 4294967295\nBad Block remapped: "
                           "2147483647\nCRC Errors: 1431655765\nTemperature: 4.29497e+08 C"};
    }

    // Drive records straight from the adapter's signal.
    void driveRows() {
        QFETCH(QByteArray, text);
        QFETCH(quint32, health);
        QFETCH(quint32, counter);
        QFETCH(QStringList, cells);
        DeviceInfoDialog* dialog = open();
        const DrlDevId id = dialog->deviceId();
        QTRY_VERIFY(!manager()->hasPendingAnswers());
        DcpRespDriveInfo drive;
        drive.driveIndex = 3;
        drive.present = true;
        drive.model = drive.serialNumber = drive.raidSetId = text.toStdString();
        drive.capacity = 2000398934016ull;
        drive.health = health;
        QFETCH(quint32, member);
        drive.memberState = member;
        QFETCH(quint32, temperature);
        drive.temperature = temperature;
        drive.scanErrors = counter;
        drive.badBlocksRemapped = counter / 2;
        drive.crcErrors = counter / 3;
        emit manager()->deviceDriveChange(id + 1, &drive);  // not this dialog's
        QCOMPARE(drives(dialog)->itemText(3, 2), QStringLiteral("4.0 TB\n4,000,787,030,016 bytes"));
        emit manager()->deviceDriveChange(id, &drive);
        cells.insert(2, QStringLiteral("2.0 TB\n2,000,398,934,016 bytes"));
        QCOMPARE(row(dialog, 3), cells);
        // Not healthy: the warning, in both renderings for screens of ratio 1 and 2.
        const QVariant status = cell(dialog, 3, 3);
        QCOMPARE(isCellItem<TIconWithStringItem>(status), health != 1);
        if (health != 1) {
            const QList<QSize> sizes =
                cellItem<TIconWithStringItem>(status).icon().availableSizes();
            QVERIFY(sizes.contains(QSize(32, 32)) && sizes.contains(QSize(64, 64)));
        }
    }

    // A drive pulled while the dialog is open leaves only its absence in its row.
    void pulledDriveRow() {
        DeviceInfoDialog* dialog = open("failing");
        QCOMPARE(drives(dialog)->emptyText(), QStringLiteral("(No Drives Found.)"));
        QTRY_VERIFY(isCellItem<TIconWithStringItem>(cell(dialog, 1, 3)));
        devices[0].model->pullDrive(1);
        QVERIFY(step(60000));  // the periodic drive query
        QTRY_COMPARE(row(dialog, 1), QStringList({"(Not Present)", "", "", ""}));
        QVERIFY(!cell(dialog, 1, 3).isValid());
    }

    void rebuildProgress_data() {
        QTest::addColumn<QString>("profile");
        QTest::addColumn<bool>("hidden");  // closed at the first progress, shown at the end
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("member");  // the rebuilt bay's set id cell, %1 the set's id
        const QString set = QStringLiteral("%1");
        QTest::newRow("completes") << "degraded" << false << "RAID Normal" << set;
        QTest::newRow("completes while hidden") << "degraded" << true << "RAID Normal" << set;
        QTest::newRow("fails at 41.5 %")
            << "rebuild-fails" << false << bold("RAID Degraded") << "%1 (Inactive)";
        QTest::newRow("new drive too small")  // the blank drive has no set id yet
            << "rebuild-too-small" << false << bold("RAID Degraded") << " (Inactive)";
    }

    // A rebuild followed with the clock stepped: whenever the dialog is shown, the bar shows
    // what the adapter knows now.
    void rebuildProgress() {
        QFETCH(QString, profile);
        QFETCH(bool, hidden);
        DeviceInfoDialog* dialog = open(profile.toStdString());
        const DrlDevId id = dialog->deviceId();
        QVERIFY(QTest::qWaitForWindowExposed(dialog));
        QProgressBar* bar = child<QProgressBar>(dialog, "pb_progress");
        QVERIFY(bar->isHidden());

        rig->prompts.answers = {1};
        manager()->rebuildDevice(dialog, id);
        QVERIFY(manager()->isDeviceBusy(id));
        int seenPercent = -1;
        bool barWhileProgressing = true;
        connect(manager(), &StorageManager::deviceStatusChange, this,
                [&](quint32, const DcpRespProgress& p) {
                    if (p.phase == 2) {
                        barWhileProgressing &=
                            !bar->isHidden() && bar->value() == int(std::min(p.percent, 10000u));
                        seenPercent = int(p.percent);
                    }
                });
        // Preparing (10 s), then progress reports every 20 s until the rebuild ends.
        for (int i = 0; i < 80 && manager()->isDeviceBusy(id); ++i) {
            QVERIFY(step(5000));
            QCoreApplication::processEvents();  // the worker posted before it slept again
            if (hidden && seenPercent > 0 && dialog->isVisible()) {
                dialog->close();
                // More than the whole, from a confused device.
                emit manager()->deviceStatusChange(id, progress(70000));
            }
        }
        QCOMPARE(seenPercent > 0, profile != "rebuild-too-small");
        QVERIFY(barWhileProgressing);
        QTRY_VERIFY(!manager()->isDeviceBusy(id));
        QCOMPARE(dialog->isHidden(), hidden);
        DeviceInfoDialog::showFor(id);
        QTRY_VERIFY(bar->isHidden());
        QFETCH(QString, status);
        QTRY_COMPARE(redNamed(label(dialog, "lb_dev_status")), status);
        QFETCH(QString, member);
        const QString setId = QString::fromStdString(devices[0].model->drive(0).raidSetId);
        QTRY_COMPARE(row(dialog, 2).at(1), member.arg(setId));

        // A late report of progress, after the adapter stopped following the device.
        emit manager()->deviceStatusChange(id, progress(2500));
        QVERIFY(bar->isHidden());
    }

    void deviceLeavesAndReturns() {
        attach(0, "healthy");
        attach(1, "degraded", 1);
        start(2);
        const DrlDevId id = idOf(1);
        DeviceInfoDialog* dialog = DeviceInfoDialog::showFor(id);
        DeviceInfoDialog* other = DeviceInfoDialog::showFor(idOf(0));

        rig->platform->unplug(1);
        relist(1);
        QVERIFY(dialog->isHidden());
        QCOMPARE(DeviceInfoDialog::find(id), dialog);  // hidden, still registered
        QVERIFY(other->isVisible());

        devices[1].model->pullDrive(0);
        rig->platform->plug(1, devices[1].disk);
        relist(2);
        QCOMPARE(idOf(1), id);
        QCOMPARE(DeviceInfoDialog::showFor(id), dialog);
        QTRY_COMPARE(row(dialog, 0).at(0), QStringLiteral("(Not Present)"));

        DeviceInfoDialog::destroyFor(id);
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
        const QString name = QStringLiteral("device_info_dlg_%1").arg(id);  // kept by users
        const std::string group = name.toStdString();

        DeviceInfoDialog* dialog = DeviceInfoDialog::ensure(id);
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog));
        dialog->setGeometry(140, 120, 800, 640);
        drives(dialog)->horizontalHeader()->resizeSection(1, 210);
        QTest::keyClick(dialog, Qt::Key_Escape);  // through close(), as the title-bar button
        QVERIFY(dialog->isHidden());
        QCOMPARE(DeviceInfoDialog::find(id), dialog);

        DeviceInfoDialog::destroyAll();
        dialog = DeviceInfoDialog::ensure(id);
        QCOMPARE(dialog->size(), QSize(800, 640));
        QCOMPARE(drives(dialog)->columnWidths().at(1), 210);
        // A dialog never on screen writes no settings when its device goes.
        const auto stored = [&] {
            QFile file(settingsDir->filePath("DRL.xml"));
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("?");
        };
        DeviceInfoDialog::ensure(idOf(0));
        const QByteArray before = stored();
        DeviceInfoDialog::destroyFor(idOf(0));
        QCOMPARE(stored(), before);
        // Another device keeps the built-in size and widths, which fit a 4 TB byte count.
        dialog = DeviceInfoDialog::ensure(idOf(0));
        QCOMPARE(dialog->size(), QSize(725, 600));
        dialog->show();  // a hidden dialog has no drives yet
        QTRY_VERIFY(!row(dialog, 0).at(2).isEmpty());
        const QFontMetrics metrics(drives(dialog)->font());
        const QString bytes = row(dialog, 0).at(2).section(QLatin1Char('\n'), 1);
        QCOMPARE(bytes, QStringLiteral("4,000,787,030,016 bytes"));
        QVERIFY(metrics.horizontalAdvance(bytes) + 9 <= drives(dialog)->columnWidth(2));

        // Garbage geometry is ignored.
        DeviceInfoDialog::destroyAll();
        settings().setString(group, "geometry", "%%% not a geometry %%%");
        QCOMPARE(DeviceInfoDialog::ensure(id)->size(), QSize(725, 600));

        // Without a stored place a dialog opens over the window that asked; with one, alone.
        QWidget mainWindow;
        DeviceInfoDialog::destroyAll();
        QCOMPARE(DeviceInfoDialog::showFor(idOf(0), &mainWindow)->parentWidget(), &mainWindow);
        settings().setString(group, "geometry", "");
        QCOMPARE(DeviceInfoDialog::showFor(id, &mainWindow)->parentWidget(), &mainWindow);
        DeviceInfoDialog::destroyAll();
        DeviceInfoDialog::showFor(id, &mainWindow)->close();
        DeviceInfoDialog::destroyAll();
        QCOMPARE(DeviceInfoDialog::showFor(id, &mainWindow)->parentWidget(), nullptr);

        // Closing a never-shown dialog writes no made-up place.
        settings().setString(group, "geometry", "");
        DeviceInfoDialog::destroyAll();
        DeviceInfoDialog::ensure(id)->close();
        QVERIFY(settings().getString(group, "geometry", "").empty());
    }

    void reportScrollAndCopy() {
        DeviceInfoDialog* dialog = openReport();
        QTextEdit* view = child<QTextEdit>(dialog, "txe_status");
        QTRY_VERIFY(view->toPlainText().contains(QStringLiteral("VRXA-QD01")));
        // What the reader needs is equal advances; fontconfig does not flag every
        // monospaced face as fixed pitch.
        const QFontMetricsF metrics(view->font());
        QCOMPARE(metrics.horizontalAdvance(QLatin1Char('i')),
                 metrics.horizontalAdvance(QLatin1Char('W')));
        QCOMPARE(metrics.horizontalAdvance(QLatin1Char('.')),
                 metrics.horizontalAdvance(QLatin1Char('m')));

        auto longReport = [](const std::string& word) {
            std::string html = "<pre>";
            for (int i = 0; i < 250; ++i)
                html += word + " line " + std::to_string(i) + " " + std::string(100, 'x') + "\n";
            return html;
        };
        sendReport(listed.front(), longReport("first"));
        QScrollBar* v = view->verticalScrollBar();
        QScrollBar* h = view->horizontalScrollBar();
        QVERIFY(v->maximum() > 1000);
        v->setValue(v->maximum() / 2);
        h->setValue(h->maximum() / 3);
        const int vAt = v->value();
        const int hAt = h->value();
        sendReport(listed.front(), longReport("second"));
        QVERIFY(view->toPlainText().startsWith(QStringLiteral("second line 0")));
        QCOMPARE(v->value(), vAt);
        QCOMPARE(h->value(), hAt);

        QGuiApplication::clipboard()->clear();
        click(dialog, "btn_copy");
        QCOMPARE(QGuiApplication::clipboard()->text(), view->toPlainText());
    }

    void exportReport_data() {
        QTest::addColumn<QString>("target");  // relative to a temporary folder; "" cancels
        QTest::addColumn<QString>("failure");
        QTest::newRow("overwrite") << "existing.htm" << QString();
        QTest::newRow("cancel") << QString() << QString();
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
        existing.write(QByteArray(100000, 'z'));  // longer than the report
        existing.close();

        DeviceInfoDialog* dialog = open();
        // A hostile report: Latin-1 bytes, broken markup, pictures and links elsewhere.
        sendReport(listed.front(),
                   "<html><body><p>Temp\xe9rature \xb1 \xff <b>open <i>tags<table><tr><td>cell"
                   "<img src=\"http://192.0.2.1/x.png\"><a href=\"file:///etc/passwd\">link</a>");
        const QString path =
            target.isEmpty() || target.startsWith('/') ? target : dir.filePath(target);
        const QByteArray written = exported(dialog, path);
        QCOMPARE(rig->prompts.boxes,
                 failure.isEmpty() ? QStringList() : QStringList{"Failure!|" + failure});
        QCOMPARE(rig->prompts.parents, QList<QWidget*>(rig->prompts.boxes.size() + 1, dialog));
        if (!failure.isEmpty() || target.isEmpty()) {
            QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList({"existing.htm"}));
            return;
        }
        QStringDecoder utf8(QStringDecoder::Utf8);
        const QString html = utf8(written);
        QVERIFY(!utf8.hasError());
        QCOMPARE(html, child<QTextEdit>(dialog, "txe_status")->toHtml());
        QVERIFY(html.contains(QStringLiteral("Temp\u00e9rature \u00b1 \u00ff")));
    }

    // What the emulator's devices report, an empty bay and a full event log too, reaches
    // the text engine untouched.
    void emulatorReportsUnchanged() {
        for (const std::string& profile : sim::profileNames()) {
            for (bool latin1 : {false, true}) {
                auto device = sim::makeProfile(profile, {});
                QVERIFY(device);
                sim::ModelFaults f = device->model->faults();
                f.textsAbove127 = latin1;
                device->model->setFaults(f);
                if (latin1)
                    device->model->pullDrive(1);
                for (int i = 0; latin1 && i < 50; ++i)
                    device->model->note("a full event log <" + std::to_string(i) + ">");
                const QString raw = QString::fromLatin1(device->model->statusReport());
                const SanitizedReport report = sanitizeReport(raw);
                QCOMPARE(report.cuts, 0u);
                QTextDocument before, after;
                before.setHtml(raw);
                after.setHtml(report.html);
                QCOMPARE(after.toHtml(), before.toHtml());
            }
        }
    }

    void hostileReports_data() {
        QTest::addColumn<QByteArray>("report");
        auto nested = [](const std::string& open, const std::string& close, size_t levels) {
            return QByteArray::fromStdString(repeat(open, levels) + "x" + repeat(close, levels));
        };
        const std::string table = "<table border=\"1\"><tr><td>";
        const std::string untable = "</td></tr></table>";
        QTest::newRow("19 tables, 286 bytes") << nested("<table><tr><td>", "", 19);
        QTest::newRow("100 tables") << nested(table, untable, 100);
        QTest::newRow("10000 tables") << nested(table, untable, 10000);
        QTest::newRow("10000 lists") << nested("<ul><li><blockquote>", "", 10000);
        QTest::newRow("cellpadding") << QByteArray("<table cellpadding=\"2000000000\"><tr><td>x");
        QTest::newRow("huge numbers") << QByteArray(
            "<table width=\"2000000000\" height=99999999999999 border=2000000000 "
            "cellspacing=2000000000><tr><td colspan=\"2000000000\" rowspan=2000000000 "
            "width=\"2000000000%\">x</td></tr></table><font size=2000000000>big</font>"
            "<hr width=2000000000><ol start=2000000000><li>x</ol>");
        QTest::newRow("64 KiB of tables") << QByteArray::fromStdString(
            repeat(table + "<b>x</b>" + table + "y" + untable + untable, 65536 / 80));
        QTest::newRow("1 MiB of cells") << QByteArray::fromStdString(
            "<table>" + repeat("<tr><td>cell</td><td colspan=2>cell</td></tr>", 1 << 15));
        QTest::newRow("1 MiB of text") << QByteArray(1 << 20, 'w');
        QTest::newRow("scripts") << QByteArray(
            "<body onload=\"alert(1)\"><script>alert(2)</script><p onclick=x>"
            "a<SCRIPT src=\"http://192.0.2.1/s.js\"></SCRIPT><iframe "
            "src=\"http://192.0.2.1/\"></iframe><object data=\"file:///x\">"
            "<embed src=\"file:///y\"><style>p{color:red}</style><form "
            "action=\"http://192.0.2.1/\"><input name=q></form>");
        QTest::newRow("title that ends itself") << QByteArray(
            "<title>&lt;/title&gt;&lt;script&gt;alert(0)&lt;/script&gt;</title>"
            "<script>x</script>b");
        QTest::newRow("remote pictures") << QByteArray(
            "<body background=\"http://192.0.2.1/b.png\"><img "
            "src=\"http://192.0.2.1/x.png\"><IMG SRC=//192.0.2.1/y.png><table "
            "background=\"http://192.0.2.1/t.png\"><tr><td style=\"background:"
            "url(http://192.0.2.1/c.png); color:red\">x</td></tr></table><link "
            "rel=stylesheet href=\"http://192.0.2.1/s.css\">");
        QTest::newRow("links") << QByteArray(
            "<a href=\"javascript:alert(1)\">a</a><a href=\" JaVaScRiPt:x\">b</a>"
            "<a href=\"file:///etc/passwd\">c</a><a href=\"http://192.0.2.1/\">"
            "d</a><a href=\"&#106;avascript:x\">e</a><a href=\"data:text/html,x\">f"
            "</a><a href=#top>g</a>");
        QTest::newRow("unterminated tags") << QByteArray::fromStdString(
            repeat("<table><tr><td><b><i><font color=\"red\"><p><li>", 3000) +
            "<a href=\"http://192.0.2.1/ <img src=\"http://192.0.2.1/x.png\">");
        QTest::newRow("entity flood") << QByteArray::fromStdString(
            repeat("&amp;&#x110000;&#0;&#xd800;&nbsp;&#99999999999;&", 1 << 15) + "<b onload=x>");
    }

    // Device HTML is untrusted: however it is made, the view lays it out at once, says what
    // it left out, and an export carries nothing that loads, runs or leads out.
    void hostileReports() {
        QFETCH(QByteArray, report);
        DeviceInfoDialog* dialog = openReport();
        QTextEdit* view = child<QTextEdit>(dialog, "txe_status");

        // The GUI thread's own CPU time: what a user waits for, without the other processes
        // of a loaded machine.
        const auto cpuMs = [] {
            timespec t{};
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
            return qint64(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
        };
        const qint64 before = cpuMs();
        sendReport(dialog->deviceId(), report.toStdString());
        view->document()->documentLayout()->documentSize();
        view->viewport()->grab();
        const qint64 ms = cpuMs() - before;
#ifdef __SANITIZE_ADDRESS__
        const qint64 budget = 400;  // the instrumented reduction runs several times slower
#else
        const qint64 budget = 100;
#endif
        QVERIFY2(ms < budget, qPrintable(QStringLiteral("%1 ms").arg(ms)));
        QVERIFY(view->toPlainText().startsWith(
            QStringLiteral("Part of the device's report was left out: ")));

        QTemporaryDir dir;
        const QString html = QString::fromUtf8(exported(dialog, dir.filePath("r.htm"))).toLower();
        // What the text engine is given, as much as what it makes of it.
        const QString reduced = sanitizeReport(QString::fromLatin1(report)).html.toLower();
        for (const char* forbidden : {"<script", "<img", "<iframe", "<object", "<embed", "<link",
                                      "<form", "<input", "javascript:", "file:", "192.0.2",
                                      "data:", "onload", "onclick", "url(", "background="}) {
            QVERIFY2(!html.contains(QLatin1String(forbidden)), forbidden);
            QVERIFY2(!reduced.contains(QLatin1String(forbidden)), forbidden);
        }
    }

    // Markup in the title reaches the text engine as text.
    void reportTitleStaysText() {
        const QString html = sanitizeReport(QStringLiteral("<title>t<b onclick=x></title>")).html;
        QCOMPARE(html, QStringLiteral("<title>t&lt;b onclick=x&gt;</title>"));
    }

    // Nothing the report names is read, on screen or in print (a device node could hang the
    // read): files get a placeholder.
    void reportFetchesNothingAndPrints() {
        QTemporaryDir dir;
        const QString png = dir.filePath("pic.png");
        QImage big(40, 30, QImage::Format_RGB32);
        big.fill(Qt::red);
        QVERIFY(big.save(png));
        const QString sheet = dir.filePath("sheet.css");
        QFile(sheet).open(QIODevice::WriteOnly);
        OpenWatch watch(dir.path());

        DeviceInfoDialog* dialog = openReport("degraded");
        const DrlDevId id = dialog->deviceId();
        std::unique_ptr<DcpRespStatusText> report(manager()->statusText(id));
        QVERIFY(report);
        // Pictures and a style sheet at the start of the body.
        const std::string f = sheet.toStdString();
        report->text.insert(report->text.find("<body>") + 6,
                            "<link rel=stylesheet type=text/css href=\"" + f + "\" /><img src=\"" +
                                png.toStdString() + "\"><img src=\"file://" + f +
                                "\"><img src=\"http://192.0.2.1/x.png\">");
        sendReport(id, report->text);
        QTextEdit* view = child<QTextEdit>(dialog, "txe_status");
        view->viewport()->grab();  // paints the pictures
        const QImage shown =
            view->document()->resource(QTextDocument::ImageResource, QUrl(png)).value<QImage>();
        QCOMPARE(shown.size(), QSize(1, 1));
        QCOMPARE(qAlpha(shown.pixel(0, 0)), 0);

        const QString pdf = dir.filePath("report.pdf");
        rig->prompts.files = {QString(), pdf};  // cancelled, then to a PDF
        click(dialog, "btn_print");
        QVERIFY(!QFile::exists(pdf));
        click(dialog, "btn_print");
        QCOMPARE(rig->prompts.parents, QList<QWidget*>({dialog, dialog}));
        QCOMPARE(watch.opened(), QStringList({"report.pdf"}));
        QProcess text;
        text.start(QStringLiteral("pdftotext"), {pdf, QStringLiteral("-")});
        QVERIFY(text.waitForFinished(30000));
        QCOMPARE(text.exitCode(), 0);
        const QString printed = QString::fromUtf8(text.readAllStandardOutput());
        QVERIFY2(printed.contains(QStringLiteral("VRXA-QD01")), qPrintable(printed));
        QVERIFY2(printed.contains(QStringLiteral("bay 3")), qPrintable(printed));
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
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    drlResourcesInit();
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    TestDialogs test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_dialogs.moc"
