// The "Status Report" tab of the device information dialog: the device's own HTML, and
// copy, export and print of it.
#include <QClipboard>
#include <QFile>
#include <QGuiApplication>
#include <QPrinter>
#include <QTextDocument>
#include <memory>

#include "app/prompts.h"
#include "dialogs/deviceinfodialog.h"
#include "dialogs/reportview.h"
#include "ui_deviceinfodialog.h"

void DeviceInfoDialog::setStatusReport(const QString& html) {
    ui->txe_status->setReport(html);
}

void DeviceInfoDialog::on_btn_copy_clicked() {
    QGuiApplication::clipboard()->setText(ui->txe_status->reportText(), QClipboard::Clipboard);
}

void DeviceInfoDialog::on_btn_export_clicked() {
    QString fileName;
    if (!prompt([&] {
            fileName = TPrompts::current().saveFileName(this, tr("Export Status Report"),
                                                        tr("HTML files (*.htm)"));
        })) {
        return;
    }
    const QString html = ui->txe_status->reportHtml();
    if (fileName.isEmpty() || html.isEmpty()) {
        return;
    }
    QFile file(fileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        showFailure(tr("Could not open the export file!"));
        return;
    }
    const QByteArray bytes = html.toUtf8();
    // The bytes may only reach the disk at flush: a full disk shows there, not in write.
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        showFailure(tr("Could not write to the export file!"));
    }
    file.close();
}

void DeviceInfoDialog::on_btn_print_clicked() {
    printDocument(tr("Print Status Report"), ui->txe_status->reportHtml(), true);
}

void DeviceInfoDialog::printDocument(const QString& title, const QString& text, bool isHtml) {
    if (text.isEmpty()) {
        return;
    }
    QPrinter printer(QPrinter::ScreenResolution);
    bool accepted = false;
    if (!prompt([&] { accepted = TPrompts::current().runPrintDialog(this, printer, title); }) ||
        !accepted) {
        return;
    }
    std::unique_ptr<QTextDocument> document(ReportView::makePrintDocument());
    document->setDefaultFont(ui->txe_status->font());
    if (isHtml) {
        document->setHtml(text);
    } else {
        document->setPlainText(text);
    }
    document->print(&printer);
}

void DeviceInfoDialog::showFailure(const QString& message) {
    prompt([&] { TPrompts::current().failure(this, tr("Failure!"), message); });
}
