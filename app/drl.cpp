#include "app/drl.h"

#include <QApplication>
#include <QCloseEvent>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QPalette>
#include <QPixmap>
#include <QStatusBar>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QToolButton>
#include <algorithm>
#include <exception>
#include <mutex>
#include <thread>

#include "app/aboutdialog.h"
#include "app/desktopnotifier.h"
#include "app/guitexts.h"
#include "app/prompts.h"
#include "dcp/texts.h"
#include "dialogs/deviceinfodialog.h"
#include "dialogs/historyrecorder.h"
#include "resources/pictures.h"
#include "settings/intlist.h"
#include "settings/kvstore.h"
#include "ui_drl.h"

namespace {

const char* const kWindowName = "main_window";
const char* const kWidthsGroup = "main_window/tbv_devs";
const char* const kCloseToTrayKey = "close_to_tray";
const QList<int> kDefaultWidths = {192, 150, 113, 250};

enum Column { ColPicture = 0, ColIdentity = 1, ColConfiguration = 2, ColStatus = 3 };

// Payload text fields are bytes shown as Latin-1; the cells render rich text.
QString deviceText(const std::string& field) {
    return QString::fromLatin1(field.data(), qsizetype(field.size())).toHtmlEscaped();
}

std::unique_ptr<DcpRespInfo> cachedInfo(DrlDevId id) {
    return std::unique_ptr<DcpRespInfo>(StorageManager::instance()->deviceInfo(id, false));
}

bool raisesWarning(const DcpRespInfo& info) {
    // diskTooLarge alone shows its line without the icon.
    return info.capacity != info.osCapacity || info.driveFailureLikely || info.cacheDisabled;
}

// Whether a command may start on the device now, from its own state: a busy device goes on
// to the command, which says why it cannot start.
bool mayStart(DrlDevId id, bool DcpRespInfo::*allowed) {
    if (id == DrlDevId(-1))
        return false;
    if (StorageManager::instance()->isDeviceBusy(id))
        return true;
    const std::unique_ptr<DcpRespInfo> info = cachedInfo(id);
    return info && (*info).*allowed;
}

}  // namespace

struct DRL::RetryMailbox {
    std::mutex mutex;
    DRL* window = nullptr;
};

