#include "io/volumes.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unordered_map>

namespace corvane::io {
namespace {

namespace fs = std::filesystem;

// sysfs has no cycles; a deeper chain means a broken tree rather than a real stack.
constexpr int kMaxDepth = 16;

struct Mount {
    uint32_t major = 0;
    uint32_t minor = 0;
    std::string mountPoint;
};

bool parseNumber(const std::string& text, uint32_t* out) {
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, *out);
    return !text.empty() && ec == std::errc() && ptr == end;
}

bool parseMountLine(const std::string& line, Mount* out) {
    std::vector<std::string> fields;
    std::istringstream in(line);
    std::string field;
    while (fields.size() < 5 && in >> field) {
        fields.push_back(field);
    }
    if (fields.size() < 5) {
        return false;
    }
    const std::string& device = fields[2];
    const size_t colon = device.find(':');
    if (colon == std::string::npos || !parseNumber(device.substr(0, colon), &out->major) ||
        !parseNumber(device.substr(colon + 1), &out->minor)) {
        return false;
    }
    out->mountPoint = unescapeMountField(fields[4]);
    return true;
}

bool readMounts(const fs::path& file, std::vector<Mount>* out) {
    std::ifstream in(file);
    if (!in) {
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty()) {
            continue;
        }
        Mount m;
        if (!parseMountLine(line, &m)) {
            return false;
        }
        out->push_back(std::move(m));
    }
    return !in.bad();
}

// False on an error other than "not there".
bool present(const fs::path& p, bool* isThere) {
    std::error_code ec;
    const fs::file_status st = fs::symlink_status(p, ec);
    if (ec && st.type() != fs::file_type::not_found) {
        return false;
    }
    *isThere = st.type() != fs::file_type::not_found;
    return true;
}

// Follows a block device node through partitions and stacked devices (dm, md) down to its
// whole disks, one per leaf. Every node on the way must be a folder with a `dev` file.
bool collectDisks(const fs::path& node, int depth, std::vector<std::string>* disks) {
    if (depth > kMaxDepth) {
        return false;
    }
    std::error_code ec;
    const fs::path dir = fs::canonical(node, ec);
    if (ec || !fs::is_directory(dir, ec) || !fs::is_regular_file(dir / "dev", ec)) {
        return false;
    }
    bool isPartition = false;
    if (!present(dir / "partition", &isPartition)) {
        return false;
    }
    if (isPartition) {
        return collectDisks(dir.parent_path(), depth + 1, disks);
    }
    bool hasSlaves = false;
    if (!present(dir / "slaves", &hasSlaves)) {
        return false;
    }
    if (hasSlaves) {
        if (!fs::is_directory(dir / "slaves", ec)) {
            return false;
        }
        std::vector<fs::path> slaves;
        for (fs::directory_iterator it(dir / "slaves", ec), end; !ec && it != end;
             it.increment(ec)) {
            slaves.push_back(it->path());
        }
        if (ec) {
            return false;
        }
        // Directory order is arbitrary; keep the listing stable from run to run.
        std::sort(slaves.begin(), slaves.end());
        for (const fs::path& slave : slaves) {
            if (!collectDisks(slave, depth + 1, disks)) {
                return false;
            }
        }
        if (!slaves.empty()) {
            return true;
        }
    }
    disks->push_back(dir.filename().string());
    return true;
}

bool listImpl(std::vector<VolumeExtents>* out, const VolumeSources& sources) {
    std::vector<Mount> mounts;
    if (!readMounts(fs::path(sources.procRoot) / "self" / "mountinfo", &mounts)) {
        return false;
    }
    // A later mount on the same point hides the earlier one.
    std::unordered_map<std::string, size_t> lastAt;
    for (size_t i = 0; i < mounts.size(); ++i) {
        lastAt[mounts[i].mountPoint] = i;
    }
    const Platform& platform = sources.platform ? *sources.platform : io::platform();
    const fs::path blockDir = fs::path(sources.sysRoot) / "dev" / "block";

    std::vector<VolumeExtents> volumes;
    for (size_t i = 0; i < mounts.size(); ++i) {
        const Mount& m = mounts[i];
        if (m.major == 0 || lastAt[m.mountPoint] != i) {
            continue;
        }
        const std::string id = std::to_string(m.major) + ":" + std::to_string(m.minor);
        bool known = false;
        if (!present(blockDir / id, &known)) {
            return false;
        }
        if (!known) {
            continue;
        }
        std::vector<std::string> disks;
        if (!collectDisks(blockDir / id, 0, &disks)) {
            return false;
        }
        VolumeExtents v;
        v.mountPoint = m.mountPoint;
        v.volumeId = id;
        for (std::string& disk : disks) {
            DiskExtent e;
            e.diskNumber = diskNumberOf(disk, platform);
            e.disk = std::move(disk);
            v.extents.push_back(std::move(e));
        }
        volumes.push_back(std::move(v));
    }
    *out = std::move(volumes);
    return true;
}

bool isOctal(char c) {
    return c >= '0' && c <= '7';
}

// Three octal digits that fit a byte, as the kernel writes them.
bool isEscape(const std::string& s, size_t at) {
    return s[at] == '\\' && at + 3 < s.size() && s[at + 1] <= '3' && isOctal(s[at + 1]) &&
           isOctal(s[at + 2]) && isOctal(s[at + 3]);
}

}  // namespace

std::string unescapeMountField(const std::string& field) {
    std::string out;
    out.reserve(field.size());
    for (size_t i = 0; i < field.size(); ++i) {
        if (isEscape(field, i)) {
            out += char(((field[i + 1] - '0') << 6) | ((field[i + 2] - '0') << 3) |
                        (field[i + 3] - '0'));
            i += 3;
            continue;
        }
        out += field[i];
    }
    return out;
}

std::optional<uint32_t> diskNumberOf(const std::string& disk, const Platform& platform) {
    std::string path = "/dev/" + disk;
    std::replace(path.begin(), path.end(), '!', '/');
    for (uint32_t n = 0; n <= 25; ++n) {
        if (platform.diskPath(n) == path) {
            return n;
        }
    }
    return std::nullopt;
}

bool listVolumeExtents(std::vector<VolumeExtents>* out, const VolumeSources& sources) {
    if (!out) {
        return false;
    }
    try {
        return listImpl(out, sources);
    } catch (const std::exception&) {
        return false;  // out of memory; this layer reports, it does not throw
    }
}

bool listVolumeExtents(std::vector<VolumeExtents>* out) {
    return listVolumeExtents(out, VolumeSources{});
}

std::vector<std::string> lettersOnDisk(const std::vector<VolumeExtents>& volumes,
                                       uint32_t diskNumber) {
    std::vector<std::string> names;
    for (const VolumeExtents& v : volumes) {
        const bool onDisk =
            std::any_of(v.extents.begin(), v.extents.end(),
                        [&](const DiskExtent& e) { return e.diskNumber == diskNumber; });
        if (onDisk && std::find(names.begin(), names.end(), v.mountPoint) == names.end()) {
            names.push_back(v.mountPoint);
        }
    }
    return names;
}

}  // namespace corvane::io
