#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <sstream>
#include <thread>

#include "cli/cli.h"
#include "dcp/records.h"
#include "io/platform.h"
#include "monitor/monitor.h"
#include "monitor/snapshot.h"
#include "os/device_listener.h"
#include "os/manual_clock.h"
#include "sim/profiles.h"

using namespace corvane;

namespace {

constexpr int64_t kWallStart = 1700000000000;
constexpr uint32_t kHour = 3600 * 1000;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const std::string& path, const std::string& text, mode_t mode = 0644) {
    std::ofstream(path, std::ios::binary) << text;
    chmod(path.c_str(), mode);
}

// One call of the event program, as it saw its environment.
struct Call {
    std::string event, severity, serial, model, path, bay, reminder, message;
};

// Emulated devices, a core and monitors on a manual clock; the event program is a script
// that appends its environment to a file.
class MonitorTest : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/drl-monitor-XXXXXX";
        ASSERT_TRUE(mkdtemp(name));
        dir = name;
        options.stateDir = dir + "/state";
        options.program = dir + "/record";
        options.execTimeoutMs = 10000;
        options.wallStartMs = kWallStart;
        writeFile(options.program,
                  "#!/bin/sh\nprintf '%s|%s|%s|%s|%s|%s|%s|%s\\n' \"$DRIVELORE_EVENT\" "
                  "\"$DRIVELORE_SEVERITY\" \"$DRIVELORE_SERIAL\" \"$DRIVELORE_MODEL\" "
                  "\"$DRIVELORE_DEVICE_PATH\" \"$DRIVELORE_BAY\" \"$DRIVELORE_REMINDER\" "
                  "\"$DRIVELORE_MESSAGE\" >> " +
                      dir + "/calls\ntr '\\0' '\\n' < /proc/$$/environ | grep ^DRIVELORE_BAY= >> " +
                      dir + "/bays\n",
                  0755);
        platform->setChangeListener([] { os::announceDeviceChange(); });
        io::setPlatform(platform);
    }
    void TearDown() override {
        monitor.reset();
        clock.setAutoAdvance(true);
        core.reset();
        io::setPlatform(nullptr);
        std::system(("rm -rf " + dir).c_str());
    }

    sim::EmulatedDevice plug(unsigned disk, const std::string& profile) {
        auto device = sim::makeProfile(profile, {512, disk, nullptr});
        EXPECT_TRUE(device) << profile;
        platform->plug(disk, device->disk);
        return *device;
    }
    void startCore() {
        core = cli::openCore(true);
        ASSERT_TRUE(core);
        step(10);  // the first scan waits for the worker's first poll
        ASSERT_TRUE(core->waitForScans(1, std::chrono::seconds(10)));
    }
    // A new monitor (a restart), its clock going on where the last one stopped.
    void startMonitor() {
        if (monitor) {
            options.wallStartMs = monitor->now();
        }
        log.str("");
        monitor = std::make_unique<cli::Monitor>(*core, options, log);
        monitor->start();
    }
    // Time passes; the core's worker runs one cycle in it.
    void step(uint32_t ms) {
        ASSERT_TRUE(clock.waitForSleepers(1));
        clock.advance(ms);
        ASSERT_TRUE(clock.waitForSleepers(1));
    }
    // The core takes a plug or an unplug in.
    void rescan() {
        ++scans;
        core->rescan();
        step(10);
        ASSERT_TRUE(core->waitForScans(scans, std::chrono::seconds(10)));
    }
    // The events of one round.
    std::vector<Call> poll() {
        monitor->poll();
        return takeCalls();
    }
    // The message goes last: it may hold a '|' of its own.
    std::vector<Call> takeCalls() {
        std::vector<Call> out;
        std::istringstream lines(readFile(dir + "/calls"));
        unlink((dir + "/calls").c_str());
        for (std::string line; std::getline(lines, line);) {
            std::istringstream fields(line);
            Call c;
            for (std::string* f :
                 {&c.event, &c.severity, &c.serial, &c.model, &c.path, &c.bay, &c.reminder}) {
                if (!std::getline(fields, *f, '|') || fields.eof()) {
                    ADD_FAILURE() << "a value broke the line: " << line;
                }
            }
            std::getline(fields, c.message);
            out.push_back(c);
        }
        return out;
    }
    static std::vector<std::string> names(const std::vector<Call>& calls) {
        std::vector<std::string> out;
        for (const Call& c : calls) {
            out.push_back(c.event + (c.reminder == "1" ? "*" : "") +
                          (c.bay.empty() ? "" : "@" + c.bay));
        }
        return out;
    }
    static std::string serialOf(const sim::EmulatedDevice& d) {
        std::string out;
        char two[3];
        for (uint8_t b : d.model->identity().serial) {
            std::snprintf(two, sizeof two, "%02x", b);
            out += two;
        }
        return out;
    }

    os::ManualClock clock;
    os::ScopedClock useClock{clock};
    std::shared_ptr<sim::EmulatedPlatform> platform = std::make_shared<sim::EmulatedPlatform>();
    std::unique_ptr<drl::CvnStorageManagerImpl> core;
    std::unique_ptr<cli::Monitor> monitor;
    cli::MonitorOptions options;
    std::ostringstream log;
    std::string dir;
    uint32_t scans = 1;
};

