// Desktop notifications over a real session bus (a small notification server in this
// process), the tray, closing to it, and the time left in the row and the device dialog;
// over the demo's emulated devices with the clock stepped by hand.
#include <QDBusConnection>
#include <QLabel>
#include <QRegularExpression>
#include <QStatusBar>
#include <QSystemTrayIcon>

#include "settings/kvstore.h"
#include "sim/device_model.h"
#include "window_rig.h"

using namespace apptest;

namespace {

const char* const kServer = "drl-test-notification-server";

// The freedesktop service, as far as a client sees it.
class NotificationServer : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    QStringList summaries;

public slots:
    uint Notify(const QString&, uint, const QString&, const QString& summary, const QString&,
                const QStringList&, const QVariantMap&, int) {
        summaries << summary;
        return uint(summaries.size());
    }
};

// "about 1 h 5 min left" in seconds; -1 when the text has none.
int secondsIn(const QString& text) {
    static const QRegularExpression re(QStringLiteral("about (?:(\\d+) h ?)?(?:(\\d+) min)? left"));
    const QRegularExpressionMatch m = re.match(text);
    return m.hasMatch() ? (m.captured(1).toInt() * 60 + m.captured(2).toInt()) * 60 : -1;
}

}  // namespace

class NotifyTest : public QObject, WindowRig {
    Q_OBJECT

