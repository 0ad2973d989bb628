#include "monitor/monitor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <ostream>
#include <set>
#include <sstream>

#include "dcp/texts.h"
#include "drl/conditions.h"
#include "drl/storage_manager_impl.h"
#include "monitor/atomic_file.h"
#include "monitor/exec.h"
#include "monitor/snapshot.h"
#include "os/clock.h"

namespace corvane::cli {

namespace {

constexpr const char* kStateMagic = "drivelore-monitor-state";
constexpr int kStateVersion = 1;
constexpr size_t kStateMaxBytes = 1 << 20;
// Counters that have not risen for this long are steady again.
constexpr int64_t kSteadyMs = 3600 * 1000;
constexpr int64_t kHotForMs = 10 * 60 * 1000;

int bayLevel(const KnownDevice::Bay& bay) {
    return drl::bayLevel(bay.present, bay.health);
}

const char* severityName(int severity) {
    switch (severity) {
        case 3:
            return "err";
        case 4:
            return "warning";
        case 5:
            return "notice";
        default:
            return "info";
    }
}

std::string bayKey(unsigned bay) {
    return "bay" + std::to_string(bay);
}

// What a snapshot says, with the parts that did not answer taken from before.
KnownDevice seenFrom(const DeviceSnapshot& s, const KnownDevice& before) {
    KnownDevice seen = before;
    seen.gone = false;
    seen.model = oneLineText(s.info->model);
    seen.path = oneLineText(s.info->devicePath);
    seen.raidStatus = s.info->raidStatus;
    seen.failureLikely = s.info->driveFailureLikely;
    seen.cacheDisabled = s.info->cacheDisabled;
    for (unsigned bay = 0; bay < dcp::kDriveBays; ++bay) {
        if (const auto& d = s.drives[bay]) {
            seen.bays[bay].present = d->present;
            seen.bays[bay].health = d->health;
            seen.bays[bay].member = d->memberState;
            if (d->present) {
                seen.bays[bay].serial = oneLineText(d->serialNumber);
                seen.bays[bay].model = oneLineText(d->model);
                seen.bays[bay].temperature = d->temperature;
                seen.bays[bay].scanErrors = d->scanErrors;
                seen.bays[bay].badBlocksRemapped = d->badBlocksRemapped;
                seen.bays[bay].crcErrors = d->crcErrors;
            }
        }
    }
    if (s.progress) {
        seen.operation = s.progress->operation;
        seen.phase = s.progress->phase;
    }
    return seen;
}

// A serial in hex, and "@diskN" after it for a serial that two devices report.
bool validKey(const std::string& key) {
    const size_t at = key.find('@');
    const std::string serial = key.substr(0, at);
    if (serial.empty() || serial.size() > 64 ||
        serial.find_first_not_of("0123456789abcdef") != std::string::npos) {
        return false;
    }
    uint64_t disk = 0;
    return at == std::string::npos ||
           (key.compare(at, 5, "@disk") == 0 && (key.size() == at + 6 || key[at + 5] != '0') &&
            parseUnsigned(key.substr(at + 5), drl::kDiskCount - 1, &disk));
}

bool parseFields(std::istringstream& in, std::vector<uint64_t> maxima, std::vector<uint64_t>* out) {
    out->clear();
    for (uint64_t max : maxima) {
        std::string word;
        uint64_t v = 0;
        if (!(in >> word) || !parseUnsigned(word, max, &v)) {
            return false;
        }
        out->push_back(v);
    }
    std::string extra;
    return !(in >> extra);
}

}  // namespace

bool parseUnsigned(const std::string& text, uint64_t max, uint64_t* out) {
    if (text.empty() || text.size() > 19 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    *out = std::stoull(text);
    return *out <= max;
}

struct Monitor::Event {
    std::string name;
    int severity = 6;
    std::string serial;
    std::string model;
    std::string path;
    int bay = -1;
    std::string message;
    bool reminder = false;
};

Monitor::Monitor(drl::CvnStorageManagerImpl& core, MonitorOptions options, std::ostream& log)
    : core_(core), options_(std::move(options)), log_(log) {
    lastTick_ = os::clock().tick();
    wallStart_ =
        options_.wallStartMs.value_or(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count());
    testPending_ = options_.test;
}

int64_t Monitor::now() {
    const uint32_t t = os::clock().tick();
    elapsed_ += uint32_t(t - lastTick_);
    lastTick_ = t;
    return wallStart_ + int64_t(elapsed_);
}

std::string Monitor::statePath() const {
    return options_.stateDir + "/monitor.state";
}

std::string Monitor::historyPath() const {
    return options_.historyPath.empty() ? options_.stateDir + "/history.sqlite"
                                        : options_.historyPath;
}

void Monitor::historySaid(bool ok, const std::string& message) {
    if (!message.empty()) {
        (ok ? info(message) : warn(message + "; going on without it"));
    }
}

void Monitor::keepHistory(const std::vector<history::Reading>& readings) {
    const int64_t t = now();
    std::string message;
    // Hourly: thinning, and another try at a file that could not be opened.
    if (t - prunedMs_ >= 3600 * 1000 || t < prunedMs_) {
        prunedMs_ = t;
        if (!history_.isOpen()) {
            history_.openForWriting(historyPath(), &message);
            if (history_.isOpen()) {
                info("writing the history to " + oneLineText(historyPath()) +
                     (message.empty() ? "" : " (" + message + ")"));
            }
            message.clear();
        }
        if (history_.isOpen()) {
            historySaid(history_.prune(t, &message), message);
        }
    }
    if (history_.isOpen()) {
        message.clear();
        historySaid(history_.add(readings, &message), message);
    }
}

void Monitor::record(const std::string& serial, int bay, const std::string& name, int severity,
                     const std::string& message) {
    if (!history_.isOpen()) {
        return;
    }
    std::string said;
    historySaid(history_.add(history::Event{now(), serial, bay, name, severity, message}, &said),
                said);
}

void Monitor::info(const std::string& line) {
    log_ << "<6>" << line << "\n" << std::flush;
}

void Monitor::warn(const std::string& line) {
    log_ << "<4>" << line << "\n" << std::flush;
}

void Monitor::start() {
    mkdir(options_.stateDir.c_str(), 0755);  // an existing one is fine; saving reports the rest
    std::string said;
    if (!history_.openForWriting(historyPath(), &said)) {
        warn(oneLineText(said) + "; going on without history");
    } else if (!said.empty()) {
        warn(oneLineText(said));
    }
    prunedMs_ = now() - 3600 * 1000;  // thinned at the first round
    const std::string path = statePath();
    // Never blocks on a FIFO and never reads through a link in the state folder.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT) {
            warn("cannot read the state file " + oneLineText(path) + ": " + std::strerror(errno) +
                 "; starting without the last known states");
        }
        return;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        warn("the state file " + oneLineText(path) +
             " is not a regular file; starting without the last known states");
        return;
    }
    std::string text(kStateMaxBytes + 1, '\0');
    size_t got = 0;
    ssize_t n = 0;
    while (got < text.size() && (n = ::read(fd, text.data() + got, text.size() - got)) > 0) {
        got += size_t(n);
    }
    ::close(fd);
    if (n < 0) {
        warn("cannot read the state file " + oneLineText(path) +
             "; starting without the last known states");
        return;
    }
    text.resize(got);
    std::string why;
    std::map<std::string, KnownDevice> loaded;
    if (text.size() > kStateMaxBytes) {
        why = "is larger than a state file can be";
    } else if (parseState(text, &loaded, &why)) {
        known_ = std::move(loaded);
        savedText_ = serialize(known_);
        info("last known states of " + std::to_string(known_.size()) + " device(s) read from " +
             oneLineText(path));
        return;
    }
    // Kept aside, not overwritten: it may be another version's, or someone else's.
    const std::string aside = path + ".bad";
    if (std::rename(path.c_str(), aside.c_str()) == 0) {
        warn("the state file " + oneLineText(path) + " " + why + "; moved to " +
             oneLineText(aside) + ", starting without the last known states");
    } else {
        warn("the state file " + oneLineText(path) + " " + why + " and cannot be moved aside (" +
             std::strerror(errno) + "); starting without the last known states");
    }
}

