#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "io/platform.h"

namespace corvane::io {

// One stretch of a volume on a whole disk. A volume over two partitions of one disk has
// two extents on that disk.
struct DiskExtent {
    std::string disk;  // kernel name of the whole disk: "sda", "vda", "nvme0n1"
    // Set when the disk is one of the numbered disks 0..25 of the platform.
    std::optional<uint32_t> diskNumber;
};

// One mounted block device.
struct VolumeExtents {
    std::string mountPoint;  // unescaped
    std::string volumeId;    // "MAJ:MIN" of the mounted device
    std::vector<DiskExtent> extents;
};

struct VolumeSources {
    std::string procRoot = "/proc";
    std::string sysRoot = "/sys";
    // Its diskPath(0..25) names the numbered disks; the process's platform when null.
    const Platform* platform = nullptr;
};

// Every mounted block device of /proc/self/mountinfo with the whole disks under it, in
// mount order. File systems without a block device (major 0) are left out, and so is a
// device that sysfs does not know (its node under /sys/dev/block is absent). A mount point
// mounted over keeps only the visible (last) mount; one device at several mount points
// gives one entry each.
//
// Fails, leaving *out untouched, when mountinfo cannot be read or holds a malformed line,
// or when a device's sysfs node exists but cannot be followed to its disks (a dangling
// link, a `slaves` that is not a folder, a partition without a disk above it, links too
// deep): the caller then shows no volumes rather than an incomplete list.
bool listVolumeExtents(std::vector<VolumeExtents>* out, const VolumeSources& sources);
bool listVolumeExtents(std::vector<VolumeExtents>* out);

// The mount points of the volumes with at least one extent on the disk, in list order,
// each once.
std::vector<std::string> lettersOnDisk(const std::vector<VolumeExtents>& volumes,
                                       uint32_t diskNumber);

// The mount point field of mountinfo with its octal escapes ("\040") decoded.
std::string unescapeMountField(const std::string& field);

// The number N in 0..25 whose platform path is /dev/<disk> ('!' in a kernel name is a '/'
// in /dev, as in "cciss!c0d0").
std::optional<uint32_t> diskNumberOf(const std::string& disk, const Platform& platform);

}  // namespace corvane::io
