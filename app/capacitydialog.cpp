#include "app/capacitydialog.h"

#include "app/guitexts.h"
#include "dcp/texts.h"
#include "ui_capacitydialog.h"

namespace {
constexpr int kCapacityModes = 3;
}

CapacityDialog::CapacityDialog(QWidget* parent)
    : QDialog(parent, Qt::Dialog), ui(std::make_unique<Ui::CapacityDialog>()) {
    ui->setupUi(this);
    for (int mode = 0; mode < kCapacityModes; ++mode) {
        ui->cmb_capacity->addItem(dcpText(corvane::dcp::capacityModeText(uint32_t(mode))));
    }
    ui->cmb_capacity->setCurrentIndex(0);
}

CapacityDialog::~CapacityDialog() = default;

QString CapacityDialog::chosenText() const {
    return ui->cmb_capacity->currentText();
}

int CapacityDialog::chosenMode() const {
    const QString chosen = chosenText();
    for (int mode = 0; mode < kCapacityModes; ++mode) {
        if (chosen == dcpText(corvane::dcp::capacityModeText(uint32_t(mode)))) {
            return mode;
        }
    }
    return -1;
}
