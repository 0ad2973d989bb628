#include "cli/cli.h"

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
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
#include "cli/monitor_command.h"
#include "cli/records_out.h"
#include "cli/via_helper.h"
#include "dcp/decoders.h"
#include "dcp/dispatch.h"
#include "dcp/framing.h"
#include "dcp/payload.h"
#include "dcp/texts.h"
#include "drl/storage_manager_impl.h"
#include "drl/time_left.h"
#include "drl_version.h"
#include "io/debug.h"
#include "io/passthrough.h"
#include "io/platform.h"
#include "os/clock.h"
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
    "  progress [--follow [--interval MS]]\n"
    "                             the running initialisation or rebuild; --follow asks\n"
    "                             every MS (default 20000) until it ends, with the time left\n"
    "  rebuild [--yes] [--force]  rebuild a degraded RAID onto a new drive\n"
    "  init --capacity-mode M [--yes] [--force]\n"
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
    "  --debug                    say on standard error why each exchange took the\n"
    "                             path it took (vendor command or in-band mailbox)\n"
    "  --json                     one JSON object per record\n"
    "  --yes                      do not ask before rebuild or init\n"
    "  --force                    send rebuild or init although the device's information\n"
    "                             says it is not ready for it\n"
    "  --version                  the version of drivelore-cli\n"
    "  -h, --help                 this text; COMMAND --help for one command\n"
    "\n"
    "Exit status: 0 done, 1 declined, refused by the device or not allowed by its\n"
    "information, 2 usage error, 3 not a device of ours (disk images included),\n"
    "4 disk could not be opened or did not answer, 130/143 stopped by SIGINT/SIGTERM\n"
    "(between two exchanges with the device, never inside one).\n";

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
     "usage: drivelore-cli [--disk PATH | --disk-number N] [--json] progress [--follow\n"
     "                     [--interval MS]]\n"
     "Shows the running operation, its phase and its percentage. --follow asks again\n"
     "every MS milliseconds (default 20000) until the operation has ended, and adds the\n"
     "time left once the reports tell it (JSON: secondsLeft).\n"},
    {"rebuild",
     "usage: drivelore-cli [--disk PATH | --disk-number N] [--json] rebuild [--yes] "
     "[--force]\n"
     "Starts a rebuild of a degraded RAID set. Asks first unless --yes. Refused\n"
     "unless the device says it is ready for a rebuild, or --force is given.\n"
     "Exit status 1 when declined, not ready or refused by the device.\n"},
    {"init",
     "usage: drivelore-cli [--disk PATH | --disk-number N] [--json] init "
     "--capacity-mode M [--yes] [--force]\n"
     "Initialises a new RAID-5 set: ALL DATA ON THE DRIVES IS DESTROYED.\n"
     "M: 0 \"Limit Capacity to 2.2TB (best OS compatibility)\", 1 \"Limit Capacity\n"
     "to Multiple of 2.2TB (prevents most data corruption)\", 2 \"Maximize Capacity\n"
     "(use with caution)\". Asks first unless --yes. Refused unless the device says\n"
     "an initialisation may be started, or --force is given.\n"},
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
    bool debug = false;
    std::vector<std::string> emulated;
    uint32_t blockSize = 512;
    bool json = false;
    bool yes = false;
    bool force = false;
    bool help = false;
    bool version = false;
    std::optional<uint32_t> bay;
    std::optional<uint32_t> capacityMode;
    uint32_t interval = 60000;
    bool follow = false;
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

bool powerOfTwo(uint64_t n) {
    return n != 0 && (n & (n - 1)) == 0;
}

