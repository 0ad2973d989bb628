#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstring>

#include "cli/records_out.h"
#include "dcp/framing.h"
#include "dcp/payload.h"
#include "io/platform.h"
#include "os/manual_clock.h"
#include "sim/profiles.h"
#include "support.h"

using namespace corvane;
using namespace corvane::test;

namespace {

QString text(const std::string& s, size_t width) {
    return QString::fromLatin1(s.substr(0, width).c_str());
}

struct Field {
    const char* field;
    QJsonValue expected;
};

// The device information record against what the emulated device holds, field by field.
void expectInfo(const QJsonObject& r, sim::EmulatedDevice& device, bool inBand,
                const char* devicePath = "/dev/sda") {
    sim::DeviceModel& m = *device.model;
    const sim::Identity id = m.identity();
    const sim::Raid raid = m.raid();
    const uint64_t capacity = raid.configured ? raid.capacity : 0;
    const uint8_t status = m.raidStatus();
    const int hostBus[] = {0, 4, 7, 11};
    const Field fields[] = {
        {"type", 1},
        {"configuration", 1},
        {"driveCount", 4},
        {"raidStatus", status >= 1 && status <= 5 ? status : 0},
        {"driveFailureLikely", m.driveFailureLikely()},
        {"canInitialize", m.canInitialize()},
        {"readyForRebuild", m.readyForRebuild()},
        {"cacheDisabled", raid.cacheDisabled},
        {"largeCapacity", m.largeCapacity()},
        {"auxText1", text(id.auxText1, 16)},
        {"auxText2", text(id.auxText2, 30)},
        {"devicePath", devicePath},
        {"hostBus", hostBus[int(id.host) & 3]},
        {"productId", id.productId},
        {"serialText", QString::fromStdString(hex(id.serial.data(), 8))},
        {"vendor", text(id.vendor, 16)},
        {"model", text(id.model, 16)},
        {"productName", dcp::productNameFor(id.productId)},
        {"firmwareDate", text(id.firmwareDate, 12)},
        {"firmwareTime", text(id.firmwareTime, 12)},
        {"capacity", double(capacity)},
        {"osCapacity", capacity ? double(device.disk->sizeBytes()) : 0.0},
        {"diskTooLarge", inBand && m.diskTooLarge()},
    };
    for (const auto& f : fields)
        EXPECT_EQ(f.expected, r[f.field]) << f.field;
    QJsonArray serial;
    for (uint8_t b : id.serial)
        serial.append(b);
    EXPECT_EQ(serial, r["serialNumber"].toArray());
    EXPECT_EQ(QJsonArray(), r["volumes"].toArray());
}

void expectDrive(const QJsonObject& r, const sim::Drive& d, unsigned bay) {
    // A bay that never held a drive answers zeros.
    const bool blank = !d.present && d.model.empty();
    const int bus = blank ? 0 : d.interface == 1 ? 11 : d.interface == 2 ? 10 : 0;
    const uint8_t member = blank ? 0 : uint8_t(d.member);
    const int memberState = member >= 1 && member <= 3 ? member : member == 4 ? 3 : 0;
    const int health = member == 4                  ? 3
                       : member >= 1 && member <= 3 ? (d.failureWarning ? 2 : 1)
                                                    : 0;
    const auto number = [&](double v) { return QJsonValue(blank ? 0.0 : v); };
    const auto str = [&](const std::string& s, size_t w) {
        return QJsonValue(blank ? QString() : text(s, w));
    };
    const Field fields[] = {
        {"type", 2},
        {"driveIndex", int(bay)},
        {"present", d.present},
        {"driveBus", bus},
        {"auxText1", str(d.link, 16)},
        {"model", str(d.model, 40)},
        {"serialNumber", str(d.serial, 40)},
        {"auxText2", str(d.firmware, 8)},
        {"capacity", number(double(d.capacity))},
        {"health", health},
        {"scanErrors", number(d.scanErrors)},
        {"badBlocksRemapped", number(d.badBlocksRemapped)},
        {"auxCounter1", number(d.powerOnHours)},
        {"auxCounter2", number(d.startCount)},
        {"crcErrors", number(d.crcErrors)},
        {"temperature", number(d.temperature)},
        {"memberState", memberState},
        {"auxBytes",
         QString::fromStdString(blank ? std::string(32, '0') : hex(d.wwn.data(), d.wwn.size()))},
        {"raidSetId", str(d.raidSetId, 30)},
        {"auxByte", number(d.slot)},
    };
    for (const auto& f : fields)
        EXPECT_EQ(f.expected, r[f.field]) << "bay " << bay << " " << f.field;
}

uint64_t requests(sim::DeviceModel& m) {
    uint64_t n = 0;
    for (int sub = 1; sub <= 6; ++sub)
        n += m.requests(uint8_t(sub));
    return n;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream s(text);
    for (std::string line; std::getline(s, line);)
        out.push_back(line);
    return out;
}

bool validUtf8(const std::string& s) {
    const QByteArray bytes = QByteArray::fromStdString(s);
    return QString::fromUtf8(bytes).toUtf8() == bytes;
}

// Every output line is one JSON object.
std::vector<QJsonObject> objects(const std::string& text) {
    std::vector<QJsonObject> out;
    for (const std::string& line : lines(text)) {
        EXPECT_TRUE(validUtf8(line)) << line;
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(line), &error);
        EXPECT_EQ(QJsonParseError::NoError, error.error) << line;
        EXPECT_TRUE(doc.isObject()) << line;
        out.push_back(doc.object());
    }
    return out;
}

