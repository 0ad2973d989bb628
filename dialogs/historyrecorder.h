#pragma once

#include <QObject>
#include <QString>
#include <QThreadPool>
#include <memory>

#include "dcp/records.h"

class StorageManager;

namespace corvane::history {
class History;
}

// The window's own history while it runs: each drive reading the adapter receives,
// written by a thread of its own so that a slow disk never stalls the window.
class HistoryRecorder : public QObject {
    Q_OBJECT

public:
    // Follows the adapter's drive readings; nothing is written when the file cannot be.
    HistoryRecorder(StorageManager* adapter, const QString& path, QObject* parent = nullptr);
    // Without an adapter: record() only.
    explicit HistoryRecorder(const QString& path, QObject* parent = nullptr);
    ~HistoryRecorder() override;

    // history.sqlite in the user's data folder.
    static QString defaultPath();
    // One reading of the device keyed `device` (its serial in lower-case hex).
    void record(const QString& device, const corvane::dcp::DcpRespDriveInfo& drive);
    // Waits until everything recorded so far is written.
    void flush();
    // Why there is no history, or empty; waits for the file to be opened.
    QString problem();

private:
    std::shared_ptr<corvane::history::History> history_;
    QThreadPool writer_;
    QString problem_;  // written by the writer's thread
};
