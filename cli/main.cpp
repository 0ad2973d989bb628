#include <csignal>
#include <iostream>

#include "cli/cli.h"

namespace {
std::atomic<bool> interrupted{false};
extern "C" void onSignal(int) {
    interrupted = true;
}
}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::vector<std::string> args(argv + 1, argv + argc);
    return corvane::cli::run(args, std::cout, std::cerr, std::cin, interrupted);
}
