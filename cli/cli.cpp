#include "cli/cli.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <istream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <set>
#include <sstream>

#include "cli/json.h"
#include "cli/metrics.h"
#include "cli/monitor.h"
#include "cli/records_out.h"
#include "cli/via_helper.h"
#include "dcp/decoders.h"
#include "dcp/dispatch.h"
#include "dcp/framing.h"
#include "dcp/payload.h"
#include "dcp/texts.h"
#include "drl/storage_manager_impl.h"
#include "drl_version.h"
#include "io/passthrough.h"
#include "io/platform.h"
#include "os/device_listener.h"
#include "sim/profiles.h"

namespace corvane::cli {
namespace {

const char* kUsage =
    "usage: drivelore-cli [options] COMMAND [command options]\n"
    "\n"
    "Commands on one device:\n"
    "  info                       identity, RAID configuration, capacity and warnings\n"
    "  drives [--bay N]           the drives in the bays (N = 0..3)\n"
    "  report                     the status report as the device sends it (HTML)\n"
    "  progress                   the running initialisation or rebuild\n"
    "  rebuild [--yes]            rebuild a degraded RAID onto a new drive\n"
    "  init --capacity-mode M [--yes]\n"
    "                             initialise a new RAID-5 set; destroys all data on the\n"
    "                             drives. M: 0 limit to 2.2 TB, 1 multiple of 2.2 TB,\n"
    "                             2 maximise capacity\n"
    "Commands on all disks:\n"
    "  scan                       every device on disks 0 to 25\n"
    "  watch [--interval MS] [--count N]\n"
    "                             follow devices as they come and go, and their periodic\n"
    "                             answers, until interrupted (or N events)\n"
    "  monitor [--exec PROGRAM] [--remind HOURS] ...\n"
    "                             report every device's changes for the worse and the\n"
    "                             better, and run PROGRAM for each\n"
    "  metrics [--output FILE]    every device's state in the Prometheus text format\n"
    "\n"
    "Options:\n"
    "  --disk PATH                a block device or a disk image\n"
    "  --disk-number N            disk N (/dev/sd + letter a+N)\n"
    "  --disk-pattern PATTERN     paths of the numbered disks, %c letter or %d number\n"
    "                             (default /dev/sd%c; e.g. /dev/loop%d)\n"
    "  --emulated P[,P...]        run on built-in emulated devices on disks 0, 1, ...\n"
    "                             profiles: PROFILES\n"
    "  --block-size B             block size of the emulated disks (default 512)\n"
    "  --via-helper               open the disks through drivelore-helper (pkexec)\n"
    "  --json                     one JSON object per record\n"
    "  --yes                      do not ask before rebuild or init\n"
    "  --version                  the version of drivelore-cli\n"
    "  -h, --help                 this text; COMMAND --help for one command\n"
    "\n"
    "Exit status: 0 done, 1 declined or refused by the device, 2 usage error,\n"
    "3 not a device of ours, 4 disk could not be opened or did not answer.\n";

const std::map<std::string, std::string> kCommandHelp = {
    {"info",
     "usage: drivelore-cli [--disk PATH | --disk-number N] [--json] info\n"
     "Shows the device's identity, RAID configuration, capacity and warnings.\n"},
    {"drives",
     "usage: drivelore-cli [--disk PATH | --disk-number N] [--json] drives [--bay N]\n"
     "Shows the drive in each bay (or in bay N, 0..3): model, serial number,\n"
     "capacity, health, temperature and error counters.\n"},
    {"report",
     "usage: drivelore-cli [--disk PATH | --disk-number N] [--json] report\n"
     "Prints the status report that the device composes, as HTML.\n"},
    {"progress",
     "usage: drivelore-cli [--disk PATH | --disk-number N] [--json] progress\n"
     "Shows the running operation, its phase and its percentage.\n"},
    {"rebuild",
     "usage: drivelore-cli [--disk PATH | --disk-number N] [--json] rebuild [--yes]\n"
     "Starts a rebuild of a degraded RAID set. Asks first unless --yes.\n"
     "Exit status 1 when declined or refused by the device.\n"},
    {"init",
     "usage: drivelore-cli [--disk PATH | --disk-number N] [--json] init "
     "--capacity-mode M [--yes]\n"
     "Initialises a new RAID-5 set: ALL DATA ON THE DRIVES IS DESTROYED.\n"
     "M: 0 \"Limit Capacity to 2.2TB (best OS compatibility)\", 1 \"Limit Capacity\n"
     "to Multiple of 2.2TB (prevents most data corruption)\", 2 \"Maximize Capacity\n"
     "(use with caution)\". Asks first unless --yes.\n"},
    {"scan",
     "usage: drivelore-cli [--disk-pattern P] [--json] scan\n"
     "Lists every device of ours on disks 0 to 25 with its device id.\n"},
    {"watch",
     "usage: drivelore-cli [--disk-pattern P] [--json] watch [--interval MS] "
     "[--count N]\n"
     "Prints the device list whenever it changes, and each periodic answer\n"
     "(device information and drives, every MS milliseconds, default 60000),\n"
     "until interrupted or until N events were printed.\n"},
    {"monitor", kMonitorHelp},
    {"metrics", kMetricsHelp},
};

struct Options {
    std::string command;
    std::optional<std::string> diskPath;
    std::optional<uint32_t> diskNumber;
    std::optional<std::string> diskPattern;
    bool viaHelper = false;
    std::vector<std::string> emulated;
    uint32_t blockSize = 512;
    bool json = false;
    bool yes = false;
    bool help = false;
    bool version = false;
    std::optional<uint32_t> bay;
    std::optional<uint32_t> capacityMode;
    uint32_t interval = 60000;
    std::optional<uint64_t> count;
    std::vector<std::string> commandArgs;  // monitor and metrics parse their own
};

bool parseNumber(const std::string& text, uint64_t max, uint64_t* out) {
    if (text.empty() || text.size() > 20 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
    if (errno != 0 || v > max) {
        return false;
    }
    *out = v;
    return true;
}

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

Options parse(const std::vector<std::string>& args) {
    Options o;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= args.size()) {
                throw UsageError(a + " needs a value");
            }
            return args[++i];
        };
        auto number = [&](uint64_t max) {
            const std::string v = value();
            uint64_t n = 0;
            if (!parseNumber(v, max, &n)) {
                throw UsageError("bad value for " + a + ": \"" + v + "\" (0.." +
                                 std::to_string(max) + ")");
            }
            return n;
        };
        if (a == "-h" || a == "--help") {
            o.help = true;
        } else if (a == "--version") {
            o.version = true;
        } else if (a == "--json") {
            o.json = true;
        } else if (a == "--yes" || a == "-y") {
            o.yes = true;
        } else if (a == "--disk") {
            o.diskPath = value();
        } else if (a == "--disk-number") {
            o.diskNumber = uint32_t(number(25));
        } else if (a == "--disk-pattern") {
            o.diskPattern = value();
        } else if (a == "--via-helper") {
            o.viaHelper = true;
        } else if (a == "--emulated") {
            const std::string list = value() + ",";
            for (size_t at = 0, comma; (comma = list.find(',', at)) != std::string::npos;
                 at = comma + 1) {
                if (comma == at) {
                    throw UsageError("--emulated needs profile names, separated by commas");
                }
                o.emulated.push_back(list.substr(at, comma - at));
            }
        } else if (a == "--block-size") {
            o.blockSize = uint32_t(number(65536));
        } else if (a == "--bay") {
            o.bay = uint32_t(number(dcp::kDriveBays - 1));
        } else if (a == "--capacity-mode") {
            o.capacityMode = uint32_t(number(2));
        } else if (a == "--interval") {
            o.interval = uint32_t(number(0xFFFFFFFFu));
        } else if (a == "--count") {
            o.count = number(~0ull >> 1);
        } else if (!a.empty() && a[0] == '-') {
            throw UsageError("unknown option " + a);
        } else if (o.command.empty()) {
            if (!kCommandHelp.count(a)) {
                throw UsageError("unknown command " + a);
            }
            o.command = a;
            if (a == "monitor" || a == "metrics") {
                o.commandArgs.assign(args.begin() + long(i) + 1, args.end());
                break;
            }
        } else {
            throw UsageError("unexpected argument " + a);
        }
    }
    if (o.diskPath && o.diskNumber) {
        throw UsageError("give --disk or --disk-number, not both");
    }
    if (o.command == "init" && !o.help && !o.capacityMode) {
        throw UsageError("init needs --capacity-mode 0, 1 or 2");
    }
    if (o.bay && o.command != "drives") {
        throw UsageError("--bay goes with drives");
    }
    if (o.capacityMode && o.command != "init") {
        throw UsageError("--capacity-mode goes with init");
    }
    return o;
}