void Monitor::poll() {
    auto snapshots = takeSnapshots(core_);
    std::set<std::string> accounted;
    std::vector<history::Reading> readings;
    for (const DeviceSnapshot& s : snapshots) {
        if (s.serialText.empty()) {
            continue;
        }
        if (s.sharedSerial && sharedSerialsSaid_.insert(s.serialText).second) {
            warn("more than one device reports the serial " + s.serialText +
                 "; each is named by its serial and disk number");
        }
        if (s.initializing) {
            accounted.insert(s.key);  // busy, not gone: its state waits
            continue;
        }
        if (!s.info) {
            continue;  // listed but silent: handled as gone below
        }
        accounted.insert(s.key);
        auto it = known_.find(s.key);
        const bool firstSight = it == known_.end();
        KnownDevice& device = known_[s.key];
        const KnownDevice seen = seenFrom(s, device);
        if (firstSight) {
            const std::string found =
                std::string("found: RAID ") + dcp::raidStatusText(seen.raidStatus);
            info("found device " + s.key + " (" + seen.model + " at " + seen.path + "): RAID " +
                 dcp::raidStatusText(seen.raidStatus));
            record(s.key, -1, "device-found", 6, found);
        } else if (device.gone) {
            device.gone = false;
            Event e{"device-back", 5, s.key, seen.model, seen.path, -1, "answers again", false};
            if (device.conditions.erase("gone")) {
                tell(e);
            } else {
                info("device " + s.key + " (" + seen.model + " at " + seen.path +
                     ") answers again");
                record(s.key, -1, "device-back", 6, "answers again");
            }
        }
        observe(s.key, device, firstSight, seen);
        const int64_t t = now();
        for (unsigned bay = 0; bay < dcp::kDriveBays; ++bay) {
            const KnownDevice::Bay& b = device.bays[bay];
            if (s.drives[bay] && b.present) {
                readings.push_back({t, t, 1, s.key, bay, b.serial, b.health, b.member,
                                    b.temperature, b.scanErrors, b.badBlocksRemapped, b.crcErrors});
            }
        }
    }
    for (auto& [serial, device] : known_) {
        if (accounted.count(serial)) {
            continue;
        }
        if (!device.gone) {
            lost(serial, device);
        } else {
            remind(serial, device, "gone");
        }
    }
    if (testPending_) {
        testPending_ = false;
        unsigned sent = 0;
        for (const DeviceSnapshot& s : snapshots) {
            auto it = known_.find(s.key);
            if (s.info && it != known_.end()) {
                tell({"test", 6, s.key, it->second.model, it->second.path, -1,
                      "test event; the monitor calls the program like this for every change",
                      false});
                ++sent;
            }
        }
        if (sent == 0) {
            warn("--test: no device answered, so no test event was sent");
        }
    }
    keepHistory(readings);
    save();
    followOverTime(snapshots);
    lastRound_ = std::move(snapshots);
}

