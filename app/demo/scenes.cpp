#include "app/demo/scenes.h"

#include <unistd.h>
#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QPalette>
#include <QProgressBar>
#include <QStyleFactory>
#include <QTabWidget>
#include <QTextEdit>
#include <QTextStream>
#include <array>
#include <ctime>
#include <memory>

#include "app/demo/demorig.h"
#include "app/demo/emulatorpanel.h"
#include "app/drl.h"
#include "app/storagemanager.h"
#include "dialogs/deviceinfodialog.h"
#include "widgets/ttableview.h"

namespace {

// Field 22 of /proc/self/stat: the start in clock ticks after boot.
double processStartMsSinceBoot() {
    QFile stat(QStringLiteral("/proc/self/stat"));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray line = stat.readAll();
    // The command name may hold blanks; the fields after it are counted from its ')'.
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 20)
        return -1;
    return fields.at(19).toDouble() * 1000.0 / double(sysconf(_SC_CLK_TCK));
}

double msSinceBoot() {
    timespec ts{};
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return double(ts.tv_sec) * 1000.0 + double(ts.tv_nsec) / 1e6;
}

TTableView* deviceTable(DRL& window) {
    return window.findChild<TTableView*>(QStringLiteral("tbv_devs"));
}

QAction* action(DRL& window, const char* name) {
    return window.findChild<QAction*>(QLatin1String(name));
}

// The first row whose status text contains the fragment, or -1.
int rowWithStatus(DRL& window, const QString& fragment) {
    TTableView* table = deviceTable(window);
    for (int row = 0; row < table->rowCount(); ++row)
        if (table->itemText(row, 3).contains(fragment))
            return row;
    return -1;
}

DeviceInfoDialog* visibleDeviceDialog() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* d = qobject_cast<DeviceInfoDialog*>(w); d && d->isVisible())
            return d;
    return nullptr;
}

bool clickInBox(QMessageBox::StandardButton which) {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || !box->button(which))
        return false;
    box->button(which)->click();
    return true;
}

}  // namespace

StartupProbe::StartupProbe() {
    sinceMain_.start();
    const double start = processStartMsSinceBoot();
    if (start >= 0)
        processBeforeMain_ = msSinceBoot() - start;
}

double StartupProbe::msProcessBeforeMain() const {
    return processBeforeMain_;
}

double StartupProbe::msSinceMain() const {
    return double(sinceMain_.nsecsElapsed()) / 1e6;
}

double residentMiB() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    return -1;
}

void measureStartup(DRL& window, const StartupProbe& probe) {
    auto stream = std::make_shared<QTextStream>(stdout);
    StorageManager* adapter = StorageManager::instance();
    auto done = std::make_shared<bool>(false);
    QObject::connect(
        adapter, &StorageManager::deviceListChange, &window,
        [&window, &probe, stream, done](const QMap<DrlDevId, DcpRespInfo*>& list) {
            if (*done || list.isEmpty())
                return;
            *done = true;
            *stream
                << QStringLiteral("devices: %1\n").arg(list.size())
                << QStringLiteral(
                       "first filled device list: %1 ms after the program's start "
                       "(main)\n")
                       .arg(probe.msSinceMain(), 0, 'f', 0)
                << QStringLiteral(
                       "the process was created %1 ms before main (loading, and "
                       "whatever ran in it before an exec)\n")
                       .arg(probe.msProcessBeforeMain(), 0, 'f', 0)
                << QStringLiteral("resident memory then: %1 MiB\n").arg(residentMiB(), 0, 'f', 1);
            stream->flush();
            // How long the GUI thread is away from its loop: first while the window paints
            // its first rows, then while the core works idle.
            auto tick = new QTimer(&window);
            auto clock = std::make_shared<QElapsedTimer>();
            auto total = std::make_shared<QElapsedTimer>();
            auto longest = std::make_shared<std::array<qint64, 2>>(std::array<qint64, 2>{0, 0});
            clock->start();
            total->start();
            QObject::connect(tick, &QTimer::timeout, &window,
                             [&window, tick, clock, total, longest, stream] {
                                 qint64& slot = (*longest)[total->elapsed() < 1000 ? 0 : 1];
                                 slot = std::max(slot, clock->nsecsElapsed());
                                 clock->restart();
                                 if (total->elapsed() < 3000)
                                     return;
                                 tick->stop();
                                 *stream << QStringLiteral(
                                                "longest gap of a 1 ms timer, first second after "
                                                "the list: %1 ms\n")
                                                .arg(double((*longest)[0]) / 1e6, 0, 'f', 1)
                                         << QStringLiteral(
                                                "longest gap of a 1 ms timer, 2 s idle after "
                                                "that: %1 ms\n")
                                                .arg(double((*longest)[1]) / 1e6, 0, 'f', 1);
                                 stream->flush();
                                 window.closeWithoutQuestion();
                             });
            tick->start(1);
        });
}

