#pragma once

#include <functional>

#include "io/helper_platform.h"

// How the program reaches the disks: how its start went, and what tries again. retry
// blocks through the authorisation dialog, so the window runs it off the GUI thread;
// empty when there is nothing to retry (root, the emulator).
struct PlatformAccess {
    corvane::io::HelperStart start{corvane::io::HelperStatus::Connected, {}};
    std::function<corvane::io::HelperStart()> retry;
};