class CliTest : public ::testing::Test {
protected:
    void TearDown() override { io::setPlatform(nullptr); }

    sim::EmulatedDevice plug(const std::string& profile, uint32_t blockSize = 512,
                             bool inBand = false) {
        // A still clock: the report shows the controller's uptime.
        auto device = sim::makeProfile(profile, {blockSize, 0, &clock});
        EXPECT_TRUE(device) << profile;
        if (inBand) {
            sim::TransportFaults f;
            f.directRefused = true;
            device->firmware->setFaults(f);
        }
        platform->plug(0, device->disk);
        io::setPlatform(platform);
        return *device;
    }

    os::ManualClock clock;
    std::shared_ptr<sim::EmulatedPlatform> platform = std::make_shared<sim::EmulatedPlatform>();
};

// Each profile, both block sizes, both transports: every record is what the device holds,
// field by field; each command costs its own exchanges plus at most the probe (info: the
// probe is its exchange); the long operations go out only when the device allows them.
TEST_F(CliTest, EveryCommandOnEveryProfile) {
    for (const std::string& profile : sim::profileNames()) {
        for (uint32_t blockSize : {512u, 4096u}) {
            for (bool inBand : {false, true}) {
                SCOPED_TRACE(profile + " " + std::to_string(blockSize) +
                             (inBand ? " in-band" : ""));
                sim::EmulatedDevice device = plug(profile, blockSize, inBand);
                sim::DeviceModel& m = *device.model;
                auto with = [&](std::vector<std::string> more, uint64_t exchanges) {
                    std::vector<std::string> args = {"--disk-number", "0", "--json"};
                    args.insert(args.end(), more.begin(), more.end());
                    const uint64_t before = requests(m);
                    Outcome o = tool(args);
                    EXPECT_EQ(exchanges, requests(m) - before) << more[0];
                    return o;
                };

                Outcome info = with({"info"}, 1);
                ASSERT_EQ(0, info.code) << info.err;
                const auto records = objects(info.out);
                ASSERT_EQ(1u, records.size());
                expectInfo(records[0], device, inBand);

                Outcome drives = with({"drives"}, 5);
                ASSERT_EQ(0, drives.code) << drives.err;
                const auto bays = objects(drives.out);
                ASSERT_EQ(4u, bays.size());
                for (unsigned bay = 0; bay < 4; ++bay)
                    expectDrive(bays[bay], m.drive(bay), bay);
                EXPECT_EQ(1u, objects(with({"drives", "--bay", "2"}, 2).out).size());

                const uint64_t probes = m.requests(dcp::SubGetInfo);
                Outcome report = tool({"--disk-number", "0", "--json", "report"});
                ASSERT_EQ(0, report.code) << report.err;
                EXPECT_EQ(1u, m.requests(dcp::SubGetInfo) - probes);
                EXPECT_EQ(QString::fromLatin1(m.statusReport().c_str()),
                          objects(report.out).at(0)["text"].toString());

                const sim::Progress p = m.progress();
                const QJsonObject progress = objects(with({"progress"}, 2).out).at(0);
                EXPECT_EQ(int(dcp::progressOperationFor(uint8_t(p.operation))),
                          progress["operation"].toInt());
                EXPECT_EQ(int(dcp::progressPhaseFor(uint8_t(p.phase))), progress["phase"].toInt());
                EXPECT_EQ(p.percent, progress["percent"].toInt());

                const bool ready = m.readyForRebuild();
                Outcome rebuild = with({"rebuild", "--yes"}, ready ? 2 : 1);
                EXPECT_EQ(ready ? 0 : 1, rebuild.code) << rebuild.err;
                if (!ready) {
                    EXPECT_EQ("", rebuild.out);
                    EXPECT_TRUE(has(rebuild.err, "not ready for a rebuild"));
                    rebuild = with({"rebuild", "--yes", "--force"}, 2);
                    EXPECT_EQ(1, rebuild.code) << "the device refuses it itself";
                }
                EXPECT_TRUE(objects(rebuild.out).at(0)["result"].isDouble());

                // A fresh device: the rebuild above may have changed what init allows.
                sim::EmulatedDevice again = plug(profile, blockSize, inBand);
                const bool allowed = again.model->canInitialize();
                const uint64_t writes = again.disk->counters().writes;
                Outcome init =
                    tool({"--disk-number", "0", "init", "--capacity-mode", "1", "--yes"});
                EXPECT_EQ(allowed ? 0 : 1, init.code) << init.err;
                EXPECT_EQ(allowed ? 1u : 0u, again.model->requests(dcp::SubInitConfiguration));
                if (inBand) {
                    EXPECT_EQ(allowed ? 2u : 1u, again.disk->counters().writes - writes)
                        << "one command sector per exchange";
                }
            }
        }
    }
}