void Monitor::followOverTime(std::vector<DeviceSnapshot>& snapshots) {
    const uint32_t tick = os::clock().tick();
    std::set<std::string> kept;
    for (DeviceSnapshot& s : snapshots) {
        // A round without a progress answer keeps the run: the estimate itself ends when
        // the reports stop.
        if (!s.progress || s.progress->phase == dcp::PhaseProgressing) {
            kept.insert(s.key);
        }
        if (s.progress && s.progress->phase == dcp::PhaseProgressing) {
            drl::TimeLeftEstimator& estimate = timeLeft_[s.key];
            estimate.report(s.progress->operation, s.progress->percent, tick);
            s.secondsLeft = estimate.secondsLeft(tick);
        }
        const auto known = known_.find(s.key);
        if (!s.info || known == known_.end()) {
            continue;
        }
        DeviceSnapshot::Trends trends;
        for (unsigned bay = 0; bay < dcp::kDriveBays; ++bay) {
            trends.countersRising[bay] =
                known->second.conditions.count("rising" + std::to_string(bay));
            trends.temperatureHigh[bay] =
                known->second.conditions.count("hot" + std::to_string(bay));
        }
        s.trends = trends;
    }
    for (auto it = timeLeft_.begin(); it != timeLeft_.end();) {
        it = kept.count(it->first) ? std::next(it) : timeLeft_.erase(it);
    }
}

