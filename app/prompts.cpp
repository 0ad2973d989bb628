#include "app/prompts.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QPrintDialog>
#include <QPrinter>

#include "app/capacitydialog.h"

namespace {
TPrompts* installed = nullptr;
}

TPrompts& TPrompts::current() {
    static QtPrompts qtPrompts;
    return installed ? *installed : qtPrompts;
}

void TPrompts::install(TPrompts* prompts) {
    installed = prompts;
}

void QtPrompts::failure(QWidget* parent, const QString& title, const QString& text) {
    QMessageBox::critical(parent, title, text, QMessageBox::Ok);
}

bool QtPrompts::confirm(QWidget* parent, const QString& title, const QString& text) {
    return QMessageBox::question(parent, title, text, QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}

int QtPrompts::chooseCapacity(QWidget* parent) {
    CapacityDialog dialog(parent);
    if (dialog.exec() != QDialog::Accepted) {
        return -1;
    }
    return dialog.chosenMode();
}

QString QtPrompts::saveFileName(QWidget* parent, const QString& caption, const QString& filter) {
    return QFileDialog::getSaveFileName(parent, caption, QString(), filter);
}

bool QtPrompts::runPrintDialog(QWidget* parent, QPrinter& printer, const QString& title) {
    QPrintDialog dialog(&printer, parent);
    dialog.setWindowTitle(title);
    return dialog.exec() == QDialog::Accepted;
}
