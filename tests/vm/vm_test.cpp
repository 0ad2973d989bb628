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
#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "cli/cli.h"
#include "dcp/framing.h"
#include "io/platform.h"
#include "sim/disk_fs.h"
#include "sim/profiles.h"

using namespace corvane;
namespace fs = std::filesystem;

namespace {

constexpr int kBootLimitSeconds = 240;
constexpr unsigned kHangUnit = 30;

// A tcm_loop disk over drivelore-tcmu, and what is run on it in order.
struct TcmuDisk {
    std::string name;  // the disk's SCSI model in the guest
    std::string profile;
    uint32_t blockSize;
    std::string faults;
    std::vector<std::string> commands;  // "reset" is a reset of the device
};

const std::vector<std::string> kReadAll = {"info", "drives", "report", "progress"};

std::vector<std::string> plus(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::vector<TcmuDisk>& tcmuDisks() {
    static const std::vector<TcmuDisk> disks = {
        {"healthy512", "healthy", 512, "", kReadAll},
        {"healthy4k", "healthy", 4096, "", kReadAll},
        {"degraded4k", "degraded", 4096, "", plus(kReadAll, {"rebuild --yes", "progress"})},
        // A device initialising its set answers nothing for a while: init is the last command.
        {"new512", "new", 512, "", plus(kReadAll, {"init --capacity-mode 1 --yes"})},
        {"failing4k", "failing", 4096, "", kReadAll},
        {"toolarge512", "too-large", 512, "", kReadAll},
        {"rbsmall4k", "rebuild-too-small", 4096, "", plus(kReadAll, {"rebuild --yes"})},
        {"rbfails512", "rebuild-fails", 512, "", plus(kReadAll, {"rebuild --yes"})},
        {"refused", "healthy", 512, "--refuse", {"info", "drives"}},
        {"short1", "healthy", 4096, "--short 1", {"info", "drives"}},
        {"short100", "healthy", 512, "--short 100", {"info", "drives"}},
        {"short255", "healthy", 512, "--short 255", {"info"}},
        {"late", "healthy", 512, "--late 3000 --times 1", {"info", "info"}},
        {"deferred", "degraded", 4096, "--deferred --times 1", {"drives", "drives"}},
        {"reset", "healthy", 512, "", {"info", "reset", "info", "info"}},
    };
    return disks;
}

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
    std::map<std::string, std::string> diskPath;     // disk name -> /dev/sdX
    std::vector<std::string> core;                   // what drivelore-vmcore printed
    std::string console;
    std::vector<sim::EmulatedDevice> served;  // the FUSE-served devices, by number
    std::shared_ptr<sim::EmulatedDisk> plain;
    sim::EmulatedDevice hot;          // plugged in and out while watch runs
    std::vector<std::string> watch;   // what watch printed, one event a line
    std::vector<double> plugSeconds;  // from device_add and device_del to watch's event
    // The hot disk's transfers and its mailbox block when it was plugged in again.
    std::vector<sim::LoggedOp> hotLog;
    std::vector<uint8_t> hotMailbox;
};

// QEMU's monitor protocol on a Unix socket: one command, its answer (events skipped).
class Qmp {
public:
    ~Qmp() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    bool connect(const std::string& path) {
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
        return fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
               line().find("QMP") != std::string::npos &&
               command(R"({"execute":"qmp_capabilities"})").find("return") != std::string::npos;
    }
    std::string command(const std::string& json) {
        const std::string out = json + "\n";
        if (::write(fd_, out.data(), out.size()) != ssize_t(out.size())) {
            return {};
        }
        for (std::string l; !(l = line()).empty();) {
            if (l.find("\"return\"") != std::string::npos ||
                l.find("\"error\"") != std::string::npos) {
                return l;
            }
        }
        return {};
    }

private:
    std::string line() {
        std::string l;
        for (char c; ::read(fd_, &c, 1) == 1 && c != '\n';) {
            l += c;
        }
        return l;
    }
    int fd_ = -1;
};

Guest* guest = nullptr;

std::string label(const std::string& disk, size_t step) {
    return disk + "." + std::to_string(step);
}

std::string hex(const std::array<uint8_t, 8>& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (uint8_t b : bytes) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

std::string readFile(const fs::path& p) {
    std::ifstream in(p);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// A record as a comparison takes it: the disk's path and a running operation's percentage
// differ between the guest and the in-process run, and so does the controller's uptime.
std::string normal(const std::string& text) {
    std::istringstream lines(text);
    std::string out, line;
    while (std::getline(lines, line)) {
        QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
        if (o.isEmpty()) {
            out += line + "\n";
            continue;
        }
        o.remove("devicePath");
        o.remove("percent");
        QString html = o.value("text").toString();
        const qsizetype at = html.indexOf("Controller uptime:");
        if (at >= 0) {
            html.remove(at, html.indexOf('<', at) - at);
            o["text"] = html;
        }
        out += QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString() + "\n";
    }
    return out;
}

// The same commands in-process, on a fresh device of the same profile, unit and block size.
std::vector<Check> inProcess(const std::string& profile, uint32_t blockSize, unsigned unit,
                             const std::vector<std::string>& commands) {
    auto platform = std::make_shared<sim::EmulatedPlatform>();
    platform->plug(0, sim::makeProfile(profile, {blockSize, unit, nullptr})->disk);
    io::setPlatform(platform);
    std::vector<Check> results;
    for (const std::string& command : commands) {
        std::vector<std::string> args = {"--disk-number", "0", "--json"};
        std::istringstream words(command);
        for (std::string w; words >> w;) {
            args.push_back(w);
        }
        std::ostringstream out, err;
        std::istringstream in;
        std::atomic<int> interrupted{0};
        Check c;
        c.code = command == "reset" ? 0 : cli::run(args, out, err, in, interrupted);
        c.out = out.str();
        c.err = err.str();
        results.push_back(c);
    }
    io::setPlatform(nullptr);
    return results;
}

void parseResults(const std::string& text, Guest* g) {
    std::istringstream lines(text);
    std::string line, current;
    Check* check = nullptr;
    bool inErr = false;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        std::istringstream words(line);
        std::string tag, name;
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
        } else if (tag == "@@WATCH") {
            if (line.find("\"DeviceListChanged\"") != std::string::npos) {
                g->watch.push_back(line.substr(8));
            }
        } else if (tag == "@@DISK") {
            std::string path, sg;
            words >> path >> sg;
            g->genericNode[name] = sg;
            g->diskPath[name] = path;
        } else if (tag == "@@CORE") {
            g->core.push_back(line.substr(7));
        } else if (tag == "@@DONE") {
            std::string rest;
            std::getline(words, rest);
            if (name != "ok") {
                g->failure = "the guest stopped: " + name + rest;
            }
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
    if (access("/dev/fuse", R_OK | W_OK) != 0 || geteuid() != 0) {
        return "serving the emulated disks needs root and /dev/fuse";
    }
    return {};
}

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
    fs::create_directories(dir / "plan");
    fs::create_directories(dir / "mnt");

    std::ofstream tcmu(dir / "plan/tcmu"), checks(dir / "plan/checks");
    unsigned unit = 0;
    for (const TcmuDisk& d : tcmuDisks()) {
        const auto device = sim::makeProfile(d.profile, {d.blockSize, unit, nullptr});
        tcmu << d.name << " 1 " << device->disk->sizeBytes() << " " << d.blockSize << " --profile "
             << d.profile << " --unit " << unit++ << " " << d.faults << "\n";
        for (size_t step = 0; step < d.commands.size(); ++step) {
            if (d.commands[step] == "reset") {
                checks << "reset - " << d.name << "\n";
            } else {
                checks << "run " << label(d.name, step) << " " << d.name << " --json "
                       << d.commands[step] << "\n";
            }
        }
        checks << "stats - " << d.name << "\n";
    }
    // Served through FUSE as QEMU's disks: two devices and a plain disk.
    sim::DiskFileSystem::Files files;
    for (const auto& [profile, block] :
         {std::pair<std::string, uint32_t>{"degraded", 512}, {"healthy", 4096}}) {
        auto device = sim::makeProfile(profile, {block, 20 + unsigned(g->served.size()), nullptr});
        device->disk->fillWithPattern(0xF00D + unsigned(g->served.size()));
        files.emplace_back("disk" + std::to_string(g->served.size()), device->disk);
        g->served.push_back(*device);
    }
    g->hot = *sim::makeProfile("healthy", {512, 22, nullptr});
    g->plain = std::make_shared<sim::EmulatedDisk>(512, 1u << 20);
    g->plain->fillWithPattern(0xBEEF);
    files.emplace_back("plain", g->plain);
    files.emplace_back("hot", g->hot.disk);
    const std::vector<std::string> virtioNames = {"vdegraded", "vhealthy4k", "plain"};
    std::ofstream(dir / "plan/virtio") << "vdegraded\nvhealthy4k\nplain\n";
    checks << "run vdegraded.0 vdegraded --json info\nrun vdegraded.1 vdegraded --json drives\n"
              "run vdegraded.2 vdegraded --json report\nrun vhealthy4k.0 vhealthy4k --json info\n"
              "run plain.0 plain --json info\nall scan - --json scan\nhotplug - -\n"
              "core - hang\n";
    // On a SCSI host of its own, answering until the core check stops its handler.
    tcmu << "hang 2 " << sim::makeProfile("healthy", {512, kHangUnit, nullptr})->disk->sizeBytes()
         << " 512 --profile healthy --unit " << kHangUnit << "\n";
    tcmu.close();
    checks.close();

    sim::DiskFileSystem fuse;
    const std::string mounted = fuse.mount((dir / "mnt").string(), files);
    if (!mounted.empty()) {
        g->skipped = "cannot serve the emulated disks: " + mounted;
        fs::remove_all(dir);
        return;
    }
    const std::string initrd = (dir / "initrd").string();
    const std::string make = std::string("bash ") + DRL_VM_SCRIPTS + "/make-initramfs.sh " +
                             initrd + " " + (cache / "root/lib/modules").string() + " " +
                             (dir / "plan").string() + " " + DRL_CLI_BINARY + " " +
                             DRL_TCMU_BINARY + " " + DRL_VMCORE_BINARY;
    if (std::system(make.c_str()) != 0) {
        g->failure = "the initramfs could not be built";
        fuse.unmount();
        fs::remove_all(dir);
        return;
    }
    std::vector<std::string> args = {
        "qemu-system-x86_64", "-accel", "tcg", "-m", "1024", "-smp", "1", "-display", "none",
        "-vga", "none", "-no-reboot", "-monitor", "none", "-kernel", kernel.string(), "-initrd",
        initrd, "-append", "console=ttyS0 panic=-1 loglevel=4", "-serial",
        "file:" + (dir / "console.log").string(), "-serial", "file:" + (dir / "results").string(),
        "-qmp", "unix:" + (dir / "qmp").string() + ",server=on,wait=off", "-device",
        "virtio-scsi-pci,id=scsi0",
        // A node of its own outlives device_del, for the return.
        "-blockdev",
        "driver=file,node-name=hotfile,cache.direct=on,locking=off,"
        "filename=" +
            (dir / "mnt/hot").string(),
        "-blockdev", "driver=raw,node-name=hot,file=hotfile"};
    for (size_t n = 0; n + 1 < files.size(); ++n) {
        const std::string id = "d" + std::to_string(n);
        const std::string block = std::to_string(files[n].second->blockSize());
        args.insert(args.end(),
                    {"-drive",
                     "file=" + (dir / "mnt" / files[n].first).string() + ",if=none,id=" + id +
                         ",format=raw,cache=none,file.locking=off",
                     "-device",
                     "scsi-hd,bus=scsi0.0,drive=" + id + ",product=" + virtioNames[n] +
                         ",logical_block_size=" + block + ",physical_block_size=" + block});
    }
    const pid_t pid = fork();
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
    const auto start = std::chrono::steady_clock::now();
    // watch's second event is the first scan: then the disk goes in, out while the device
    // is answering a command (the hook holds the command's write for a second), and in again.
    Qmp qmp;
    const auto plug = [&](const std::string& command) {
        const std::string answer = qmp.command(command);
        if (answer.find("\"return\"") == std::string::npos && g->failure.empty()) {
            g->failure = "QEMU's monitor did not take " + command + ": " + answer + " (" +
                         std::strerror(errno) + ")";
        }
    };
    const auto add = [&](const std::string& id) {
        plug(R"({"execute":"device_add","arguments":{"driver":"scsi-hd","bus":"scsi0.0",)"
             R"("drive":"hot","product":"hot","id":")" +
             id + "\"}}");
    };
    std::atomic<bool> armed{false}, answering{false};
    g->hot.firmware->setExchangeHook([&] {
        if (armed.exchange(false)) {
            answering = true;
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
    });
    auto since = start;
    size_t step = 0;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        const std::string results = readFile(dir / "results");
        size_t events = 0;
        for (size_t at = 0; (at = results.find("@@WATCH {\"event\":\"DeviceListChanged\"", at)) !=
                            std::string::npos;
             ++at) {
            ++events;
        }
        const auto now = std::chrono::steady_clock::now();
        const auto seen = [&] {
            g->plugSeconds.push_back(std::chrono::duration<double>(now - since).count());
        };
        if (step == 0 && events >= 2) {
            if (!qmp.connect((dir / "qmp").string()) && g->failure.empty()) {
                g->failure = "no QEMU monitor: " + std::string(std::strerror(errno));
            }
            add("hot0");
            since = std::chrono::steady_clock::now();
            ++step;
        } else if (step == 1 && events >= 3) {
            seen();
            armed = true;
            ++step;
        } else if (step == 2 && (answering || now - since > std::chrono::seconds(30))) {
            plug(R"({"execute":"device_del","arguments":{"id":"hot0"}})");
            since = std::chrono::steady_clock::now();
            ++step;
        } else if (step == 3 && events >= 4) {
            seen();
            g->hotLog = g->hot.disk->log();
            g->hotMailbox.resize(g->hot.disk->blockSize());
            g->hot.disk->peek(g->hot.firmware->mailboxLba(), g->hotMailbox.data());
            add("hot1");
            since = std::chrono::steady_clock::now();
            ++step;
        } else if (step == 4 && events >= 5) {
            seen();
            ++step;
        }
        if (std::chrono::steady_clock::now() - start > std::chrono::seconds(kBootLimitSeconds)) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            g->failure =
                "the guest did not finish within " + std::to_string(kBootLimitSeconds) + " s";
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    fuse.unmount();
    g->hot.firmware->setExchangeHook(nullptr);
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start);
    std::cout << "guest ran " << seconds.count() << " s\n";
    g->console = readFile(dir / "console.log") + readFile(dir / "qemu.log");
    parseResults(readFile(dir / "results"), g);
    if (g->failure.empty() && g->checks.empty()) {
        g->failure = "the guest printed no results";
    }
    fs::remove_all(dir);
}

class Vm : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(guest->failure.empty())
            << guest->failure << "\nconsole:\n"
            << guest->console.substr(guest->console.size() > 3000 ? guest->console.size() - 3000
                                                                  : 0);
    }
    const Check& check(const std::string& name) { return guest->checks[name]; }
    uint64_t stat(const std::string& disk, const std::string& key) {
        return guest->stats[disk][key];
    }
};