void Monitor::observe(const std::string& serial, KnownDevice& device, bool firstSight,
                      const KnownDevice& seen) {
    const KnownDevice before = device;
    const auto conditions = device.conditions;
    device = seen;
    device.conditions = conditions;

    // A long operation's end is news once; the RAID status carries the lasting state.
    if (const auto t = firstSight ? std::nullopt : operationEventText(before, seen)) {
        if (t->severity == 6) {  // a start is noted, not told
            info("device " + serial + " (" + seen.model + " at " + seen.path + "): " + t->message);
            record(serial, -1, t->name, 6, t->message);
        } else {
            tell({t->name, t->severity, serial, seen.model, seen.path, -1, t->message, false});
        }
    }

    std::vector<std::pair<std::string, int>> want;
    const int raid = drl::raidLevel(seen.raidStatus);
    auto held = [&](const std::string& key) {
        auto it = device.conditions.find(key);
        return it == device.conditions.end() ? 0 : it->second.level;
    };
    want.emplace_back("raid", raid < 0 ? held("raid") : raid);
    for (unsigned bay = 0; bay < dcp::kDriveBays; ++bay) {
        const int level = bayLevel(seen.bays[bay]);
        want.emplace_back(bayKey(bay), level < 0 ? held(bayKey(bay)) : level);
    }
    want.emplace_back("failure-likely", seen.failureLikely ? 1 : 0);
    want.emplace_back("cache-disabled", seen.cacheDisabled ? 1 : 0);
    for (const auto& trend : trends(serial, device, seen)) {
        want.push_back(trend);
    }

    for (const auto& [key, level] : want) {
        const int old = held(key);
        if (level == old) {
            if (level > 0) {
                remind(serial, device, key);
            }
            continue;
        }
        std::string was;
        if (key == "raid") {
            was = dcp::raidStatusText(before.raidStatus);
        } else if (key.compare(0, 3, "bay") == 0 && key.size() == 4) {
            was = dcp::healthText(before.bays[unsigned(key[3] - '0')].health);
        }
        if (firstSight) {
            was.clear();
        }
        tell(conditionEvent(serial, device, key, level, was));
        if (level > 0) {
            device.conditions[key] = {level, now()};
        } else {
            device.conditions.erase(key);
        }
    }
}

bool operationRunning(uint32_t phase) {
    return phase == dcp::PhasePreparing || phase == dcp::PhaseProgressing;
}

bool lossIsTrouble(const KnownDevice& device) {
    bool troubled = operationRunning(device.phase) || device.raidStatus == dcp::RaidRebuilding;
    for (const auto& c : device.conditions) {
        troubled = troubled || c.second.level > 0;
    }
    return troubled;
}

EventText conditionEventText(const KnownDevice& device, const std::string& key, int level,
                             const std::string& was) {
    EventText e{"", level == 0 ? 5 : 3, -1, ""};
    const std::string wasText = was.empty() ? "" : " (was " + was + ")";
    if (key == "raid") {
        e.name = level == 0 ? "raid-normal" : level == 1 ? "raid-degraded" : "raid-failed";
        e.message = std::string("RAID ") + dcp::raidStatusText(device.raidStatus) + wasText;
    } else if (key == "gone") {
        e.name = "device-gone";
        e.message = "no longer answers while RAID " +
                    std::string(dcp::raidStatusText(device.raidStatus)) +
                    (operationRunning(device.phase)
                         ? ", " + std::string(dcp::operationText(device.operation)) + " running"
                         : "");
    } else if (key == "failure-likely") {
        e.name = level ? "failure-likely" : "failure-likely-cleared";
        e.severity = level ? 4 : 5;
        e.message = level ? "Drive Failure is Likely" : "Drive failure is no longer likely";
    } else if (key == "cache-disabled") {
        e.name = level ? "cache-disabled" : "cache-enabled";
        e.severity = level ? 4 : 5;
        e.message =
            level ? "Performance Not Optimized (Cache Disabled)" : "Write cache enabled again";
    } else if (key.compare(0, 6, "rising") == 0 || key.compare(0, 3, "hot") == 0) {
        const unsigned bay = unsigned(key.back() - '0');
        const KnownDevice::Bay& b = device.bays[bay];
        e.bay = int(bay);
        e.severity = level ? 4 : 5;
        const std::string drive =
            "bay " + std::to_string(bay) + ": drive " + b.serial + " (" + b.model + ") ";
        char degrees[32];
        std::snprintf(degrees, sizeof degrees, "%.1f C", b.temperature / 10.0);
        if (key[0] == 'r') {
            e.name = level ? "counter-rising" : "counter-steady";
            e.message = drive + (level ? "error counters rising" : "error counters steady") +
                        " (scan errors " + std::to_string(b.scanErrors) + ", remapped blocks " +
                        std::to_string(b.badBlocksRemapped) + ", CRC errors " +
                        std::to_string(b.crcErrors) + ")";
        } else {
            std::snprintf(degrees + std::strlen(degrees), sizeof degrees - std::strlen(degrees),
                          level ? " for 10 minutes or more" : "");
            e.name = level ? "temperature-high" : "temperature-normal";
            e.message = drive + (level ? "temperature high: " : "temperature normal: ") + degrees;
        }
    } else {
        const unsigned bay = unsigned(key[3] - '0');
        const KnownDevice::Bay& b = device.bays[bay];
        e.bay = int(bay);
        const std::string drive =
            "bay " + std::to_string(bay) + ": drive " + b.serial + " (" + b.model + ") ";
        if (level == 0) {
            e.name = b.present ? "drive-healthy" : "drive-removed";
            e.message = b.present ? drive + dcp::healthText(b.health) + wasText
                                  : drive + "removed" + wasText;
        } else {
            e.name = level == 1 ? "drive-warning" : "drive-failed";
            e.severity = level == 1 ? 4 : 3;
            e.message = drive + dcp::healthText(b.health) + wasText;
        }
    }
    return e;
}