DRL::DRL(QWidget* parent, Qt::WindowFlags flags)
    : TSingleInstanceWindow(parent, flags), ui(std::make_unique<Ui::DRL>()) {
    ui->setupUi(this);
    StorageManager* adapter = StorageManager::instance();

    connect(ui->a_exit, &QAction::triggered, this, &DRL::exit_clicked);
    connect(ui->a_init_raid, &QAction::triggered, this, &DRL::init_device_clicked);
    connect(ui->a_rebuild_raid, &QAction::triggered, this, &DRL::rebuild_device_clicked);
    connect(ui->a_dev_info, &QAction::triggered, this, &DRL::device_info_clicked);
    connect(ui->a_rescan_devices, &QAction::triggered, adapter, &StorageManager::rescanDevices);
    connect(ui->a_about, &QAction::triggered, this, &DRL::about_clicked);
    connect(ui->a_authorise, &QAction::triggered, this, &DRL::authorise_clicked);
    ui->a_exit->setShortcut(QKeySequence::Quit);
    ui->a_rescan_devices->setShortcut(QKeySequence::Refresh);
    ui->a_init_raid->setEnabled(false);
    ui->a_rebuild_raid->setEnabled(false);
    ui->a_dev_info->setEnabled(false);

    mailbox_ = std::make_shared<RetryMailbox>();
    mailbox_->window = this;
    platformStatus_ = new QLabel(this);
    platformStatus_->setObjectName(QStringLiteral("lb_platform_status"));
    // One line that gives way when the window narrows (the tooltip keeps the whole text):
    // a wrapped label in a status bar gets a guessed height and loses its second line.
    platformStatus_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    platformStatus_->setContentsMargins(4, 2, 4, 2);
    authoriseButton_ = new QToolButton(this);
    authoriseButton_->setObjectName(QStringLiteral("tb_authorise"));
    authoriseButton_->setDefaultAction(ui->a_authorise);
    ui->statusBar->addWidget(platformStatus_, 1);
    ui->statusBar->addPermanentWidget(authoriseButton_);
    connect(ui->statusBar, &QStatusBar::messageChanged, this, &DRL::updateStatusBar);

    ctxInit_ = new QAction(tr("Initialize RAID"), this);
    ctxRebuild_ = new QAction(tr("Rebuild RAID"), this);
    ctxInfo_ = new QAction(tr("Device Information"), this);
    connect(ctxInit_, &QAction::triggered, this, &DRL::init_device_clicked);
    connect(ctxRebuild_, &QAction::triggered, this, &DRL::rebuild_device_clicked);
    connect(ctxInfo_, &QAction::triggered, this, &DRL::device_info_clicked);

    TTableView* table = ui->tbv_devs;
    // The selection colour as a palette role of its own: the other roles go on following
    // the application's palette, also when it changes at run time. (A style sheet would pin
    // the whole palette the table was first polished with.)
    QPalette selection;
    selection.setColor(QPalette::Highlight, QColor(0x62, 0x9c, 0xff));
    table->setPalette(selection);
    table->setHeaders({QString(), tr("Device Information"), tr("Configuration"), tr("Status")});
    table->verticalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    // The first use of the settings store: it opens (or fails to open) its file here.
    // The last column stretches over what is left: a width given to it would pin it, and
    // the default widths would then not fit the default window without a scroll bar.
    table->setColumnWidths(
        corvane::loadIntList(QString::fromLatin1(kWidthsGroup), kDefaultWidths).mid(0, ColStatus));
    connect(table, &QAbstractItemView::doubleClicked, this, &DRL::tbv_devs_doubleClicked);
    connect(table, &QWidget::customContextMenuRequested, this,
            &DRL::tbv_devs_customContextMenuRequested);
    connect(table, &TTableView::itemSelectionChanged, this, &DRL::tbv_devs_itemSelectionChanged);
    connect(table, &TTableView::sortRowOrderChanged, this, &DRL::tbv_devs_sortRowOrderChanged);

    setWindowName(kWindowName);
    restoreWindowState();

    qRegisterMetaType<DcpRespProgress>("DcpRespProgress");
    connect(adapter, &StorageManager::deviceChange, this, &DRL::deviceChange);
    connect(adapter, &StorageManager::deviceListChange, this, &DRL::deviceListChange);
    connect(adapter, &StorageManager::deviceStatusChange, this, &DRL::deviceStatusChange);
    connect(adapter, &StorageManager::deviceInitializing, this, &DRL::deviceInitializing);
    // A session that ends the program without closing the window still keeps its layout.
    connect(qApp, &QCoreApplication::aboutToQuit, this, &DRL::saveSettingsOnce);

    notifier_ = new DesktopNotifier(this);
    connect(adapter, &StorageManager::deviceChange, notifier_,
            [this](DrlDevId id, const DcpRespInfo* info) {
                if (info)
                    notifier_->deviceInfo(id, *info);
            });
    connect(adapter, &StorageManager::deviceDriveChange, notifier_,
            [this](DrlDevId id, const DcpRespDriveInfo* drive) {
                if (drive)
                    notifier_->driveInfo(id, *drive);
            });
    connect(adapter, &StorageManager::deviceStatusChange, notifier_,
            [this](quint32 id, const DcpRespProgress& p) { notifier_->progress(id, p); });
    connect(adapter, &StorageManager::deviceListChange, notifier_,
            [this](const QMap<DrlDevId, DcpRespInfo*>& list) {
                notifier_->keepOnly(list.keys());
                for (auto it = list.cbegin(); it != list.cend(); ++it)
                    if (it.value())
                        notifier_->deviceInfo(it.key(), *it.value());
            });
    connect(
        notifier_, &DesktopNotifier::notShown, this,
        [this](const QString& summary, const QString& body) {
            // One round often brings several changes: the later must not hide the
            // earlier, and the device is named once for all of them.
            if (ui->statusBar->currentMessage() != unshownMessage_)
                unshown_.clear();
            unshown_.append({summary, body});
            while (unshown_.size() > kUnshownKept)
                unshown_.removeFirst();
            QStringList told;
            for (qsizetype i = 0; i < unshown_.size(); ++i) {
                const bool sameNext =
                    i + 1 < unshown_.size() && unshown_[i + 1].second == unshown_[i].second;
                told << (sameNext ? unshown_[i].first
                                  : tr("%1: %2").arg(unshown_[i].first, unshown_[i].second));
            }
            unshownMessage_ =
                tr("No desktop notification service answered. %1").arg(told.join(tr(" \u2022 ")));
            ui->statusBar->showMessage(unshownMessage_);
            ui->statusBar->setToolTip(unshownMessage_);  // where the bar cuts it
        });
    tray_ = new QSystemTrayIcon(this);
    tray_->setObjectName(QStringLiteral("tray"));
    auto* trayMenu = new QMenu(this);
    trayMenu->addAction(tr("Show Drivelore"), this, &DRL::showFromTray);
    trayMenu->addAction(ui->a_exit);
    tray_->setContextMenu(trayMenu);
    connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
        if (r == QSystemTrayIcon::Trigger || r == QSystemTrayIcon::DoubleClick)
            showFromTray();
    });
    connect(notifier_, &DesktopNotifier::worstLevelChanged, this, &DRL::updateTray);
    updateTray(0);
    if (QSystemTrayIcon::isSystemTrayAvailable())
        tray_->show();
    ui->a_close_to_tray->setChecked(
        corvane::settings().getBool(kWindowName, kCloseToTrayKey, false));
    connect(ui->a_close_to_tray, &QAction::toggled, this, &DRL::close_to_tray_toggled);

    new HistoryRecorder(adapter, HistoryRecorder::defaultPath(), this);  // while it runs
    adapter->startListening();
}

