#include "app/storagemanager.h"

#include <QCoreApplication>
#include <utility>
#include <vector>

#include "app/guitexts.h"
#include "app/prompts.h"
#include "dcp/result.h"
#include "dcp/texts.h"
#include "drl/device_key.h"
#include "drl/storage_manager.h"
#include "drl/storage_manager_impl.h"
#include "os/clock.h"

using namespace corvane;

namespace {

QEvent::Type registerType() {
    return QEvent::Type(QEvent::registerEventType());
}

StorageManager* theInstance = nullptr;

std::function<drl::CvnStorageManager*()>& coreFactory() {
    static std::function<drl::CvnStorageManager*()> factory;
    return factory;
}

constexpr quint32 kFirstPollMs = 5000;
constexpr quint32 kProgressPollMs = 20000;
constexpr quint32 kPeriodicQueryMs = 60000;

// Asks the core one request and hands its answer over with its own type, or null.
template <typename Response>
Response* ask(drl::CvnStorageManager* core, DrlDevId id, const dcp::DcpRequest& request,
              quint32* result = nullptr) {
    quint32 ignored = 0;
    quint32& r = result ? *result : ignored;
    r = drl::DeviceIoFailed;
    if (!core) {
        return nullptr;
    }
    dcp::DcpResponse* response = nullptr;
    r = core->execute(id, &request, &response);
    if (r != drl::Ok || !response) {
        r = r == drl::Ok ? quint32(drl::DeviceIoFailed) : r;
        return nullptr;
    }
    if (response->type != request.type) {
        delete response;
        r = drl::DeviceIoFailed;
        return nullptr;
    }
    return static_cast<Response*>(response);
}

// The adapter's own copy of a core response of type 1 to 4; null for any other.
std::unique_ptr<dcp::DcpResponse> copyOf(const dcp::DcpResponse* r) {
    if (!r) {
        return nullptr;
    }
    switch (r->type) {
        case dcp::TypeGetInfo:
            return std::make_unique<DcpRespInfo>(*static_cast<const DcpRespInfo*>(r));
        case dcp::TypeGetDriveInfo:
            return std::make_unique<DcpRespDriveInfo>(*static_cast<const DcpRespDriveInfo*>(r));
        case dcp::TypeGetStatusText:
            return std::make_unique<DcpRespStatusText>(*static_cast<const DcpRespStatusText*>(r));
        case dcp::TypeGetProgress:
            return std::make_unique<DcpRespProgress>(*static_cast<const DcpRespProgress*>(r));
        default:
            return nullptr;
    }
}

}  // namespace

const QEvent::Type StorageManager::DeviceListEventType = registerType();
const QEvent::Type DeviceInfoEvent::EventType = registerType();
const QEvent::Type DriveInfoEvent::EventType = registerType();
const QEvent::Type StatusTextEvent::EventType = registerType();
const QEvent::Type RebuildProgressEvent::EventType = registerType();
const QEvent::Type RequestDoneEvent::EventType = registerType();

DeviceInfoEvent::DeviceInfoEvent(DrlDevId d, const DcpRespInfo& i)
    : QEvent(EventType), device(d), info(i) {}
DeviceInfoEvent::~DeviceInfoEvent() = default;

DriveInfoEvent::DriveInfoEvent(DrlDevId d, const DcpRespDriveInfo& i)
    : QEvent(EventType), device(d), info(i) {}
DriveInfoEvent::~DriveInfoEvent() = default;

StatusTextEvent::StatusTextEvent(DrlDevId d, const DcpRespStatusText& t)
    : QEvent(EventType), device(d), text(t) {}
StatusTextEvent::~StatusTextEvent() = default;

RebuildProgressEvent::RebuildProgressEvent(DrlDevId d, const DcpRespProgress& p)
    : QEvent(EventType), device(d), progress(p) {}
RebuildProgressEvent::~RebuildProgressEvent() = default;

