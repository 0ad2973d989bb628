#pragma once

#include <cstdint>

namespace corvane::drl {

// How bad a device's lasting states are: 0 fine, 1 degraded or warning, 2 failed, -1 not
// known (no news either way). Whoever reports changes for the worse compares these.
int raidLevel(uint32_t raidStatus);
int bayLevel(bool present, uint32_t health);

}  // namespace corvane::drl
