#include "monitor/history.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace corvane::history {
namespace {

constexpr int kApplicationId = 1146244168;  // "DRLH"
constexpr int kVersion = 1;
// A longer pause than this between two rounds starts a new run, so that a chart shows
// the time the monitor was not running.
constexpr int64_t kLongestGap = 3600;

const char* const kSchema =
    "CREATE TABLE drive(id INTEGER PRIMARY KEY, device TEXT NOT NULL, bay INTEGER NOT NULL,"
    " serial TEXT NOT NULL, UNIQUE(device, bay, serial));"
    "CREATE TABLE reading(drive INTEGER NOT NULL, t INTEGER NOT NULL, until INTEGER NOT NULL,"
    " rounds INTEGER NOT NULL, hourly INTEGER NOT NULL, health INTEGER NOT NULL,"
    " member INTEGER NOT NULL, temperature INTEGER NOT NULL, scan INTEGER NOT NULL,"
    " remapped INTEGER NOT NULL, crc INTEGER NOT NULL, PRIMARY KEY(drive, t, until, hourly))"
    " WITHOUT ROWID;"
    "CREATE TABLE event(device TEXT NOT NULL, t INTEGER NOT NULL, bay INTEGER NOT NULL,"
    " name TEXT NOT NULL, severity INTEGER NOT NULL, message TEXT NOT NULL);"
    "CREATE INDEX event_time ON event(device, t);"
    "PRAGMA application_id = 1146244168; PRAGMA user_version = 1;";

// Seconds in the file: smaller numbers, smaller rows.
int64_t seconds(int64_t ms) {
    return ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
}

bool damagedCode(int code) {
    return code == SQLITE_CORRUPT || code == SQLITE_NOTADB;
}

std::string text(sqlite3_stmt* s, int column) {
    const unsigned char* t = sqlite3_column_text(s, column);
    return t ? reinterpret_cast<const char*>(t) : "";
}

// Binds and steps once, then resets: the statements are kept for the next call.
struct Step {
    sqlite3_stmt* s;
    explicit Step(sqlite3_stmt* statement) : s(statement) {}
    ~Step() {
        if (s) {
            sqlite3_reset(s);
            sqlite3_clear_bindings(s);
        }
    }
    Step& bind(int i, int64_t v) {
        sqlite3_bind_int64(s, i, v);
        return *this;
    }
    Step& bind(int i, const std::string& v) {
        sqlite3_bind_text(s, i, v.data(), int(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    int run() { return s ? sqlite3_step(s) : SQLITE_ERROR; }
};

}  // namespace

History::~History() {
    close();
}

void History::close() {
    for (auto& [sql, s] : statements_) {
        sqlite3_finalize(s);
    }
    statements_.clear();
    runs_.clear();
    driveIds_.clear();
    if (db_) {
        sqlite3_close(db_);
        db_ = nullptr;
    }
    // Only after SQLite let go: closing another descriptor of the file would drop its locks.
    if (lockFd_ >= 0) {
        ::close(lockFd_);
        lockFd_ = -1;
    }
}

sqlite3_stmt* History::statement(const char* sql) const {
    auto it = statements_.find(sql);
    if (it != statements_.end()) {
        return it->second;
    }
    sqlite3_stmt* s = nullptr;
    if (!db_ ||
        sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr) != SQLITE_OK) {
        sqlite3_finalize(s);
        return nullptr;
    }
    statements_[sql] = s;
    return s;
}

bool History::fail(const std::string& what, std::string* message) {
    const int code = db_ ? sqlite3_extended_errcode(db_) & 0xff : SQLITE_ERROR;
    std::string why;
    switch (code) {
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            why = "it is locked by another program";
            break;
        case SQLITE_FULL:
            why = "the disk is full";
            break;
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_CANTOPEN:
            why = "it cannot be written";
            break;
        default:
            why = db_ ? sqlite3_errmsg(db_) : "it is not open";
            damaged_ = damagedCode(code);
    }
    const std::string said = "cannot " + what + " the history file " + path_ + ": " + why;
    if (said != lastError_) {
        *message = said;
        lastError_ = said;
    }
    if (db_) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    return false;
}

bool History::openDb(const std::string& path, bool write, std::string* message) {
    close();
    path_ = path;
    damaged_ = false;
    auto refuse = [&](const std::string& why) {
        *message = "no history: " + path + " " + why;
        close();
        return false;
    };
    if (write) {
        // Never through a link, never a FIFO; the lock keeps a second writer out.
        lockFd_ =
            ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
        if (lockFd_ < 0) {
            return refuse(std::string("cannot be opened to write: ") + std::strerror(errno));
        }
        struct stat st;
        if (::fstat(lockFd_, &st) != 0 || !S_ISREG(st.st_mode)) {
            return refuse("is not a regular file");
        }
        if (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
            return refuse("is being written by another program");
        }
        if (st.st_size == 0) {
            ::fchmod(lockFd_, 0644);  // readable by all whatever the umask: no secrets here
        }
    }
    const int flags = write ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY;
    if (sqlite3_open_v2(path.c_str(), &db_, flags | SQLITE_OPEN_NOFOLLOW, nullptr) != SQLITE_OK) {
        return refuse(std::string("cannot be opened: ") + (db_ ? sqlite3_errmsg(db_) : ""));
    }
    sqlite3_busy_timeout(db_, 2000);
    return true;
}

bool History::setAside(std::string* message) {
    const std::string path = path_;
    close();
    std::string aside = path + ".bad";
    // link() never replaces a file: an earlier damaged one stays too.
    for (int n = 1; ::link(path.c_str(), aside.c_str()) != 0; ++n) {
        if (errno != EEXIST || n > 99) {
            *message = "no history: " + path + " is damaged or not a history file and cannot " +
                       "be moved aside (" + std::strerror(errno) + ")";
            return false;
        }
        aside = path + ".bad." + std::to_string(n);
    }
    ::unlink(path.c_str());
    for (const char* part : {"-wal", "-shm"}) {
        if (::rename((path + part).c_str(), (aside + part).c_str()) != 0 && errno != ENOENT) {
            ::unlink((path + part).c_str());  // a new file must not start from its old log
        }
    }
    *message = path + " is damaged or not a history file; moved to " + aside;
    return true;
}

bool History::openForWriting(const std::string& path, std::string* message) {
    std::string movedAside;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!openDb(path, true, message)) {
            return false;
        }
        // What kind of file this is; a damaged one fails somewhere along here.
        sqlite3_stmt* s = nullptr;
        int code = sqlite3_prepare_v2(db_,
                                      "SELECT (SELECT application_id FROM pragma_application_id),"
                                      " (SELECT user_version FROM pragma_user_version),"
                                      " (SELECT count(*) FROM sqlite_master),"
                                      " (SELECT quick_check FROM pragma_quick_check LIMIT 1)",
                                      -1, &s, nullptr);
        int64_t id = -1, version = -1, tables = -1;
        bool whole = false;
        if (code == SQLITE_OK && (code = sqlite3_step(s)) == SQLITE_ROW) {
            id = sqlite3_column_int64(s, 0);
            version = sqlite3_column_int64(s, 1);
            tables = sqlite3_column_int64(s, 2);
            whole = text(s, 3) == "ok";
        }
        sqlite3_finalize(s);
        if (code == SQLITE_BUSY || code == SQLITE_LOCKED) {
            fail("read", message);
            close();
            return false;
        }
        const bool empty = code == SQLITE_ROW && whole && id == 0 && tables == 0;
        const bool ours =
            code == SQLITE_ROW && whole && id == kApplicationId && version == kVersion;
        if (!empty && !ours) {
            if (attempt > 0 || !setAside(message)) {
                return false;
            }
            movedAside = *message;
            continue;
        }
        char* error = nullptr;
        if (sqlite3_exec(db_, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL", nullptr,
                         nullptr, &error) != SQLITE_OK ||
            (empty && sqlite3_exec(db_, kSchema, nullptr, nullptr, &error) != SQLITE_OK)) {
            const std::string why = error ? error : "unknown error";
            sqlite3_free(error);
            const bool full = (sqlite3_extended_errcode(db_) & 0xff) == SQLITE_FULL;
            close();
            *message = "no history: " + path +
                       " cannot be written: " + (full ? std::string("the disk is full") : why);
            return false;
        }
        *message = movedAside;
        return true;
    }
    return false;
}