// The device a one-device command talks to, probed before anything else is sent.
struct OpenDevice {
    io::UniqueDrive handle;
    uint32_t blockSize = 0;
    dcp::DiskRef ref;
    std::string name;
    uint32_t configurationKey = 0;
};

int openDevice(const Options& o, OpenDevice* d, std::ostream& err) {
    int error = 0;
    if (o.diskPath) {
        d->name = *o.diskPath;
        d->ref = dcp::DiskRef::named(*o.diskPath);
        d->handle.reset(io::openDrivePath(*o.diskPath, &error));
    } else {
        const uint32_t n = o.diskNumber.value_or(0);
        d->name = io::platform().diskPath(n);
        d->ref = dcp::DiskRef::numbered(n);
        d->handle.reset(io::openPhysicalDrive(n, &error));
    }
    if (!d->handle) {
        err << "drivelore-cli: " << d->name << ": cannot open: " << std::strerror(error)
            << (error == EACCES || error == EPERM ? " (raw disks need root)" : "") << "\n";
        return ExitIoFailure;
    }
    io::DiskGeometry geometry;
    if (!io::getDriveGeometry(d->handle.get(), &geometry)) {
        err << "drivelore-cli: " << d->name << ": cannot read the block size\n";
        return ExitIoFailure;
    }
    d->blockSize = geometry.bytesPerSector;

    uint8_t request[dcp::kRequestPayloadSize] = {dcp::SubGetInfo};
    uint8_t payload[dcp::kResponsePayloadSize] = {};
    const uint32_t r = dcp::executeCommand(d->handle.get(), d->blockSize, dcp::kCommandCode,
                                           request, sizeof request, payload, sizeof payload,
                                           nullptr, dcp::kExchangeRetries);
    if (r == dcp::InfoSectorInvalid) {
        err << "drivelore-cli: " << d->name
            << ": not a device of ours (no answer to the vendor command, no info sector)\n";
        return ExitNotOurs;
    }
    if (r != dcp::TransportOk) {
        err << "drivelore-cli: " << d->name
            << ": the device did not answer: " << dcp::transportResultName(r) << "\n";
        return ExitIoFailure;
    }
    if (!dcp::isOwnDevice(payload)) {
        err << "drivelore-cli: " << d->name << ": not a device of ours (vendor \""
            << dcp::latin1ToUtf8(dcp::fixedText(payload + 10, 16)) << "\")\n";
        return ExitNotOurs;
    }
    d->configurationKey = dcp::configurationKeyOf(payload);
    return ExitOk;
}

