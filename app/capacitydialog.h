#pragma once

#include <QDialog>
#include <memory>

namespace Ui {
class CapacityDialog;
}

// Asks how to limit the capacity of a RAID set larger than 2.2 TB: a warning and the three
// choices in a non-editable list, the first one preselected.
class CapacityDialog : public QDialog {
    Q_OBJECT

public:
    explicit CapacityDialog(QWidget* parent = nullptr);
    ~CapacityDialog() override;

    QString chosenText() const;
    // The capacityMode whose text equals the chosen one; -1 when none does.
    int chosenMode() const;

private:
    std::unique_ptr<Ui::CapacityDialog> ui;
};
