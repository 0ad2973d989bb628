#include <QComboBox>
#include <QDialogButtonBox>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest>
#include <cerrno>

#include "app/capacitydialog.h"
#include "app_rig.h"
#include "next_modal.h"

using namespace apptest;

namespace {

constexpr uint8_t kInit = dcp::SubInitConfiguration;
constexpr uint8_t kRebuild = dcp::SubRebuild;

// One path of a RAID command, judged by the prompts shown and what reached the device.
struct Case {
    bool rebuild;
    QString profile;
    QString setup;  // busy, startFails, smallDrives, vanishes, gone, silent or initializing
    QList<int> answers;
    QString prompts;
    QString last;   // "title|text" of the last box or question; %dev: the device's line
    int sent;       // rebuild: requests sent; init: the capacity on the wire, -1 none
    QString after;  // busy (polled), initializing, still (initializing) or nothing
};

}  // namespace

Q_DECLARE_METATYPE(Case)

class CommandsTest : public QObject {
    Q_OBJECT

    std::unique_ptr<Rig> rig;
    StorageManager* sm = nullptr;

private slots:
    void init() {
        QTest::failOnWarning(QRegularExpression("QObject::connect|connectSlotsByName"));
        rig = std::make_unique<Rig>();
    }
    void cleanup() {
        const QStringList unexpected = rig->prompts.unexpected;
        rig.reset();
        sm = nullptr;
        QVERIFY2(unexpected.isEmpty(), qPrintable(unexpected.join(',')));
    }

    void command_data() {
        QTest::addColumn<Case>("c");
        const QString busy = "|The requested device is currently\nprocessing another request.";
        const QString rebuild =
            "Are you sure?|Are you sure you want to rebuild\nthe RAID configuration? "
            "Rebuilding\nwill alter data on the newly added drive.%dev";
        const QString rebuildUnsent = "Rebuild Failure!|Failed to initiate a RAID rebuild!";
        const QString rebuildFailed = rebuildUnsent + "\nFailed with status error: %1.";
        const QString refusedSet = rebuildFailed.arg("Invalid/Unsupported Drive Set");
        const QString refusedFailed = rebuildFailed.arg("Rebuild Failed");
        const QString init =
            "Are you sure?|Are you sure you want to initialize a\nnew RAID configuration? "
            "Initialization\nwill destroy data on the drives.%dev";
        const QString initUnsent =
            "Initialize Configuration Failure!|Failed to initialize configuration!";
        const QString initFailed =
            initUnsent + "\nFailed with status error: Invalid/Unsupported Drive Set.";
        const QString gone = "The requested device is no longer attached.";
        const QString silent = "\nThe requested device does not answer.";
        const int limit = sim::kCapacityLimit, most = sim::kCapacityMaximize;
        const QString cf = "confirm,failure", cc = "confirm,capacity", ccf = cc + ",failure";
        const QString noRebuild = "Cannot Rebuild!", noInit = "Cannot Initialize!";
        auto add = [](const char* name, const Case& c) { QTest::newRow(name) << c; };
        add("rebuild, busy",
            {true, "degraded", "busy", {}, "failure", noRebuild + busy, 0, "busy"});
        add("rebuild, no", {true, "degraded", "", {0}, "confirm", rebuild, 0, ""});
        add("rebuild, yes", {true, "degraded", "", {1}, "confirm", rebuild, 1, "busy"});
        add("rebuild refused, drive set", {true, "healthy", "", {1}, cf, refusedSet, 1, ""});
        add("rebuild refused, failed",
            {true, "degraded", "startFails", {1}, cf, refusedFailed, 1, ""});
        add("rebuild, vanished after yes",
            {true, "degraded", "vanishes", {1}, cf, rebuildUnsent + silent, 0, ""});
        add("rebuild, not answering",
            {true, "degraded", "silent", {1}, cf, rebuildUnsent + silent, 0, ""});
        add("rebuild, gone before",
            {true, "degraded", "gone", {}, "failure", noRebuild + '|' + gone, 0, ""});
        add("init, busy", {false, "new", "busy", {}, "failure", noInit + busy, -1, "busy"});
        add("init, no", {false, "new", "", {0}, "confirm", init, -1, ""});
        add("init, capacity cancelled", {false, "new", "", {1, -1}, cc, init, -1, ""});
        add("init, limit to 2.2TB", {false, "new", "", {1, 0}, cc, init, limit, "initializing"});
        add("init, multiple of 2.2TB",
            {false, "new", "", {1, 1}, cc, init, sim::kCapacityMultiple, "initializing"});
        add("init, maximize", {false, "new", "", {1, 2}, cc, init, most, "initializing"});
        add("init, small set, no choice",
            {false, "new", "smallDrives", {1}, "confirm", init, limit, "initializing"});
        add("init refused", {false, "healthy", "", {1, 2}, ccf, initFailed, most, ""});
        add("init, vanished after yes",
            {false, "new", "vanishes", {1, 1}, ccf, initUnsent + silent, -1, ""});
        add("init, not answering",
            {false, "new", "silent", {1, 1}, ccf, initUnsent + silent, -1, ""});
        add("init, gone before",
            {false, "new", "gone", {}, "failure", noInit + '|' + gone, -1, ""});
        // An initialising device is busy until a refresh finds it answering.
        add("init while initialising",
            {false, "new", "initializing", {}, "failure", noInit + busy, limit, "still"});
        add("rebuild while initialising",
            {true, "new", "initializing", {}, "failure", noRebuild + busy, 0, "still"});
    }
    void command() {
        QFETCH(Case, c);
        auto d = rig->plug(4, c.profile.toStdString());
        if (c.setup == "startFails") {
            auto faults = d.emulated.model->faults();
            faults.rebuildStartFails = true;
            d.emulated.model->setFaults(faults);
        } else if (c.setup == "smallDrives") {
            for (unsigned bay = 0; bay < sim::kBays; ++bay)
                d.emulated.model->setDrive(bay, sim::makeDrive(500000000000ull, 9, bay));
        }
        sm = rig->listen();
        if (c.setup == "busy") {
            sm->trackProgress(0);
        } else if (c.setup == "vanishes") {
            rig->prompts.beforeAnswer = [&] { rig->platform->unplug(4); };
        } else if (c.setup == "gone") {
            rig->platform->unplug(4);
            rig->settle();
        } else if (c.setup == "silent") {
            d.emulated.disk->setFaultInjector([](sim::DiskOp, uint64_t) { return EIO; });
        } else if (c.setup == "initializing") {
            rig->prompts.answers = {1, 0};
            sm->initDevice(nullptr, 0);
            rig->prompts.kinds.clear();
        }
        std::unique_ptr<DcpRespInfo> info(sm->deviceInfo(0, false));
        QString last = c.last;
        if (info) {
            last.replace("%dev", QString::fromStdString("\n" + info->model +
                                                        ", Serial#: " + info->serialText));
        }
        rig->prompts.answers = c.answers;
        QSignalSpy initSpy(sm, &StorageManager::deviceInitializing);
        if (c.rebuild) {
            sm->rebuildDevice(nullptr, 0);
        } else {
            sm->initDevice(nullptr, 0);
        }

        QCOMPARE(rig->prompts.kinds.join(','), c.prompts);
        QCOMPARE(rig->prompts.last, last);
        if (c.rebuild) {
            QCOMPARE(d.log->count(kRebuild), c.sent);
        } else {
            const auto wire = d.log->of(kInit);
            QCOMPARE(int(wire.size()), c.sent < 0 ? 0 : 1);
            QCOMPARE(wire.empty() ? -1 : int(wire[0][5]), c.sent);
        }
        QCOMPARE(sm->isDeviceBusy(0), !c.after.isEmpty());
        QCOMPARE(sm->hasTrackedOperations(), c.after == "busy");
        QCOMPARE(initSpy.count(), c.after == "initializing" ? 1 : 0);
        if (c.after == "initializing")
            QCOMPARE(initSpy.at(0).at(0).value<DrlDevId>(), DrlDevId(0));
        if (c.after == "busy" && c.setup.isEmpty()) {  // the new poll runs at once
            const int polls = d.log->count(dcp::SubGetProgress);
            rig->step();
            QCOMPARE(d.log->count(dcp::SubGetProgress), polls + 1);
        }
    }