bool History::openForReading(const std::string& path, std::string* message) {
    if (!openDb(path, false, message)) {
        return false;
    }
    sqlite3_stmt* s = statement("SELECT application_id FROM pragma_application_id");
    const bool ours =
        s && sqlite3_step(s) == SQLITE_ROW && sqlite3_column_int64(s, 0) == kApplicationId;
    if (s) {
        sqlite3_reset(s);
    }
    if (!ours) {
        close();
        *message = "no history: " + path + " is damaged or not a history file";
        return false;
    }
    return true;
}

bool History::ready(std::string* message) {
    if (damaged_) {
        std::string said;
        const std::string path = path_;
        if (!setAside(&said) || !openForWriting(path, message)) {
            if (message->empty()) {
                *message = said;
            }
            return false;
        }
        *message = said;
    }
    return db_ != nullptr;
}

int64_t History::driveId(const Reading& r) {
    const std::string key = r.device + '\n' + std::to_string(r.bay) + '\n' + r.drive;
    auto it = driveIds_.find(key);
    if (it != driveIds_.end()) {
        return it->second;
    }
    Step insert(statement("INSERT OR IGNORE INTO drive(device, bay, serial) VALUES (?1, ?2, ?3)"));
    if (insert.bind(1, r.device).bind(2, r.bay).bind(3, r.drive).run() != SQLITE_DONE) {
        return -1;
    }
    Step find(statement("SELECT id FROM drive WHERE device = ?1 AND bay = ?2 AND serial = ?3"));
    if (find.bind(1, r.device).bind(2, r.bay).bind(3, r.drive).run() != SQLITE_ROW) {
        return -1;
    }
    const int64_t id = sqlite3_column_int64(find.s, 0);
    driveIds_[key] = id;
    // The run a restart goes on with.
    Step last(
        statement("SELECT t, t, until, health, member, temperature, scan, remapped, crc"
                  " FROM reading WHERE drive = ?1 AND hourly = 0 ORDER BY t DESC LIMIT 1"));
    if (last.bind(1, id).run() == SQLITE_ROW) {
        Run run;
        run.row = sqlite3_column_int64(last.s, 0);
        run.last.timeMs = sqlite3_column_int64(last.s, 1) * 1000;
        run.last.untilMs = sqlite3_column_int64(last.s, 2) * 1000;
        run.last.health = uint32_t(sqlite3_column_int64(last.s, 3));
        run.last.member = uint32_t(sqlite3_column_int64(last.s, 4));
        run.last.temperature = uint32_t(sqlite3_column_int64(last.s, 5));
        run.last.scanErrors = uint32_t(sqlite3_column_int64(last.s, 6));
        run.last.badBlocksRemapped = uint32_t(sqlite3_column_int64(last.s, 7));
        run.last.crcErrors = uint32_t(sqlite3_column_int64(last.s, 8));
        runs_[id] = run;
    }
    return id;
}

