#include "dcp/framing.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "dcp/records.h"
#include "io/debug.h"
#include "io/helper_protocol.h"
#include "io/rawfile.h"

static_assert(corvane::io::helper::kTransportIoFailed == corvane::dcp::IoFailed);
static_assert(corvane::io::helper::kResponseBytes == corvane::dcp::kResponsePayloadSize);

namespace corvane::dcp {

const uint8_t kInfoSignature[16] = {0x39, 0xB1, 0xC6, 0x4D, 0xAB, 0xAE, 0x4B, 0x16,
                                    0x9D, 0x47, 0xDE, 0x3B, 0xE1, 0xB2, 0xA4, 0x10};
const uint8_t kCommandSignature[16] = {0x8D, 0x76, 0x01, 0x6D, 0xC7, 0x2A, 0x4F, 0x57,
                                       0x90, 0x02, 0xD3, 0xD6, 0x6B, 0xA7, 0x57, 0xBE};
const uint8_t kResponseSignature[16] = {0x01, 0x13, 0x9F, 0xCA, 0xB9, 0xF3, 0x4E, 0xB4,
                                        0x8C, 0xB0, 0x5C, 0x53, 0x2F, 0x4F, 0xFF, 0xCB};

const char* transportResultName(uint32_t result) {
    switch (result) {
        case TransportOk:
            return "Ok";
        case TransportInvalidArgument:
            return "InvalidArgument";
        case InfoSectorInvalid:
            return "InfoSectorInvalid";
        case MailboxNotReady:
            return "MailboxNotReady";
        case NotAnswered:
            return "NotAnswered";
        case IoFailed:
            return "IoFailed";
        case TransportOutOfMemory:
            return "OutOfMemory";
    }
    return "Unknown";
}

namespace {

uint16_t wordSum(const uint8_t* sector, unsigned words) {
    uint16_t sum = 0;
    for (unsigned i = 0; i < words; ++i) {
        sum = uint16_t(sum + (sector[2 * i] | (sector[2 * i + 1] << 8)));
    }
    return sum;
}

void putLe16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

uint64_t getLe64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) {
        v = (v << 8) | p[i];
    }
    return v;
}

// O_DIRECT wants buffers aligned to the block size (at least a page); that also meets the
// 8-byte alignment that the pass-through asks for.
struct AlignedFree {
    void operator()(uint8_t* p) const { std::free(p); }
};
using WorkBuffer = std::unique_ptr<uint8_t, AlignedFree>;

std::atomic<int> failingAllocations{0};

WorkBuffer allocateWork(uint32_t blockSize) {
    size_t alignment = 4096;
    while (alignment < blockSize) {
        alignment *= 2;
    }
    void* p = nullptr;
    if (failingAllocations.load() > 0 && failingAllocations.fetch_sub(1) > 0) {
        return nullptr;
    }
    if (posix_memalign(&p, alignment, size_t(blockSize) * 2) != 0) {
        return nullptr;
    }
    std::memset(p, 0, size_t(blockSize) * 2);
    return WorkBuffer(static_cast<uint8_t*>(p));
}

std::string hex2(unsigned v) {
    static const char digits[] = "0123456789abcdef";
    return std::string("0x") + digits[(v >> 4) & 15] + digits[v & 15];
}

// Why the vendor command's answer is not taken, for the debug notes.
std::string directFailure(io::ScsiResult r, const io::ScsiReport& k) {
    if (r == io::ScsiInvalidArgument) {
        return "not sent";
    }
    if (k.error != 0) {
        return std::string("SG_IO failed: ") + std::strerror(k.error);
    }
    // DRIVER_SENSE only says that sense data came with a CHECK CONDITION: a refusal.
    if (k.hostStatus != 0 || (k.driverStatus & ~0x08) != 0) {
        return "transport error (host status " + hex2(k.hostStatus) + ", driver status " +
               hex2(k.driverStatus) + ", SCSI status " + hex2(k.status) + ")";
    }
    if (k.status != 0) {
        return "refused with SCSI status " + hex2(k.status);
    }
    if (k.resid == 0) {
        return "completion flagged abnormal (info " + hex2(k.info) + ")";
    }
    const int64_t got = int64_t(kDirectPayloadSize) - k.resid;
    return "short answer, " + std::to_string(got < 0 ? 0 : got) + " of " +
           std::to_string(kDirectPayloadSize) + " bytes (residual " + std::to_string(k.resid) + ")";
}

