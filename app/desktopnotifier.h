#pragma once

#include <QMap>
#include <QObject>
#include <QString>

#include "app/storagemanager.h"

// Tells the desktop, through the freedesktop notification service on the session bus,
// when a device gets worse: its RAID set, a drive, a likely failure, a disabled cache or
// a long operation that failed. One notification per change; none for a change for the
// better, nor for the state a device is first seen in. Also knows the worst state of all
// devices, for the tray.
class DesktopNotifier : public QObject {
    Q_OBJECT

public:
    explicit DesktopNotifier(QObject* parent = nullptr);

    void deviceInfo(DrlDevId id, const DcpRespInfo& info);
    void driveInfo(DrlDevId id, const DcpRespDriveInfo& drive);
    void progress(DrlDevId id, const DcpRespProgress& progress);
    // Devices no longer listed are forgotten: one that comes back starts afresh.
    void keepOnly(const QList<DrlDevId>& listed);

    // 0 all fine, 1 something degraded or warning, 2 something failed.
    int worstLevel() const { return worst_; }

signals:
    void worstLevelChanged(int level);
    // A notification that no service took: what it would have told, about which device.
    void notShown(const QString& summary, const QString& body);

private:
    struct Device {
        QString name;
        QMap<QString, int> levels;
    };
    void update(DrlDevId id, const QString& key, int level, const QString& what);
    void send(const QString& summary, const QString& body, int level);
    void updateWorst();

    QMap<DrlDevId, Device> devices_;
    int worst_ = 0;
};