bool History::add(const std::vector<Reading>& readings, std::string* message) {
    if (!ready(message)) {
        return false;
    }
    if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
        return fail("write", message);
    }
    std::map<int64_t, Run> runs = runs_;  // kept only once the transaction is in
    for (const Reading& r : readings) {
        const int64_t id = driveId(r);
        if (id < 0) {
            runs_.clear();
            driveIds_.clear();
            return fail("write", message);
        }
        if (!runs.count(id) && runs_.count(id)) {
            runs[id] = runs_[id];  // just read from the file
        }
        const int64_t t = seconds(r.timeMs);
        auto it = runs.find(id);
        // A clock set back starts a new run: the earlier one keeps its own times.
        if (it != runs.end() && it->second.last.sameValues(r) &&
            t >= seconds(it->second.last.untilMs) &&
            t - seconds(it->second.last.untilMs) <= kLongestGap) {
            Step extend(
                statement("UPDATE reading SET until = ?1, rounds = rounds + 1"
                          " WHERE drive = ?2 AND t = ?3 AND until = ?4 AND hourly = 0"));
            extend.bind(1, t).bind(2, id).bind(3, it->second.row);
            if (extend.bind(4, seconds(it->second.last.untilMs)).run() != SQLITE_DONE) {
                runs_.clear();
                driveIds_.clear();
                return fail("write", message);
            }
            it->second.last.untilMs = r.timeMs;
            continue;
        }
        Step insert(
            statement("INSERT OR REPLACE INTO reading(drive, t, until, rounds, hourly, health, "
                      "member, temperature,"
                      " scan, remapped, crc) VALUES (?1, ?2, ?2, 1, 0, ?3, ?4, ?5, ?6, ?7, ?8)"));
        insert.bind(1, id).bind(2, t).bind(3, r.health).bind(4, r.member);
        insert.bind(5, r.temperature).bind(6, r.scanErrors).bind(7, r.badBlocksRemapped);
        if (insert.bind(8, r.crcErrors).run() != SQLITE_DONE) {
            runs_.clear();
            driveIds_.clear();
            return fail("write", message);
        }
        Run& run = runs[id];
        run.row = t;
        run.last = r;
        run.last.untilMs = r.timeMs;
    }
    if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
        runs_.clear();
        driveIds_.clear();
        return fail("write", message);
    }
    runs_ = std::move(runs);
    if (!lastError_.empty()) {
        *message = "writing the history file " + path_ + " again";
        lastError_.clear();
    }
    return true;
}