std::optional<EventText> operationEventText(const KnownDevice& before, const KnownDevice& seen) {
    if (seen.phase == before.phase && seen.operation == before.operation) {
        return std::nullopt;
    }
    const bool init = seen.operation == dcp::TypeInitConfiguration;
    const std::string name = init ? "initialization" : "rebuild";
    const std::string what = dcp::operationText(seen.operation);
    if (seen.phase == dcp::PhaseCompleted) {
        return EventText{name + "-completed", 5, -1, what + " Completed"};
    }
    if (seen.phase == dcp::PhaseFailed) {
        return EventText{name + "-failed", 3, -1, what + " Failed"};
    }
    if (seen.phase == dcp::PhaseDiskTooSmall) {
        return EventText{name + "-disk-too-small", 3, -1, what + " Failed: Disk Too Small"};
    }
    if (operationRunning(seen.phase) && !operationRunning(before.phase)) {
        return EventText{name + "-started", 6, -1, what + " started"};
    }
    return std::nullopt;
}

Monitor::Event Monitor::conditionEvent(const std::string& serial, const KnownDevice& device,
                                       const std::string& key, int level, const std::string& was) {
    const EventText t = conditionEventText(device, key, level, was);
    return Event{t.name, t.severity, serial, device.model, device.path, t.bay, t.message, false};
}

std::vector<std::pair<std::string, int>> TrendFollower::levels(const KnownDevice& device,
                                                               const KnownDevice& seen, int64_t t,
                                                               std::vector<unsigned>* wentDown) {
    std::vector<std::pair<std::string, int>> out;
    for (unsigned bay = 0; bay < dcp::kDriveBays; ++bay) {
        const KnownDevice::Bay& b = seen.bays[bay];
        Trend& trend = bays_[bay];
        const std::string rising = "rising" + std::to_string(bay);
        const std::string hot = "hot" + std::to_string(bay);
        auto held = [&](const std::string& key) {
            auto it = device.conditions.find(key);
            return it == device.conditions.end() ? 0 : it->second.level;
        };
        if (!b.present) {
            trend = Trend();
            out.emplace_back(rising, 0);
            out.emplace_back(hot, 0);
            continue;
        }
        const uint32_t counters[3] = {b.scanErrors, b.badBlocksRemapped, b.crcErrors};
        bool rose = false, fell = false;
        if (trend.drive == b.serial) {
            for (int i = 0; i < 3; ++i) {
                rose = rose || counters[i] > trend.counters[i];
                fell = fell || counters[i] < trend.counters[i];
            }
        } else {
            // A new drive, or the first reading since the start: the baseline, no news. A
            // condition read from the state file clears after a steady hour from now.
            trend.lastRiseMs = t;
        }
        if (fell) {
            wentDown->push_back(bay);
            rose = false;
        }
        trend.drive = b.serial;
        std::copy(counters, counters + 3, trend.counters);
        if (rose) {
            trend.lastRiseMs = t;
        }
        out.emplace_back(rising,
                         rose || (held(rising) > 0 && t - trend.lastRiseMs < kSteadyMs) ? 1 : 0);

        if (b.temperature == 0) {
            out.emplace_back(hot, held(hot));  // not known: no news either way
            continue;
        }
        if (b.temperature < maxTemperature_) {
            trend.hotSinceMs = -1;
        } else if (trend.hotSinceMs < 0 || t < trend.hotSinceMs) {
            trend.hotSinceMs = t;
        }
        out.emplace_back(
            hot,
            trend.hotSinceMs >= 0 && (held(hot) > 0 || t - trend.hotSinceMs >= kHotForMs) ? 1 : 0);
    }
    return out;
}

