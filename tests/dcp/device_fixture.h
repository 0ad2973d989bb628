#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "io/passthrough.h"
#include "io/platform.h"
#include "sim/emulated_disk.h"
#include "sim/firmware.h"

namespace dcptest {

using namespace corvane;
using Payload = std::array<uint8_t, 490>;
using RequestBytes = std::array<uint8_t, 8>;

// A device that answers each sub-command with a payload the test wrote by hand, or
// through a function when the answer depends on the request. It records every request.
class ScriptedDevice : public sim::CommandHandler {
public:
    bool handle(const uint8_t* request8, uint8_t* response490) override {
        RequestBytes r;
        std::memcpy(r.data(), request8, 8);
        requests.push_back(r);
        if (respond) {
            return respond(request8, response490);
        }
        auto it = answers.find(request8[0]);
        if (it == answers.end()) {
            return false;
        }
        std::memcpy(response490, it->second.data(), it->second.size());
        return true;
    }

    std::map<uint8_t, Payload> answers;  // by sub-command
    std::function<bool(const uint8_t*, uint8_t*)> respond;
    std::vector<RequestBytes> requests;
};

inline void putText(Payload& p, size_t offset, const std::string& text) {
    std::memcpy(p.data() + offset, text.data(), text.size());
}

inline void putBytes(Payload& p, size_t offset, std::initializer_list<uint8_t> bytes) {
    for (uint8_t b : bytes) {
        p[offset++] = b;
    }
}

// One emulated device on disk kDisk, opened as the host opens it; parameterised by block
// size and by transport (true: the vendor command is refused and the mailbox carries it).
class DeviceTest : public ::testing::TestWithParam<std::tuple<uint32_t, bool>> {
protected:
    static constexpr unsigned kDisk = 3;  // "/dev/sdd" on the emulated platform
    static constexpr uint64_t kBlocks = 1 << 20;

    void SetUp() override {
        blockSize = std::get<0>(GetParam());
        inBand = std::get<1>(GetParam());
        disk = std::make_shared<sim::EmulatedDisk>(blockSize, kBlocks);
        firmware = std::make_shared<sim::Firmware>(blockSize, kBlocks, device);
        disk->setFirmware(firmware);
        sim::TransportFaults faults;
        faults.directRefused = inBand;
        firmware->setFaults(faults);
        platform->plug(kDisk, disk);
        io::setPlatform(platform);
        int err = 0;
        handle.reset(io::openPhysicalDrive(kDisk, &err));
        ASSERT_TRUE(handle);
        disk->resetCounters();
    }
    void TearDown() override {
        handle.reset();
        io::setPlatform(nullptr);
    }

    // The device stops answering on either transport.
    void silence() {
        sim::TransportFaults faults = firmware->faults();
        faults.directRefused = true;
        faults.ignoreCommands = true;
        firmware->setFaults(faults);
    }

    uint32_t blockSize = 512;
    bool inBand = false;
    std::shared_ptr<ScriptedDevice> device = std::make_shared<ScriptedDevice>();
    std::shared_ptr<sim::EmulatedPlatform> platform = std::make_shared<sim::EmulatedPlatform>();
    std::shared_ptr<sim::EmulatedDisk> disk;
    std::shared_ptr<sim::Firmware> firmware;
    io::UniqueDrive handle;
};

inline std::string transportName(const ::testing::TestParamInfo<std::tuple<uint32_t, bool>>& i) {
    return std::to_string(std::get<0>(i.param)) + (std::get<1>(i.param) ? "_InBand" : "_Direct");
}

}  // namespace dcptest
