#include "cli/metrics.h"

#include <cstdio>
#include <map>
#include <ostream>
#include <sstream>

#include "cli/cli.h"
#include "dcp/payload.h"
#include "dcp/texts.h"
#include "monitor/atomic_file.h"
#include "monitor/snapshot.h"

namespace corvane::cli {

const char* const kMetricsHelp =
    "usage: drivelore-cli [--disk-pattern P] metrics [--output FILE]\n"
    "Prints the state of every device in the Prometheus text format: device\n"
    "information, RAID status and capacity, each bay's drive with its health, member\n"
    "state, temperature and error counters, and the progress of a running operation.\n"
    "--output FILE replaces FILE atomically instead, e.g. for node_exporter's textfile\n"
    "collector (/var/lib/prometheus/node-exporter/drivelore.prom).\n";

namespace {

// Label values: UTF-8 with backslash, double quote and line feed escaped.
std::string labelValue(const std::string& latin1) {
    std::string out;
    for (char c : dcp::latin1ToUtf8(latin1)) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

std::string number(double v) {
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", v);
    return text;
}

// Samples grouped by metric, so that each family is written in one block.
class Exposition {
public:
    void family(const std::string& name, const char* type, const char* help) {
        order_.push_back(name);
        heads_[name] = "# HELP " + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    void sample(const std::string& name,
                const std::vector<std::pair<const char*, std::string>>& labels, double value) {
        std::string line = name;
        if (!labels.empty()) {
            line += "{";
            for (size_t i = 0; i < labels.size(); ++i) {
                line +=
                    std::string(i ? "," : "") + labels[i].first + "=\"" + labels[i].second + "\"";
            }
            line += "}";
        }
        bodies_[name] += line + " " + number(value) + "\n";
    }
    std::string str() const {
        std::string out;
        for (const std::string& name : order_) {
            out += heads_.at(name);
            auto it = bodies_.find(name);
            if (it != bodies_.end()) {
                out += it->second;
            }
        }
        return out;
    }

private:
    std::vector<std::string> order_;
    std::map<std::string, std::string> heads_, bodies_;
};

}  // namespace

std::string formatMetrics(const std::vector<DeviceSnapshot>& devices, bool followed) {
    Exposition x;
    x.family("drivelore_devices", "gauge", "Devices of ours found on this machine.");
    x.family(
        "drivelore_device_up", "gauge",
        "1 when the device answered, 0 when it is listed but silent (initialising or failing).");
    x.family("drivelore_device_info", "gauge", "Identity of the device; always 1.");
    x.family("drivelore_raid_status", "gauge",
             "RAID status: 0 unknown, 1 normal, 2 degraded, 3 rebuilding, 4 failed, 5 failed "
             "(multiple RAID sets present).");
    x.family("drivelore_raid_drive_failure_likely", "gauge", "1 when a drive failure is likely.");
    x.family("drivelore_raid_cache_disabled", "gauge", "1 when the write cache is disabled.");
    x.family("drivelore_raid_capacity_bytes", "gauge", "RAID capacity the device reports.");
    x.family("drivelore_raid_os_capacity_bytes", "gauge", "Disk size the operating system sees.");
    x.family("drivelore_drive_present", "gauge", "1 when a drive is in the bay.");
    x.family("drivelore_drive_info", "gauge", "Identity of the drive in a bay; always 1.");
    x.family("drivelore_drive_capacity_bytes", "gauge", "Capacity of the drive.");
    x.family("drivelore_drive_health", "gauge",
             "Drive health: 0 unknown, 1 healthy, 2 failure warning, 3 failed.");
    x.family("drivelore_drive_member_state", "gauge",
             "Membership in the RAID set: 0 none, 1 active, 2 rebuilding, 3 inactive.");
    x.family("drivelore_drive_temperature_celsius", "gauge",
             "Drive temperature; absent when the drive does not know it.");
    x.family("drivelore_drive_scan_errors_total", "counter", "Scan errors of the drive.");
    x.family("drivelore_drive_bad_blocks_remapped_total", "counter",
             "Bad blocks the drive has remapped.");
    x.family("drivelore_drive_crc_errors_total", "counter", "CRC errors on the drive's link.");
    x.family("drivelore_operation_phase", "gauge",
             "Phase of the last initialisation or rebuild: 0 none or unknown, 1 preparing, 2 "
             "progressing, 3 completed, 4 failed, 5 disk too small.");
    x.family("drivelore_operation_progress_ratio", "gauge",
             "Progress of the last initialisation or rebuild, 0 to 1.");
    x.family("drivelore_operation_remaining_seconds", "gauge",
             "Estimated time left of a running initialisation or rebuild; absent while it "
             "cannot be told.");
    if (followed) {
        x.family("drivelore_drive_counters_rising", "gauge",
                 "1 while the drive's error counters rose within the last hour (the monitor's "
                 "counter-rising event).");
        x.family("drivelore_drive_temperature_high", "gauge",
                 "1 while the drive has been at or above the monitor's limit for 10 minutes (its "
                 "temperature-high event).");
    }

    x.sample("drivelore_devices", {}, double(devices.size()));
    for (const DeviceSnapshot& d : devices) {
        // The key, not the bare serial: two devices reporting one serial would otherwise give
        // duplicate series, and a collector rejects the whole file for one.
        const std::string serial = labelValue(d.key);
        x.sample("drivelore_device_up", {{"serial", serial}}, d.info ? 1 : 0);
        if (!d.info) {
            continue;
        }
        const dcp::DcpRespInfo& info = *d.info;
        x.sample("drivelore_device_info",
                 {{"serial", serial},
                  {"model", labelValue(info.model)},
                  {"product", labelValue(info.productName)},
                  {"firmware", labelValue(info.firmwareDate + " " + info.firmwareTime)},
                  {"device", labelValue(info.devicePath)}},
                 1);
        const std::vector<std::pair<const char*, std::string>> dev = {{"serial", serial}};
        x.sample("drivelore_raid_status", dev, info.raidStatus);
        x.sample("drivelore_raid_drive_failure_likely", dev, info.driveFailureLikely);
        x.sample("drivelore_raid_cache_disabled", dev, info.cacheDisabled);
        x.sample("drivelore_raid_capacity_bytes", dev, double(info.capacity));
        x.sample("drivelore_raid_os_capacity_bytes", dev, double(info.osCapacity));
        for (uint32_t bay = 0; bay < dcp::kDriveBays; ++bay) {
            const auto& drive = d.drives[bay];
            if (!drive) {
                continue;  // not answered: better absent than a made-up value
            }
            const std::vector<std::pair<const char*, std::string>> at = {
                {"serial", serial}, {"bay", std::to_string(bay)}};
            x.sample("drivelore_drive_present", at, drive->present);
            if (!drive->present) {
                continue;  // a pulled drive's details linger in the answer
            }
            x.sample("drivelore_drive_info",
                     {{"serial", serial},
                      {"bay", std::to_string(bay)},
                      {"model", labelValue(drive->model)},
                      {"drive_serial", labelValue(drive->serialNumber)}},
                     1);
            x.sample("drivelore_drive_capacity_bytes", at, double(drive->capacity));
            x.sample("drivelore_drive_health", at, drive->health);
            x.sample("drivelore_drive_member_state", at, drive->memberState);
            if (drive->temperature != 0) {
                x.sample("drivelore_drive_temperature_celsius", at, drive->temperature / 10.0);
            }
            x.sample("drivelore_drive_scan_errors_total", at, drive->scanErrors);
            x.sample("drivelore_drive_bad_blocks_remapped_total", at, drive->badBlocksRemapped);
            x.sample("drivelore_drive_crc_errors_total", at, drive->crcErrors);
            if (followed && d.trends) {
                x.sample("drivelore_drive_counters_rising", at, d.trends->countersRising[bay]);
                x.sample("drivelore_drive_temperature_high", at, d.trends->temperatureHigh[bay]);
            }
        }
        if (d.progress) {
            const std::vector<std::pair<const char*, std::string>> op = {
                {"serial", serial},
                {"operation", d.progress->operation == dcp::TypeInitConfiguration ? "initialization"
                                                                                  : "rebuild"}};
            x.sample("drivelore_operation_phase", op, d.progress->phase);
            x.sample("drivelore_operation_progress_ratio", op,
                     d.progress->percent / double(dcp::kPercentFull));
            if (d.secondsLeft && d.progress->phase == dcp::PhaseProgressing) {
                x.sample("drivelore_operation_remaining_seconds", op, *d.secondsLeft);
            }
        }
    }
    return x.str();
}

int metricsCommand(const std::vector<std::string>& args, bool emulated, std::ostream& out,
                   std::ostream& err) {
    std::string output;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "-h" || args[i] == "--help") {
            out << kMetricsHelp;
            return ExitOk;
        }
        if (args[i] == "--output" && i + 1 < args.size() && !args[i + 1].empty()) {
            output = args[++i];
            continue;
        }
        err << "drivelore-cli: metrics: "
            << (args[i] == "--output" ? "--output needs a file name"
                                      : "unexpected argument " + args[i])
            << "\nTry 'drivelore-cli metrics --help'.\n";
        return ExitUsage;
    }
    auto core = openCore(emulated);
    if (!core || !core->waitForScans(1, std::chrono::seconds(120))) {
        err << "drivelore-cli: the disks could not be scanned\n";
        return ExitIoFailure;
    }
    const std::string text = formatMetrics(takeSnapshots(*core));
    core.reset();
    if (output.empty()) {
        out << text << std::flush;
        return ExitOk;
    }
    std::string error;
    if (!writeFileAtomically(output, text, &error)) {
        err << "drivelore-cli: metrics not written (" << output << " kept as it was): " << error
            << "\n";
        return ExitIoFailure;
    }
    return ExitOk;
}

}  // namespace corvane::cli