bool sendDirectCommand(io::DriveHandle handle, uint8_t commandCode, const uint8_t* request,
                       uint8_t* work) {
    uint8_t cdb[12];
    buildVendorCdb(commandCode, request, cdb);
    std::memset(work, 0, kDirectPayloadSize);
    io::ScsiReport k;
    const io::ScsiResult r =
        io::scsiCommand(handle, cdb, sizeof cdb, false, work, kDirectPayloadSize, 1, &k);
    // Only a whole answer counts: the bytes a short one did not bring would stay zeros that
    // the decoders take for the device's values. Whatever reached the buffer of a command
    // that timed out or failed on the way is not taken either.
    const bool whole = r == io::ScsiOk && k.status == 0 && k.hostStatus == 0 &&
                       k.driverStatus == 0 && k.resid == 0 && (k.info & SG_INFO_OK_MASK) == 0;
    if (!whole && io::debugging()) {
        io::debugNote("vendor command on " + handle->path() + ": " + directFailure(r, k) +
                      "; trying the in-band mailbox");
    }
    return whole;
}

}  // namespace

void failWorkAllocations(int count) {
    failingAllocations = count;
}

bool sectorChecksumValid(const uint8_t* sector) {
    return wordSum(sector, 256) == 0;
}

void sectorChecksum(uint8_t* sector) {
    putLe16(sector + 510, uint16_t(-wordSum(sector, 255)));
}

void buildVendorCdb(uint8_t commandCode, const uint8_t* request8, uint8_t cdb[12]) {
    cdb[0] = 0xEC;
    cdb[1] = 0x00;
    cdb[2] = 0x02;
    cdb[3] = commandCode;
    std::memcpy(cdb + 4, request8, 8);
}

DcpTransportResult readInfoSector(io::DriveHandle handle, uint32_t blockSize, uint8_t* workBlock,
                                  InfoSector* out) {
    if (blockSize < kSectorLayoutSize || !handle || !workBlock || !out) {
        return TransportInvalidArgument;
    }
    uint64_t diskSize = 0;
    if (!io::getDiskSize(handle, &diskSize)) {
        return IoFailed;
    }
    const uint64_t total = diskSize / blockSize;
    // A disk too small to hold the reserved blocks cannot be a device of ours.
    if (total < kInfoSectorFromEnd) {
        return InfoSectorInvalid;
    }
    auto file = io::rawfile::wrapHandle(handle, false);
    if (!file) {
        return TransportOutOfMemory;
    }
    if (io::verifyBlocks(handle, total - 1, 1) != io::ScsiOk) {
        return IoFailed;
    }
    if (io::seekThenTransfer(*file, (total - kInfoSectorFromEnd) * blockSize, workBlock, blockSize,
                             io::Transfer::Read) != io::RawOk) {
        return IoFailed;
    }
    if (std::memcmp(workBlock, kInfoSignature, 16) != 0 || !sectorChecksumValid(workBlock)) {
        return InfoSectorInvalid;
    }
    // A copied info sector or a lying device could name block 0 (the partition table) as
    // its mailbox; only the tail the info sector itself lives in is the device's.
    const uint64_t mailboxLba = getLe64(workBlock + 18);
    if (mailboxLba < total - kInfoSectorFromEnd || mailboxLba >= total) {
        return InfoSectorInvalid;
    }
    out->tag = uint16_t(workBlock[16] | (workBlock[17] << 8));
    out->mailboxLba = mailboxLba;
    out->diskTooLarge = workBlock[26] != 0;
    return TransportOk;
}

void buildCommandSector(uint8_t* sector, uint32_t blockSize, uint16_t tag, uint8_t commandCode,
                        const uint8_t* request, uint32_t requestLength) {
    std::memset(sector, 0, blockSize);
    std::memcpy(sector, kCommandSignature, 16);
    putLe16(sector + 16, tag);
    sector[18] = commandCode;
    sector[19] = 0;
    std::memcpy(sector + 20, request, requestLength);
    sectorChecksum(sector);
}

