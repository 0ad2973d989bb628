#pragma once

#include <cstdint>

#include "dcp/decoders.h"
#include "dcp/records.h"
#include "dcp/result.h"
#include "io/passthrough.h"
#include "io/volumes.h"

namespace corvane::dcp {

// What can be told about a request without a device: UnsupportedRequest for an unknown
// type, InvalidArgument when the object is not of the class its type names, the bay is
// out of range or the configuration is not supported, else Ok.
drl::DrlResult checkRequest(const DcpRequest& request);

// One request on disk N: open it, read its block size, run the decoder the request's type
// names, close it on every path. configurationKey is the one the scan took from the
// device; only InitConfiguration sends it. A request that checkRequest refuses never
// opens the disk. Only on Ok does *responseOut receive a new record, which the caller
// owns.
drl::DrlResult dispatchRequest(uint32_t diskNumber, const DcpRequest& request,
                               uint32_t configurationKey, DcpResponse** responseOut);

// The same on a disk the caller has opened (and closes).
drl::DrlResult dispatchRequest(io::DriveHandle handle, const DiskRef& disk,
                               const DcpRequest& request, uint32_t configurationKey,
                               DcpResponse** responseOut,
                               const io::VolumeSources& volumeSources = {});

}  // namespace corvane::dcp
