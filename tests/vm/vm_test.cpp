// drivelore-cli in a QEMU guest (TCG) through the guest kernel's SCSI stack: tcm_loop disks
// over drivelore-tcmu take the vendor command through SG_IO, QEMU's scsi-hd disks over
// FUSE-served emulated devices refuse it and take the in-band mailbox through sd. One boot
// runs every check; each test reads its part of what the guest printed and compares it
// with the same commands run in-process on the same profile.
// Exit status 77 (skipped) when QEMU, the kernel, busybox, cpio or /dev/fuse is missing.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include "dcp/framing.h"
#include "tests/support/served_devices.h"

using namespace corvane;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kBootLimitSeconds = 240;
constexpr unsigned kHangUnit = 30, kHotUnit = 22;
constexpr auto kMonitorWait = std::chrono::seconds(20);
const std::string kQemu = "qemu";  // a scsi-hd disk of QEMU's, not a tcm_loop one
const std::string kFallback = "trying the in-band mailbox";
const std::string kRefused = "refused with SCSI status 0x02";

// A disk of the guest, device N of the table with unit N, and what is run on it in order.
struct GuestDisk {
    std::string name;  // its SCSI model in the guest
    std::string profile;
    uint32_t blockSize;
    std::string faults;                 // drivelore-tcmu's options, or kQemu
    std::vector<std::string> commands;  // "reset" is a reset of the device
    std::string why;                    // the debug note of a fall-back to the mailbox
    std::string falls = "";             // per command, 1 where it falls back; none if empty
};

const std::vector<std::string> kReadAll = {"info", "drives", "report", "progress"};

std::vector<std::string> plus(std::vector<std::string> a, const std::string& b) {
    a.push_back(b);
    return a;
}

const std::vector<GuestDisk> kDisks = {
    {"healthy512", "healthy", 512, "", kReadAll, ""},
    {"healthy4k", "healthy", 4096, "", kReadAll, ""},
    {"degraded4k", "degraded", 4096, "", plus(plus(kReadAll, "rebuild --yes"), "progress"), ""},
    // A device initialising its set answers nothing for a while: init is the last command.
    {"new512", "new", 512, "", plus(kReadAll, "init --capacity-mode 1 --yes"), ""},
    {"failing4k", "failing", 4096, "", kReadAll, ""},
    {"toolarge512", "too-large", 512, "", kReadAll, ""},
    {"rbsmall4k", "rebuild-too-small", 4096, "", plus(kReadAll, "rebuild --yes"), ""},
    {"rbfails512", "rebuild-fails", 512, "", plus(kReadAll, "rebuild --yes"), ""},
    {"refused", "healthy", 512, "--refuse", {"info", "drives"}, kRefused, "11"},
    {"short1",
     "healthy",
     4096,
     "--short 1",
     {"info", "drives"},
     "short answer, 1 of 256 bytes (residual 255)",
     "11"},
    {"short100",
     "healthy",
     512,
     "--short 100",
     {"info", "drives"},
     "short answer, 100 of 256 bytes (residual 156)",
     "11"},
    {"short255",
     "healthy",
     512,
     "--short 255",
     {"info"},
     "short answer, 255 of 256 bytes (residual 1)",
     "1"},
    // The one-second time-out through the generic node: a host time-out status.
    {"late",
     "healthy",
     512,
     "--late 3000 --times 1",
     {"info", "info"},
     "transport error (host status 0x03",
     "10"},
    {"deferred", "degraded", 4096, "--deferred --times 1", {"drives", "drives"}, kRefused, "10"},
    {"reset", "healthy", 512, "", {"info", "reset", "info", "info"}, kRefused, "0010"},
    {"vdegraded", "degraded", 512, kQemu, {"info", "drives", "report"}, kRefused, "111"},
    {"vhealthy4k", "healthy", 4096, kQemu, {"info"}, kRefused, "1"},
};

// What the guest printed for one command.
struct Check {
    int code = -1;
    std::string out, err;
};

