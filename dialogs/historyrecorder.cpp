#include "dialogs/historyrecorder.h"

#include <QDateTime>
#include <QDir>
#include <QStandardPaths>
#include <QtConcurrent/QtConcurrentRun>

#include "app/storagemanager.h"
#include "monitor/history.h"
#include "monitor/snapshot.h"

HistoryRecorder::HistoryRecorder(const QString& path, QObject* parent)
    : QObject(parent), history_(std::make_shared<corvane::history::History>()) {
    writer_.setMaxThreadCount(1);  // one writer, rounds in order
    // Opening checks the whole file: on the writer's thread too.
    (void)QtConcurrent::run(&writer_, [this, path] {
        QDir().mkpath(QFileInfo(path).absolutePath());
        std::string said;
        if (!history_->openForWriting(path.toStdString(), &said)) {
            problem_ = QString::fromStdString(said);
        }
    });
}

QString HistoryRecorder::problem() {
    flush();
    return problem_;
}

HistoryRecorder::HistoryRecorder(StorageManager* adapter, const QString& path, QObject* parent)
    : HistoryRecorder(path, parent) {
    connect(adapter, &StorageManager::deviceDriveChange, this,
            [this, adapter](DrlDevId id, const corvane::dcp::DcpRespDriveInfo* drive) {
                std::unique_ptr<corvane::dcp::DcpRespInfo> info(adapter->cachedInfo(id));
                if (drive && info) {
                    record(QString::fromLatin1(info->serialText.c_str()), *drive);
                }
            });
}

HistoryRecorder::~HistoryRecorder() {
    flush();
}

QString HistoryRecorder::defaultPath() {
    return QDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation))
        .filePath(QStringLiteral("history.sqlite"));
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