// One request on the opened device; prints the record.
int request(const Options& o, OpenDevice& d, const dcp::DcpRequest& req, std::ostream& out,
            std::ostream& err, std::unique_ptr<dcp::DcpResponse>* keep = nullptr) {
    dcp::DcpResponse* response = nullptr;
    const uint32_t r =
        dcp::dispatchRequest(d.handle.get(), d.ref, req, d.configurationKey, &response);
    if (r == drl::InvalidArgument || r == drl::UnsupportedRequest) {
        err << "drivelore-cli: request refused before it was sent\n";
        return ExitUsage;
    }
    if (r != drl::Ok) {
        err << "drivelore-cli: " << d.name << ": the device did not answer"
            << (r == drl::OutOfMemory ? " (out of memory)" : "") << "\n";
        return ExitIoFailure;
    }
    std::unique_ptr<dcp::DcpResponse> owned(response);
    out << (o.json ? toJson(*owned) + "\n" : toText(*owned));
    if (keep) {
        *keep = std::move(owned);
    }
    return ExitOk;
}

bool confirm(const std::string& question, std::ostream& err, std::istream& in) {
    err << question << " [y/N] " << std::flush;
    std::string answer;
    if (!std::getline(in, answer)) {
        err << "\n";
        return false;
    }
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "YES";
}

