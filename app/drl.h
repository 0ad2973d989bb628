#pragma once

#include <QList>
#include <QMap>
#include <QModelIndex>
#include <QPoint>
#include <memory>

#include "app/platformaccess.h"
#include "app/singleinstance.h"
#include "app/storagemanager.h"
#include "dialogs/smartwindow.h"

class QAction;
class QCloseEvent;
class DesktopNotifier;
class QLabel;
class QSystemTrayIcon;
class QString;
class QToolButton;

namespace Ui {
class DRL;
}

// The main window: one row per device with its picture, identification, configuration
// and status, the device commands in a menu and a context menu, and the window's
// geometry, state and column widths kept in the settings store.
class DRL : public TSingleInstanceWindow, public SmartWindow {
    Q_OBJECT

public:
    explicit DRL(QWidget* parent = nullptr, Qt::WindowFlags flags = Qt::WindowFlags());
    ~DRL() override;

    // Closes the window the way the user does, without the question about running
    // operations: how a termination signal ends the program.
    void closeWithoutQuestion();
    // Writes geometry, window state and column widths once per closing.
    void saveSettingsOnce();
    // Says in the status bar when the devices cannot be reached, and offers the retry.
    void setPlatformAccess(const PlatformAccess& access);

protected:
    void closeEvent(QCloseEvent* event) override;

public slots:
    void deviceChange(DrlDevId id, const DcpRespInfo* pInfo);
    void deviceListChange(const QMap<DrlDevId, DcpRespInfo*>& list);
    void deviceStatusChange(quint32 id, const DcpRespProgress& prog);
    void deviceInitializing(DrlDevId id);
    void tbv_devs_doubleClicked(const QModelIndex& index);
    void tbv_devs_customContextMenuRequested(const QPoint& pos);
    void tbv_devs_itemSelectionChanged();
    void tbv_devs_sortRowOrderChanged(const QList<int>& order);
    void init_device_clicked();
    void rebuild_device_clicked();
    void device_info_clicked();
    void about_clicked();
    void authorise_clicked();
    void exit_clicked();
    void close_to_tray_toggled(bool on);

private:
    void setDeviceRow(int row, const DcpRespInfo& info);
    void setStatusCell(int row, bool warning, const QString& text);
    int rowOf(DrlDevId id) const;
    DrlDevId selectedDevice() const;
    void updateActions();
    void showDeviceInfo(DrlDevId id);
    void closeDeviceInfo(DrlDevId id);
    void restoreWindowState();
    void saveWindowState();
    void showPlatformStart(const corvane::io::HelperStart& start);
    void authorisationAnswered(const corvane::io::HelperStart& start);
    // The status bar is shown only while it has a message.
    void updateStatusBar();
    // The tray shows the worst state of all devices.
    void updateTray(int worstLevel);
    void showFromTray();

    std::unique_ptr<Ui::DRL> ui;
    QList<DrlDevId> rowDevices_;
    QAction* ctxInit_ = nullptr;
    QAction* ctxRebuild_ = nullptr;
    QAction* ctxInfo_ = nullptr;
    bool askOnClose_ = true;
    bool saved_ = false;

    // Where a retry's thread posts its answer; emptied when the window goes, since the
    // thread may outlive it (it waits on the authorisation dialog).
    struct RetryMailbox;
    std::shared_ptr<RetryMailbox> mailbox_;
    std::function<corvane::io::HelperStart()> retry_;
    bool retrying_ = false;
    QLabel* platformStatus_ = nullptr;
    QToolButton* authoriseButton_ = nullptr;
    DesktopNotifier* notifier_ = nullptr;
    static constexpr int kUnshownKept = 4;
    QList<QPair<QString, QString>> unshown_;  // summary and device, in the status bar instead
    QString unshownMessage_;
    QSystemTrayIcon* tray_ = nullptr;
    bool quitting_ = false;
};
