#include <QCommandLineParser>
#include <QTimer>
#include <memory>

#include "app/demo/demorig.h"
#include "app/demo/emulatorpanel.h"
#include "app/demo/scaledclock.h"
#include "app/demo/scenes.h"
#include "app/drl.h"
#include "app/entry.h"
#include "app/singleinstance.h"
#include "app/storagemanager.h"
#include "drl/storage_manager.h"
#include "os/clock.h"
#include "os/device_listener.h"

using namespace corvane;

namespace {

// Not the real program's key: the demo and the program on real disks may run side by side.
const char* const kDemoKey = "D903D686-D6D3-47a1-8ADC-82BFDDBF58A2-demo";
const char* const kDemoProduct = "Drivelore-Demo";

}  // namespace

int main(int argc, char** argv) {
    const StartupProbe probe;
    QCommandLineParser parser;
    parser.setApplicationDescription(QObject::tr("Drivelore over emulated devices."));
    const QCommandLineOption speedOption(
        "speed", QObject::tr("Time runs N times faster than usual (default 6)."), "N", "6");
    const QCommandLineOption measureOption(
        "measure-startup",
        QObject::tr("Print the time to the first filled device list and the memory then; quit."));
    const QCommandLineOption screenshotsOption(
        "screenshots", QObject::tr("Save pictures of fixed scenes in DIR; quit."), "DIR");
    const QCommandLineOption darkOption("dark", QObject::tr("Use a dark palette."));
    parser.addOptions({speedOption, measureOption, screenshotsOption, darkOption});
    if (drl_entry::isInfoRequest(argc, argv))
        drl_entry::answerInfoRequest(argc, argv, parser);
    TSingleInstanceApp app(argc, argv, kDemoKey);
    parser.addHelpOption();
    parser.process(app);

    const bool measuring = parser.isSet(measureOption);
    const QString shotDir = parser.value(screenshotsOption);
    bool ok = false;
    unsigned speed = parser.value(speedOption).toUInt(&ok);
    if (!ok || speed == 0 || speed > 1000)
        speed = 6;
    if (!shotDir.isEmpty())
        speed = std::max(speed, 60u);  // the rebuild scene waits for progress
    if (parser.isSet(darkOption))
        applyDarkPalette(app);

    // Clock and platform before anything starts a thread that reads them.
    demo::ScaledClock clock(speed);
    os::ScopedClock useClock(clock);
    demo::DemoRig rig;
    // Emulated devices announce their cables in-process; the machine's own disks stay out.
    StorageManager::setCoreFactory([] {
        return drl::CvnStorageManager::create(
            os::DeviceListener::create(os::DeviceSource::InProcess));
    });
    for (const QString& profile : demo::DemoRig::startProfiles())
        rig.plug(profile);

    std::unique_ptr<demo::EmulatorPanel> panel;
    std::unique_ptr<SceneRunner> scenes;
    const int result = drl_entry::run(app, kDemoProduct, [&](DRL& window) {
        if (measuring) {
            measureStartup(window, probe);
            return;
        }
        if (!shotDir.isEmpty()) {
            scenes = std::make_unique<SceneRunner>(window, rig, shotDir);
            scenes->start();
            return;
        }
        panel = std::make_unique<demo::EmulatorPanel>(rig, speed);
        panel->move(window.frameGeometry().topRight() + QPoint(12, 0));
        // The control window does not keep the program running once the main window closes.
        panel->setAttribute(Qt::WA_QuitOnClose, false);
        panel->show();
        QObject::connect(&window, &QObject::destroyed, panel.get(), &QWidget::close);
    });
    scenes.reset();
    panel.reset();
    return result;
}