int oneDevice(const Options& o, std::ostream& out, std::ostream& err, std::istream& in) {
    // Refusals that need no device come first.
    if (o.command == "init") {
        dcp::DcpReqInitConfiguration check(dcp::kConfigurationRaid5, *o.capacityMode);
        if (dcp::checkRequest(check) != drl::Ok) {
            err << "drivelore-cli: unsupported configuration\n";
            return ExitUsage;
        }
    }
    OpenDevice d;
    if (int r = openDevice(o, &d, err)) {
        return r;
    }
    if (o.command == "info") {
        return request(o, d, dcp::DcpReqGetInfo(), out, err);
    }
    if (o.command == "drives") {
        for (uint32_t bay = 0; bay < dcp::kDriveBays; ++bay) {
            if (o.bay && *o.bay != bay) {
                continue;
            }
            if (int r = request(o, d, dcp::DcpReqGetDriveInfo(bay), out, err)) {
                return r;
            }
        }
        return ExitOk;
    }
    if (o.command == "report") {
        return request(o, d, dcp::DcpReqGetStatusText(), out, err);
    }
    if (o.command == "progress") {
        return request(o, d, dcp::DcpReqGetProgress(), out, err);
    }
    if (o.command == "rebuild") {
        if (!o.yes && !confirm("Rebuild the RAID set of " + d.name + "?", err, in)) {
            err << "drivelore-cli: not started\n";
            return ExitNotDone;
        }
        std::unique_ptr<dcp::DcpResponse> answer;
        if (int r = request(o, d, dcp::DcpReqRebuild(), out, err, &answer)) {
            return r;
        }
        return static_cast<dcp::DcpRespRebuild&>(*answer).result == dcp::RebuildInProgress
                   ? ExitOk
                   : ExitNotDone;
    }
    // init
    if (!o.yes && !confirm("Initialise a new RAID-5 set on " + d.name + " (" +
                               dcp::capacityModeText(*o.capacityMode) +
                               ")? ALL DATA ON ITS DRIVES WILL BE LOST.",
                           err, in)) {
        err << "drivelore-cli: not started\n";
        return ExitNotDone;
    }
    std::unique_ptr<dcp::DcpResponse> answer;
    if (int r =
            request(o, d, dcp::DcpReqInitConfiguration(dcp::kConfigurationRaid5, *o.capacityMode),
                    out, err, &answer)) {
        return r;
    }
    return static_cast<dcp::DcpRespInitConfiguration&>(*answer).result == dcp::InitInitialized
               ? ExitOk
               : ExitNotDone;
}

// Events of the core, handed from its worker to the printing thread.
class EventQueue : public drl::DrlNotifier {
public:
    struct Item {
        uint32_t type = 0;
        uint32_t commId = 0;
        drl::DrlDevId devId = 0;
        std::string record;  // the periodic answer, already printed to text or JSON
    };

    explicit EventQueue(bool json) : json_(json) {}

    void notify(const drl::DrlEvent& event) override {
        Item item;
        item.type = event.type;
        if (event.type == drl::AsyncCommResult) {
            const auto& e = static_cast<const drl::DrlEventAsyncComm&>(event);
            item.commId = e.commId;
            item.devId = e.devId;
            item.record = json_ ? toJson(*e.response) : toText(*e.response);
        }
        std::lock_guard<std::mutex> lock(m_);
        items_.push_back(std::move(item));
        cv_.notify_all();
    }

