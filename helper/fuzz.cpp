// libFuzzer over the helper's message handling: the input is a stream of length-prefixed
// bodies handed to one session in front of an emulated device and a foreign disk. Whatever arrives,
// no byte outside the device's reserved blocks changes.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "helper/server.h"
#include "sim/emulated_disk.h"
#include "sim/firmware.h"

using namespace corvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr uint64_t kBlocks = 256;
    auto disk = std::make_shared<sim::EmulatedDisk>(512, kBlocks);
    auto firmware =
        std::make_shared<sim::Firmware>(512, kBlocks, std::make_shared<sim::EchoHandler>());
    disk->fillWithPattern(7);
    disk->setFirmware(firmware);
    sim::EmulatedPlatform platform;
    platform.plug(0, disk);
    auto foreign = std::make_shared<sim::EmulatedDisk>(4096, kBlocks);
    foreign->fillWithPattern(9);
    platform.plug(1, foreign);
    helper::Session session(platform, nullptr);
    // Each message: a one-byte length (other lengths are refused) and the body; the fixed
    // size is the usual case, so length 255 means exactly that.
    for (size_t at = 0; at < size;) {
        size_t length = data[at++];
        if (length == 255) {
            length = io::helper::kRequestBody;
        }
        std::vector<uint8_t> body(data + at, data + at + std::min(length, size - at));
        at += body.size();
        io::helper::Answer answer;
        const auto encoded = session.handleBody(body.data(), body.size());
        if (!io::helper::decode(encoded.data(), encoded.size(), &answer)) {
            std::abort();
        }
    }
    if (!disk->changedBlocks(firmware->reservedBlocks()).empty() ||
        !foreign->changedBlocks({}).empty()) {
        std::abort();
    }
    return 0;
}