struct Guest {
    std::string skipped;  // why the suite did not run
    std::string failure;  // why the guest gave no results
    std::map<std::string, Check> checks;
    std::map<std::string, std::map<std::string, uint64_t>> stats;
    std::map<std::string, std::string> genericNode;  // disk name -> sgN
    std::vector<std::string> core;                   // what drivelore-vmcore printed
    std::string console;
    std::map<std::string, sim::EmulatedDevice> served;  // QEMU's disks by name, "hot" too
    std::shared_ptr<sim::EmulatedDisk> plain;
    std::vector<std::string> watch;      // watch's events, one a line
    std::vector<double> plugSeconds;     // from device_add and device_del to watch's event
    std::vector<std::string> monitor;    // the monitor's log lines
    std::vector<double> monitorSeconds;  // from device_add and device_del to its line
    // The hot disk's transfers and its mailbox block when it was plugged in again.
    std::vector<sim::LoggedOp> hotLog;
    std::vector<uint8_t> hotMailbox;
};

Guest* guest = nullptr;

std::string label(const std::string& disk, size_t step) {
    return disk + "." + std::to_string(step);
}

std::string readFile(const fs::path& p) {
    std::ifstream in(p);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; ++at) {
        ++n;
    }
    return n;
}

std::string serialOf(const std::string& profile, uint32_t blockSize, unsigned unit) {
    return testkit::hex(
        sim::makeProfile(profile, {blockSize, unit, nullptr})->model->identity().serial);
}

// A record as a comparison takes it: the disk's path and a running operation's percentage
// differ between the guest and the in-process run, and so does the controller's uptime.
std::string normal(const std::string& text) {
    std::istringstream lines(text);
    std::string out, line;
    while (std::getline(lines, line)) {
        QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
        if (!o.isEmpty()) {
            o.remove("devicePath");
            o.remove("percent");
            if (o.contains("text")) {
                o["text"] =
                    QString::fromStdString(testkit::timeless(o["text"].toString().toStdString()));
            }
            line = QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString();
        }
        out += line + "\n";
    }
    return out;
}

// The same commands in-process, on a fresh device of the same profile, unit and block size.
std::vector<testkit::Outcome> inProcess(const GuestDisk& d, unsigned unit) {
    auto platform = std::make_shared<sim::EmulatedPlatform>();
    platform->plug(0, sim::makeProfile(d.profile, {d.blockSize, unit, nullptr})->disk);
    std::vector<testkit::Outcome> results;
    for (const std::string& command : d.commands) {
        io::setPlatform(platform);
        std::string err;
        results.push_back(
            command == "reset"
                ? testkit::Outcome{0, ""}
                : testkit::cli(testkit::words("--disk-number 0 --json " + command), &err));
    }
    return results;
}

void parseResults(const std::string& text, Guest* g) {
    std::istringstream lines(text);
    std::string line;
    Check* check = nullptr;
    bool inErr = false;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        std::istringstream words(line);
        std::string tag, name, rest;
        words >> tag >> name;
        if (tag == "@@BEGIN") {
            check = &g->checks[name];
            inErr = false;
        } else if (tag == "@@STDERR" && check) {
            inErr = true;
        } else if (tag == "@@END" && check) {
            words >> check->code;
            check = nullptr;
        } else if (tag == "@@STATS") {
            for (std::string kv; words >> kv;) {
                const size_t eq = kv.find('=');
                g->stats[name][kv.substr(0, eq)] = std::stoull(kv.substr(eq + 1));
            }
        } else if (tag == "@@WATCH" && line.find("\"DeviceListChanged\"") != std::string::npos) {
            g->watch.push_back(line.substr(8));
        } else if (tag == "@@DISK") {
            words >> rest >> g->genericNode[name];
        } else if (tag == "@@MONITOR") {
            g->monitor.push_back(line.substr(10));
        } else if (tag == "@@CORE") {
            g->core.push_back(line.substr(7));
        } else if (tag == "@@DONE" && name != "ok") {
            std::getline(words, rest);
            g->failure = "the guest stopped: " + name + rest;
        } else if (check) {
            (inErr ? check->err : check->out) += line + "\n";
        }
    }
}