const std::string kFallback = "trying the in-band mailbox";

// Every profile at both block sizes: what the guest's tool printed through SG_IO on the
// sd disk is what the same commands give in-process, with only vendor commands on the wire.
TEST_F(Vm, EveryProfileThroughSgIo) {
    for (size_t n = 0; n < 8; ++n) {
        const TcmuDisk& d = tcmuDisks()[n];
        SCOPED_TRACE(d.name);
        EXPECT_EQ(0u, guest->genericNode[d.name].rfind("sg", 0)) << "no generic node";
        const std::vector<Check> expected =
            inProcess(d.profile, d.blockSize, unsigned(n), d.commands);
        for (size_t step = 0; step < d.commands.size(); ++step) {
            SCOPED_TRACE(d.commands[step]);
            const Check& c = check(label(d.name, step));
            EXPECT_EQ(expected[step].code, c.code) << c.out << c.err;
            EXPECT_EQ(normal(expected[step].out), normal(c.out));
            EXPECT_EQ(std::string::npos, c.err.find(kFallback)) << c.err;
        }
        EXPECT_GE(stat(d.name, "vendor"), d.commands.size());
        EXPECT_EQ(0u, stat(d.name, "writes")) << "a block was written";
        EXPECT_EQ(0u, stat(d.name, "changed"));
    }
}

