#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "io/passthrough.h"
#include "sim/emulated_disk.h"
#include "sim/firmware.h"

namespace dcptest {

using namespace corvane;

constexpr uint64_t kBlocks = 1 << 20;

// One emulated device plugged in as disk `number` and opened as the host opens it; its
// user blocks hold a pattern, so that a changed byte shows.
struct Rig {
    Rig(uint32_t blockSize, std::shared_ptr<sim::CommandHandler> handler, unsigned number,
        bool mailboxOnly = false, uint64_t blocks = kBlocks)
        : disk(std::make_shared<sim::EmulatedDisk>(blockSize, blocks)),
          firmware(std::make_shared<sim::Firmware>(blockSize, blocks, std::move(handler))) {
        disk->fillWithPattern(blockSize);
        disk->setFirmware(firmware);
        platform->plug(number, disk);
        io::setPlatform(platform);
        handle.reset(io::openPhysicalDrive(number, nullptr));
        disk->resetCounters();
        if (mailboxOnly)
            inBand();
    }
    ~Rig() {
        handle.reset();
        io::setPlatform(nullptr);
    }

    // The vendor command refused, so that the mailbox carries every exchange; one more
    // fault when given.
    void inBand(bool sim::TransportFaults::*fault = nullptr, int tagZeroReads = 0) {
        sim::TransportFaults f;
        f.directRefused = true;
        if (fault)
            f.*fault = true;
        f.tagZeroReads = tagZeroReads;
        firmware->setFaults(f);
    }

    std::shared_ptr<sim::EmulatedPlatform> platform = std::make_shared<sim::EmulatedPlatform>();
    std::shared_ptr<sim::EmulatedDisk> disk;
    std::shared_ptr<sim::Firmware> firmware;
    io::UniqueDrive handle;
};

}  // namespace dcptest