using V = std::vector<std::string>;

// Device texts cannot break a line of the log or of the recorder, nor a variable.
// A variable of the monitor's own environment never reaches the program beside the event's.
TEST_F(MonitorTest, EachChangeIsOneEventWithItsVariables) {
    sim::EmulatedDevice d = plug(0, "healthy");
    sim::Identity id = d.model->identity();
    id.model = "Q\"\\\n\x1b[2J\xe9";
    d.model->setIdentity(id);
    startCore();
    startMonitor();
    EXPECT_EQ(V{}, names(poll())) << "a healthy device is no news";

    sim::Drive broken = d.model->drive(3);
    broken.member = sim::Member::Failed;
    d.model->setDrive(3, broken);
    setenv("DRIVELORE_BAY", "7", 1);
    std::vector<Call> calls = poll();
    unsetenv("DRIVELORE_BAY");
    EXPECT_EQ("DRIVELORE_BAY=\nDRIVELORE_BAY=3\n", readFile(dir + "/bays"));
    ASSERT_EQ((V{"raid-degraded", "drive-failed@3"}), names(calls));
    EXPECT_EQ("err", calls[0].severity);
    EXPECT_EQ(serialOf(d), calls[0].serial);
    EXPECT_EQ("Q\"\\\\\\n\\x1b[2J\xc3\xa9", calls[0].model);
    EXPECT_EQ("/dev/sda", calls[0].path);
    EXPECT_EQ("0", calls[0].reminder);
    EXPECT_NE(std::string::npos, calls[0].message.find("RAID Degraded (was Normal)"))
        << calls[0].message;
    EXPECT_NE(std::string::npos, calls[1].message.find(broken.serial)) << calls[1].message;
    EXPECT_NE(std::string::npos, log.str().find("<3>")) << log.str();
    EXPECT_EQ(std::string::npos, log.str().find('\x1b'));
    EXPECT_EQ(std::string::npos, log.str().find("Q\"\\\n")) << log.str();
    EXPECT_EQ(V{}, names(poll())) << "reported once";

    sim::Drive sick = d.model->drive(1);
    sick.failureWarning = true;
    d.model->setDrive(1, sick);
    calls = poll();
    ASSERT_EQ((V{"drive-warning@1", "failure-likely"}), names(calls));
    EXPECT_EQ("warning", calls[0].severity);

    // Repaired: everything better, once.
    sim::EmulatedDevice fresh = sim::makeProfile("healthy", {512, 0, nullptr}).value();
    d.model->setDrive(3, fresh.model->drive(3));
    d.model->setDrive(1, fresh.model->drive(1));
    calls = poll();
    ASSERT_EQ((V{"raid-normal", "drive-healthy@1", "drive-healthy@3", "failure-likely-cleared"}),
              names(calls));
    EXPECT_EQ("notice", calls[0].severity);
    EXPECT_EQ(V{}, names(poll()));

    // Re-armed: the same fault again is news again.
    d.model->setDrive(3, broken);
    EXPECT_EQ((V{"raid-degraded", "drive-failed@3"}), names(poll()));

    // A failed drive pulled: the bay's alarm ends, the set's goes on.
    d.model->pullDrive(3);
    EXPECT_EQ((V{"drive-removed@3"}), names(poll()));

    sim::Raid raid = d.model->raid();
    raid.cacheDisabled = true;
    d.model->setRaid(raid);
    EXPECT_EQ((V{"cache-disabled"}), names(poll()));
    raid.cacheDisabled = false;
    d.model->setRaid(raid);
    EXPECT_EQ((V{"cache-enabled"}), names(poll()));
}

