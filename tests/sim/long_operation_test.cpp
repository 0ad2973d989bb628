#include "wire.h"

using namespace simtest;

namespace {

class LongOperations : public DeviceTest {
protected:
    bool answers() { return send(request(dcp::SubGetInfo)).has_value(); }
    bool inBand() const { return GetParam().transport == Transport::InBand; }
};

// Refusals as the outcome bytes allow; none of them starts anything or silences the device.
TEST_P(LongOperations, Refusals) {
    for (const char* profile : {"healthy", "new", "failing", "too-large"}) {
        SCOPED_TRACE(profile);
        attach(profile);
        EXPECT_EQ(0, info()[115]);
        EXPECT_EQ(2, rebuild()[0]);
    }
    attach("healthy");
    EXPECT_EQ(2, init(u32(info(), 120), sim::kCapacityMaximize)[0]) << "a set kept as it is";

    attach("new");
    const uint32_t key = u32(info(), 120);
    EXPECT_EQ(3, init(key ^ 1, sim::kCapacityMaximize)[0]) << "stale key";
    EXPECT_EQ(3, init(key ^ 0x80000000u, sim::kCapacityMaximize)[0]) << "top byte of the key";
    for (uint8_t unsupported : {0, 4, 0xFF}) {
        EXPECT_EQ(3, init(key, unsupported)[0]) << int(unsupported);
    }
    model().pullDrive(3);
    EXPECT_EQ(0, info()[114]);
    EXPECT_EQ(2, init(key, sim::kCapacityMaximize)[0]) << "three drives are no set";
    EXPECT_EQ(key, u32(info(), 120));
    EXPECT_EQ(0, progress()[1]);

    attach("degraded");
    sim::ModelFaults f;
    f.rebuildStartFails = true;
    model().setFaults(f);
    EXPECT_EQ(3, rebuild()[0]);
    EXPECT_EQ(0, progress()[1]);
    EXPECT_EQ(2, info()[112]);
}

TEST_P(LongOperations, InitialisationSilencesTheDeviceThenItReturnsReconfigured) {
    struct Case {
        uint8_t capacityByte;
        uint64_t capacity;
    };
    const Case cases[] = {
        {sim::kCapacityMaximize, 3 * sim::kDrive4TB},
        {sim::kCapacityLimit, sim::kLimit32BitLba},
        {sim::kCapacityMultiple, 5 * sim::kLimit32BitLba},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.capacityByte));
        attach("new");
        const Payload before = info();
        ASSERT_NE(0, before[117]) << "the drives allow more than 2.2 TB";
        EXPECT_EQ(0u, u64(before, 124));
        ASSERT_EQ(1, init(u32(before, 120), c.capacityByte)[0]);

        for (uint8_t sub = dcp::SubGetInfo; sub <= dcp::SubGetStatusText; ++sub) {
            EXPECT_FALSE(send(request(sub))) << "sub-command " << int(sub);
        }
        clock.advance(29999);
        EXPECT_FALSE(answers());
        clock.advance(1);

        const Payload after = info();
        EXPECT_NE(u32(before, 120), u32(after, 120)) << "a new configuration key";
        EXPECT_EQ(1, after[112]);
        EXPECT_EQ(0, after[114]);
        EXPECT_EQ(c.capacity, u64(after, 124));
        EXPECT_EQ(c.capacity, osSize());
        const std::string setId = text(drive(0), 152, 30);
        EXPECT_FALSE(setId.empty());
        for (unsigned bay = 0; bay < sim::kBays; ++bay) {
            const Payload d = drive(bay);
            EXPECT_EQ(1, d[183]);
            EXPECT_EQ(setId, text(d, 152, 30));
        }
        const Payload p = progress();
        EXPECT_EQ(4, p[0]);
        EXPECT_EQ(3, p[1]);
        EXPECT_EQ(10000, u16(p, 2));
    }
}