    NotificationServer server_;
    bool bus_ = false;

public:
    NotifyTest() { eachSecondDelivered_ = true; }

private:
    QSystemTrayIcon* tray() { return window_->findChild<QSystemTrayIcon*>(QStringLiteral("tray")); }
    QDBusConnection serverBus() {
        return QDBusConnection::connectToBus(QDBusConnection::SessionBus,
                                             QString::fromLatin1(kServer));
    }

private slots:
    void initTestCase() {
        bus_ = QDBusConnection::sessionBus().isConnected();
        if (!bus_)
            return;
        QDBusConnection bus = serverBus();
        QVERIFY(bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &server_,
                                   QDBusConnection::ExportAllSlots));
    }
    void init() {
        setUp();
        server_.summaries.clear();
        if (bus_)
            QVERIFY(serverBus().registerService(QStringLiteral("org.freedesktop.Notifications")));
    }
    void cleanup() {
        serverBus().unregisterService(QStringLiteral("org.freedesktop.Notifications"));
        tearDown();
    }

    // A drive fails: the set degrades, the drive fails and a failure is likely, one
    // notification each and never again while they last; its replacement (better) raises
    // none. The tray follows the worst state. With no service on the bus, the status bar
    // says what happened.
    void worseTransitionsNotifyOnce() {
        if (!bus_)
            QSKIP("no session bus: run under dbus-run-session (Debian's dbus package)");
        const unsigned disk = unsigned(rig_->plug("healthy"));
        openWindow(1, 3000);
        const QString fine = tray()->toolTip();
        rig_->failDrive(disk, 1);
        step(61000);
        QTRY_COMPARE(server_.summaries.size(), 3);
        server_.summaries.sort();
        QCOMPARE(server_.summaries, QStringList({"Drive Failure is Likely",
                                                 "Drive in bay 2: Drive Failed", "RAID Degraded"}));
        const QString failed = tray()->toolTip();
        QVERIFY(failed != fine);

        step(180000);
        rig_->replaceDrive(disk, 1);
        step(121000);
        QCoreApplication::processEvents();
        QCOMPARE(server_.summaries.size(), 3);
        QVERIFY(tray()->toolTip() != failed && tray()->toolTip() != fine);  // degraded only
        QVERIFY(window_->statusBar()->currentMessage().isEmpty());

        QVERIFY(serverBus().unregisterService(QStringLiteral("org.freedesktop.Notifications")));
        rig_->failDrive(disk, 0);
        step(61000);
        // All three changes of the round stay in view, the device named once.
        const auto shown = [this] { return window_->statusBar()->currentMessage(); };
        QTRY_VERIFY2(QRegularExpression("^No desktop notification service answered. "
                                        "(RAID Failed|Drive Failure is Likely|Drive in bay 1: "
                                        "Drive Failed)( \u2022 (?1)){2}: VRXA-QD01 \\(serial "
                                        "[0-9a-f]+\\) at /dev/sd.$")
                         .match(shown())
                         .hasMatch(),
                     qPrintable(shown()));
        QCOMPARE(window_->statusBar()->toolTip(), shown());
        QVERIFY(window_->statusBar()->isVisible());
        QCOMPARE(server_.summaries.size(), 3);
    }

    // A rebuild that fails is news once, though the set was degraded all along.
    void failedRebuildNotifiesOnce() {
        if (!bus_)
            QSKIP("no session bus: run under dbus-run-session (Debian's dbus package)");
        rig_->plug("rebuild-fails");
        openWindow(1, 3000);
        table()->selectRow(0);
        prompts_.answers = {1};
        action("a_rebuild_raid")->trigger();
        step(300000);
        QTRY_VERIFY(server_.summaries.contains(QStringLiteral("RAID Rebuild Failed")));
        step(120000);
        QCOMPARE(server_.summaries.count(QStringLiteral("RAID Rebuild Failed")), 1);
    }

    // Off by default: closing quits. On, with a tray to come back from, closing hides the
    // window and the tray brings it back; the choice outlives the window.
    void closeToTray() {
        rig_->plug("healthy");
        openWindow(1, 3000);
        auto* option = action("a_close_to_tray");
        tray()->show();  // whether or not this platform has a tray
        QVERIFY(!option->isChecked());
        QVERIFY(window_->close());
        window_->show();
        option->setChecked(true);
        QVERIFY(settings().getBool("main_window", "close_to_tray", false));
        QVERIFY(!window_->close());
        QVERIFY(!window_->isVisible());
        emit tray()->activated(QSystemTrayIcon::Trigger);
        QVERIFY(window_->isVisible());
        // Exit from the tray, the window hidden, still ends the program.
        QVERIFY(!window_->close());
        QVERIFY(!QApplication::quitOnLastWindowClosed());
        action("a_exit")->trigger();
        QVERIFY(QApplication::quitOnLastWindowClosed());
    }

    // A two-hour rebuild: the row and the dialog say the time left, within 10 % of the
    // truth, until the rebuild stalls at 25 %; then neither says any.
    void timeLeftInRowAndDialog() {
        const unsigned disk = unsigned(rig_->plug("degraded"));
        sim::Timings t;
        t.rebuildProgressMs = 2 * 3600 * 1000;
        rig_->model(disk)->setTimings(t);
        sim::ModelFaults f;
        f.rebuildStallsAt = 2500;
        rig_->model(disk)->setFaults(f);
        openWindow(1, 3000);
        table()->selectRow(0);
        prompts_.answers = {1};
        action("a_rebuild_raid")->trigger();
        action("a_dev_info")->trigger();
        QCOMPARE(DeviceInfoDialog::registeredDevices().size(), 1);
        auto* label = DeviceInfoDialog::find(DeviceInfoDialog::registeredDevices().first())
                          ->findChild<QLabel*>(QStringLiteral("lb_time_left"));
        QVERIFY(label);
        for (int minutes : {5, 5, 10}) {  // at 5, 10 and 20 min
            step(minutes * 60000);
            const QString row = table()->itemText(0, 3);
            const double truth = (10000 - rig_->model(disk)->progress().percent) * 7200.0 / 10000;
            QVERIFY2(std::abs(secondsIn(row) - truth) <= 0.1 * truth, qPrintable(row));
            QVERIFY(label->isVisible());
            QCOMPARE(label->text(), row.section(QLatin1Char('\n'), -1));
        }
        step(15 * 60000);  // 25 % came at 30 min 10 s
        QCOMPARE(rig_->model(disk)->progress().percent, 2500);
        QCOMPARE(secondsIn(table()->itemText(0, 3)), -1);
        QVERIFY(!label->isVisible());
    }
};

int main(int argc, char** argv) {
    return runWindowTests<NotifyTest>(argc, argv, "drl-notify-test-");
}

#include "tst_notify.moc"