    // The prompts users see, each answered once through its real widget.
    void realPrompts() {
        QtPrompts real;
        QWidget parent;
        auto confirmed = onNextModal([](QWidget* w) -> QAbstractButton* {
            auto* box = qobject_cast<QMessageBox*>(w);
            const bool noByDefault = box && box->defaultButton() == box->button(QMessageBox::No);
            return noByDefault ? box->button(QMessageBox::Yes) : nullptr;
        });
        QVERIFY(real.confirm(&parent, "Are you sure?", "Really?"));
        QVERIFY(*confirmed);
        auto failed = onNextModal([](QWidget* w) -> QAbstractButton* {
            auto* box = qobject_cast<QMessageBox*>(w);
            const bool critical = box && box->icon() == QMessageBox::Critical;
            return critical && box->text() == "Broken" ? box->button(QMessageBox::Ok) : nullptr;
        });
        real.failure(nullptr, "Rebuild Failure!", "Broken");
        QVERIFY(*failed);

        // The first mode is the default; the one chosen is answered; Cancel answers -1.
        for (int mode : {0, 2, -1}) {
            auto chosen = onNextModal([mode](QWidget* w) -> QAbstractButton* {
                auto* dialog = qobject_cast<CapacityDialog*>(w);
                auto* combo = w->findChild<QComboBox*>("cmb_capacity");
                if (!dialog || !combo || combo->isEditable() || combo->count() != 3 ||
                    combo->currentIndex() != 0) {
                    return nullptr;
                }
                combo->setCurrentIndex(std::max(mode, 0));
                return dialog->findChild<QDialogButtonBox*>()->button(
                    mode < 0 ? QDialogButtonBox::Cancel : QDialogButtonBox::Ok);
            });
            QCOMPARE(real.chooseCapacity(&parent), mode);
            QVERIFY(*chosen);
        }
    }
};

int runCommandsTests(int argc, char** argv) {
    CommandsTest t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_commands.moc"