    bool next(Item* out, std::chrono::milliseconds wait) {
        std::unique_lock<std::mutex> lock(m_);
        if (!cv_.wait_for(lock, wait, [this] { return !items_.empty(); })) {
            return false;
        }
        *out = std::move(items_.front());
        items_.pop_front();
        return true;
    }

private:
    bool json_;
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<Item> items_;
};

std::string deviceLine(drl::DrlDevId id, const dcp::DcpRespInfo& info, bool json) {
    if (json) {
        std::string record = toJson(info);
        return "{\"devId\":" + std::to_string(id) + "," + record.substr(1);
    }
    return "device " + std::to_string(id) + ": " + dcp::latin1ToUtf8(info.devicePath) + "  " +
           dcp::latin1ToUtf8(info.model) + "  " + info.serialText + "  " +
           dcp::raidStatusText(info.raidStatus) + "  " + formatBytes(info.capacity);
}

// GetInfo of every listed device; devices that stopped answering are left out.
std::vector<std::string> listDevices(drl::CvnStorageManager& core, bool json) {
    std::vector<drl::DrlDevId> ids;
    core.getDevices(&ids);
    std::vector<std::string> lines;
    for (drl::DrlDevId id : ids) {
        dcp::DcpReqGetInfo info;
        dcp::DcpResponse* response = nullptr;
        if (core.execute(id, &info, &response) == drl::Ok) {
            std::unique_ptr<dcp::DcpResponse> owned(response);
            lines.push_back(deviceLine(id, static_cast<const dcp::DcpRespInfo&>(*owned), json));
        }
    }
    return lines;
}

std::unique_ptr<drl::CvnStorageManagerImpl> startCore(bool emulated) {
    // Emulated devices announce themselves in-process; real disks through udev.
    auto listener = os::DeviceListener::create(emulated ? os::DeviceSource::InProcess
                                                        : os::DeviceSource::Automatic);
    return std::unique_ptr<drl::CvnStorageManagerImpl>(
        static_cast<drl::CvnStorageManagerImpl*>(drl::CvnStorageManager::create(listener)));
}

int scanCommand(const Options& o, std::ostream& out, std::ostream& err) {
    auto core = startCore(!o.emulated.empty());
    if (!core || !core->waitForScans(1, std::chrono::seconds(120))) {
        err << "drivelore-cli: the disks could not be scanned\n";
        return ExitIoFailure;
    }
    const auto lines = listDevices(*core, o.json);
    for (const auto& line : lines) {
        out << line << "\n";
    }
    if (lines.empty() && !o.json) {
        out << "No devices found.\n";
    }
    return ExitOk;
}

int watchCommand(const Options& o, std::ostream& out, std::ostream& err,
                 const std::atomic<bool>& interrupted) {
    auto core = startCore(!o.emulated.empty());
    if (!core) {
        err << "drivelore-cli: cannot start watching\n";
        return ExitIoFailure;
    }
    EventQueue queue(o.json);
    core->addNotifier(&queue);
    std::map<drl::DrlDevId, std::vector<uint32_t>> periodic;
    uint64_t printed = 0;
    auto done = [&] { return interrupted.load() || (o.count && printed >= *o.count); };

    EventQueue::Item item;
    while (!done()) {
        if (!queue.next(&item, std::chrono::milliseconds(100))) {
            continue;
        }
        if (item.type == drl::AsyncCommResult) {
            if (o.json) {
                out << "{\"event\":\"AsyncCommResult\",\"commId\":" << item.commId
                    << ",\"devId\":" << item.devId << ",\"record\":" << item.record << "}\n";
            } else {
                out << "device " << item.devId << " (request " << item.commId << "):\n"
                    << item.record;
            }
            out.flush();
            ++printed;
            continue;
        }
        const bool returned = item.type == drl::DeviceReturned;
        const auto lines = listDevices(*core, o.json);
        if (o.json) {
            out << "{\"event\":\"" << (returned ? "DeviceReturned" : "DeviceListChanged")
                << "\",\"devices\":[";
            for (size_t i = 0; i < lines.size(); ++i) {
                out << (i ? "," : "") << lines[i];
            }
            out << "]}\n";
        } else {
            out << (returned ? "A device is back" : "Device list") << " (" << lines.size()
                << " devices):\n";
            for (const auto& line : lines) {
                out << "  " << line << "\n";
            }
        }
        out.flush();
        ++printed;

        // Periodic requests for new devices; the core drops those of vanished ones.
        std::vector<drl::DrlDevId> ids;
        core->getDevices(&ids);
        const std::set<drl::DrlDevId> present(ids.begin(), ids.end());
        for (auto it = periodic.begin(); it != periodic.end();) {
            it = present.count(it->first) ? std::next(it) : periodic.erase(it);
        }
        for (drl::DrlDevId id : ids) {
            if (periodic.count(id)) {
                continue;
            }
            std::vector<uint32_t>& comms = periodic[id];
            uint32_t comm = 0;
            dcp::DcpReqGetInfo info;
            if (core->startAsyncComm(id, &info, o.interval, &comm) == drl::Ok) {
                comms.push_back(comm);
            }
            for (uint32_t bay = 0; bay < dcp::kDriveBays; ++bay) {
                dcp::DcpReqGetDriveInfo drive(bay);
                if (core->startAsyncComm(id, &drive, o.interval, &comm) == drl::Ok) {
                    comms.push_back(comm);
                }
            }
        }
    }
    core->removeNotifier(&queue);
    return ExitOk;
}