RequestDoneEvent::RequestDoneEvent(quint32 id, DrlDevId d, quint32 r,
                                   std::unique_ptr<dcp::DcpResponse> answer)
    : QEvent(EventType), commId(id), device(d), result(r), response(std::move(answer)) {}
RequestDoneEvent::~RequestDoneEvent() = default;

StorageManager* StorageManager::instance() {
    if (!theInstance) {
        theInstance = new StorageManager();
    }
    return theInstance;
}

void StorageManager::destroyInstance() {
    delete theInstance;
    theInstance = nullptr;
}

void StorageManager::setCoreFactory(std::function<drl::CvnStorageManager*()> factory) {
    coreFactory() = std::move(factory);
}

StorageManager::StorageManager()
    : core_(coreFactory() ? coreFactory()() : drl::CvnStorageManager::create()) {}

StorageManager::~StorageManager() {
    if (core_) {
        // Nothing may reach this half-destroyed object from the worker.
        core_->removeNotifier(this);
    }
    core_.reset();  // joins the worker; events still queued die with this QObject
}

void StorageManager::startListening() {
    if (core_) {
        core_->addNotifier(this);
    }
}

void StorageManager::rescanDevices() {
    if (!core_) {
        return;
    }
    core_->rescan();
    // The scan reports only a changed list: a device it still has but the window lacks, or
    // shows as not answering, is asked again here.
    std::vector<DrlDevId> ids;
    if (!silent_.isEmpty() ||
        (core_->getDevices(&ids) == drl::Ok && QList<DrlDevId>(ids.begin(), ids.end()) != shown_)) {
        refreshDeviceList();
    }
}

void StorageManager::notify(const drl::DrlEvent& event) {
    QEvent* posted = nullptr;
    if (event.type == drl::DeviceListChanged || event.type == drl::DeviceReturned) {
        posted = new QEvent(DeviceListEventType);
    } else if (event.type == drl::RequestDone) {
        const auto& done = static_cast<const drl::DrlEventAsyncComm&>(event);
        std::unique_ptr<dcp::DcpResponse> copy = copyOf(done.response);
        const quint32 result =
            done.result == drl::Ok && !copy ? quint32(drl::DeviceIoFailed) : done.result;
        posted = new RequestDoneEvent(done.commId, done.devId, result, std::move(copy));
    } else if (event.type == drl::AsyncCommResult) {
        const auto& async = static_cast<const drl::DrlEventAsyncComm&>(event);
        const dcp::DcpResponse* r = async.response;
        if (!r) {
            return;
        }
        switch (r->type) {
            case dcp::TypeGetInfo:
                posted = new DeviceInfoEvent(async.devId, *static_cast<const DcpRespInfo*>(r));
                break;
            case dcp::TypeGetDriveInfo:
                posted = new DriveInfoEvent(async.devId, *static_cast<const DcpRespDriveInfo*>(r));
                break;
            case dcp::TypeGetStatusText:
                posted =
                    new StatusTextEvent(async.devId, *static_cast<const DcpRespStatusText*>(r));
                break;
            case dcp::TypeGetProgress:
                posted =
                    new RebuildProgressEvent(async.devId, *static_cast<const DcpRespProgress*>(r));
                break;
            default:
                break;
        }
    }
    if (posted) {
        QCoreApplication::postEvent(this, posted);
    }
}

void StorageManager::customEvent(QEvent* event) {
    const QEvent::Type type = event->type();
    if (type == DeviceListEventType) {
        event->accept();
        refreshDeviceList();
    } else if (type == DeviceInfoEvent::EventType) {
        event->accept();
        auto* e = static_cast<DeviceInfoEvent*>(event);
        handleAnswer(e->device, e->info);
    } else if (type == DriveInfoEvent::EventType) {
        event->accept();
        auto* e = static_cast<DriveInfoEvent*>(event);
        handleAnswer(e->device, e->info);
    } else if (type == StatusTextEvent::EventType) {
        event->accept();
        auto* e = static_cast<StatusTextEvent*>(event);
        handleAnswer(e->device, e->text);
    } else if (type == RebuildProgressEvent::EventType) {
        event->accept();
        handleProgress(*static_cast<RebuildProgressEvent*>(event));
    } else if (type == RequestDoneEvent::EventType) {
        event->accept();
        handleRequestDone(*static_cast<RequestDoneEvent*>(event));
    }
}

