// The helper's session in front of one echoing emulated device, as a child process on its
// standard input and output: the loop drivelore-helper runs, with the emulator behind. The
// device answers the vendor command, or with "in-band" only through its mailbox.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "helper/server.h"
#include "sim/emulated_disk.h"
#include "sim/firmware.h"

using namespace corvane;

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    if (argc != 3) {
        std::fprintf(stderr, "usage: drl-helper-sim DISK-NUMBER direct|in-band\n");
        return 2;
    }
    constexpr uint64_t kBlocks = 1 << 16;
    auto disk = std::make_shared<sim::EmulatedDisk>(512, kBlocks);
    auto firmware =
        std::make_shared<sim::Firmware>(512, kBlocks, std::make_shared<sim::EchoHandler>());
    sim::TransportFaults faults;
    faults.directRefused = std::string(argv[2]) == "in-band";
    firmware->setFaults(faults);
    disk->setFirmware(firmware);
    auto platform = std::make_shared<sim::EmulatedPlatform>();
    platform->plug(unsigned(std::atoi(argv[1])), disk);
    const helper::Log log = [](const std::string& line) {
        std::fprintf(stderr, "drl-helper-sim: %s\n", line.c_str());
    };
    helper::Session session(*platform, log);
    return helper::serve(session, 0, 1, {}, log) == helper::ServeEnd::InputClosed ? 0 : 1;
}
