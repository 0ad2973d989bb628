#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest>

#include "app/capacitydialog.h"
#include "app_rig.h"

using namespace apptest;

namespace {

constexpr uint8_t kInit = dcp::SubInitConfiguration;
constexpr uint8_t kRebuild = dcp::SubRebuild;
const QString kBusy = "The requested device is currently\nprocessing another request.";

// Handles the next modal widget within five seconds; a wrong or missing one fails the
// test without hanging it.
std::shared_ptr<bool> onNextModal(std::function<bool(QWidget*)> handle) {
    auto done = std::make_shared<bool>(false);
    auto* poll = new QTimer(qApp);
    auto limit = std::make_shared<QDeadlineTimer>(5000);
    QObject::connect(poll, &QTimer::timeout, [=] {
        QWidget* w = QApplication::activeModalWidget();
        if (w && handle(w)) {
            *done = true;
        } else if (!limit->hasExpired()) {
            return;
        } else if (w) {
            w->close();
        }
        poll->deleteLater();
    });
    poll->start(10);
    return done;
}

}  // namespace

class CommandsTest : public QObject {
    Q_OBJECT

    std::unique_ptr<Rig> rig;
    StorageManager* sm = nullptr;

    void listen() {
        sm = rig->start();
        sm->startListening();
        rig->deliver();
        rig->settle();
        rig->step();
    }

private slots:
    void init() {
        QTest::failOnWarning(QRegularExpression("QObject::connect|connectSlotsByName"));
        rig = std::make_unique<Rig>();
    }
    void cleanup() {
        rig.reset();
        sm = nullptr;
    }

    void rebuild_data() {
        QTest::addColumn<QString>("profile");
        QTest::addColumn<bool>("busy");
        QTest::addColumn<bool>("startFails");
        QTest::addColumn<bool>("vanishes");
        QTest::addColumn<QList<int>>("answers");
        QTest::addColumn<QStringList>("prompts");
        QTest::addColumn<QString>("lastTitle");
        QTest::addColumn<QString>("lastText");
        QTest::addColumn<int>("sent");
        QTest::addColumn<bool>("tracked");
        const QString sure = "Are you sure?";
        const QString question =
            "Are you sure you want to rebuild\nthe RAID configuration? Rebuilding\nwill alter "
            "data on the newly added drive.";
        const QString failed = "Failed to initiate a RAID rebuild!\nFailed with status error: %1.";
        QTest::newRow("busy, not asked")
            << "degraded" << true << false << false << QList<int>{} << QStringList{"failure"}
            << "Cannot Rebuild!" << kBusy << 0 << true;
        QTest::newRow("no") << "degraded" << false << false << false << QList<int>{0}
                            << QStringList{"confirm"} << sure << question << 0 << false;
        QTest::newRow("accepted") << "degraded" << false << false << false << QList<int>{1}
                                  << QStringList{"confirm"} << sure << question << 1 << true;
        QTest::newRow("refused, drive set")
            << "healthy" << false << false << false << QList<int>{1}
            << QStringList{"confirm", "failure"} << "Rebuild Failure!"
            << failed.arg("Invalid/Unsupported Drive Set") << 1 << false;
        QTest::newRow("refused, failed") << "degraded" << false << true << false << QList<int>{1}
                                         << QStringList{"confirm", "failure"} << "Rebuild Failure!"
                                         << failed.arg("Rebuild Failed") << 1 << false;
        QTest::newRow("vanished after Yes")
            << "degraded" << false << false << true << QList<int>{1} << QStringList{"confirm"}
            << sure << question << 0 << false;
    }
    void rebuild() {
        QFETCH(QString, profile);
        QFETCH(bool, busy);
        QFETCH(bool, startFails);
        QFETCH(bool, vanishes);
        QFETCH(QList<int>, answers);
        QFETCH(QStringList, prompts);
        QFETCH(QString, lastTitle);
        QFETCH(QString, lastText);
        QFETCH(int, sent);
        QFETCH(bool, tracked);

        auto d = rig->plug(4, profile.toStdString());
        if (startFails) {
            auto faults = d.emulated.model->faults();
            faults.rebuildStartFails = true;
            d.emulated.model->setFaults(faults);
        }
        listen();
        if (busy) {
            sm->trackProgress(0);
        }
        if (vanishes) {
            rig->prompts.beforeAnswer = [&] { rig->platform->unplug(4); };
        }
        rig->prompts.answers = answers;
        sm->rebuildDevice(nullptr, 0);

        QVERIFY(!rig->prompts.unexpected);
        QCOMPARE(rig->prompts.kinds(), prompts);
        QCOMPARE(rig->prompts.seen.last().title, lastTitle);
        QCOMPARE(rig->prompts.seen.last().text, lastText);
        QCOMPARE(d.log->count(kRebuild), sent);
        QCOMPARE(sm->isDeviceBusy(0), tracked);
        if (tracked && !busy) {
            const int polls = d.log->count(dcp::SubGetProgress);
            rig->step();
            QCOMPARE(d.log->count(dcp::SubGetProgress), polls + 1);
        }
    }