std::vector<std::pair<std::string, int>> Monitor::trends(const std::string& serial,
                                                         const KnownDevice& device,
                                                         const KnownDevice& seen) {
    std::vector<unsigned> wentDown;
    auto& follower = trends_.try_emplace(serial, options_.maxTemperature).first->second;
    auto out = follower.levels(device, seen, now(), &wentDown);
    for (unsigned bay : wentDown) {
        info("device " + serial + " bay " + std::to_string(bay) + ": error counters of drive " +
             seen.bays[bay].serial + " went down; taken as the new baseline");
    }
    return out;
}

void Monitor::remind(const std::string& serial, KnownDevice& device, const std::string& key) {
    auto it = device.conditions.find(key);
    if (it == device.conditions.end() || options_.remindMs == 0) {
        return;
    }
    const int64_t t = now();
    if (t < it->second.reportedMs) {
        it->second.reportedMs = t;  // the wall clock was set back
    }
    if (uint64_t(t - it->second.reportedMs) < options_.remindMs) {
        return;
    }
    Event e = conditionEvent(serial, device, key, it->second.level, "");
    e.reminder = true;
    tell(e);
    it->second.reportedMs = t;
}

void Monitor::lost(const std::string& serial, KnownDevice& device) {
    device.gone = true;
    if (!lossIsTrouble(device)) {
        info("device " + serial + " (" + device.model + " at " + device.path +
             ") no longer answers");
        record(serial, -1, "device-lost", 6, "no longer answers");
        return;
    }
    tell(conditionEvent(serial, device, "gone", 1, ""));
    device.conditions["gone"] = {1, now()};
}

void Monitor::tell(const Event& e) {
    const std::string subject =
        "device " + e.serial + " (" + e.model + " at " + e.path + "): " + e.message;
    log_ << "<" << e.severity << ">" << (e.reminder ? "reminder: " : "") << subject << " ["
         << e.name << "]\n"
         << std::flush;
    record(e.serial, e.bay, e.name, e.severity, (e.reminder ? "reminder: " : "") + e.message);
    if (options_.program.empty()) {
        return;
    }
    const std::map<std::string, std::string> env = {
        {"DRIVELORE_EVENT", e.name},
        {"DRIVELORE_SEVERITY", severityName(e.severity)},
        {"DRIVELORE_SERIAL", e.serial},
        {"DRIVELORE_MODEL", e.model},
        {"DRIVELORE_DEVICE_PATH", e.path},
        {"DRIVELORE_BAY", e.bay < 0 ? "" : std::to_string(e.bay)},
        {"DRIVELORE_MESSAGE", (e.reminder ? "reminder: " : "") + subject},
        {"DRIVELORE_REMINDER", e.reminder ? "1" : "0"},
    };
    const ProgramOutcome outcome = runProgram(options_.program, env, options_.execTimeoutMs);
    const std::string program = oneLineText(options_.program);
    if (outcome.kind == ProgramOutcome::NotStarted) {
        // Said once, not for every event: the events themselves are all in this log.
        if (!programMissingLogged_) {
            log_ << "<3>" << program << " " << describe(outcome, options_.execTimeoutMs)
                 << "; events are only logged here until it can be run\n"
                 << std::flush;
            programMissingLogged_ = true;
        }
        return;
    }
    programMissingLogged_ = false;
    if (outcome.kind != ProgramOutcome::Exited || outcome.code != 0) {
        log_ << "<3>" << program << " for " << e.name << " of device " << e.serial << " "
             << describe(outcome, options_.execTimeoutMs) << "\n"
             << std::flush;
    }
}

void Monitor::save() {
    const std::string text = serialize(known_);
    if (text == savedText_) {
        return;
    }
    std::string error;
    if (!writeFileAtomically(statePath(), text, &error)) {
        if (error != saveError_) {
            warn("cannot save the last known states: " + oneLineText(error) +
                 "; going on, trying again each round");
            saveError_ = error;
        }
        return;
    }
    if (!saveError_.empty()) {
        info("last known states saved again to " + oneLineText(statePath()));
        saveError_.clear();
    }
    savedText_ = text;
}

