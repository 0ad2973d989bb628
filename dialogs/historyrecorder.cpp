#include "dialogs/historyrecorder.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QtConcurrent/QtConcurrentRun>
#include <cstdio>
#include <utility>

#include "app/storagemanager.h"
#include "dcp/texts.h"
#include "drl/conditions.h"
#include "monitor/atomic_file.h"
#include "monitor/history.h"
#include "monitor/monitor.h"
#include "monitor/snapshot.h"
#include "os/clock.h"

using corvane::cli::KnownDevice;
using corvane::cli::oneLineText;
namespace dcp = corvane::dcp;

namespace {

constexpr qint64 kStateMaxBytes = 1 << 20;

// An unusable file is set aside, not overwritten, and the window starts without it.
std::map<std::string, KnownDevice> readState(const QString& path) {
    std::map<std::string, KnownDevice> known;
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink()) {
        return known;
    }
    QFile file(path);
    bool read = info.isFile() && file.open(QIODevice::ReadOnly);
    const QByteArray text = read ? file.read(kStateMaxBytes + 1) : QByteArray();
    read = read && file.error() == QFileDevice::NoError && text.size() <= kStateMaxBytes;
    std::string why = "cannot be read";
    if (read && corvane::cli::Monitor::parseState(text.toStdString(), &known, &why)) {
        return known;
    }
    file.close();
    const QString aside = path + QStringLiteral(".bad");
    const bool moved =
        std::rename(QFile::encodeName(path).constData(), QFile::encodeName(aside).constData()) == 0;
    qWarning("the window's state file %s %s; %s, starting without the last known states",
             qPrintable(path), why.c_str(), moved ? qPrintable("moved to " + aside) : "kept");
    return {};
}

}  // namespace

struct HistoryRecorder::Followed {
    QString key;
    corvane::cli::KnownDevice known;  // its conditions: those recorded as worse than fine
    corvane::cli::TrendFollower trends{corvane::cli::MonitorOptions().maxTemperature};
    std::array<bool, dcp::kDriveBays> baysRead{};
    bool operationRead = false;
};

HistoryRecorder::HistoryRecorder(const QString& path, QObject* parent)
    : HistoryRecorder(nullptr, path, parent) {}

HistoryRecorder::HistoryRecorder(StorageManager* adapter, const QString& path, QObject* parent)
    : QObject(parent), adapter_(adapter), history_(std::make_shared<corvane::history::History>()) {
    writer_.setMaxThreadCount(1);  // one writer, rounds in order
    if (adapter) {
        // Before the history's check, which the first device must not wait for.
        statePath_ = statePath(path);
        stateRead_ = QtConcurrent::run(&writer_, [p = statePath_] { return readState(p); });
    }
    // Opening checks the whole file: on the writer's thread too.
    (void)QtConcurrent::run(&writer_, [this, path] {
        QDir().mkpath(QFileInfo(path).absolutePath());
        std::string said;
        if (!history_->openForWriting(path.toStdString(), &said)) {
            problem_ = QString::fromStdString(said);
        }
    });
    if (!adapter) {
        return;
    }
    lastTick_ = corvane::os::clock().tick();

    connect(adapter, &StorageManager::deviceDriveChange, this,
            [this](DrlDevId id, const corvane::dcp::DcpRespDriveInfo* drive) {
                if (drive) {
                    driveInfo(id, *drive);
                }
            });
    connect(adapter, &StorageManager::deviceChange, this,
            [this](DrlDevId id, const corvane::dcp::DcpRespInfo* info) {
                if (info) {
                    deviceInfo(id, *info);
                }
            });
    connect(adapter, &StorageManager::deviceStatusChange, this,
            [this](quint32 id, const corvane::dcp::DcpRespProgress& p) { progress(id, p); });
    connect(adapter, &StorageManager::deviceListChange, this, &HistoryRecorder::listed);
}

QString HistoryRecorder::problem() {
    flush();
    return problem_;
}

std::map<std::string, KnownDevice>& HistoryRecorder::stored() {
    if (!storedTaken_) {
        storedTaken_ = true;
        stored_ = stateRead_.result();
        savedState_ = corvane::cli::Monitor::serialize(stored_);
    }
    return stored_;
}

void HistoryRecorder::saveState() {
    // Readings come one drive at a time: the whole state is serialised once for all of
    // those handled together, not once for each.
    if (!saveDue_) {
        saveDue_ = true;
        QMetaObject::invokeMethod(this, &HistoryRecorder::writeState, Qt::QueuedConnection);
    }
}

