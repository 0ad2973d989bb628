#include "dcp/decoders.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>

#include "dcp/framing.h"
#include "dcp/payload.h"

namespace corvane::dcp {

using drl::DrlResult;

namespace {

uint16_t le16(const uint8_t* p) {
    return uint16_t(p[0] | p[1] << 8);
}

uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint64_t le64(const uint8_t* p) {
    return uint64_t(le32(p)) | uint64_t(le32(p + 4)) << 32;
}

// A request payload with only the sub-command set.
struct Request {
    explicit Request(uint8_t subCommand) { bytes[0] = subCommand; }
    uint8_t bytes[kRequestPayloadSize] = {};
};

// Bytes 256.. stay 0 on the direct path, so nothing below reads past 255.
struct Response {
    uint8_t bytes[kResponsePayloadSize];
};

bool exchange(io::DriveHandle handle, uint32_t blockSize, const uint8_t* request,
              Response* response, uint8_t* diskTooLargeOut = nullptr) {
    return executeCommand(handle, blockSize, kCommandCode, request, kRequestPayloadSize,
                          response->bytes, kResponsePayloadSize, diskTooLargeOut,
                          kExchangeRetries) == TransportOk;
}

std::atomic<int> failingAllocations{0};

template <class T>
std::unique_ptr<T> allocate() {
    if (failingAllocations.load() > 0 && failingAllocations.fetch_sub(1) > 0) {
        return nullptr;
    }
    return std::unique_ptr<T>(new (std::nothrow) T());
}

// Filling a record allocates strings; this layer reports running out, it does not throw.
template <class Body>
DrlResult guarded(Body body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return drl::OutOfMemory;
    }
}

template <class T>
DrlResult handOver(std::unique_ptr<T> record, T** responseOut) {
    *responseOut = record.release();
    return drl::Ok;
}

// The kernel name of the whole disk a path leads to ("sdb" for /dev/sdb or a link to it;
// '/' in a /dev path is '!' in sysfs). Empty for anything outside /dev, such as an image.
std::string kernelNameOf(const std::string& path) {
    std::error_code ec;
    std::filesystem::path resolved = std::filesystem::canonical(path, ec);
    const std::string name = ec ? path : resolved.string();
    const std::string dev = "/dev/";
    if (name.compare(0, dev.size(), dev) != 0 || name.size() == dev.size()) {
        return {};
    }
    std::string kernel = name.substr(dev.size());
    std::replace(kernel.begin(), kernel.end(), '/', '!');
    return kernel;
}

std::vector<std::string> volumesOn(io::DriveHandle handle, const DiskRef& disk,
                                   const io::VolumeSources& sources) {
    // The helper's view of the disks is the one that counts for its disk numbers.
    if (io::RemoteExchanges* remote = handle->remote()) {
        std::vector<std::string> names;
        return remote->volumes(&names) ? names : std::vector<std::string>{};
    }
    std::vector<io::VolumeExtents> list;
    if (!io::listVolumeExtents(&list, sources)) {
        return {};
    }
    if (disk.number) {
        return io::lettersOnDisk(list, *disk.number);
    }
    const std::string kernel = kernelNameOf(disk.path);
    std::vector<std::string> names;
    if (kernel.empty()) {
        return names;
    }
    for (const io::VolumeExtents& v : list) {
        const bool onDisk = std::any_of(v.extents.begin(), v.extents.end(),
                                        [&](const io::DiskExtent& e) { return e.disk == kernel; });
        if (onDisk && std::find(names.begin(), names.end(), v.mountPoint) == names.end()) {
            names.push_back(v.mountPoint);
        }
    }
    return names;
}

void fillInfo(const uint8_t* p, DcpRespInfo* r) {
    r->configuration = kConfigurationRaid5;
    r->driveCount = kDriveBays;
    r->raidStatus = raidStatusFor(p[112]);
    r->driveFailureLikely = p[113] != 0;
    r->canInitialize = p[114] != 0;
    r->readyForRebuild = p[115] != 0;
    r->cacheDisabled = p[116] != 0;
    r->largeCapacity = p[117] != 0;
    r->auxText1 = fixedText(p + 66, 16);
    r->auxText2 = fixedText(p + 82, 30);
    r->hostBus = hostBusFor(p[119]);
    r->productId = le16(p);
    r->serialNumber.assign(p + 2, p + 10);
    r->serialText = hexText(p + 2, 8);
    r->vendor = fixedText(p + 10, 16);
    r->model = fixedText(p + 26, 16);
    r->productName = productNameFor(r->productId);
    r->firmwareDate = fixedText(p + 42, 12);
    r->firmwareTime = fixedText(p + 54, 12);
    r->capacity = le64(p + 124);
}

void fillDriveInfo(const uint8_t* p, DcpRespDriveInfo* r) {
    r->present = p[0] != 0;
    r->driveBus = driveBusFor(p[1]);
    r->auxText1 = fixedText(p + 10, 16);
    r->model = fixedText(p + 26, 40);
    r->serialNumber = fixedText(p + 66, 40);
    r->auxText2 = fixedText(p + 106, 8);
    r->capacity = le64(p + 2);
    r->health = healthFor(p[183], p[184]);
    r->scanErrors = le32(p + 116);
    r->badBlocksRemapped = le32(p + 120);
    r->auxCounter1 = le32(p + 124);
    r->auxCounter2 = le32(p + 128);
    r->crcErrors = le32(p + 132);
    r->temperature = le16(p + 114);
    r->memberState = memberStateFor(p[183]);
    r->auxBytes = hexText(p + 136, 16);
    r->raidSetId = fixedText(p + 152, 30);
    r->auxByte = p[182];
}

constexpr size_t kStatusChunkOffset = 4;
constexpr size_t kStatusChunkWidth = 252;

}  // namespace

