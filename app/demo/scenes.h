#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>

class DRL;
class QApplication;
class QWidget;

namespace corvane::demo {
class DemoRig;
}

// Taken first thing in main. The program's start is main's; the kernel's record of the
// process (10 ms steps) is older by the dynamic loading and by whatever ran in the process
// before it exec'd this program (a launcher script does).
class StartupProbe {
public:
    StartupProbe();
    double msSinceMain() const;
    // -1 when the kernel's record cannot be read.
    double msProcessBeforeMain() const;

private:
    QElapsedTimer sinceMain_;
    double processBeforeMain_ = -1;
};

// Resident memory of this process in MiB.
double residentMiB();

// Prints the start-up figures once the device list first fills, then how long the GUI
// thread went without running a 1 ms timer over two idle seconds, and closes the window.
void measureStartup(DRL& window, const StartupProbe& probe);

// Fusion with a dark palette, for reviewing colours.
void applyDarkPalette(QApplication& app);

// Walks through fixed scenes over the emulated devices and saves each window as a PNG.
// Every step waits for what it needs (polled, bounded), never for a fixed time.
class SceneRunner : public QObject {
    Q_OBJECT

public:
    SceneRunner(DRL& window, corvane::demo::DemoRig& rig, const QString& dir);
    void start();

private:
    using Step = std::function<bool()>;  // true when done
    void add(const QString& what, Step step);
    void poll();
    bool save(QWidget* widget, const QString& name);
    void buildScenes();

    DRL& window_;
    corvane::demo::DemoRig& rig_;
    QString dir_;
    QList<QPair<QString, Step>> steps_;
    QTimer timer_;
    QElapsedTimer stepTime_;
    int failures_ = 0;
};