void HistoryRecorder::writeState() {
    if (!std::exchange(saveDue_, false)) {
        return;
    }
    std::map<std::string, KnownDevice>& all = stored();
    for (const auto& [id, f] : followed_) {
        all[f->key.toLower().toStdString()] = f->known;
    }
    std::string text = corvane::cli::Monitor::serialize(all);
    if (text == savedState_) {
        return;
    }
    savedState_ = text;
    (void)QtConcurrent::run(&writer_, [path = statePath_.toStdString(), text = std::move(text)] {
        std::string error;
        if (!corvane::cli::writeFileAtomically(path, text, &error)) {
            qWarning("cannot save the window's last known states: %s", error.c_str());
        }
    });
}

HistoryRecorder::~HistoryRecorder() {
    writeState();
    flush();
}

int64_t HistoryRecorder::steadyMs() {
    // The trends' durations by the tick, which a wall clock set back does not move.
    const uint32_t t = corvane::os::clock().tick();
    elapsed_ += uint32_t(t - lastTick_);
    lastTick_ = t;
    return elapsed_;
}

void HistoryRecorder::condition(Followed& f, const std::string& key, int level,
                                const std::string& was) {
    const auto it = f.known.conditions.find(key);
    const int old = it == f.known.conditions.end() ? 0 : it->second.level;
    if (level < 0 || level == old) {
        return;  // not known, or no change
    }
    const corvane::cli::EventText e = corvane::cli::conditionEventText(f.known, key, level, was);
    recordEvent(f.key, e.bay, e.name, e.severity, e.message);
    if (level > 0) {
        f.known.conditions[key] = {level, QDateTime::currentMSecsSinceEpoch()};
    } else {
        f.known.conditions.erase(key);
    }
}

void HistoryRecorder::deviceInfo(DrlDevId id, const corvane::dcp::DcpRespInfo& info) {
    const QString key = adapter_->deviceKey(id);
    if (key.isEmpty()) {
        return;
    }
    std::unique_ptr<Followed>& slot = followed_[id];
    bool first = false;
    if (!slot) {
        slot = std::make_unique<Followed>();
        const auto it = stored().find(key.toLower().toStdString());
        first = it == stored().end();
        if (!first) {
            // Known from an earlier start: only what changed since is news.
            slot->known = it->second;
            slot->baysRead.fill(true);
            slot->operationRead = it->second.phase != dcp::PhaseUnknown;
        }
    }
    Followed& f = *slot;
    const uint32_t wasRaid = f.known.raidStatus;
    f.key = key;
    f.known.model = oneLineText(info.model);
    f.known.path = oneLineText(info.devicePath);
    f.known.raidStatus = info.raidStatus;
    f.known.failureLikely = info.driveFailureLikely;
    f.known.cacheDisabled = info.cacheDisabled;
    const std::string raid = dcp::raidStatusText(info.raidStatus);
    if (first) {
        recordEvent(key, -1, "device-found", 6, "found: RAID " + raid);
    } else if (f.known.gone) {
        f.known.gone = false;
        recordEvent(key, -1, "device-back", f.known.conditions.erase("gone") ? 5 : 6,
                    "answers again");
    }
    condition(f, "raid", corvane::drl::raidLevel(info.raidStatus),
              first ? "" : dcp::raidStatusText(wasRaid));
    condition(f, "failure-likely", info.driveFailureLikely ? 1 : 0, "");
    condition(f, "cache-disabled", info.cacheDisabled ? 1 : 0, "");
    saveState();
}

void HistoryRecorder::driveInfo(DrlDevId id, const corvane::dcp::DcpRespDriveInfo& d) {
    const QString key = adapter_->deviceKey(id);
    if (!key.isEmpty()) {
        record(key, d);
    }
    const auto it = followed_.find(id);
    if (it == followed_.end() || d.driveIndex >= dcp::kDriveBays) {
        return;  // its state is read from the device's first information on
    }
    Followed& f = *it->second;
    corvane::cli::KnownDevice::Bay& b = f.known.bays[d.driveIndex];
    const uint32_t wasHealth = b.health;
    const bool firstRead = !f.baysRead[d.driveIndex];
    f.baysRead[d.driveIndex] = true;
    b.present = d.present;
    b.health = d.health;
    b.member = d.memberState;
    if (d.present) {
        b.serial = oneLineText(d.serialNumber);
        b.model = oneLineText(d.model);
        b.temperature = d.temperature;
        b.scanErrors = d.scanErrors;
        b.badBlocksRemapped = d.badBlocksRemapped;
        b.crcErrors = d.crcErrors;
    }
    condition(f, "bay" + std::to_string(d.driveIndex), corvane::drl::bayLevel(d.present, d.health),
              firstRead ? "" : dcp::healthText(wasHealth));
    // The other bays' last readings change nothing: no rise, the same temperature.
    std::vector<unsigned> wentDown;
    for (const auto& [key, level] : f.trends.levels(f.known, f.known, steadyMs(), &wentDown)) {
        if (unsigned(key.back() - '0') == d.driveIndex) {
            condition(f, key, level, "");
        }
    }
    saveState();
}

