// The main window, the program entry and the demo's rig, over emulated devices with the
// clock stepped by hand.
#include <pwd.h>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTimer>
#include <QToolButton>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <mutex>

#include "app/demo/scaledclock.h"
#include "app/demo/scenes.h"
#include "app/entry.h"
#include "app/prompts.h"
#include "next_modal.h"
#include "settings/intlist.h"
#include "settings/kvstore.h"
#include "sim/device_model.h"
#include "widgets/tcellitems.h"
#include "window_rig.h"

using namespace apptest;

namespace {

// The program's own run stops its core without a test stepping the clock.
struct AutoAdvance {
    AutoAdvance() { theClock->setAutoAdvance(true); }
    ~AutoAdvance() { theClock->setAutoAdvance(false); }
};

// The retry of a helper start: each call waits for the answer the test gives it.
struct FakeHelper {
    std::mutex mutex;
    std::condition_variable answered;
    std::deque<io::HelperStart> answers;
    std::atomic<int> calls = 0;

    std::function<io::HelperStart()> retry(std::shared_ptr<FakeHelper> self) {
        return [self] {
            ++self->calls;
            std::unique_lock<std::mutex> lock(self->mutex);
            self->answered.wait(lock, [&] { return !self->answers.empty(); });
            const io::HelperStart a = self->answers.front();
            self->answers.pop_front();
            return a;
        };
    }
    void answer(io::HelperStatus status) {
        std::lock_guard<std::mutex> lock(mutex);
        answers.push_back({status, "fake"});
        answered.notify_all();
    }
};

const QString kRedLine = QStringLiteral("<font color=\"red\">%1</font>");
const QString kRed = "<b>" + kRedLine + "</b>";
const QString kGreen = QStringLiteral("<font color=\"green\">%1</font>");

// WCAG 2 contrast, worked out here rather than by the code under test.
double contrast(const QColor& a, const QColor& b) {
    auto luminance = [](const QColor& c) {
        auto linear = [](double v) {
            return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
    };
    const double x = luminance(a), y = luminance(b);
    return (std::max(x, y) + 0.05) / (std::min(x, y) + 0.05);
}

// Each line of text painted in a region: the hue ("red", "green", "plain") of its most
// contrasting pixel against the region's corner, and that contrast.
QList<QPair<QString, double>> inkLines(const QImage& image, const QRect& region) {
    const QColor back = image.pixelColor(region.topLeft());
    QList<QPair<QString, double>> lines;
    bool inLine = false;
    for (int y = region.top(); y <= region.bottom(); ++y) {
        QColor ink;
        double most = 1.5;  // fainter is the edge of a glyph
        for (int x = region.left(); x <= region.right(); ++x)
            if (const double c = contrast(image.pixelColor(x, y), back); c > most)
                most = c, ink = image.pixelColor(x, y);
        if (ink.isValid() && !std::exchange(inLine, true))
            lines.append({QString(), 0});
        inLine = ink.isValid();
        if (inLine && most > lines.last().second) {
            const int h = ink.hsvHue();
            lines.last() = {ink.hsvSaturation() < 100 ? "plain"
                            : h < 20 || h > 340       ? "red"
                            : h > 80 && h < 160       ? "green"
                                                      : "other",
                            most};
        }
    }
    return lines;
}

}  // namespace

class MainWindowTest : public QObject, WindowRig {
    Q_OBJECT

    // Which of the context menu's actions are enabled over the row.
    QList<bool> contextOffers(int row) {
        const QPoint at = table()->visualRect(table()->model()->index(row, 1)).center();
        QList<bool> offered;
        QTimer::singleShot(0, this, [&offered] {
            if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
                for (QAction* a : menu->actions())
                    offered << a->isEnabled();
                menu->close();
            }
        });
        emit table()->customContextMenuRequested(at);
        return offered;
    }
    int rowWithModelOf(unsigned disk) {
        const auto& id = rig_->model(disk)->identity().serial;
        const QString serial =
            QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(id.data()), 8).toHex());
        for (int r = 0; r < table()->rowCount(); ++r)
            if (table()->itemText(r, 1).contains(serial, Qt::CaseInsensitive))
                return r;
        return -1;
    }

