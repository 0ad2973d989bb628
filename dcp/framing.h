#pragma once

#include <cstdint>

#include "dcp/result.h"
#include "io/passthrough.h"

namespace corvane::dcp {

constexpr uint32_t kSectorLayoutSize = 512;
constexpr uint64_t kInfoSectorFromEnd = 35;  // info sector at block (total - 35)

extern const uint8_t kInfoSignature[16];
extern const uint8_t kCommandSignature[16];
extern const uint8_t kResponseSignature[16];

// True when the 256 little-endian words of the first 512 bytes sum to 0 (mod 65536).
bool sectorChecksumValid(const uint8_t* sector);
// Stores at offset 510 the two's complement of the sum of words 0..254.
void sectorChecksum(uint8_t* sector);

// The vendor CDB of the direct transport.
void buildVendorCdb(uint8_t commandCode, const uint8_t* request8, uint8_t cdbOut[12]);

struct InfoSector {
    uint16_t tag = 0;
    uint64_t mailboxLba = 0;
    bool diskTooLarge = false;
};

// The VERIFY of the last block, then one read of the info sector. InfoSectorInvalid also
// when the mailbox lies outside blocks total - 35 .. total - 1.
DcpTransportResult readInfoSector(io::DriveHandle handle, uint32_t blockSize, uint8_t* workBlock,
                                  InfoSector* out);

// Fills blockSize bytes: signature, tag, command code, payload from offset 20, checksum.
void buildCommandSector(uint8_t* sector, uint32_t blockSize, uint16_t tag, uint8_t commandCode,
                        const uint8_t* request, uint32_t requestLength);

// buffer holds 2 x blockSize bytes: the command sector in the first half, which receives
// the answer; the second half keeps the mailbox block's previous contents. Ok only for a
// valid response sector with the command's tag and status 1; once the command sector was
// written, every other ending writes the previous contents back.
DcpTransportResult exchangeMailbox(io::DriveHandle handle, uint32_t blockSize, uint8_t* buffer,
                                   uint64_t mailboxLba);

// One request payload for one response payload: the vendor SCSI command first, the
// in-band mailbox when that fails. Invalid arguments touch neither the device nor the
// outputs.
DcpTransportResult executeCommand(io::DriveHandle handle, uint32_t blockSize, uint8_t commandCode,
                                  const uint8_t* request, uint32_t requestLength, uint8_t* response,
                                  uint32_t responseLength, uint8_t* diskTooLargeOut,
                                  uint32_t retries);

// Makes the next count work-buffer allocations fail, as they would with no memory left.
void failWorkAllocations(int count);

}  // namespace corvane::dcp
