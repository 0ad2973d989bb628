#include "cli/monitor_command.h"

#include <chrono>
#include <ostream>

#include "cli/cli.h"
#include "cli/metrics.h"
#include "monitor/atomic_file.h"
#include "monitor/monitor.h"
#include "monitor/snapshot.h"
#include "os/clock.h"

namespace corvane::cli {

const char* const kMonitorHelp =
    "usage: drivelore-cli [--disk-pattern P] monitor [--exec PROGRAM] [--exec-timeout MS]\n"
    "                     [--remind HOURS] [--interval MS] [--state-dir DIR] [--test]\n"
    "                     [--count N] [--history FILE] [--max-temp C] [--metrics FILE]\n"
    "Follows every device and reports each change for the worse (RAID degraded or\n"
    "failed, a drive warning or failed, drive failure likely, cache disabled, a rebuild\n"
    "or initialisation failed, a troubled device gone) and for the better (repaired,\n"
    "completed, back), and trends (a drive's error counters rising, steady again after an\n"
    "hour; a temperature at or above C, default 55, for 10 minutes) as one line on standard error "
    "with its journal priority (<3> to\n"
    "<6>). A worse state is reported again every HOURS (default 24; 0 never) until it\n"
    "improves. The last known states are kept in DIR/monitor.state (default\n"
    "/var/lib/drivelore), so a restart neither repeats nor loses an alarm. Every\n"
    "reading of every drive and every event is kept in FILE (default\n"
    "DIR/history.sqlite): a year, hourly after 90 days.\n"
    "  --exec PROGRAM      run PROGRAM (no shell, no arguments) for each event, with\n"
    "                      DRIVELORE_EVENT, DRIVELORE_SEVERITY (err, warning, notice,\n"
    "                      info), DRIVELORE_SERIAL, DRIVELORE_MODEL,\n"
    "                      DRIVELORE_DEVICE_PATH, DRIVELORE_BAY (0..3 or empty),\n"
    "                      DRIVELORE_MESSAGE and DRIVELORE_REMINDER (1 or 0) set\n"
    "  --exec-timeout MS   kill PROGRAM after MS milliseconds (default 30000)\n"
    "  --interval MS       ask the devices every MS milliseconds (default 60000)\n"
    "  --test              send one test event per device at start\n"
    "  --count N           stop after N rounds (default: run until stopped)\n"
    "  --metrics FILE      after every round, replace FILE atomically with the metrics of\n"
    "                      drivelore-cli metrics, with each running operation's time left\n"
    "                      and each drive's trends (use it instead of the metrics timer)\n";

int monitorCommand(const std::vector<std::string>& args, bool emulated, std::ostream& out,
                   std::ostream& err, const std::atomic<int>& interrupted) {
    MonitorOptions o;
    std::string metricsPath;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto usage = [&](const std::string& what) {
            err << "drivelore-cli: monitor: " << what << "\nTry 'drivelore-cli monitor --help'.\n";
            return ExitUsage;
        };
        auto value = [&](std::string* v) {
            if (i + 1 >= args.size() || args[i + 1].empty()) {
                return false;
            }
            *v = args[++i];
            return true;
        };
        auto number = [&](uint64_t max, uint64_t* n) {
            std::string v;
            return value(&v) && parseUnsigned(v, max, n);
        };
        uint64_t n = 0;
        if (a == "-h" || a == "--help") {
            out << kMonitorHelp;
            return ExitOk;
        } else if (a == "--test") {
            o.test = true;
        } else if (a == "--exec") {
            if (!value(&o.program)) {
                return usage("--exec needs a program");
            }
        } else if (a == "--state-dir") {
            if (!value(&o.stateDir)) {
                return usage("--state-dir needs a folder");
            }
        } else if (a == "--metrics") {
            if (!value(&metricsPath)) {
                return usage("--metrics needs a file name");
            }
        } else if (a == "--history") {
            if (!value(&o.historyPath)) {
                return usage("--history needs a file name");
            }
        } else if (a == "--max-temp") {
            if (!number(150, &n) || n == 0) {
                return usage("--max-temp needs degrees Celsius, 1 to 150");
            }
            o.maxTemperature = uint32_t(n * 10);
        } else if (a == "--exec-timeout") {
            if (!number(24ull * 3600 * 1000, &n) || n == 0) {
                return usage("--exec-timeout needs milliseconds, 1 to 86400000");
            }
            o.execTimeoutMs = uint32_t(n);
        } else if (a == "--remind") {
            if (!number(100000, &n)) {
                return usage("--remind needs hours, 0 to 100000");
            }
            o.remindMs = n * 3600 * 1000;
        } else if (a == "--interval") {
            if (!number(24ull * 3600 * 1000, &n)) {
                return usage("--interval needs milliseconds, 0 to 86400000");
            }
            o.intervalMs = uint32_t(n);
        } else if (a == "--count") {
            if (!number(~0ull >> 1, &n) || n == 0) {
                return usage("--count needs a number of rounds, at least 1");
            }
            o.rounds = n;
        } else {
            return usage("unexpected argument " + a);
        }
    }
    auto core = openCore(emulated);
    if (!core || !core->waitForScans(1, std::chrono::seconds(120))) {
        err << "<3>drivelore-cli: the disks could not be scanned\n";
        return ExitIoFailure;
    }
    Monitor monitor(*core, o, err);
    monitor.start();
    std::string metricsError;  // said once until it changes or clears
    auto writeMetrics = [&] {
        std::string error;
        const std::string path = oneLineText(metricsPath);
        if (!writeFileAtomically(metricsPath, formatMetrics(monitor.lastRound(), true), &error)) {
            if (error != metricsError) {
                err << "<4>cannot write the metrics to " << path << ": " << oneLineText(error)
                    << "; going on, trying again each round\n"
                    << std::flush;
                metricsError = error;
            }
        } else if (!metricsError.empty()) {
            err << "<6>metrics written to " << path << " again\n" << std::flush;
            metricsError.clear();
        }
    };
    for (uint64_t round = 1;; ++round) {
        monitor.poll();
        if (!metricsPath.empty()) {
            writeMetrics();
        }
        if ((o.rounds && round >= *o.rounds) || (interrupted.load() != 0)) {
            break;
        }
        // In short naps, so that a stop request is heard soon.
        const uint32_t from = os::clock().tick();
        while (!(interrupted.load() != 0)) {
            const uint32_t passed = os::clock().tick() - from;
            if (passed >= o.intervalMs) {
                break;
            }
            os::clock().sleep(std::min<uint32_t>(o.intervalMs - passed, 200));
        }
        if ((interrupted.load() != 0)) {
            break;
        }
    }
    return ExitOk;
}

}  // namespace corvane::cli
