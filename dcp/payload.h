#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "dcp/records.h"

namespace corvane::dcp {

// A fixed-width text field: the bytes up to the first NUL or the full width, taken as
// they are (no trimming, no character-set conversion).
std::string fixedText(const uint8_t* field, size_t width);

// Two hex digits per byte, first byte first.
std::string hexText(const uint8_t* bytes, size_t count, bool upperCase = false);

// Device texts are Latin-1; JSON and Qt want UTF-8.
std::string latin1ToUtf8(const std::string& latin1);

// The identity test: the vendor field of a GetInfo payload reads "Corvane", exactly.
bool isOwnDevice(const uint8_t* infoPayload);

// The key the device wants echoed by InitConfiguration, from a GetInfo payload.
uint32_t configurationKeyOf(const uint8_t* infoPayload);

// capacityMode as offered to the user (0..2) to the byte the device takes; 0 otherwise.
uint8_t capacityModeByte(uint32_t capacityMode);

uint32_t raidStatusFor(uint8_t code);
uint32_t hostBusFor(uint8_t code);
uint32_t driveBusFor(uint8_t code);
// Membership and health from GetDriveInfo bytes 183 and 184.
uint32_t memberStateFor(uint8_t state);
uint32_t healthFor(uint8_t state, uint8_t failureWarning);
uint32_t initResultFor(uint8_t outcome);
uint32_t rebuildResultFor(uint8_t outcome);
uint32_t progressOperationFor(uint8_t running);
uint32_t progressPhaseFor(uint8_t phase);

// The product text for a product identifier; "New Corvane Bridge" for unknown ones.
const char* productNameFor(uint32_t productId);

// The 8-byte payload of a request. False, with out8 untouched, for an unknown type, a
// request object whose class does not match its type, a bay out of range or an
// unsupported configuration. configurationKey is used by InitConfiguration only.
bool encodeRequest(const DcpRequest& request, uint32_t configurationKey, uint8_t out8[8]);
// The InitConfiguration payload: the key little-endian at offsets 1..4, the capacity byte
// at 5. The configuration is checked by the caller.
void encodeInitConfigurationRequest(uint32_t configurationKey, uint32_t capacityMode,
                                    uint8_t out8[8]);
// The payload of a GetStatusText round, asking for the text from offset on.
void encodeStatusTextRequest(uint32_t offset, uint8_t out8[8]);

}  // namespace corvane::dcp