bool History::add(const Event& e, std::string* message) {
    if (!ready(message)) {
        return false;
    }
    Step insert(
        statement("INSERT INTO event(device, t, bay, name, severity, message)"
                  " VALUES (?1, ?2, ?3, ?4, ?5, ?6)"));
    insert.bind(1, e.device).bind(2, seconds(e.timeMs)).bind(3, e.bay).bind(4, e.name);
    if (insert.bind(5, e.severity).bind(6, e.message).run() != SQLITE_DONE) {
        return fail("write", message);
    }
    return true;
}

bool History::prune(int64_t nowMs, std::string* message) {
    if (!ready(message)) {
        return false;
    }
    // Whole hours only, so that no hour is thinned in two parts.
    const int64_t thinBefore = (seconds(nowMs - kFullDetailMs) / 3600) * 3600;
    const int64_t dropBefore = seconds(nowMs - kKeptMs);
    if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
        return fail("thin", message);
    }
    // Per hour: the worst health and temperature and the highest counters it saw.
    Step thin(statement(
        "INSERT INTO reading(drive, t, until, rounds, hourly, health, member, temperature, scan,"
        " remapped, crc) SELECT drive, (t / 3600) * 3600, max(until), sum(rounds), 1,"
        " max(health), max(member), max(temperature), max(scan), max(remapped), max(crc)"
        " FROM reading WHERE hourly = 0 AND t < ?1 GROUP BY drive, t / 3600"));
    Step thinned(statement("DELETE FROM reading WHERE hourly = 0 AND t < ?1"));
    Step dropReadings(statement("DELETE FROM reading WHERE until < ?1"));
    Step dropEvents(statement("DELETE FROM event WHERE t < ?1"));
    Step dropDrives(statement(
        "DELETE FROM drive WHERE NOT EXISTS (SELECT 1 FROM reading WHERE drive = drive.id)"));
    if (thin.bind(1, thinBefore).run() != SQLITE_DONE ||
        thinned.bind(1, thinBefore).run() != SQLITE_DONE ||
        dropReadings.bind(1, dropBefore).run() != SQLITE_DONE ||
        dropEvents.bind(1, dropBefore).run() != SQLITE_DONE || dropDrives.run() != SQLITE_DONE ||
        sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
        runs_.clear();
        driveIds_.clear();
        return fail("thin", message);
    }
    runs_.clear();  // their rows may be thinned away
    driveIds_.clear();
    return true;
}