void StorageManager::handleAnswer(DrlDevId id, const dcp::DcpResponse& response) {
    switch (response.type) {
        case dcp::TypeGetInfo: {
            const auto& info = static_cast<const DcpRespInfo&>(response);
            infoCache_.insert(id, std::make_shared<DcpRespInfo>(info));
            silent_.removeAll(id);
            if (!progressPolls_.contains(id)) {
                emit deviceChange(id, &info);
            }
            break;
        }
        case dcp::TypeGetDriveInfo:
            emit deviceDriveChange(id, &static_cast<const DcpRespDriveInfo&>(response));
            break;
        case dcp::TypeGetStatusText:
            emit deviceTextChange(id, &static_cast<const DcpRespStatusText&>(response));
            break;
        default:
            break;
    }
}

void StorageManager::handleRequestDone(RequestDoneEvent& event) {
    if (refreshAsks_.contains(event.commId)) {
        refreshAsks_.remove(event.commId);
        if (refresh_) {
            refresh_->results.insert(event.device, event.result);
            if (event.result == drl::Ok && event.response &&
                event.response->type == dcp::TypeGetInfo) {
                refresh_->answers.insert(
                    event.device,
                    std::make_shared<DcpRespInfo>(static_cast<DcpRespInfo&>(*event.response)));
            }
        }
        if (refreshAsks_.isEmpty()) {
            finishRefresh();
        }
    } else if (asks_.remove(event.commId) && event.result == drl::Ok && event.response) {
        handleAnswer(event.device, *event.response);
    }
}

bool StorageManager::requestAsync(DrlDevId id, const dcp::DcpRequest& request) {
    if (!core_ || request.type == dcp::TypeGetProgress) {
        return false;  // progress reports belong to the polls
    }
    quint32 commId = 0;
    if (core_->executeAsync(id, &request, &commId) != drl::Ok) {
        return false;
    }
    asks_.insert(commId, id);
    return true;
}

bool StorageManager::hasPendingAnswers() const {
    return !refreshAsks_.isEmpty() || !asks_.isEmpty();
}

DcpRespInfo* StorageManager::cachedInfo(DrlDevId id) const {
    auto cached = infoCache_.constFind(id);
    return cached != infoCache_.constEnd() ? new DcpRespInfo(**cached) : nullptr;
}

void StorageManager::handleProgress(const RebuildProgressEvent& event) {
    const DrlDevId id = event.device;
    // A report for a device without a poll (one posted just before a refresh dropped the
    // device's record) changes no poll; it is still forwarded.
    auto poll = progressPolls_.find(id);
    if (poll != progressPolls_.end() && core_) {
        switch (event.progress.phase) {
            case dcp::PhaseProgressing:
                poll->timeLeft.report(event.progress.operation, event.progress.percent,
                                      os::clock().tick());
                if (poll->interval == kFirstPollMs) {
                    core_->stopAsyncComm(poll->commId);
                    const dcp::DcpReqGetProgress request;
                    quint32 commId = 0;
                    core_->startAsyncComm(id, &request, kProgressPollMs, &commId);
                    poll->commId = commId;
                    poll->interval = kProgressPollMs;
                }
                break;
            case dcp::PhasePreparing:
                break;
            default:
                core_->stopAsyncComm(poll->commId);
                progressPolls_.erase(poll);
                // Receivers see the refreshed list before the final report.
                heldReports_.append({id, event.progress});
                refreshDeviceList();
                return;
        }
    }
    emit deviceStatusChange(id, event.progress);
}