std::string prerequisites(const fs::path& cache, fs::path* kernel) {
    for (const char* program : {"qemu-system-x86_64", "busybox", "cpio"}) {
        if (std::system(("command -v " + std::string(program) + " >/dev/null").c_str()) != 0) {
            return std::string(program) + " is not installed (scripts/deps.sh)";
        }
    }
    std::error_code ec;
    for (fs::directory_iterator it(cache / "root/boot", ec), end; !ec && it != end;
         it.increment(ec)) {
        if (it->path().filename().string().rfind("vmlinuz-", 0) == 0) {
            *kernel = it->path();
        }
    }
    if (kernel->empty()) {
        return "no kernel under " + cache.string() + " (tests/vm/fetch-kernel.sh)";
    }
    return testkit::fuseUnavailable();
}

// The test plan under dir/plan, QEMU's disks in files, and QEMU's disk arguments.
void plan(const fs::path& dir, Guest* g, sim::DiskFileSystem::Files* files,
          std::vector<std::string>* qemuArgs) {
    fs::create_directories(dir / "plan");
    std::ofstream tcmu(dir / "plan/tcmu"), checks(dir / "plan/checks"), virtio(dir / "plan/virtio");
    for (unsigned n = 0; n < kDisks.size(); ++n) {
        const GuestDisk& d = kDisks[n];
        const auto device = *sim::makeProfile(d.profile, {d.blockSize, n, nullptr});
        if (d.faults == kQemu) {
            device.disk->fillWithPattern(0xF00D + n);
            g->served[d.name] = device;
            files->emplace_back(d.name, device.disk);
            virtio << d.name << "\n";
        } else {
            tcmu << d.name << " 1 " << device.disk->sizeBytes() << " " << d.blockSize
                 << " --profile " << d.profile << " --unit " << n << " " << d.faults << "\n";
        }
        for (size_t step = 0; step < d.commands.size(); ++step) {
            if (d.commands[step] == "reset") {
                checks << "reset - " << d.name << "\n";
            } else {
                checks << "run " << label(d.name, step) << " " << d.name << " --json "
                       << d.commands[step] << "\n";
            }
        }
        if (d.faults != kQemu) {
            checks << "stats - " << d.name << "\n";
        }
    }
    g->served["hot"] = *sim::makeProfile("healthy", {512, kHotUnit, nullptr});
    g->plain = std::make_shared<sim::EmulatedDisk>(512, 1u << 20);
    g->plain->fillWithPattern(0xBEEF);
    files->emplace_back("plain", g->plain);
    virtio << "plain\n";
    checks << "run plain.0 plain --json info\nall scan - --json scan\nhotplug - "
           << testkit::hex(g->served["hot"].model->identity().serial) << "\ncore - hang\n";
    // On a SCSI host of its own, answering until the core check stops its handler.
    tcmu << "hang 2 " << sim::makeProfile("healthy", {512, kHangUnit, nullptr})->disk->sizeBytes()
         << " 512 --profile healthy --unit " << kHangUnit << "\n";
    for (const auto& [name, disk] : *files) {
        const std::string block = std::to_string(disk->blockSize());
        qemuArgs->insert(qemuArgs->end(),
                         {"-drive",
                          "file=" + (dir / "mnt" / name).string() + ",if=none,id=" + name +
                              ",format=raw,cache=none,file.locking=off",
                          "-device",
                          "scsi-hd,bus=scsi0.0,drive=" + name + ",product=" + name +
                              ",logical_block_size=" + block + ",physical_block_size=" + block});
    }
    // The hot disk is plugged in later; a node of its own outlives device_del, for the return.
    files->emplace_back("hot", g->served["hot"].disk);
    qemuArgs->insert(qemuArgs->end(), {"-blockdev",
                                       "driver=file,node-name=hotfile,cache.direct=on,locking=off,"
                                       "filename=" +
                                           (dir / "mnt/hot").string(),
                                       "-blockdev", "driver=raw,node-name=hot,file=hotfile"});
}

// Plugs the hot disk in once watch has made its first scan, out while the device answers
// a command (the hook holds the command's write for a second), and in again; each step
// once watch and the monitor in the guest have seen the one before.
class HotPlug {
public:
    HotPlug(Guest* g, const fs::path& dir)
        : g_(g), dir_(dir), serial_(testkit::hex(g->served["hot"].model->identity().serial)) {
        g->served["hot"].firmware->setExchangeHook([this] {
            if (armed_.exchange(false)) {
                answering_ = true;
                std::this_thread::sleep_for(std::chrono::seconds(1));
            }
        });
    }
    ~HotPlug() {
        g_->served["hot"].firmware->setExchangeHook(nullptr);
        ::close(fd_);
    }

