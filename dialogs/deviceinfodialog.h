#pragma once

#include <QColor>
#include <QDialog>
#include <QList>
#include <QMap>
#include <QString>
#include <functional>
#include <memory>

#include "app/storagemanager.h"
#include "dialogs/smartwindow.h"

class QCloseEvent;
class QEvent;
class QPrinter;
class QShowEvent;
class HistoryView;

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
    // Filled from what the adapter already knows; not shown. The dialog enters the
    // registry. It asks its device (on the worker) only when it is shown.
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
    // Safe while a prompt of the dialog is open: the prompt ends, and the dialog goes as
    // soon as the call that opened it returns.
    static void destroyFor(DrlDevId id);
    // close() on every registered dialog: each hides and saves its settings.
    static void closeAll();
    // Deletes every registered dialog (main window destructor, tests).
    static void destroyAll();
    static QList<DrlDevId> registeredDevices();

    // Replaces the report with device HTML (Latin-1), reduced to what is safe to lay out;
    // keeps the scroll position.
    void setStatusReport(const QString& html);

    // Showing a hidden dialog asks its device for the drives and the report.
    void setVisible(bool visible) override;

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
    void showEvent(QShowEvent* event) override;
    // Esc goes through close() too, so that the settings are saved.
    void reject() override;
    // A new palette gets a new shade of red for the status label.
    void changeEvent(QEvent* event) override;

private:
    void updateDeviceInfo(const DcpRespInfo& info);
    void showRaidStatus();
    // The background the style paints under the configuration page's labels.
    QColor pageColor() const;
    // Asks each drive on the worker; each row fills when its drive answers.
    void fillDrives(quint32 count);
    void fetchDetails();
    void updateDriveRow(int row, const DcpRespDriveInfo& drive);
    void printDocument(const QString& title, const QString& text, bool isHtml);
    void showFailure(const QString& message);
    // Runs a prompt over the dialog; false when the dialog was removed meanwhile, and the
    // caller must then return without touching it.
    bool prompt(const std::function<void()>& ask);
    // Deletes the dialog now, or, while a prompt of it runs, ends its open modals and
    // leaves the deletion to prompt().
    void dispose();
    // The bar from what the adapter knows now: shown only while it follows an operation
    // of this device whose last report was progress.
    void followProgress();
    QString columnWidthsKey() const;
    QList<int> defaultWidths() const;
    // Stored geometry was restored, or the dialog has been on screen.
    bool hasPlace() const;

    std::unique_ptr<Ui::DeviceInfoDialog> ui;
    HistoryView* history_ = nullptr;
    const DrlDevId id_;
    bool placed_ = false;         // stored geometry restored
    bool drivesAwaited_ = false;  // shown without information: fill on its arrival
    int prompting_ = 0;           // prompts of this dialog open now, nested
    bool removed_ = false;
    quint32 lastPhase_ = 0;
    quint32 lastPercent_ = 0;
    QString raidStatus_;      // the status label's words
    bool raidAlarm_ = false;  // shown in bold red
};
