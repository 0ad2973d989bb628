#include "dialogs/deviceinfodialog.h"

#include <QCloseEvent>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QHash>
#include <QHeaderView>
#include <QIcon>
#include <QImage>
#include <QPainter>
#include <QPointer>
#include <QProgressBar>
#include <QShowEvent>
#include <QStringList>
#include <QStyle>
#include <QStyleOptionTabWidgetFrame>
#include <algorithm>
#include <utility>

#include "app/guitexts.h"
#include "dcp/texts.h"
#include "dialogs/historyview.h"
#include "settings/intlist.h"
#include "ui_deviceinfodialog.h"
#include "widgets/tcontrast.h"

using namespace corvane;

namespace {

QHash<QString, DeviceInfoDialog*>& registry() {
    static QHash<QString, DeviceInfoDialog*> dialogs;
    return dialogs;
}

// Floors of the default widths; the Status column stretches over what is left.
const QList<int> kDefaultWidths = {125, 125, 125, 173};

// Device fields are bytes as sent; they are shown as Latin-1.
QString latin1(const std::string& text) {
    return QString::fromLatin1(text.data(), qsizetype(text.size()));
}

// Drive cells are painted as rich text: device text in them must stay text.
QString cellText(const std::string& text) {
    return latin1(text).toHtmlEscaped();
}

// Both renderings, so that a screen of ratio 2 gets the sharp one.
QIcon warningIcon() {
    static const QIcon icon = [] {
        QIcon i;
        i.addFile(QStringLiteral(":/warning"));
        i.addFile(QStringLiteral(":/warning@2x"));
        return i;
    }();
    return icon;
}

QString byteText(uint64_t bytes) {
    char grouped[128] = {};
    formatGrouped(grouped, sizeof grouped, bytes, '_');
    return DeviceInfoDialog::tr("%1 bytes").arg(QString::fromLatin1(grouped));
}

}  // namespace

DeviceInfoDialog::DeviceInfoDialog(DrlDevId id, QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui::DeviceInfoDialog>()), id_(id) {
    ui->setupUi(this);
    history_ = new HistoryView(ui->tabWidget);
    ui->tabWidget->addTab(history_, tr("History"));
    // Courier New is rarely installed on Linux; the hint still picks a monospace face.
    QFont reportFont = ui->txe_status->font();
    reportFont.setStyleHint(QFont::Monospace);
    ui->txe_status->setFont(reportFont);

    ui->pb_progress->hide();
    ui->lb_time_left->hide();
    ui->tbv_drive->setEmptyText(tr("(No Drives Found.)"));
    ui->tbv_drive->setHeaders(
        {tr(" Model / Serial #"), tr("RAID Set ID"), tr("Capacity"), tr("Status")});
    ui->tbv_drive->setRowsResizeToContents();
    ui->tbv_drive->setColumnWidths(loadIntList(columnWidthsKey(), defaultWidths()));

    // A hidden dialog costs no exchange: drives and report are asked when it is shown.
    StorageManager* manager = StorageManager::instance();
    if (const std::unique_ptr<DcpRespInfo> info{manager->cachedInfo(id_)}) {
        updateDeviceInfo(*info);
    }

    registry().insert(settingsName(id_), this);

    const std::string name = settingsName(id_).toStdString();
    setWindowName(name);
    placed_ = restoreWindowGeometry(this, id_ != 0 ? name : std::string());

    qRegisterMetaType<DcpRespProgress>("DcpRespProgress");
    connect(manager, &StorageManager::deviceChange, this, &DeviceInfoDialog::deviceChange);
    connect(manager, &StorageManager::deviceDriveChange, this,
            &DeviceInfoDialog::deviceDriveChange);
    connect(manager, &StorageManager::deviceTextChange, this, &DeviceInfoDialog::deviceTextChange);
    connect(manager, &StorageManager::deviceListChange, this, &DeviceInfoDialog::deviceListChange);
    connect(manager, &StorageManager::deviceStatusChange, this,
            &DeviceInfoDialog::deviceStatusChange);
    connect(ui->a_copy, &QAction::triggered, this, &DeviceInfoDialog::on_btn_copy_clicked);
}

DeviceInfoDialog::~DeviceInfoDialog() {
    auto it = registry().find(settingsName(id_));
    if (it != registry().end() && it.value() == this) {
        registry().erase(it);
    }
}

