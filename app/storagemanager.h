#pragma once

#include <QEvent>
#include <QList>
#include <QMap>
#include <QMetaType>
#include <QObject>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "dcp/records.h"
#include "drl/notifier.h"
#include "drl/time_left.h"

class QWidget;

namespace corvane::drl {
class CvnStorageManager;
}

// The GUI names the core's records without their namespaces.
using DrlDevId = corvane::drl::DrlDevId;
using DcpRespInfo = corvane::dcp::DcpRespInfo;
using DcpRespDriveInfo = corvane::dcp::DcpRespDriveInfo;
using DcpRespStatusText = corvane::dcp::DcpRespStatusText;
using DcpRespProgress = corvane::dcp::DcpRespProgress;
using DcpRespInitConfiguration = corvane::dcp::DcpRespInitConfiguration;
using DcpRespRebuild = corvane::dcp::DcpRespRebuild;

Q_DECLARE_METATYPE(DcpRespProgress)

// Events that carry a copy of one periodic answer from the core's worker to the GUI
// thread. Each type is registered once, before main runs.
class DeviceInfoEvent : public QEvent {
public:
    static const QEvent::Type EventType;
    DeviceInfoEvent(DrlDevId device, const DcpRespInfo& info);
    ~DeviceInfoEvent() override;
    DrlDevId device;
    DcpRespInfo info;
};

class DriveInfoEvent : public QEvent {
public:
    static const QEvent::Type EventType;
    DriveInfoEvent(DrlDevId device, const DcpRespDriveInfo& info);
    ~DriveInfoEvent() override;
    DrlDevId device;
    DcpRespDriveInfo info;
};

class StatusTextEvent : public QEvent {
public:
    static const QEvent::Type EventType;
    StatusTextEvent(DrlDevId device, const DcpRespStatusText& text);
    ~StatusTextEvent() override;
    DrlDevId device;
    DcpRespStatusText text;
};

// The outcome of a request the adapter had the worker run once; `response` is null unless
// `result` is Ok.
class RequestDoneEvent : public QEvent {
public:
    static const QEvent::Type EventType;
    RequestDoneEvent(quint32 commId, DrlDevId device, quint32 result,
                     std::unique_ptr<corvane::dcp::DcpResponse> response);
    ~RequestDoneEvent() override;
    quint32 commId;
    DrlDevId device;
    quint32 result;
    std::unique_ptr<corvane::dcp::DcpResponse> response;
};

class RebuildProgressEvent : public QEvent {
public:
    static const QEvent::Type EventType;
    RebuildProgressEvent(DrlDevId device, const DcpRespProgress& progress);
    ~RebuildProgressEvent() override;
    DrlDevId device;
    DcpRespProgress progress;
};

// The one object through which the GUI talks to the storage manager core: it re-posts the
// core's notifications to the GUI thread, keeps the latest device information and the
// running progress polls, and runs the synchronous queries and the RAID commands.
// Everything but notify() runs on the GUI thread. With no core (its factory failed) every
// call does nothing and every query answers null.
class StorageManager : public QObject, public corvane::drl::DrlNotifier {
    Q_OBJECT

public:
    // The plain device-list event.
    static const QEvent::Type DeviceListEventType;

    static StorageManager* instance();
    static void destroyInstance();
    // What the next instance() uses to make its core; an empty function restores the
    // default (CvnStorageManager::create). Tests and the demo choose the listener here.
    static void setCoreFactory(std::function<corvane::drl::CvnStorageManager*()> factory);

    // Registers with the core; its first device-list report follows at once.
    void startListening();

    // Queries on the calling thread; each answer is new and belongs to the caller.
    DcpRespInfo* deviceInfo(DrlDevId id, bool refresh);
    // The latest information received, as a new copy, or null; never asks the device.
    DcpRespInfo* cachedInfo(DrlDevId id) const;
    // Has the worker ask the device once (information, a drive or the status text); the
    // answer comes as deviceChange, deviceDriveChange or deviceTextChange, a failure as
    // nothing. False when it could not be asked.
    bool requestAsync(DrlDevId id, const corvane::dcp::DcpRequest& request);
    // Answers asked of the worker and not yet handled.
    bool hasPendingAnswers() const;
    DcpRespDriveInfo* driveInfo(DrlDevId id, quint32 driveIndex);
    DcpRespStatusText* statusText(DrlDevId id);
    // On failure *result, when given, holds the core's result.
    DcpRespInitConfiguration* sendInitConfiguration(DrlDevId id, quint32 capacityMode,
                                                    quint32* result = nullptr);
    DcpRespRebuild* sendRebuild(DrlDevId id, quint32* result = nullptr);