void applyDarkPalette(QApplication& app) {
    app.setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QPalette p;
    const QColor window(0x2b, 0x2b, 0x2b), base(0x1e, 0x1e, 0x1e), text(0xe6, 0xe6, 0xe6);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, QColor(0x26, 0x26, 0x26));
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, window);
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::ToolTipBase, base);
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::Highlight, QColor(0x3d, 0x6f, 0xb6));
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::PlaceholderText, QColor(0x9a, 0x9a, 0x9a));
    p.setColor(QPalette::Disabled, QPalette::Text, QColor(0x80, 0x80, 0x80));
    p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x80, 0x80, 0x80));
    p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x80, 0x80, 0x80));
    app.setPalette(p);
}

SceneRunner::SceneRunner(DRL& window, corvane::demo::DemoRig& rig, const QString& dir)
    : window_(window), rig_(rig), dir_(dir) {
    connect(&timer_, &QTimer::timeout, this, &SceneRunner::poll);
}

void SceneRunner::start() {
    QDir().mkpath(dir_);
    buildScenes();
    stepTime_.start();
    timer_.start(20);
}

void SceneRunner::add(const QString& what, Step step) {
    steps_.append({what, std::move(step)});
}

void SceneRunner::poll() {
    if (steps_.isEmpty()) {
        timer_.stop();
        return;
    }
    bool done = false;
    try {
        done = steps_.first().second();
    } catch (...) {
        done = false;
    }
    if (!done && stepTime_.elapsed() < 20000)
        return;
    if (!done) {
        ++failures_;
        QTextStream(stderr) << "scene step timed out: " << steps_.first().first << '\n';
        // Whatever blocks the next step goes away.
        if (QWidget* modal = QApplication::activeModalWidget())
            modal->close();
        if (QWidget* popup = QApplication::activePopupWidget())
            popup->close();
    }
    steps_.removeFirst();
    stepTime_.restart();
}

bool SceneRunner::save(QWidget* widget, const QString& name) {
    if (!widget)
        return false;
    const QString path = QDir(dir_).filePath(name + QStringLiteral(".png"));
    const bool ok = widget->grab().save(path);
    QTextStream(stdout) << (ok ? "saved " : "could not save ") << path << '\n';
    return true;
}