void StorageManager::refreshDeviceList() {
    if (!core_) {
        return;
    }
    if (refresh_) {
        refreshAgain_ = true;  // its answers may predate what changed
        return;
    }
    std::vector<DrlDevId> ids;
    if (core_->getDevices(&ids) != drl::Ok) {
        for (const auto& [id, report] : std::exchange(heldReports_, {})) {
            emit deviceStatusChange(id, report);
        }
        return;
    }
    const QList<DrlDevId> listed(ids.begin(), ids.end());
    keys_.reset();  // a device that came or went can change another's key
    for (auto it = infoCache_.begin(); it != infoCache_.end();) {
        it = listed.contains(it.key()) ? std::next(it) : infoCache_.erase(it);
    }
    // The core drops the periodic requests of vanished devices itself.
    for (auto it = progressPolls_.begin(); it != progressPolls_.end();) {
        it = listed.contains(it.key()) ? std::next(it) : progressPolls_.erase(it);
    }
    const auto unlisted = [&listed](DrlDevId id) { return !listed.contains(id); };
    initializing_.removeIf(unlisted);
    silent_.removeIf(unlisted);

    refresh_ = std::make_unique<Refresh>();
    refresh_->listed = listed;
    refresh_->reports = std::exchange(heldReports_, {});
    const dcp::DcpReqGetInfo getInfo;
    for (DrlDevId id : listed) {
        quint32 commId = 0;
        const quint32 result = core_->executeAsync(id, &getInfo, &commId);
        if (result == drl::Ok) {
            refreshAsks_.insert(commId, id);
        } else {
            refresh_->results.insert(id, result);
        }
    }
    if (refreshAsks_.isEmpty()) {
        finishRefresh();
    }
}

void StorageManager::finishRefresh() {
    const std::unique_ptr<Refresh> done = std::move(refresh_);
    QMap<DrlDevId, DcpRespInfo*> map;
    for (DrlDevId id : done->listed) {
        const quint32 result = done->results.value(id, drl::DeviceIoFailed);
        const std::shared_ptr<DcpRespInfo> fresh = done->answers.value(id);
        if (!done->initializedMeanwhile.contains(id)) {
            initializing_.removeAll(id);
        }
        silent_.removeAll(id);
        if (result == drl::DeviceInitializing && !initializing_.contains(id)) {
            initializing_.append(id);
        } else if (!fresh) {
            silent_.append(id);
        }
        if (fresh) {
            infoCache_.insert(id, fresh);
        }
        // A device the core still lists keeps its row with what it last told us.
        std::shared_ptr<DcpRespInfo> info = fresh ? fresh : infoCache_.value(id);
        if (!info) {
            continue;
        }
        map.insert(id, new DcpRespInfo(*info));
        if (fresh && info->raidStatus == dcp::RaidRebuilding) {
            trackProgress(id);
        }
        if (fresh && !knownDevices_.contains(id)) {
            const dcp::DcpReqGetInfo getInfo;
            const dcp::DcpReqGetStatusText getText;
            core_->startAsyncComm(id, &getInfo, kPeriodicQueryMs, nullptr);
            core_->startAsyncComm(id, &getText, kPeriodicQueryMs, nullptr);
            for (quint32 bay = 0; bay < info->driveCount; ++bay) {
                const dcp::DcpReqGetDriveInfo getDrive(bay);
                core_->startAsyncComm(id, &getDrive, kPeriodicQueryMs, nullptr);
            }
        }
    }
    knownDevices_ = done->listed;
    shown_ = map.keys();
    emit deviceListChange(map);
    qDeleteAll(map);
    for (const auto& [id, report] : done->reports) {
        emit deviceStatusChange(id, report);
    }
    if (std::exchange(refreshAgain_, false)) {
        refreshDeviceList();
    }
}

DcpRespInfo* StorageManager::deviceInfo(DrlDevId id, bool refresh) {
    if (!refresh) {
        if (DcpRespInfo* cached = cachedInfo(id)) {
            return cached;
        }
    }
    return queryInfo(id, nullptr);
}

