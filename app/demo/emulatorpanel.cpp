#include "app/demo/emulatorpanel.h"

#include "app/demo/demorig.h"
#include "ui_emulatorpanel.h"

#include <QTimer>

namespace corvane::demo {

EmulatorPanel::EmulatorPanel(DemoRig& rig, unsigned speed, QWidget* parent)
    : QWidget(parent, Qt::Window), ui(std::make_unique<Ui::EmulatorPanel>()), rig_(rig) {
    ui->setupUi(this);
    ui->lb_clock->setText(tr("Time runs %1 times faster than usual: a rebuild takes about "
                             "%2 seconds.")
                              .arg(speed)
                              .arg((190 + speed - 1) / speed));
    ui->cb_profile->addItems(DemoRig::allProfiles());
    connect(&rig_, &DemoRig::changed, this, &EmulatorPanel::refresh);
    connect(ui->lw_devices, &QListWidget::currentRowChanged, this, &EmulatorPanel::updateButtons);
    // A rebuild or an initialisation changes a device's state on its own.
    auto* follow = new QTimer(this);
    connect(follow, &QTimer::timeout, this, &EmulatorPanel::refreshTexts);
    follow->start(1000);
    refresh();
}

EmulatorPanel::~EmulatorPanel() = default;

int EmulatorPanel::selectedDisk() const {
    const QListWidgetItem* item = ui->lw_devices->currentItem();
    return item ? item->data(Qt::UserRole).toInt() : -1;
}

void EmulatorPanel::refresh() {
    const int keep = selectedDisk();
    ui->lw_devices->clear();
    for (unsigned disk : rig_.disks()) {
        auto* item = new QListWidgetItem(rig_.describe(disk), ui->lw_devices);
        item->setData(Qt::UserRole, int(disk));
        if (int(disk) == keep)
            ui->lw_devices->setCurrentItem(item);
    }
    if (!ui->lw_devices->currentItem() && ui->lw_devices->count() > 0)
        ui->lw_devices->setCurrentRow(0);
    updateButtons();
}

void EmulatorPanel::refreshTexts() {
    for (int i = 0; i < ui->lw_devices->count(); ++i) {
        QListWidgetItem* item = ui->lw_devices->item(i);
        item->setText(rig_.describe(unsigned(item->data(Qt::UserRole).toInt())));
    }
}

void EmulatorPanel::updateButtons() {
    const int disk = selectedDisk();
    const bool any = disk >= 0;
    ui->gb_device->setEnabled(any);
    ui->gb_drive->setEnabled(any);
    ui->chk_ignore->setChecked(any && rig_.ignoring(unsigned(disk)));
}

void EmulatorPanel::on_btn_plug_clicked() {
    rig_.plug(ui->cb_profile->currentText());
}

void EmulatorPanel::on_btn_unplug_clicked() {
    if (selectedDisk() >= 0)
        rig_.unplug(unsigned(selectedDisk()));
}

void EmulatorPanel::on_btn_pull_clicked() {
    if (selectedDisk() >= 0)
        rig_.pullDrive(unsigned(selectedDisk()), unsigned(ui->cb_bay->currentIndex()));
}

void EmulatorPanel::on_btn_fail_clicked() {
    if (selectedDisk() >= 0)
        rig_.failDrive(unsigned(selectedDisk()), unsigned(ui->cb_bay->currentIndex()));
}

void EmulatorPanel::on_btn_replace_clicked() {
    if (selectedDisk() >= 0)
        rig_.replaceDrive(unsigned(selectedDisk()), unsigned(ui->cb_bay->currentIndex()));
}

void EmulatorPanel::on_chk_ignore_clicked(bool checked) {
    if (selectedDisk() >= 0)
        rig_.setIgnoring(unsigned(selectedDisk()), checked);
}

}  // namespace corvane::demo
