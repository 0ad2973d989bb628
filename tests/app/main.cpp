#include <QApplication>
#include <QStyleFactory>
#include <QTemporaryDir>
#include <cstdlib>

#include "resources/pictures.h"

int runAboutTests(int argc, char** argv);
int runAdapterTests(int argc, char** argv);
int runCommandsTests(int argc, char** argv);
int runTextsTests(int argc, char** argv);

int main(int argc, char** argv) {
    // Nothing of the user's: settings and runtime files go to a folder of our own.
    QTemporaryDir home;
    if (!home.isValid())
        return 1;
    for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR"})
        qputenv(name, home.path().toLocal8Bit());
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    drlResourcesInit();
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    int failed = 0;
    failed += runTextsTests(argc, argv);
    failed += runAboutTests(argc, argv);
    failed += runAdapterTests(argc, argv);
    failed += runCommandsTests(argc, argv);
    return failed ? 1 : 0;
}