DcpRespInfo* StorageManager::queryInfo(DrlDevId id, quint32* result) {
    auto* info = ask<DcpRespInfo>(core_.get(), id, dcp::DcpReqGetInfo(), result);
    if (info) {
        infoCache_.insert(id, std::make_shared<DcpRespInfo>(*info));
    }
    return info;
}

DcpRespDriveInfo* StorageManager::driveInfo(DrlDevId id, quint32 driveIndex) {
    return ask<DcpRespDriveInfo>(core_.get(), id, dcp::DcpReqGetDriveInfo(driveIndex));
}

DcpRespStatusText* StorageManager::statusText(DrlDevId id) {
    return ask<DcpRespStatusText>(core_.get(), id, dcp::DcpReqGetStatusText());
}

DcpRespInitConfiguration* StorageManager::sendInitConfiguration(DrlDevId id, quint32 capacityMode,
                                                                quint32* result) {
    return ask<DcpRespInitConfiguration>(
        core_.get(), id, dcp::DcpReqInitConfiguration(dcp::kConfigurationRaid5, capacityMode),
        result);
}

DcpRespRebuild* StorageManager::sendRebuild(DrlDevId id, quint32* result) {
    return ask<DcpRespRebuild>(core_.get(), id, dcp::DcpReqRebuild(), result);
}

bool StorageManager::isDeviceBusy(DrlDevId id) const {
    return progressPolls_.contains(id) || initializing_.contains(id);
}

bool StorageManager::isDeviceInitializing(DrlDevId id) const {
    return initializing_.contains(id);
}

bool StorageManager::isDeviceAnswering(DrlDevId id) const {
    return !silent_.contains(id);
}

bool StorageManager::hasTrackedOperations() const {
    return !progressPolls_.isEmpty();
}

std::optional<quint32> StorageManager::secondsLeft(DrlDevId id) const {
    const auto poll = progressPolls_.constFind(id);
    if (poll == progressPolls_.constEnd()) {
        return std::nullopt;
    }
    return poll->timeLeft.secondsLeft(os::clock().tick());
}

QString StorageManager::deviceKey(DrlDevId id) const {
    // The registry knows the disk numbers; a core of another kind has only the serial.
    if (auto* core = dynamic_cast<corvane::drl::CvnStorageManagerImpl*>(core_.get())) {
        // Asked for each reading: the keys are worked out once per list, or for a device
        // the core listed since.
        if (!keys_ || !keys_->count(id)) {
            keys_ = corvane::drl::deviceKeys(*core);
        }
        const auto it = keys_->find(id);
        return it == keys_->end() ? QString() : QString::fromStdString(it->second);
    }
    const auto info = infoCache_.constFind(id);
    return info == infoCache_.constEnd() || !*info
               ? QString()
               : QString::fromLatin1((*info)->serialText.c_str()).toLower();
}

void StorageManager::trackProgress(DrlDevId id) {
    // Without a core nothing would ever end the poll: the device would stay busy.
    if (!core_ || progressPolls_.contains(id)) {
        return;
    }
    ProgressPoll poll;
    const dcp::DcpReqGetProgress request;
    core_->startAsyncComm(id, &request, kFirstPollMs, &poll.commId);
    poll.interval = kFirstPollMs;
    progressPolls_.insert(id, poll);
}

bool StorageManager::rejectIfBusy(QWidget* parent, DrlDevId id, const QString& title) {
    if (!isDeviceBusy(id)) {
        return false;
    }
    TPrompts::current().failure(
        parent, title, tr("The requested device is currently\nprocessing another request."));
    return true;
}

bool StorageManager::confirmAction(QWidget* parent, const QString& text) {
    return TPrompts::current().confirm(parent, tr("Are you sure?"), text);
}

void StorageManager::sayUnreached(QWidget* parent, quint32 result, const QString& title,
                                  const QString& firstLine) {
    if (result == drl::DeviceInitializing) {
        TPrompts::current().failure(
            parent, title, tr("The requested device is currently\nprocessing another request."));
        return;
    }
    const QString why = result == drl::UnknownDevice
                            ? tr("The requested device is no longer attached.")
                            : tr("The requested device does not answer.");
    TPrompts::current().failure(parent, title,
                                firstLine.isEmpty() ? why : firstLine + QLatin1Char('\n') + why);
}