DrlDevId DeviceInfoDialog::deviceId() const {
    return id_;
}

QString DeviceInfoDialog::settingsName(DrlDevId id) {
    return QStringLiteral("device_info_dlg_%1").arg(id);
}

QList<int> DeviceInfoDialog::defaultWidths() const {
    // Wide enough, in the table's own font, for the longest a column is expected to show:
    // a set id of the usual form, the byte count of a drive up to 99 TB. A member's
    // state after its id may be cut rather than the drive's counters under Status.
    const QFontMetrics metrics(ui->tbv_drive->font());
    const QStringList longest = {QString(), QStringLiteral("CVN-R5-00000000"),
                                 byteText(99'999'999'999'999ull), QString()};
    QList<int> widths = kDefaultWidths;
    for (int i = 0; i < widths.size(); ++i) {
        // The delegate's 4 pixels each side, the grid line, and a little for rounding.
        const int fitted = metrics.size(0, longest.at(i)).width() + 12;
        widths[i] =
            std::max({widths.at(i), fitted, ui->tbv_drive->horizontalHeader()->sectionSizeHint(i)});
    }
    return widths;
}

QString DeviceInfoDialog::columnWidthsKey() const {
    return settingsName(id_) + QStringLiteral("/tbv_drive");
}

DeviceInfoDialog* DeviceInfoDialog::find(DrlDevId id) {
    return registry().value(settingsName(id), nullptr);
}

DeviceInfoDialog* DeviceInfoDialog::ensure(DrlDevId id) {
    DeviceInfoDialog* dialog = find(id);
    return dialog ? dialog : new DeviceInfoDialog(id, nullptr);
}

DeviceInfoDialog* DeviceInfoDialog::showFor(DrlDevId id, QWidget* over) {
    DeviceInfoDialog* dialog = ensure(id);
    if (over && !dialog->hasPlace()) {
        // Without stored geometry the dialog opens centred over the window that asked.
        dialog->setParent(over, dialog->windowFlags());
    }
    dialog->show();
    dialog->raise();
    dialog->activateWindow();
    return dialog;
}

void DeviceInfoDialog::destroyFor(DrlDevId id) {
    DeviceInfoDialog* dialog = find(id);
    if (!dialog) {
        return;
    }
    dialog->close();
    registry().remove(settingsName(id));
    dialog->dispose();
}

void DeviceInfoDialog::dispose() {
    if (prompting_ == 0) {
        delete this;
        return;
    }
    // The prompt runs a nested event loop inside one of this dialog's calls: deleting the
    // dialog now would free the prompt, and the call would go on in a deleted object.
    removed_ = true;
    const QList<QDialog*> children = findChildren<QDialog*>();
    QList<QPointer<QDialog>> open(children.cbegin(), children.cend());
    // Innermost first: an outer loop returns only after the loops it runs.
    for (auto it = open.crbegin(); it != open.crend(); ++it) {
        if (*it && (*it)->isVisible()) {
            (*it)->reject();
        }
    }
}

bool DeviceInfoDialog::prompt(const std::function<void()>& ask) {
    ++prompting_;
    ask();
    --prompting_;
    if (!removed_) {
        return true;
    }
    if (prompting_ == 0) {
        deleteLater();  // after the caller returned
    }
    return false;
}

void DeviceInfoDialog::closeAll() {
    for (DeviceInfoDialog* dialog : registry()) {
        dialog->close();
    }
}

void DeviceInfoDialog::destroyAll() {
    const QHash<QString, DeviceInfoDialog*> all = std::exchange(registry(), {});
    for (DeviceInfoDialog* dialog : all) {
        dialog->dispose();
    }
}