DiskRef DiskRef::numbered(uint32_t diskNumber) {
    DiskRef ref;
    ref.number = diskNumber;
    return ref;
}

DiskRef DiskRef::named(std::string path) {
    DiskRef ref;
    ref.path = std::move(path);
    return ref;
}

DrlResult decodeInfo(io::DriveHandle handle, uint32_t blockSize, uint32_t diskNumber,
                     const DcpReqGetInfo& request, DcpRespInfo** responseOut) {
    return decodeInfo(handle, blockSize, DiskRef::numbered(diskNumber), request, responseOut);
}

DrlResult decodeInfo(io::DriveHandle handle, uint32_t blockSize, const DiskRef& disk,
                     const DcpReqGetInfo& /*request*/, DcpRespInfo** responseOut,
                     const io::VolumeSources& volumeSources) {
    if (!responseOut) {
        return drl::InvalidArgument;
    }
    const Request request(SubGetInfo);
    Response response;
    uint8_t tooLarge = 0;
    if (!exchange(handle, blockSize, request.bytes, &response, &tooLarge) ||
        !isOwnDevice(response.bytes)) {
        return drl::DeviceIoFailed;
    }
    return infoFromPayload(response.bytes, tooLarge != 0, handle, disk, responseOut, volumeSources);
}

DrlResult infoFromPayload(const uint8_t* payload, bool diskTooLarge, io::DriveHandle handle,
                          const DiskRef& disk, DcpRespInfo** responseOut,
                          const io::VolumeSources& volumeSources) {
    if (!payload || !responseOut) {
        return drl::InvalidArgument;
    }
    return guarded([&] {
        std::unique_ptr<DcpRespInfo> record = allocate<DcpRespInfo>();
        if (!record) {
            return drl::OutOfMemory;
        }
        fillInfo(payload, record.get());
        record->devicePath = disk.number ? io::platform().diskPath(*disk.number) : disk.path;
        // A device without a RAID set has nothing to compare against; spare the query.
        if (record->capacity != 0 && !io::getDiskSize(handle, &record->osCapacity)) {
            record->osCapacity = 0;
        }
        record->diskTooLarge = diskTooLarge;
        record->volumes = volumesOn(handle, disk, volumeSources);
        return handOver(std::move(record), responseOut);
    });
}

DrlResult decodeDriveInfo(io::DriveHandle handle, uint32_t blockSize,
                          const DcpReqGetDriveInfo& request, DcpRespDriveInfo** responseOut) {
    if (!responseOut || request.driveIndex >= kDriveBays) {
        return drl::InvalidArgument;
    }
    return guarded([&] {
        Request payload(SubGetDriveInfo);
        payload.bytes[1] = uint8_t(request.driveIndex);
        Response response;
        if (!exchange(handle, blockSize, payload.bytes, &response)) {
            return drl::DeviceIoFailed;
        }
        std::unique_ptr<DcpRespDriveInfo> record = allocate<DcpRespDriveInfo>();
        if (!record) {
            return drl::OutOfMemory;
        }
        record->driveIndex = request.driveIndex;
        fillDriveInfo(response.bytes, record.get());
        return handOver(std::move(record), responseOut);
    });
}

