#pragma once

// Talks to an emulated device the way the host does (executeCommand on an opened disk)
// and reads the payloads by offset, independently of the host's decoders.

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "dcp/framing.h"
#include "dcp/records.h"
#include "io/passthrough.h"
#include "os/manual_clock.h"
#include "sim/profiles.h"

namespace simtest {

using namespace corvane;

using Payload = std::array<uint8_t, dcp::kResponsePayloadSize>;

inline uint16_t u16(const Payload& p, size_t at) {
    return uint16_t(p[at] | p[at + 1] << 8);
}
inline uint32_t u32(const Payload& p, size_t at) {
    return uint32_t(p[at]) | uint32_t(p[at + 1]) << 8 | uint32_t(p[at + 2]) << 16 |
           uint32_t(p[at + 3]) << 24;
}
inline uint64_t u64(const Payload& p, size_t at) {
    return uint64_t(u32(p, at)) | uint64_t(u32(p, at + 4)) << 32;
}
// Characters up to the first NUL or the full width.
inline std::string text(const Payload& p, size_t at, size_t width) {
    std::string s;
    for (size_t i = 0; i < width && p[at + i] != 0; ++i) {
        s += char(p[at + i]);
    }
    return s;
}
// Byte 0 the sub-command; a 32-bit little-endian parameter at 1..4 and a byte at 5.
inline std::array<uint8_t, 8> request(uint8_t sub, uint32_t at1 = 0, uint8_t at5 = 0) {
    return {sub, uint8_t(at1), uint8_t(at1 >> 8), uint8_t(at1 >> 16), uint8_t(at1 >> 24), at5, 0,
            0};
}

enum class Transport { Direct, InBand };

struct Setup {
    uint32_t blockSize;
    Transport transport;
};

inline std::string setupName(const ::testing::TestParamInfo<Setup>& info) {
    return std::to_string(info.param.blockSize) +
           (info.param.transport == Transport::Direct ? "Direct" : "InBand");
}

inline auto allSetups() {
    return ::testing::Values(Setup{512, Transport::Direct}, Setup{512, Transport::InBand},
                             Setup{4096, Transport::Direct}, Setup{4096, Transport::InBand});
}

// One emulated device on disk 0; the clock moves only when a test steps it, starting just
// before the tick wraps.
class DeviceTest : public ::testing::TestWithParam<Setup> {
protected:
    void TearDown() override { io::setPlatform(nullptr); }

    void attach(const std::string& profile) {
        auto made = sim::makeProfile(profile, {GetParam().blockSize, 0, &clock});
        ASSERT_TRUE(made) << profile;
        device = *made;
        if (GetParam().transport == Transport::InBand) {
            sim::TransportFaults f;
            f.directRefused = true;
            device.firmware->setFaults(f);
        }
        platform->plug(0, device.disk);
        io::setPlatform(platform);
    }

    sim::DeviceModel& model() { return *device.model; }

    // One exchange on a freshly opened disk, as the core runs each request.
    std::optional<Payload> send(const std::array<uint8_t, 8>& req, uint8_t* tooLarge = nullptr) {
        int err = 0;
        io::UniqueDrive h(io::openPhysicalDrive(0, &err));
        if (!h) {
            ADD_FAILURE() << "open failed: " << err;
            return std::nullopt;
        }
        io::DiskGeometry g{};
        if (!io::getDriveGeometry(h.get(), &g)) {
            ADD_FAILURE() << "geometry failed";
            return std::nullopt;
        }
        Payload p{};
        const auto r = dcp::executeCommand(h.get(), g.bytesPerSector, dcp::kCommandCode, req.data(),
                                           8, p.data(), 490, tooLarge, 2);
        if (r != dcp::TransportOk) {
            lastResult = r;
            return std::nullopt;
        }
        return p;
    }

    Payload must(const std::array<uint8_t, 8>& req) {
        auto p = send(req);
        EXPECT_TRUE(p) << "sub-command " << int(req[0])
                       << " not answered: " << dcp::transportResultName(lastResult);
        return p ? *p : Payload{};
    }

    Payload info() { return must(request(dcp::SubGetInfo)); }
    Payload drive(unsigned bay) { return must(request(dcp::SubGetDriveInfo, bay)); }
    Payload progress() { return must(request(dcp::SubGetProgress)); }
    Payload rebuild() { return must(request(dcp::SubRebuild)); }
    Payload init(uint32_t key, uint8_t capacityByte) {
        return must(request(dcp::SubInitConfiguration, key, capacityByte));
    }

    uint64_t osSize() {
        int err = 0;
        io::UniqueDrive h(io::openPhysicalDrive(0, &err));
        uint64_t size = 0;
        EXPECT_TRUE(h && io::getDiskSize(h.get(), &size));
        return size;
    }

    os::ManualClock clock;
    std::shared_ptr<sim::EmulatedPlatform> platform = std::make_shared<sim::EmulatedPlatform>();
    sim::EmulatedDevice device;
    uint32_t lastResult = 0;
};

}  // namespace simtest