std::vector<Reading> History::readings(const std::string& device, int64_t fromMs,
                                       int64_t toMs) const {
    std::vector<Reading> out;
    Step q(statement(
        "SELECT r.t, r.until, r.rounds, d.device, d.bay, d.serial, r.health, r.member,"
        " r.temperature, r.scan, r.remapped, r.crc FROM reading r JOIN drive d ON d.id = r.drive"
        " WHERE (?1 = '' OR d.device = ?1) AND r.until >= ?2 AND r.t <= ?3"
        " ORDER BY r.t, d.device, d.bay"));
    q.bind(1, device).bind(2, seconds(fromMs)).bind(3, seconds(toMs));
    while (q.run() == SQLITE_ROW) {
        Reading r;
        r.timeMs = sqlite3_column_int64(q.s, 0) * 1000;
        r.untilMs = sqlite3_column_int64(q.s, 1) * 1000;
        r.rounds = uint32_t(sqlite3_column_int64(q.s, 2));
        r.device = text(q.s, 3);
        r.bay = unsigned(sqlite3_column_int64(q.s, 4));
        r.drive = text(q.s, 5);
        r.health = uint32_t(sqlite3_column_int64(q.s, 6));
        r.member = uint32_t(sqlite3_column_int64(q.s, 7));
        r.temperature = uint32_t(sqlite3_column_int64(q.s, 8));
        r.scanErrors = uint32_t(sqlite3_column_int64(q.s, 9));
        r.badBlocksRemapped = uint32_t(sqlite3_column_int64(q.s, 10));
        r.crcErrors = uint32_t(sqlite3_column_int64(q.s, 11));
        out.push_back(r);
    }
    return out;
}

std::vector<Event> History::events(const std::string& device, int64_t fromMs, int64_t toMs) const {
    std::vector<Event> out;
    Step q(
        statement("SELECT t, device, bay, name, severity, message FROM event"
                  " WHERE (?1 = '' OR device = ?1) AND t >= ?2 AND t <= ?3 ORDER BY t, rowid"));
    q.bind(1, device).bind(2, seconds(fromMs)).bind(3, seconds(toMs));
    while (q.run() == SQLITE_ROW) {
        Event e;
        e.timeMs = sqlite3_column_int64(q.s, 0) * 1000;
        e.device = text(q.s, 1);
        e.bay = int(sqlite3_column_int64(q.s, 2));
        e.name = text(q.s, 3);
        e.severity = int(sqlite3_column_int64(q.s, 4));
        e.message = text(q.s, 5);
        out.push_back(e);
    }
    return out;
}

std::vector<Event> mergeEvents(std::vector<std::vector<Event>> sources, int64_t withinMs) {
    std::vector<std::pair<Event, size_t>> all;  // with the file it came from
    for (size_t i = 0; i < sources.size(); ++i) {
        for (Event& e : sources[i]) {
            all.emplace_back(std::move(e), i);
        }
    }
    std::stable_sort(all.begin(), all.end(),
                     [](const auto& a, const auto& b) { return a.first.timeMs < b.first.timeMs; });
    std::vector<Event> out;
    std::vector<size_t> from;
    for (auto& [e, source] : all) {
        bool seen = false;
        for (size_t k = out.size(); k-- > 0 && e.timeMs - out[k].timeMs <= withinMs;) {
            const Event& o = out[k];
            if (from[k] != source && o.device == e.device && o.bay == e.bay && o.name == e.name &&
                o.message == e.message) {
                seen = true;
                break;
            }
        }
        if (!seen) {
            out.push_back(std::move(e));
            from.push_back(source);
        }
    }
    return out;
}

}  // namespace corvane::history