// The healthy device reports the degraded one's serial: the two stay apart, named by disk.
TEST_F(MonitorTest, RemindersSurviveARestartWithoutRepeats) {
    options.remindMs = 24ull * kHour;
    sim::EmulatedDevice bad = plug(0, "degraded");
    sim::EmulatedDevice twin = plug(1, "healthy");
    sim::Identity id = twin.model->identity();
    id.serial = bad.model->identity().serial;
    twin.model->setIdentity(id);
    startCore();
    startMonitor();
    const std::vector<Call> calls = poll();
    ASSERT_EQ((V{"raid-degraded"}), names(calls)) << "first sight of a degraded set";
    EXPECT_EQ(serialOf(bad) + "@disk0", calls[0].serial);
    EXPECT_EQ(V{}, names(poll())) << "the twin changes nothing";
    step(23 * kHour);
    EXPECT_EQ(V{}, names(poll()));
    const std::string said = "<4>more than one device reports the serial " + serialOf(bad) +
                             "; each is named by its serial and disk number\n";
    EXPECT_NE(std::string::npos, log.str().find(said)) << log.str();
    EXPECT_EQ(log.str().find(said), log.str().rfind(said)) << "said once: " << log.str();

    startMonitor();  // a restart, one hour before the reminder is due
    EXPECT_NE(std::string::npos, log.str().find("read from")) << log.str();
    EXPECT_EQ(V{}, names(poll())) << "no repeat after a restart";
    step(kHour);
    EXPECT_EQ((V{"raid-degraded*"}), names(poll()));
    step(kHour);
    EXPECT_EQ(V{}, names(poll()));
    step(23 * kHour);
    EXPECT_EQ((V{"raid-degraded*"}), names(poll()));

    options.remindMs = 0;
    startMonitor();
    step(48 * kHour);
    EXPECT_EQ(V{}, names(poll())) << "--remind 0: once only";
}

TEST_F(MonitorTest, LongOperationsEndOnce) {
    sim::EmulatedDevice ok = plug(0, "degraded");
    sim::EmulatedDevice fails = plug(1, "rebuild-fails");
    sim::EmulatedDevice small = plug(2, "rebuild-too-small");
    startCore();
    startMonitor();
    EXPECT_EQ((V{"raid-degraded", "raid-degraded", "raid-degraded"}), names(poll()));
    for (drl::DrlDevId id : {0u, 1u, 2u}) {
        dcp::DcpReqRebuild rebuild;
        dcp::DcpResponse* answer = nullptr;
        ASSERT_EQ(drl::Ok, core->execute(id, &rebuild, &answer));
        delete answer;
    }
    std::vector<Call> calls = poll();
    ASSERT_EQ((V{"rebuild-disk-too-small"}), names(calls));
    EXPECT_EQ(serialOf(small), calls[0].serial);
    EXPECT_NE(std::string::npos, log.str().find("RAID Rebuild started")) << log.str();

    step(12 * 1000);
    EXPECT_EQ(V{}, names(poll())) << "progressing is no news";
    step(200 * 1000);
    calls = poll();
    // The failed rebuild also gives up its target drive.
    ASSERT_EQ((V{"rebuild-completed", "raid-normal", "rebuild-failed", "drive-failed@2"}),
              names(calls));
    EXPECT_EQ(serialOf(ok), calls[0].serial);
    EXPECT_EQ("notice", calls[0].severity);
    EXPECT_EQ(serialOf(fails), calls[2].serial);
    EXPECT_EQ("err", calls[2].severity);
    EXPECT_EQ(V{}, names(poll()));
}

TEST_F(MonitorTest, ATroubledDeviceGoneAndBack) {
    sim::EmulatedDevice bad = plug(0, "degraded");
    plug(1, "healthy");
    startCore();
    startMonitor();
    EXPECT_EQ((V{"raid-degraded"}), names(poll()));
    platform->unplug(0);
    platform->unplug(1);
    rescan();
    std::vector<Call> calls = poll();
    ASSERT_EQ((V{"device-gone"}), names(calls)) << "a healthy device may leave quietly";
    EXPECT_EQ(serialOf(bad), calls[0].serial);
    EXPECT_EQ("/dev/sda", calls[0].path) << "its last known path";
    EXPECT_EQ(V{}, names(poll()));
    step(25 * kHour);
    EXPECT_EQ((V{"device-gone*"}), names(poll()));

    platform->plug(0, bad.disk);
    rescan();
    EXPECT_EQ((V{"device-back", "raid-degraded*"}), names(poll()))
        << "still degraded, last said 25 hours ago";
}

