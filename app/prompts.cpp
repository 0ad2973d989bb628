#include "app/prompts.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QPointer>
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

// Every box and dialog lives on the heap behind a guard, never on this stack: a parent
// deleted while it is open deletes it too, and exec() then returns as rejected.

void QtPrompts::failure(QWidget* parent, const QString& title, const QString& text) {
    QPointer<QMessageBox> box =
        new QMessageBox(QMessageBox::Critical, title, text, QMessageBox::Ok, parent);
    box->exec();
    delete box;
}

bool QtPrompts::confirm(QWidget* parent, const QString& title, const QString& text) {
    QPointer<QMessageBox> box = new QMessageBox(QMessageBox::Question, title, text,
                                                QMessageBox::Yes | QMessageBox::No, parent);
    box->setDefaultButton(QMessageBox::No);
    const bool yes = box->exec() == QMessageBox::Yes && box;
    delete box;
    return yes;
}

int QtPrompts::chooseCapacity(QWidget* parent) {
    QPointer<CapacityDialog> dialog = new CapacityDialog(parent);
    const int mode = dialog->exec() == QDialog::Accepted && dialog ? dialog->chosenMode() : -1;
    delete dialog;
    return mode;
}

QString QtPrompts::saveFileName(QWidget* parent, const QString& caption, const QString& filter) {
    QPointer<QFileDialog> dialog = new QFileDialog(parent, caption, QString(), filter);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    const QString chosen = dialog->exec() == QDialog::Accepted && dialog
                               ? dialog->selectedFiles().value(0)
                               : QString();
    delete dialog;
    return chosen;
}

bool QtPrompts::runPrintDialog(QWidget* parent, QPrinter& printer, const QString& title) {
    QPointer<QPrintDialog> dialog = new QPrintDialog(&printer, parent);
    dialog->setWindowTitle(title);
    const bool accepted = dialog->exec() == QDialog::Accepted && dialog;
    delete dialog;
    return accepted;
}
