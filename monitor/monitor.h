#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <iosfwd>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "drl/time_left.h"
#include "monitor/history.h"
#include "monitor/snapshot.h"

namespace corvane::drl {
class CvnStorageManagerImpl;
}

namespace corvane::cli {

struct MonitorOptions {
    std::string stateDir = "/var/lib/drivelore";
    std::string program;  // run for each event; empty: log only
    uint32_t execTimeoutMs = 30000;
    uint64_t remindMs = 24ull * 3600 * 1000;  // 0: report once
    uint32_t intervalMs = 60000;
    bool test = false;
    std::optional<uint64_t> rounds;
    std::string historyPath;        // empty: history.sqlite in the state folder
    uint32_t maxTemperature = 550;  // tenths of a degree Celsius
    // Wall-clock milliseconds when the monitor starts; time after that is counted with the
    // injected os::Clock. Unset: the system's real-time clock.
    std::optional<int64_t> wallStartMs;
};

// What the monitor knew of a device at its last round; kept in the state file. Texts are
// already in their one-line display form.
struct KnownDevice {
    struct Bay {
        bool present = false;
        uint32_t health = 0;
        uint32_t member = 0;
        std::string serial;
        std::string model;
        // The last reading; not kept in the state file.
        uint32_t temperature = 0;
        uint32_t scanErrors = 0;
        uint32_t badBlocksRemapped = 0;
        uint32_t crcErrors = 0;
    };
    // A worse state being reported, and when it was last.
    struct Condition {
        int level = 0;
        int64_t reportedMs = 0;
    };
    std::string model;
    std::string path;
    bool gone = false;
    uint32_t raidStatus = 0;
    bool failureLikely = false;
    bool cacheDisabled = false;
    std::array<Bay, 4> bays;
    uint32_t operation = 0;
    uint32_t phase = 0;
    std::map<std::string, Condition> conditions;
};

// One event as the monitor names, rates (journal priority) and words it.
struct EventText {
    std::string name;
    int severity = 6;
    int bay = -1;
    std::string message;
};

// A device's condition `key` (raid, bay0..bay3, failure-likely, cache-disabled, rising0..3,
// hot0..3, gone) reaching `level` (0 fine); `was` names the state before, or is empty.
EventText conditionEventText(const KnownDevice& device, const std::string& key, int level,
                             const std::string& was);
// A long operation's phase that changed from `before`'s to `seen`'s: completed, failed, disk
// too small or (severity 6) started; nothing for any other change.
std::optional<EventText> operationEventText(const KnownDevice& before, const KnownDevice& seen);

// A long operation in this phase is still under way.
bool operationRunning(uint32_t phase);
// A device that stops answering in this state is a warning, not news.
bool lossIsTrouble(const KnownDevice& device);

// What a device's drive readings tell over time: error counters rising (until an hour
// without a rise) and a temperature at or above the limit for 10 minutes.
class TrendFollower {
public:
    explicit TrendFollower(uint32_t maxTemperature) : maxTemperature_(maxTemperature) {}
    // The levels of rising0..3 and hot0..3 for the drives `seen` at `nowMs`, beside the
    // conditions `held` so far. The bays whose counters went down (a replaced board, a
    // reset drive: a new baseline, not an alarm) are added to *wentDown.
    std::vector<std::pair<std::string, int>> levels(const KnownDevice& held,
                                                    const KnownDevice& seen, int64_t nowMs,
                                                    std::vector<unsigned>* wentDown);

private:
    struct Trend {
        std::string drive;  // the serial the counters belong to; empty: no reading yet
        uint32_t counters[3] = {0, 0, 0};
        int64_t lastRiseMs = 0;
        int64_t hotSinceMs = -1;
    };
    std::array<Trend, 4> bays_;
    uint32_t maxTemperature_;
};

// Follows every device, keeps its last known state (also across restarts, in a state
// file) and reports each change for the worse or the better as one line on `log` with
// its journal priority, and through the configured program.
class Monitor {
public:
    Monitor(drl::CvnStorageManagerImpl& core, MonitorOptions options, std::ostream& log);

    // Reads the state file; an unusable one is reported, kept aside and replaced.
    void start();
    // One round: ask every device, report transitions and due reminders, save the state.
    void poll();
    // Wall-clock milliseconds.
    int64_t now();

    const std::map<std::string, KnownDevice>& known() const { return known_; }
    std::string statePath() const;
    std::string historyPath() const;
    const history::History& history() const { return history_; }
    // The last round's snapshots, with what only a run over time tells: each progressing
    // operation's time left and each drive's trend conditions.
    const std::vector<DeviceSnapshot>& lastRound() const { return lastRound_; }

    // The state file's text, and the reverse (false with *why on anything but a whole
    // file of this version).
    static std::string serialize(const std::map<std::string, KnownDevice>& known);
    static bool parseState(const std::string& text, std::map<std::string, KnownDevice>* out,
                           std::string* why);

private:
    struct Event;
    // Logs an event, keeps it in the history and runs the program for it.
    void tell(const Event& event);
    void info(const std::string& line);
    void warn(const std::string& line);
    void observe(const std::string& serial, KnownDevice& device, bool firstSight,
                 const KnownDevice& seen);
    void lost(const std::string& serial, KnownDevice& device);
    void remind(const std::string& serial, KnownDevice& device, const std::string& key);
    Event conditionEvent(const std::string& serial, const KnownDevice& device,
                         const std::string& key, int level, const std::string& was);
    void save();
    void record(const std::string& serial, int bay, const std::string& name, int severity,
                const std::string& message);
    void keepHistory(const std::vector<history::Reading>& readings);
    std::vector<std::pair<std::string, int>> trends(const std::string& serial,
                                                    const KnownDevice& device,
                                                    const KnownDevice& seen);
    void historySaid(bool ok, const std::string& message);
    // Time left and trends into the round's snapshots.
    void followOverTime(std::vector<DeviceSnapshot>& snapshots);

    std::map<std::string, TrendFollower> trends_;
    std::map<std::string, drl::TimeLeftEstimator> timeLeft_;
    std::vector<DeviceSnapshot> lastRound_;
    history::History history_;
    int64_t prunedMs_ = 0;
    drl::CvnStorageManagerImpl& core_;
    MonitorOptions options_;
    std::ostream& log_;
    std::map<std::string, KnownDevice> known_;
    int64_t wallStart_ = 0;
    uint32_t lastTick_ = 0;
    uint64_t elapsed_ = 0;
    bool testPending_ = false;
    bool programMissingLogged_ = false;
    std::set<std::string> sharedSerialsSaid_;
    std::string savedText_;
    std::string saveError_;
};

// A decimal number of at most `max`, digits only.
bool parseUnsigned(const std::string& text, uint64_t max, uint64_t* out);

}  // namespace corvane::cli
