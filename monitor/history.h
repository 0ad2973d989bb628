#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace corvane::history {

// One drive as one round of requests saw it, or (read back) a run of rounds that saw the
// same: `untilMs` is the last of them and `rounds` how many there were.
struct Reading {
    int64_t timeMs = 0;
    int64_t untilMs = 0;
    uint32_t rounds = 1;
    std::string device;  // the monitor's device key
    unsigned bay = 0;
    std::string drive;  // the drive's serial
    uint32_t health = 0;
    uint32_t member = 0;
    uint32_t temperature = 0;  // tenths of a degree Celsius; 0 = not known
    uint32_t scanErrors = 0;
    uint32_t badBlocksRemapped = 0;
    uint32_t crcErrors = 0;
    bool sameValues(const Reading& o) const {
        return health == o.health && member == o.member && temperature == o.temperature &&
               scanErrors == o.scanErrors && badBlocksRemapped == o.badBlocksRemapped &&
               crcErrors == o.crcErrors;
    }
};

struct Event {
    int64_t timeMs = 0;
    std::string device;
    int bay = -1;
    std::string name;
    int severity = 6;
    std::string message;
};

constexpr int64_t kDayMs = 24ll * 3600 * 1000;
constexpr int64_t kFullDetailMs = 90 * kDayMs;  // older readings are kept hourly
constexpr int64_t kKeptMs = 365 * kDayMs;       // older ones are dropped

// A history file in SQLite (WAL). A writer holds the file for itself; readers may be
// many. Failures never throw: each call says what went wrong in *message, once per kind
// of failure in a row, so that a caller logging them does not repeat itself every round.
class History {
public:
    History() = default;
    ~History();
    History(const History&) = delete;
    History& operator=(const History&) = delete;

    // Opens or creates the file to write. A file that is damaged or not a history of ours
    // is moved aside (PATH.bad, PATH.bad.1, ...), never deleted, and a new one begun.
    // False with *message when there is no history to write at all.
    bool openForWriting(const std::string& path, std::string* message);
    // Opens an existing file to read; nothing is changed or moved.
    bool openForReading(const std::string& path, std::string* message);
    void close();
    bool isOpen() const { return db_ != nullptr; }
    const std::string& path() const { return path_; }

    // One round's readings in one transaction. A reading whose values equal the drive's
    // last stored one extends that run instead of adding a row. Times are kept to the
    // second: of two different readings of a drive in one second, the later stands.
    bool add(const std::vector<Reading>& readings, std::string* message);
    bool add(const Event& event, std::string* message);
    // Thins readings older than kFullDetailMs to one an hour and drops those older than
    // kKeptMs, events too.
    bool prune(int64_t nowMs, std::string* message);

    // Oldest first; an empty device means every device.
    std::vector<Reading> readings(const std::string& device, int64_t fromMs, int64_t toMs) const;
    std::vector<Event> events(const std::string& device, int64_t fromMs, int64_t toMs) const;

private:
    bool openDb(const std::string& path, bool write, std::string* message);
    bool ready(std::string* message);
    bool fail(const std::string& what, std::string* message);
    sqlite3_stmt* statement(const char* sql) const;
    int64_t driveId(const Reading& r);
    bool setAside(std::string* message);

    sqlite3* db_ = nullptr;
    std::string path_;
    int lockFd_ = -1;
    std::string lastError_;
    bool damaged_ = false;  // found damaged while writing: set aside at the next write
    mutable std::map<const char*, sqlite3_stmt*> statements_;
    struct Run {
        int64_t row = 0;  // where it starts, in the file's seconds
        Reading last;
    };
    std::map<int64_t, Run> runs_;  // by drive id: the run each drive's next reading may extend
    std::map<std::string, int64_t> driveIds_;
};

// The events of several files that recorded the same devices (the service's and the
// window's), oldest first. One file's event that another file holds already, with the same
// device, bay, name and words no more than `withinMs` earlier, is the same change seen by
// both and appears once; repeats within one file are kept.
std::vector<Event> mergeEvents(std::vector<std::vector<Event>> sources, int64_t withinMs);

}  // namespace corvane::history