    // A device with a progress poll, or one that initialises, is busy for the GUI.
    bool isDeviceBusy(DrlDevId id) const;
    // From an accepted initialisation (or the core's refusal) until a refresh in which the
    // device answers again or is gone.
    bool isDeviceInitializing(DrlDevId id) const;
    // False for a listed device whose last information query failed; its row keeps the
    // last information received.
    bool isDeviceAnswering(DrlDevId id) const;
    bool hasTrackedOperations() const;
    // Seconds a progressing operation still needs, from its poll's reports; nothing while
    // they cannot tell (just started, stalled, silent) or without a poll.
    std::optional<quint32> secondsLeft(DrlDevId id) const;
    void trackProgress(DrlDevId id);
    // What names the device in the histories, as the monitor service names it: its serial
    // in lower-case hex, or "serial@diskN" while another listed device reports the same
    // serial. Empty for a device not listed.
    QString deviceKey(DrlDevId id) const;

    // The RAID commands; their questions and boxes go through TPrompts, parented to parent.
    void initDevice(QWidget* parent, DrlDevId id);
    void rebuildDevice(QWidget* parent, DrlDevId id);
    // True when the device is busy and the user was told so under this title.
    bool rejectIfBusy(QWidget* parent, DrlDevId id, const QString& title);
    // True only when the user answered Yes.
    bool confirmAction(QWidget* parent, const QString& text);

    // Worker thread: copies the event's data into a Qt event posted to this object.
    void notify(const corvane::drl::DrlEvent& event) override;

    // Asks every listed device on the worker; deviceListChange follows once all have
    // answered or failed. Asked again while one runs, it runs once more afterwards.
    void refreshDeviceList();

signals:
    void deviceChange(DrlDevId id, const DcpRespInfo* pInfo);
    void deviceDriveChange(DrlDevId id, const DcpRespDriveInfo* pInfo);
    void deviceTextChange(DrlDevId id, const DcpRespStatusText* pInfo);
    void deviceListChange(const QMap<DrlDevId, DcpRespInfo*>& list);
    void deviceStatusChange(quint32 id, const DcpRespProgress& prog);
    void deviceInitializing(DrlDevId id);

public slots:
    void rescanDevices();

protected:
    void customEvent(QEvent* event) override;

private:
    struct ProgressPoll {
        quint32 commId = 0;
        quint32 interval = 0;
        corvane::drl::TimeLeftEstimator timeLeft;
    };

    // One device-list refresh whose information answers are awaited.
    struct Refresh {
        QList<DrlDevId> listed;
        QMap<DrlDevId, quint32> results;  // per device once answered
        QMap<DrlDevId, std::shared_ptr<DcpRespInfo>> answers;
        QList<QPair<DrlDevId, DcpRespProgress>> reports;  // final reports, after the list
        // Initialisations accepted while it ran: its answers predate them.
        QList<DrlDevId> initializedMeanwhile;
    };

    StorageManager();
    ~StorageManager() override;
    void handleProgress(const RebuildProgressEvent& event);
    void handleRequestDone(RequestDoneEvent& event);
    // What a periodic or a requested answer does; takes a response of type 1 to 4.
    void handleAnswer(DrlDevId id, const corvane::dcp::DcpResponse& response);
    void finishRefresh();
    DcpRespInfo* queryInfo(DrlDevId id, quint32* result);
    // Tells the user why a command could not reach the device; title names the command.
    void sayUnreached(QWidget* parent, quint32 result, const QString& title,
                      const QString& firstLine);
    // The information a RAID command acts on, read before its question (which names the
    // device); null, with the user told why under title, when the device is busy or silent.
    std::unique_ptr<DcpRespInfo> commandTarget(QWidget* parent, DrlDevId id, const QString& title);

    std::unique_ptr<corvane::drl::CvnStorageManager> core_;
    QList<DrlDevId> knownDevices_;
    QMap<DrlDevId, ProgressPoll> progressPolls_;
    QMap<DrlDevId, std::shared_ptr<DcpRespInfo>> infoCache_;
    mutable std::optional<std::map<DrlDevId, std::string>> keys_;  // as of the last list
    QList<DrlDevId> initializing_;
    QList<DrlDevId> silent_;
    QList<DrlDevId> shown_;  // the devices of the last list signal
    std::unique_ptr<Refresh> refresh_;
    bool refreshAgain_ = false;
    QList<QPair<DrlDevId, DcpRespProgress>> heldReports_;  // for the next refresh
    QMap<quint32, DrlDevId> refreshAsks_;                  // commId: device of refresh_
    QMap<quint32, DrlDevId> asks_;                         // commId: requestAsync's
};
