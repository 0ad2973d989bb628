#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "dcp/records.h"
#include "monitor_rig.h"

using namespace corvane;
using namespace corvane::test;

namespace {

using MonitorTest = MonitorRig;

// Device texts cannot break a line of the log or of the recorder, nor a variable.
// A variable of the monitor's own environment never reaches the program beside the event's.
TEST_F(MonitorTest, EachChangeIsOneEventWithItsVariables) {
    sim::EmulatedDevice d = plug(0, "healthy");
    sim::Identity id = d.model->identity();
    id.model = "Q\"\\\n\x1b[2J\xe9";
    d.model->setIdentity(id);
    startCore();
    startMonitor();
    EXPECT_EQ(V{}, names()) << "a healthy device is no news";

    sim::Drive broken = d.model->drive(3);
    broken.member = sim::Member::Failed;
    d.model->setDrive(3, broken);
    setenv("DRIVELORE_BAY", "7", 1);
    std::vector<Call> calls = poll();
    unsetenv("DRIVELORE_BAY");
    EXPECT_EQ("DRIVELORE_BAY=\nDRIVELORE_BAY=3\n", readFile(dir + "/bays"));
    ASSERT_EQ((V{"raid-degraded", "drive-failed@3"}), namesOf(calls));
    EXPECT_EQ("err|" + serialOf(d) + "|Q\"\\\\\\n\\x1b[2J\xc3\xa9|/dev/sda||0",
              calls[0].severity + "|" + calls[0].serial + "|" + calls[0].model + "|" +
                  calls[0].path + "|" + calls[0].bay + "|" + calls[0].reminder);
    EXPECT_TRUE(has(calls[0].message, "RAID Degraded (was Normal)"));
    EXPECT_TRUE(has(calls[1].message, broken.serial));
    EXPECT_TRUE(has(log.str(), "<3>"));
    EXPECT_EQ(std::string::npos, log.str().find('\x1b'));
    EXPECT_FALSE(has(log.str(), "Q\"\\\n"));
    EXPECT_EQ(V{}, names()) << "reported once";

    sim::Drive sick = d.model->drive(1);
    sick.failureWarning = true;
    d.model->setDrive(1, sick);
    calls = poll();
    ASSERT_EQ((V{"drive-warning@1", "failure-likely"}), namesOf(calls));
    EXPECT_EQ("warning", calls[0].severity);

    // Repaired: everything better, once.
    sim::EmulatedDevice fresh = sim::makeProfile("healthy", {512, 0, nullptr}).value();
    d.model->setDrive(3, fresh.model->drive(3));
    d.model->setDrive(1, fresh.model->drive(1));
    calls = poll();
    ASSERT_EQ(4u, calls.size());
    EXPECT_EQ("raid-normal notice", calls[0].event + " " + calls[0].severity);
    EXPECT_EQ(
        "drive-healthy1 drive-healthy3 failure-likely-cleared",
        calls[1].event + calls[1].bay + " " + calls[2].event + calls[2].bay + " " + calls[3].event);
    EXPECT_EQ(V{}, names());

    // Re-armed: the same fault again is news again.
    d.model->setDrive(3, broken);
    EXPECT_EQ((V{"raid-degraded", "drive-failed@3"}), names());

    // A failed drive pulled: the bay's alarm ends, the set's goes on.
    d.model->pullDrive(3);
    EXPECT_EQ((V{"drive-removed@3"}), names());

    sim::Raid raid = d.model->raid();
    for (const bool off : {true, false}) {
        raid.cacheDisabled = off;
        d.model->setRaid(raid);
        EXPECT_EQ((V{off ? "cache-disabled" : "cache-enabled"}), names());
    }
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
    ASSERT_EQ(1u, calls.size()) << "first sight of a degraded set";
    EXPECT_EQ("raid-degraded " + serialOf(bad) + "@disk0", calls[0].event + " " + calls[0].serial);
    EXPECT_EQ(V{}, names()) << "the twin changes nothing";
    step(23 * kHour);
    EXPECT_EQ(V{}, names());
    EXPECT_EQ(1u, count(log.str(), "<4>more than one device reports the serial " + serialOf(bad) +
                                       "; each is named by its serial and disk number\n"))
        << log.str();

    startMonitor();  // a restart, one hour before the reminder is due
    EXPECT_TRUE(has(log.str(), "read from"));
    EXPECT_EQ(V{}, names()) << "no repeat after a restart";
    const std::pair<uint32_t, V> rounds[] = {
        {kHour, {"raid-degraded*"}}, {kHour, {}}, {23 * kHour, {"raid-degraded*"}}};
    for (const auto& [wait, said] : rounds) {
        step(wait);
        EXPECT_EQ(said, names());
    }

    options.remindMs = 0;
    startMonitor();
    step(48 * kHour);
    EXPECT_EQ(V{}, names()) << "--remind 0: once only";
}

TEST_F(MonitorTest, LongOperationsEndOnce) {
    sim::EmulatedDevice ok = plug(0, "degraded");
    sim::EmulatedDevice fails = plug(1, "rebuild-fails");
    sim::EmulatedDevice small = plug(2, "rebuild-too-small");
    startCore();
    startMonitor();
    EXPECT_EQ((V{"raid-degraded", "raid-degraded", "raid-degraded"}), names());
    for (drl::DrlDevId id : {0u, 1u, 2u}) {
        dcp::DcpReqRebuild rebuild;
        dcp::DcpResponse* answer = nullptr;
        ASSERT_EQ(drl::Ok, core->execute(id, &rebuild, &answer));
        delete answer;
    }
    std::vector<Call> calls = poll();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ("rebuild-disk-too-small " + serialOf(small), calls[0].event + " " + calls[0].serial);
    EXPECT_TRUE(has(log.str(), "RAID Rebuild started"));

    step(12 * 1000);
    EXPECT_EQ(V{}, names()) << "progressing is no news";
    step(200 * 1000);
    calls = poll();
    // The failed rebuild also gives up its target drive.
    ASSERT_EQ((V{"rebuild-completed", "raid-normal", "rebuild-failed", "drive-failed@2"}),
              namesOf(calls));
    EXPECT_EQ("notice " + serialOf(ok), calls[0].severity + " " + calls[0].serial);
    EXPECT_EQ("err " + serialOf(fails), calls[2].severity + " " + calls[2].serial);
    EXPECT_EQ(V{}, names());
}

TEST_F(MonitorTest, ATroubledDeviceGoneAndBack) {
    sim::EmulatedDevice bad = plug(0, "degraded");
    plug(1, "healthy");
    startCore();
    startMonitor();
    EXPECT_EQ((V{"raid-degraded"}), names());
    platform->unplug(0);
    platform->unplug(1);
    rescan();
    std::vector<Call> calls = poll();
    ASSERT_EQ(1u, calls.size()) << "a healthy device may leave quietly";
    EXPECT_EQ("device-gone " + serialOf(bad) + " /dev/sda",  // its last known path
              calls[0].event + " " + calls[0].serial + " " + calls[0].path);
    EXPECT_EQ(V{}, names());
    step(25 * kHour);
    EXPECT_EQ((V{"device-gone*"}), names());

    platform->plug(0, bad.disk);
    rescan();
    EXPECT_EQ((V{"device-back", "raid-degraded*"}), names())
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
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
    EXPECT_EQ(3u, count(log.str(), "within 300 ms and was killed")) << log.str();
    const pid_t child = std::atoi(readFile(dir + "/child").c_str());
    ASSERT_GT(child, 0);
    // The kernel may still be tearing the child down after SIGKILL: a moment of real time.
    std::string stat;
    for (int i = 0; i < 200; ++i) {
        stat = readFile("/proc/" + std::to_string(child) + "/stat");
        if (stat.empty() || has(stat, ") Z")) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(stat.empty() || has(stat, ") Z")) << stat;

    // A program that does not exist: said once, the events still logged.
    options.program = dir + "/missing";
    options.test = false;
    startMonitor();
    sim::Drive sick = d.model->drive(0);
    sick.failureWarning = true;
    d.model->setDrive(0, sick);
    monitor->poll();
    for (const char* event : {"[drive-warning]", "[failure-likely]"}) {
        EXPECT_TRUE(has(log.str(), event));
    }
    EXPECT_EQ(1u, count(log.str(), dir + "/missing could not be started")) << log.str();

    // A program that fails: logged with its status.
    writeFile(dir + "/fail", "#!/bin/sh\nexit 3\n", 0755);
    options.program = dir + "/fail";
    startMonitor();
    d.model->setDrive(0, sim::makeProfile("degraded", {512, 0, nullptr})->model->drive(0));
    monitor->poll();
    EXPECT_TRUE(has(log.str(), "exited with status 3"));
}

TEST_F(MonitorTest, BadStateFilesAreKeptAsideAndReplaced) {
    plug(0, "degraded");
    startCore();
    startMonitor();
    EXPECT_EQ((V{"raid-degraded"}), names());
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
        EXPECT_TRUE(has(log.str(), "<4>the state file"));
        EXPECT_EQ(text, readFile(path + ".bad")) << "kept, not lost";
        EXPECT_EQ((V{"raid-degraded"}), names()) << "reported again, not missed";
        std::map<std::string, cli::KnownDevice> parsed;
        std::string why;
        EXPECT_TRUE(cli::Monitor::parseState(readFile(path), &parsed, &why)) << why;
        EXPECT_EQ(1u, parsed.size());
    }

    writeFile(path, good + std::string(1 << 20, '\n'));
    startMonitor();
    EXPECT_TRUE(has(log.str(), "is larger than a state file can be"));

    // A FIFO or a link in its place is refused at once, never waited on or read through.
    const std::string elsewhere = dir + "/elsewhere";
    writeFile(elsewhere, good);
    for (const bool fifo : {true, false}) {
        unlink(path.c_str());
        ASSERT_EQ(0, fifo ? mkfifo(path.c_str(), 0600) : symlink(elsewhere.c_str(), path.c_str()));
        startMonitor();
        EXPECT_TRUE(has(log.str(), fifo ? "is not a regular file" : "cannot read the state file"));
        EXPECT_EQ((V{"raid-degraded"}), names());
    }
    EXPECT_EQ(good, readFile(elsewhere));

    // A state folder that cannot be written: said once, the monitor goes on.
    options.stateDir = dir + "/file-not-folder";
    writeFile(options.stateDir, "x");
    startMonitor();
    EXPECT_EQ((V{"raid-degraded"}), names());
    poll();
    EXPECT_EQ(1u, count(log.str(), "cannot save the last known states")) << log.str();
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
    for (const V& bad :
         {V{"monitor", "--remind"}, V{"monitor", "--remind", "-1"},
          V{"monitor", "--exec-timeout", "0"}, V{"monitor", "--count", "0"},
          V{"monitor", "--exec-timeout", "86400001"}, V{"monitor", "--remind", "100001"},
          V{"monitor", "--interval", "86400001"}, V{"monitor", "--count", "9223372036854775808"},
          V{"monitor", "--frobnicate"}, V{"monitor", "--exec", ""}, V{"metrics", "--output"},
          V{"metrics", "extra"}}) {
        const Outcome r = tool(bad);
        EXPECT_EQ(cli::ExitUsage, r.code) << bad[1];
        EXPECT_TRUE(has(r.err, "--help"));
    }
    Outcome r = tool({"--emulated", "healthy,failing", "monitor", "--state-dir", dir + "/cli",
                      "--count", "2", "--interval", "5"});
    EXPECT_EQ(0, r.code);
    EXPECT_TRUE(has(r.err, "<4>"));
    EXPECT_FALSE(has(r.err, "<3>"));
    std::map<std::string, cli::KnownDevice> known;
    std::string why;
    ASSERT_TRUE(cli::Monitor::parseState(readFile(dir + "/cli/monitor.state"), &known, &why))
        << why;
    EXPECT_EQ(2u, known.size());
    EXPECT_EQ(1u, known.begin()->second.raidStatus);

    // The highest values allowed; stopped after its first round.
    const std::atomic<int> term{SIGTERM};
    r = tool({"--emulated", "healthy", "monitor", "--state-dir", dir + "/top", "--exec-timeout",
              "86400000", "--remind", "100000", "--interval", "86400000", "--count",
              "9223372036854775807"},
             "", &term);
    EXPECT_EQ(0, r.code) << r.err;
    EXPECT_FALSE(readFile(dir + "/top/monitor.state").empty());
}

}  // namespace