DRL::~DRL() {
    {
        std::lock_guard<std::mutex> lock(mailbox_->mutex);
        mailbox_->window = nullptr;
    }
    for (DrlDevId id : QList<DrlDevId>(rowDevices_))
        closeDeviceInfo(id);
    DeviceInfoDialog::destroyAll();
    StorageManager::destroyInstance();
    corvane::releaseSettings();
}

void DRL::closeWithoutQuestion() {
    askOnClose_ = false;
    quitting_ = true;
    close();
}

void DRL::exit_clicked() {
    quitting_ = true;
    if (!close())
        quitting_ = false;  // the user chose to stay
}

void DRL::close_to_tray_toggled(bool on) {
    corvane::settings().setBool(kWindowName, kCloseToTrayKey, on);
}

void DRL::updateTray(int worstLevel) {
    const QStyle::StandardPixmap icons[] = {QStyle::SP_MessageBoxInformation,
                                            QStyle::SP_MessageBoxWarning,
                                            QStyle::SP_MessageBoxCritical};
    const QString tips[] = {tr("Drivelore: every device is fine"),
                            tr("Drivelore: a device is degraded or has a warning"),
                            tr("Drivelore: a device has failed")};
    const int level = std::clamp(worstLevel, 0, 2);
    tray_->setIcon(style()->standardIcon(icons[level]));
    tray_->setToolTip(tips[level]);
}

void DRL::showFromTray() {
    QApplication::setQuitOnLastWindowClosed(true);
    showNormal();
    raise();
    activateWindow();
}

void DRL::closeEvent(QCloseEvent* event) {
    // Without a tray to come back from, closing quits whatever the setting says.
    if (!quitting_ && ui->a_close_to_tray->isChecked() && tray_->isVisible()) {
        // A device dialog closed meanwhile must not end the program.
        QApplication::setQuitOnLastWindowClosed(false);
        hide();
        event->ignore();
        return;
    }
    if (!QApplication::quitOnLastWindowClosed()) {
        // Closed from the tray (or by a signal) while hidden: no window closing ends the
        // program for us.
        QApplication::setQuitOnLastWindowClosed(true);
        if (!isVisible())
            QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    }
    if (askOnClose_ && StorageManager::instance()->hasTrackedOperations() &&
        !TPrompts::current().confirm(
            this, tr("Rebuild in Progress"),
            tr("A RAID rebuild is in progress, and will continue if you exit the Drivelore.  "
               "You should leave the rebuilding device powered ON so that the rebuild may "
               "proceed.\n\nExit the Drivelore?"))) {
        event->ignore();
        return;
    }
    TSingleInstanceWindow::closeEvent(event);
    saved_ = false;
    saveSettingsOnce();
    DeviceInfoDialog::closeAll();
    event->accept();
}

void DRL::saveSettingsOnce() {
    if (saved_)
        return;
    saved_ = true;
    saveWindowState();
    corvane::saveIntList(QString::fromLatin1(kWidthsGroup), ui->tbv_devs->columnWidths());
}