void SceneRunner::buildScenes() {
    DRL& w = window_;
    auto rowOf = std::make_shared<int>(-1);
    const int profiles = corvane::demo::DemoRig::startProfiles().size();

    add("five devices listed", [&w, profiles] {
        TTableView* t = deviceTable(w);
        return t->rowCount() == profiles && rowWithStatus(w, QStringLiteral("Ready for")) >= 0;
    });
    add("main window", [this] { return save(&window_, QStringLiteral("01-main")); });

    add("context menu", [this, rowOf] {
        *rowOf = rowWithStatus(window_, QStringLiteral("Ready for Rebuild"));
        TTableView* t = deviceTable(window_);
        t->selectRow(*rowOf);
        const QPoint at = t->visualRect(t->model()->index(*rowOf, 1)).center();
        QTimer::singleShot(0, t, [t, at] { emit t->customContextMenuRequested(at); });
        return true;
    });
    add("context menu shown", [this] {
        QWidget* menu = QApplication::activePopupWidget();
        if (!menu || !menu->isVisible())
            return false;
        save(&window_, QStringLiteral("02-main-selected"));
        save(menu, QStringLiteral("02-context-menu"));
        menu->close();
        return true;
    });

    add("device dialog", [this] {
        action(window_, "a_dev_info")->trigger();
        return true;
    });
    add("device dialog filled", [this] {
        DeviceInfoDialog* d = visibleDeviceDialog();
        auto* model = d ? d->findChild<QLabel*>(QStringLiteral("lb_dev_model")) : nullptr;
        // The drives arrive from the worker after the dialog shows.
        if (!model || model->text().isEmpty() || StorageManager::instance()->hasPendingAnswers())
            return false;
        d->findChild<QTabWidget*>(QStringLiteral("tabWidget"))->setCurrentIndex(0);
        return save(d, QStringLiteral("03-dialog-configuration"));
    });
    add("device dialog report", [] {
        DeviceInfoDialog* d = visibleDeviceDialog();
        if (!d)
            return false;
        d->findChild<QTabWidget*>(QStringLiteral("tabWidget"))->setCurrentIndex(1);
        auto* report = d->findChild<QTextEdit*>(QStringLiteral("txe_status"));
        if (!report || report->toPlainText().isEmpty())
            return false;
        return true;
    });
    add("device dialog report saved", [this] {
        DeviceInfoDialog* d = visibleDeviceDialog();
        if (!d)
            return false;
        save(d, QStringLiteral("04-dialog-report"));
        d->findChild<QTabWidget*>(QStringLiteral("tabWidget"))->setCurrentIndex(0);
        d->close();
        return true;
    });

    add("initialise", [this] {
        // The device whose set can be initialised: the one that enables the command.
        TTableView* t = deviceTable(window_);
        QAction* init = action(window_, "a_init_raid");
        for (int row = 0; row < t->rowCount(); ++row) {
            t->selectRow(row);
            if (init->isEnabled()) {
                QTimer::singleShot(0, init, &QAction::trigger);
                return true;
            }
        }
        return false;
    });
    add("initialise: Yes", [] { return clickInBox(QMessageBox::Yes); });
    add("capacity dialog", [this] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || qobject_cast<QMessageBox*>(modal))
            return false;
        save(modal, QStringLiteral("05-capacity-dialog"));
        modal->close();
        return true;
    });

    add("rebuild", [this] {
        const int row = rowWithStatus(window_, QStringLiteral("Ready for Rebuild"));
        if (row < 0)
            return false;
        deviceTable(window_)->selectRow(row);
        QAction* rebuild = action(window_, "a_rebuild_raid");
        if (!rebuild->isEnabled())
            return false;
        QTimer::singleShot(0, rebuild, &QAction::trigger);
        return true;
    });
    add("rebuild: Yes", [] { return clickInBox(QMessageBox::Yes); });
    add("rebuild progressing", [this] {
        const int row = rowWithStatus(window_, QStringLiteral("Rebuilding RAID"));
        if (row < 0)
            return false;
        deviceTable(window_)->clearSelection();
        return save(&window_, QStringLiteral("06-rebuild-list"));
    });
    add("rebuild in the dialog", [this] {
        const int row = rowWithStatus(window_, QStringLiteral("Rebuilding RAID"));
        if (row < 0)
            return false;
        deviceTable(window_)->selectRow(row);
        action(window_, "a_dev_info")->trigger();
        return true;
    });
    add("rebuild dialog shown", [this] {
        DeviceInfoDialog* d = visibleDeviceDialog();
        auto* bar = d ? d->findChild<QProgressBar*>(QStringLiteral("pb_progress")) : nullptr;
        if (!bar || !bar->isVisible() || bar->value() <= 0)
            return false;
        save(d, QStringLiteral("07-rebuild-dialog"));
        d->close();
        return true;
    });

    add("about", [this] {
        action(window_, "a_about")->trigger();
        return true;
    });
    add("about shown", [this] {
        QWidget* popup = QApplication::activePopupWidget();
        if (!popup)
            return false;
        save(popup, QStringLiteral("08-about"));
        popup->close();
        return true;
    });

    add("control window", [this] {
        corvane::demo::EmulatorPanel panel(rig_, 60);
        panel.show();
        save(&panel, QStringLiteral("09-emulator-panel"));
        return true;
    });

    add("unplug all", [this] {
        for (unsigned disk : rig_.disks())
            rig_.unplug(disk);
        return true;
    });
    add("empty list", [this] {
        if (deviceTable(window_)->rowCount() != 0)
            return false;
        return save(&window_, QStringLiteral("10-empty"));
    });
    add("quit", [this] {
        window_.closeWithoutQuestion();
        if (failures_)
            QCoreApplication::exit(1);
        return true;
    });
}
