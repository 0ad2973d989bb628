#include <algorithm>
#include <set>

#include "wire.h"

using namespace simtest;

namespace {

TEST(ProfileCatalogue, EveryNameBuildsAtEveryBlockSize) {
    const std::vector<std::string> names = sim::profileNames();
    const std::vector<std::string> required = {"healthy", "degraded", "new", "failing",
                                               "too-large"};
    ASSERT_GE(names.size(), required.size());
    EXPECT_TRUE(std::equal(required.begin(), required.end(), names.begin()));
    EXPECT_EQ(names.size(), std::set<std::string>(names.begin(), names.end()).size());

    for (const std::string& name : names) {
        for (uint32_t bs : {512u, 4096u}) {
            SCOPED_TRACE(name + " " + std::to_string(bs));
            const auto d = sim::makeProfile(name, {bs});
            ASSERT_TRUE(d);
            EXPECT_EQ(name, d->profile);
            EXPECT_EQ(bs, d->disk->blockSize());
            EXPECT_EQ(d->model->mediumBytes(), d->disk->sizeBytes());
            EXPECT_EQ(d->firmware->infoLba() + 35, d->disk->totalBlocks());
            const auto& models = sim::modelTexts();
            EXPECT_NE(models.end(),
                      std::find(models.begin(), models.end(), d->model->identity().model));
        }
    }
    EXPECT_FALSE(sim::makeProfile("Healthy", {}));
    EXPECT_FALSE(sim::makeProfile("", {}));
    for (uint32_t bs : {0u, 256u, 1000u, 131072u}) {
        EXPECT_FALSE(sim::makeProfile("healthy", {bs})) << bs;
    }
}

TEST(ProfileCatalogue, SerialNumbersTellDevicesApart) {
    std::set<std::array<uint8_t, 8>> serials;
    size_t built = 0;
    for (const std::string& name : sim::profileNames()) {
        for (unsigned unit : {0u, 1u, 300u}) {
            const auto serial = sim::makeProfile(name, {512, unit})->model->identity().serial;
            EXPECT_EQ(serial, sim::makeProfile(name, {4096, unit})->model->identity().serial)
                << "stable across runs and block sizes";
            serials.insert(serial);
            ++built;
        }
    }
    EXPECT_EQ(built, serials.size());
}

}  // namespace