void DRL::restoreWindowState() {
    restoreWindowGeometry(this, std::string());
    const QByteArray state = loadWindowBytes(kWindowName, "windowState");
    if (!state.isEmpty())
        restoreState(state, 0);
}

void DRL::saveWindowState() {
    saveWindowGeometry(this);
    storeWindowBytes("windowState", saveState(0));
}

void DRL::setDeviceRow(int row, const DcpRespInfo& info) {
    TTableView* table = ui->tbv_devs;
    // An unknown model gives a null pixmap: an empty picture cell.
    table->setItem(row, ColPicture,
                   drlPixmap(QString::fromLatin1(info.model.data(), qsizetype(info.model.size())),
                             devicePixelRatioF()));
    table->setItem(row, ColIdentity,
                   tr("%1\n%2\nSerial#: %3")
                       .arg(deviceText(info.model), deviceText(info.productName),
                            deviceText(info.serialText)));
    table->setItem(row, ColConfiguration,
                   tr("%1\nDrive Count: %2\n%3")
                       .arg(dcpText(corvane::dcp::configurationText(info.configuration)))
                       .arg(info.driveCount)
                       .arg(sizeText(info.capacity)));

    const uint32_t status = info.raidStatus;
    QString text = tr("RAID %1").arg(dcpText(corvane::dcp::raidStatusText(status)));
    if (status == 2 || status == 4 || status == 5)
        text = boldRedText(text);
    const QChar br = QLatin1Char('\n');
    if (info.driveFailureLikely)
        text += br + boldRedText(tr("Drive Failure is Likely"));
    const bool capacityDiffers = info.capacity != info.osCapacity;
    if (capacityDiffers || info.diskTooLarge) {
        text += br + boldRedText(info.hostBus == corvane::dcp::Bus1394
                                     ? tr("Disk Too Large for Windows FireWire/1394 Drivers")
                                     : tr("OS Incompatibility Detected (Disk Too Large)"));
    }
    if (info.cacheDisabled)
        text += br + redText(tr("Performance Not Optimized (Cache Disabled)"));
    if (info.readyForRebuild)
        text += br + greenText(tr("Ready for Rebuild"));
    setStatusCell(row, raisesWarning(info), text);
}

void DRL::setStatusCell(int row, bool warning, const QString& text) {
    if (warning) {
        QIcon icon;
        icon.addPixmap(drlPixmap(QStringLiteral("warning"), 1.0));
        icon.addPixmap(drlPixmap(QStringLiteral("warning"), 2.0));
        ui->tbv_devs->setItem(row, ColStatus, icon, text);
    } else
        ui->tbv_devs->setItem(row, ColStatus, text);
}

int DRL::rowOf(DrlDevId id) const {
    return int(rowDevices_.indexOf(id));
}

DrlDevId DRL::selectedDevice() const {
    const QModelIndexList rows = ui->tbv_devs->selectedRows();
    if (rows.isEmpty())
        return DrlDevId(-1);
    const int row = rows.first().row();
    return row >= 0 && row < rowDevices_.size() ? rowDevices_.at(row) : DrlDevId(-1);
}

void DRL::updateActions() {
    if (!ui->tbv_devs->hasSelection()) {
        ui->a_init_raid->setEnabled(false);
        ui->a_rebuild_raid->setEnabled(false);
        ui->a_dev_info->setEnabled(false);
        return;
    }
    StorageManager* adapter = StorageManager::instance();
    const DrlDevId id = selectedDevice();
    const bool busy = adapter->isDeviceBusy(id);
    const std::unique_ptr<DcpRespInfo> info = cachedInfo(id);
    ui->a_init_raid->setEnabled(!busy && info && info->canInitialize);
    ui->a_rebuild_raid->setEnabled(!busy && info && info->readyForRebuild);
    ui->a_dev_info->setEnabled(true);
}

void DRL::deviceChange(DrlDevId id, const DcpRespInfo* pInfo) {
    const int row = rowOf(id);
    if (row >= 0 && pInfo)
        setDeviceRow(row, *pInfo);
}

