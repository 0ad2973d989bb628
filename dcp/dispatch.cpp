#include "dcp/dispatch.h"

#include "dcp/payload.h"

namespace corvane::dcp {

using drl::DrlResult;

namespace {

// Runs a typed decoder and hands its record out through the base.
template <class Req, class Resp, class Decoder>
DrlResult run(const DcpRequest& request, DcpResponse** responseOut, Decoder decoder) {
    Resp* record = nullptr;
    const DrlResult result = decoder(static_cast<const Req&>(request), &record);
    if (result == drl::Ok) {
        *responseOut = record;
    }
    return result;
}

}  // namespace

DrlResult checkRequest(const DcpRequest& request) {
    if (request.type < TypeGetInfo || request.type > TypeRebuild) {
        return drl::UnsupportedRequest;
    }
    uint8_t payload[kRequestPayloadSize];
    return encodeRequest(request, 0, payload) ? drl::Ok : drl::InvalidArgument;
}

DrlResult dispatchRequest(uint32_t diskNumber, const DcpRequest& request, uint32_t configurationKey,
                          DcpResponse** responseOut) {
    if (!responseOut) {
        return drl::InvalidArgument;
    }
    if (const DrlResult checked = checkRequest(request); checked != drl::Ok) {
        return checked;
    }
    int error = 0;
    io::UniqueDrive drive(io::openPhysicalDrive(diskNumber, &error));
    if (!drive) {
        return drl::DeviceIoFailed;
    }
    return dispatchRequest(drive.get(), DiskRef::numbered(diskNumber), request, configurationKey,
                           responseOut);
}

DrlResult dispatchRequest(io::DriveHandle handle, const DiskRef& disk, const DcpRequest& request,
                          uint32_t configurationKey, DcpResponse** responseOut,
                          const io::VolumeSources& volumeSources) {
    if (!responseOut) {
        return drl::InvalidArgument;
    }
    // The decoders below trust the class behind each type; this is where that is made true.
    if (const DrlResult checked = checkRequest(request); checked != drl::Ok) {
        return checked;
    }
    io::DiskGeometry geometry;
    if (!io::getDriveGeometry(handle, &geometry)) {
        return drl::DeviceIoFailed;
    }
    const uint32_t blockSize = geometry.bytesPerSector;
    switch (request.type) {
        case TypeGetInfo:
            return run<DcpReqGetInfo, DcpRespInfo>(request, responseOut, [&](auto& r, auto** out) {
                return decodeInfo(handle, blockSize, disk, r, out, volumeSources);
            });
        case TypeGetDriveInfo:
            return run<DcpReqGetDriveInfo, DcpRespDriveInfo>(
                request, responseOut,
                [&](auto& r, auto** out) { return decodeDriveInfo(handle, blockSize, r, out); });
        case TypeGetStatusText:
            return run<DcpReqGetStatusText, DcpRespStatusText>(
                request, responseOut,
                [&](auto& r, auto** out) { return fetchStatusText(handle, blockSize, r, out); });
        case TypeGetProgress:
            return run<DcpReqGetProgress, DcpRespProgress>(
                request, responseOut,
                [&](auto& r, auto** out) { return decodeProgress(handle, blockSize, r, out); });
        case TypeInitConfiguration:
            return run<DcpReqInitConfiguration, DcpRespInitConfiguration>(
                request, responseOut, [&](auto& r, auto** out) {
                    return requestInitConfiguration(handle, blockSize, configurationKey, r, out);
                });
        case TypeRebuild:
            return run<DcpReqRebuild, DcpRespRebuild>(
                request, responseOut,
                [&](auto& r, auto** out) { return requestRebuild(handle, blockSize, r, out); });
    }
    return drl::UnsupportedRequest;
}

}  // namespace corvane::dcp