// A device that answers badly: every record still equals the model's, from the in-band
// mailbox, and the debug note says what the kernel reported.
TEST_F(Vm, HostileAnswersFallBackInBand) {
    const std::map<std::string, std::string> why = {
        {"refused", "refused with SCSI status 0x02"},
        {"short1", "short answer, 1 of 256 bytes (residual 255)"},
        {"short100", "short answer, 100 of 256 bytes (residual 156)"},
        {"short255", "short answer, 255 of 256 bytes (residual 1)"},
        // The one-second time-out through the generic node: a host time-out status.
        {"late", "transport error (host status 0x03"},
        {"deferred", "refused with SCSI status 0x02"},
        {"reset", "refused with SCSI status 0x02"}};
    for (size_t n = 8; n < tcmuDisks().size(); ++n) {
        const TcmuDisk& d = tcmuDisks()[n];
        SCOPED_TRACE(d.name);
        const std::vector<Check> expected =
            inProcess(d.profile, d.blockSize, unsigned(n), d.commands);
        // Which commands fall back: all of them, the first only, or the one after the reset.
        std::vector<bool> falls(d.commands.size(), d.faults.find("--times") == std::string::npos);
        if (!falls[0]) {
            falls[0] = true;
        }
        if (d.name == "reset") {
            falls = {false, false, true, false};
        }
        for (size_t step = 0; step < d.commands.size(); ++step) {
            if (d.commands[step] == "reset") {
                continue;
            }
            SCOPED_TRACE(step);
            const Check& c = check(label(d.name, step));
            EXPECT_EQ(0, c.code) << c.out << c.err;
            EXPECT_EQ(normal(expected[step].out), normal(c.out));
            EXPECT_EQ(falls[step], c.err.find(kFallback) != std::string::npos) << c.err;
            if (falls[step]) {
                EXPECT_NE(std::string::npos, c.err.find(why.at(d.name))) << c.err;
            }
        }
        EXPECT_GT(stat(d.name, "writes"), 0u) << "the mailbox was never written";
        EXPECT_EQ(0u, stat(d.name, "changed")) << "a block outside the mailbox changed";
    }
    EXPECT_EQ(1u, stat("reset", "unitAttentions"));
}

