// Prints how long the main window's thread is kept from its event loop: at start-up and
// while a device is plugged and another unplugged, over 26 emulated devices whose every
// exchange takes 20 ms. A 1 ms timer on the GUI thread measures the gaps.
#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "app/drl.h"
#include "app/storagemanager.h"
#include "drl/storage_manager.h"
#include "io/platform.h"
#include "os/device_listener.h"
#include "settings/folder.h"
#include "sim/emulated_disk.h"
#include "sim/profiles.h"
#include "widgets/ttableview.h"

using namespace corvane;

namespace {

constexpr unsigned kDevices = 26;
constexpr int kExchangeMs = 20;

std::thread::id guiThread;
std::atomic<int> guiExchanges{0};
std::atomic<int> allExchanges{0};

// The longest time between two turns of the event loop since reset().
class Watchdog : public QObject {
public:
    Watchdog() {
        timer_.setTimerType(Qt::PreciseTimer);
        connect(&timer_, &QTimer::timeout, this,
                [this] { longest_ = std::max(longest_, clock_.restart()); });
        timer_.start(1);
        clock_.start();
    }
    void reset() {
        longest_ = 0;
        clock_.restart();
    }
    qint64 longest() const { return std::max(longest_, clock_.elapsed()); }

private:
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 longest_ = 0;
};

sim::EmulatedDevice slowDevice(unsigned unit) {
    sim::ProfileOptions options;
    options.unit = unit;
    sim::EmulatedDevice device = *sim::makeProfile("healthy", options);
    device.firmware->setExchangeHook([] {
        ++allExchanges;
        if (std::this_thread::get_id() == guiThread) {
            ++guiExchanges;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kExchangeMs));
    });
    return device;
}

// Runs the event loop until done() holds (or the limit passes); false on the limit.
template <class Done>
bool runUntil(Done done, int limitMs) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > limitMs) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

// Lets the loop run for ms, whatever happens.
void idle(int ms) {
    runUntil([] { return false; }, ms);
}

}  // namespace

int main(int argc, char** argv) {
    QTemporaryDir home;
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen")
                                                                    : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    guiThread = std::this_thread::get_id();
    setSettingsFolder(home.path().toStdString());

    auto platform = std::make_shared<sim::EmulatedPlatform>();
    platform->setChangeListener([] { os::announceDeviceChange(); });
    io::setPlatform(platform);
    std::vector<sim::EmulatedDevice> devices;
    for (unsigned n = 0; n < kDevices; ++n) {
        devices.push_back(slowDevice(n));
    }
    for (unsigned n = 0; n + 1 < kDevices; ++n) {
        platform->plug(n, devices[n].disk);
    }
    StorageManager::setCoreFactory([] {
        return drl::CvnStorageManager::create(
            os::DeviceListener::create(os::DeviceSource::InProcess));
    });

    Watchdog watchdog;
    QElapsedTimer built;
    built.start();
    auto window = std::make_unique<DRL>();
    window->show();
    const qint64 constructionMs = built.elapsed();
    auto* table = window->findChild<TTableView*>(QStringLiteral("tbv_devs"));
    const auto rows = [table] { return table->rowCount(); };

    watchdog.reset();
    const int guiBefore = guiExchanges;
    bool ok = runUntil([&] { return rows() == int(kDevices - 1); }, 120000);
    const qint64 toListMs = built.elapsed();
    // The periodic queries of every new device follow the first list.
    idle(5000);
    const qint64 startStall = std::max(watchdog.longest(), constructionMs);
    const int guiAtStart = guiExchanges - guiBefore;

    watchdog.reset();
    const int guiBeforePlug = guiExchanges;
    QElapsedTimer plugged;
    plugged.start();
    platform->plug(kDevices - 1, devices[kDevices - 1].disk);
    ok = runUntil([&] { return rows() == int(kDevices); }, 120000) && ok;
    const qint64 plugMs = plugged.elapsed();
    platform->unplug(3);
    ok = runUntil([&] { return rows() == int(kDevices - 1); }, 120000) && ok;
    const qint64 hotPlugMs = plugged.elapsed();
    idle(3000);
    const qint64 hotPlugStall = watchdog.longest();
    const int guiAtHotPlug = guiExchanges - guiBeforePlug;

    std::printf("%u emulated devices, %d ms per exchange%s\n", kDevices, kExchangeMs,
                ok ? "" : " (a list did not arrive in time)");
    std::printf("window construction: %lld ms\n", static_cast<long long>(constructionMs));
    std::printf("first full device list after: %lld ms\n", static_cast<long long>(toListMs));
    std::printf("longest GUI-thread stall at start-up: %lld ms\n",
                static_cast<long long>(startStall));
    std::printf("exchanges on the GUI thread at start-up: %d\n", guiAtStart);
    std::printf("plugged device listed after: %lld ms, unplugged device gone after: %lld ms\n",
                static_cast<long long>(plugMs), static_cast<long long>(hotPlugMs));
    std::printf("longest GUI-thread stall during hot-plug: %lld ms\n",
                static_cast<long long>(hotPlugStall));
    std::printf("exchanges on the GUI thread during hot-plug: %d (of %d in all)\n", guiAtHotPlug,
                int(allExchanges));

    window.reset();  // stops the core and writes the settings
    io::setPlatform(nullptr);
    return ok ? 0 : 1;
}
