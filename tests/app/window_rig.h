#pragma once

// The main window over the demo's emulated devices with the clock stepped by hand: the set-up
// the window tests share, and the program they run in.
#include <sys/stat.h>
#include <unistd.h>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QStyleFactory>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

#include "app/demo/demorig.h"
#include "app/drl.h"
#include "app/singleinstance.h"
#include "app/storagemanager.h"
#include "dialogs/deviceinfodialog.h"
#include "drl/storage_manager.h"
#include "os/device_listener.h"
#include "os/manual_clock.h"
#include "settings/folder.h"
#include "settings/kvstore.h"
#include "tests/support/fake_prompts.h"
#include "widgets/ttableview.h"

namespace apptest {

using namespace corvane;

inline os::ManualClock* theClock = nullptr;

class WindowRig {
protected:
    std::unique_ptr<QTemporaryDir> folder_;
    std::unique_ptr<demo::DemoRig> rig_;
    std::unique_ptr<DRL> window_;
    FakePrompts prompts_;

    TTableView* table() { return window_->findChild<TTableView*>(QStringLiteral("tbv_devs")); }
    QAction* action(const char* name) { return window_->findChild<QAction*>(QLatin1String(name)); }
    QString statusText(int row) { return table()->itemText(row, 3); }
    QVariant cell(int row, int column) { return table()->model()->index(row, column).data(); }

    bool eachSecondDelivered_ = false;  // else what the worker posted waits for the test

    // Lets the worker run its cycles over ms of emulated time, one second at a time.
    void step(uint32_t ms) {
        for (uint32_t done = 0; done < ms; done += 1000) {
            theClock->advance(std::min<uint32_t>(1000, ms - done));
            QVERIFY(theClock->waitForSleepers(1));
            if (eachSecondDelivered_)
                QCoreApplication::processEvents();
        }
    }
    // After the first scan (more time: every periodic query answered once too).
    void openWindow(int rows, uint32_t ms = 1000) {
        window_ = std::make_unique<DRL>();
        window_->show();
        step(ms);
        QTRY_COMPARE(table()->rowCount(), rows);
    }
    void closeWindow() {
        theClock->setAutoAdvance(true);
        window_.reset();
        theClock->setAutoAdvance(false);
    }

    void setUp() {
        folder_ = std::make_unique<QTemporaryDir>();
        setSettingsFolder(folder_->path().toStdString());
        rig_ = std::make_unique<demo::DemoRig>();
        StorageManager::setCoreFactory([] {
            return drl::CvnStorageManager::create(
                os::DeviceListener::create(os::DeviceSource::InProcess));
        });
        prompts_ = FakePrompts();
        TPrompts::install(&prompts_);
    }
    void tearDown() {
        closeWindow();
        DeviceInfoDialog::destroyAll();
        StorageManager::destroyInstance();
        releaseSettings();
        rig_.reset();
        TPrompts::install(nullptr);
        QVERIFY2(prompts_.unexpected.isEmpty(), qPrintable(prompts_.unexpected.join(',')));
    }
};

// Settings, lock and socket in a folder of their own, set before Qt reads the variables; one
// manual clock for the whole run; the program's own single-instance application.
template <class Test>
int runWindowTests(int argc, char** argv, const char* key) {
    QTemporaryDir home;
    const QByteArray root = home.path().toLocal8Bit();
    QDir().mkpath(home.filePath("config"));
    QDir().mkpath(home.filePath("run"));
    ::chmod(QFile::encodeName(home.filePath("run")).constData(), 0700);
    qputenv("HOME", root);
    qputenv("XDG_CONFIG_HOME", root + "/config");
    qputenv("XDG_RUNTIME_DIR", root + "/run");
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    static os::ManualClock clock;
    os::ScopedClock useClock(clock);
    theClock = &clock;
    const QByteArray unique = key + QByteArray::number(getpid());
    TSingleInstanceApp app(argc, argv, unique.constData());
    app.setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    Test test;
    return QTest::qExec(&test, argc, argv);
}

}  // namespace apptest
