#include "app/aboutdialog.h"

#include <QApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPalette>

#include "drl_version.h"

namespace {
const char* const kVersion = DRL_VERSION;
const QPoint kVersionAt(34, 417);
}  // namespace

QPixmap drawTextOnPixmap(const QPixmap& source, const QString& text, const QPoint& position,
                         const QFont& font, const QColor& colour) {
    if (source.isNull()) {
        return QPixmap();  // nothing to paint on; a painter on it would only warn
    }
    QPixmap result(source.size());
    result.setDevicePixelRatio(source.devicePixelRatio());
    QPainter painter(&result);
    painter.setRenderHint(QPainter::TextAntialiasing, true);
    painter.fillRect(QRect(QPoint(0, 0), source.deviceIndependentSize().toSize()),
                     QApplication::palette().brush(QPalette::Window));
    painter.drawPixmap(0, 0, source);
    painter.setFont(font);
    painter.setPen(colour);
    painter.drawText(position, text);
    painter.end();
    return result;
}

QPixmap aboutPixmap(qreal devicePixelRatio) {
    QPixmap splash;
    if (devicePixelRatio > 1.0) {
        splash = QPixmap(QStringLiteral(":/splash_screen@2x"));
        splash.setDevicePixelRatio(2.0);
    }
    if (splash.isNull()) {
        splash = QPixmap(QStringLiteral(":/splash_screen"));
    }
    QFont font(QStringLiteral("Helvetica"), 8, QFont::Normal, false);
    font.setStyleStrategy(QFont::PreferAntialias);
    return drawTextOnPixmap(splash, AboutDialog::tr("Version %1").arg(QLatin1String(kVersion)),
                            kVersionAt, font, Qt::white);
}

AboutDialog::AboutDialog(const QPixmap& pixmap, QWidget* parent) : QDialog(parent, Qt::Popup) {
    setAttribute(Qt::WA_DeleteOnClose);
    auto* label = new QLabel(this);
    label->setObjectName(QStringLiteral("lb_picture"));
    label->setPixmap(pixmap);
    label->setAccessibleName(tr("About Drivelore"));
    const QSize size = pixmap.deviceIndependentSize().toSize();
    label->resize(size);
    resize(size);
}

AboutDialog::~AboutDialog() = default;

void AboutDialog::mousePressEvent(QMouseEvent* event) {
    QWidget::mousePressEvent(event);
    close();
}
