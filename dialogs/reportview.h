#pragma once

#include <QTextDocument>
#include <QTextEdit>

// The status report is device HTML: nothing it names may be fetched or read. Images get a
// transparent dot, everything else an empty text, so the text engine never opens a file
// itself (a null answer would let it read local paths, FIFOs included).
class ReportView : public QTextEdit {
    Q_OBJECT

public:
    explicit ReportView(QWidget* parent = nullptr);

    // A document for printing the report, with the same rule.
    static QTextDocument* makePrintDocument(QObject* parent = nullptr);

    static QVariant placeholderResource(int type);

protected:
    QVariant loadResource(int type, const QUrl& name) override;
};
