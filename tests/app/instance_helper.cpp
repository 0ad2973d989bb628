// A program with one window that runs once per key: the first instance prints "first",
// then a line each time it is asked to come forward; a later one exits with 2.
#include <QSocketNotifier>
#include <QTextStream>
#include <QTimer>
#include <cstdio>

#include "app/singleinstance.h"

int main(int argc, char** argv) {
    if (argc < 2)
        return 64;
    TSingleInstanceApp app(argc, argv, argv[1]);
    if (!app.problem().isEmpty())
        std::fprintf(stderr, "%s\n", qPrintable(app.problem()));
    if (app.isRunning()) {
        app.raiseRunningInstance();
        return 2;
    }
    TSingleInstanceWindow window;
    window.showMinimized();
    QObject::connect(&app, &TSingleInstanceApp::raiseMainWindow, &window, [&window] {
        // Queued behind the window's own slot, which the signal reached first.
        QTimer::singleShot(0, &window, [&window] {
            std::printf("raised minimized=%d visible=%d\n", window.isMinimized() ? 1 : 0,
                        window.isVisible() ? 1 : 0);
            std::fflush(stdout);
        });
    });
    // Ends when the test closes its end of stdin.
    QSocketNotifier input(0, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&app] {
        char buffer[64];
        if (std::fread(buffer, 1, 1, stdin) == 0)
            app.quit();
    });
    std::printf("first\n");
    std::fflush(stdout);
    return app.exec();
}