TEST_F(CliTest, DocumentedExitCodes) {
    // Ignores every command sector: it is one of ours that does not answer.
    sim::EmulatedDevice device = plug("healthy", 4096, true);
    sim::TransportFaults f;
    f.directRefused = true;
    f.ignoreCommands = true;
    device.firmware->setFaults(f);
    Outcome r = tool({"--disk-number", "0", "info"});
    EXPECT_EQ(cli::ExitIoFailure, r.code);
    EXPECT_TRUE(has(r.err, "/dev/sda"));

    // Another maker's device.
    device = plug("healthy");
    device.model->setVendor("Quillon");
    r = tool({"--disk-number", "0", "drives"});
    EXPECT_EQ(cli::ExitNotOurs, r.code);
    EXPECT_TRUE(has(r.err, "Quillon"));

    // An ordinary disk, then one that cannot be read.
    auto plain = std::make_shared<sim::EmulatedDisk>(512, 1 << 16);
    platform->plug(1, plain);
    EXPECT_EQ(cli::ExitNotOurs, tool({"--disk-number", "1", "info"}).code);
    EXPECT_EQ(0u, plain->counters().writes);
    plain->setFaultInjector([](sim::DiskOp op, uint64_t) {
        return op == sim::DiskOp::Read || op == sim::DiskOp::Scsi ? EIO : 0;
    });
    EXPECT_EQ(cli::ExitIoFailure, tool({"--disk-number", "1", "info"}).code);
    r = tool({"--disk-number", "2", "info"});
    EXPECT_EQ(cli::ExitIoFailure, r.code);
    EXPECT_TRUE(has(r.err, "/dev/sdc"));

    // A disk image on the real platform is no device: it gets no exchange at all.
    io::setPlatform(nullptr);
    const TempDir tmp;
    writeFile(tmp.path + "/image", std::string(1 << 20, '\0'));
    r = tool({"--disk", tmp.path + "/image", "info"});
    EXPECT_EQ(cli::ExitNotOurs, r.code) << r.err;
    EXPECT_TRUE(has(r.err, "disk image"));
}