TEST_F(MonitorTest, ProgramFailuresAreLoggedAndTheMonitorGoesOn) {
    sim::EmulatedDevice d = plug(0, "degraded");
    plug(1, "healthy");
    startCore();

    // A program that hangs, with what it started: killed at its limit.
    writeFile(dir + "/hang", "#!/bin/sh\nsleep 30 &\necho $! > " + dir + "/child\nwait\n", 0755);
    options.program = dir + "/hang";
    options.execTimeoutMs = 300;
    options.test = true;
    startMonitor();
    const auto before = std::chrono::steady_clock::now();
    monitor->poll();  // raid-degraded and two test events: three kills
    const auto took = std::chrono::steady_clock::now() - before;
    EXPECT_LT(took, std::chrono::seconds(5));
    size_t kills = 0;
    for (size_t at = 0;
         (at = log.str().find("within 300 ms and was killed", at)) != std::string::npos; ++at) {
        ++kills;
    }
    EXPECT_EQ(3u, kills) << log.str();
    const pid_t child = std::atoi(readFile(dir + "/child").c_str());
    ASSERT_GT(child, 0);
    // SIGKILL is sent; the kernel may still be tearing the process down, so allow it a
    // moment (real time: the child runs outside the test's clock).
    std::string stat;
    for (int i = 0; i < 200; ++i) {
        stat = readFile("/proc/" + std::to_string(child) + "/stat");
        if (stat.empty() || stat.find(") Z") != std::string::npos) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(stat.empty() || stat.find(") Z") != std::string::npos) << stat;

    // A program that does not exist: said once, the events still logged.
    options.program = dir + "/missing";
    options.test = false;
    startMonitor();
    sim::Drive sick = d.model->drive(0);
    sick.failureWarning = true;
    d.model->setDrive(0, sick);
    monitor->poll();
    EXPECT_NE(std::string::npos, log.str().find("[drive-warning]")) << log.str();
    EXPECT_NE(std::string::npos, log.str().find("[failure-likely]")) << log.str();
    const std::string missing = dir + "/missing could not be started";
    EXPECT_NE(std::string::npos, log.str().find(missing)) << log.str();
    EXPECT_EQ(log.str().find(missing), log.str().rfind(missing)) << "said once: " << log.str();

    // A program that fails: logged with its status.
    writeFile(dir + "/fail", "#!/bin/sh\nexit 3\n", 0755);
    options.program = dir + "/fail";
    startMonitor();
    d.model->setDrive(0, sim::makeProfile("degraded", {512, 0, nullptr})->model->drive(0));
    monitor->poll();
    EXPECT_NE(std::string::npos, log.str().find("exited with status 3")) << log.str();
}

TEST_F(MonitorTest, BadStateFilesAreKeptAsideAndReplaced) {
    plug(0, "degraded");
    startCore();
    startMonitor();
    EXPECT_EQ((V{"raid-degraded"}), names(poll()));
    const std::string path = options.stateDir + "/monitor.state";
    const std::string good = readFile(path);
    ASSERT_FALSE(good.empty());

    const std::vector<std::pair<std::string, std::string>> cases = {
        {"cut at its end", good.substr(0, good.size() - 1)},
        {"another version", "drivelore-monitor-state 2\nend 0\n"},
        {"not ours", "[Unit]\nDescription=something else\n"},
        {"empty", ""},
        {"a bad number", "drivelore-monitor-state 1\ndevice 00\nstate 0 2 0 0 6 x\nend 1\n"},
        {"an unknown condition", "drivelore-monitor-state 1\ndevice 00\ncondition x 1 0\nend 1\n"},
        {"a disk past the last", "drivelore-monitor-state 1\ndevice 00@disk26\nend 1\n"},
    };
    for (const auto& [what, text] : cases) {
        SCOPED_TRACE(what);
        writeFile(path, text);
        unlink((path + ".bad").c_str());
        startMonitor();
        EXPECT_NE(std::string::npos, log.str().find("<4>the state file")) << log.str();
        EXPECT_EQ(text, readFile(path + ".bad")) << "kept, not lost";
        EXPECT_EQ((V{"raid-degraded"}), names(poll())) << "reported again, not missed";
        std::map<std::string, cli::KnownDevice> parsed;
        std::string why;
        EXPECT_TRUE(cli::Monitor::parseState(readFile(path), &parsed, &why)) << why;
        EXPECT_EQ(1u, parsed.size());
    }

    // A FIFO or a link in its place is refused at once, never waited on or read through.
    const std::string elsewhere = dir + "/elsewhere";
    writeFile(elsewhere, good);
    for (const bool fifo : {true, false}) {
        unlink(path.c_str());
        ASSERT_EQ(0, fifo ? mkfifo(path.c_str(), 0600) : symlink(elsewhere.c_str(), path.c_str()));
        startMonitor();
        EXPECT_NE(std::string::npos,
                  log.str().rfind(fifo ? "is not a regular file" : "cannot read the state file"))
            << log.str();
        EXPECT_EQ((V{"raid-degraded"}), names(poll()));
    }
    EXPECT_EQ(good, readFile(elsewhere));

    // A state folder that cannot be written: said once, the monitor goes on.
    options.stateDir = dir + "/file-not-folder";
    writeFile(options.stateDir, "x");
    startMonitor();
    EXPECT_EQ((V{"raid-degraded"}), names(poll()));
    poll();
    const std::string said = "cannot save the last known states";
    EXPECT_NE(std::string::npos, log.str().find(said)) << log.str();
    EXPECT_EQ(log.str().find(said), log.str().rfind(said)) << log.str();
}

TEST_F(MonitorTest, StateRoundTrip) {
    std::map<std::string, cli::KnownDevice> known;
    cli::KnownDevice& d = known["001a7c1000000000"];
    d.model = "VRXA \\x1b model with spaces";
    d.path = "/dev/sdq";
    d.gone = true;
    d.raidStatus = 3;
    d.cacheDisabled = true;
    d.bays[2] = {true, 3, 3, "SER 2", "MODEL 2"};
    d.operation = 6;
    d.phase = 2;
    d.conditions["raid"] = {1, kWallStart};
    d.conditions["gone"] = {1, kWallStart + 5};
    known["ff"].bays[0].present = false;
    known["ff@disk25"].raidStatus = 2;
    const std::string text = cli::Monitor::serialize(known);
    std::map<std::string, cli::KnownDevice> back;
    std::string why;
    ASSERT_TRUE(cli::Monitor::parseState(text, &back, &why)) << why;
    EXPECT_EQ(text, cli::Monitor::serialize(back));
    EXPECT_EQ("MODEL 2", back["001a7c1000000000"].bays[2].model);
    EXPECT_EQ(kWallStart + 5, back["001a7c1000000000"].conditions["gone"].reportedMs);
}

// The command line: options, a round on emulated devices and its state file.
TEST_F(MonitorTest, CommandLine) {
    clock.setAutoAdvance(true);
    std::string err;
    auto run = [&err](std::vector<std::string> args, int signal = 0) {
        std::ostringstream out, errs;
        std::istringstream in;
        std::atomic<int> interrupted{signal};
        const int code = cli::run(args, out, errs, in, interrupted);
        err = errs.str();
        return code;
    };
    for (const V& bad :
         {V{"monitor", "--remind"}, V{"monitor", "--remind", "-1"},
          V{"monitor", "--exec-timeout", "0"}, V{"monitor", "--count", "0"},
          V{"monitor", "--exec-timeout", "86400001"}, V{"monitor", "--remind", "100001"},
          V{"monitor", "--interval", "86400001"}, V{"monitor", "--count", "9223372036854775808"},
          V{"monitor", "--frobnicate"}, V{"monitor", "--exec", ""}, V{"metrics", "--output"},
          V{"metrics", "extra"}}) {
        EXPECT_EQ(cli::ExitUsage, run(bad)) << bad[1];
        EXPECT_NE(std::string::npos, err.find("--help")) << err;
    }
    EXPECT_EQ(0, run({"--emulated", "healthy,failing", "monitor", "--state-dir", dir + "/cli",
                      "--count", "2", "--interval", "5"}));
    EXPECT_NE(std::string::npos, err.find("<4>")) << err;
    EXPECT_EQ(std::string::npos, err.find("<3>")) << err;
    std::map<std::string, cli::KnownDevice> known;
    std::string why;
    ASSERT_TRUE(cli::Monitor::parseState(readFile(dir + "/cli/monitor.state"), &known, &why))
        << why;
    EXPECT_EQ(2u, known.size());
    EXPECT_EQ(1u, known.begin()->second.raidStatus);

    // The highest values allowed; stopped after its first round.
    EXPECT_EQ(0, run({"--emulated", "healthy", "monitor", "--state-dir", dir + "/top",
                      "--exec-timeout", "86400000", "--remind", "100000", "--interval", "86400000",
                      "--count", "9223372036854775807"},
                     SIGTERM))
        << err;
    EXPECT_FALSE(readFile(dir + "/top/monitor.state").empty());
}

}  // namespace
