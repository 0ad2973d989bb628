#include <csignal>
#include <iostream>

#include "cli/cli.h"

namespace {
std::atomic<int> interrupted{0};
extern "C" void onSignal(int signal) {
    interrupted = signal;
}
}  // namespace

int main(int argc, char** argv) {
    // No SA_RESTART: a question waiting on the terminal is given up at once.
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::vector<std::string> args(argv + 1, argv + argc);
    return corvane::cli::run(args, std::cout, std::cerr, std::cin, interrupted);
}