    void initialize_data() {
        QTest::addColumn<QString>("profile");
        QTest::addColumn<bool>("smallDrives");
        QTest::addColumn<bool>("busy");
        QTest::addColumn<bool>("vanishes");
        QTest::addColumn<QList<int>>("answers");
        QTest::addColumn<QStringList>("prompts");
        QTest::addColumn<QString>("lastText");
        QTest::addColumn<int>("wireCapacity");  // -1: nothing sent
        QTest::addColumn<bool>("initializing");
        const QString question =
            "Are you sure you want to initialize a\nnew RAID configuration? Initialization\nwill "
            "destroy data on the drives.";
        const QString refused =
            "Failed to initialize configuration!\nFailed with status error: "
            "Invalid/Unsupported Drive Set.";
        const QStringList asked{"confirm", "capacity"};
        QTest::newRow("busy, not asked") << "new" << false << true << false << QList<int>{}
                                         << QStringList{"failure"} << kBusy << -1 << false;
        QTest::newRow("no") << "new" << false << false << false << QList<int>{0}
                            << QStringList{"confirm"} << question << -1 << false;
        QTest::newRow("capacity cancelled") << "new" << false << false << false << QList<int>{1, -1}
                                            << asked << QString() << -1 << false;
        QTest::newRow("limit to 2.2TB") << "new" << false << false << false << QList<int>{1, 0}
                                        << asked << QString() << int(sim::kCapacityLimit) << true;
        QTest::newRow("multiple of 2.2TB")
            << "new" << false << false << false << QList<int>{1, 1} << asked << QString()
            << int(sim::kCapacityMultiple) << true;
        QTest::newRow("maximize") << "new" << false << false << false << QList<int>{1, 2} << asked
                                  << QString() << int(sim::kCapacityMaximize) << true;
        QTest::newRow("small set, no choice")
            << "new" << true << false << false << QList<int>{1} << QStringList{"confirm"}
            << question << int(sim::kCapacityLimit) << true;
        QTest::newRow("refused") << "healthy" << false << false << false << QList<int>{1, 2}
                                 << QStringList{"confirm", "capacity", "failure"} << refused
                                 << int(sim::kCapacityMaximize) << false;
        QTest::newRow("vanished after Yes") << "new" << false << false << true << QList<int>{1, 1}
                                            << asked << QString() << -1 << false;
    }
    void initialize() {
        QFETCH(QString, profile);
        QFETCH(bool, smallDrives);
        QFETCH(bool, busy);
        QFETCH(bool, vanishes);
        QFETCH(QList<int>, answers);
        QFETCH(QStringList, prompts);
        QFETCH(QString, lastText);
        QFETCH(int, wireCapacity);
        QFETCH(bool, initializing);

        auto d = rig->plug(4, profile.toStdString());
        if (smallDrives) {
            for (unsigned bay = 0; bay < sim::kBays; ++bay) {
                d.emulated.model->setDrive(bay, sim::makeDrive(500000000000ull, 9, bay));
            }
        }
        listen();
        if (busy) {
            sm->trackProgress(0);
        }
        if (vanishes) {
            rig->prompts.beforeAnswer = [&] { rig->platform->unplug(4); };
        }
        rig->prompts.answers = answers;
        QSignalSpy initSpy(sm, &StorageManager::deviceInitializing);
        sm->initDevice(nullptr, 0);

        QVERIFY(!rig->prompts.unexpected);
        QCOMPARE(rig->prompts.kinds(), prompts);
        if (!lastText.isEmpty()) {
            QCOMPARE(rig->prompts.seen.last().text, lastText);
        }
        const auto sent = d.log->of(kInit);
        QCOMPARE(int(sent.size()), wireCapacity < 0 ? 0 : 1);
        if (wireCapacity >= 0) {
            QCOMPARE(int(sent[0][5]), wireCapacity);
        }
        QCOMPARE(initSpy.count(), initializing ? 1 : 0);
        if (initializing) {
            QCOMPARE(initSpy.at(0).at(0).value<DrlDevId>(), DrlDevId(0));
        }
        QCOMPARE(sm->isDeviceBusy(0), busy);  // an initialisation starts no poll
    }