// A command that is interrupted ends between two exchanges: the one under way runs to its
// end (its record is printed, the mailbox holds no command), no further one starts.
TEST_F(CliTest, SignalsStopBetweenExchanges) {
    // Raises the signal while the device handles its n-th request of one sub-command.
    struct Interrupter : sim::CommandHandler {
        Interrupter(std::shared_ptr<sim::DeviceModel> model, uint8_t sub, int n, int signal,
                    std::atomic<int>* flag)
            : model(std::move(model)), sub(sub), left(n), signal(signal), flag(flag) {}
        bool handle(const uint8_t* request8, uint8_t* response490) override {
            if (request8[0] == sub && --left == 0)
                flag->store(signal);
            return model->handle(request8, response490);
        }
        std::shared_ptr<sim::DeviceModel> model;
        uint8_t sub;
        int left, signal;
        std::atomic<int>* flag;
    };
    const struct {
        const char* command;
        uint8_t sub;
        int n, signal;
        size_t records;     // printed before the stop
        uint64_t requests;  // of that sub-command, the interrupted one included
    } cases[] = {
        {"drives", dcp::SubGetDriveInfo, 3, SIGTERM, 3, 3},
        {"rebuild", dcp::SubGetInfo, 1, SIGTERM, 0, 1},      // the probe: no rebuild is sent
        {"report", dcp::SubGetStatusText, 5, SIGINT, 0, 5},  // an endless report
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        for (bool inBand : {false, true}) {
            sim::EmulatedDevice device = plug("degraded", 512, inBand);
            sim::ModelFaults faults;
            faults.endlessStatus = sim::EndlessStatus::Repeating;
            device.model->setFaults(faults);
            std::atomic<int> flag{0};
            device.firmware->setHandler(
                std::make_shared<Interrupter>(device.model, c.sub, c.n, c.signal, &flag));
            std::vector<std::string> args = {"--disk-number", "0", "--json", c.command};
            if (std::string(c.command) == "rebuild")
                args.push_back("--yes");
            const Outcome r = tool(args, "", &flag);
            EXPECT_EQ(128 + c.signal, r.code) << r.err;
            EXPECT_TRUE(has(r.err, c.signal == SIGINT ? "SIGINT" : "SIGTERM"));
            EXPECT_EQ(c.records, lines(r.out).size());
            EXPECT_EQ(c.requests, device.model->requests(c.sub));
            EXPECT_EQ(0u, device.model->requests(dcp::SubRebuild));
            uint8_t box[512];
            device.disk->peek(device.firmware->mailboxLba(), box);
            EXPECT_NE(0, std::memcmp(box, dcp::kCommandSignature, 16));
        }
    }
}