DrlResult fetchStatusText(io::DriveHandle handle, uint32_t blockSize,
                          const DcpReqGetStatusText& /*request*/, DcpRespStatusText** responseOut,
                          const std::function<bool()>& stopRequested) {
    if (!responseOut) {
        return drl::InvalidArgument;
    }
    return guarded([&] {
        std::string text;
        uint32_t stalled = 0;
        for (uint32_t round = 1;; ++round) {
            uint8_t payload[kRequestPayloadSize];
            encodeStatusTextRequest(uint32_t(text.size()), payload);
            Response response;
            if (!exchange(handle, blockSize, payload, &response)) {
                return drl::DeviceIoFailed;
            }
            const size_t before = text.size();
            text += fixedText(response.bytes + kStatusChunkOffset, kStatusChunkWidth);
            if (le32(response.bytes) == 0) {
                break;
            }
            // A device that keeps saying "more" would otherwise hold the caller (and the
            // disk's I/O lock) for ever.
            stalled = text.size() == before ? stalled + 1 : 0;
            if (stalled == kMaxStalledStatusRounds || round == kMaxStatusTextRounds ||
                (stopRequested && stopRequested())) {
                return drl::DeviceIoFailed;
            }
        }
        std::unique_ptr<DcpRespStatusText> record = allocate<DcpRespStatusText>();
        if (!record) {
            return drl::OutOfMemory;
        }
        record->text = std::move(text);
        return handOver(std::move(record), responseOut);
    });
}

DrlResult decodeProgress(io::DriveHandle handle, uint32_t blockSize,
                         const DcpReqGetProgress& /*request*/, DcpRespProgress** responseOut) {
    if (!responseOut) {
        return drl::InvalidArgument;
    }
    const Request payload(SubGetProgress);
    Response response;
    if (!exchange(handle, blockSize, payload.bytes, &response)) {
        return drl::DeviceIoFailed;
    }
    std::unique_ptr<DcpRespProgress> record = allocate<DcpRespProgress>();
    if (!record) {
        return drl::OutOfMemory;
    }
    const uint8_t* p = response.bytes;
    record->operation = progressOperationFor(p[0]);
    record->phase = progressPhaseFor(p[1]);
    record->percent = std::min<uint32_t>(le16(p + 2), kPercentFull);
    return handOver(std::move(record), responseOut);
}

DrlResult requestInitConfiguration(io::DriveHandle handle, uint32_t blockSize,
                                   uint32_t configurationKey,
                                   const DcpReqInitConfiguration& request,
                                   DcpRespInitConfiguration** responseOut) {
    if (!responseOut || request.configuration != kConfigurationRaid5) {
        return drl::InvalidArgument;
    }
    uint8_t payload[kRequestPayloadSize];
    encodeInitConfigurationRequest(configurationKey, request.capacityMode, payload);
    Response response;
    if (!exchange(handle, blockSize, payload, &response)) {
        return drl::DeviceIoFailed;
    }
    std::unique_ptr<DcpRespInitConfiguration> record = allocate<DcpRespInitConfiguration>();
    if (!record) {
        return drl::OutOfMemory;
    }
    record->result = initResultFor(response.bytes[0]);
    return handOver(std::move(record), responseOut);
}

DrlResult requestRebuild(io::DriveHandle handle, uint32_t blockSize,
                         const DcpReqRebuild& /*request*/, DcpRespRebuild** responseOut) {
    if (!responseOut) {
        return drl::InvalidArgument;
    }
    const Request payload(SubRebuild);
    Response response;
    if (!exchange(handle, blockSize, payload.bytes, &response)) {
        return drl::DeviceIoFailed;
    }
    std::unique_ptr<DcpRespRebuild> record = allocate<DcpRespRebuild>();
    if (!record) {
        return drl::OutOfMemory;
    }
    record->result = rebuildResultFor(response.bytes[0]);
    return handOver(std::move(record), responseOut);
}

bool probeDevice(io::DriveHandle handle, uint32_t blockSize, std::vector<uint8_t>* serialOut,
                 uint32_t* configurationKeyOut) {
    const Request request(SubGetInfo);
    Response response;
    if (!exchange(handle, blockSize, request.bytes, &response) || !isOwnDevice(response.bytes)) {
        return false;
    }
    try {
        if (serialOut) {
            serialOut->assign(response.bytes + 2, response.bytes + 10);
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (configurationKeyOut) {
        *configurationKeyOut = configurationKeyOf(response.bytes);
    }
    return true;
}

void failResponseAllocations(int count) {
    failingAllocations.store(count);
}

}  // namespace corvane::dcp