QList<DrlDevId> DeviceInfoDialog::registeredDevices() {
    QList<DrlDevId> ids;
    for (const DeviceInfoDialog* dialog : registry()) {
        ids.append(dialog->id_);
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

void DeviceInfoDialog::updateDeviceInfo(const DcpRespInfo& info) {
    ui->lb_dev_model->setText(latin1(info.model));
    ui->lb_dev_serial->setText(latin1(info.serialText));
    // The key, not the bare serial: two devices that report one serial keep two histories.
    const QString key = StorageManager::instance()->deviceKey(id_);
    history_->setDevice(key.isEmpty() ? latin1(info.serialText) : key);
    ui->lb_dev_config->setText(dcpText(dcp::configurationText(info.configuration)));
    ui->lb_dev_capacity->setText(
        tr("%1 (%2)").arg(sizeText(info.capacity), byteText(info.capacity)));

    QString sysid = latin1(info.devicePath);
    if (!info.volumes.empty()) {
        QStringList volumes;
        for (const std::string& v : info.volumes) {
            volumes.append(latin1(v));
        }
        sysid += QStringLiteral(" (") + volumes.join(QStringLiteral(", ")) + QStringLiteral(")");
    }
    ui->lb_dev_sysid->setText(sysid);
    ui->lb_dev_fwtime->setText(latin1(info.firmwareTime));
    ui->lb_dev_fwdate->setText(latin1(info.firmwareDate));

    raidStatus_ = tr("RAID %1").arg(dcpText(dcp::raidStatusText(info.raidStatus)));
    raidAlarm_ = info.raidStatus != dcp::RaidNormal;
    showRaidStatus();
    setWindowTitle(tr("Storage Device Information  Serial#: %1").arg(latin1(info.serialText)));
}

void DeviceInfoDialog::showRaidStatus() {
    const QString status = raidStatus_.toHtmlEscaped();
    if (!raidAlarm_) {
        ui->lb_dev_status->setText(status);
        return;
    }
    // A label paints its rich text itself: its red is chosen here, for the page under it.
    const QColor red = readableOn(QColor(Qt::red), pageColor());
    ui->lb_dev_status->setText(
        QStringLiteral("<b><font color=\"%1\">%2</font></b>").arg(red.name(), status));
}

QColor DeviceInfoDialog::pageColor() const {
    // Styles paint tab pages a shade off the window (Fusion's dark one much lighter): the
    // style itself says which, by painting a small page.
    QStyleOptionTabWidgetFrame frame;
    frame.initFrom(ui->tabWidget);
    frame.palette = palette();  // the children learn of a new palette after the dialog
    frame.rect = QRect(0, 0, 32, 32);
    QImage page(frame.rect.size(), QImage::Format_RGB32);
    page.fill(palette().color(QPalette::Window));
    QPainter painter(&page);
    style()->drawPrimitive(QStyle::PE_FrameTabWidget, &frame, &painter, ui->tabWidget);
    painter.end();
    return page.pixelColor(16, 16);
}

void DeviceInfoDialog::changeEvent(QEvent* event) {
    QDialog::changeEvent(event);
    if (event->type() == QEvent::PaletteChange)
        showRaidStatus();
}

void DeviceInfoDialog::fillDrives(quint32 count) {
    ui->tbv_drive->clearAllRows();
    StorageManager* manager = StorageManager::instance();
    for (quint32 i = 0; i < count; ++i) {
        manager->requestAsync(id_, dcp::DcpReqGetDriveInfo(i));
    }
}

void DeviceInfoDialog::fetchDetails() {
    StorageManager* manager = StorageManager::instance();
    if (const std::unique_ptr<DcpRespInfo> info{manager->cachedInfo(id_)}) {
        updateDeviceInfo(*info);
        fillDrives(info->driveCount);
    } else {
        drivesAwaited_ = manager->requestAsync(id_, dcp::DcpReqGetInfo());
    }
    manager->requestAsync(id_, dcp::DcpReqGetStatusText());
}

void DeviceInfoDialog::setVisible(bool visible) {
    const bool showing = visible && !isVisible();
    QDialog::setVisible(visible);
    if (showing) {
        fetchDetails();
    }
}

void DeviceInfoDialog::updateDriveRow(int row, const DcpRespDriveInfo& drive) {
    TTableView* table = ui->tbv_drive;
    if (!drive.present) {
        // Nothing of the drive that left stays beside the notice.
        table->setItem(row, 0, tr("(Not Present)"));
        for (int column = 1; column < 4; ++column) {
            table->setItem(row, column, QVariant());
        }
        return;
    }
    table->setItem(
        row, 0, QStringLiteral("%1\n%2").arg(cellText(drive.model), cellText(drive.serialNumber)));

    const QString setId = cellText(drive.raidSetId);
    QString member = setId;
    if (drive.memberState == dcp::MemberRebuilding) {
        member = tr("%1 (Rebuilding)").arg(setId);
    } else if (drive.memberState == dcp::MemberInactive) {
        member = tr("%1 (Inactive)").arg(setId);
    }
    table->setItem(row, 1, member);
    table->setItem(
        row, 2, QStringLiteral("%1\n%2").arg(sizeText(drive.capacity), byteText(drive.capacity)));

    const QString health = dcpText(dcp::healthText(drive.health));
    const QString temperature =
        drive.temperature == 0
            ? tr("Temperature: Unknown")
            : tr("Temperature: %1 C").arg(QString::number(drive.temperature / 10.0, 'g'));
    if (drive.health == dcp::HealthHealthy) {
        table->setItem(row, 3, tr("%1\n").arg(health) + temperature);
        return;
    }
    const QString counters = tr("%1\nScan Errors: %2\nBad Block remapped: %3\nCRC Errors: %4\n")
                                 .arg(health)
                                 .arg(drive.scanErrors)
                                 .arg(drive.badBlocksRemapped)
                                 .arg(drive.crcErrors);
    table->setItem(row, 3, warningIcon(), counters + temperature);
}

void DeviceInfoDialog::deviceChange(DrlDevId id, const DcpRespInfo* pInfo) {
    if (id == id_ && pInfo) {
        updateDeviceInfo(*pInfo);
        if (std::exchange(drivesAwaited_, false)) {
            fillDrives(pInfo->driveCount);
        }
    }
}

void DeviceInfoDialog::deviceDriveChange(DrlDevId id, const DcpRespDriveInfo* pInfo) {
    if (id == id_ && pInfo) {
        updateDriveRow(int(pInfo->driveIndex), *pInfo);
    }
}

void DeviceInfoDialog::deviceListChange(QMap<DrlDevId, DcpRespInfo*> list) {
    const auto it = list.constFind(id_);
    if (it == list.constEnd() || !it.value()) {
        close();  // the device is gone; the dialog stays registered, hidden
        return;
    }
    updateDeviceInfo(*it.value());
    if (isVisible()) {
        fillDrives(it.value()->driveCount);  // a hidden one asks when it is shown
    }
    followProgress();
}

void DeviceInfoDialog::deviceStatusChange(quint32 id, DcpRespProgress prog) {
    if (id != id_) {
        return;
    }
    const bool wasShowing = ui->pb_progress->isVisible();
    lastPhase_ = prog.phase;
    lastPercent_ = prog.percent;
    followProgress();
    if (wasShowing && prog.phase != dcp::PhaseProgressing) {
        if (const std::unique_ptr<DcpRespInfo> info{StorageManager::instance()->cachedInfo(id_)}) {
            updateDeviceInfo(*info);
            fillDrives(info->driveCount);
        }
    }
}

void DeviceInfoDialog::followProgress() {
    // The adapter's poll ends at a final report or when the device goes: a report missed
    // while the dialog was hidden leaves no bar behind.
    const bool running =
        lastPhase_ == dcp::PhaseProgressing && StorageManager::instance()->isDeviceBusy(id_);
    QProgressBar* bar = ui->pb_progress;
    // A device may send more than the whole; the bar ignores values out of its range.
    bar->setValue(int(std::min<quint32>(lastPercent_, quint32(bar->maximum()))));
    bar->setVisible(running);
    const std::optional<quint32> left =
        running ? StorageManager::instance()->secondsLeft(id_) : std::nullopt;
    ui->lb_time_left->setText(left ? timeLeftText(*left) : QString());
    ui->lb_time_left->setVisible(bool(left));
}

void DeviceInfoDialog::deviceTextChange(DrlDevId id, const DcpRespStatusText* pInfo) {
    if (id == id_ && pInfo) {
        setStatusReport(latin1(pInfo->text));
    }
}

void DeviceInfoDialog::closeEvent(QCloseEvent* event) {
    event->ignore();
    hide();
    // A dialog never on screen changed nothing worth a settings write (each one syncs the
    // file, on the GUI thread, for every device that leaves); and without stored geometry
    // its place would make the next one open in a corner instead of over the main window.
    if (!testAttribute(Qt::WA_WState_Created)) {
        return;
    }
    saveWindowGeometry(this);
    saveIntList(columnWidthsKey(), ui->tbv_drive->columnWidths());
}

void DeviceInfoDialog::showEvent(QShowEvent* event) {
    followProgress();
    QDialog::showEvent(event);
}

bool DeviceInfoDialog::hasPlace() const {
    return placed_ || testAttribute(Qt::WA_WState_Created);
}

void DeviceInfoDialog::reject() {
    close();
}