TEST_F(CliTest, UsageErrorsTouchNoDisk) {
    sim::EmulatedDevice device = plug("new");
    device.disk->resetCounters();
    const struct {
        std::vector<std::string> args;
        const char* says;  // the message names what is wrong
    } cases[] = {
        {{"--disk-number", "0", "drives", "--bay", "4"}, "--bay"},
        {{"--disk-number", "0", "init"}, "--capacity-mode"},
        {{"--disk-number", "0", "init", "--capacity-mode", "3"}, "--capacity-mode"},
        {{"--disk-number", "26", "info"}, "--disk-number"},
        {{"--disk", "/dev/sda", "--disk-number", "0", "info"}, "--disk and --disk-number"},
        {{"--disk", "/dev/sda", "--emulated", "healthy", "info"}, "--disk and --emulated"},
        {{"--disk", "/dev/sda", "scan"}, "--disk does not go with scan"},
        {{"--disk", "/dev/sda", "--disk-pattern", "/dev/loop%d", "info"},
         "--disk and --disk-pattern"},
        {{"--disk-pattern", "/dev/loop%d", "--emulated", "healthy", "scan"},
         "--disk-pattern and --emulated"},
        {{"--disk-number", "1", "watch"}, "--disk-number does not go with watch"},
        {{"--disk-number", "0", "--disk-number", "1", "info"}, "--disk-number is given twice"},
        {{"-y", "rebuild", "--yes"}, "--yes is given twice"},
        {{"--disk", "", "info"}, "--disk needs a value, not an empty text"},
        {{"--emulated", "healthy", "--block-size", "1000", "info"}, "block size"},
        {{"--emulated", "healthy", "--block-size", "256", "info"}, "block size"},
        {{"--emulated", "healthy", "--block-size", "131072", "info"}, "block size"},
        {{"--block-size", "4096", "info"}, "--block-size goes with --emulated"},
        {{"--disk-number", "0", "info", "--yes"}, "--yes goes with rebuild or init"},
        {{"--disk-number", "0", "progress", "--force"}, "--force goes with rebuild or init"},
        {{"--disk-number", "0", "info", "--count", "1"}, "--count goes with watch"},
        {{"--disk-number", "0", "frobnicate"}, "frobnicate"},
        {{"--disk-number", "0", "info", "--capacity-mode", "1"}, "--capacity-mode"},
        {{"--emulated", "no-such-profile", "info"}, "no-such-profile"},
        {{"--disk-number"}, "--disk-number"},
        {{"--emulated", "", "scan"}, "--emulated needs profile names"},
        {{}, "usage"},
    };
    for (const auto& c : cases) {
        Outcome r = tool(c.args);
        EXPECT_EQ(cli::ExitUsage, r.code) << r.out;
        EXPECT_TRUE(has(r.err, c.says));
    }
    // Help needs no --capacity-mode even for init, and touches no disk either.
    const Outcome help = tool({"init", "--help"});
    EXPECT_EQ(0, help.code) << help.err;
    EXPECT_TRUE(has(help.out, "init --capacity-mode"));
    EXPECT_EQ(0u, device.disk->counters().total());

    // The highest values allowed are no usage errors.
    EXPECT_EQ(cli::ExitIoFailure, tool({"--disk-number", "25", "info"}).code);
    for (const char* size : {"512", "65536"}) {
        const Outcome r = tool({"--emulated", "healthy", "--block-size", size, "info"});
        EXPECT_EQ(0, r.code) << size << ": " << r.err;
    }
}

// Only a yes starts it: an empty line, the end of the input or any other word declines.
TEST_F(CliTest, LongOperationsAskFirst) {
    const struct {
        const char* command;
        const char* answer;
        bool started;
    } cases[] = {
        {"rebuild", "n\n", false},  {"rebuild", "\n", false},   {"rebuild", "", false},
        {"rebuild", "no\n", false}, {"rebuild", " y\n", false}, {"rebuild", "yess\n", false},
        {"rebuild", "y\n", true},   {"rebuild", "Y\n", true},   {"rebuild", "yes\n", true},
        {"rebuild", "YES\n", true}, {"init", "\n", false},      {"init", "y\n", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.command) + " answered \"" + c.answer + "\"");
        const bool rebuild = c.command == std::string("rebuild");
        sim::EmulatedDevice device = plug(rebuild ? "degraded" : "new");
        std::vector<std::string> args = {"--disk-number", "0", c.command};
        if (!rebuild) {
            args.insert(args.end(), {"--capacity-mode", "2"});
        }
        const Outcome r = tool(args, c.answer);
        EXPECT_EQ(c.started ? 0 : cli::ExitNotDone, r.code) << r.err;
        EXPECT_TRUE(has(r.err, "[y/N]"));
        EXPECT_EQ(c.started ? 1u : 0u,
                  device.model->requests(rebuild ? dcp::SubRebuild : dcp::SubInitConfiguration));
        if (!c.started || rebuild) {
            EXPECT_EQ(c.started ? "Rebuild in Progress\n" : "", r.out);
        }
    }
}