    void step(const std::string& results) {
        const auto now = Clock::now();
        const size_t events = count(results, "@@WATCH {\"event\":\"DeviceListChanged\"");
        if (plugs_ > 0 && g_->plugSeconds.size() < plugs_ && events >= 2 + plugs_) {
            g_->plugSeconds.push_back(std::chrono::duration<double>(now - since_).count());
        }
        const size_t said = count(results, "device " + serial_ + " (");
        if (plugs_ > 0 && g_->monitorSeconds.size() < plugs_ && said >= plugs_) {
            g_->monitorSeconds.push_back(std::chrono::duration<double>(now - since_).count());
        }
        // A monitor silent for 20 s holds up no step: watch's checks still run.
        const bool seen = g_->plugSeconds.size() == plugs_ &&
                          (g_->monitorSeconds.size() == plugs_ || now - since_ > kMonitorWait);
        if (plugs_ == 0 && events >= 2) {
            if (!connect((dir_ / "qmp").string())) {
                fail("no QEMU monitor: " + std::string(std::strerror(errno)));
            }
            plug("device_add", "hot0");
        } else if (plugs_ == 1 && seen && !armedOnce_) {
            armed_ = armedOnce_ = true;
        } else if (plugs_ == 1 && armedOnce_ &&
                   (answering_ || now - since_ > std::chrono::seconds(30))) {
            plug("device_del", "hot0");
        } else if (plugs_ == 2 && seen) {
            const sim::EmulatedDevice& hot = g_->served["hot"];
            g_->hotLog = hot.disk->log();
            g_->hotMailbox.resize(hot.disk->blockSize());
            hot.disk->peek(hot.firmware->mailboxLba(), g_->hotMailbox.data());
            plug("device_add", "hot1");
        }
    }

private:
    // QEMU's monitor protocol on a Unix socket: one command, its answer (events skipped).
    bool connect(const std::string& path) {
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
        return ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
               line().find("QMP") != std::string::npos &&
               qmp(R"({"execute":"qmp_capabilities"})").find("return") != std::string::npos;
    }
    std::string qmp(const std::string& json) {
        const std::string out = json + "\n";
        const bool sent = ::write(fd_, out.data(), out.size()) == ssize_t(out.size());
        for (std::string l; sent && !(l = line()).empty();) {
            if (l.find("\"return\"") != std::string::npos ||
                l.find("\"error\"") != std::string::npos) {
                return l;
            }
        }
        return {};
    }
    std::string line() {
        std::string l;
        for (char c; ::read(fd_, &c, 1) == 1 && c != '\n';) {
            l += c;
        }
        return l;
    }
    void fail(const std::string& why) {
        if (g_->failure.empty()) {
            g_->failure = why;
        }
    }
    void plug(const std::string& what, const std::string& id) {
        const std::string command =
            R"({"execute":")" + what + R"(","arguments":{)" +
            (what == "device_add" ? R"("driver":"scsi-hd","bus":"scsi0.0","drive":"hot",)"
                                    R"("product":"hot",)"
                                  : "") +
            R"("id":")" + id + "\"}}";
        const std::string answer = qmp(command);
        if (answer.find("\"return\"") == std::string::npos) {
            fail("QEMU's monitor did not take " + command + ": " + answer + " (" +
                 std::strerror(errno) + ")");
        }
        since_ = Clock::now();
        ++plugs_;
    }

    Guest* g_;
    fs::path dir_;
    std::string serial_;
    int fd_ = -1;
    size_t plugs_ = 0;
    bool armedOnce_ = false;
    std::atomic<bool> armed_{false}, answering_{false};
    Clock::time_point since_;
};

