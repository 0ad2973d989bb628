#pragma once

#include <QString>
#include <functional>
#include <string>

#include "app/platformaccess.h"

class DRL;
class QCommandLineParser;
class TSingleInstanceApp;

namespace drl_entry {

// The key that names the instance lock and socket of the program on real disks.
extern const char* const kInstanceKey;
extern const char* const kProductName;
extern const char* const kSupportAddress;

// What runs after the window is shown (the demo's control window, a measurement).
using WindowHook = std::function<void(DRL& window)>;
// Sets the platform once, before the adapter and its core exist.
using PlatformChooser = std::function<PlatformAccess()>;

// The program after its application object exists: a second instance raises the first
// and answers 2; otherwise the settings folder of `product` is prepared and the main
// window runs inside the guarded block, whose std::exception ends in the "Unexpected
// Error" report and 1. SIGTERM and SIGINT close the window without the question.
// choose, when given, runs before the window and its answer goes to the window.
int run(TSingleInstanceApp& app, const std::string& product, const WindowHook& hook = {},
        const PlatformChooser& choose = {});

// The program on real disks: root opens them directly, anyone else through the helper
// started with pkexec (io::choosePlatform); the platform is set here.
PlatformAccess chooseSystemPlatform();

// --help and --version are answered before the window system or the instance lock is
// touched, so that they work on a server and beside a running instance.
bool isInfoRequest(int argc, char** argv);
// Prints the help of `parser` (with the help and version options added) or the version,
// and ends the process.
[[noreturn]] void answerInfoRequest(int argc, char** argv, QCommandLineParser& parser);

// The report's text for an exception description.
QString unexpectedErrorText(const char* what);

}  // namespace drl_entry