// QEMU's disk refuses the vendor command; the mailbox through sd gives the model's records,
// and the plain disk that no device sits on is read, never written.
TEST_F(Vm, RefusedByQemuInBandThroughSd) {
    const std::vector<std::string> names = {"vdegraded", "vhealthy4k"};
    for (size_t n = 0; n < guest->served.size(); ++n) {
        const sim::EmulatedDevice& device = guest->served[n];
        SCOPED_TRACE(names[n]);
        const std::vector<std::string> commands =
            n == 0 ? std::vector<std::string>{"info", "drives", "report"}
                   : std::vector<std::string>{"info"};
        const std::vector<Check> expected =
            inProcess(device.profile, device.disk->blockSize(), 20 + unsigned(n), commands);
        for (size_t step = 0; step < commands.size(); ++step) {
            const Check& c = check(label(names[n], step));
            EXPECT_EQ(0, c.code) << c.out << c.err;
            EXPECT_EQ(normal(expected[step].out), normal(c.out));
            EXPECT_NE(std::string::npos, c.err.find("refused with SCSI status 0x02")) << c.err;
        }
        EXPECT_EQ(0u, device.disk->counters().scsiCommands) << "QEMU passed a command through";
        EXPECT_GT(device.disk->counters().writes, 0u);
        EXPECT_TRUE(device.disk->changedBlocks(device.firmware->reservedBlocks()).empty());
    }
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
    const QString serial = QString::fromStdString(hex(guest->hot.model->identity().serial));
    for (size_t n : {2, 4}) {
        int found = 0;
        for (const QJsonValue& d : devices(guest->watch[n])) {
            found += d["serialText"].toString() == serial;
        }
        EXPECT_EQ(1, found) << guest->watch[n];
    }
    ASSERT_EQ(3u, guest->plugSeconds.size());
    std::cout << "seen by watch after device_add " << guest->plugSeconds[0]
              << " s, after device_del " << guest->plugSeconds[1] << " s, after device_add "
              << guest->plugSeconds[2] << " s\n";
    // watch scans on the kernel's uevent, not on its 10-minute interval.
    for (double seconds : guest->plugSeconds) {
        EXPECT_LT(seconds, 15.0);
    }

    // The exchange was cut: the command's write is the mailbox's last transfer, with no
    // read of the answer after it.
    const uint64_t mailbox = guest->hot.firmware->mailboxLba();
    const sim::LoggedOp* last = nullptr;
    for (const sim::LoggedOp& op : guest->hotLog) {
        if ((op.op == sim::DiskOp::Read || op.op == sim::DiskOp::Write) &&
            op.firstBlock <= mailbox && mailbox < op.firstBlock + op.blocks) {
            last = &op;
        }
    }
    ASSERT_NE(nullptr, last);
    EXPECT_EQ(int(sim::DiskOp::Write), int(last->op)) << "the exchange was not cut";
    ASSERT_EQ(guest->hot.disk->blockSize(), guest->hotMailbox.size());
    EXPECT_NE(0, std::memcmp(guest->hotMailbox.data(), dcp::kCommandSignature, 16))
        << "a command sector was left in the mailbox";
    EXPECT_TRUE(guest->hot.disk->changedBlocks(guest->hot.firmware->reservedBlocks()).empty());
}