Options parse(const std::vector<std::string>& args) {
    Options o;
    std::set<std::string> given;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a.size() > 1 && a[0] == '-') {
            // -y and --yes, -h and --help are one option each.
            const std::string name = a == "-y" ? "--yes" : a == "-h" ? "--help" : a;
            if (!given.insert(name).second) {
                throw UsageError(name + " is given twice");
            }
        }
        auto value = [&]() -> std::string {
            if (i + 1 >= args.size()) {
                throw UsageError(a + " needs a value");
            }
            return args[++i];
        };
        auto text = [&]() -> std::string {
            std::string v = value();
            if (v.empty()) {
                throw UsageError(a + " needs a value, not an empty text");
            }
            return v;
        };
        auto number = [&](uint64_t max) {
            const std::string v = value();
            uint64_t n = 0;
            if (!parseNumber(v, max, &n)) {
                throw UsageError("bad value for " + a + ": \"" + terminalText(v) + "\" (0.." +
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
        } else if (a == "--force") {
            o.force = true;
        } else if (a == "--disk") {
            o.diskPath = text();
        } else if (a == "--disk-number") {
            o.diskNumber = uint32_t(number(25));
        } else if (a == "--disk-pattern") {
            o.diskPattern = text();
        } else if (a == "--via-helper") {
            o.viaHelper = true;
        } else if (a == "--debug") {
            o.debug = true;
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
            const std::string v = value();
            uint64_t n = 0;
            if (!parseNumber(v, 65536, &n) || n < 512 || !powerOfTwo(n)) {
                throw UsageError("bad block size \"" + terminalText(v) +
                                 "\" for --block-size: a power of two from 512 to 65536");
            }
            o.blockSize = uint32_t(n);
        } else if (a == "--bay") {
            o.bay = uint32_t(number(dcp::kDriveBays - 1));
        } else if (a == "--capacity-mode") {
            o.capacityMode = uint32_t(number(2));
        } else if (a == "--interval") {
            o.interval = uint32_t(number(0xFFFFFFFFu));
        } else if (a == "--follow") {
            o.follow = true;
        } else if (a == "--count") {
            o.count = number(~0ull >> 1);
        } else if (!a.empty() && a[0] == '-') {
            throw UsageError("unknown option " + terminalText(a));
        } else if (o.command.empty()) {
            if (!kCommandHelp.count(a)) {
                throw UsageError("unknown command " + terminalText(a));
            }
            o.command = a;
            if (a == "monitor" || a == "metrics") {
                o.commandArgs.assign(args.begin() + long(i) + 1, args.end());
                break;
            }
        } else {
            throw UsageError("unexpected argument " + terminalText(a));
        }
    }
    // Options that say different things about which disks to use.
    const bool allDisks = o.command == "scan" || o.command == "watch" || o.command == "monitor" ||
                          o.command == "metrics";
    const std::pair<const char*, const char*> contradictions[] = {{"--disk", "--disk-number"},
                                                                  {"--disk", "--emulated"},
                                                                  {"--disk", "--disk-pattern"},
                                                                  {"--disk-pattern", "--emulated"}};
    for (const auto& [first, second] : contradictions) {
        if (given.count(first) && given.count(second)) {
            throw UsageError(std::string(first) + " and " + second + " contradict each other");
        }
    }
    if (allDisks && (o.diskPath || o.diskNumber)) {
        throw UsageError(std::string(o.diskPath ? "--disk" : "--disk-number") +
                         " does not go with " + o.command + ", which uses every disk");
    }
    if (given.count("--block-size") && o.emulated.empty()) {
        throw UsageError("--block-size goes with --emulated");
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
    const bool longOperation = o.command == "rebuild" || o.command == "init";
    if ((o.yes || o.force) && !longOperation && !o.command.empty()) {
        throw UsageError(std::string(o.yes ? "--yes" : "--force") + " goes with rebuild or init");
    }
    if (o.follow && o.command != "progress") {
        throw UsageError("--follow goes with progress");
    }
    if (o.count && o.command != "watch") {
        throw UsageError("--count goes with watch");
    }
    if (given.count("--interval") && o.command != "watch" && !o.follow) {
        throw UsageError("--interval goes with watch or progress --follow");
    }
    if (o.follow && !given.count("--interval")) {
        o.interval = 20000;
    }
    return o;
}

// The device a one-device command talks to, probed before anything else is sent.
struct OpenDevice {
    io::UniqueDrive handle;
    uint32_t blockSize = 0;
    dcp::DiskRef ref;
    std::string name;  // shown escaped
    uint32_t configurationKey = 0;
    // The probe's answer: info prints it, rebuild and init check what it allows.
    std::unique_ptr<dcp::DcpRespInfo> info;
};

// The exit status for a stop asked by a signal; 0 when none was.
int stopped(const std::atomic<int>& interrupted, std::ostream& err) {
    const int signal = interrupted.load();
    if (signal == 0) {
        return 0;
    }
    err << "drivelore-cli: stopped by "
        << (signal == SIGTERM  ? "SIGTERM"
            : signal == SIGINT ? "SIGINT"
                               : "a signal")
        << " between two exchanges with the device\n";
    return 128 + signal;
}

int openDevice(const Options& o, OpenDevice* d, std::ostream& err) {
    int error = 0;
    if (o.diskPath) {
        d->name = terminalText(*o.diskPath);
        d->ref = dcp::DiskRef::named(*o.diskPath);
        // An image has no device behind it; a command sector would only be written into
        // the file. Images stay read-only and get no exchange at all.
        struct stat st {};
        if (o.emulated.empty() && ::stat(o.diskPath->c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            err << "drivelore-cli: " << d->name
                << ": a regular file (a disk image) is not a device: it is only opened "
                   "read-only and no command is sent to it; give the block device "
                   "(/dev/sdX, or a loop device)\n";
            return ExitNotOurs;
        }
        d->handle.reset(io::openDrivePath(*o.diskPath, &error));
    } else {
        const uint32_t n = o.diskNumber.value_or(0);
        d->name = terminalText(io::platform().diskPath(n));
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
    uint8_t tooLarge = 0;
    const uint32_t r = dcp::executeCommand(d->handle.get(), d->blockSize, dcp::kCommandCode,
                                           request, sizeof request, payload, sizeof payload,
                                           &tooLarge, dcp::kExchangeRetries);
    if (r == dcp::InfoSectorInvalid) {
        err << "drivelore-cli: " << d->name
            << ": not a device of ours (no answer to the vendor command, no valid info sector)\n";
        return ExitNotOurs;
    }
    if (r != dcp::TransportOk) {
        err << "drivelore-cli: " << d->name
            << ": the device did not answer: " << dcp::transportResultName(r) << "\n";
        return ExitIoFailure;
    }
    if (!dcp::isOwnDevice(payload)) {
        err << "drivelore-cli: " << d->name << ": not a device of ours (vendor \""
            << terminalText(dcp::latin1ToUtf8(dcp::fixedText(payload + 10, 16))) << "\")\n";
        return ExitNotOurs;
    }
    d->configurationKey = dcp::configurationKeyOf(payload);
    dcp::DcpRespInfo* info = nullptr;
    if (dcp::infoFromPayload(payload, tooLarge != 0, d->handle.get(), d->ref, &info) != drl::Ok) {
        err << "drivelore-cli: out of memory\n";
        return ExitIoFailure;
    }
    d->info.reset(info);
    return ExitOk;
}

int print(const Options& o, const dcp::DcpResponse& record, std::ostream& out) {
    out << (o.json ? toJson(record) + "\n" : toText(record)) << std::flush;
    return ExitOk;
}

// One request on the opened device; prints the record unless it is kept.
int request(const Options& o, OpenDevice& d, const dcp::DcpRequest& req, std::ostream& out,
            std::ostream& err, const std::atomic<int>& interrupted,
            std::unique_ptr<dcp::DcpResponse>* keep = nullptr, bool printIt = true) {
    if (int r = stopped(interrupted, err)) {
        return r;
    }
    dcp::DcpResponse* response = nullptr;
    uint32_t r = drl::Ok;
    if (req.type == dcp::TypeGetStatusText) {
        // A long (or endless) report is fetched in many exchanges; stop between them.
        dcp::DcpRespStatusText* text = nullptr;
        r = dcp::fetchStatusText(d.handle.get(), d.blockSize,
                                 static_cast<const dcp::DcpReqGetStatusText&>(req), &text,
                                 [&] { return interrupted.load() != 0; });
        response = text;
    } else {
        r = dcp::dispatchRequest(d.handle.get(), d.ref, req, d.configurationKey, &response);
    }
    if (int s = stopped(interrupted, err); s && r != drl::Ok) {
        return s;
    }
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
    if (printIt) {
        print(o, *owned, out);
    }
    if (keep) {
        *keep = std::move(owned);
    }
    return ExitOk;
}

// Progress reports every o.interval until the operation is no longer running, each with
// the time left once the estimator has it.
int followProgress(const Options& o, OpenDevice& d, std::ostream& out, std::ostream& err,
                   const std::atomic<int>& interrupted) {
    drl::TimeLeftEstimator estimate;
    for (;;) {
        std::unique_ptr<dcp::DcpResponse> answer;
        if (int r =
                request(o, d, dcp::DcpReqGetProgress(), out, err, interrupted, &answer, false)) {
            return r;
        }
        const auto& p = static_cast<const dcp::DcpRespProgress&>(*answer);
        const uint32_t now = os::clock().tick();
        std::optional<uint32_t> left;
        if (p.phase == dcp::PhaseProgressing) {
            estimate.report(p.operation, p.percent, now);
            left = estimate.secondsLeft(now);
        } else {
            estimate.reset();
        }
        std::string line = o.json ? toJson(p) : toText(p);
        if (left) {
            if (o.json) {
                line.insert(line.size() - 1, ",\"secondsLeft\":" + std::to_string(*left));
            } else {
                line.insert(line.size() - 1, ", " + timeLeftText(*left));
            }
        }
        out << line << (o.json ? "\n" : "") << std::flush;
        if (p.phase != dcp::PhasePreparing && p.phase != dcp::PhaseProgressing) {
            return ExitOk;
        }
        // In slices, so that a signal ends the wait as it ends the exchanges.
        for (uint32_t slept = 0; slept < o.interval && !interrupted.load();) {
            const uint32_t slice = std::min<uint32_t>(o.interval - slept, 200);
            os::clock().sleep(slice);
            slept += slice;
        }
    }
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

int oneDevice(const Options& o, std::ostream& out, std::ostream& err, std::istream& in,
              const std::atomic<int>& interrupted) {
    // Refusals that need no device come first.
    if (o.command == "init") {
        dcp::DcpReqInitConfiguration check(dcp::kConfigurationRaid5, *o.capacityMode);
        if (dcp::checkRequest(check) != drl::Ok) {
            err << "drivelore-cli: unsupported configuration\n";
            return ExitUsage;
        }
    }
    if (int r = stopped(interrupted, err)) {
        return r;
    }
    OpenDevice d;
    if (int r = openDevice(o, &d, err)) {
        return r;
    }
    if (o.command == "info") {
        // The probe was this command's exchange.
        return print(o, *d.info, out);
    }
    if (o.command == "drives") {
        for (uint32_t bay = 0; bay < dcp::kDriveBays; ++bay) {
            if (o.bay && *o.bay != bay) {
                continue;
            }
            if (int r = request(o, d, dcp::DcpReqGetDriveInfo(bay), out, err, interrupted)) {
                return r;
            }
        }
        return ExitOk;
    }
    if (o.command == "report") {
        return request(o, d, dcp::DcpReqGetStatusText(), out, err, interrupted);
    }
    if (o.command == "progress") {
        return o.follow ? followProgress(o, d, out, err, interrupted)
                        : request(o, d, dcp::DcpReqGetProgress(), out, err, interrupted);
    }
    // The window offers these two only when the device's information allows them.
    const bool rebuild = o.command == "rebuild";
    const bool allowed = rebuild ? d.info->readyForRebuild : d.info->canInitialize;
    if (!allowed && !o.force) {
        err << "drivelore-cli: " << d.name << ": "
            << (rebuild ? "the device is not ready for a rebuild"
                        : "the device does not allow a RAID initialisation now")
            << " (RAID status: " << dcp::raidStatusText(d.info->raidStatus)
            << "); --force sends the command anyway\n";
        return ExitNotDone;
    }
    if (int r = stopped(interrupted, err)) {
        return r;
    }
    if (rebuild) {
        if (!o.yes && !confirm("Rebuild the RAID set of " + d.name + "?", err, in)) {
            if (int r = stopped(interrupted, err)) {
                return r;
            }
            err << "drivelore-cli: not started\n";
            return ExitNotDone;
        }
        std::unique_ptr<dcp::DcpResponse> answer;
        if (int r = request(o, d, dcp::DcpReqRebuild(), out, err, interrupted, &answer)) {
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
        if (int r = stopped(interrupted, err)) {
            return r;
        }
        err << "drivelore-cli: not started\n";
        return ExitNotDone;
    }
    std::unique_ptr<dcp::DcpResponse> answer;
    if (int r =
            request(o, d, dcp::DcpReqInitConfiguration(dcp::kConfigurationRaid5, *o.capacityMode),
                    out, err, interrupted, &answer)) {
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
    return "device " + std::to_string(id) + ": " + terminalText(info.devicePath) + "  " +
           terminalText(dcp::latin1ToUtf8(info.model)) + "  " + info.serialText + "  " +
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

// Disks 0 to 25, one GetInfo exchange each, numbered as a fresh registry numbers them
// (in disk order); the answer of the exchange is what is printed.
int scanCommand(const Options& o, std::ostream& out, std::ostream& err,
                const std::atomic<int>& interrupted) {
    drl::DrlDevId next = 0;
    for (uint32_t n = 0; n < drl::kDiskCount; ++n) {
        if (int r = stopped(interrupted, err)) {
            return r;
        }
        int error = 0;
        io::UniqueDrive disk(io::openPhysicalDrive(n, &error));
        io::DiskGeometry geometry;
        if (!disk || !io::getDriveGeometry(disk.get(), &geometry)) {
            continue;
        }
        uint8_t request[dcp::kRequestPayloadSize] = {dcp::SubGetInfo};
        uint8_t payload[dcp::kResponsePayloadSize] = {};
        uint8_t tooLarge = 0;
        if (dcp::executeCommand(disk.get(), geometry.bytesPerSector, dcp::kCommandCode, request,
                                sizeof request, payload, sizeof payload, &tooLarge,
                                dcp::kExchangeRetries) != dcp::TransportOk ||
            !dcp::isOwnDevice(payload)) {
            continue;
        }
        dcp::DcpRespInfo* info = nullptr;
        if (dcp::infoFromPayload(payload, tooLarge != 0, disk.get(), dcp::DiskRef::numbered(n),
                                 &info) != drl::Ok) {
            err << "drivelore-cli: out of memory\n";
            return ExitIoFailure;
        }
        std::unique_ptr<dcp::DcpRespInfo> owned(info);
        out << deviceLine(next++, *owned, o.json) << "\n" << std::flush;
    }
    if (next == 0 && !o.json) {
        out << "No devices found.\n";
    }
    return ExitOk;
}

int watchCommand(const Options& o, std::ostream& out, std::ostream& err,
                 const std::atomic<int>& interrupted) {
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
    if (interrupted.load() != 0) {
        err << "drivelore-cli: stopped watching ("
            << (interrupted.load() == SIGTERM ? "SIGTERM" : "SIGINT") << ")\n";
        return 128 + interrupted.load();
    }
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

// The transport's notes on standard error for the length of one command line.
class DebugNotes {
public:
    DebugNotes(bool on, std::ostream& err) : on_(on) {
        if (on_) {
            io::setDebugSink([&err](const std::string& line) {
                err << "drivelore-cli: debug: " << terminalText(line) << "\n";
            });
        }
    }
    ~DebugNotes() {
        if (on_) {
            io::setDebugSink(nullptr);
        }
    }
    DebugNotes(const DebugNotes&) = delete;
    DebugNotes& operator=(const DebugNotes&) = delete;

private:
    bool on_;
};

}  // namespace

int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
        std::istream& in, const std::atomic<int>& interrupted) {
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
    const DebugNotes notes(o.debug, err);
    if (o.diskPattern) {
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
                err << "drivelore-cli: unknown profile \"" << terminalText(o.emulated[n])
                    << "\" in --emulated\n";
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
        return scanCommand(o, out, err, interrupted);
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
    return oneDevice(o, out, err, in, interrupted);
}

}  // namespace corvane::cli