TEST_P(LongOperations, ShrinkingASetTheHostCannotAddress) {
    attach("too-large");
    uint8_t flag = 0x77;
    const auto before = send(request(dcp::SubGetInfo), &flag);
    ASSERT_TRUE(before);
    EXPECT_EQ(inBand() ? 1 : 0, flag) << "the flag travels only in the info sector";
    EXPECT_EQ(1, (*before)[119]) << "FireWire";
    EXPECT_LT(osSize(), u64(*before, 124));
    ASSERT_EQ(1, init(u32(*before, 120), sim::kCapacityLimit)[0]);
    clock.advance(30000);
    flag = 0x77;
    const auto after = send(request(dcp::SubGetInfo), &flag);
    ASSERT_TRUE(after);
    EXPECT_EQ(0, flag);
    EXPECT_EQ(sim::kLimit32BitLba, u64(*after, 124));
    EXPECT_EQ(sim::kLimit32BitLba, osSize());
    EXPECT_NE(0, (*after)[114]) << "may be initialised again";

    // A multiple of 2.2 TB wraps to nothing at all for this host: no medium, so only the
    // vendor command still reaches the device.
    ASSERT_EQ(1, init(u32(*after, 120), sim::kCapacityMultiple)[0]);
    clock.advance(30000);
    EXPECT_EQ(0u, osSize());
    EXPECT_EQ(!inBand(), answers());
}

TEST_P(LongOperations, RebuildRunsThroughItsPhases) {
    attach("degraded");
    const Payload before = info();
    ASSERT_EQ(2, before[112]);
    ASSERT_NE(0, before[115]);
    ASSERT_EQ(1, rebuild()[0]);

    Payload p = progress();
    EXPECT_EQ(5, p[0]);
    EXPECT_EQ(1, p[1]) << "Preparing";
    EXPECT_EQ(0, u16(p, 2));
    EXPECT_EQ(3, info()[112]);
    EXPECT_EQ(0, info()[115]);
    EXPECT_EQ(2, drive(2)[183]);

    int phase = 1;
    uint16_t percent = 0;
    int progressing = 0;
    int rises = 0;
    for (int step = 0; step < 1000 && phase < 3; ++step) {
        clock.advance(5000);
        if (step == 10) {
            EXPECT_EQ(1, rebuild()[0]) << "already under way; it goes on undisturbed";
        }
        p = progress();
        ASSERT_EQ(5, p[0]);
        ASSERT_GE(p[1], phase) << "phases never go back";
        ASSERT_LE(p[1], 3);
        ASSERT_GE(u16(p, 2), percent) << "step " << step;
        if (p[1] == 2) {
            ++progressing;
            ASSERT_LT(u16(p, 2), 10000);
        }
        rises += u16(p, 2) > percent;
        phase = p[1];
        percent = u16(p, 2);
    }
    EXPECT_EQ(3, phase);
    EXPECT_EQ(10000, percent);
    EXPECT_GT(progressing, 10);
    EXPECT_GT(rises, 10);

    const Payload after = info();
    EXPECT_EQ(1, after[112]);
    EXPECT_EQ(0, after[115]);
    const Payload rebuilt = drive(2);
    EXPECT_EQ(1, rebuilt[183]);
    EXPECT_EQ(text(drive(0), 152, 30), text(rebuilt, 152, 30));
    EXPECT_EQ(3, progress()[1]) << "the outcome stays readable";
    EXPECT_EQ(2, rebuild()[0]) << "nothing left to rebuild";
}

TEST_P(LongOperations, RebuildsThatDoNotComplete) {
    attach("rebuild-fails");
    ASSERT_EQ(1, rebuild()[0]);
    clock.advance(100000);
    Payload p = progress();
    EXPECT_EQ(4, p[1]) << "Failed";
    EXPECT_EQ(4150, u16(p, 2));
    clock.advance(600000);
    EXPECT_EQ(p, progress());
    EXPECT_EQ(2, info()[112]);
    EXPECT_EQ(0, info()[115]);
    EXPECT_EQ(4, drive(2)[183]) << "the new drive failed";

    attach("rebuild-too-small");
    ASSERT_NE(0, info()[115]);
    ASSERT_EQ(1, rebuild()[0]) << "accepted, then given up";
    p = progress();
    EXPECT_EQ(5, p[0]);
    EXPECT_EQ(5, p[1]) << "Disk Too Small";
    EXPECT_EQ(2, info()[112]);
    EXPECT_EQ(3, drive(2)[183]);

    attach("degraded");
    ASSERT_EQ(1, rebuild()[0]);
    clock.advance(60000);
    const uint16_t reached = u16(progress(), 2);
    EXPECT_GT(reached, 0);
    model().pullDrive(2);
    p = progress();
    EXPECT_EQ(4, p[1]);
    EXPECT_EQ(reached, u16(p, 2));
    EXPECT_EQ(2, info()[112]);
}

INSTANTIATE_TEST_SUITE_P(Setups, LongOperations, allSetups(), setupName);

}  // namespace
