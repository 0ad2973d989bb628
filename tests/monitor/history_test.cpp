#include <unistd.h>

#include <cmath>

#include "../cli/support.h"
#include "monitor/history.h"

using namespace corvane;
using namespace corvane::test;
using history::History;
using history::kDayMs;
using history::Reading;

namespace {

constexpr int64_t kStart = 1700000000000;
constexpr int64_t kMinute = 60 * 1000;

class HistoryTest : public ::testing::Test {
protected:
    static Reading reading(int64_t t, const std::string& device, unsigned bay, uint32_t temp,
                           uint32_t crc = 0) {
        Reading r;
        r.timeMs = r.untilMs = t;
        r.device = device;
        r.bay = bay;
        r.drive = "D" + device + std::to_string(bay);
        r.health = r.member = 1;
        r.temperature = temp;
        r.crcErrors = crc;
        return r;
    }
    static off_t size(const std::string& p) {
        struct stat st {};
        return stat(p.c_str(), &st) == 0 ? st.st_size : -1;
    }

    TempDir tmp;
    const std::string path = tmp.path + "/history.sqlite";
    std::string said;
};

// Equal readings in a row are one run; a change, a long pause or a clock set back start
// another; every reading stays recoverable from the runs.
TEST_F(HistoryTest, ReadingsComeBackAsRuns) {
    History h;
    ASSERT_TRUE(h.openForWriting(path, &said)) << said;
    EXPECT_EQ("", said);
    struct stat st {};
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(0644u, st.st_mode & 0777) << "readable by all";
    const std::vector<std::pair<int64_t, uint32_t>> rounds = {
        {0, 400}, {1, 400}, {2, 400}, {3, 410}, {4, 410}, {200, 410}, {100, 410}};
    for (auto [minute, temp] : rounds) {
        ASSERT_TRUE(h.add({reading(kStart + minute * kMinute, "a", 0, temp),
                           reading(kStart + minute * kMinute, "b", 2, 300, uint32_t(minute))},
                          &said))
            << said;
    }
    ASSERT_TRUE(h.add(history::Event{kStart, "a", 1, "drive-warning", 4, "bay 1 warns"}, &said));
    const auto a = h.readings("a", kStart, kStart + 300 * kMinute);
    ASSERT_EQ(4u, a.size());
    EXPECT_EQ(3u, a[0].rounds);
    EXPECT_EQ(kStart + 2 * kMinute, a[0].untilMs);
    EXPECT_EQ(410u, a[1].temperature);
    EXPECT_EQ(kStart + 100 * kMinute, a[2].timeMs) << "the clock set back: its own row";
    EXPECT_EQ(kStart + 200 * kMinute, a[3].timeMs) << "after a pause of hours: a new run";
    EXPECT_EQ(7u, h.readings("b", 0, kStart * 2).size()) << "a counter that moves: every round";
    EXPECT_EQ(11u, h.readings("", 0, kStart * 2).size());
    const auto events = h.events("a", kStart, kStart);
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ("bay 1 warns", events[0].message);

    History second;
    EXPECT_FALSE(second.openForWriting(path, &said)) << "one writer per file";
    EXPECT_TRUE(has(said, "another program"));
    History reader;
    ASSERT_TRUE(reader.openForReading(path, &said)) << said;
    EXPECT_EQ(4u, reader.readings("a", 0, kStart * 2).size());

    // A restart goes on with the last run.
    h.add({reading(kStart + 201 * kMinute, "a", 0, 410)}, &said);
    History reopened;
    h.close();
    ASSERT_TRUE(reopened.openForWriting(path, &said)) << said;
    ASSERT_TRUE(reopened.add({reading(kStart + 202 * kMinute, "a", 0, 410)}, &said));
    const auto again = reopened.readings("a", kStart + 150 * kMinute, kStart * 2);
    ASSERT_FALSE(again.empty());
    EXPECT_EQ(2u, again.back().rounds) << "the run of the last round before the restart";
    EXPECT_EQ(kStart + 202 * kMinute, again.back().untilMs);
}

// A simulated year of 26 devices, four drives each, read every twenty minutes with the
// temperature following the day and a counter rising now and then; a day in one call,
// thinned a week at a time (a file never shrinks: a peak larger than the monitor's hourly
// thinning leaves). In memory where it can be: the size is the point, not the syncs.
TEST_F(HistoryTest, AYearOf26DevicesStaysSmall) {
    const TempDir shm(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
    const std::string path = shm.path + "/history.sqlite";
    History h;
    ASSERT_TRUE(h.openForWriting(path, &said)) << said;
    const int64_t step = 20 * kMinute;
    const int64_t year = 365 * kDayMs;
    int64_t t = kStart;
    std::vector<Reading> round;
    for (; t < kStart + year + 30 * kDayMs; t += step) {
        const double day = double((t - kStart) % kDayMs) / kDayMs;
        for (int d = 0; d < 26; ++d) {
            for (unsigned bay = 0; bay < 4; ++bay) {
                const uint32_t temp =
                    350 + 10 * uint32_t(std::lround(8 * std::sin(6.283 * day) + d % 5 + bay));
                const uint32_t crc = uint32_t((t - kStart) / (kDayMs * (d + 1)));
                round.push_back(reading(t, std::to_string(d), bay, temp, crc));
            }
        }
        if ((t - kStart) % kDayMs == kDayMs - step) {
            ASSERT_TRUE(h.add(round, &said)) << said;
            round.clear();
            if ((t - kStart) / kDayMs % 7 == 6) {
                ASSERT_TRUE(h.prune(t, &said)) << said;
            }
        }
    }
    ASSERT_TRUE(h.prune(t, &said)) << said;
    const off_t bytes = size(path) + size(path + "-wal");
    EXPECT_LT(bytes, 50 * 1024 * 1024);
    std::cout << "a year of 26 devices: " << bytes / 1024 << " KiB\n";
    const auto old = h.readings("3", 0, t - history::kFullDetailMs - kDayMs);
    ASSERT_FALSE(old.empty());
    EXPECT_GE(old.front().timeMs, t - year - kDayMs) << "older than a year: dropped";
    for (size_t i = 1; i < old.size(); ++i) {
        if (old[i].bay == old[i - 1].bay) {
            EXPECT_GE(old[i].timeMs - old[i - 1].timeMs, 3600 * 1000) << "hourly";
        }
    }
    EXPECT_GT(h.readings("3", t - kDayMs, t).size(), 4u * 24) << "the last days in full";
}

// Damaged or foreign files are moved aside, never deleted, and a new history begins;
// one that cannot be written is left alone with a clear message.
TEST_F(HistoryTest, BadFiles) {
    const std::string damaged[] = {
        "not a database at all\n",
        "SQLite format 3" + std::string(1, '\0') + std::string(100, 'x')};
    for (const std::string& content : damaged) {
        writeFile(path, content);
        History h;
        ASSERT_TRUE(h.openForWriting(path, &said)) << said;
        EXPECT_TRUE(has(said, "moved to"));
        ASSERT_TRUE(h.add({reading(kStart, "a", 0, 400)}, &said)) << said;
    }
    EXPECT_EQ(damaged[0], readFile(path + ".bad"));
    EXPECT_EQ(damaged[1], readFile(path + ".bad.1")) << "the earlier one kept too";

    // Someone else's SQLite file.
    unlink(path.c_str());
    ASSERT_EQ(0, std::system(("python3 -c \"import sqlite3; c=sqlite3.connect('" + path +
                              "'); c.execute('create table t(x)'); c.commit()\"")
                                 .c_str()));
    History foreign;
    ASSERT_TRUE(foreign.openForWriting(path, &said));
    EXPECT_TRUE(has(said, ".bad.2"));
    foreign.close();

    // Read-only: no history, nothing moved.
    chmod(path.c_str(), 0444);
    if (geteuid() != 0) {
        History h;
        EXPECT_FALSE(h.openForWriting(path, &said));
        EXPECT_TRUE(has(said, "cannot be opened to write"));
    }
    chmod(path.c_str(), 0644);

    // Locked by another program's transaction: the round fails, said once, then recovers.
    History h;
    ASSERT_TRUE(h.openForWriting(path, &said)) << said;
    const std::string ready = tmp.path + "/locked";
    FILE* other = popen(("python3 -c \"import sqlite3,sys; c=sqlite3.connect('" + path +
                         "', isolation_level=None); c.execute('begin immediate'); open('" + ready +
                         "', 'w'); sys.stdin.readline()\"")
                            .c_str(),
                        "w");
    ASSERT_TRUE(other);
    for (int i = 0; i < 1000 && access(ready.c_str(), F_OK) != 0; ++i) {
        usleep(10000);
    }
    EXPECT_FALSE(h.add({reading(kStart, "a", 0, 400)}, &said));
    EXPECT_TRUE(has(said, "locked by another program"));
    said.clear();
    EXPECT_FALSE(h.add({reading(kStart + kMinute, "a", 0, 400)}, &said));
    EXPECT_EQ("", said) << "said once";
    fputs("\n", other);
    pclose(other);
    EXPECT_TRUE(h.add({reading(kStart + 2 * kMinute, "a", 0, 400)}, &said));
    EXPECT_TRUE(has(said, "again"));

    // A full disk: the round is lost, the file is not.
    std::vector<Reading> many;
    for (unsigned i = 0; i < 20000; ++i) {
        many.push_back(reading(kStart + 3 * kMinute, "d" + std::to_string(i), 0, 400));
    }
    EXPECT_FALSE(withFileSizeLimit(size(path) + size(path + "-wal") + 4096,
                                   [&] { return h.add(many, &said); }));
    EXPECT_TRUE(has(said, "cannot write"));
    EXPECT_TRUE(h.add({reading(kStart + 4 * kMinute, "a", 0, 400)}, &said)) << said;
    EXPECT_EQ(1u, h.readings("a", 0, kStart * 2).size()) << "the earlier rounds are all there";
}

// The service's and the window's files saw the same changes a little apart.
TEST(HistoryMerge, OneChangeSeenByTwoFilesAppearsOnce) {
    auto event = [](int64_t t, const std::string& device, const std::string& name) {
        return history::Event{kStart + t, device, -1, name, 4, name + " words"};
    };
    const std::vector<history::Event> service = {event(0, "a", "raid-degraded"),
                                                 event(10 * kMinute, "a", "raid-normal"),
                                                 event(11 * kMinute, "a", "raid-degraded")};
    const std::vector<history::Event> window = {
        event(20000, "a", "raid-degraded"),  // the service's first, 20 s later
        {kStart + 30000, "a", -1, "raid-degraded", 4, "other words"},
        event(10 * kMinute + 30000, "a", "raid-normal"),
        event(10 * kMinute + 40000, "b", "raid-normal"),  // another device
        event(11 * kMinute + 5000, "a", "raid-degraded"),
        event(16 * kMinute, "a", "raid-degraded")};  // long after: a change of its own
    std::vector<std::string> got;
    for (const auto& e : history::mergeEvents({service, window}, 2 * kMinute)) {
        got.push_back(std::to_string((e.timeMs - kStart) / 1000) + " " + e.device + " " + e.name);
    }
    EXPECT_EQ((std::vector<std::string>{"0 a raid-degraded", "30 a raid-degraded",
                                        "600 a raid-normal", "640 b raid-normal",
                                        "660 a raid-degraded", "960 a raid-degraded"}),
              got);
    // One file's own repeats are its own changes, however close.
    EXPECT_EQ(2u,
              history::mergeEvents({{event(0, "a", "x"), event(1000, "a", "x")}}, kMinute).size());
}

}  // namespace
