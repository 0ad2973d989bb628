#pragma once

#include <QFuture>
#include <QMap>
#include <QObject>
#include <QString>
#include <QThreadPool>
#include <map>
#include <memory>
#include <string>

#include "dcp/records.h"
#include "drl/storage_manager.h"
#include "monitor/monitor.h"

class StorageManager;

namespace corvane::history {
class History;
}

// The window's own history while it runs: each drive reading the adapter receives, and
// each change of a device's state as the monitor service records it (its names, levels and
// words), written by a thread of its own so that a slow disk never stalls the window. What it
// knew of each device is kept in a state file beside the history, so that a new start of the
// window records only what changed while it was closed.
class HistoryRecorder : public QObject {
    Q_OBJECT

public:
    // Follows the adapter's readings and changes; nothing is written when the file cannot be.
    HistoryRecorder(StorageManager* adapter, const QString& path, QObject* parent = nullptr);
    // Without an adapter: record() only.
    explicit HistoryRecorder(const QString& path, QObject* parent = nullptr);
    ~HistoryRecorder() override;

    // history.sqlite in the user's data folder.
    static QString defaultPath();
    // The last known states beside the history file `historyPath`.
    static QString statePath(const QString& historyPath);
    // One reading, or one event, of the device keyed `device` (StorageManager::deviceKey).
    void record(const QString& device, const corvane::dcp::DcpRespDriveInfo& drive);
    void recordEvent(const QString& device, int bay, const std::string& name, int severity,
                     const std::string& message);
    // Waits until everything recorded so far is written.
    void flush();
    // Why there is no history, or empty; waits for the file to be opened.
    QString problem();

private:
    struct Followed;  // what the window last knew of a device
    void deviceInfo(corvane::drl::DrlDevId id, const corvane::dcp::DcpRespInfo& info);
    void driveInfo(corvane::drl::DrlDevId id, const corvane::dcp::DcpRespDriveInfo& drive);
    void progress(corvane::drl::DrlDevId id, const corvane::dcp::DcpRespProgress& progress);
    void listed(const QMap<corvane::drl::DrlDevId, corvane::dcp::DcpRespInfo*>& list);
    void condition(Followed& f, const std::string& key, int level, const std::string& was);
    void lost(Followed& f);
    int64_t steadyMs();
    // The devices known from earlier starts; waits for the file to be read.
    std::map<std::string, corvane::cli::KnownDevice>& stored();
    void saveState();  // soon, once for everything handled meanwhile
    void writeState();

    StorageManager* adapter_ = nullptr;
    uint32_t lastTick_ = 0;
    int64_t elapsed_ = 0;
    std::map<corvane::drl::DrlDevId, std::unique_ptr<Followed>> followed_;
    std::shared_ptr<corvane::history::History> history_;
    QThreadPool writer_;
    QString problem_;  // written by the writer's thread
    QString statePath_;
    QFuture<std::map<std::string, corvane::cli::KnownDevice>> stateRead_;
    std::map<std::string, corvane::cli::KnownDevice> stored_;
    bool storedTaken_ = false;
    bool saveDue_ = false;
    std::string savedState_;
};