// Escape sequences in a device text would retitle or clear the terminal, a CR LF would
// forge a line: text output and messages show them escaped. Latin-1 bytes and texts that
// fill their fields become valid UTF-8.
TEST_F(CliTest, DeviceTextsAreEscapedAndValidUtf8) {
    sim::EmulatedDevice device = plug("healthy");
    sim::ModelFaults faults;
    faults.textsAbove127 = true;
    faults.textsWithoutNul = true;
    device.model->setFaults(faults);
    sim::Identity id = device.model->identity();
    id.model = "\x1b]0;own\x07\x1b[2J";
    device.model->setIdentity(id);
    sim::Drive drive = device.model->drive(0);
    drive.model = "ok\r\nBay 9: forged\x80\x9b\x9f\x7f\x1f";
    device.model->setDrive(0, drive);
    device.model->note("event \x1b[31mred");
    const struct {
        const char* command;
        const char* shown;
    } cases[] = {{"info", "\\x1b]0;own\\x07"},
                 {"drives", "ok\\x0d\\x0aBay 9: forged\\x80\\x9b\\x9f\\x7f\\x1f"},
                 {"report", "\\x1b[31mred"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        const std::string json = tool({"--disk-number", "0", "--json", c.command}).out;
        EXPECT_FALSE(objects(json).empty());
        for (const char* raw : {"\x1b", "\x7f", "\xc2\x80", "\xc2\x9b", "\xc2\x9f"})
            EXPECT_EQ(std::string::npos, json.find(raw)) << json;
        const Outcome r = tool({"--disk-number", "0", c.command});
        ASSERT_EQ(0, r.code) << r.err;
        EXPECT_TRUE(validUtf8(r.out));
        EXPECT_EQ(std::string::npos, r.out.find_first_of("\x1b\x07\r")) << r.out;
        for (const char* c1 : {"\xc2\x80", "\xc2\x9b"})
            EXPECT_FALSE(has(r.out, c1)) << "a C1 control";
        EXPECT_TRUE(has(r.out, c.shown));
        // The report is many lines of HTML anyway; the records' fields are one line each.
        for (const std::string& line : lines(r.out))
            EXPECT_TRUE(c.command == std::string("report") || line.rfind("Bay 9", 0) != 0) << line;
    }
    EXPECT_TRUE(has(tool({"--disk-number", "0", "--json", "drives"}).out,
                    "forged\\u0080\\u009b\\u009f\\u007f\\u001f"));
    device.model->setVendor("Qu\x1b[2Jillon");
    const Outcome r = tool({"--disk-number", "0", "info"});
    EXPECT_EQ(cli::ExitNotOurs, r.code);
    EXPECT_TRUE(has(r.err, "Qu\\x1b[2Jillon"));
}

// Paths and mount points are the system's UTF-8; device texts are Latin-1.
TEST_F(CliTest, Utf8PathsAndMountPoints) {
    sim::EmulatedDevice device = plug("healthy");
    const std::string path = "/dev/disk/by-label/D\xc3\xa9p\xc3\xb4t \xe2\x82\xac";
    platform->addPath(path, device.disk);
    const Outcome json = tool({"--disk", path, "--json", "info"});
    ASSERT_EQ(0, json.code) << json.err;
    EXPECT_EQ(QString::fromUtf8(path.c_str()), objects(json.out).at(0)["devicePath"].toString());
    const Outcome text = tool({"--disk", path, "info"});
    EXPECT_TRUE(has(text.out, "Device:        " + path + "\n"));

    dcp::DcpRespInfo info;
    info.devicePath = "/dev/sdb";
    info.volumes = {"/media/\xc3\x9clrich", "/mnt/bad\xff", "/mnt/tab\there"};
    info.model = "M\xfcller";    // Latin-1 from the device
    info.capacity = 1ull << 42;  // the system sees only a part: a warning without the flag
    info.osCapacity = 1ull << 41;
    const QJsonObject r = objects(cli::toJson(info)).at(0);
    EXPECT_EQ(QJsonArray({QString::fromUtf8("/media/\xc3\x9clrich"),
                          QString::fromUtf8("/mnt/bad\xef\xbf\xbd"), "/mnt/tab\there"}),
              r["volumes"].toArray());
    EXPECT_EQ(QString::fromUtf8("M\xc3\xbcller"), r["model"].toString());
    const std::string shown = cli::toText(info);
    EXPECT_TRUE(
        has(shown, "Volumes:       /media/\xc3\x9clrich, /mnt/bad\\xff, /mnt/tab\\x09here\n"));
    EXPECT_TRUE(has(shown, "Model:         M\xc3\xbcller\n"));
    EXPECT_TRUE(has(shown, "OS Incompatibility Detected (Disk Too Large)"));
}

// Scan: one GetInfo exchange per device that answers; watch: the device list, then records.
// Interrupted, both stop between exchanges.
TEST_F(CliTest, ScanAndWatch) {
    std::vector<sim::EmulatedDevice> devices;
    for (unsigned n : {0u, 2u, 5u}) {
        devices.push_back(*sim::makeProfile("healthy", {512, n, &clock}));
        platform->plug(n, devices.back().disk);
    }
    platform->plug(3, std::make_shared<sim::EmulatedDisk>(512, 1 << 16));
    io::setPlatform(platform);
    const Outcome scan = tool({"--json", "scan"});
    ASSERT_EQ(0, scan.code) << scan.err;
    const auto found = objects(scan.out);
    ASSERT_EQ(3u, found.size());
    const char* paths[] = {"/dev/sda", "/dev/sdc", "/dev/sdf"};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(int(i), found[i]["devId"].toInt());
        expectInfo(found[i], devices[i], false, paths[i]);
        EXPECT_EQ(1u, devices[i].model->requests(dcp::SubGetInfo));
    }
    std::atomic<int> signal{SIGINT};
    Outcome stopped = tool({"scan"}, "", &signal);
    EXPECT_EQ(130, stopped.code);
    EXPECT_EQ("", stopped.out);
    EXPECT_EQ(1u, devices[0].model->requests(dcp::SubGetInfo));

    io::setPlatform(nullptr);
    Outcome watch = tool({"--emulated", "healthy", "--json", "watch", "--count", "3"});
    ASSERT_EQ(0, watch.code) << watch.err;
    const auto events = objects(watch.out);
    ASSERT_EQ(3u, events.size());
    EXPECT_EQ("DeviceListChanged", events[0]["event"].toString());
    bool sawDevice = false;
    for (const auto& e : events) {
        sawDevice |=
            e["event"].toString() == "DeviceListChanged" && !e["devices"].toArray().isEmpty();
        if (e["event"].toString() == "AsyncCommResult") {
            EXPECT_TRUE(e["record"].isObject());
            EXPECT_EQ(0, e["devId"].toInt());
        }
    }
    EXPECT_TRUE(sawDevice);
    signal = SIGTERM;
    stopped = tool({"--emulated", "healthy", "watch"}, "", &signal);
    EXPECT_EQ(143, stopped.code);
    EXPECT_TRUE(has(stopped.err, "SIGTERM"));
}

}  // namespace
