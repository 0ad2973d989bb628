#pragma once

#include <QColor>
#include <QDialog>
#include <QFont>
#include <QPixmap>
#include <QPoint>
#include <QString>

class QMouseEvent;

// The splash picture with the version text painted on it, for a screen of the given device
// pixel ratio (the 2x rendering above 1; the logical size stays 626 x 437).
QPixmap aboutPixmap(qreal devicePixelRatio = 1.0);
// A copy of source with text drawn in font and colour, its base line starting at position.
QPixmap drawTextOnPixmap(const QPixmap& source, const QString& text, const QPoint& position,
                         const QFont& font, const QColor& colour);

// A borderless popup showing the picture; it closes and deletes itself at the first click.
class AboutDialog : public QDialog {
    Q_OBJECT

public:
    explicit AboutDialog(const QPixmap& pixmap, QWidget* parent = nullptr);
    ~AboutDialog() override;

protected:
    void mousePressEvent(QMouseEvent* event) override;
};
