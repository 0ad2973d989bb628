#pragma once

#include <QDialog>
#include <QList>
#include <QMap>
#include <QString>
#include <memory>

#include "app/storagemanager.h"
#include "dialogs/smartwindow.h"

class QCloseEvent;
class QPrinter;

namespace Ui {
class DeviceInfoDialog;
}

// Everything known about one device: its fields, a progress bar while a long operation
// runs, its drive bays and the status report the device composes. Live: it follows the
// StorageManager's signals, also while hidden. Closing hides it; it keeps its geometry
// and drive-table column widths per device id.
class DeviceInfoDialog : public QDialog, public SmartWindow {
    Q_OBJECT

public:
    // Filled at once from the adapter; not shown. The dialog enters the registry.
    explicit DeviceInfoDialog(DrlDevId id, QWidget* parent = nullptr);
    ~DeviceInfoDialog() override;

    DrlDevId deviceId() const;

    // "device_info_dlg_<id>": the window name, and with "/tbv_drive" the column widths key.
    static QString settingsName(DrlDevId id);

    // The process-wide registry, one dialog per device, for the main window.
    // The registered dialog, or null.
    static DeviceInfoDialog* find(DrlDevId id);
    // The registered dialog, created hidden and without parent when there is none.
    static DeviceInfoDialog* ensure(DrlDevId id);
    // Shows and raises the device's dialog, creating it when needed. A dialog that has
    // no stored geometry and was never shown opens centred over `over` (may be null).
    static DeviceInfoDialog* showFor(DrlDevId id, QWidget* over = nullptr);
    // Closes, unregisters and deletes the device's dialog; nothing when there is none.
    static void destroyFor(DrlDevId id);
    // close() on every registered dialog: each hides and saves its settings.
    static void closeAll();
    // Deletes every registered dialog (main window destructor, tests).
    static void destroyAll();
    static QList<DrlDevId> registeredDevices();

    // Replaces the report with device HTML (Latin-1), reduced to what is safe to lay out;
    // keeps the scroll position.
    void setStatusReport(const QString& html);

public slots:
    void deviceChange(DrlDevId id, const DcpRespInfo* pInfo);
    void deviceDriveChange(DrlDevId id, const DcpRespDriveInfo* pInfo);
    void deviceListChange(QMap<DrlDevId, DcpRespInfo*> list);
    void deviceStatusChange(quint32 id, DcpRespProgress prog);
    void deviceTextChange(DrlDevId id, const DcpRespStatusText* pInfo);
    void on_btn_export_clicked();
    void on_btn_print_clicked();
    void on_btn_copy_clicked();

protected:
    void closeEvent(QCloseEvent* event) override;
    // Esc goes through close() too, so that the settings are saved.
    void reject() override;

private:
    void updateDeviceInfo(const DcpRespInfo& info);
    void fillDrives(quint32 count);
    void updateDriveRow(int row, const DcpRespDriveInfo& drive);
    void printDocument(const QString& title, const QString& text, bool isHtml);
    void showFailure(const QString& message);
    QString columnWidthsKey() const;
    // Stored geometry was restored, or the dialog has been on screen.
    bool hasPlace() const;

    std::unique_ptr<Ui::DeviceInfoDialog> ui;
    const DrlDevId id_;
    bool placed_ = false;  // stored geometry restored
};
