#include "app/entry.h"

#include <sys/socket.h>
#include <unistd.h>
#include <QApplication>
#include <QCommandLineParser>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "app/drl.h"
#include "app/prompts.h"
#include "app/singleinstance.h"
#include "app/storagemanager.h"
#include "drl_version.h"
#include "io/helper_platform.h"
#include "resources/pictures.h"
#include "settings/folder.h"
#include "settings/kvstore.h"

namespace drl_entry {

const char* const kInstanceKey = "D903D686-D6D3-47a1-8ADC-82BFDDBF58A2";
const char* const kProductName = "Drivelore";
const char* const kSupportAddress = "drivelore-support@corvane.example";

namespace {

int signalPipe[2] = {-1, -1};

extern "C" void onTerminationSignal(int) {
    const char byte = 1;
    const ssize_t ignored = ::write(signalPipe[1], &byte, 1);
    (void)ignored;
}

// Turns SIGTERM and SIGINT into a close of the window on the GUI thread, so that a
// desktop logout or Ctrl+C saves the layout like the Exit command does.
class TerminationSignals {
public:
    explicit TerminationSignals(DRL& window) {
        if (signalPipe[0] < 0 &&
            ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalPipe) != 0)
            return;
        notifier_ = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, &window, [&window] {
            char drain[16];
            while (::read(signalPipe[0], drain, sizeof drain) > 0) {
            }
            window.closeWithoutQuestion();
            // Also ends a modal loop the signal came in.
            QCoreApplication::exit(0);
        });
        struct sigaction action = {};
        action.sa_handler = onTerminationSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGTERM, &action, &oldTerm_);
        sigaction(SIGINT, &action, &oldInt_);
    }
    ~TerminationSignals() {
        if (!notifier_)
            return;
        sigaction(SIGTERM, &oldTerm_, nullptr);
        sigaction(SIGINT, &oldInt_, nullptr);
    }

private:
    std::unique_ptr<QSocketNotifier> notifier_;
    struct sigaction oldTerm_ = {};
    struct sigaction oldInt_ = {};
};

void prepareSettingsFolder(const std::string& product) {
    std::string folder;
    if (corvane::getSettingsFolder(product, &folder) == corvane::FolderOk &&
        corvane::createFolders(folder) == corvane::FolderOk)
        corvane::setSettingsFolder(folder);
}

}  // namespace

bool isInfoRequest(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const QByteArray a(argv[i]);
        if (a == "-h" || a == "--help" || a == "--help-all" || a == "-v" || a == "--version")
            return true;
    }
    return false;
}

void answerInfoRequest(int argc, char** argv, QCommandLineParser& parser) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(QStringLiteral(DRL_VERSION));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.process(app);  // exits after the help or the version
    std::exit(0);
}

QString unexpectedErrorText(const char* what) {
    return QCoreApplication::translate(
               "main",
               "The application has terminated due to an unexpected error; for assistance, "
               "please contact ") +
           QLatin1Char('<') + QLatin1String(kSupportAddress) + QLatin1Char('>') +
           QCoreApplication::translate("main", ".  The error description follows:\n\n") +
           QString::fromLocal8Bit(what);
}

PlatformAccess chooseSystemPlatform() {
    corvane::io::PlatformChoice choice = corvane::io::choosePlatform();
    corvane::io::setPlatform(choice.platform);
    if (!choice.start.ok())
        std::fprintf(stderr, "drivelore: devices cannot be reached: %s\n",
                     choice.start.detail.c_str());
    PlatformAccess access;
    access.start = choice.start;
    if (choice.helper)
        access.retry = [helper = choice.helper] { return helper->connect(); };
    return access;
}

int run(TSingleInstanceApp& app, const std::string& product, const WindowHook& hook,
        const PlatformChooser& choose) {
    if (!app.problem().isEmpty())
        std::fprintf(stderr, "%s\n", qPrintable(app.problem()));
    if (app.isRunning()) {
        std::fprintf(stderr, "%s\n",
                     qPrintable(QCoreApplication::translate(
                                    "drl_entry",
                                    "%1 is already running for this user and session; its "
                                    "window is brought forward.")
                                    .arg(QString::fromStdString(product))));
        app.raiseRunningInstance();
        return 2;
    }
    prepareSettingsFolder(product);
    drlResourcesInit();
    QApplication::setWindowIcon(drlAppIcon());
    int result = 0;
    try {
        // A window whose constructor throws leaves the adapter it created behind.
        struct Singletons {
            ~Singletons() {
                StorageManager::destroyInstance();
                corvane::releaseSettings();
            }
        } singletons;
        const PlatformAccess access = choose ? choose() : PlatformAccess();
        auto window = std::make_unique<DRL>();
        window->setPlatformAccess(access);
        TerminationSignals termination(*window);
        window->show();
        if (hook)
            hook(*window);
        result = app.exec();
        app.rethrowPending();
        window.reset();
        app.rethrowPending();
    } catch (const std::exception& e) {
        TPrompts::current().failure(nullptr,
                                    QCoreApplication::translate("main", "Unexpected Error"),
                                    unexpectedErrorText(e.what()));
        return 1;
    }
    return result;
}

}  // namespace drl_entry