void HistoryRecorder::progress(DrlDevId id, const corvane::dcp::DcpRespProgress& p) {
    const auto it = followed_.find(id);
    if (it == followed_.end()) {
        return;
    }
    Followed& f = *it->second;
    const corvane::cli::KnownDevice before = f.known;
    f.known.operation = p.operation;
    f.known.phase = p.phase;
    // The first report of an operation that ended before the window came is old news.
    const bool first = !f.operationRead;
    f.operationRead = true;
    if (!first || corvane::cli::operationRunning(p.phase)) {
        if (const auto e = corvane::cli::operationEventText(before, f.known)) {
            recordEvent(f.key, -1, e->name, e->severity, e->message);
        }
    }
    saveState();
}

void HistoryRecorder::lost(Followed& f) {
    f.known.gone = true;
    if (!corvane::cli::lossIsTrouble(f.known)) {
        recordEvent(f.key, -1, "device-lost", 6, "no longer answers");
        return;
    }
    const corvane::cli::EventText e = corvane::cli::conditionEventText(f.known, "gone", 1, "");
    recordEvent(f.key, e.bay, e.name, e.severity, e.message);
    f.known.conditions["gone"] = {1, QDateTime::currentMSecsSinceEpoch()};
}

void HistoryRecorder::listed(const QMap<DrlDevId, corvane::dcp::DcpRespInfo*>& list) {
    for (auto it = followed_.begin(); it != followed_.end();) {
        const bool listed = list.contains(it->first);
        const bool silent = listed && !adapter_->isDeviceAnswering(it->first) &&
                            !adapter_->isDeviceInitializing(it->first);
        if ((!listed || silent) && !it->second->known.gone) {
            lost(*it->second);
        }
        // One that comes back is found afresh, in this run or the next.
        if (!listed) {
            stored().erase(it->second->key.toLower().toStdString());
        }
        it = listed ? std::next(it) : followed_.erase(it);
    }
    for (auto it = list.cbegin(); it != list.cend(); ++it) {
        if (it.value() && adapter_->isDeviceAnswering(it.key()) &&
            !adapter_->isDeviceInitializing(it.key())) {
            deviceInfo(it.key(), *it.value());
        }
    }
    saveState();
}

void HistoryRecorder::recordEvent(const QString& device, int bay, const std::string& name,
                                  int severity, const std::string& message) {
    corvane::history::Event e{QDateTime::currentMSecsSinceEpoch(),
                              device.toLower().toStdString(),
                              bay,
                              name,
                              severity,
                              message};
    auto history = history_;
    (void)QtConcurrent::run(&writer_, [history, e] {
        std::string said;
        if (history->isOpen()) {
            history->add(e, &said);
        }
    });
}

QString HistoryRecorder::defaultPath() {
    return QDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation))
        .filePath(QStringLiteral("history.sqlite"));
}

QString HistoryRecorder::statePath(const QString& historyPath) {
    // The window's own: the monitor's state file is root's.
    return QFileInfo(historyPath).dir().filePath(QStringLiteral("window.state"));
}

void HistoryRecorder::record(const QString& device, const corvane::dcp::DcpRespDriveInfo& d) {
    if (!d.present) {
        return;
    }
    corvane::history::Reading r;
    r.timeMs = r.untilMs = QDateTime::currentMSecsSinceEpoch();
    r.device = device.toLower().toStdString();
    r.bay = d.driveIndex;
    r.drive = corvane::cli::oneLineText(d.serialNumber);  // as the monitor names it
    r.health = d.health;
    r.member = d.memberState;
    r.temperature = d.temperature;
    r.scanErrors = d.scanErrors;
    r.badBlocksRemapped = d.badBlocksRemapped;
    r.crcErrors = d.crcErrors;
    auto history = history_;
    (void)QtConcurrent::run(&writer_, [history, r] {
        std::string said;
        if (history->isOpen()) {
            history->add({r}, &said);
        }
    });
}

void HistoryRecorder::flush() {
    writer_.waitForDone();
}
