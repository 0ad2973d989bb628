#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "dcp/records.h"
#include "dcp/result.h"
#include "io/passthrough.h"
#include "io/volumes.h"

namespace corvane::dcp {

// Every exchange retries this often while the device's mailbox is not ready.
constexpr uint32_t kExchangeRetries = 2;
// A status report needing more rounds than this (about 1 MB) is not a report.
constexpr uint32_t kMaxStatusTextRounds = 4096;
// Rounds in a row that say "more follows" without adding text before the fetch gives up.
constexpr uint32_t kMaxStalledStatusRounds = 8;

// How the disk under a handle is known: one of the numbered disks, or a path given by the
// user (a block device or an image). decodeInfo names the device and finds its volumes
// by it.
struct DiskRef {
    static DiskRef numbered(uint32_t diskNumber);
    static DiskRef named(std::string path);

    std::optional<uint32_t> number;
    std::string path;  // when number is empty
};

// The decoders. Each runs one exchange (fetchStatusText several) on the caller's open
// handle and returns Ok, InvalidArgument, DeviceIoFailed or OutOfMemory; only on Ok does
// *responseOut receive a new record, which the caller owns. An invalid request is refused
// before the device is touched.

drl::DrlResult decodeInfo(io::DriveHandle handle, uint32_t blockSize, uint32_t diskNumber,
                          const DcpReqGetInfo& request, DcpRespInfo** responseOut);
// volumeSources lets tests put /proc and /sys elsewhere.
drl::DrlResult decodeInfo(io::DriveHandle handle, uint32_t blockSize, const DiskRef& disk,
                          const DcpReqGetInfo& request, DcpRespInfo** responseOut,
                          const io::VolumeSources& volumeSources = {});

// The record of a GetInfo payload already exchanged on handle (which answers the disk
// size): the step of decodeInfo after its exchange, for a caller that probed the disk.
drl::DrlResult infoFromPayload(const uint8_t* payload, bool diskTooLarge, io::DriveHandle handle,
                               const DiskRef& disk, DcpRespInfo** responseOut,
                               const io::VolumeSources& volumeSources = {});

drl::DrlResult decodeDriveInfo(io::DriveHandle handle, uint32_t blockSize,
                               const DcpReqGetDriveInfo& request, DcpRespDriveInfo** responseOut);

// stopRequested, asked between rounds, ends the fetch with DeviceIoFailed when it says so.
drl::DrlResult fetchStatusText(io::DriveHandle handle, uint32_t blockSize,
                               const DcpReqGetStatusText& request, DcpRespStatusText** responseOut,
                               const std::function<bool()>& stopRequested = {});

drl::DrlResult decodeProgress(io::DriveHandle handle, uint32_t blockSize,
                              const DcpReqGetProgress& request, DcpRespProgress** responseOut);

drl::DrlResult requestInitConfiguration(io::DriveHandle handle, uint32_t blockSize,
                                        uint32_t configurationKey,
                                        const DcpReqInitConfiguration& request,
                                        DcpRespInitConfiguration** responseOut);

drl::DrlResult requestRebuild(io::DriveHandle handle, uint32_t blockSize,
                              const DcpReqRebuild& request, DcpRespRebuild** responseOut);

// The scan's test of one disk: a GetInfo exchange answered by a device of ours. On true
// the serial number (8 bytes) and the configuration key are stored; on false nothing is.
bool probeDevice(io::DriveHandle handle, uint32_t blockSize, std::vector<uint8_t>* serialOut,
                 uint32_t* configurationKeyOut);

// Makes the next count response allocations fail, as they would with no memory left.
void failResponseAllocations(int count);

}  // namespace corvane::dcp