    // The core refuses a device that is initialising; nothing reaches it and nothing is shown.
    void initializingDeviceIsLeftAlone() {
        auto d = rig->plug(4, "new");
        listen();
        rig->prompts.answers = {1, 0, 1, 0, 1};
        sm->initDevice(nullptr, 0);
        sm->initDevice(nullptr, 0);
        sm->rebuildDevice(nullptr, 0);
        QVERIFY(!rig->prompts.unexpected);
        QCOMPARE(rig->prompts.kinds(),
                 (QStringList{"confirm", "capacity", "confirm", "capacity", "confirm"}));
        QCOMPARE(d.log->count(kInit), 1);
        QCOMPARE(d.log->count(kRebuild), 0);
    }

    // The prompts users see, each answered once through its real widget.
    void realPrompts() {
        QtPrompts real;
        QWidget parent;
        auto confirmed = onNextModal([](QWidget* w) {
            auto* box = qobject_cast<QMessageBox*>(w);
            if (!box || box->defaultButton() != box->button(QMessageBox::No)) {
                return false;
            }
            box->button(QMessageBox::Yes)->click();
            return true;
        });
        QVERIFY(real.confirm(&parent, "Are you sure?", "Really?"));
        QVERIFY(*confirmed);

        auto failed = onNextModal([](QWidget* w) {
            auto* box = qobject_cast<QMessageBox*>(w);
            if (!box || box->icon() != QMessageBox::Critical || box->text() != "Broken") {
                return false;
            }
            box->button(QMessageBox::Ok)->click();
            return true;
        });
        real.failure(nullptr, "Rebuild Failure!", "Broken");
        QVERIFY(*failed);

        for (int mode : {2, -1}) {
            QStringList items;
            auto chosen = onNextModal([&items, mode](QWidget* w) {
                auto* dialog = qobject_cast<CapacityDialog*>(w);
                if (!dialog) {
                    return false;
                }
                auto* combo = dialog->findChild<QComboBox*>("cmb_capacity");
                auto* label = dialog->findChild<QLabel*>("lb_warning");
                if (!combo || combo->isEditable() || combo->currentIndex() != 0 || !label ||
                    !label->text().contains("POTENTIAL CORRUPTION/DATA LOSS RISK!") ||
                    dialog->windowTitle() != "Limit RAID Capacity?") {
                    return false;
                }
                for (int i = 0; i < combo->count(); ++i) {
                    items << combo->itemText(i);
                }
                auto* buttons = dialog->findChild<QDialogButtonBox*>();
                if (mode < 0) {
                    buttons->button(QDialogButtonBox::Cancel)->click();
                } else {
                    combo->setCurrentIndex(mode);
                    buttons->button(QDialogButtonBox::Ok)->click();
                }
                return true;
            });
            QCOMPARE(real.chooseCapacity(&parent), mode);
            QVERIFY(*chosen);
            QCOMPARE(items, (QStringList{"Limit Capacity to 2.2TB (best OS compatibility)",
                                         "Limit Capacity to Multiple of 2.2TB (prevents most data "
                                         "corruption)",
                                         "Maximize Capacity (use with caution)"}));
        }
    }
};

int runCommandsTests(int argc, char** argv) {
    CommandsTest t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_commands.moc"