// The core the window runs, over all 26 disk numbers of the guest (some absent) while one
// disk's handler answers nothing: every other device's record arrives while that disk's
// exchange is still outstanding, and each is its own device's.
TEST_F(Vm, HangingDiskHoldsUpNoOther) {
    std::map<std::string, std::string> serials;  // disk name -> the device's serial
    auto serialOf = [](const std::string& profile, uint32_t block, unsigned unit) {
        return hex(sim::makeProfile(profile, {block, unit, nullptr})->model->identity().serial);
    };
    for (size_t n = 0; n < tcmuDisks().size(); ++n) {
        const TcmuDisk& d = tcmuDisks()[n];
        // A device still initialising its set answers no probe: no scan lists it.
        if (d.commands.back().rfind("init", 0) != 0) {
            serials[d.name] = serialOf(d.profile, d.blockSize, unsigned(n));
        }
    }
    serials["hang"] = serialOf("healthy", 512, kHangUnit);
    serials["vdegraded"] = hex(guest->served[0].model->identity().serial);
    serials["vhealthy4k"] = hex(guest->served[1].model->identity().serial);
    serials["hot"] = hex(guest->hot.model->identity().serial);  // plugged in again
    std::map<uint32_t, std::string> byDrive;
    for (const auto& [name, path] : guest->diskPath) {
        byDrive[uint32_t(path.back() - 'a')] = name;
    }
    std::string log;
    for (const std::string& l : guest->core) {
        log += l + "\n";
    }
    ASSERT_FALSE(guest->core.empty());
    ASSERT_EQ("end", guest->core.back()) << log;
    const std::string hang = std::to_string(guest->diskPath["hang"].back() - 'a');

    std::set<std::string> listed, answered;
    std::vector<std::string> started;
    bool outstandingSeen = false;
    for (const std::string& l : guest->core) {
        std::istringstream words(l);
        std::string tag, drive;
        words >> tag >> drive;
        const auto known = drive.empty() || !std::isdigit(drive[0])
                               ? byDrive.end()
                               : byDrive.find(uint32_t(std::stoul(drive)));
        const std::string name = known != byDrive.end() ? known->second : "disk " + drive;
        if (tag == "listed") {
            listed.insert(name);
        } else if (tag == "started") {
            started.push_back(drive);
        } else if (tag == "done") {
            SCOPED_TRACE(name);
            EXPECT_FALSE(outstandingSeen);
            uint32_t result = 99;
            std::string serial;
            words >> result >> serial;
            EXPECT_EQ(0u, result);
            EXPECT_EQ(serials[name], serial);
            answered.insert(name);
        } else if (tag == "outstanding") {
            outstandingSeen = true;
            EXPECT_EQ("outstanding " + hang, l) << log;
        }
    }
    std::set<std::string> devices;
    for (const auto& entry : serials) {
        devices.insert(entry.first);
    }
    EXPECT_EQ(devices, listed) << log;
    ASSERT_FALSE(started.empty());
    EXPECT_EQ(hang, started.front()) << log;
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