namespace {

// The question names the device it will act on, on a line of its own.
QString naming(const QString& question, const DcpRespInfo& info) {
    return question + QLatin1Char('\n') +
           StorageManager::tr("%1, Serial#: %2")
               .arg(QString::fromLatin1(info.model.data(), qsizetype(info.model.size())),
                    QString::fromLatin1(info.serialText.data(), qsizetype(info.serialText.size())));
}

}  // namespace

std::unique_ptr<DcpRespInfo> StorageManager::commandTarget(QWidget* parent, DrlDevId id,
                                                           const QString& title) {
    if (rejectIfBusy(parent, id, title)) {
        return nullptr;
    }
    quint32 result = drl::Ok;
    std::unique_ptr<DcpRespInfo> info(cachedInfo(id));
    if (!info) {
        info.reset(queryInfo(id, &result));
    }
    if (!info) {
        sayUnreached(parent, result, title, QString());
    }
    return info;
}

void StorageManager::initDevice(QWidget* parent, DrlDevId id) {
    const QString title = tr("Cannot Initialize!");
    const std::unique_ptr<DcpRespInfo> info = commandTarget(parent, id, title);
    if (!info) {
        return;
    }
    quint32 result = drl::Ok;
    if (!confirmAction(parent, naming(tr("Are you sure you want to initialize a\nnew RAID "
                                         "configuration? Initialization\nwill destroy data on the "
                                         "drives."),
                                      *info))) {
        return;
    }
    quint32 capacityMode = 0;
    if (info->largeCapacity) {
        const int chosen = TPrompts::current().chooseCapacity(parent);
        if (chosen < 0 || !dcp::capacityModeText(uint32_t(chosen))) {
            return;
        }
        capacityMode = quint32(chosen);
    }
    std::unique_ptr<DcpRespInitConfiguration> response(
        sendInitConfiguration(id, capacityMode, &result));
    if (!response) {
        sayUnreached(
            parent, result,
            result == drl::DeviceInitializing ? title : tr("Initialize Configuration Failure!"),
            tr("Failed to initialize configuration!"));
        return;
    }
    if (response->result == dcp::InitInitialized) {
        if (!initializing_.contains(id)) {
            initializing_.append(id);
        }
        if (refresh_) {
            refresh_->initializedMeanwhile.append(id);
        }
        emit deviceInitializing(id);
    } else {
        TPrompts::current().failure(
            parent, tr("Initialize Configuration Failure!"),
            tr("Failed to initialize configuration!\nFailed with status error: %1.")
                .arg(dcpText(dcp::initResultText(response->result)), 0, QLatin1Char(' ')));
    }
}

void StorageManager::rebuildDevice(QWidget* parent, DrlDevId id) {
    const QString title = tr("Cannot Rebuild!");
    const std::unique_ptr<DcpRespInfo> info = commandTarget(parent, id, title);
    if (!info) {
        return;
    }
    quint32 result = drl::Ok;
    if (!confirmAction(parent,
                       naming(tr("Are you sure you want to rebuild\nthe RAID configuration? "
                                 "Rebuilding\nwill alter data on the newly added drive."),
                              *info))) {
        return;
    }
    std::unique_ptr<DcpRespRebuild> response(sendRebuild(id, &result));
    if (!response) {
        sayUnreached(parent, result,
                     result == drl::DeviceInitializing ? title : tr("Rebuild Failure!"),
                     tr("Failed to initiate a RAID rebuild!"));
        return;
    }
    if (response->result == dcp::RebuildInProgress) {
        trackProgress(id);
    } else {
        TPrompts::current().failure(
            parent, tr("Rebuild Failure!"),
            tr("Failed to initiate a RAID rebuild!\nFailed with status error: %1.")
                .arg(dcpText(dcp::rebuildResultText(response->result)), 0, QLatin1Char(' ')));
    }
}