std::string Monitor::serialize(const std::map<std::string, KnownDevice>& known) {
    std::ostringstream out;
    out << kStateMagic << " " << kStateVersion << "\n";
    for (const auto& [serial, d] : known) {
        out << "device " << serial << "\n"
            << "model " << d.model << "\n"
            << "path " << d.path << "\n"
            << "state " << d.gone << " " << d.raidStatus << " " << d.failureLikely << " "
            << d.cacheDisabled << " " << d.operation << " " << d.phase << "\n";
        for (unsigned bay = 0; bay < d.bays.size(); ++bay) {
            const auto& b = d.bays[bay];
            out << "bay " << bay << " " << b.present << " " << b.health << " " << b.member << "\n"
                << "bay-serial " << bay << " " << b.serial << "\n"
                << "bay-model " << bay << " " << b.model << "\n";
        }
        for (const auto& [key, c] : d.conditions) {
            out << "condition " << key << " " << c.level << " " << c.reportedMs << "\n";
        }
    }
    out << "end " << known.size() << "\n";
    return out.str();
}

bool Monitor::parseState(const std::string& text, std::map<std::string, KnownDevice>* out,
                         std::string* why) {
    std::istringstream lines(text);
    std::string line;
    if (!std::getline(lines, line) ||
        line.compare(0, std::strlen(kStateMagic) + 1, std::string(kStateMagic) + " ") != 0) {
        *why = "is not a state file of drivelore-cli monitor";
        return false;
    }
    if (line != std::string(kStateMagic) + " " + std::to_string(kStateVersion)) {
        *why = "was written by another version (\"" + oneLineText(line) + "\")";
        return false;
    }
    std::map<std::string, KnownDevice> result;
    KnownDevice* current = nullptr;
    unsigned number = 1;
    bool ended = false;
    static const std::set<std::string> keys = {
        "raid",    "bay0",    "bay1",    "bay2",          "bay3", "failure-likely",
        "rising0", "rising1", "rising2", "rising3",       "hot0", "hot1",
        "hot2",    "hot3",    "gone",    "cache-disabled"};
    while (std::getline(lines, line)) {
        ++number;
        const std::string bad = "is damaged at line " + std::to_string(number);
        if (ended) {
            *why = bad + " (text after its end)";
            return false;
        }
        if (lines.eof()) {
            *why = "is truncated (its last line is incomplete)";
            return false;
        }
        const size_t space = line.find(' ');
        const std::string word = line.substr(0, space);
        const std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
        std::istringstream in(rest);
        std::vector<uint64_t> v;
        if (word == "device") {
            if (!validKey(rest) || result.count(rest)) {
                *why = bad;
                return false;
            }
            current = &result[rest];
            continue;
        }
        if (word == "end") {
            if (!parseFields(in, {~0ull >> 1}, &v) || v[0] != result.size()) {
                *why = bad;
                return false;
            }
            ended = true;
            continue;
        }
        if (!current) {
            *why = bad;
            return false;
        }
        if (word == "model") {
            current->model = rest;
        } else if (word == "path") {
            current->path = rest;
        } else if (word == "state" && parseFields(in, {1, 255, 1, 1, 255, 255}, &v)) {
            current->gone = v[0];
            current->raidStatus = uint32_t(v[1]);
            current->failureLikely = v[2];
            current->cacheDisabled = v[3];
            current->operation = uint32_t(v[4]);
            current->phase = uint32_t(v[5]);
        } else if (word == "bay" && parseFields(in, {3, 1, 255, 255}, &v)) {
            auto& b = current->bays[v[0]];
            b.present = v[1];
            b.health = uint32_t(v[2]);
            b.member = uint32_t(v[3]);
        } else if ((word == "bay-serial" || word == "bay-model") && rest.size() >= 2 &&
                   rest[0] >= '0' && rest[0] <= '3' && rest[1] == ' ') {
            auto& b = current->bays[unsigned(rest[0] - '0')];
            (word == "bay-serial" ? b.serial : b.model) = rest.substr(2);
        } else if (word == "condition") {
            std::string key;
            in >> key;
            if (!keys.count(key) || !parseFields(in, {2, ~0ull >> 1}, &v) || v[0] == 0) {
                *why = bad;
                return false;
            }
            current->conditions[key] = {int(v[0]), int64_t(v[1])};
        } else {
            *why = bad;
            return false;
        }
    }
    if (!ended) {
        *why = "is truncated (no end line)";
        return false;
    }
    *out = std::move(result);
    return true;
}

}  // namespace corvane::cli
