#include <cstdio>
#include <string>

#include "sim/device_model.h"

namespace corvane::sim {
namespace {

std::string escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string row(const std::string& name, const std::string& value) {
    return "<tr><td>" + name + "</td><td>" + value + "</td></tr>\n";
}

const char* statusName(uint8_t code) {
    switch (code) {
        case 0:
            return "No RAID set";
        case 1:
            return "Normal";
        case 2:
            return "Degraded";
        case 3:
            return "Rebuilding";
        case 4:
            return "Failed";
        case 5:
            return "Failed (more than one RAID set)";
        default:
            return "Unknown";
    }
}

const char* memberName(Member m) {
    switch (m) {
        case Member::Active:
            return "Active";
        case Member::Rebuilding:
            return "Rebuilding";
        case Member::Inactive:
            return "Inactive";
        case Member::Failed:
            return "Failed";
        default:
            return "Not in a set";
    }
}

const char* hostName(HostInterface host) {
    switch (host) {
        case HostInterface::FireWire:
            return "FireWire 800";
        case HostInterface::Usb:
            return "USB 2.0";
        case HostInterface::Sata:
            return "eSATA";
        default:
            return "Unknown";
    }
}

const char* phaseName(Phase phase) {
    switch (phase) {
        case Phase::Preparing:
            return "Preparing";
        case Phase::Progressing:
            return "Progressing";
        case Phase::Completed:
            return "Completed";
        case Phase::Failed:
            return "Failed";
        case Phase::DiskTooSmall:
            return "Disk too small";
        default:
            return "Idle";
    }
}

std::string decimal(uint64_t bytes) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f TB", double(bytes) / 1e12);
    return std::to_string(bytes) + " bytes (" + text + ")";
}

}  // namespace

std::string DeviceModel::composeReportLocked() {
    // The Latin-1 fault shows itself in the report too, where a careless host would
    // pass the bytes on as UTF-8.
    const bool latin1 = faults_.textsAbove127;
    const std::string degree = latin1 ? "\xB0"
                                        "C"
                                      : "&deg;C";
    char serial[17];
    for (int i = 0; i < 8; ++i) {
        std::snprintf(serial + 2 * i, 3, "%02x", identity_.serial[i]);
    }
    const uint64_t up = uptime_ / 1000;
    char uptime[32];
    std::snprintf(uptime, sizeof uptime, "%u days %02u:%02u:%02u", unsigned(up / 86400),
                  unsigned(up / 3600 % 24), unsigned(up / 60 % 60), unsigned(up % 60));

    const std::string title = escape(identity_.vendor + " " + identity_.model);
    std::string html = "<html>\n<head><title>" + title + " Status Report</title></head>\n<body>\n";
    html += "<h2>" + title + " Status Report</h2>\n";
    html += "<p>Serial number: " + std::string(serial) +
            "<br>\nFirmware: " + escape(identity_.firmwareDate + " " + identity_.firmwareTime) +
            " (" + escape(identity_.auxText2) +
            ")<br>\nHost interface: " + hostName(identity_.host) +
            "<br>\nController uptime: " + uptime + "</p>\n";

    html += "<h3>RAID Configuration</h3>\n<table border=\"1\" cellpadding=\"3\">\n";
    html += row("Level", "RAID-5, " + std::to_string(kBays) + " bays");
    html += row("RAID set", raid_.configured ? escape(raid_.setId) : "none");
    html += row("Capacity", raid_.configured ? decimal(raid_.capacity) : "none");
    html += row("Status", statusName(raidStatusLocked()));
    html += row("Write cache", raid_.cacheDisabled ? "Disabled" : "Enabled");
    if (diskTooLargeLocked()) {
        html += row("Host limit",
                    "The host addresses 2.2 TB only; it sees " + decimal(mediumBytesLocked()));
    }
    const Progress p = progressLocked();
    if (p.operation != Operation::None) {
        char percent[16];
        std::snprintf(percent, sizeof percent, "%u.%02u%%", p.percent / 100u, p.percent % 100u);
        const std::string what =
            p.operation == Operation::Initialization ? "Initialization" : "Rebuild";
        html += row("Last operation", what + ": " + phaseName(p.phase) + ", " + percent);
    }
    html += "</table>\n";

    html += "<h3>Drives</h3>\n<table border=\"1\" cellpadding=\"3\">\n";
    html +=
        "<tr><th>Bay</th><th>Model</th><th>Serial number</th><th>Firmware</th>"
        "<th>Capacity</th><th>Temperature</th><th>Scan / remapped / CRC errors</th>"
        "<th>State</th></tr>\n";
    for (unsigned bay = 0; bay < kBays; ++bay) {
        const Drive& d = drives_[bay];
        html += "<tr><td>" + std::to_string(bay + 1) + "</td>";
        if (!d.present) {
            html += "<td colspan=\"7\">Empty</td></tr>\n";
            continue;
        }
        char temperature[32] = "unknown";
        if (d.temperature != 0) {
            std::snprintf(temperature, sizeof temperature, "%u.%u ", d.temperature / 10u,
                          d.temperature % 10u);
        }
        std::string state = memberName(d.member);
        if (!d.raidSetId.empty() && d.member != Member::None) {
            state += " in " + escape(d.raidSetId);
        }
        if (d.failureWarning) {
            state += ", <font color=\"red\">failure predicted</font>";
        }
        html += "<td>" + escape(d.model) + "</td><td>" + escape(d.serial) + "</td><td>" +
                escape(d.firmware) + "</td><td>" + decimal(d.capacity) + "</td><td>" + temperature +
                (d.temperature ? degree : "") + "</td><td>" + std::to_string(d.scanErrors) + " / " +
                std::to_string(d.badBlocksRemapped) + " / " + std::to_string(d.crcErrors) +
                "</td><td>" + state + "</td></tr>\n";
    }
    html += "</table>\n";

    html += "<h3>Event Log</h3>\n<ul>\n";
    for (const std::string& e : events_) {
        html += "<li>" + escape(e) + "</li>\n";
    }
    html += "</ul>\n<p><small>" + std::string(latin1 ? "\xA9" : "&copy;") + " " +
            escape(identity_.vendor) + " controller firmware " + escape(identity_.auxText1) +
            "</small></p>\n</body>\n</html>\n";
    return html;
}

}  // namespace corvane::sim