std::string usage() {
    std::string text = kUsage;
    std::string names;
    for (const auto& n : sim::profileNames()) {
        names += (names.empty() ? "" : ", ") + n;
    }
    text.replace(text.find("PROFILES"), 8, names);
    return text;
}

}  // namespace

int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
        std::istream& in, const std::atomic<bool>& interrupted) {
    Options o;
    try {
        o = parse(args);
    } catch (const UsageError& e) {
        err << "drivelore-cli: " << e.what() << "\n"
            << "Try 'drivelore-cli --help'.\n";
        return ExitUsage;
    }
    if (o.version) {
        out << "drivelore-cli " DRL_VERSION "\n";
        return ExitOk;
    }
    if (o.help) {
        out << (o.command.empty() ? usage() : kCommandHelp.at(o.command));
        return ExitOk;
    }
    if (o.command.empty()) {
        err << usage();
        return ExitUsage;
    }
    if (o.diskPattern) {
        if (!o.emulated.empty()) {
            err << "drivelore-cli: --disk-pattern does not go with --emulated\n";
            return ExitUsage;
        }
        io::setPlatform(io::makeLinuxPlatform(*o.diskPattern));
    }
    if (!o.emulated.empty()) {
        if (o.emulated.size() > 26) {
            err << "drivelore-cli: at most 26 emulated devices\n";
            return ExitUsage;
        }
        auto platform = std::make_shared<sim::EmulatedPlatform>();
        for (unsigned n = 0; n < o.emulated.size(); ++n) {
            auto device = sim::makeProfile(o.emulated[n], {o.blockSize, n, nullptr});
            if (!device) {
                err << "drivelore-cli: unknown profile \"" << o.emulated[n] << "\" or block size "
                    << o.blockSize << "\n";
                return ExitUsage;
            }
            platform->plug(n, device->disk);
        }
        platform->setChangeListener([] { os::announceDeviceChange(); });
        io::setPlatform(o.viaHelper ? helperInProcess(platform) : platform);
    } else if (o.viaHelper) {
        if (o.diskPath) {
            err << "drivelore-cli: --via-helper opens disks by number, not by path\n";
            return ExitUsage;
        }
        if (const int code = startHelper(o.diskPattern.value_or("/dev/sd%c"), err)) {
            return code;
        }
    }
    if (o.command == "scan") {
        return scanCommand(o, out, err);
    }
    if (o.command == "watch") {
        return watchCommand(o, out, err, interrupted);
    }
    if (o.command == "monitor") {
        return monitorCommand(o.commandArgs, !o.emulated.empty(), out, err, interrupted);
    }
    if (o.command == "metrics") {
        return metricsCommand(o.commandArgs, !o.emulated.empty(), out, err);
    }
    return oneDevice(o, out, err, in);
}

}  // namespace corvane::cli
