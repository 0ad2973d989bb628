#include "dialogs/reportview.h"

#include <QImage>

namespace {

class ReportDocument : public QTextDocument {
public:
    using QTextDocument::QTextDocument;

protected:
    QVariant loadResource(int type, const QUrl&) override {
        return ReportView::placeholderResource(type);
    }
};

}  // namespace

ReportView::ReportView(QWidget* parent) : QTextEdit(parent) {}

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
