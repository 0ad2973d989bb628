#pragma once

#include <QString>
#include <QTextDocument>
#include <QTextEdit>

class QShowEvent;

// The status report is device HTML: nothing it names may be fetched or read. It reaches
// the text engine only as the bounded subset of reportsanitizer.h, and only once the view
// is on screen, so that hidden dialogs cost no layout. Images get a transparent dot,
// everything else an empty text, so the text engine never opens a file itself (a null
// answer would let it read local paths, FIFOs included).
class ReportView : public QTextEdit {
    Q_OBJECT

public:
    explicit ReportView(QWidget* parent = nullptr);

    // Replaces the report with device HTML, keeping the scroll position; laid out now
    // when the view is visible, else when it is shown.
    void setReport(const QString& deviceHtml);
    // The report as shown (or as it will be), for copy, export and print.
    QString reportHtml();
    QString reportText();

    // A document for printing the report, with the same rule.
    static QTextDocument* makePrintDocument(QObject* parent = nullptr);

    static QVariant placeholderResource(int type);

protected:
    QVariant loadResource(int type, const QUrl& name) override;
    void showEvent(QShowEvent* event) override;

private:
    void applyPending();

    QString pending_;
    bool hasPending_ = false;
};
