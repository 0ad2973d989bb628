#include "dialogs/reportview.h"

#include <QAbstractTextDocumentLayout>
#include <QImage>
#include <QScrollBar>
#include <QStringList>
#include <utility>

#include "dialogs/reportsanitizer.h"

namespace {

class ReportDocument : public QTextDocument {
public:
    using QTextDocument::QTextDocument;

protected:
    QVariant loadResource(int type, const QUrl&) override {
        return ReportView::placeholderResource(type);
    }
};

// The program's own line above a report that lost something on the way in.
QString notice(unsigned cuts) {
    QStringList what;
    if (cuts & SanitizedReport::ActiveContent) {
        what << ReportView::tr("scripts and active content");
    }
    if (cuts & SanitizedReport::Pictures) {
        what << ReportView::tr("pictures");
    }
    if (cuts & SanitizedReport::Links) {
        what << ReportView::tr("links");
    }
    if (cuts & SanitizedReport::Nesting) {
        what << ReportView::tr("deeply nested parts");
    }
    if (cuts & SanitizedReport::Sizes) {
        what << ReportView::tr("sizes out of range");
    }
    if (cuts & SanitizedReport::Formatting) {
        what << ReportView::tr("unsupported formatting");
    }
    if (cuts & SanitizedReport::Length) {
        what << ReportView::tr("the end of an overlong report");
    }
    if (what.isEmpty()) {
        return QString();
    }
    const QString line = ReportView::tr("Part of the device's report was left out: %1.")
                             .arg(what.join(ReportView::tr(", ")));
    return QStringLiteral("<p><i>") + line.toHtmlEscaped() + QStringLiteral("</i></p>");
}

}  // namespace

ReportView::ReportView(QWidget* parent) : QTextEdit(parent) {}

void ReportView::setReport(const QString& deviceHtml) {
    const SanitizedReport report = sanitizeReport(deviceHtml);
    pending_ = report.withNotice(notice(report.cuts));
    hasPending_ = true;
    if (isVisible()) {
        applyPending();
    }
}

QString ReportView::reportHtml() {
    applyPending();
    // The text engine writes the title back unescaped: a title holding "</title>" would end
    // it early and let what follows out as markup in the exported file.
    QString html = toHtml();
    const QString title = document()->metaInformation(QTextDocument::DocumentTitle);
    const QString written = QStringLiteral("<title>") + title + QStringLiteral("</title>");
    if (const qsizetype at = html.indexOf(written); at >= 0) {
        html.replace(
            at, written.size(),
            QStringLiteral("<title>") + title.toHtmlEscaped() + QStringLiteral("</title>"));
    }
    return html;
}

QString ReportView::reportText() {
    applyPending();
    return toPlainText();
}

void ReportView::applyPending() {
    if (!hasPending_) {
        return;
    }
    hasPending_ = false;
    const int h = horizontalScrollBar()->value();
    const int v = verticalScrollBar()->value();
    setHtml(std::exchange(pending_, QString()));
    // Lay the whole document out now, so the scroll ranges already fit the new report.
    document()->documentLayout()->documentSize();
    horizontalScrollBar()->setValue(h);
    verticalScrollBar()->setValue(v);
}

void ReportView::showEvent(QShowEvent* event) {
    applyPending();
    QTextEdit::showEvent(event);
}

QTextDocument* ReportView::makePrintDocument(QObject* parent) {
    return new ReportDocument(parent);
}

QVariant ReportView::placeholderResource(int type) {
    if (type != QTextDocument::ImageResource) {
        return QString();
    }
    QImage dot(1, 1, QImage::Format_ARGB32);
    dot.fill(Qt::transparent);
    return dot;
}

QVariant ReportView::loadResource(int type, const QUrl&) {
    return placeholderResource(type);
}