void DRL::deviceListChange(const QMap<DrlDevId, DcpRespInfo*>& list) {
    StorageManager* adapter = StorageManager::instance();
    TTableView* table = ui->tbv_devs;
    const DrlDevId selected = selectedDevice();
    for (DrlDevId id : QList<DrlDevId>(rowDevices_))
        if (!list.contains(id))
            closeDeviceInfo(id);
    rowDevices_ = list.keys();
    table->clearAllRows();
    int row = 0;
    for (auto it = list.cbegin(); it != list.cend(); ++it, ++row) {
        if (!it.value())
            continue;
        setDeviceRow(row, *it.value());
        if (adapter->isDeviceInitializing(it.key()))
            table->setItem(row, ColStatus, tr("Initializing... Please wait."));
        else if (!adapter->isDeviceAnswering(it.key()))
            setStatusCell(row, true,
                          table->itemText(row, ColStatus) + QLatin1Char('\n') +
                              boldRedText(tr("Device Not Answering")));
    }
    for (DrlDevId id : rowDevices_)
        DeviceInfoDialog::ensure(id);
    // The header still shows its sort, and the user's device stays selected.
    table->sort();
    if (rowOf(selected) >= 0)
        table->selectRow(rowOf(selected));
    updateActions();
}

void DRL::deviceInitializing(DrlDevId id) {
    const int row = rowOf(id);
    if (row < 0)
        return;
    ui->tbv_devs->setItem(row, ColStatus, tr("Initializing... Please wait."));
    if (selectedDevice() == id)
        updateActions();
}

void DRL::deviceStatusChange(quint32 id, const DcpRespProgress& prog) {
    if (prog.phase == corvane::dcp::PhaseDiskTooSmall) {
        TPrompts::current().failure(
            this, tr("Could Not Start Rebuild"),
            tr("The RAID rebuild was aborted, because the new drive is too small."));
        return;
    }
    const int row = rowOf(id);
    if (row < 0)
        return;
    TTableView* table = ui->tbv_devs;
    if (prog.phase == corvane::dcp::PhaseProgressing) {
        QString text = operationWaitText(prog.operation);
        if (const std::optional<quint32> left = StorageManager::instance()->secondsLeft(id))
            text += QLatin1Char('\n') + timeLeftText(*left);
        table->setItem(row, ColStatus, qint32(prog.percent), 10000, text);
        return;
    }
    QString text = operationName(prog.operation) + QLatin1Char(' ') + phaseText(prog.phase);
    if (prog.phase == corvane::dcp::PhasePreparing) {
        table->setItem(row, ColStatus, text);
        return;
    }
    const std::unique_ptr<DcpRespInfo> info = cachedInfo(id);
    if (!info) {
        table->setItem(row, ColStatus, text);
    } else {
        setDeviceRow(row, *info);
        text += QLatin1Char('\n') + table->itemText(row, ColStatus);
        setStatusCell(row, raisesWarning(*info), text);
    }
    if (selectedDevice() == id)
        updateActions();
}

void DRL::tbv_devs_itemSelectionChanged() {
    updateActions();
}

void DRL::tbv_devs_sortRowOrderChanged(const QList<int>& order) {
    // The model moves no selection: it stays on the row number unless it is moved here.
    const DrlDevId selected = selectedDevice();
    QList<DrlDevId> sorted;
    sorted.reserve(order.size());
    for (int old : order)
        if (old >= 0 && old < rowDevices_.size())
            sorted.append(rowDevices_.at(old));
    // A permutation that does not cover every row would lose devices: keep the old list.
    if (sorted.size() == rowDevices_.size())
        rowDevices_ = sorted;
    const int row = rowOf(selected);
    if (row < 0)
        return;
    if (ui->tbv_devs->selectedRows().first().row() != row)
        ui->tbv_devs->selectRow(row);
    else
        updateActions();
}

void DRL::tbv_devs_doubleClicked(const QModelIndex& index) {
    const int row = index.row();
    if (row >= 0 && row < rowDevices_.size())
        showDeviceInfo(rowDevices_.at(row));
}

void DRL::tbv_devs_customContextMenuRequested(const QPoint& pos) {
    TTableView* table = ui->tbv_devs;
    if (!table->hasSelection())
        return;
    StorageManager* adapter = StorageManager::instance();
    const bool busy = adapter->isDeviceBusy(selectedDevice());
    const int row = table->indexAt(pos).row();
    const DrlDevId under =
        row >= 0 && row < rowDevices_.size() ? rowDevices_.at(row) : DrlDevId(-1);
    const std::unique_ptr<DcpRespInfo> info = cachedInfo(under);
    ctxInit_->setEnabled(!busy && info && info->canInitialize);
    ctxRebuild_->setEnabled(!busy && info && info->readyForRebuild);
    ctxInfo_->setEnabled(true);
    QMenu menu(this);
    menu.addAction(ctxInit_);
    menu.addAction(ctxRebuild_);
    menu.addAction(ctxInfo_);
    menu.exec(table->viewport()->mapToGlobal(pos));
}