private slots:
    void init() {
        QTest::failOnWarning(
            QRegularExpression(QStringLiteral("connectSlotsByName|QObject::connect")));
        setUp();
    }
    void cleanup() { tearDown(); }

    void profileRows_data() {
        QTest::addColumn<QString>("profile");
        QTest::addColumn<QString>("status");
        QTest::addColumn<bool>("warningIcon");
        auto add = [](const char* profile, const QString& status, bool icon) {
            QTest::newRow(profile) << QString(profile) << status << icon;
        };
        const QString cacheOff = kRedLine.arg("Performance Not Optimized (Cache Disabled)");
        add("healthy", "RAID Normal", false);
        add("degraded", kRed.arg("RAID Degraded") + "\n" + kGreen.arg("Ready for Rebuild"), false);
        add("new", "RAID Status Unknown", false);
        add("failing", "RAID Normal\n" + kRed.arg("Drive Failure is Likely") + "\n" + cacheOff,
            true);
        add("too-large",
            "RAID Normal\n" + kRed.arg("Disk Too Large for Windows FireWire/1394 Drivers"), true);
    }
    void profileRows() {
        QFETCH(QString, profile);
        QFETCH(QString, status);
        QFETCH(bool, warningIcon);
        const int disk = rig_->plug(profile);
        openWindow(1);
        const sim::Identity id = rig_->model(unsigned(disk))->identity();
        QCOMPARE(statusText(0), status);
        QCOMPARE(isCellItem<TIconWithStringItem>(cell(0, 3)), warningIcon);
        QVERIFY(table()->itemText(0, 1).startsWith(QString::fromStdString(id.model) + "\n"));
        QVERIFY(table()->itemText(0, 1).contains("\nSerial#: "));
        QVERIFY(table()->itemText(0, 2).startsWith("RAID-5\nDrive Count: 4\n"));
        // Every model the emulator reports has its picture compiled in.
        QVERIFY(!cellItem<TPixmapItem>(cell(0, 0)).pixmap().isNull());
        if (warningIcon)
            QVERIFY(!cellItem<TIconWithStringItem>(cell(0, 3)).icon().isNull());
        // An operation's end keeps the warning rule.
        DcpRespProgress done;
        done.operation = dcp::TypeRebuild;
        done.phase = dcp::PhaseFailed;
        window_->deviceStatusChange(0, done);
        QCOMPARE(statusText(0), "RAID Rebuild Failed\n" + status);
        QCOMPARE(isCellItem<TIconWithStringItem>(cell(0, 3)), warningIcon);
    }

    // Rules the profiles do not reach, through the slot the adapter's updates arrive at.
    void statusRules_data() {
        QTest::addColumn<quint64>("osCapacity");
        QTest::addColumn<QString>("flags");  // tooLarge, failure, cache
        QTest::addColumn<quint32>("bus");
        QTest::addColumn<quint32>("raidStatus");
        QTest::addColumn<QString>("status");
        QTest::addColumn<bool>("warningIcon");
        auto add = [](const char* name, quint64 os, const char* flags, quint32 bus, quint32 raid,
                      const QString& status, bool icon) {
            QTest::newRow(name) << os << QString(flags) << bus << raid << status << icon;
        };
        const quint64 cap = 12000000000000ull;
        const quint32 usb = dcp::BusUsb, sata = dcp::BusSata;
        const QString os =
            "RAID Normal\n" + kRed.arg("OS Incompatibility Detected (Disk Too Large)");
        add("too large alone: line, no icon", cap, "tooLarge", usb, 1, os, false);
        add("capacities differ over USB", cap / 2, "", usb, 1, os, true);
        add("drive failure alone", cap, "failure", sata, 1,
            "RAID Normal\n" + kRed.arg("Drive Failure is Likely"), true);
        add("cache off alone", cap, "cache", sata, 1,
            "RAID Normal\n" + kRedLine.arg("Performance Not Optimized (Cache Disabled)"), true);
        add("failed", cap, "", sata, 4, kRed.arg("RAID Failed"), false);
        add("several sets failed", cap, "", sata, 5,
            kRed.arg("RAID Failed (Multiple RAID sets present)"), false);
    }
    void statusRules() {
        QFETCH(quint64, osCapacity);
        QFETCH(QString, flags);
        QFETCH(quint32, bus);
        QFETCH(quint32, raidStatus);
        QFETCH(QString, status);
        QFETCH(bool, warningIcon);
        rig_->plug("healthy");
        openWindow(1);
        std::unique_ptr<DcpRespInfo> info(StorageManager::instance()->deviceInfo(0, false));
        QVERIFY(info);
        info->capacity = 12000000000000ull;
        info->osCapacity = osCapacity;
        info->diskTooLarge = flags.contains("tooLarge");
        info->driveFailureLikely = flags.contains("failure");
        info->cacheDisabled = flags.contains("cache");
        info->hostBus = bus;
        info->raidStatus = raidStatus;
        window_->deviceChange(0, info.get());
        QCOMPARE(statusText(0), status);
        QCOMPARE(isCellItem<TIconWithStringItem>(cell(0, 3)), warningIcon);
    }

    void deviceTextsAndUnknownDevices() {
        rig_->plug("healthy");
        openWindow(1);
        std::unique_ptr<DcpRespInfo> info(StorageManager::instance()->deviceInfo(0, false));
        QVERIFY(info);
        info->model = "NO-SUCH-MODEL";
        info->productName = "<b>bold</b> & co";
        window_->deviceChange(0, info.get());
        QVERIFY(cellItem<TPixmapItem>(cell(0, 0)).pixmap().isNull());
        QVERIFY(table()->itemText(0, 1).contains("&lt;b&gt;bold&lt;/b&gt; &amp; co"));

        // Signals about devices without a row leave every cell alone.
        QStringList before;
        for (int c = 1; c < 4; ++c)
            before << table()->itemText(0, c);
        info->model = "VRXA-QD01";
        window_->deviceChange(7, info.get());
        window_->deviceInitializing(7);
        DcpRespProgress done;
        done.phase = dcp::PhaseCompleted;
        window_->deviceStatusChange(7, done);
        done.phase = dcp::PhaseProgressing;
        window_->deviceStatusChange(7, done);
        for (int c = 1; c < 4; ++c)
            QCOMPARE(table()->itemText(0, c), before.at(c - 1));
        QVERIFY(prompts_.kinds.isEmpty());

        window_->deviceInitializing(0);
        QCOMPARE(statusText(0), QStringLiteral("Initializing... Please wait."));
        QVERIFY(isCellItem<TStringItem>(cell(0, 3)));
    }

    void emptyListDisablesDeviceActions() {
        openWindow(0);
        QTRY_VERIFY(StorageManager::instance());
        for (const char* name : {"a_init_raid", "a_rebuild_raid", "a_dev_info"})
            QVERIFY2(!action(name)->isEnabled(), name);
        QVERIFY(action("a_rescan_devices")->isEnabled());
    }

    void statusWordsReadInBothPalettes_data() {
        QTest::addColumn<bool>("dark");
        QTest::newRow("light") << false;
        QTest::newRow("dark") << true;
    }
    // Red, bold red and green words on an unselected row and the dialog's status label,
    // painted after the palette changed under them.
    void statusWordsReadInBothPalettes() {
        QFETCH(bool, dark);
        struct Restore {
            QPalette palette = QApplication::palette();
            ~Restore() { QApplication::setPalette(palette); }
        } restore;
        const unsigned degraded = unsigned(rig_->plug("degraded"));
        const unsigned failing = unsigned(rig_->plug("failing"));
        openWindow(2);
        if (dark)
            applyDarkPalette(*qApp);
        else
            QApplication::setPalette(QApplication::style()->standardPalette());
        // Windows learn of it through the event loop.
        QTRY_COMPARE(table()->palette().color(QPalette::Base),
                     QApplication::palette().color(QPalette::Base));
        table()->clearSelection();
        const QImage list = table()->viewport()->grab().toImage();
        using Lines = QStringList;
        auto check = [](const QImage& image, const QRect& region, const Lines& hues) {
            Lines seen;
            for (const auto& [hue, ratio] : inkLines(image, region)) {
                if (seen.isEmpty() || seen.last() != hue)  // a wrapped line
                    seen << hue;
                QVERIFY2(ratio >= 4.5, qPrintable(hue + " " + QString::number(ratio)));
            }
            QCOMPARE(seen, hues);
        };
        for (const auto& [disk, hues] : {std::pair{degraded, Lines{"red", "green"}},
                                         std::pair{failing, Lines{"plain", "red"}}}) {
            const QRect cell =
                table()->visualRect(table()->model()->index(rowWithModelOf(disk), 3));
            // On the palette in effect, not the one the window was made with.
            const QColor back = list.pixelColor(cell.topLeft());
            QVERIFY(back == QApplication::palette().color(QPalette::Base) ||
                    back == QApplication::palette().color(QPalette::AlternateBase));
            check(list, cell.adjusted(20, 0, 0, 0), hues);  // past the warning sign
        }
        DeviceInfoDialog* dialog = DeviceInfoDialog::showFor(0);
        QVERIFY(QTest::qWaitForWindowExposed(dialog));
        auto* status = dialog->findChild<QLabel*>(QStringLiteral("lb_dev_status"));
        QVERIFY(status->text().contains("Degraded"));
        check(dialog->grab().toImage(), QRect(status->mapTo(dialog, QPoint()), status->size()),
              {"red"});
    }

    // Select, Rebuild, confirm, progress, Completed: the actions follow the device.
    void rebuildWalkThrough() {
        rig_->plug("healthy");
        const unsigned degraded = unsigned(rig_->plug("degraded"));
        openWindow(2);
        const int row = rowWithModelOf(degraded);
        QVERIFY(row >= 0);
        table()->selectRow(row);
        QVERIFY(action("a_rebuild_raid")->isEnabled());
        QVERIFY(!action("a_init_raid")->isEnabled());
        QVERIFY(action("a_dev_info")->isEnabled());

        prompts_.answers = {1};
        action("a_rebuild_raid")->trigger();
        QCOMPARE(rig_->model(degraded)->raidStatus(), uint8_t(3));
        QVERIFY(!action("a_rebuild_raid")->isEnabled());
        QVERIFY(!action("a_init_raid")->isEnabled());

        // The context menu offers the same, for the device under the cursor.
        QCOMPARE(contextOffers(row), (QList<bool>{false, false, true}));

        // Preparing, then progress in the row, then Completed with the refreshed status.
        step(16000);
        QTRY_VERIFY(isCellItem<TProgressbarWithStringItem>(cell(row, 3)));
        QCOMPARE(statusText(row), QStringLiteral("Rebuilding RAID... Please wait."));
        const qint32 early = cellItem<TProgressbarWithStringItem>(cell(row, 3)).progress();
        step(40000);
        QTRY_VERIFY(cellItem<TProgressbarWithStringItem>(cell(row, 3)).progress() > early);

        QSignalSpy lists(StorageManager::instance(), &StorageManager::deviceListChange);
        step(200000);
        QTRY_VERIFY(lists.count() >= 1);
        QTRY_VERIFY(!StorageManager::instance()->hasTrackedOperations());
        const int now = rowWithModelOf(degraded);
        QVERIFY(now >= 0);
        // The list refresh kept the selection; the Completed line heads the new status.
        QTRY_COMPARE(statusText(now), QStringLiteral("RAID Rebuild Completed\nRAID Normal"));
        QCOMPARE(table()->selectedRows().value(0).row(), now);
        QVERIFY(!action("a_rebuild_raid")->isEnabled());
    }

    // A Completed report for the selected row refreshes it and re-evaluates the actions.
    void completedReportRefreshesSelectedRow() {
        const unsigned degraded = unsigned(rig_->plug("degraded"));
        openWindow(1);
        table()->selectRow(0);
        QVERIFY(action("a_rebuild_raid")->isEnabled());
        // The device changed behind the cache: its spare left; a fresh query learns it.
        rig_->model(degraded)->pullDrive(2);
        delete StorageManager::instance()->deviceInfo(0, true);
        DcpRespProgress done;
        done.operation = dcp::TypeRebuild;
        done.phase = dcp::PhaseCompleted;
        window_->deviceStatusChange(0, done);
        QCOMPARE(statusText(0),
                 "RAID Rebuild Completed\n" + kRed.arg(QStringLiteral("RAID Degraded")));
        QVERIFY(!action("a_rebuild_raid")->isEnabled());
    }

    void diskTooSmallShowsItsBox() {
        rig_->plug("rebuild-too-small");
        openWindow(1);
        table()->selectRow(0);
        action("a_dev_info")->trigger();  // the box comes with the dialog open
        prompts_.answers = {1};
        action("a_rebuild_raid")->trigger();
        // One poll at a time, each report handled before the next: as the real clock runs.
        for (int i = 0; i < 30 && prompts_.kinds.size() < 2; ++i) {
            step(1000);
            QTest::qWait(0);
        }
        QCOMPARE(prompts_.kinds.size(), 2);
        step(30000);  // the poll ended with the report
        QTest::qWait(0);
        QCOMPARE(prompts_.kinds.size(), 2);
        QCOMPARE(prompts_.boxes.at(1),
                 "Could Not Start Rebuild|The RAID rebuild was aborted, "
                 "because the new drive is too small.");
        DeviceInfoDialog* dialog = DeviceInfoDialog::find(0);
        QVERIFY(dialog->isVisible());
        QVERIFY(dialog->findChild<QProgressBar*>(QStringLiteral("pb_progress"))->isHidden());
        // The label's red is a shade chosen for its page.
        QCOMPARE(dialog->findChild<QLabel*>(QStringLiteral("lb_dev_status"))
                     ->text()
                     .replace(QRegularExpression(QStringLiteral("color=\"#[0-9a-f]{6}\"")),
                              QStringLiteral("color=\"red\"")),
                 kRed.arg(QStringLiteral("RAID Degraded")));
    }

    // The model sorts itself without moving persistent indexes: the window keeps its own
    // row-to-device list in step. A list change keeps the header's sort and the selection.
    void sortThenListChangeThenDeviceInformation() {
        rig_->plug("healthy");
        rig_->plug("too-large");
        openWindow(2);
        table()->sortByColumn(1, Qt::DescendingOrder);
        // The one VRXA-QE01 sorts first.
        QVERIFY(table()->itemText(0, 1).startsWith(QStringLiteral("VRXA-QE01")));
        table()->selectRow(0);
        rig_->plug("degraded");
        step(2000);
        QTRY_COMPARE(table()->rowCount(), 3);
        QVERIFY(table()->itemText(0, 1).startsWith(QStringLiteral("VRXA-QE01")));
        QCOMPARE(table()->selectedRows().value(0).row(), 0);
        table()->sortByColumn(3, Qt::AscendingOrder);  // bold red sorts before plain text
        QVERIFY(statusText(0).startsWith(kRed.arg("RAID Degraded")));
        QCOMPARE(statusText(1), QStringLiteral("RAID Normal"));
        QVERIFY(statusText(2).startsWith(QStringLiteral("RAID Normal\n")));
        table()->selectRow(2);
        action("a_dev_info")->trigger();
        DeviceInfoDialog* shown = nullptr;
        for (DrlDevId id : DeviceInfoDialog::registeredDevices())
            if (DeviceInfoDialog::find(id)->isVisible())
                shown = DeviceInfoDialog::find(id);
        QVERIFY(shown);
        std::unique_ptr<DcpRespInfo> info(
            StorageManager::instance()->deviceInfo(shown->deviceId(), false));
        QCOMPARE(QString::fromStdString(info->model), QStringLiteral("VRXA-QE01"));
        // Every listed device has its dialog, shown or not; one leaving takes its dialog.
        QCOMPARE(DeviceInfoDialog::registeredDevices().size(), 3);
        rig_->unplug(0);
        step(2000);
        QTRY_COMPARE(table()->rowCount(), 2);
        QCOMPARE(DeviceInfoDialog::registeredDevices().size(), 2);
    }

    void unplugWhileTheDialogAsks_data() {
        QTest::addColumn<QString>("button");
        QTest::addColumn<bool>("failing");  // the export goes to a file that cannot be opened
        QTest::addColumn<QString>("modal");
        QTest::newRow("file dialog") << "btn_export" << false << "QFileDialog";
        QTest::newRow("print dialog") << "btn_print" << false << "QPrintDialog";
        QTest::newRow("failure box") << "btn_export" << true << "QMessageBox";
    }
    // The device leaves while a modal of its dialog is open: the modal ends, then the dialog
    // goes.
    void unplugWhileTheDialogAsks() {
        QFETCH(QString, button);
        QFETCH(bool, failing);
        struct RealPrompts : QtPrompts {
            bool failing = false;
            QString saveFileName(QWidget* parent, const QString& caption,
                                 const QString& filter) override {
                return failing ? QStringLiteral("/nonexistent/report.htm")
                               : QtPrompts::saveFileName(parent, caption, filter);
            }
        } real;
        real.failing = failing;
        TPrompts::install(&real);
        const unsigned disk = unsigned(rig_->plug("healthy"));
        openWindow(1);
        table()->selectRow(0);
        action("a_dev_info")->trigger();
        QPointer<DeviceInfoDialog> dialog = DeviceInfoDialog::find(0);
        QVERIFY(dialog && dialog->isVisible());

        QString asked;
        QTimer poll;
        connect(&poll, &QTimer::timeout, this, [&] {
            if (QWidget* modal = QApplication::activeModalWidget()) {
                poll.stop();
                asked = QString::fromLatin1(modal->metaObject()->className());
                rig_->unplug(disk);
                step(2000);  // the list change reaches the window in the modal's own loop
            }
        });
        poll.start(10);
        QTimer::singleShot(5000, &poll, [] {
            if (QWidget* modal = QApplication::activeModalWidget())
                modal->close();
        });
        dialog->findChild<QPushButton*>(button)->click();
        QTEST(asked, "modal");
        QCOMPARE(table()->rowCount(), 0);
        QTRY_VERIFY(!dialog);
        QVERIFY(!QApplication::activeModalWidget());
    }

    // The selection follows its device through a sort, and the command reaches that device
    // and names it; the device is busy until the refresh that finds it answering again.
    void sortThenInitialize() {
        const unsigned fresh = unsigned(rig_->plug("new"));
        const unsigned healthy = unsigned(rig_->plug("healthy"));
        openWindow(2);
        table()->selectRow(0);
        QVERIFY(action("a_init_raid")->isEnabled());
        table()->sortByColumn(3, Qt::AscendingOrder);  // "RAID Normal" goes first
        QCOMPARE(table()->selectedRows().value(0).row(), 1);
        QVERIFY(action("a_init_raid")->isEnabled());
        const QStringList identity = table()->itemText(1, 1).split('\n');
        prompts_.answers = {1, 0};
        action("a_init_raid")->trigger();
        QVERIFY(
            prompts_.boxes.at(0).endsWith("drives.\n" + identity.at(0) + ", " + identity.at(2)));
        QCOMPARE(rig_->model(fresh)->requests(dcp::SubInitConfiguration), 1u);
        QCOMPARE(rig_->model(healthy)->requests(dcp::SubInitConfiguration), 0u);
        QCOMPARE(statusText(1), QStringLiteral("Initializing... Please wait."));
        QVERIFY(!action("a_init_raid")->isEnabled());
        QCOMPARE(contextOffers(1), (QList<bool>{false, false, true}));
        window_->rebuild_device_clicked();  // as a stale enable would
        QCOMPARE(prompts_.last,
                 "Cannot Rebuild!|The requested device is currently\nprocessing "
                 "another request.");

        step(62000);  // the core looks again after its minute
        QTRY_COMPARE(statusText(rowWithModelOf(fresh)), QStringLiteral("RAID Normal"));
        QTRY_VERIFY(!StorageManager::instance()->isDeviceBusy(0));
        QCOMPARE(table()->selectedRows().value(0).row(), rowWithModelOf(fresh));
        QCOMPARE(prompts_.kinds.size(), 3);
    }

    // One failed query during a refresh leaves the row, marked; a rescan brings it back.
    void failedQueryKeepsTheRow() {
        const unsigned disk = unsigned(rig_->plug("healthy"));
        openWindow(1);
        rig_->plug("degraded");
        step(2000);  // scanned; the refresh waits for the event loop
        rig_->setIgnoring(disk, true);
        QTRY_COMPARE(table()->rowCount(), 2);
        QCOMPARE(statusText(0), "RAID Normal\n" + kRed.arg("Device Not Answering"));
        QVERIFY(isCellItem<TIconWithStringItem>(cell(0, 3)));
        rig_->setIgnoring(disk, false);
        action("a_rescan_devices")->trigger();
        QTRY_COMPARE(statusText(0), QStringLiteral("RAID Normal"));
    }

    void closeQuestionAndSettings() {
        rig_->plug("degraded");
        openWindow(1);
        const QString file = QDir(folder_->path()).filePath(QStringLiteral("DRL.xml"));
        table()->setColumnWidths({200, 160, 120, 250});
        window_->resize(700, 333);
        StorageManager::instance()->trackProgress(0);

        QFile::remove(file);
        prompts_.answers = {0};
        QVERIFY(!window_->close());
        QVERIFY(window_->isVisible());
        QVERIFY(prompts_.last.startsWith("Rebuild in Progress|"));
        QVERIFY2(!QFile::exists(file), "No must write nothing");

        prompts_.answers = {1};
        QVERIFY(window_->close());
        QVERIFY(QFile::exists(file));
        QCOMPARE(loadIntList("main_window/tbv_devs", {0, 0, 0, 0}).mid(0, 3),
                 (QList<int>{200, 160, 120}));
        QVERIFY(!settings().getString("main_window", "windowState", "").empty());
        closeWindow();
        releaseSettings();

        // The next start comes back as it was left.
        openWindow(1);
        QCOMPARE(table()->columnWidths().mid(0, 3), (QList<int>{200, 160, 120}));
        QCOMPARE(window_->size(), QSize(700, 333));
    }

    // The pictures come at twice their size on a screen of ratio 2; rows keep their height.
    void pictureRowsKeepTheirLogicalSize() {
        TTableView t;
        t.setHeaders({QString()});
        QPixmap sharp(350, 200);
        sharp.setDevicePixelRatio(2.0);
        t.setItem(0, 0, sharp);
        const QModelIndex at = t.model()->index(0, 0);
        QStyleOptionViewItem option;
        option.initFrom(&t);
        QCOMPARE(t.itemDelegate()->sizeHint(option, at), QSize(175, 100));
    }

    void clockRunsScaled() {
        struct Base : os::Clock {
            uint32_t now = 1000;
            QList<uint32_t> slept;
            uint32_t tick() override { return now; }
            void sleep(uint32_t ms) override { slept << ms; }
        } base;
        demo::ScaledClock fast(6, base);
        QCOMPARE(fast.tick(), 1000u);
        base.now += 500;
        QCOMPARE(fast.tick(), 4000u);
        fast.sleep(10);  // never shorter than asked for, in scaled time
        fast.sleep(60);
        QCOMPARE(base.slept, (QList<uint32_t>{2, 10}));
        base.now = 1000 + (1u << 31);  // the scaled tick keeps wrapping at 32 bits
        QCOMPARE(fast.tick(), uint32_t(1000 + 6u * (1u << 31)));
    }

    void authorisationRetry_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("reason");
        auto add = [](const char* name, io::HelperStatus status, const char* reason) {
            QTest::newRow(name) << int(status) << QString(reason);
        };
        add("helper missing", io::HelperStatus::HelperMissing,
            "drivelore-helper is not installed.");
        add("pkexec missing", io::HelperStatus::PkexecMissing,
            "The pkexec program is not installed.");
        add("dismissed", io::HelperStatus::Dismissed, "The authorisation dialog was closed.");
        add("refused", io::HelperStatus::NotAuthorised, "Authorisation was refused.");
        add("failed", io::HelperStatus::Failed, "drivelore-helper did not start.");
    }
    // A start without the helper says so; the retry runs on its own thread, once at a time,
    // and its success clears the message and rescans.
    void authorisationRetry() {
        QFETCH(int, status);
        QFETCH(QString, reason);
        const auto failure = io::HelperStatus(status);
        const unsigned disk = unsigned(rig_->plug("healthy"));
        openWindow(1);
        auto helper = std::make_shared<FakeHelper>();
        window_->setPlatformAccess({{failure, "detail"}, helper->retry(helper)});
        auto* label = window_->findChild<QLabel*>(QStringLiteral("lb_platform_status"));
        auto* button = window_->findChild<QToolButton*>(QStringLiteral("tb_authorise"));
        QAction* retry = action("a_authorise");
        const QString text = "Devices cannot be reached without authorisation. " + reason;
        QCOMPARE(label->text(), text);
        QVERIFY(label->isVisible() && button->isVisible());
        QVERIFY(retry->isEnabled() && retry->isVisible());

        // While the dialog is up, neither the menu nor the button starts another.
        button->click();
        QTRY_COMPARE(helper->calls.load(), 1);
        QVERIFY(!retry->isEnabled());
        retry->trigger();
        QMetaObject::invokeMethod(window_.get(), "authorise_clicked");
        helper->answer(failure);
        QTRY_COMPARE(label->text(), text);
        QVERIFY(retry->isEnabled());
        QCOMPARE(helper->calls.load(), 1);

        // The device stops answering: only a rescan finds that out within two seconds.
        rig_->setIgnoring(disk, true);
        helper->answer(io::HelperStatus::Connected);
        retry->trigger();
        QTRY_VERIFY(!window_->statusBar()->isVisible());
        QCOMPARE(helper->calls.load(), 2);
        QVERIFY(!retry->isVisible());
        step(2000);
        QTRY_COMPARE(table()->rowCount(), 0);
    }

    // The status bar shows only while it has something to say; the platform's own message
    // outlasts a passing one.
    void statusBarOnlyWithAMessage() {
        openWindow(0);
        QStatusBar* bar = window_->statusBar();
        QVERIFY(!bar->isVisible());
        bar->showMessage(QStringLiteral("Scanning"));
        QVERIFY(bar->isVisible());
        bar->clearMessage();
        QVERIFY(!bar->isVisible());
        window_->setPlatformAccess({{io::HelperStatus::Failed, "detail"}, {}});
        bar->showMessage(QStringLiteral("Scanning"));
        bar->clearMessage();
        QVERIFY(bar->isVisible());
    }

    // What the control window does reaches the window as it would from the hardware.
    void rigDrivesTheWindow() {
        const unsigned disk = unsigned(rig_->plug("healthy"));
        openWindow(1);
        rig_->failDrive(disk, 1);
        step(61000);  // the periodic information query
        QTRY_VERIFY(statusText(0).startsWith(kRed.arg("RAID Degraded")));
        rig_->replaceDrive(disk, 1);
        step(61000);
        QTRY_VERIFY(statusText(0).endsWith(kGreen.arg("Ready for Rebuild")));
        rig_->pullDrive(disk, 0);
        action("a_rescan_devices")->trigger();
        step(2000);
        QTRY_VERIFY(statusText(0).startsWith(kRed.arg("RAID Failed")));
    }

    // The program's own run: exceptions, an unusable settings file, SIGTERM.
    void entryReportsAnExceptionFromASlot() {
        TPrompts::install(nullptr);  // the real box, answered by the timer
        auto box = std::make_shared<QString>();
        onNextModal([=](QWidget* w) -> QAbstractButton* {
            auto* m = qobject_cast<QMessageBox*>(w);
            return m                              ? *box = m->windowTitle() + '|' + m->text(),
                       m->button(QMessageBox::Ok) : nullptr;
        });
        auto& app = *qobject_cast<TSingleInstanceApp*>(qApp);
        AutoAdvance running;
        const int code = drl_entry::run(app, "DriveloreTest", [](DRL& w) {
            QTimer::singleShot(0, &w, [] { throw std::runtime_error("slot went wrong"); });
        });
        QCOMPARE(code, 1);
        QVERIFY(
            box->startsWith(QStringLiteral("Unexpected Error|The application has terminated due "
                                           "to an unexpected error; for assistance, please "
                                           "contact <")));
        QVERIFY(
            box->endsWith(QStringLiteral(">.  The error description follows:\n\nslot went wrong")));
    }

    void entryReportsAnUnusableSettingsFile() {
        const QByteArray oldConfig = qgetenv("XDG_CONFIG_HOME");
        QFile blocker(folder_->filePath("not-a-folder"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        qputenv("XDG_CONFIG_HOME", blocker.fileName().toLocal8Bit());
        setSettingsFolder(blocker.fileName().toStdString() + "/below-a-file");
        auto& app = *qobject_cast<TSingleInstanceApp*>(qApp);
        AutoAdvance running;
        const int code = drl_entry::run(app, "DriveloreTest");
        qputenv("XDG_CONFIG_HOME", oldConfig);
        QCOMPARE(code, 1);
        QCOMPARE(prompts_.kinds.size(), 1);
        QVERIFY(prompts_.last.startsWith("Unexpected Error|"));
        QVERIFY(prompts_.last.endsWith(QString::fromLocal8Bit(
            settings_error(blocker.fileName().toStdString() + "/below-a-file/DRL.xml").what())));
    }

    void sigtermClosesAndSaves() {
        rig_->plug("degraded");
        auto& app = *qobject_cast<TSingleInstanceApp*>(qApp);
        AutoAdvance running;
        QString settingsFile, platformText;
        const auto refused = [] {
            return PlatformAccess{{io::HelperStatus::NotAuthorised, "refused"}, {}};
        };
        const int code = drl_entry::run(
            app, "DriveloreTest",
            [&](DRL& w) {
                platformText = w.findChild<QLabel*>(QStringLiteral("lb_platform_status"))->text();
                settingsFile = QString::fromStdString(settingsFolder()) + "/DRL.xml";
                QFile::remove(settingsFile);
                StorageManager::instance()->trackProgress(0);  // no question on this road
                QTimer::singleShot(0, &w, [] { ::raise(SIGTERM); });
            },
            refused);
        QCOMPARE(code, 0);
        QCOMPARE(platformText, QStringLiteral("Devices cannot be reached without authorisation. "
                                              "Authorisation was refused."));
        QVERIFY(prompts_.kinds.isEmpty());
        QVERIFY(settingsFile.startsWith(qEnvironmentVariable("XDG_CONFIG_HOME")));
        QFile f(settingsFile);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray xml = f.readAll();
        QVERIFY(xml.contains("geometry") && xml.contains("windowState"));
    }

    // Separate processes: one instance per key, a stale lock, a hung first instance.
    void secondInstanceRaisesTheFirst() {
        const QString key = QStringLiteral("drl-test-%1").arg(QCoreApplication::applicationPid());
        auto start = [&key](QProcess& p) {
            p.start(QStringLiteral(INSTANCE_HELPER), {key});
            QVERIFY(p.waitForStarted());
        };
        // True once the process has printed text (within 5 s).
        auto printed = [](QProcess& p, const QByteArray& text) {
            QByteArray out;
            QDeadlineTimer limit(5000);
            while (!out.contains(text) && !limit.hasExpired()) {
                p.waitForReadyRead(int(limit.remainingTime()));
                out += p.readAllStandardOutput();
            }
            return out.contains(text);
        };
        QProcess first;
        start(first);
        QVERIFY(printed(first, "first"));
        QProcess second;
        start(second);
        QVERIFY(second.waitForFinished(6000));
        QCOMPARE(second.exitCode(), 2);
        QVERIFY(printed(first, "raised minimized=0 visible=1"));

        // Killed, it leaves its lock and socket behind: the next start is first again.
        first.kill();
        first.waitForFinished();
        QProcess third;
        start(third);
        QVERIFY(printed(third, "first"));

        // Stopped, it cannot answer: a second start still ends in time.
        ::kill(pid_t(third.processId()), SIGSTOP);
        QElapsedTimer took;
        took.start();
        QProcess fourth;
        start(fourth);
        QVERIFY(fourth.waitForFinished(6000));
        QCOMPARE(fourth.exitCode(), 2);
        QVERIFY2(took.elapsed() < 5000, qPrintable(QString::number(took.elapsed())));
        ::kill(pid_t(third.processId()), SIGCONT);

        // Without a runtime folder (Qt's fallback belongs to another user here), the lock
        // goes to a folder only this user can write, and a folder others can write is unused.
        if (::getuid() == 0) {
            QTemporaryDir tmp;
            const QString qtRuntime = tmp.filePath(QStringLiteral("runtime-") +
                                                   QString::fromLocal8Bit(getpwuid(0)->pw_name));
            QVERIFY(QDir().mkdir(qtRuntime));
            QCOMPARE(::chown(QFile::encodeName(qtRuntime).constData(), 65534, 65534), 0);
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
            env.insert(QStringLiteral("TMPDIR"), tmp.path());
            const QString own = tmp.filePath(QStringLiteral("drivelore-0"));
            for (const bool trusted : {true, false}) {
                QProcess planted;
                planted.setProcessEnvironment(env);
                start(planted);
                QVERIFY2(printed(planted, "first"), trusted ? "trusted" : "untrusted");
                QCOMPARE(planted.readAllStandardError().contains("No private folder"), !trusted);
                const QString lock = own + QLatin1Char('/') +
                                     QFileInfo(TSingleInstanceApp::channelBase(key)).fileName() +
                                     ".lock";
                QCOMPARE(QFile::exists(lock), trusted);
                planted.closeWriteChannel();
                QVERIFY(planted.waitForFinished(5000));
                QVERIFY(QFile::setPermissions(own, QFileDevice::Permissions(0x7777)));
            }
        }
        third.closeWriteChannel();
        QVERIFY(third.waitForFinished(5000));
        QCOMPARE(third.exitCode(), 0);
    }
};

int main(int argc, char** argv) {
    return runWindowTests<MainWindowTest>(argc, argv, "drl-window-test-");
}

#include "tst_mainwindow.moc"