DcpTransportResult exchangeMailbox(io::DriveHandle handle, uint32_t blockSize, uint8_t* buffer,
                                   uint64_t mailboxLba) {
    if (!handle || !buffer || blockSize < kSectorLayoutSize) {
        return TransportInvalidArgument;
    }
    // A mailbox address whose byte offset does not fit is not on this disk.
    if (mailboxLba > (uint64_t(INT64_MAX) / blockSize)) {
        return IoFailed;
    }
    const uint64_t offset = mailboxLba * blockSize;
    auto file = io::rawfile::wrapHandle(handle, false);
    if (!file) {
        return TransportOutOfMemory;
    }
    uint8_t* sector = buffer;
    uint8_t* saved = buffer + blockSize;
    const uint16_t tag = uint16_t(sector[16] | (sector[17] << 8));
    if (io::seekThenTransfer(*file, offset, saved, blockSize, io::Transfer::Read) != io::RawOk) {
        return IoFailed;
    }
    // From the command write on, every failure gives the block back what it held (the
    // outcome of that write is ignored): a device that did not answer owns nothing there.
    const auto restore = [&](DcpTransportResult r) {
        io::seekThenTransfer(*file, offset, saved, blockSize, io::Transfer::Write);
        return r;
    };
    if (io::seekThenTransfer(*file, offset, sector, blockSize, io::Transfer::Write) != io::RawOk) {
        return restore(IoFailed);
    }
    std::memset(sector, 0, blockSize);
    if (io::seekThenTransfer(*file, offset, sector, blockSize, io::Transfer::Read) != io::RawOk) {
        return restore(IoFailed);
    }
    if (std::memcmp(sector, kResponseSignature, 16) != 0 || !sectorChecksumValid(sector)) {
        return restore(NotAnswered);
    }
    const uint16_t answeredTag = uint16_t(sector[16] | (sector[17] << 8));
    if (answeredTag != tag || sector[18] != 1) {
        return restore(NotAnswered);
    }
    return TransportOk;
}

DcpTransportResult executeCommand(io::DriveHandle handle, uint32_t blockSize, uint8_t commandCode,
                                  const uint8_t* request, uint32_t requestLength, uint8_t* response,
                                  uint32_t responseLength, uint8_t* diskTooLargeOut,
                                  uint32_t retries) {
    if (blockSize < kSectorLayoutSize || requestLength > kResponsePayloadSize ||
        responseLength < kResponsePayloadSize || requestLength < kRequestPayloadSize || !handle ||
        !request || !response) {
        return TransportInvalidArgument;
    }
    uint8_t diskTooLarge = 0;
    const auto finish = [&](DcpTransportResult r) {
        if (diskTooLargeOut) {
            *diskTooLargeOut = diskTooLarge;
        }
        return r;
    };
    if (io::RemoteExchanges* remote = handle->remote()) {
        if (requestLength != kRequestPayloadSize) {
            return TransportInvalidArgument;
        }
        uint8_t payload[kResponsePayloadSize];
        const auto r = DcpTransportResult(remote->exchange(request, payload, &diskTooLarge));
        if (r == TransportOk) {
            std::memset(response, 0, responseLength);
            std::memcpy(response, payload, kResponsePayloadSize);
        }
        return finish(r);
    }

    WorkBuffer work = allocateWork(blockSize);
    if (!work) {
        return finish(TransportOutOfMemory);
    }
    uint8_t* sector = work.get();
    // Other processes may talk to this device too; each exchange has it to itself.
    const io::DriveLock exclusive(handle, io::kExchangeLockMs);
    if (!exclusive) {
        return finish(IoFailed);
    }

    if (sendDirectCommand(handle, commandCode, request, sector)) {
        std::memset(response, 0, responseLength);
        std::memcpy(response, sector, kDirectPayloadSize);
        return finish(TransportOk);
    }

    InfoSector info;
    for (uint32_t attempt = 0;; ++attempt) {
        const DcpTransportResult r = readInfoSector(handle, blockSize, sector, &info);
        if (r != TransportOk) {
            return finish(r);
        }
        diskTooLarge = info.diskTooLarge ? 1 : 0;
        if (info.tag != 0) {
            break;
        }
        if (attempt >= retries) {
            return finish(MailboxNotReady);
        }
    }

    buildCommandSector(sector, blockSize, info.tag, commandCode, request, requestLength);
    const DcpTransportResult r = exchangeMailbox(handle, blockSize, sector, info.mailboxLba);
    if (r != TransportOk) {
        return finish(r);
    }
    std::memset(response, 0, responseLength);
    std::memcpy(response, sector + 20, kResponsePayloadSize);
    return finish(TransportOk);
}

}  // namespace corvane::dcp