void DRL::init_device_clicked() {
    const DrlDevId id = selectedDevice();
    if (mayStart(id, &DcpRespInfo::canInitialize))
        StorageManager::instance()->initDevice(this, id);
    updateActions();
}

void DRL::rebuild_device_clicked() {
    const DrlDevId id = selectedDevice();
    if (mayStart(id, &DcpRespInfo::readyForRebuild))
        StorageManager::instance()->rebuildDevice(this, id);
    updateActions();
}

void DRL::device_info_clicked() {
    showDeviceInfo(selectedDevice());
}

void DRL::about_clicked() {
    (new AboutDialog(aboutPixmap(), this))->show();
}

void DRL::setPlatformAccess(const PlatformAccess& access) {
    retry_ = access.retry;
    showPlatformStart(access.start);
}

void DRL::showPlatformStart(const corvane::io::HelperStart& start) {
    using corvane::io::HelperStatus;
    QString reason;
    switch (start.status) {
        case HelperStatus::Connected:
            break;
        case HelperStatus::HelperMissing:
            reason = tr("drivelore-helper is not installed.");
            break;
        case HelperStatus::PkexecMissing:
            reason = tr("The pkexec program is not installed.");
            break;
        case HelperStatus::Dismissed:
            reason = tr("The authorisation dialog was closed.");
            break;
        case HelperStatus::NotAuthorised:
            reason = tr("Authorisation was refused.");
            break;
        case HelperStatus::Failed:
            reason = tr("drivelore-helper did not start.");
            break;
    }
    const bool failed = !start.ok();
    platformStatus_->setText(failed ? tr("Devices cannot be reached without authorisation.") +
                                          QLatin1Char(' ') + reason
                                    : QString());
    platformStatus_->setToolTip(failed ? platformStatus_->text() + QLatin1Char('\n') +
                                             QString::fromStdString(start.detail)
                                       : QString());
    ui->a_authorise->setVisible(failed && retry_);
    ui->a_authorise->setEnabled(failed && retry_ && !retrying_);
    updateStatusBar();
}

void DRL::updateStatusBar() {
    // An empty bar would only be a strip under the table; a long message the bar cuts is
    // read whole on hovering.
    ui->statusBar->setToolTip(ui->statusBar->currentMessage());
    ui->statusBar->setVisible(!ui->statusBar->currentMessage().isEmpty() ||
                              !platformStatus_->text().isEmpty());
}

void DRL::authorise_clicked() {
    // The action is disabled meanwhile; a queued trigger must not start a second dialog.
    if (retrying_ || !retry_)
        return;
    retrying_ = true;
    ui->a_authorise->setEnabled(false);
    platformStatus_->setText(tr("Waiting for authorisation..."));
    std::thread([retry = retry_, mailbox = mailbox_] {
        corvane::io::HelperStart start;
        try {
            start = retry();
        } catch (const std::exception& e) {
            start = {corvane::io::HelperStatus::Failed, e.what()};
        } catch (...) {
            start = {corvane::io::HelperStatus::Failed, "unknown error"};
        }
        std::lock_guard<std::mutex> lock(mailbox->mutex);
        if (DRL* window = mailbox->window)
            QMetaObject::invokeMethod(
                window, [window, start] { window->authorisationAnswered(start); },
                Qt::QueuedConnection);
    }).detach();
}

void DRL::authorisationAnswered(const corvane::io::HelperStart& start) {
    retrying_ = false;
    showPlatformStart(start);
    if (start.ok())
        StorageManager::instance()->rescanDevices();
}

void DRL::showDeviceInfo(DrlDevId id) {
    // No dialog for "no device": a menu action can outlive the selection by an event.
    if (id != DrlDevId(-1))
        DeviceInfoDialog::showFor(id, this);
}

void DRL::closeDeviceInfo(DrlDevId id) {
    DeviceInfoDialog::destroyFor(id);
}
