#include "cli/records_out.h"

#include <cstdio>
#include <sstream>

#include "cli/cli.h"
#include "cli/json.h"
#include "dcp/payload.h"
#include "dcp/texts.h"

namespace corvane::cli {
namespace {

using namespace dcp;

// A device text (Latin-1) for the terminal.
std::string utf8(const std::string& latin1) {
    return terminalText(latin1ToUtf8(latin1));
}

// Paths and mount points are the system's bytes, UTF-8 on any sane system.
std::string pathText(const std::string& path) {
    return terminalText(path);
}

std::string joinPaths(const std::vector<std::string>& items) {
    std::string out;
    for (const auto& item : items) {
        out += (out.empty() ? "" : ", ") + pathText(item);
    }
    return out;
}

std::string join(const std::vector<std::string>& items) {
    std::string out;
    for (const auto& item : items) {
        out += (out.empty() ? "" : ", ") + item;
    }
    return out;
}

std::string temperatureText(uint32_t tenths) {
    if (tenths == 0) {
        return "unknown";
    }
    char buf[32];
    std::snprintf(buf, sizeof buf,
                  "%u.%u \xC2\xB0"
                  "C",
                  tenths / 10, tenths % 10);
    return buf;
}

std::string percentText(uint32_t hundredths) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%u.%02u %%", hundredths / 100, hundredths % 100);
    return buf;
}

std::vector<std::string> warnings(const DcpRespInfo& r) {
    std::vector<std::string> out;
    if (r.capacity != r.osCapacity || r.diskTooLarge) {
        out.push_back(r.hostBus == Bus1394 ? "Disk Too Large for FireWire/1394 Drivers"
                                           : "OS Incompatibility Detected (Disk Too Large)");
    }
    if (r.driveFailureLikely) {
        out.push_back("Drive Failure is Likely");
    }
    if (r.readyForRebuild) {
        out.push_back("Ready for Rebuild");
    }
    if (r.cacheDisabled) {
        out.push_back("Performance Not Optimized (Cache Disabled)");
    }
    return out;
}

std::string infoJson(const DcpRespInfo& r) {
    JsonObject o;
    o.add("type", r.type)
        .add("configuration", r.configuration)
        .add("driveCount", r.driveCount)
        .add("raidStatus", r.raidStatus)
        .add("driveFailureLikely", r.driveFailureLikely)
        .add("canInitialize", r.canInitialize)
        .add("readyForRebuild", r.readyForRebuild)
        .add("cacheDisabled", r.cacheDisabled)
        .add("largeCapacity", r.largeCapacity)
        .add("auxText1", r.auxText1)
        .add("auxText2", r.auxText2)
        .addUtf8("devicePath", r.devicePath)
        .addUtf8("volumes", r.volumes)
        .add("hostBus", r.hostBus)
        .add("productId", r.productId)
        .add("serialNumber", r.serialNumber)
        .add("serialText", r.serialText)
        .add("vendor", r.vendor)
        .add("model", r.model)
        .add("productName", r.productName)
        .add("firmwareDate", r.firmwareDate)
        .add("firmwareTime", r.firmwareTime)
        .add("capacity", r.capacity)
        .add("osCapacity", r.osCapacity)
        .add("diskTooLarge", r.diskTooLarge);
    return o.str();
}

std::string driveJson(const DcpRespDriveInfo& r) {
    JsonObject o;
    o.add("type", r.type)
        .add("driveIndex", r.driveIndex)
        .add("present", r.present)
        .add("driveBus", r.driveBus)
        .add("auxText1", r.auxText1)
        .add("model", r.model)
        .add("serialNumber", r.serialNumber)
        .add("auxText2", r.auxText2)
        .add("capacity", r.capacity)
        .add("health", r.health)
        .add("scanErrors", r.scanErrors)
        .add("badBlocksRemapped", r.badBlocksRemapped)
        .add("auxCounter1", r.auxCounter1)
        .add("auxCounter2", r.auxCounter2)
        .add("crcErrors", r.crcErrors)
        .add("temperature", r.temperature)
        .add("memberState", r.memberState)
        .add("auxBytes", r.auxBytes)
        .add("raidSetId", r.raidSetId)
        .add("auxByte", r.auxByte);
    return o.str();
}

std::string infoText(const DcpRespInfo& r) {
    std::ostringstream s;
    s << "Device:        " << pathText(r.devicePath) << "\n"
      << "Vendor:        " << utf8(r.vendor) << "\n"
      << "Model:         " << utf8(r.model) << "\n"
      << "Product:       " << utf8(r.productName) << " (id " << r.productId << ")\n"
      << "Serial number: " << r.serialText << "\n"
      << "Firmware:      " << utf8(r.firmwareDate) << " " << utf8(r.firmwareTime) << "\n"
      << "Configuration: " << configurationText(r.configuration) << ", " << r.driveCount
      << " drives\n"
      << "RAID status:   " << raidStatusText(r.raidStatus) << "\n"
      << "Capacity:      " << formatBytes(r.capacity) << " (" << r.capacity << " bytes)\n"
      << "OS capacity:   " << formatBytes(r.osCapacity) << " (" << r.osCapacity << " bytes)\n";
    if (!r.volumes.empty()) {
        s << "Volumes:       " << joinPaths(r.volumes) << "\n";
    }
    const auto notes = warnings(r);
    if (!notes.empty()) {
        s << "Warnings:      " << join(notes) << "\n";
    }
    if (r.canInitialize) {
        s << "A RAID initialisation may be started"
          << (r.largeCapacity ? " (capacity choice offered)" : "") << ".\n";
    }
    return s.str();
}

std::string driveText(const DcpRespDriveInfo& r) {
    std::ostringstream s;
    s << "Bay " << r.driveIndex << ": ";
    if (!r.present) {
        s << "empty\n";
        return s.str();
    }
    s << utf8(r.model) << ", serial " << utf8(r.serialNumber) << ", " << formatBytes(r.capacity)
      << "\n"
      << "  health " << healthText(r.health) << ", temperature " << temperatureText(r.temperature)
      << ", member state " << r.memberState << "\n"
      << "  scan errors " << r.scanErrors << ", bad blocks remapped " << r.badBlocksRemapped
      << ", CRC errors " << r.crcErrors << "\n";
    return s.str();
}

}  // namespace

