#include "app/desktopnotifier.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <algorithm>

#include "app/guitexts.h"
#include "dcp/texts.h"
#include "drl/conditions.h"

namespace {

const char* const kService = "org.freedesktop.Notifications";
const char* const kPath = "/org/freedesktop/Notifications";
const char* const kInterface = "org.freedesktop.Notifications";
constexpr int kCallTimeoutMs = 5000;

QString latin1(const std::string& s) {
    return QString::fromLatin1(s.data(), qsizetype(s.size()));
}

}  // namespace

DesktopNotifier::DesktopNotifier(QObject* parent) : QObject(parent) {}

void DesktopNotifier::deviceInfo(DrlDevId id, const DcpRespInfo& info) {
    Device& d = devices_[id];
    d.name = tr("%1 (serial %2) at %3")
                 .arg(latin1(info.model), latin1(info.serialText), latin1(info.devicePath));
    update(id, QStringLiteral("raid"), corvane::drl::raidLevel(info.raidStatus),
           tr("RAID %1").arg(dcpText(corvane::dcp::raidStatusText(info.raidStatus))));
    update(id, QStringLiteral("failure-likely"), info.driveFailureLikely ? 1 : 0,
           tr("Drive Failure is Likely"));
    update(id, QStringLiteral("cache-disabled"), info.cacheDisabled ? 1 : 0,
           tr("Performance Not Optimized (Cache Disabled)"));
}

void DesktopNotifier::driveInfo(DrlDevId id, const DcpRespDriveInfo& drive) {
    if (drive.driveIndex >= corvane::dcp::kDriveBays) {
        return;
    }
    update(id, QStringLiteral("bay%1").arg(drive.driveIndex),
           corvane::drl::bayLevel(drive.present, drive.health),
           tr("Drive in bay %1: %2")
               .arg(drive.driveIndex + 1)
               .arg(dcpText(corvane::dcp::healthText(drive.health))));
}

void DesktopNotifier::progress(DrlDevId id, const DcpRespProgress& p) {
    // A failed run is news once; the RAID status carries the lasting state.
    const bool failed =
        p.phase == corvane::dcp::PhaseFailed || p.phase == corvane::dcp::PhaseDiskTooSmall;
    const QString key = QStringLiteral("operation");
    if (failed) {
        update(id, key, 2, operationName(p.operation) + QLatin1Char(' ') + phaseText(p.phase));
    } else if (p.phase == corvane::dcp::PhasePreparing ||
               p.phase == corvane::dcp::PhaseProgressing) {
        update(id, key, 0, QString());
    }
}

void DesktopNotifier::keepOnly(const QList<DrlDevId>& listed) {
    devices_.removeIf([&listed](auto it) { return !listed.contains(it.key()); });
    updateWorst();
}

void DesktopNotifier::update(DrlDevId id, const QString& key, int level, const QString& what) {
    if (level < 0) {
        return;  // not known: neither news nor a new baseline
    }
    Device& d = devices_[id];
    const auto known = d.levels.constFind(key);
    const bool worse =
        known != d.levels.constEnd() ? level > *known : key == QLatin1String("operation") && level;
    d.levels[key] = level;
    if (worse) {
        send(what, d.name, level);
    }
    updateWorst();
}

void DesktopNotifier::updateWorst() {
    int worst = 0;
    for (const Device& d : std::as_const(devices_)) {
        for (const auto& [key, level] : d.levels.asKeyValueRange()) {
            // A failed run is an event, not a state of the device.
            if (key != QLatin1String("operation")) {
                worst = std::max(worst, level);
            }
        }
    }
    if (worst != worst_) {
        worst_ = worst;
        emit worstLevelChanged(worst);
    }
}

void DesktopNotifier::send(const QString& summary, const QString& body, int level) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        emit notShown(summary, body);
        return;
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall(QLatin1String(kService), QLatin1String(kPath),
                                       QLatin1String(kInterface), QStringLiteral("Notify"));
    const QVariantMap hints = {
        {QStringLiteral("urgency"), QVariant::fromValue(uchar(level >= 2 ? 2 : 1))}};
    call << QCoreApplication::applicationName() << uint(0) << QStringLiteral("drive-harddisk")
         << summary << body << QStringList() << hints << int(-1);
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, summary, body](QDBusPendingCallWatcher* w) {
                if (w->isError()) {
                    emit notShown(summary, body);
                }
                w->deleteLater();
            });
}