// Boots the guest with the plan, waits for it (at most kBootLimitSeconds) and reads what
// it printed.
void boot(Guest* g) {
    const char* cacheVar = std::getenv("DRL_VM_CACHE");
    const fs::path cache = cacheVar ? cacheVar : "/var/cache/drivelore-vm";
    fs::path kernel;
    g->skipped = prerequisites(cache, &kernel);
    if (!g->skipped.empty()) {
        return;
    }
    char dirTemplate[] = "/tmp/drl-vm-XXXXXX";
    const fs::path dir = mkdtemp(dirTemplate);
    sim::DiskFileSystem::Files files;
    std::vector<std::string> args = {"qemu-system-x86_64",
                                     "-accel",
                                     "tcg",
                                     "-m",
                                     "1024",
                                     "-smp",
                                     "1",
                                     "-display",
                                     "none",
                                     "-vga",
                                     "none",
                                     "-no-reboot",
                                     "-monitor",
                                     "none",
                                     "-kernel",
                                     kernel.string(),
                                     "-initrd",
                                     (dir / "initrd").string(),
                                     "-append",
                                     "console=ttyS0 panic=-1 loglevel=4",
                                     "-serial",
                                     "file:" + (dir / "console.log").string(),
                                     "-serial",
                                     "file:" + (dir / "results").string(),
                                     "-qmp",
                                     "unix:" + (dir / "qmp").string() + ",server=on,wait=off",
                                     "-device",
                                     "virtio-scsi-pci,id=scsi0"};
    plan(dir, g, &files, &args);
    testkit::ServedDevices served;
    const std::string make = std::string("bash ") + DRL_VM_SCRIPTS + "/make-initramfs.sh " +
                             (dir / "initrd").string() + " " +
                             (cache / "root/lib/modules").string() + " " + (dir / "plan").string() +
                             " " + DRL_CLI_BINARY + " " + DRL_TCMU_BINARY + " " + DRL_VMCORE_BINARY;
    const std::string mounted = served.serve(files);
    if (!mounted.empty()) {
        g->skipped = "cannot serve the emulated disks: " + mounted;
    } else {
        fs::create_directory_symlink(served.dir, dir / "mnt");
        if (std::system(make.c_str()) != 0) {
            g->failure = "the initramfs could not be built";
        }
    }
    const pid_t pid = g->skipped.empty() && g->failure.empty() ? fork() : -1;
    if (pid == 0) {
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        freopen((dir / "qemu.log").c_str(), "w", stderr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    const auto start = Clock::now();
    HotPlug hotPlug(g, dir);
    for (int status = 0; pid > 0 && waitpid(pid, &status, WNOHANG) == 0;) {
        hotPlug.step(readFile(dir / "results"));
        if (Clock::now() - start > std::chrono::seconds(kBootLimitSeconds)) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            g->failure =
                "the guest did not finish within " + std::to_string(kBootLimitSeconds) + " s";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::cout << "guest ran " << std::chrono::duration<double>(Clock::now() - start).count()
              << " s\n";
    g->console = readFile(dir / "console.log") + readFile(dir / "qemu.log");
    parseResults(readFile(dir / "results"), g);
    if (g->failure.empty() && g->checks.empty()) {
        g->failure = "the guest printed no results";
    }
    fs::remove_all(dir);
}

// From device_add, device_del and device_add to the line that tells of it.
void latencies(const std::string& who, const std::vector<double>& seconds) {
    ASSERT_EQ(3u, seconds.size()) << who;
    std::cout << "seen by " << who << " after device_add " << seconds[0] << " s, after device_del "
              << seconds[1] << " s, after device_add " << seconds[2] << " s\n";
    for (double s : seconds) {
        EXPECT_LT(s, 15.0) << who;
    }
}

class Vm : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string& c = guest->console;
        ASSERT_TRUE(guest->failure.empty()) << guest->failure << "\nconsole:\n"
                                            << c.substr(c.size() > 3000 ? c.size() - 3000 : 0);
    }
    const Check& check(const std::string& name) { return guest->checks[name]; }
    uint64_t stat(const std::string& disk, const std::string& key) {
        return guest->stats[disk][key];
    }
};

// Every disk: what the guest's tool printed is what the same commands give in-process.
// Through SG_IO on a tcm_loop disk only vendor commands go on the wire and no block is
// written; a device that answers badly, and QEMU's disk that refuses the vendor command,
// give the same records from the in-band mailbox, the debug note saying what the kernel
// reported, and nothing outside the mailbox changes.
TEST_F(Vm, EveryDiskGivesTheModelsRecords) {
    for (unsigned n = 0; n < kDisks.size(); ++n) {
        const GuestDisk& d = kDisks[n];
        SCOPED_TRACE(d.name);
        const std::vector<testkit::Outcome> expected = inProcess(d, n);
        for (size_t step = 0; step < d.commands.size(); ++step) {
            if (d.commands[step] == "reset") {
                continue;
            }
            SCOPED_TRACE(d.commands[step]);
            const Check& c = check(label(d.name, step));
            const bool falls = step < d.falls.size() && d.falls[step] == '1';
            EXPECT_EQ(expected[step].first, c.code) << c.out << c.err;
            EXPECT_EQ(normal(expected[step].second), normal(c.out));
            EXPECT_EQ(falls, c.err.find(kFallback) != std::string::npos) << c.err;
            EXPECT_TRUE(!falls || c.err.find(d.why) != std::string::npos) << c.err;
        }
        if (d.faults == kQemu) {
            const sim::EmulatedDevice& device = guest->served[d.name];
            EXPECT_EQ(0u, device.disk->counters().scsiCommands) << "QEMU passed a command through";
            EXPECT_GT(device.disk->counters().writes, 0u);
            EXPECT_TRUE(device.disk->changedBlocks(device.firmware->reservedBlocks()).empty());
        } else if (d.falls.empty()) {
            EXPECT_EQ(0u, guest->genericNode[d.name].rfind("sg", 0)) << "no generic node";
            EXPECT_GE(stat(d.name, "vendor"), d.commands.size());
            EXPECT_EQ(0u, stat(d.name, "writes")) << "a block was written";
        } else {
            EXPECT_GT(stat(d.name, "writes"), 0u) << "the mailbox was never written";
        }
        EXPECT_EQ(0u, stat(d.name, "changed")) << "a block outside the mailbox changed";
    }
    EXPECT_EQ(1u, stat("reset", "unitAttentions"));
    // The plain disk that no device sits on is read, never written.
    EXPECT_EQ(3, check("plain.0").code) << check("plain.0").out << check("plain.0").err;
    EXPECT_EQ(0, check("scan").code) << check("scan").err;
    EXPECT_GT(guest->plain->counters().reads, 0u);
    EXPECT_EQ(0u, guest->plain->counters().writes);
    EXPECT_TRUE(guest->plain->changedBlocks({}).empty());
}

// A disk plugged in, out and in again through QEMU's monitor while watch runs in the guest
// (the kernel's uevents, no udev daemon): each change is one event, with the device's
// record. Pulled out while it answered a command, it comes back with no command sector in
// its mailbox and nothing outside it changed.
TEST_F(Vm, HotPlugSeenByWatch) {
    auto devices = [](const std::string& line) {
        return QJsonDocument::fromJson(QByteArray::fromStdString(line))["devices"].toArray();
    };
    std::string sizes;
    for (const std::string& line : guest->watch) {
        sizes += std::to_string(devices(line).size()) + " ";
    }
    ASSERT_EQ(5u, guest->watch.size()) << "devices in each event: " << sizes;
    const QJsonArray before = devices(guest->watch[1]), plugged = devices(guest->watch[2]);
    EXPECT_EQ(before.size() + 1, plugged.size());
    EXPECT_EQ(before, devices(guest->watch[3]));
    EXPECT_EQ(plugged.size(), devices(guest->watch[4]).size());
    const sim::EmulatedDevice& hot = guest->served["hot"];
    const QString serial = QString::fromStdString(testkit::hex(hot.model->identity().serial));
    for (size_t n : {2, 4}) {
        int found = 0;
        for (const QJsonValue& d : devices(guest->watch[n])) {
            found += d["serialText"].toString() == serial;
        }
        EXPECT_EQ(1, found) << guest->watch[n];
    }
    // watch scans on the kernel's uevent, not on its 10-minute interval.
    latencies("watch", guest->plugSeconds);

    // The exchange was cut: the command's write is the mailbox's last transfer, with no
    // read of the answer after it.
    const uint64_t mailbox = hot.firmware->mailboxLba();
    const sim::LoggedOp* last = nullptr;
    for (const sim::LoggedOp& op : guest->hotLog) {
        if ((op.op == sim::DiskOp::Read || op.op == sim::DiskOp::Write) &&
            op.firstBlock <= mailbox && mailbox < op.firstBlock + op.blocks) {
            last = &op;
        }
    }
    ASSERT_NE(nullptr, last);
    EXPECT_EQ(int(sim::DiskOp::Write), int(last->op)) << "the exchange was not cut";
    ASSERT_EQ(hot.disk->blockSize(), guest->hotMailbox.size());
    EXPECT_NE(0, std::memcmp(guest->hotMailbox.data(), dcp::kCommandSignature, 16))
        << "a command sector was left in the mailbox";
    EXPECT_TRUE(hot.disk->changedBlocks(hot.firmware->reservedBlocks()).empty());
}

// drivelore-cli monitor in the guest at the same time, asking every 300 ms, its state in
// the guest's tmpfs: the disk's arrival, its leaving and its return are one line each, as
// the monitor logs them, and nothing else is said of it.
TEST_F(Vm, HotPlugSeenByMonitor) {
    const std::string serial = testkit::hex(guest->served["hot"].model->identity().serial);
    std::string log;
    std::vector<std::string> said;
    for (const std::string& l : guest->monitor) {
        log += l + "\n";
        if (l.find(serial) != std::string::npos) {
            said.push_back(l);
        }
    }
    ASSERT_EQ(3u, said.size()) << log;
    const std::pair<std::string, std::string> expected[] = {
        {"<6>found device " + serial + " (", ""},
        {"<6>device " + serial + " (", ") no longer answers"},
        {"<6>device " + serial + " (", ") answers again"}};
    for (size_t n = 0; n < 3; ++n) {
        EXPECT_EQ(0u, said[n].rfind(expected[n].first, 0)) << said[n];
        EXPECT_EQ(said[n].size() - expected[n].second.size(), said[n].rfind(expected[n].second))
            << said[n];
    }
    latencies("the monitor", guest->monitorSeconds);
}

// The core the window runs, over all 26 disk numbers of the guest (some absent) while one
// disk's handler answers nothing: every other device's record arrives while that disk's
// exchange is still outstanding, and each is its own device's.
TEST_F(Vm, HangingDiskHoldsUpNoOther) {
    std::map<std::string, std::string> serials;  // disk name -> the device's serial
    for (unsigned n = 0; n < kDisks.size(); ++n) {
        serials[kDisks[n].name] = serialOf(kDisks[n].profile, kDisks[n].blockSize, n);
    }
    serials["hang"] = serialOf("healthy", 512, kHangUnit);
    serials["hot"] = serialOf("healthy", 512, kHotUnit);  // plugged in again
    std::string log;
    for (const std::string& l : guest->core) {
        log += l + "\n";
    }
    ASSERT_FALSE(guest->core.empty());
    ASSERT_EQ("end", guest->core.back()) << log;
    std::set<std::string> listed, answered;
    std::vector<std::string> started;
    bool outstandingSeen = false;
    for (const std::string& l : guest->core) {
        std::istringstream words(l);
        std::string tag, name, serial;
        uint32_t result = 99;
        words >> tag >> name;
        if (tag == "listed") {
            listed.insert(name);
        } else if (tag == "started") {
            started.push_back(name);
        } else if (tag == "done" && words >> result >> serial) {
            EXPECT_FALSE(outstandingSeen) << name;
            EXPECT_EQ(0u, result) << name;
            EXPECT_EQ(serials[name], serial) << name;
            answered.insert(name);
        } else if (tag == "outstanding") {
            outstandingSeen = true;
            EXPECT_EQ("outstanding hang", l) << log;
        }
    }
    std::set<std::string> devices;
    for (const auto& entry : serials) {
        devices.insert(entry.first);
    }
    // A device still initialising its set answers no probe, and no scan lists it; whether
    // its set is done by now depends on how long the checks before took.
    for (const GuestDisk& d : kDisks) {
        if (d.commands.back().rfind("init", 0) == 0 && !listed.count(d.name)) {
            devices.erase(d.name);
        }
    }
    EXPECT_EQ(devices, listed) << log;
    ASSERT_FALSE(started.empty());
    EXPECT_EQ("hang", started.front()) << log;
    devices.erase("hang");
    EXPECT_EQ(devices, answered) << log;
    EXPECT_TRUE(outstandingSeen) << log;
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    Guest g;
    guest = &g;
    boot(&g);
    if (!g.skipped.empty()) {
        std::cout << "SKIPPED: " << g.skipped << "\n";
        return 77;
    }
    return RUN_ALL_TESTS();
}