std::string terminalText(const std::string& utf8, bool multiLine) {
    std::string out;
    out.reserve(utf8.size());
    const auto escape = [&](unsigned value) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\x%02x", value);
        out += buf;
    };
    for (size_t i = 0; i < utf8.size();) {
        const unsigned char c = utf8[i];
        if (c < 0x80) {
            if (multiLine && c == '\r' && i + 1 < utf8.size() && utf8[i + 1] == '\n') {
                ++i;  // a CRLF line end is a line end
                continue;
            }
            if ((c < 0x20 && !(multiLine && (c == '\n' || c == '\t'))) || c == 0x7F) {
                escape(c);
            } else {
                out += char(c);
            }
            ++i;
            continue;
        }
        // The length of a well-formed sequence starting here; 0 when there is none.
        size_t length = (c & 0xE0) == 0xC0   ? 2
                        : (c & 0xF0) == 0xE0 ? 3
                        : (c & 0xF8) == 0xF0 ? 4
                                             : 0;
        uint32_t code = length == 2 ? (c & 0x1F) : length == 3 ? (c & 0x0F) : (c & 0x07);
        for (size_t j = 1; length && j < length; ++j) {
            if (i + j >= utf8.size() || (utf8[i + j] & 0xC0) != 0x80) {
                length = 0;
            } else {
                code = (code << 6) | (utf8[i + j] & 0x3F);
            }
        }
        static const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (length == 0 || code < smallest[length] || code > 0x10FFFF ||
            (code >= 0xD800 && code <= 0xDFFF)) {
            escape(c);
            ++i;
            continue;
        }
        if (code >= 0x80 && code <= 0x9F) {
            escape(code);  // C1 controls: 0x9B starts an escape sequence on some terminals
        } else {
            out.append(utf8, i, length);
        }
        i += length;
    }
    return out;
}

std::string formatBytes(uint64_t bytes) {
    static const char* units[] = {"bytes", "KB", "MB", "GB", "TB", "PB", "EB"};
    double value = double(bytes);
    int unit = 0;
    while (value >= 1000.0 && unit < 6) {
        value /= 1000.0;
        ++unit;
    }
    char buf[48];
    if (unit == 0) {
        std::snprintf(buf, sizeof buf, "%llu bytes", static_cast<unsigned long long>(bytes));
    } else {
        std::snprintf(buf, sizeof buf, "%.1f %s", value, units[unit]);
    }
    return buf;
}

std::string toJson(const DcpResponse& record) {
    switch (record.type) {
        case TypeGetInfo:
            return infoJson(static_cast<const DcpRespInfo&>(record));
        case TypeGetDriveInfo:
            return driveJson(static_cast<const DcpRespDriveInfo&>(record));
        case TypeGetStatusText:
            return JsonObject()
                .add("type", record.type)
                .add("text", static_cast<const DcpRespStatusText&>(record).text)
                .str();
        case TypeGetProgress: {
            const auto& p = static_cast<const DcpRespProgress&>(record);
            return JsonObject()
                .add("type", record.type)
                .add("operation", p.operation)
                .add("phase", p.phase)
                .add("percent", p.percent)
                .str();
        }
        case TypeInitConfiguration:
            return JsonObject()
                .add("type", record.type)
                .add("result", static_cast<const DcpRespInitConfiguration&>(record).result)
                .str();
        case TypeRebuild:
            return JsonObject()
                .add("type", record.type)
                .add("result", static_cast<const DcpRespRebuild&>(record).result)
                .str();
    }
    return JsonObject().add("type", record.type).str();
}

std::string toText(const DcpResponse& record) {
    switch (record.type) {
        case TypeGetInfo:
            return infoText(static_cast<const DcpRespInfo&>(record));
        case TypeGetDriveInfo:
            return driveText(static_cast<const DcpRespDriveInfo&>(record));
        case TypeGetStatusText: {
            std::string text = terminalText(
                latin1ToUtf8(static_cast<const DcpRespStatusText&>(record).text), true);
            if (text.empty() || text.back() != '\n') {
                text += '\n';
            }
            return text;
        }
        case TypeGetProgress: {
            const auto& p = static_cast<const DcpRespProgress&>(record);
            return std::string(operationText(p.operation)) + ": " + phaseText(p.phase) + ", " +
                   percentText(p.percent) + "\n";
        }
        case TypeInitConfiguration:
            return std::string(initResultText(
                       static_cast<const DcpRespInitConfiguration&>(record).result)) +
                   "\n";
        case TypeRebuild:
            return std::string(
                       rebuildResultText(static_cast<const DcpRespRebuild&>(record).result)) +
                   "\n";
    }
    return "\n";
}

std::string timeLeftText(uint32_t seconds) {
    if (seconds < 60) {
        return "less than a minute left";
    }
    const uint32_t minutes = (seconds + 30) / 60;
    const std::string m = std::to_string(minutes % 60) + " min";
    if (minutes < 60) {
        return "about " + m + " left";
    }
    return "about " + std::to_string(minutes / 60) + " h" + (minutes % 60 ? " " + m : "") + " left";
}

}  // namespace corvane::cli
