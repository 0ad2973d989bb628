#pragma once

#include <QWidget>
#include <memory>

namespace Ui {
class EmulatorPanel;
}

namespace corvane::demo {

class DemoRig;

// The demo's small control window beside the main window: what a person would do to the
// hardware, so that every path of the program can be walked without it.
class EmulatorPanel : public QWidget {
    Q_OBJECT

public:
    EmulatorPanel(DemoRig& rig, unsigned speed, QWidget* parent = nullptr);
    ~EmulatorPanel() override;

private slots:
    void on_btn_plug_clicked();
    void on_btn_unplug_clicked();
    void on_btn_pull_clicked();
    void on_btn_fail_clicked();
    void on_btn_replace_clicked();
    void on_chk_ignore_clicked(bool checked);

private:
    // The disk of the selected list entry, or -1.
    int selectedDisk() const;
    void refresh();
    void refreshTexts();
    void updateButtons();

    std::unique_ptr<Ui::EmulatorPanel> ui;
    DemoRig& rig_;
};

}  // namespace corvane::demo
