#pragma once

#include <cstdint>

namespace corvane::dcp {

// Display texts of the response fields, in English source form. The GUI passes them
// through its translation function; the command-line tool prints them as they are.
const char* configurationText(uint32_t configuration);
const char* raidStatusText(uint32_t raidStatus);
const char* healthText(uint32_t health);
const char* initResultText(uint32_t result);
const char* rebuildResultText(uint32_t result);
// The running operation of a progress report (TypeInitConfiguration or TypeRebuild).
const char* operationText(uint32_t operation);
const char* phaseText(uint32_t phase);
// The choice offered to the user for each capacityMode; null for modes not offered.
const char* capacityModeText(uint32_t capacityMode);

}  // namespace corvane::dcp
